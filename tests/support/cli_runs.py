"""Running the command line in tests: in-process with captured streams, and
interrupted with Ctrl-C after its first records."""

import io
import re
import signal
import subprocess

from talvora.cli import main


def run(*argv):
    """main(argv) with captured streams: (exit status, standard output, standard error)."""
    out, err = io.StringIO(), io.StringIO()
    code = main(list(argv), stdout=out, stderr=err)
    return code, out.getvalue(), err.getvalue()


def without_time(text):
    """Output with the time of the run left out of its summary line."""
    return re.sub(r"^(Summary: .*), \d+\.\d\d s$", r"\1", text, flags=re.M)


def interrupt_after_two_lines(argv, timeout, cwd=None):
    """Starts the command, sends SIGINT once it has written two lines, and
    returns (exit status, everything it wrote, standard error)."""
    # A process started in the background may inherit SIGINT ignored, and Python then installs no handler.
    with subprocess.Popen(
        argv,
        cwd=cwd,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    ) as proc:
        first = [proc.stdout.readline(), proc.stdout.readline()]
        proc.send_signal(signal.SIGINT)
        # Read through the text streams: communicate() would pass over what readline() has buffered.
        rest, err = proc.stdout.read(), proc.stderr.read()
        proc.wait(timeout=timeout)
    return proc.returncode, "".join(first) + rest, err
