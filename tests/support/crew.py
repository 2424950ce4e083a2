"""Threads started together, for the stress tests."""

import threading

STUCK = 300.0  # seconds before a thread counts as deadlocked; a hang guard, not a timing goal


class Crew:
    """Threads started together behind a barrier; the first error is re-raised.

    Loops that wait on other threads check `abort`, which is set as soon as any
    thread fails, so that one failure cannot leave the others spinning.
    """

    def __init__(self):
        self.abort = threading.Event()
        self.errors = []
        self.jobs = []

    def add(self, fn, *args):
        self.jobs.append((fn, args))

    def run(self):
        barrier = threading.Barrier(len(self.jobs))

        def body(fn, args):
            try:
                barrier.wait()
                fn(*args)
            except BaseException as e:  # reported by run()
                self.errors.append(e)
                self.abort.set()
                barrier.abort()

        threads = [threading.Thread(target=body, args=job, daemon=True) for job in self.jobs]
        self.jobs = []  # the arguments must not outlive the run
        for t in threads:
            t.start()
        for t in threads:
            t.join(STUCK)
        stuck = sum(t.is_alive() for t in threads)
        assert stuck == 0, f"{stuck} of {len(threads)} threads never finished (deadlock?)"
        real = [e for e in self.errors if not isinstance(e, threading.BrokenBarrierError)]
        if real or self.errors:
            raise (real or self.errors)[0]
