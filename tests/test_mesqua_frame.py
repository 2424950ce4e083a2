"""The frame's conventions as talvora.memory.mesqua shows them: its namespace, load line, messages and classes."""

import copy
import logging
import pickle
import sys
import threading
import traceback
import warnings
import weakref

import pytest
from support.imports import import_again, load_records, subinterpreter_import
from support.pydoc_text import as_pydoc_prints
from support.stand_ins import HasInt, IndexOnly, IntSub, ReturnsStr, ReturnsSub

import talvora.memory.mesqua as mesqua
from talvora.memory.mesqua import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)

NATIVE_CLASSES = [AtomicCounter, AtomicPointer, LockFreeStack, LockFreeStatistics, PerformanceTimer]


def tb_names(excinfo):
    return [f.name for f in traceback.extract_tb(excinfo.value.__traceback__)]


class TestModuleInit:
    def test_traceback_entries_name_the_source_file(self):
        from talvora.plugins.analyzer import kelmarch

        for fn, source in [
            (mesqua.AtomicCounter().increment, "src/memory/mesqua.cpp"),
            (kelmarch.quick_framework_score, "src/plugins/analyzer/kelmarch.cpp"),
        ]:
            with pytest.raises(TypeError) as ei:
                fn(*range(9))
            entry = traceback.extract_tb(ei.value.__traceback__)[-1]
            assert entry.filename == source and entry.name.startswith(fn.__module__ + ".")

    def test_namespace_order(self):
        names = [n for n in vars(mesqua) if not n.startswith("__")]
        assert names == [
            "AtomicCounter",
            "AtomicPointer",
            "LockFreeStack",
            "LockFreeStatistics",
            "PerformanceTimer",
            "threading",
            "time",
            "Optional",
            "TypeVar",
            "Generic",
            "AtomicCounterWrapper",
            "logging",
            "logger",
            "CYTHON_ATOMICS_AVAILABLE",
        ]
        assert list(vars(mesqua))[-1] == "__test__"

    def test_module_attributes(self):
        import threading
        import time
        import typing

        assert mesqua.__test__ == {}
        assert mesqua.__name__ == "talvora.memory.mesqua"
        assert mesqua.__package__ == "talvora.memory"
        assert mesqua.__file__.endswith(".so")
        assert not hasattr(mesqua, "__path__")
        assert mesqua.threading is threading and mesqua.time is time
        assert mesqua.Optional is typing.Optional and mesqua.Generic is typing.Generic
        assert mesqua.CYTHON_ATOMICS_AVAILABLE is True
        assert mesqua.logger is logging.getLogger("talvora.memory.mesqua")
        assert "lock-free" in mesqua.__doc__.lower()

    def test_second_import_is_same_module_and_silent(self, caplog):
        caplog.set_level(logging.DEBUG)
        again, saved = import_again("talvora.memory.mesqua")
        assert again is saved
        assert not [r for r in caplog.records if r.name == "talvora.memory.mesqua"]

    def test_load_line_logged_once_in_fresh_process(self):
        assert load_records("talvora.memory.mesqua") == [
            (
                "talvora.memory.mesqua",
                "INFO",
                "Talvora Cython Atomic Primitives loaded - C11 atomics active (10-20\u00d7 speedup)",
            )
        ]

    def test_subinterpreter_refused(self, tmp_path):
        testcapi = pytest.importorskip("_testcapi")
        out = tmp_path / "out.txt"
        testcapi.run_in_subinterp(subinterpreter_import("talvora.memory.mesqua", out))
        assert out.read_text() == (
            "ImportError: Interpreter change detected - this module can only be loaded into one "
            "interpreter per process."
        )


class TestBinding:
    def test_positional_count_messages(self):
        c = AtomicCounter()
        cases = [
            (lambda: c.load(1), "load() takes exactly 0 positional arguments (1 given)"),
            (lambda: c.fetch_and_add(), "fetch_and_add() takes exactly 1 positional argument (0 given)"),
            (lambda: c.increment(1, 2), "increment() takes at most 1 positional argument (2 given)"),
            (lambda: c.compare_and_swap(1), "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
            (lambda: c.compare_and_swap(1, 2, 3), "compare_and_swap() takes exactly 2 positional arguments (3 given)"),
            (lambda: AtomicCounter(1, 2), "__cinit__() takes at most 1 positional argument (2 given)"),
            (
                lambda: LockFreeStatistics().record_allocation(),
                "record_allocation() takes at least 1 positional argument (0 given)",
            ),
            (
                lambda: LockFreeStatistics().py_record_allocation(10),
                "record_allocation() takes at least 2 positional arguments (1 given)",
            ),
            (
                lambda: LockFreeStatistics().py_record_allocation(is_bucketed=True),
                "record_allocation() takes at least 2 positional arguments (0 given)",
            ),
            (
                lambda: LockFreeStatistics().record_allocation(1, True, 0, 0, 9),
                "record_allocation() takes at most 4 positional arguments (5 given)",
            ),
        ]
        for call, msg in cases:
            with pytest.raises(TypeError) as ei:
                call()
            assert str(ei.value) == msg

    def test_keyword_messages(self):
        c = AtomicCounter()
        with pytest.raises(TypeError, match=r"^load\(\) got an unexpected keyword argument 'x'$"):
            c.load(x=1)
        with pytest.raises(TypeError, match=r"^increment\(\) got an unexpected keyword argument 'step'$"):
            c.increment(step=1)
        with pytest.raises(TypeError, match=r"^increment\(\) got multiple values for keyword argument 'delta'$"):
            c.increment(1, delta=2)
        with pytest.raises(TypeError, match=r"^__cinit__\(\) got an unexpected keyword argument 'value'$"):
            AtomicCounter(value=1)

    def test_keywords_bind_in_any_order(self):
        c = AtomicCounter(initial_value=10)
        assert c.compare_and_swap(new_value=11, expected=10) is True
        assert c.increment(delta=4) == 15
        # Keyword names need not be interned strings.
        name = "".join(["del", "ta"])
        assert c.decrement(**{name: 5}) == 10

    def test_required_missing_with_keyword_given(self):
        c = AtomicCounter()
        with pytest.raises(TypeError, match=r"^compare_and_swap\(\) takes exactly 2 positional arguments \(0 given\)$"):
            c.compare_and_swap(new_value=1)
        with pytest.raises(TypeError, match=r"^compare_and_swap\(\) takes exactly 2 positional arguments \(1 given\)$"):
            c.compare_and_swap(expected=1)
        # The given count is the number of leading parameters bound, by position or keyword.
        with pytest.raises(
            TypeError, match=r"^record_allocation\(\) takes at least 2 positional arguments \(1 given\)$"
        ):
            LockFreeStatistics().py_record_allocation(size=1, padding=2)
        with pytest.raises(
            TypeError, match=r"^record_allocation\(\) takes at least 1 positional argument \(0 given\)$"
        ):
            LockFreeStatistics().record_allocation(is_bucketed=False)
        with pytest.raises(
            TypeError, match=r"^__cinit__\(\) got multiple values for keyword argument 'initial_value'$"
        ):
            AtomicPointer(1, initial_value=2)

    def test_constructor_without_parameters_ignores_arguments(self):
        for cls in (LockFreeStack, LockFreeStatistics, PerformanceTimer):
            assert isinstance(cls(1, 2, x=3), cls)

    def test_method_called_through_class(self):
        c = AtomicCounter(3)
        assert AtomicCounter.load(c) == 3
        assert AtomicCounter.increment(c, delta=2) == 5
        with pytest.raises(TypeError, match="needs an argument"):
            AtomicCounter.load()
        with pytest.raises(
            TypeError, match=r"requires a 'talvora.memory.mesqua.AtomicCounter' object but received a 'int'"
        ):
            AtomicCounter.load(5)

    def test_bound_method_objects(self):
        c = AtomicCounter(1)
        m = c.increment
        assert m.__self__ is c and m.__func__ is AtomicCounter.increment
        assert m(2) == 3
        assert AtomicCounter.load.__get__(c, AtomicCounter)() == 3
        assert AtomicCounter.load.__get__(None, AtomicCounter) is AtomicCounter.load


class TestConversion:
    def test_native_int64(self):
        c = AtomicCounter()
        assert c.increment(2.9) == 2
        assert c.increment(-1.9) == 1
        assert c.increment(True) == 2
        with pytest.raises(TypeError, match="^an integer is required$"):
            c.increment("2")
        with pytest.raises(TypeError, match="^an integer is required$"):
            c.increment(None)
        with pytest.raises(OverflowError):
            c.increment(2**63)
        with pytest.raises(OverflowError):
            AtomicCounter(-(2**63) - 1)
        assert AtomicCounter(-(2**63)).load() == -(2**63)
        assert c.load() == 2  # failed conversions leave the counter untouched

    def test_int_protocol(self):
        class Raises:
            def __int__(self):
                raise ValueError("boom")

        c = AtomicCounter()
        assert c.increment(HasInt()) == 7
        assert c.increment(IntSub(3)) == 10
        with pytest.raises(TypeError, match="^an integer is required$"):
            c.increment(IndexOnly())
        with pytest.warns(
            DeprecationWarning,
            match=r"^__int__ returned non-int \(type IntSub\)\.  The ability to return an instance of a strict subclass"
            r" of int is deprecated, and may be removed in a future version of Python\.$",
        ):
            assert c.increment(ReturnsSub()) == 15
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            with pytest.raises(DeprecationWarning):
                c.increment(ReturnsSub())
        with pytest.raises(TypeError, match=r"^__int__ returned non-int \(type str\)$"):
            c.increment(ReturnsStr())
        with pytest.raises(ValueError, match="boom"):
            c.increment(Raises())
        assert c.load() == 15

    def test_annotated_int(self):
        w = AtomicCounterWrapper(3.7)
        assert w.load() == 3
        assert AtomicCounterWrapper(True).load() == 1
        for bad, tname in [("3", "str"), (None, "NoneType"), ([1], "list")]:
            with pytest.raises(TypeError) as ei:
                AtomicCounterWrapper(bad)
            assert str(ei.value) == f"Argument 'initial_value' has incorrect type (expected int, got {tname})"
        with pytest.raises(TypeError, match=r"^Argument 'delta' has incorrect type \(expected int, got str\)$"):
            w.increment("1")
        with pytest.raises(TypeError, match=r"^Argument 'new_value' has incorrect type \(expected int, got bytes\)$"):
            w.compare_and_swap(1, b"x")

    def test_int_result_coercion(self):
        class Fake:
            def __init__(self, result):
                self.result = result

            def py_load(self):
                return self.result

        w = AtomicCounterWrapper()
        w._counter = Fake(3.7)
        assert w.load() == 3 and type(w.load()) is int
        w._counter = Fake(None)
        assert w.load() is None
        w._counter = Fake(True)
        assert type(w.load()) is int
        w._counter = Fake("7")
        with pytest.raises(TypeError, match=r"^Expected int, got str$"):
            w.load()


class TestFunctionObjects:
    def test_introspection(self):
        f = AtomicCounter.increment
        assert f.__name__ == "increment"
        assert f.__qualname__ == "AtomicCounter.increment"
        assert f.__module__ == "talvora.memory.mesqua"
        assert f.__doc__ == "Atomically increment and return new value."
        assert f.__defaults__ == (1,)
        assert f.__kwdefaults__ is None
        assert f.__annotations__ == {"return": "int"}
        assert AtomicCounter.fetch_and_add.__defaults__ is None
        assert AtomicCounter.store.__annotations__ == {}
        assert AtomicCounterWrapper.compare_and_swap.__annotations__ == {
            "expected": "int",
            "new_value": "int",
            "return": "bool",
        }
        assert AtomicCounterWrapper.__init__.__qualname__ == "AtomicCounterWrapper.__init__"
        assert "AtomicCounter.increment" in repr(f)

    def test_reassigning_defaults_does_not_change_calls(self):
        f = LockFreeStatistics.record_allocation
        saved = f.__defaults__
        assert saved == (True, 0, 0)
        try:
            f.__defaults__ = (False, 99, 99)
            s = LockFreeStatistics()
            s.record_allocation(10)
            snap = s.get_snapshot()
            assert snap["bucketed_allocations"] == 1 and snap["alignment_padding_bytes"] == 0
            with pytest.raises(TypeError):
                f.__defaults__ = [1]
            f.__kwdefaults__ = {"x": 1}
            assert f.__kwdefaults__ == {"x": 1}
        finally:
            f.__defaults__ = saved
            f.__kwdefaults__ = None

    def test_aliases_are_the_same_objects(self):
        for name in ("load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"):
            assert vars(AtomicCounter)["py_" + name] is vars(AtomicCounter)[name]
        d = vars(LockFreeStatistics)
        assert d["py_record_allocation"] is not d["record_allocation"]
        assert d["py_record_allocation"].__name__ == "record_allocation"
        assert d["py_record_allocation"].__defaults__ == (0, 0)

    def test_traceback_entry_names(self):
        with pytest.raises(TypeError) as ei:
            AtomicCounter().increment("x")
        assert tb_names(ei)[-1] == "talvora.memory.mesqua.AtomicCounter.increment"
        with pytest.raises(TypeError) as ei:
            AtomicCounter("x")
        assert tb_names(ei)[-1] == "talvora.memory.mesqua.AtomicCounter.__cinit__"
        with pytest.raises(TypeError) as ei:
            AtomicCounterWrapper("x")
        assert "talvora.memory.mesqua.AtomicCounterWrapper.__init__" in tb_names(ei)
        with pytest.raises(TypeError) as ei:
            pickle.dumps(AtomicCounter())
        assert "talvora.memory.mesqua.AtomicCounter.__reduce_cython__" in tb_names(ei)

    def test_errors_from_python_callees_propagate_with_entries(self):
        class Bad:
            def py_increment(self, delta):
                raise KeyError("inner")

        w = AtomicCounterWrapper()
        w._counter = Bad()
        with pytest.raises(KeyError) as ei:
            w.increment()
        names = tb_names(ei)
        assert "talvora.memory.mesqua.AtomicCounterWrapper.increment" in names
        assert names[-1] == "py_increment"


class TestTypes:
    @pytest.mark.parametrize("cls", NATIVE_CLASSES)
    def test_naming_and_layout(self, cls):
        obj = cls()
        assert type(obj).__name__ == cls.__name__
        assert type(obj).__module__ == "talvora.memory.mesqua"
        assert repr(cls) == f"<class 'talvora.memory.mesqua.{cls.__name__}'>"
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.undeclared = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)

    @pytest.mark.parametrize("cls", [AtomicPointer, LockFreeStack])
    def test_locks_come_from_the_modules_threading_global(self, cls, monkeypatch):
        # As `threading.Lock()` in the module's own code: the global is looked up at each construction, and
        # released again.
        before = sys.getrefcount(threading)
        objs = [cls() for _ in range(100)]
        assert sys.getrefcount(threading) == before
        del objs
        made = []

        class StandIn:
            @staticmethod
            def Lock():
                made.append(threading.Lock())
                return made[-1]

        monkeypatch.setattr(mesqua, "threading", StandIn)
        cls()
        assert len(made) == 1
        monkeypatch.delattr(mesqua, "threading")
        with pytest.raises(NameError, match=r"^name 'threading' is not defined$"):
            cls()

    @pytest.mark.parametrize("cls", NATIVE_CLASSES)
    def test_pickling_and_copying_refused(self, cls):
        obj = cls()
        for op in (pickle.dumps, copy.copy, copy.deepcopy):
            with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
                op(obj)
        d = vars(cls)
        assert "__reduce__" in d and "__setstate__" in d
        assert "__reduce_cython__" not in d and "__setstate_cython__" not in d
        assert d["__reduce__"].__name__ == "__reduce_cython__"
        with pytest.raises(
            TypeError, match=r"^__setstate_cython__\(\) takes exactly 1 positional argument \(0 given\)$"
        ):
            obj.__setstate__()
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            obj.__setstate__({})
        with pytest.raises(
            TypeError, match=r"^__reduce_cython__\(\) takes exactly 0 positional arguments \(1 given\)$"
        ):
            obj.__reduce__(1)
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            obj.__reduce_ex__(2)

    def test_plain_class_pickles_as_python_object(self):
        w = AtomicCounterWrapper(1)
        assert isinstance(w.__dict__, dict)
        assert type(w).__module__ == "talvora.memory.mesqua"
        assert AtomicCounterWrapper.__doc__ == "Python wrapper for Cython AtomicCounter (backward compatibility)."
        # 3.14's pickle adds notes naming the attribute it was serialising
        with pytest.raises(TypeError) as info:
            pickle.dumps(w)
        assert str(info.value) == "no default __reduce__ due to non-trivial __cinit__"
        w._counter = 5
        assert pickle.loads(pickle.dumps(w))._counter == 5

    def test_subclasses(self):
        class Counter(AtomicCounter):
            extra = 1

            def py_increment(self, delta=1):
                return AtomicCounter.increment(self, delta * 10)

        c = Counter(2)
        c.anything = "subclasses get a dict"
        assert c.increment(1) == 3
        assert c.py_increment(1) == 13
        w = AtomicCounterWrapper()
        w._counter = c
        assert w.increment(2) == 33
        assert weakref.ref(c)() is c
        with pytest.raises(TypeError, match=r"^no default __reduce__"):
            pickle.dumps(c)

    def test_subclass_with_own_init_and_new(self):
        class Stack(LockFreeStack):
            def __init__(self, *items):
                for i in items:
                    self.push(i)

        s = Stack(1, 2, 3)
        assert s.size() == 3 and s.pop() == 3

        class Counter(AtomicCounter):
            def __new__(cls, *a, **k):
                return super().__new__(cls, *a, **k)

        assert Counter(initial_value=4).load() == 4
        with pytest.raises(TypeError, match=r"^__cinit__\(\) takes at most 1 positional argument \(2 given\)$"):
            Counter(1, 2)

    def test_gc_participation(self):
        import gc

        assert not gc.is_tracked(AtomicCounter())
        assert not gc.is_tracked(PerformanceTimer())
        for cls in (AtomicPointer, LockFreeStack, LockFreeStatistics):
            assert gc.is_tracked(cls())


class TestSignatures:
    def test_inspect_signature(self):
        import inspect

        assert str(inspect.signature(AtomicCounter.increment)) == "(self, delta=1) -> 'int'"
        assert str(inspect.signature(AtomicCounter(1).increment)) == "(delta=1) -> 'int'"
        assert str(inspect.signature(AtomicCounter)) == "(initial_value=0)"
        assert str(inspect.signature(AtomicPointer)) == "(initial_value=None)"
        assert str(inspect.signature(LockFreeStack)) == "(*args, **kwargs)"
        assert LockFreeStack.__doc__.startswith("Thread-safe")
        assert str(inspect.signature(AtomicCounterWrapper)) == "(initial_value: 'int' = 0)"
        assert str(inspect.signature(LockFreeStatistics.record_allocation)) == (
            "(self, size: 'int', is_bucketed: 'bool' = True, padding: 'int' = 0, time_ns: 'int' = 0) -> 'None'"
        )
        assert AtomicCounter.__doc__.startswith("Lock-free")

    def test_help_shows_signature(self):
        import pydoc

        text = pydoc.render_doc(AtomicCounter.compare_and_swap, renderer=pydoc.plaintext)
        sig = as_pydoc_prints("compare_and_swap", "(self, expected, new_value) -> 'bool'")
        assert "compare_and_swap" + sig in text
        assert "Atomically compare and swap." in text
