"""talvora.jit.orvistle: policy settings, function records and the adaptive policy."""

import copy
import gc
import logging
import math
import pickle
import subprocess
import sys
import threading
import time
import weakref
from fractions import Fraction

import pytest

import talvora.jit.orvistle as orv
from talvora.jit.orvistle import (
    AdaptivePolicy,
    FunctionMetrics,
    PolicyConfig,
    create_function_metrics,
    create_policy_config,
    get_orvistle,
    reset_orvistle,
)

LOGGER = "talvora.jit.orvistle"


class Store:
    """A telemetry store that hands out one fixed record (or raises)."""

    def __init__(self, metrics=None, error=None):
        self.metrics = metrics
        self.error = error
        self.calls = []

    def get_metrics(self, func_id):
        self.calls.append(func_id)
        if self.error is not None:
            raise self.error
        return self.metrics


class Record:
    """A plain metrics record: only the attributes it was given."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def compiled(compile_count=1, avg_speedup=3.0, call_count=0, **kw):
    return Store(FunctionMetrics(call_count=call_count, compile_count=compile_count, avg_speedup=avg_speedup, **kw))


def fused(a, b, c):
    """a * b + c with a single rounding."""
    return float(Fraction(a) * Fraction(b) + Fraction(c))


@pytest.fixture
def clock(monkeypatch):
    """Pins time.time(), the policy's clock, to a settable value."""
    now = [1_000_000.0]
    monkeypatch.setattr(time, "time", lambda: now[0])
    return now


def finishes(target, timeout=10.0):
    """Runs `target` in a thread; True when it returned (not stuck on a lock)."""
    done = []
    t = threading.Thread(target=lambda: done.append(target()))
    t.start()
    t.join(timeout)
    return bool(done)


# ---------------------------------------------------------------------------
# Module


class TestModule:
    def test_namespace(self):
        assert orv.logger.name == LOGGER
        assert orv.__test__ == {}
        assert orv.time is time and orv.threading is threading and orv.logging is logging
        import typing

        assert orv.Dict is typing.Dict and orv.Optional is typing.Optional
        assert type(orv._policy_lock) is type(threading.Lock())
        assert not hasattr(orv, "_global_policy")
        assert orv.__doc__.startswith("Adaptive JIT threshold policy.")
        assert "Dynamically adjusts compilation thresholds based on observed performance." in orv.__doc__
        assert "Reduces compilation attempts while maximizing benefit." in orv.__doc__

    def test_load_line_logged_once(self):
        code = (
            "import logging, importlib\n"
            "logging.basicConfig(level=logging.DEBUG, format='%(name)s|%(levelname)s|%(message)s')\n"
            "import talvora.jit.orvistle as m\n"
            "assert importlib.import_module('talvora.jit.orvistle') is m\n"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stderr
        line = "talvora.jit.orvistle|INFO|Talvora Adaptive Policy Cython module loaded - IP protected"
        assert out.splitlines().count(line) == 1

    def test_function_introspection(self):
        assert create_function_metrics.__defaults__ == (0, 0, 1.0, 0.0, 0.0)
        assert create_function_metrics.__annotations__ == {
            "call_count": "int",
            "compile_count": "int",
            "avg_speedup": "float",
            "total_execution_time_ms": "float",
            "last_compile_time": "float",
            "return": "FunctionMetrics",
        }
        assert create_policy_config.__defaults__ == (100, 10, 10000, 0.1, 2.0)
        assert create_policy_config.__annotations__ == {
            "initial_threshold": "int",
            "min_threshold": "int",
            "max_threshold": "int",
            "learning_rate": "float",
            "target_speedup": "float",
            "return": "PolicyConfig",
        }
        assert get_orvistle.__annotations__ == {"return": "AdaptivePolicy"}
        assert reset_orvistle.__annotations__ == {}
        assert get_orvistle.__doc__.splitlines()[0] == "Get global adaptive policy instance."
        assert reset_orvistle.__doc__.splitlines()[0] == "Reset the global adaptive policy instance."
        assert get_orvistle.__module__ == "talvora.jit.orvistle"

    def test_method_introspection(self):
        a = AdaptivePolicy
        assert a.get_threshold.__annotations__ == {"return": "int"}
        assert a.should_compile.__annotations__ == {"return": "bool"}
        assert a.update.__annotations__ == {}
        assert a.get_statistics.__annotations__ == {"return": "Dict"}
        firsts = {
            "get_threshold": "Get current threshold for function.",
            "should_compile": "Decide if function should be compiled.",
            "update": "Update policy based on compilation outcome.",
            "get_statistics": "Get policy statistics.",
        }
        for name, first in firsts.items():
            assert getattr(a, name).__doc__.splitlines()[0] == first
        assert "<100ns (dict lookup with lock)" in a.get_threshold.__doc__
        assert "<1us (threshold check + metrics lookup)" in a.should_compile.__doc__
        assert "<1us (adaptive update)" in a.update.__doc__
        assert a.get_threshold.__qualname__ == "AdaptivePolicy.get_threshold"
        methods = [k for k in vars(a) if not k.startswith("__") and k != "config"]
        assert methods == ["get_threshold", "should_compile", "update", "get_statistics"]

    def test_calls_without_parameters(self):
        with pytest.raises(TypeError, match=r"^get_orvistle\(\) takes exactly 0 positional arguments \(1 given\)$"):
            get_orvistle(1)
        with pytest.raises(TypeError, match=r"^reset_orvistle\(\) got an unexpected keyword argument 'x'$"):
            reset_orvistle(x=1)


# ---------------------------------------------------------------------------
# PolicyConfig


def config_values(c):
    return (c.initial_threshold, c.min_threshold, c.max_threshold, c.learning_rate, c.target_speedup)


class TestPolicyConfig:
    def test_defaults_and_factory(self):
        assert config_values(PolicyConfig()) == (100, 10, 10000, 0.1, 2.0)
        assert config_values(create_policy_config()) == (100, 10, 10000, 0.1, 2.0)
        assert type(create_policy_config()) is PolicyConfig
        c = PolicyConfig(50, 5, 500, 0.5, 1.5)
        assert config_values(c) == (50, 5, 500, 0.5, 1.5)
        assert config_values(create_policy_config(max_threshold=20, initial_threshold=20)) == (20, 10, 20, 0.1, 2.0)
        assert PolicyConfig.__doc__ == "Configuration for adaptive policy."
        assert type(c).__module__ == "talvora.jit.orvistle" and type(c).__name__ == "PolicyConfig"

    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"min_threshold": 0}, "min_threshold must be positive"),
            ({"min_threshold": -3}, "min_threshold must be positive"),
            ({"min_threshold": 10, "max_threshold": 10}, "max_threshold must be greater than min_threshold"),
            ({"min_threshold": 10, "max_threshold": 9}, "max_threshold must be greater than min_threshold"),
            ({"learning_rate": 0.0}, r"learning_rate must be in \(0, 1\]"),
            ({"learning_rate": -0.1}, r"learning_rate must be in \(0, 1\]"),
            ({"learning_rate": 1.5}, r"learning_rate must be in \(0, 1\]"),
            ({"learning_rate": math.nan}, r"learning_rate must be in \(0, 1\]"),
            ({"target_speedup": 0.0}, "target_speedup must be positive"),
            ({"target_speedup": -2.0}, "target_speedup must be positive"),
            ({"target_speedup": math.nan}, "target_speedup must be positive"),
            ({"initial_threshold": 9}, "initial_threshold must be within bounds"),
            ({"initial_threshold": 10001}, "initial_threshold must be within bounds"),
            # The first failing check wins.
            ({"min_threshold": 0, "learning_rate": 5.0}, "min_threshold must be positive"),
            (
                {"max_threshold": 5, "learning_rate": 5.0, "initial_threshold": 0},
                "max_threshold must be greater than min_threshold",
            ),
            (
                {"learning_rate": 2.0, "target_speedup": -1.0, "initial_threshold": 0},
                r"learning_rate must be in \(0, 1\]",
            ),
            ({"target_speedup": 0.0, "initial_threshold": 0}, "target_speedup must be positive"),
        ],
    )
    def test_validation(self, kwargs, message):
        with pytest.raises(ValueError, match="^" + message + "$"):
            PolicyConfig(**kwargs)
        with pytest.raises(ValueError, match="^" + message + "$"):
            create_policy_config(**kwargs)

    def test_accepted_boundaries(self):
        assert PolicyConfig(learning_rate=1.0).learning_rate == 1.0
        assert PolicyConfig(learning_rate=5e-324).learning_rate == 5e-324
        assert PolicyConfig(initial_threshold=10).initial_threshold == 10
        assert PolicyConfig(initial_threshold=10000).initial_threshold == 10000
        assert config_values(PolicyConfig(1, 1, 2, 1.0, math.inf)) == (1, 1, 2, 1.0, math.inf)
        big = PolicyConfig(2**31 - 1, 1, 2**31 - 1)
        assert big.initial_threshold == big.max_threshold == 2**31 - 1

    def test_argument_conversion(self):
        c = PolicyConfig(initial_threshold=99.9, min_threshold=True, learning_rate=1, target_speedup=3)
        assert config_values(c) == (99, 1, 10000, 1.0, 3.0)
        assert type(c.learning_rate) is float and type(c.initial_threshold) is int
        with pytest.raises(TypeError, match="^an integer is required$"):
            PolicyConfig(initial_threshold="100")
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            PolicyConfig(max_threshold=2**31)
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            PolicyConfig(min_threshold=-(2**31) - 1)
        with pytest.raises(TypeError):
            PolicyConfig(learning_rate="0.1")
        with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 5 positional arguments \(6 given\)$"):
            PolicyConfig(1, 1, 2, 0.5, 2.0, 7)
        with pytest.raises(TypeError, match=r"^__cinit__\(\) got an unexpected keyword argument 'threshold'$"):
            PolicyConfig(threshold=5)
        with pytest.raises(TypeError, match=r"^__cinit__\(\) got multiple values for keyword argument"):
            PolicyConfig(100, initial_threshold=100)

    def test_factory_argument_rule(self):
        c = create_policy_config(initial_threshold=37.9, min_threshold=True, max_threshold=50)
        assert config_values(c)[:3] == (37, 1, 50)
        for name in ("initial_threshold", "min_threshold", "max_threshold"):
            with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected int, got str\)$"):
                create_policy_config(**{name: "5"})
        with pytest.raises(TypeError):
            create_policy_config(learning_rate=None)
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            create_policy_config(max_threshold=2**40)

    def test_properties_are_unchecked(self):
        c = PolicyConfig()
        c.min_threshold = 0
        c.max_threshold = -5
        c.learning_rate = 7.5
        c.target_speedup = -1
        c.initial_threshold = 12.7
        assert config_values(c) == (12, 0, -5, 7.5, -1.0)
        with pytest.raises(OverflowError, match="^value too large to convert to int$"):
            c.initial_threshold = 2**31
        with pytest.raises(TypeError, match="^an integer is required$"):
            c.min_threshold = "1"
        with pytest.raises(TypeError):
            c.learning_rate = "fast"
        assert config_values(c) == (12, 0, -5, 7.5, -1.0)
        for name in ("initial_threshold", "min_threshold", "max_threshold", "learning_rate", "target_speedup"):
            with pytest.raises(NotImplementedError, match="^__del__$"):
                delattr(c, name)

    def test_native_record_conventions(self):
        c = PolicyConfig()
        with pytest.raises(AttributeError):
            c.other = 1
        with pytest.raises(TypeError):
            weakref.ref(c)
        assert not gc.is_tracked(c)
        for op in (pickle.dumps, copy.copy, copy.deepcopy):
            with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
                op(c)

        class Tuned(PolicyConfig):
            pass

        t = Tuned(initial_threshold=20)
        assert config_values(t) == (20, 10, 10000, 0.1, 2.0)
        with pytest.raises(ValueError, match="^min_threshold must be positive$"):
            Tuned(min_threshold=0)


# ---------------------------------------------------------------------------
# FunctionMetrics


def metrics_values(m):
    return (m.call_count, m.compile_count, m.avg_speedup, m.total_execution_time_ms, m.last_compiled)


class TestFunctionMetrics:
    def test_defaults(self):
        m = FunctionMetrics()
        assert metrics_values(m) == (0, 0, 1.0, 0.0, 0.0)
        assert m.last_compile_time == 0.0
        assert metrics_values(create_function_metrics()) == (0, 0, 1.0, 0.0, 0.0)
        m = FunctionMetrics(5, 2, 1.5, 12.5, 3.0, 4.0)
        assert metrics_values(m) == (5, 2, 1.5, 12.5, 4.0)

    @pytest.mark.parametrize(
        "kwargs, expected",
        [
            ({"last_compile_time": 5.0}, 5.0),
            ({"last_compile_time": 5.0, "last_compiled": 7.0}, 7.0),
            ({"last_compile_time": 5.0, "last_compiled": 0.0}, 0.0),
            ({"last_compile_time": 5.0, "last_compiled": -0.0}, 0.0),
            ({"last_compile_time": 5.0, "last_compiled": -3.0}, 5.0),
            ({"last_compile_time": 5.0, "last_compiled": math.nan}, 5.0),
            ({"last_compiled": 9.0}, 9.0),
            ({"last_compile_time": -4.0}, -4.0),
        ],
    )
    def test_timestamp_from_two_names(self, kwargs, expected):
        m = FunctionMetrics(**kwargs)
        assert m.last_compiled == expected and m.last_compile_time == expected

    def test_timestamp_names_share_one_field(self):
        m = FunctionMetrics()
        m.last_compile_time = 11.5
        assert m.last_compiled == 11.5
        m.last_compiled = 12
        assert m.last_compile_time == 12.0 and type(m.last_compile_time) is float
        docs = {name: getattr(FunctionMetrics, name).__doc__ for name in ("last_compiled", "last_compile_time")}
        assert docs == {
            "last_compiled": "Timestamp of last compilation (matches TelemetryStore interface).",
            "last_compile_time": "Alias for last_compiled for backward compatibility.",
        }
        assert FunctionMetrics.__doc__.splitlines()[0] == "Metrics for a function's execution and compilation."
        for name in (
            "call_count",
            "compile_count",
            "avg_speedup",
            "total_execution_time_ms",
            "last_compiled",
            "last_compile_time",
        ):
            assert name in FunctionMetrics.__doc__

    def test_unsigned_conversions(self):
        assert FunctionMetrics(call_count=2**64 - 1).call_count == 2**64 - 1
        assert FunctionMetrics(compile_count=2**32 - 1).compile_count == 2**32 - 1
        assert FunctionMetrics(call_count=7.9, compile_count=True).call_count == 7
        with pytest.raises(OverflowError, match="^can't convert negative value to uint64_t$"):
            FunctionMetrics(call_count=-1)
        with pytest.raises(OverflowError):
            FunctionMetrics(call_count=2**64)
        with pytest.raises(OverflowError, match="^can't convert negative value to uint32_t$"):
            FunctionMetrics(compile_count=-1)
        with pytest.raises(OverflowError, match="^value too large to convert to uint32_t$"):
            FunctionMetrics(compile_count=4294967296)
        with pytest.raises(TypeError, match="^an integer is required$"):
            FunctionMetrics(call_count="3")
        with pytest.raises(TypeError):
            FunctionMetrics(avg_speedup="fast")
        with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 6 positional arguments \(7 given\)$"):
            FunctionMetrics(0, 0, 1.0, 0.0, 0.0, 0.0, 0.0)

    def test_property_setters(self):
        m = FunctionMetrics()
        m.call_count = 2**64 - 1
        m.compile_count = 3.9
        m.avg_speedup = 4
        m.total_execution_time_ms = 1.25
        assert metrics_values(m) == (2**64 - 1, 3, 4.0, 1.25, 0.0)
        with pytest.raises(OverflowError, match="^can't convert negative value to uint64_t$"):
            m.call_count = -5
        with pytest.raises(OverflowError, match="^value too large to convert to uint32_t$"):
            m.compile_count = 2**32
        with pytest.raises(OverflowError, match="^can't convert negative value to uint32_t$"):
            m.compile_count = -1
        assert metrics_values(m) == (2**64 - 1, 3, 4.0, 1.25, 0.0)
        for name in (
            "call_count",
            "compile_count",
            "avg_speedup",
            "total_execution_time_ms",
            "last_compiled",
            "last_compile_time",
        ):
            with pytest.raises(NotImplementedError, match="^__del__$"):
                delattr(m, name)

    def test_native_record_conventions(self):
        m = FunctionMetrics()
        assert not gc.is_tracked(m)
        with pytest.raises(AttributeError):
            m.extra = 1
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            pickle.dumps(m)

        class Mine(FunctionMetrics):
            pass

        assert metrics_values(Mine(call_count=3, last_compile_time=2.0)) == (3, 0, 1.0, 0.0, 2.0)

    def test_factory(self):
        m = create_function_metrics(
            call_count=2.9, compile_count=1, avg_speedup=2, total_execution_time_ms=3, last_compile_time=8.5
        )
        assert type(m) is FunctionMetrics
        assert metrics_values(m) == (2, 1, 2.0, 3.0, 8.5) and m.last_compile_time == 8.5
        assert create_function_metrics(True).call_count == 1
        with pytest.raises(TypeError, match=r"^Argument 'call_count' has incorrect type \(expected int, got str\)$"):
            create_function_metrics(call_count="7")
        with pytest.raises(
            TypeError, match=r"^Argument 'compile_count' has incorrect type \(expected int, got list\)$"
        ):
            create_function_metrics(compile_count=[])
        # The class's range checks apply.
        with pytest.raises(OverflowError, match="^can't convert negative value to uint64_t$"):
            create_function_metrics(call_count=-1)
        with pytest.raises(OverflowError, match="^value too large to convert to uint32_t$"):
            create_function_metrics(compile_count=2**32)
        # A negative timestamp is kept: it is passed as last_compile_time.
        assert create_function_metrics(last_compile_time=-2.0).last_compiled == -2.0


# ---------------------------------------------------------------------------
# AdaptivePolicy: construction


class Settings:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class TestPolicyConstruction:
    def test_default_config(self):
        p = AdaptivePolicy()
        assert type(p.config) is PolicyConfig
        assert config_values(p.config) == (100, 10, 10000, 0.1, 2.0)
        assert config_values(AdaptivePolicy(None).config) == (100, 10, 10000, 0.1, 2.0)
        assert AdaptivePolicy().config is not AdaptivePolicy().config

    def test_config_instance_is_shared(self):
        c = PolicyConfig(initial_threshold=20)
        p = AdaptivePolicy(config=c)
        assert p.config is c

        class Sub(PolicyConfig):
            pass

        s = Sub()
        assert AdaptivePolicy(s).config is s

    def test_foreign_config_objects(self):
        assert config_values(AdaptivePolicy({"min_threshold": 0}).config) == (100, 10, 10000, 0.1, 2.0)
        p = AdaptivePolicy(Settings(initial_threshold=30, max_threshold=40.5, learning_rate=1))
        assert type(p.config) is PolicyConfig
        assert config_values(p.config) == (30, 10, 40, 1.0, 2.0)
        with pytest.raises(ValueError, match="^min_threshold must be positive$"):
            AdaptivePolicy(Settings(min_threshold=0))
        with pytest.raises(TypeError, match="^an integer is required$"):
            AdaptivePolicy(Settings(initial_threshold="many"))

        class Broken:
            @property
            def learning_rate(self):
                raise KeyError("no rate")

        with pytest.raises(KeyError):
            AdaptivePolicy(Broken())

    def test_constructor_arguments(self):
        with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 1 positional argument \(2 given\)$"):
            AdaptivePolicy(None, None)
        with pytest.raises(TypeError, match=r"^__cinit__\(\) got an unexpected keyword argument 'cfg'$"):
            AdaptivePolicy(cfg=None)

    def test_config_property_is_read_only(self):
        p = AdaptivePolicy()
        with pytest.raises(AttributeError):
            p.config = PolicyConfig()
        assert type(AdaptivePolicy.config).__name__ == "getset_descriptor"
        assert AdaptivePolicy.config.__doc__ == "Get policy configuration."

    def test_native_object_conventions(self):
        p = AdaptivePolicy()
        assert gc.is_tracked(p)
        for op in (pickle.dumps, copy.copy):
            with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
                op(p)
        with pytest.raises(AttributeError):
            _ = p.thresholds
        with pytest.raises(AttributeError):
            _ = p.recompile_interval

    def test_cycles_through_subclass_are_collected(self):
        class Mine(AdaptivePolicy):
            pass

        p = Mine()
        p.me = p
        p.update("f", compiled())
        ref = weakref.ref(p)
        del p
        gc.collect()
        assert ref() is None


# ---------------------------------------------------------------------------
# AdaptivePolicy: thresholds and decisions


class TestThresholdLookup:
    def test_new_policy(self):
        p = AdaptivePolicy()
        assert p.get_threshold("anything") == 100
        assert p.get_threshold(None) == 100
        assert p.get_threshold(func_id="x") == 100
        assert AdaptivePolicy(PolicyConfig(initial_threshold=42)).get_threshold("f") == 42

    def test_follows_config_until_adapted(self):
        c = PolicyConfig()
        p = AdaptivePolicy(c)
        c.initial_threshold = 55
        assert p.get_threshold("f") == 55
        p.update("f", compiled(avg_speedup=0.5))
        c.initial_threshold = 70
        assert p.get_threshold("f") == 59  # 55 + 0.09 * 55 = 59.95, truncated
        assert p.get_threshold("g") == 70

    def test_func_id_must_be_exact_str(self):
        p = AdaptivePolicy()

        class Name(str):
            pass

        for bad, tname in ((b"f", "bytes"), (1, "int"), (Name("f"), "Name")):
            msg = rf"^Argument 'func_id' has incorrect type \(expected str, got {tname}\)$"
            with pytest.raises(TypeError, match=msg):
                p.get_threshold(bad)
            with pytest.raises(TypeError, match=msg):
                p.should_compile(bad, compiled())
            with pytest.raises(TypeError, match=msg):
                p.update(bad, compiled())
        assert p.get_statistics()["tracked_functions"] == 0

    def test_argument_counts(self):
        p = AdaptivePolicy()
        with pytest.raises(TypeError, match=r"^get_threshold\(\) takes exactly 1 positional argument \(0 given\)$"):
            p.get_threshold()
        with pytest.raises(TypeError, match=r"^should_compile\(\) takes exactly 2 positional arguments \(1 given\)$"):
            p.should_compile("f")
        with pytest.raises(TypeError, match=r"^update\(\) takes exactly 2 positional arguments \(3 given\)$"):
            p.update("f", compiled(), None)
        with pytest.raises(TypeError, match=r"^get_statistics\(\) takes exactly 0 positional arguments \(1 given\)$"):
            p.get_statistics(1)
        assert p.should_compile(telemetry_store=compiled(0, call_count=200), func_id="f") is True

    def test_default_threshold_reads_the_config_on_each_call(self):
        reads = []

        class Counting(PolicyConfig):
            @property
            def initial_threshold(self):
                reads.append(1)
                return 33

        c = PolicyConfig()
        p = AdaptivePolicy(c)
        assert p.get_threshold("f") == 100
        c.initial_threshold = 12.7
        assert p.get_threshold("f") == 12
        c.initial_threshold = -5
        assert p.get_threshold("f") == -5 and type(p.get_threshold("f")) is int
        q = AdaptivePolicy(Counting())
        assert [q.get_threshold("f"), q.get_threshold(None)] == [33, 33] and len(reads) == 2

    def test_result_coerced_to_int(self):
        class Odd(PolicyConfig):
            @property
            def initial_threshold(self):
                return 12.75

        assert AdaptivePolicy(Odd()).get_threshold("f") == 12
        assert type(AdaptivePolicy(Odd()).get_threshold("f")) is int

        class Wrong(PolicyConfig):
            @property
            def initial_threshold(self):
                return "twelve"

        with pytest.raises(TypeError, match="^Expected int, got str$"):
            AdaptivePolicy(Wrong()).get_threshold("f")


class TestShouldCompile:
    def test_threshold_boundary(self):
        p = AdaptivePolicy()
        assert p.should_compile("f", compiled(0, call_count=99)) is False
        assert p.should_compile("f", compiled(0, call_count=100)) is True
        assert p.should_compile("f", compiled(0, call_count=2**64 - 1)) is True

    def test_recompile_interval(self, clock):
        p = AdaptivePolicy()
        now = clock[0]
        assert p.should_compile("f", compiled(1, call_count=100, last_compiled=now - 599)) is False
        assert p.should_compile("f", compiled(1, call_count=100, last_compiled=now - 599.999)) is False
        assert p.should_compile("f", compiled(1, call_count=100, last_compiled=now - 600)) is True
        assert p.should_compile("f", compiled(5, call_count=100, last_compiled=now - 10000)) is True
        assert p.should_compile("f", compiled(1, call_count=100, last_compiled=now + 50)) is False
        assert p.should_compile("f", compiled(1, call_count=99, last_compiled=0.0)) is False
        nan_record = Record(call_count=100, compile_count=1, avg_speedup=1.0, last_compiled=math.nan)
        assert p.should_compile("f", Store(nan_record)) is False
        clock[0] = math.inf
        assert p.should_compile("f", compiled(1, call_count=100, last_compiled=math.inf)) is False

    def test_clock_read_each_call(self, clock):
        p = AdaptivePolicy()
        store = compiled(1, call_count=100, last_compiled=1000.0)
        clock[0] = 1599.0
        assert p.should_compile("f", store) is False
        clock[0] = 1600.0
        assert p.should_compile("f", store) is True

    def test_missing_last_compiled_counts_as_time_zero(self, clock):
        p = AdaptivePolicy()
        store = Store(Record(call_count=100, compile_count=1, avg_speedup=2.0))
        clock[0] = 599.0
        assert p.should_compile("f", store) is False
        clock[0] = 600.0
        assert p.should_compile("f", store) is True

    def test_uses_adapted_threshold(self):
        p = AdaptivePolicy()
        p.update("f", compiled(avg_speedup=3.0))  # 100 -> 91
        assert p.should_compile("f", compiled(0, call_count=91)) is True
        assert p.should_compile("f", compiled(0, call_count=90)) is False
        assert p.should_compile("g", compiled(0, call_count=91)) is False

    def test_unsigned_comparison_with_negative_threshold(self):
        c = PolicyConfig()
        p = AdaptivePolicy(c)
        c.initial_threshold = -5
        # -5 is compared as 2**64 - 5: out of reach of any realistic count.
        assert p.should_compile("f", compiled(0, call_count=10**15)) is False
        assert p.should_compile("f", compiled(0, call_count=2**64 - 6)) is False
        assert p.should_compile("f", compiled(0, call_count=2**64 - 5)) is True
        c.initial_threshold = 0
        assert p.should_compile("f", compiled(0, call_count=0)) is True

    def test_plain_records(self):
        p = AdaptivePolicy()
        rec = Record(call_count=150.7, compile_count=0.0, avg_speedup=1, last_compiled="ignored")
        with pytest.raises(TypeError):
            p.should_compile("f", Store(rec))  # last_compiled present but not a number
        rec.last_compiled = 0
        assert p.should_compile("f", Store(rec)) is True

    @pytest.mark.parametrize(
        "record, error, message",
        [
            (Record(compile_count=0, avg_speedup=1.0), AttributeError, "call_count"),
            (Record(call_count=5, avg_speedup=1.0), AttributeError, "compile_count"),
            (Record(call_count=500, compile_count=0), AttributeError, "avg_speedup"),
            (Record(call_count=500, compile_count=0, avg_speedup="x"), TypeError, "must be real number"),
            (
                Record(call_count=-1, compile_count=0, avg_speedup=1.0),
                OverflowError,
                "^can't convert negative value to uint64_t$",
            ),
            (
                Record(call_count=1, compile_count=-1, avg_speedup=1.0),
                OverflowError,
                "^can't convert negative value to uint32_t$",
            ),
            (
                Record(call_count=1, compile_count=2**32, avg_speedup=1.0),
                OverflowError,
                "^value too large to convert to uint32_t$",
            ),
            (Record(call_count="1", compile_count=0, avg_speedup=1.0), TypeError, "^an integer is required$"),
        ],
    )
    def test_bad_records_propagate(self, record, error, message):
        p = AdaptivePolicy()
        with pytest.raises(error, match=message):
            p.should_compile("f", Store(record))
        assert finishes(lambda: p.get_threshold("f")) is True

    def test_store_errors_propagate_and_release_lock(self):
        p = AdaptivePolicy()
        with pytest.raises(RuntimeError, match="^store down$"):
            p.should_compile("f", Store(error=RuntimeError("store down")))
        with pytest.raises(AttributeError):
            p.should_compile("f", object())  # no get_metrics at all
        assert finishes(lambda: p.should_compile("f", compiled(0, call_count=100))) is True

    def test_store_read_under_lock(self):
        p = AdaptivePolicy()
        seen = {}

        class Probe:
            def get_metrics(self, func_id):
                t = threading.Thread(target=lambda: seen.setdefault("threshold", p.get_threshold(func_id)))
                t.start()
                t.join(0.2)
                seen["blocked"] = t.is_alive()
                seen["thread"] = t
                return FunctionMetrics(call_count=100)

        assert p.should_compile("f", Probe()) is True
        seen["thread"].join(10)
        assert seen["blocked"] is True and seen["threshold"] == 100


# ---------------------------------------------------------------------------
# AdaptivePolicy: adaptation


def threshold_after(avg_speedup, compile_count=1, config=None, start_store=None):
    p = AdaptivePolicy(config)
    p.update("f", compiled(compile_count, avg_speedup))
    return p.get_threshold("f")


class TestUpdate:
    def test_worked_values(self):
        assert threshold_after(3.0) == 91
        assert threshold_after(1.5) == 109
        assert threshold_after(2.0) == 109  # reaching the target exactly is not enough
        assert threshold_after(2.0000000001) == 91

    def test_no_compilation_changes_nothing(self, caplog):
        p = AdaptivePolicy()
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        for rec in (FunctionMetrics(call_count=500), Record(compile_count=0.0), Record(compile_count=False)):
            assert p.update("f", Store(rec)) is None
        assert p.get_statistics()["tracked_functions"] == 0
        assert [r for r in caplog.records if r.name == LOGGER] == []

    def test_compile_count_must_compare_then_convert(self):
        p = AdaptivePolicy()
        with pytest.raises(OverflowError, match="^can't convert negative value to uint32_t$"):
            p.update("f", Store(Record(compile_count=-1, avg_speedup=3.0)))
        with pytest.raises(AttributeError):
            p.update("f", Store(Record(call_count=1)))
        with pytest.raises(AttributeError):
            p.update("f", Store(Record(compile_count=1)))  # avg_speedup missing
        assert p.get_statistics()["tracked_functions"] == 0
        p.update("f", Store(Record(compile_count=1.9, avg_speedup=3)))  # 1.9 -> 1
        assert p.get_threshold("f") == 91

    def test_debug_line(self, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        p = AdaptivePolicy()
        p.update("f", compiled(1, 3.5))
        p.update(None, compiled(1, 1.0 / 3.0))
        p.update("f", compiled(10, math.inf))
        p.update("g", compiled(1, math.nan))
        msgs = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == LOGGER]
        assert msgs == [
            (logging.DEBUG, "Updated threshold for f: 100 -> 91 (speedup: 3.50x)"),
            (logging.DEBUG, "Updated threshold for None: 100 -> 109 (speedup: 0.33x)"),
            (logging.DEBUG, "Updated threshold for f: 91 -> 91 (speedup: infx)"),
            (logging.DEBUG, "Updated threshold for g: 100 -> 109 (speedup: nanx)"),
        ]
        assert all(r.args == () for r in caplog.records if r.name == LOGGER)

    def test_debug_line_names_any_text_and_formats_like_python(self, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        ids = ["f", "\u00e9t\u00e9", "\u4e2d", "\U0001f600x", "", None]
        speedups = [2.005, 2.675, 1e-9, -0.0, 1e17, 123456.785]
        p = AdaptivePolicy()
        expected = []
        for func_id in ids:
            for speedup in speedups:
                before = p.get_threshold(func_id)
                p.update(func_id, compiled(1, speedup))
                after = p.get_threshold(func_id)
                expected.append(f"Updated threshold for {str(func_id)}: {before} -> {after} (speedup: {speedup:.2f}x)")
        msgs = [r.getMessage() for r in caplog.records if r.name == LOGGER]
        assert msgs == expected and type(msgs[0]) is str

    def test_logging_after_release_and_after_store(self, monkeypatch):
        p = AdaptivePolicy()
        seen = {}

        class Spy:
            def debug(self, msg):
                seen["threshold"] = p.get_threshold("f")  # would deadlock under the lock
                seen["msg"] = msg

        monkeypatch.setattr(orv, "logger", Spy())
        p.update("f", compiled(1, 3.0))
        assert seen == {"threshold": 91, "msg": "Updated threshold for f: 100 -> 91 (speedup: 3.00x)"}

        class Failing:
            def debug(self, msg):
                raise RuntimeError("log down")

        monkeypatch.setattr(orv, "logger", Failing())
        with pytest.raises(RuntimeError, match="^log down$"):
            p.update("g", compiled(1, 1.0))
        assert p.get_threshold("g") == 109  # stored before the log call

    def test_damping(self):
        # Effective rate 0.1 - 0.1 * n * 0.1 of the current threshold.
        assert [threshold_after(1.0, n) for n in range(1, 12)] == [
            109,
            108,
            107,
            106,
            105,
            104,
            103,
            102,
            101,
            100,
            100,
        ]
        assert threshold_after(5.0, 10) == 100
        assert threshold_after(5.0, 2**32 - 1) == 100

    def test_repeated_high_speedups_stop_at_min(self):
        p = AdaptivePolicy(PolicyConfig(learning_rate=1.0))
        for _ in range(30):
            p.update("f", compiled(1, 50.0))
            assert p.get_threshold("f") >= 10
        assert p.get_threshold("f") == 10
        q = AdaptivePolicy()
        values = []
        for n in range(1, 12):
            q.update("f", compiled(n, 100.0))
            values.append(q.get_threshold("f"))
        assert values == sorted(values, reverse=True) and values[-1] == values[-2] >= 10

    def test_upper_clamp_and_truncation(self):
        cfg = dict(min_threshold=10, max_threshold=10000, learning_rate=1.0)
        # Rate 0.9 after one compilation: 5264 -> 10001.6 (clamped), 5263 -> 9999.7 (truncated).
        assert threshold_after(1.0, 1, PolicyConfig(initial_threshold=5264, **cfg)) == 10000
        assert threshold_after(1.0, 1, PolicyConfig(initial_threshold=5263, **cfg)) == 9999
        p = AdaptivePolicy(PolicyConfig(initial_threshold=10000))
        p.update("f", compiled(1, 0.5))
        assert p.get_threshold("f") == 10000

    def test_lower_clamp(self):
        c = PolicyConfig(initial_threshold=10, min_threshold=10)
        assert threshold_after(9.0, 1, c) == 10
        # Rates above 1, only reachable through the property, overshoot below zero.
        c = PolicyConfig()
        c.learning_rate = 5.0
        assert threshold_after(9.0, 1, c) == 10
        # A NaN candidate falls to the lower bound.
        c = PolicyConfig()
        c.learning_rate = math.nan
        assert threshold_after(9.0, 1, c) == 10
        assert threshold_after(0.5, 1, c) == 10

    def test_bounds_changed_after_construction(self):
        c = PolicyConfig()
        c.min_threshold, c.max_threshold = 200, 150
        assert threshold_after(3.0, 1, c) == 200  # lower bound tested first
        c.min_threshold = 20
        assert threshold_after(1.0, 1, c) == 109
        c.initial_threshold = 400
        assert threshold_after(1.0, 1, c) == 150

    def test_target_speedup_not_positive_counts_as_one(self):
        c = PolicyConfig()
        c.target_speedup = 0.0
        assert threshold_after(1.5, 1, c) == 91
        assert threshold_after(1.0, 1, c) == 109
        c.target_speedup = -4.0
        assert threshold_after(1.5, 1, c) == 91
        c.target_speedup = math.nan
        assert threshold_after(1.5, 1, c) == 91
        c.target_speedup = 0.5
        assert threshold_after(0.75, 1, c) == 91

    def test_fused_multiply_add(self):
        # Rate 0.7 after six compilations; 100 * (1 + rate) is 127.99999999999999
        # with single roundings and exactly 128.0 with separate ones.
        damping = min(0.1 * 6, 1.0)
        rate = fused(-damping, 0.7, 0.7)
        single = fused(rate, 100.0, 100.0)
        assert int(single) == 127 and int(100.0 + (0.7 - damping * 0.7) * 100.0) == 128
        assert threshold_after(1.0, 6, PolicyConfig(learning_rate=0.7)) == 127

    def test_reference_model(self):
        cases = [
            (0.3, 3, 0.5, 731),
            (0.9, 2, 4.0, 9999),
            (0.05, 1, 2.5, 4321),
            (1.0, 9, 0.1, 17),
            (0.45, 7, 3.3, 2500),
            (0.7, 6, 2.0, 25),
        ]
        for lr, count, speedup, start in cases:
            damping = min(0.1 * count, 1.0)
            rate = fused(-damping, lr, lr)
            step = -rate if speedup / 2.0 > 1.0 else rate
            candidate = fused(step, float(start), float(start))
            expected = 10 if candidate < 10 else 10000 if candidate > 10000 else int(candidate)
            c = PolicyConfig(initial_threshold=start, learning_rate=lr)
            assert threshold_after(speedup, count, c) == expected, (lr, count, speedup, start)

    def test_adaptation_chains_from_stored_threshold(self):
        p = AdaptivePolicy()
        p.update("f", compiled(1, 3.0))  # 100 -> 91
        p.update("f", compiled(2, 3.0))  # 91 - 0.08 * 91 = 83.72
        assert p.get_threshold("f") == 83
        p.update("f", compiled(3, 1.0))  # 83 + 0.07 * 83 = 88.81
        assert p.get_threshold("f") == 88

    def test_store_errors_leave_thresholds_unchanged(self):
        p = AdaptivePolicy()
        p.update("f", compiled(1, 3.0))
        with pytest.raises(ZeroDivisionError):
            p.update("f", Store(error=ZeroDivisionError("boom")))
        with pytest.raises(TypeError):
            p.update("f", Store(Record(compile_count=2, avg_speedup=None)))
        assert p.get_threshold("f") == 91
        assert finishes(lambda: p.update("f", compiled(1, 3.0))) is True
        assert p.get_threshold("f") == 82  # 91 - 0.09 * 91 = 82.81


class TestStatistics:
    def test_empty(self):
        s = AdaptivePolicy().get_statistics()
        assert s == {"tracked_functions": 0, "avg_threshold": 100, "min_threshold": 10, "max_threshold": 10000}
        assert list(s) == ["tracked_functions", "avg_threshold", "min_threshold", "max_threshold"]
        assert type(s["avg_threshold"]) is int
        c = PolicyConfig(initial_threshold=20, min_threshold=5, max_threshold=30)
        p = AdaptivePolicy(c)
        c.max_threshold = 99
        assert p.get_statistics() == {
            "tracked_functions": 0,
            "avg_threshold": 20,
            "min_threshold": 5,
            "max_threshold": 99,
        }

    def test_tracked(self):
        p = AdaptivePolicy()
        p.update("f", compiled(1, 3.0))
        p.update("g", compiled(1, 1.5))
        s = p.get_statistics()
        assert s == {"tracked_functions": 2, "avg_threshold": 100.0, "min_threshold": 91, "max_threshold": 109}
        assert type(s["avg_threshold"]) is float
        assert list(s) == ["tracked_functions", "avg_threshold", "min_threshold", "max_threshold"]
        p.update(None, compiled(1, 1.0))
        p.update("h", compiled(1, 1.0))
        s = p.get_statistics()
        assert s == {
            "tracked_functions": 4,
            "avg_threshold": (91 + 109 * 3) / 4,
            "min_threshold": 91,
            "max_threshold": 109,
        }

    def test_returned_dict_is_the_callers(self):
        p = AdaptivePolicy()
        s = p.get_statistics()
        s["tracked_functions"] = 99
        p.update("f", compiled())
        assert s["tracked_functions"] == 99 and p.get_statistics()["tracked_functions"] == 1
        assert p.get_statistics() is not p.get_statistics()


# ---------------------------------------------------------------------------
# The shared policy


@pytest.fixture
def fresh_global():
    reset_orvistle()
    yield
    reset_orvistle()


class TestSharedPolicy:
    def test_same_instance_until_reset(self, fresh_global):
        a = get_orvistle()
        assert type(a) is AdaptivePolicy and get_orvistle() is a
        a.update("f", compiled())
        assert reset_orvistle() is None
        b = get_orvistle()
        assert b is not a and b.get_statistics()["tracked_functions"] == 0
        assert config_values(b.config) == (100, 10, 10000, 0.1, 2.0)
        assert a.get_threshold("f") == 91  # the old instance keeps working

    def test_concurrent_first_use(self, fresh_global):
        barrier = threading.Barrier(8)
        got = []

        def worker():
            barrier.wait()
            got.append(get_orvistle())

        threads = [threading.Thread(target=worker) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(got) == 8 and all(x is got[0] for x in got)

    def test_module_lock_looked_up_per_call(self, fresh_global, monkeypatch):
        events = []

        class Recording:
            def __enter__(self):
                events.append("enter")

            def __exit__(self, *exc):
                events.append("exit")

        monkeypatch.setattr(orv, "_policy_lock", Recording())
        get_orvistle()
        reset_orvistle()
        assert events == ["enter", "exit", "enter", "exit"]
        monkeypatch.setattr(orv, "_policy_lock", None)
        with pytest.raises(AttributeError):
            get_orvistle()


class TestThreads:
    def test_concurrent_updates_and_decisions(self):
        p = AdaptivePolicy()
        funcs = [f"fn{i}" for i in range(16)]
        errors = []

        def worker(k):
            try:
                for rnd in range(200):
                    f = funcs[(k + rnd) % len(funcs)]
                    p.update(f, compiled(1 + rnd % 12, 3.0 if rnd % 2 else 1.0))
                    p.should_compile(f, compiled(0, call_count=rnd))
                    p.get_threshold(f)
                    p.get_statistics()
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        s = p.get_statistics()
        assert s["tracked_functions"] == len(funcs)
        assert 10 <= s["min_threshold"] <= s["max_threshold"] <= 10000


# ---------------------------------------------------------------------------
# What is read natively, what through Python, and what under the lock


class Shadowed(PolicyConfig):
    """Properties that disagree with the native fields underneath."""

    @property
    def initial_threshold(self):
        return 40

    @property
    def min_threshold(self):
        return 1

    @property
    def max_threshold(self):
        return 50

    @property
    def learning_rate(self):
        return 1.0

    @property
    def target_speedup(self):
        return 100.0


class Tracing:
    """A metrics record that logs every attribute read."""

    def __init__(self, log, **attrs):
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_attrs", attrs)

    def __getattr__(self, name):
        self._log.append(name)
        try:
            return self._attrs[name]
        except KeyError:
            raise AttributeError(name) from None


class TestReadPaths:
    def test_python_properties_for_lookup_and_empty_statistics(self):
        p = AdaptivePolicy(Shadowed())  # native fields keep the defaults
        assert p.get_threshold("f") == 40
        assert p.get_statistics() == {
            "tracked_functions": 0,
            "avg_threshold": 40,
            "min_threshold": 1,
            "max_threshold": 50,
        }

    def test_native_fields_for_decisions_and_adaptation(self):
        p = AdaptivePolicy(Shadowed())
        # The native initial threshold is 100, not the property's 40.
        assert p.should_compile("f", compiled(0, call_count=99)) is False
        assert p.should_compile("f", compiled(0, call_count=100)) is True
        # Native rate 0.1 and target 2.0: 100 - 9 = 91 (the properties would give 10 or 190 -> 50).
        p.update("f", compiled(1, 3.0))
        assert p.get_threshold("f") == 91
        p.update("g", compiled(1, 1.0))
        assert p.get_threshold("g") == 109

    def test_should_compile_reads_attributes_in_order(self):
        log = []
        p = AdaptivePolicy()
        rec = Tracing(log, call_count=5, compile_count=0, avg_speedup=1.0)
        assert p.should_compile("f", Store(rec)) is False  # below threshold, yet all four are read
        assert log == ["call_count", "compile_count", "avg_speedup", "last_compiled"]

    def test_first_bad_attribute_wins(self):
        p = AdaptivePolicy()
        with pytest.raises(OverflowError, match="^can't convert negative value to uint64_t$"):
            p.should_compile("f", Store(Record(call_count=-1, avg_speedup="x")))
        with pytest.raises(TypeError, match="^an integer is required$"):
            p.should_compile("f", Store(Record(call_count=1, compile_count="0", avg_speedup="x")))

    def test_update_reads_count_then_speedup(self):
        log = []
        p = AdaptivePolicy()
        p.update("f", Store(Tracing(log, compile_count=0)))
        assert log == ["compile_count"]  # nothing else once the count is 0
        log.clear()
        p.update("f", Store(Tracing(log, compile_count=1, avg_speedup=3.0)))
        assert log == ["compile_count", "compile_count", "avg_speedup"]
        assert p.get_threshold("f") == 91

    def test_compile_count_equality_is_python_equality(self):
        class ZeroLike:
            def __eq__(self, other):
                return other == 0

            __hash__ = None

        class Refuses:
            def __eq__(self, other):
                raise ArithmeticError("no compare")

        p = AdaptivePolicy()
        # Equal to 0 by its own __eq__: an early return, never converted.
        assert p.update("f", Store(Record(compile_count=ZeroLike()))) is None
        with pytest.raises(ArithmeticError, match="^no compare$"):
            p.update("f", Store(Record(compile_count=Refuses(), avg_speedup=3.0)))
        assert p.get_statistics()["tracked_functions"] == 0
        assert finishes(lambda: p.update("f", compiled(1, 3.0))) is True

    def test_clock_read_before_lock_through_module_global(self, monkeypatch):
        p = AdaptivePolicy()
        seen = []

        def reentrant_clock():
            seen.append(p.get_threshold("f"))  # deadlocks if the lock were held
            return 5000.0

        monkeypatch.setattr(time, "time", reentrant_clock)
        store = compiled(1, call_count=100, last_compiled=4400.0)
        assert finishes(lambda: p.should_compile("f", store)) is True
        assert seen == [100]

        class FakeTime:
            @staticmethod
            def time():
                return 4999.0

        monkeypatch.setattr(orv, "time", FakeTime)
        assert p.should_compile("f", store) is False  # 599 s since the last compilation
        FakeTime.time = staticmethod(lambda: "late")
        with pytest.raises(TypeError):
            p.should_compile("f", store)
        assert finishes(lambda: p.get_threshold("f")) is True

    def test_config_properties_read_under_lock(self):
        holder = {}

        class Probing(PolicyConfig):
            @property
            def initial_threshold(self):
                p = holder["policy"]
                t = threading.Thread(target=lambda: p.should_compile("f", compiled(0, call_count=100)))
                t.start()
                t.join(0.2)
                holder.setdefault("blocked", []).append(t.is_alive())
                holder.setdefault("threads", []).append(t)
                return 100

        p = holder["policy"] = AdaptivePolicy(Probing())
        assert p.get_threshold("f") == 100
        assert p.get_statistics()["avg_threshold"] == 100
        for t in holder["threads"]:
            t.join(10)
        assert holder["blocked"] == [True, True]

    def test_each_policy_has_its_own_lock(self):
        a, b = AdaptivePolicy(), AdaptivePolicy()

        class CrossStore:
            def get_metrics(self, func_id):
                b.update(func_id, compiled(1, 3.0))  # b's lock, taken while a holds its own
                return FunctionMetrics(call_count=b.get_threshold(func_id))

        assert finishes(lambda: a.should_compile("f", CrossStore())) is True
        assert a.should_compile("f", CrossStore()) is False  # b moved on to 82, a still needs 100
        assert b.get_threshold("f") == 82 and a.get_threshold("f") == 100


class TestAdaptationEdges:
    def test_candidate_just_over_and_under_the_upper_bound(self):
        # 9175 * 1.09 = 10000.75 is clamped; 9174 * 1.09 = 9999.66 truncates.
        assert threshold_after(1.0, 1, PolicyConfig(initial_threshold=9175)) == 10000
        assert threshold_after(1.0, 1, PolicyConfig(initial_threshold=9174)) == 9999

    def test_truncation_toward_zero_below_zero(self, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        c = PolicyConfig()
        c.min_threshold, c.initial_threshold = -1000, -50
        p = AdaptivePolicy(c)
        p.update("f", compiled(1, 1.0))  # -50 + 0.09 * -50 = -54.5
        assert p.get_threshold("f") == -54
        p.update("g", compiled(1, 3.0))  # -50 - 0.09 * -50 = -45.5
        assert p.get_threshold("g") == -45
        assert [r.getMessage() for r in caplog.records if r.name == LOGGER] == [
            "Updated threshold for f: -50 -> -54 (speedup: 1.00x)",
            "Updated threshold for g: -50 -> -45 (speedup: 3.00x)",
        ]
        assert p.get_statistics() == {
            "tracked_functions": 2,
            "avg_threshold": -49.5,
            "min_threshold": -54,
            "max_threshold": -45,
        }

    def test_speedup_text_rounding(self, caplog):
        caplog.set_level(logging.DEBUG, logger=LOGGER)
        p = AdaptivePolicy()
        for i, s in enumerate((2.675, 0.005, -0.0, 1e20, -math.inf)):
            p.update(f"f{i}", compiled(10, s))
        texts = [r.getMessage().rsplit("(speedup: ", 1)[1] for r in caplog.records if r.name == LOGGER]
        assert texts == [f"{s:.2f}x)" for s in (2.675, 0.005, -0.0, 1e20, -math.inf)]
        assert texts[:3] == ["2.67x)", "0.01x)", "-0.00x)"]
