"""The plan command as users run it: values applied and shown, saturation, units, operations and the JSON."""

import json
import math
import os
import shutil
import subprocess
import sys

import pytest

from talvora.cli.plan import (
    PLAN_SCHEMA_VERSION,
    applied_headroom,
    format_plan,
    human_bytes,
    parse_size,
    plan_allocation,
)
from talvora.gpu import (
    CHUNKABLE_OPERATIONS,
    MAX_BYTES,
    MAX_HEADROOM_RATIO,
    NON_CHUNKABLE_OPERATIONS,
    SATURATED_ESTIMATE,
    drelling,
)

BASE = ["--element-size", "8", "--available", "8GiB"]
HUGE = "2000000000,2000000000,2000000000"


def talvora(*argv):
    """Runs the installed console script; returns (status, stdout, stderr)."""
    script = shutil.which("talvora", path=os.path.dirname(sys.executable))
    assert script, "the talvora console script is not installed next to %s" % sys.executable
    result = subprocess.run(
        [script, "plan", *argv], stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=120
    )
    return result.returncode, result.stdout, result.stderr


def field(out, label):
    """The value of a ``Label: value`` line of the plan's text."""
    for line in out.splitlines():
        if line.startswith(label + ":"):
            return line[len(label) + 1 :].strip()
    raise AssertionError("no %r line in:\n%s" % (label, out))


def notes(out):
    return [line for line in out.splitlines() if line.startswith("Note: ")]


class TestSaturation:
    def test_a_saturated_estimate_is_marked_and_explained(self):
        code, out, err = talvora("--shape", HUGE, *BASE)
        assert (code, err) == (0, "")
        assert field(out, "Allocation estimate") == "9223372036854775807 bytes (8192.00 PiB), capped"
        assert notes(out) == [
            "Note: the array takes 64000000000000000000000000000 bytes (56843418860808.02 PiB), more than the "
            "planner counts: its estimate stops at 9223372036854775807 bytes (2^63 - 1), so the GPU passes of this "
            "plan are counted for the capped size and are too few for the whole array."
        ]
        plan = json.loads(talvora("--shape", HUGE, *BASE, "--json")[1])
        assert plan["allocation_saturated"] is True
        assert plan["allocation_bytes"] == SATURATED_ESTIMATE and plan["array_bytes"] == 8 * 2000000000**3
        assert plan["notes"] == [notes(out)[0][len("Note: ") : -1]]

    def test_the_consequence_follows_the_strategy_and_the_overhead_factor(self):
        code, out, _ = talvora("--shape", HUGE, *BASE, "--op", "matmul", "--overhead-factor", "2")
        assert code == 0 and field(out, "Strategy").startswith("CPU_FALLBACK")
        (note,) = notes(out)
        assert (
            "(2^63 - 1), without the overhead factor, so the strategy of this plan is decided for the capped size"
            in note
        )

    def test_an_overhead_product_beyond_64_bits_is_marked(self):
        plan = plan_allocation((2**31 - 1, 2**31 - 1), 1, 2**30, overhead_factor=10.0)
        assert plan["allocation_bytes"] == MAX_BYTES and plan["allocation_saturated"] is True
        assert "reaches the largest byte count the planner counts, 18446744073709551615 (2^64 - 1)" in plan["notes"][0]

    def test_an_exact_estimate_at_the_cap_is_not_saturated(self):
        # 2^63 - 1 = 49 * 73 * 127 * 337 * 92737 * 649657: the real size, not the cap.
        code, out, _ = talvora("--shape", "49,73,127,337,92737,649657", "--element-size", "1", "--available", "8GiB")
        assert code == 0
        assert field(out, "Allocation estimate") == "9223372036854775807 bytes (8192.00 PiB)"
        assert notes(out) == []

    def test_a_dimension_beyond_the_module_is_refused_with_its_meaning(self):
        code, out, err = talvora("--shape", "3000000000", *BASE)
        assert (code, out) == (2, "")
        assert err.splitlines()[-1] == (
            "talvora plan: error: argument --shape: dimension 3000000000 of shape '3000000000' is too large: the "
            "GPU planning module takes dimensions of at most 2147483647, so it cannot size or chunk an array of "
            "this shape"
        )


class TestValuesAsApplied:
    def test_headroom_beyond_the_clamp_is_shown_as_applied(self):
        code, out, _ = talvora("--shape", "1000", *BASE, "--headroom", "0.995")
        assert code == 0
        assert field(out, "Headroom") == "0.99 (0.995 given)"
        assert field(out, "Safe limit").startswith("%d bytes" % drelling.calculate_safe_limit(8 * 2**30, 0.99))
        assert notes(out) == [
            "Note: headroom 0.995 is applied as 0.99: the planner keeps back between 0 and 0.99 of the available "
            "memory."
        ]
        plan = json.loads(talvora("--shape", "1000", *BASE, "--headroom", "0.995", "--json")[1])
        assert (plan["headroom_ratio"], plan["headroom_ratio_given"]) == (0.99, 0.995)

    def test_an_overhead_factor_below_one_is_shown_as_without_effect(self):
        code, out, _ = talvora("--shape", "1000", *BASE, "--overhead-factor", "0.5")
        assert code == 0
        assert field(out, "Overhead factor") == "1 (0.5 given)"
        assert field(out, "Allocation estimate").startswith("8000 bytes")
        assert notes(out) == [
            "Note: overhead factor 0.5 has no effect: a factor of 1 or less never shrinks the estimate."
        ]

    def test_values_within_range_carry_no_note(self):
        code, out, _ = talvora("--shape", "1000", *BASE, "--headroom", "0.99", "--overhead-factor", "1.5")
        assert (field(out, "Headroom"), field(out, "Overhead factor"), notes(out)) == ("0.99", "1.5", [])

    @pytest.mark.parametrize("given", [0.0, 0.2, 0.5, 0.99, 0.990000001, 0.995, 1.5, -0.5, float("nan")])
    def test_the_applied_headroom_is_the_modules(self, given):
        for available in (1000, 8 * 2**30, 2**64 - 1):
            assert drelling.calculate_safe_limit(available, applied_headroom(given)) == drelling.calculate_safe_limit(
                available, given
            )
        assert 0.0 <= applied_headroom(given) <= MAX_HEADROOM_RATIO


class TestUnits:
    def test_every_unit_the_output_prints_is_accepted(self):
        printed = set()
        for k in range(6):
            n = 3 * 2 ** (10 * k)
            text = human_bytes(n)
            printed.add(text.split()[-1])
            assert parse_size(text) == n, text
            assert parse_size("%d bytes" % n) == n
        assert printed == {"B", "KiB", "MiB", "GiB", "TiB", "PiB"}
        assert parse_size("2P") == parse_size("2 pib") == 2**51 and parse_size("2PB") == 2 * 10**15

    def test_available_in_pib(self):
        code, out, err = talvora("--shape", "1000", "--element-size", "8", "--available", "1PiB")
        assert (code, err) == (0, "")
        assert field(out, "Available") == "1125899906842624 bytes (1.00 PiB)"


class TestOperations:
    def test_an_unknown_operation_is_warned_about_once(self):
        code, out, err = talvora("--shape", "1000", *BASE, "--op", "zero")
        assert code == 0
        assert (
            err == "talvora plan: warning: unknown operation 'zero', planned as not chunkable (did you mean 'zeros'?)\n"
        )
        assert field(out, "Operation") == "zero (unknown, planned as not chunkable)"
        err = talvora("--shape", "1000", *BASE, "--op", "qwerty", "--json")[2]
        assert err.count("\n") == 1 and "known operations: zeros, ones," in err and "argsort" in err

    @pytest.mark.parametrize("op", ["zeros", "random.randn", "matmul", "argsort"])
    def test_known_operations_are_not_warned_about(self, op):
        code, out, err = talvora("--shape", "1000", *BASE, "--op", op)
        assert (code, err) == (0, "")
        assert "unknown" not in field(out, "Operation")

    def test_the_operation_tuples_are_the_modules(self):
        # Chunkable operations score 0.9, other known ones 0.7, unknown names 0.5 at a full memory score.
        def weight(op):
            return round(drelling.score_gpu_suitability(8, op, 10, 0.0), 6)

        assert all(drelling.is_chunkable_operation(op) and weight(op) == 0.9 for op in CHUNKABLE_OPERATIONS)
        assert all(not drelling.is_chunkable_operation(op) and weight(op) == 0.7 for op in NON_CHUNKABLE_OPERATIONS)
        assert weight("zero") == weight("Zeros") == weight("") == 0.5


class TestNegativeValues:
    @pytest.mark.parametrize(
        "option,value,message",
        [
            ("--shape", "-5,3", "argument --shape: invalid shape '-5,3'"),
            ("--shape", "-5", "argument --shape: invalid shape '-5'"),
            ("--available", "-1", "argument --available: invalid size '-1'"),
            ("--element-size", "-8", "argument --element-size: element size must be positive, got -8"),
            ("--headroom", "-0.5", "argument --headroom: headroom must be at least 0 and below 1"),
        ],
    )
    def test_negative_values_reach_the_options_messages(self, option, value, message):
        argv = {"--shape": "10,4", "--element-size": "8", "--available": "1GiB"}
        argv[option] = value
        code, out, err = talvora(*[x for kv in argv.items() for x in kv])
        assert (code, out) == (2, "")
        assert "talvora plan: error: " + message in err
        assert "expected one argument" not in err


class TestJson:
    def test_passes_and_chunk_shapes_have_names_apart(self):
        code, out, _ = talvora("--shape", "20000000,1000", "--element-size", "8", "--available", "1MiB", "--json")
        plan = json.loads(out)
        assert plan["schema_version"] == PLAN_SCHEMA_VERSION == 2
        assert not {"chunks", "chunk_count", "chunk_groups", "chunks_fit"} & set(plan)
        assert (plan["gpu_passes"], plan["chunk_shape_count"]) == (190736, 192308)
        assert plan["chunk_shape_groups"] == [
            {"shape": [104, 1000], "count": 192307},
            {"shape": [72, 1000], "count": 1},
        ]
        assert plan["chunk_shapes_fit"] is True and plan["notes"] == [] and plan["operation_known"] is True

    def test_a_plan_that_is_not_chunked_has_no_chunk_shapes(self):
        plan = plan_allocation((1000,), 8, 2**30)
        assert (plan["gpu_passes"], plan["chunk_shape_count"], plan["chunk_shape_groups"]) == (1, None, None)
        assert plan["array_bytes"] == 8000 and "Chunk" not in format_plan(plan)
        assert plan_allocation((), 4, 2**30)["array_bytes"] == 4
        assert plan_allocation((0, 7), 4, 2**30)["array_bytes"] == 0 == math.prod((0, 7))
