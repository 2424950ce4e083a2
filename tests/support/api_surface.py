"""The public surface of the seven native modules, enumerated once.

Every module-level function, every class defined by a module (its
constructor), and every function object in a class body (methods, static
methods, pickling hooks) is one entry.  The fuzzing and fault-injection
suites both walk this list, so a callable added to a module is covered by
both without further edits.
"""

import importlib

from support.module_list import MODULES, short


def is_frame_function(obj):
    return type(obj).__name__ == "native_function"


def public_callables():
    """(id, kind, module name, name, attribute) for every public callable.

    kind is "function", "class" (the constructor), "method" or "static"; the
    id reads like "tollet.FastRedBlackTree.insert" or "mesqua.AtomicCounter()".
    """
    out = []
    for modname in MODULES:
        mod = importlib.import_module(modname)
        prefix = short(modname)
        for name, obj in vars(mod).items():
            if is_frame_function(obj):
                out.append((f"{prefix}.{name}", "function", modname, name, None))
            elif isinstance(obj, type) and obj.__module__ == modname:
                out.append((f"{prefix}.{name}()", "class", modname, name, None))
                for attr, fn in vars(obj).items():
                    if is_frame_function(fn):
                        out.append((f"{prefix}.{name}.{attr}", "method", modname, name, attr))
                    elif isinstance(fn, staticmethod) and is_frame_function(fn.__func__):
                        out.append((f"{prefix}.{name}.{attr}", "static", modname, name, attr))
    return out
