"""Safe reading and parsing: a source file read as text honouring its encoding, never opening anything but a
regular file, parsed on a thread with a stack to match its size; failures as errors that name the path."""

import codecs
import contextlib
import errno
import gc
import io
import os
import queue
import stat
import sys
import threading
import tokenize
from typing import Any, Callable, Iterator, List, Tuple, TypeVar

from talvora.cli.scoring import FileReport, analyze_module


class AnalysisError(Exception):
    """A path that could not be analysed; the message names the path."""

    def __init__(self, path: str, message: str):
        super().__init__("%s: %s" % (path, message))
        self.path = path
        self.message = message

    def __reduce__(self) -> Tuple[Any, Tuple[str, str]]:
        return (type(self), (self.path, self.message))


# The command-line name of standard input, and its name in reports.
STDIN = "-"
STDIN_NAME = "<stdin>"


def describe_os_error(e: OSError) -> str:
    """What went wrong with a path, in the words of the command's messages."""
    if e.errno == errno.ENOENT:
        return "no such file or directory"
    if e.errno == errno.ELOOP:
        return "symbolic link loop"
    if e.errno == errno.EISDIR:
        return "is a directory"
    return "cannot read: %s" % (e.strerror or e)


def _line_number(text: str) -> int:
    """The number of the line that follows `text` (line breaks as the tokenizer counts them)."""
    return text.count("\n") + text.count("\r") - text.count("\r\n") + 1


def decode_source(data: bytes, path: str) -> str:
    """The text of Python source `data`, decoded as its encoding declaration says, with universal newlines.

    Raises AnalysisError naming the line that does not decode.
    """
    lines_read = 0
    stream = io.BytesIO(data)

    def readline() -> bytes:
        # A plain function, not the bound method: detect_encoding then leaves the path out of its messages.
        nonlocal lines_read
        lines_read += 1
        return stream.readline()

    try:
        encoding, _ = tokenize.detect_encoding(readline)
    except SyntaxError as e:
        if not str(e.msg).startswith("invalid or missing encoding declaration"):
            raise AnalysisError(path, "cannot decode line %d: %s" % (lines_read, e.msg)) from None
        # Not UTF-8 in the first lines, and no declaration: reported below, at the byte that is not.
        encoding = "utf-8-sig" if data.startswith(codecs.BOM_UTF8) else "utf-8"
    try:
        text = data.decode(encoding)
    except UnicodeDecodeError as e:
        line = _line_number(data[: e.start].decode(encoding, "replace"))
        raise AnalysisError(path, "cannot decode line %d as %s: %s" % (line, encoding, e.reason)) from None
    return text.replace("\r\n", "\n").replace("\r", "\n")


def read_source(path: str) -> str:
    """Reads a Python source file honouring its encoding declaration.

    Only regular files are read: anything else (a FIFO, a device) raises
    NotRegularFile before its content is touched.
    """
    try:
        st = os.stat(path)
        if stat.S_ISDIR(st.st_mode):
            raise AnalysisError(path, "is a directory")
        if not stat.S_ISREG(st.st_mode):
            raise NotRegularFile(path)
        # Non-blocking, so that a path that has become a FIFO since does not wait for a writer.
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise NotRegularFile(path)
            os.set_blocking(fd, True)
            raw = io.FileIO(fd, "rb")
        except BaseException:
            os.close(fd)
            raise
        with raw:
            data = raw.readall()
    except OSError as e:
        raise AnalysisError(path, describe_os_error(e)) from None
    return decode_source(data, path)


def read_stdin() -> str:
    """Reads Python source from standard input, honouring its encoding declaration."""
    stdin = sys.stdin
    if stdin is None:
        raise AnalysisError(STDIN_NAME, "cannot read: standard input is closed")
    try:
        buffer = getattr(stdin, "buffer", None)
        if buffer is None:  # a text stream without bytes beneath
            return str(stdin.read())
        data = buffer.read()
    except (OSError, ValueError) as e:
        raise AnalysisError(STDIN_NAME, "cannot read: %s" % (getattr(e, "strerror", None) or e)) from None
    return decode_source(data, STDIN_NAME)


class NotRegularFile(Exception):
    """A path that is neither a regular file nor a directory (a FIFO, a socket, a device)."""

    def __init__(self, path: str):
        super().__init__("%s: not a regular file" % path)
        self.path = path


# The parser and the conversion of its tree to Python objects recurse once per
# nesting level of an expression, on the C stack; some interpreters check no
# depth and overflow the stack of the main thread.  Each file is therefore
# parsed on a thread whose stack grows with the source, up to a cap: a level
# costs at most some 100 bytes and takes at least one character.
PARSE_STACK_PER_CHAR = 256
PARSE_STACK_MIN = 16 * 2**20
PARSE_STACK_MAX = 2**30

_T = TypeVar("_T")


def call_with_stack(stack_bytes: int, func: Callable[..., _T], *args: Any, **kwargs: Any) -> _T:
    """``func(*args, **kwargs)`` on a thread with a stack of `stack_bytes`; its result or its exception.

    Falls back to the calling thread when no such thread can be started.
    """
    outcome: List[Tuple[bool, Any]] = []

    def target() -> None:
        try:
            outcome.append((True, func(*args, **kwargs)))
        except BaseException as e:  # handed to the caller
            outcome.append((False, e))

    worker = threading.Thread(target=target, name="talvora-parse", daemon=True)
    try:
        previous = threading.stack_size(stack_bytes)
    except (ValueError, RuntimeError):
        return func(*args, **kwargs)
    try:
        worker.start()
    except RuntimeError:
        return func(*args, **kwargs)
    finally:
        threading.stack_size(previous)
    worker.join()
    ok, value = outcome[0]
    if ok:
        return value  # type: ignore[no-any-return]
    raise value


def _parse_stack(source: str) -> int:
    return min(max(len(source) * PARSE_STACK_PER_CHAR, PARSE_STACK_MIN), PARSE_STACK_MAX)


class ParseThread:
    """A thread with the largest parse stack that runs the calls handed to it, one at a time.

    Started on first use, and again in a forked child, where threads do not
    survive.  One long-lived thread rather than one per file: a new thread
    per file lands on whichever core is free, its caches cold.
    """

    def __init__(self, stack_bytes: int = PARSE_STACK_MAX):
        self.stack_bytes = stack_bytes
        self._lock = threading.Lock()
        self._pid = 0
        self._thread: "threading.Thread | None" = None
        self._jobs: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self._results: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        self._sent = 0

    def _start(self) -> bool:
        jobs: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        results: "queue.SimpleQueue[Any]" = queue.SimpleQueue()
        thread = threading.Thread(target=self._serve, args=(jobs, results), name="talvora-parse", daemon=True)
        try:
            previous = threading.stack_size(self.stack_bytes)
        except (ValueError, RuntimeError):
            return False
        try:
            thread.start()
        except RuntimeError:
            return False
        finally:
            threading.stack_size(previous)
        self._thread, self._jobs, self._results, self._pid = thread, jobs, results, os.getpid()
        return True

    @staticmethod
    def _serve(jobs: "queue.SimpleQueue[Any]", results: "queue.SimpleQueue[Any]") -> None:
        while True:
            number, func, args, kwargs = jobs.get()
            try:
                results.put((number, True, func(*args, **kwargs)))
            except BaseException as e:  # handed to the caller
                results.put((number, False, e))

    def call(self, fallback_stack: int, func: Callable[..., _T], *args: Any, **kwargs: Any) -> _T:
        """``func(*args, **kwargs)`` on the thread; on a thread of `fallback_stack` bytes (see call_with_stack)
        when it cannot be started."""
        if threading.current_thread() is self._thread:
            return func(*args, **kwargs)
        with self._lock:
            if self._pid != os.getpid() and not self._start():
                return call_with_stack(fallback_stack, func, *args, **kwargs)
            self._sent += 1
            self._jobs.put((self._sent, func, args, kwargs))
            while True:  # the results of calls given up on (by Ctrl-C) before are passed over
                number, ok, value = self._results.get()
                if number == self._sent:
                    break
        if ok:
            return value  # type: ignore[no-any-return]
        raise value


PARSE_THREAD = ParseThread()


@contextlib.contextmanager
def gc_paused() -> Iterator[None]:
    """Cyclic garbage collection off for the block: a syntax tree is many objects and no cycles, and the
    collections its construction would set off find nothing to free."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def analyze_file(path: str, **options: Any) -> FileReport:
    """Reads, parses and scores one file (`options` as for analyze_module); STDIN reads standard input.

    Raises AnalysisError for a file that cannot be read or parsed and
    NotRegularFile for a path that is not a regular file.
    """
    if path == STDIN:
        path, source = STDIN_NAME, read_stdin()
    else:
        source = read_source(path)
    try:
        with gc_paused():
            return PARSE_THREAD.call(_parse_stack(source), analyze_module, source, path, **options)
    except SyntaxError as e:
        where = ""
        if e.lineno:
            where = " at line %d" % e.lineno + (", column %d" % e.offset if e.offset else "")
        # Code written for a newer Python fails on an older grammar: say which one was used.
        raise AnalysisError(
            path, "syntax error%s: %s (parsed with the Python %d.%d grammar)" % ((where, e.msg) + sys.version_info[:2])
        ) from None
    except ValueError as e:  # null bytes in the source (before 3.12)
        raise AnalysisError(path, "syntax error: %s" % e) from None
    except RecursionError:
        raise AnalysisError(path, "too deeply nested to analyse") from None
    except MemoryError:
        # The parser's own limit on right-recursive nesting raises MemoryError.
        raise AnalysisError(path, "too deeply nested or too large to analyse") from None
