"""Imports of a module watched from outside: a second import in this process,
the log records of a fresh interpreter that imports it twice, and an import in
a sub-interpreter."""

import importlib
import subprocess
import sys
import textwrap


def import_again(name):
    """Imports `name` with its sys.modules entry set aside; (again, first)."""
    first = sys.modules.pop(name)
    try:
        again = importlib.import_module(name)
    finally:
        sys.modules[name] = first
    return again, first


def load_records(name, env=None):
    """(logger, level, message) of every record logged while a fresh
    interpreter imports `name`, drops it from sys.modules and imports it again."""
    code = textwrap.dedent(
        f"""
        import importlib, logging, sys
        records = []
        class H(logging.Handler):
            def emit(self, r):
                records.append((r.name, r.levelname, r.getMessage()))
        logging.getLogger().addHandler(H()); logging.getLogger().setLevel(logging.DEBUG)
        importlib.import_module({name!r})
        del sys.modules[{name!r}]
        importlib.import_module({name!r})
        print(repr(records))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, env=env).stdout
    return eval(out)


def subinterpreter_import(name, out, path=None):
    """Code for a sub-interpreter that imports `name` and writes 'imported' or
    'ImportError: <message>' to the file `out`; `path` replaces its sys.path."""
    return textwrap.dedent(
        f"""
        import sys
        if {path!r} is not None:
            sys.path[:] = {path!r}
        try:
            import {name}
            msg = 'imported'
        except ImportError as e:
            msg = 'ImportError: ' + str(e)
        with open({str(out)!r}, 'w') as f:
            f.write(msg)
        """
    )
