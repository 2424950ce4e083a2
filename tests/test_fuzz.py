"""Argument fuzzing over every public function, method and constructor.

Each call gets arguments drawn from ints of every size, special floats,
strings, bytes, None, subclasses of builtin types, containers and objects
whose number, truth, comparison or length protocols misbehave.  A call must
return or raise an ordinary exception (never SystemError, never a crash), and
an object must stay usable after a call that raised.
"""

import importlib
import math
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support.api_surface import is_frame_function as _is_frame_function
from support.api_surface import public_callables


class Boom(Exception):
    """Raised by the misbehaving objects below."""


def _boom(*_):
    raise Boom("protocol failure")


class EvilInt:
    __int__ = _boom


class IntReturnsStr:
    def __int__(self):
        return "7"


class EvilIndex:
    __index__ = _boom


class EvilFloat:
    __float__ = _boom


class FloatReturnsStr:
    def __float__(self):
        return "1.5"


class EvilBool:
    __bool__ = _boom


class EvilEq:
    __eq__ = _boom
    __hash__ = object.__hash__


class EvilLen:
    __len__ = _boom
    __iter__ = _boom


class NegativeLen:
    def __len__(self):
        return -1


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class DictSub(dict):
    pass


EVIL = [
    EvilInt(),
    IntReturnsStr(),
    EvilIndex(),
    EvilFloat(),
    FloatReturnsStr(),
    EvilBool(),
    EvilEq(),
    EvilLen(),
    NegativeLen(),
    object(),
]
ALLOWED = (
    TypeError,
    ValueError,
    OverflowError,
    AttributeError,
    KeyError,
    IndexError,
    ZeroDivisionError,
    NotImplementedError,
    MemoryError,
    Boom,
)

ints = st.one_of(
    st.integers(-3, 300),
    st.sampled_from(
        [
            0,
            1,
            -1,
            2**31 - 1,
            2**31,
            -(2**31),
            -(2**31) - 1,
            2**32 - 1,
            2**32,
            2**63 - 1,
            2**63,
            -(2**63),
            -(2**63) - 1,
            2**64 - 1,
            2**64,
            2**100,
            -(2**100),
        ]
    ),
    st.integers(),
)
small_ints = st.integers(-3, 64)
floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 0.0, 0.5, 1.0, 1e308, 5e-324]),
)
texts = st.one_of(
    st.text(max_size=40),
    st.sampled_from(
        [
            "numpy",
            "pandas",
            "sklearn",
            "for i in range(10):\n    x += i",
            "cuda",
            "CUDA out of memory",
            "zeros",
            "matmul",
            "8.6",
            "7",
            "x.y",
            "",
            "mixed",
        ]
    ),
)
scalars = st.one_of(
    ints,
    floats,
    texts,
    st.binary(max_size=20),
    st.none(),
    st.booleans(),
    st.builds(IntSub, small_ints),
    st.builds(FloatSub, st.floats(-10, 10)),
    st.builds(StrSub, texts),
    st.sampled_from(EVIL),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=8),
        st.tuples(inner, inner),
        st.lists(inner, max_size=4).map(tuple),
        st.dictionaries(st.sampled_from(["cpu", "memory", "io", "parallel", "gpu", 1]), inner, max_size=4),
        st.lists(inner, max_size=4).map(ListSub),
        st.lists(inner, max_size=4).map(TupleSub),
        st.dictionaries(st.sampled_from(["cpu", "memory"]), inner, max_size=2).map(DictSub),
        st.lists(st.tuples(floats, floats), max_size=12),
        st.lists(st.tuples(ints, ints), max_size=12),
    ),
    max_leaves=12,
)
# Arguments whose size drives the amount of work (bucket ranges, chunk lists).
bounded = st.one_of(small_ints, st.sampled_from([None, "x", 2.5, -1, EvilInt(), IntSub(4)]))
bounded_values = st.one_of(bounded, st.lists(small_ints, max_size=4).map(tuple), st.tuples(small_ints, small_ints))

BOUNDED = {
    "FastBucketAllocator": bounded,
    "FastBucketAllocator._init_buckets": bounded,
    "compute_chunk_shapes": bounded_values,
}


def _nparams(fn, method):
    return fn.__code__.co_argcount - (1 if method else 0)


def _factories():
    import talvora.jit.orvistle as orv
    import talvora.jit.telemetry_store as ts
    import talvora.memory.pardune as par

    return {
        "FastSlabHeaderOps": lambda: par.FastSlabHeaderOps(3, 64),
        "AdaptivePolicy": lambda: orv.AdaptivePolicy(None),
        "_store": ts.TelemetryStore,
    }


def _health(obj):
    """A call that must still work on an object after any earlier call."""
    repr(obj)
    for name in (
        "load",
        "size",
        "get_snapshot",
        "get_stats",
        "get_statistics",
        "is_empty",
        "get_version",
        "elapsed_ns",
        "py_find_free_object",
    ):
        m = getattr(type(obj), name, None)
        if m is not None and _is_frame_function(m):
            getattr(obj, name)()


def _collect():
    return [
        pytest.param((kind, modname, name, attr), id=ident) for ident, kind, modname, name, attr in public_callables()
    ]


CASES = _collect()


def _instance(cls):
    factory = _factories().get(cls.__name__)
    if factory is not None:
        return factory()
    try:
        return cls()
    except TypeError:
        return None


def _call_checked(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except ALLOWED:
        pass
    except SystemError as e:  # pragma: no cover - the failure being hunted
        pytest.fail(f"SystemError from {fn!r}: {e}")


def _draw_args(data, count, strategy):
    nargs = data.draw(st.integers(0, count + 1), label="nargs")
    args = [data.draw(strategy, label=f"arg{i}") for i in range(nargs)]
    return args


@pytest.mark.parametrize("case", CASES)
@settings(
    max_examples=int(os.environ.get("TALVORA_FUZZ_EXAMPLES", "40")),
    deadline=None,
    suppress_health_check=list(HealthCheck),
    database=None,
)
@given(data=st.data())
def test_fuzz(case, data):
    kind, modname, name, attr = case
    mod = importlib.import_module(modname)
    target = getattr(mod, name)
    key = f"{name}.{attr}" if attr else name
    strategy = BOUNDED.get(key, values)
    if kind == "static":
        target = vars(target)[attr].__func__
        kind = "function"
    if kind == "function":
        n = _nparams(target, False)
        args = _draw_args(data, n, strategy)
        _call_checked(target, args, {})
        if n and data.draw(st.booleans(), label="by keyword"):
            names = target.__code__.co_varnames[:n]
            kw = {nm: data.draw(strategy, label=nm) for nm in names if data.draw(st.booleans())}
            _call_checked(target, [], kw)
        return
    if kind == "class":
        cls = target
        if cls.__name__ in BOUNDED:
            strategy = BOUNDED[cls.__name__]
        args = _draw_args(data, 6, strategy)
        try:
            obj = cls(*args)
        except ALLOWED:
            return
        except SystemError as e:  # pragma: no cover
            pytest.fail(f"SystemError constructing {cls.__name__}: {e}")
        _health(obj)
        return
    cls = target
    fn = vars(cls)[attr]
    obj = _instance(cls)
    if obj is None:
        return
    n = _nparams(fn, True)
    args = _draw_args(data, n, strategy)
    if attr == "update" and cls.__name__ == "AdaptivePolicy" and args and data.draw(st.booleans()):
        args = [args[0], _factories()["_store"]()] + args[1:]
    _call_checked(getattr(obj, attr), args, {})
    _health(obj)
    # An unbound call with a foreign first argument is refused, never a crash.
    _call_checked(fn, [data.draw(values, label="not self")] + args, {})
