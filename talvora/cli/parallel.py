"""A pool of worker processes that maps a function over items and hands the results on in input order.

Items go to the workers in small batches; a worker sends each result back as
soon as it has it.  At most `window` items are out at a time beyond the
first whose result is still awaited, so memory stays bounded however many
items there are.  A worker that dies (a crash in native code, ``os._exit``)
costs the item it was working on, which gets a `WorkerDied` in place of its
result; the items it held after that one go to the other workers, and a new
worker takes its place.  Workers ignore SIGINT: Ctrl-C reaches the parent,
which ends them.
"""

import collections
import multiprocessing
import os
import signal
import sys
from multiprocessing.connection import wait
from typing import Any, Callable, Deque, Dict, Iterator, List, Optional, Sequence, Tuple

# Items sent to a worker in one message, and how many a worker may hold at once.
BATCH = 4
HELD = 2 * BATCH
# Items out beyond the first awaited one, per worker.
WINDOW_PER_WORKER = 64


def usable_cpus() -> int:
    """The CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


class WorkerDied:
    """Stands in for the result of an item whose worker process died while working on it."""

    def __init__(self, exitcode: Optional[int]):
        self.exitcode = exitcode

    def __str__(self) -> str:
        code = self.exitcode
        if code is not None and code < 0:
            try:
                name = signal.Signals(-code).name
            except ValueError:
                name = "signal %d" % -code
            return "its worker process was killed by %s" % name
        return "its worker process exited with status %s" % code


class OrderedWindow:
    """Indices handed out in order, results taken in any order and given back in index order; at most
    `size` indices out beyond the first whose result is still awaited."""

    def __init__(self, size: int):
        self.size = size
        self.issued = 0  # indices handed out so far
        self.next = 0  # the first index whose result has not been given back
        self._results: Dict[int, Any] = {}

    def room(self) -> bool:
        return self.issued - self.next < self.size

    def issue(self) -> int:
        index = self.issued
        self.issued += 1
        return index

    def put(self, index: int, result: Any) -> None:
        self._results[index] = result

    def ready(self) -> bool:
        return self.next in self._results

    def take(self) -> Any:
        """The result of index `next`, which must be ready."""
        result = self._results.pop(self.next)
        self.next += 1
        return result

    def __len__(self) -> int:
        return len(self._results)


def _serve(conn: Any, func: Callable[[Any], Any]) -> None:
    """A worker: runs `func` over each batch it receives, sending back (index, ok, result) item by item."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    sys.stdout = open(os.devnull, "w")  # nothing inherited is written twice
    while True:
        try:
            batch = conn.recv()
        except (EOFError, OSError):
            return
        if batch is None:
            return
        for index, item in batch:
            try:
                message: Tuple[int, bool, Any] = (index, True, func(item))
            except Exception as e:  # raised again in the parent
                message = (index, False, e)
            try:
                conn.send(message)
            except (OSError, EOFError):
                return
            except Exception as e:  # the result or exception does not pickle
                conn.send((index, False, RuntimeError("%s: %r" % (type(e).__name__, e))))


def _context() -> Any:
    # fork: the workers start at once, with everything imported; elsewhere fork is unsafe or missing.  The
    # parse thread, if this process has one, waits idle on its queue meanwhile; a child starts its own.
    if sys.platform.startswith("linux"):
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context("spawn")


class _Worker:
    def __init__(self, ctx: Any, func: Callable[[Any], Any]):
        self.conn, child = ctx.Pipe()
        self.process = ctx.Process(target=_serve, args=(child, func), name="talvora-worker", daemon=True)
        self.process.start()
        child.close()
        self.held: Deque[int] = collections.deque()  # items sent, in order, whose results have not come
        self.unsent = 0  # items at the end of held that could not be sent

    def stop(self, kill: bool) -> None:
        try:
            if kill:
                self.process.kill()
            else:
                self.conn.send(None)
        except (OSError, ValueError):
            pass
        self.process.join(timeout=None if kill else 5)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
        self.conn.close()


def imap_ordered(
    func: Callable[[Any], Any],
    items: Sequence[Any],
    jobs: int,
    local: Callable[[Any], bool] = lambda item: False,
    window: Optional[int] = None,
) -> Iterator[Any]:
    """``func(item)`` for each item, in order, computed by `jobs` worker processes.

    Items for which `local` is true are computed in this process when their
    turn comes.  An exception that `func` raises is raised here when its
    item's turn comes; an item whose worker died gives a WorkerDied.
    """
    if window is None:
        window = WINDOW_PER_WORKER * jobs
    for stream in (sys.stdout, sys.stderr):  # forked workers must not find our output in their buffers
        try:
            stream.flush()
        except (AttributeError, OSError, ValueError):
            pass
    ctx = _context()
    order = OrderedWindow(window)
    retry: Deque[int] = collections.deque()
    workers: List[_Worker] = []
    clean = False
    try:
        workers = [_Worker(ctx, func) for _ in range(jobs)]
        while order.next < len(items):
            if order.ready():
                ok, value = order.take()
                if not ok:
                    raise value
                yield value
                continue
            if local(items[order.next]):  # never sent to a worker
                if order.issued == order.next:
                    order.issue()
                order.put(order.next, (True, func(items[order.next])))
                continue
            for worker in workers:
                _send(worker, items, order, retry, local)
            _receive(ctx, func, workers, order, retry)
        clean = True
    finally:
        for worker in workers:
            worker.stop(kill=not clean)


def _send(
    worker: _Worker, items: Sequence[Any], order: OrderedWindow, retry: Deque[int], local: Callable[[Any], bool]
) -> None:
    """Tops up what `worker` holds with a batch: items to retry first, then new ones while the window allows."""
    if len(worker.held) > HELD - BATCH:
        return
    batch = []
    while len(batch) < BATCH:
        if retry:
            index = retry.popleft()
        elif order.room() and order.issued < len(items):
            index = order.issue()
            if local(items[index]):
                continue  # computed here at its turn
        else:
            break
        batch.append((index, items[index]))
    if batch:
        worker.held.extend(index for index, _ in batch)
        try:
            worker.conn.send(batch)
        except OSError:  # the worker has died: found out by _receive
            worker.unsent += len(batch)


def _receive(
    ctx: Any, func: Callable[[Any], Any], workers: List[_Worker], order: OrderedWindow, retry: Deque[int]
) -> None:
    """Waits for results or a worker's end; replaces a worker that died."""
    conns = {w.conn: w for w in workers if w.held}
    sentinels = {w.process.sentinel: w for w in workers if w.held}
    if not conns:
        return
    for ready in wait(list(conns) + list(sentinels)):
        worker = conns.get(ready) or sentinels[ready]  # type: ignore[call-overload]
        if worker not in workers:
            continue  # already replaced
        if _drain(worker, order):
            continue
        # The worker is gone: its first item is the one it died on, the others are sent again.
        worker.process.join()
        if len(worker.held) > worker.unsent:
            order.put(worker.held.popleft(), (True, WorkerDied(worker.process.exitcode)))
        retry.extendleft(reversed(worker.held))
        worker.held.clear()
        worker.stop(kill=True)
        workers[workers.index(worker)] = _Worker(ctx, func)


def _drain(worker: _Worker, order: OrderedWindow) -> bool:
    """Takes every result `worker` has sent; False when the worker has ended."""
    conn = worker.conn
    try:
        while conn.poll():
            index, ok, value = conn.recv()
            worker.held.remove(index)
            order.put(index, (ok, value))
    except (EOFError, OSError):
        return False
    return worker.process.is_alive() or bool(conn.poll())
