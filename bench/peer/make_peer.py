"""Builds the Cython peer (cypeer.pyx) for the running interpreter: Cython 3
translates it, the machine's C compiler builds it with -O2.  The extension
lands in build/bench/peer/<python tag>/ and is rebuilt when the source or the
Cython version changes.  Usage: python bench/peer/make_peer.py [--out DIR]"""

import argparse
import os
import shutil
import subprocess
import sys
import sysconfig

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "cypeer.pyx")
NAME = "cypeer"


def default_dir():
    tag = "py%d%d" % sys.version_info[:2]
    return os.path.join(os.path.dirname(os.path.dirname(HERE)), "build", "bench", "peer", tag)


def build(out=None):
    """Returns the directory holding the built module (importable as cypeer)."""
    import Cython  # the bench dependencies install it

    out = out or default_dir()
    os.makedirs(out, exist_ok=True)
    target = os.path.join(out, NAME + sysconfig.get_config_var("EXT_SUFFIX"))
    stamp = os.path.join(out, "stamp")
    with open(SOURCE, "rb") as f:
        key = "%s %d %s" % (Cython.__version__, len(f.read()), os.path.getmtime(SOURCE))
    if os.path.exists(target) and os.path.exists(stamp):
        with open(stamp) as f:
            if f.read() == key:
                return out
    c_file = os.path.join(out, NAME + ".c")
    subprocess.run([sys.executable, "-m", "cython", "-3", "-X", "binding=True", "-o", c_file, SOURCE], check=True)
    cc = os.environ.get("CC") or shutil.which("gcc") or shutil.which("cc")
    if not cc:
        raise SystemExit("no C compiler found (set CC)")
    cmd = [cc, "-O2", "-fPIC", "-shared", "-I" + sysconfig.get_paths()["include"], c_file, "-o", target]
    subprocess.run(cmd, check=True)
    with open(stamp, "w") as f:
        f.write(key)
    return out


def load(out=None):
    """The built peer module (building it first when needed), or None with a
    reason when Cython or a compiler is missing."""
    try:
        path = build(out)
    except (ImportError, OSError, subprocess.CalledProcessError, SystemExit) as e:
        return None, "%s: %s" % (type(e).__name__, e)
    if path not in sys.path:
        sys.path.insert(0, path)
    import importlib

    return importlib.import_module(NAME), None


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("--out")
    print(build(ap.parse_args().out))
