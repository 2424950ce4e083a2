"""Safe reading and parsing: a source file read as text honouring its encoding, never opening anything but a
regular file, parsed on a thread with a stack to match its size; failures as errors that name the path."""

import io
import os
import stat
import threading
import tokenize
from typing import Any, Callable, List, Tuple, TypeVar

from talvora.cli.scoring import FileReport, analyze_module


class AnalysisError(Exception):
    """A path that could not be analysed; the message names the path."""

    def __init__(self, path: str, message: str):
        super().__init__("%s: %s" % (path, message))
        self.path = path
        self.message = message


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
        raw.name = path  # named in the messages of detect_encoding
        with io.BufferedReader(raw) as buffer:
            encoding, _ = tokenize.detect_encoding(buffer.readline)
            buffer.seek(0)
            with io.TextIOWrapper(buffer, encoding, line_buffering=True) as text:
                return text.read()
    except FileNotFoundError:
        raise AnalysisError(path, "no such file or directory") from None
    except IsADirectoryError:
        raise AnalysisError(path, "is a directory") from None
    except OSError as e:
        raise AnalysisError(path, "cannot read: %s" % (e.strerror or e)) from None
    except (SyntaxError, UnicodeDecodeError) as e:
        # detect_encoding reports a bad encoding declaration as SyntaxError.
        raise AnalysisError(path, "cannot decode: %s" % (getattr(e, "msg", None) or e)) from None


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


def analyze_file(path: str, **options: Any) -> FileReport:
    """Reads, parses and scores one file (`options` as for analyze_module).

    Raises AnalysisError for a file that cannot be read or parsed and
    NotRegularFile for a path that is not a regular file.
    """
    source = read_source(path)
    try:
        return call_with_stack(_parse_stack(source), analyze_module, source, path, **options)
    except SyntaxError as e:
        where = ""
        if e.lineno:
            where = " at line %d" % e.lineno + (", column %d" % e.offset if e.offset else "")
        raise AnalysisError(path, "syntax error%s: %s" % (where, e.msg)) from None
    except ValueError as e:  # null bytes in the source (before 3.12)
        raise AnalysisError(path, "syntax error: %s" % e) from None
    except RecursionError:
        raise AnalysisError(path, "too deeply nested to analyse") from None
    except MemoryError:
        # The parser's own limit on right-recursive nesting raises MemoryError.
        raise AnalysisError(path, "too deeply nested or too large to analyse") from None
