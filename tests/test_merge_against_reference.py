"""The native merge held to the Python reference: generated fields, thresholds, thread counts."""

from __future__ import annotations

import math
import re
import shutil
import subprocess

import numpy as np
import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st

import _native
import reference_merge
from merge_fields import (
    NAN,
    Failure,
    assert_same_outcome,
    information_row,
    matrix,
    native_outcome,
    point,
    record,
    reference_outcome,
)

INF = math.inf
THREAD_COUNTS = (1, 3)

# Crop-row keys and cells that convert to each. Neighbour slots copy a
# record's cells, since they match only cells spelled exactly alike.
KEY_SPELLINGS = {
    0: (0.0, -0.0, 0.5, -3.0, NAN, -INF),
    1: (1.0, 1.0, 1.7),
    2: (2.0, 2.0, 2.99),
    2**64 - 1: (INF, 1e20, 2.0**64),
    2**64 - 2048: (18446744073709549568.0,),
}
HALVES = st.integers(-4, 24).map(lambda half: half / 2)
COORDINATES = st.one_of(
    HALVES, HALVES, HALVES, st.sampled_from([NAN, INF, -INF, -0.0, 1e300, -1e300, 1e-200])
)
# A NaN tolerance is refused before any work (test_arguments.py).
TOLERANCES = st.one_of(
    st.sampled_from([0.0, -0.0, 0.1, 0.5, 1.0, 2.5, INF, -INF, -0.5, 1e-300]),
    st.floats(-1.0, 5.0),
)


def spelled(draw, identity):
    return tuple(draw(st.sampled_from(KEY_SPELLINGS[part])) for part in identity)


def endpoint_block(draw):
    kind = draw(st.sampled_from(["spread", "spread", "degenerate", "row with equal ends"]))
    if kind == "degenerate":
        return [(draw(COORDINATES), draw(COORDINATES))] * 3
    ends = [(draw(COORDINATES), draw(COORDINATES)) for _ in range(3)]
    if kind == "row with equal ends":
        ends[1] = ends[0]
    return ends


def width(draw, faulty, usual, unusual):
    """`usual`, or in a faulty field now and then an unusual width."""
    if not faulty:
        return usual
    return draw(st.sampled_from([usual] * len(unusual) * 2 + list(unusual)))


def count(draw, most):
    """0 now and then, else 1 to `most`."""
    return draw(st.sampled_from([*range(1, most + 1)] * 3 + [0]))


def neighbour_keys(draw, faulty, information, any_row):
    """Keys of a neighbour slot, usually copied from a record so that they match exactly."""
    kinds = ["copied"] * 4 + (["spelled", "NaN second"] if faulty else [])
    kind = draw(st.sampled_from(kinds))
    usable = [row for row in information if len(row) > 4 and not math.isnan(row[4])]
    if kind == "copied" and usable:
        row = draw(st.sampled_from(usable))
        return row[0], row[4]
    if kind == "NaN second":
        return spelled(draw, draw(any_row))[0], NAN
    return spelled(draw, draw(any_row))


@st.composite
def fields(draw):
    """(connected_crop_rows, points_in_rows, row_information, tolerance), small.

    One field in three is faulty: odd widths, a crop row without its record,
    neighbour keys that match no record exactly.
    """
    faulty = draw(st.sampled_from([False, False, True]))
    identity = st.tuples(st.sampled_from(list(KEY_SPELLINGS)), st.sampled_from(list(KEY_SPELLINGS)))
    crop_rows = draw(st.lists(identity, min_size=1, max_size=3))
    known = st.sampled_from(crop_rows)
    any_row = st.one_of(known, known, known, identity)

    information_cols = width(draw, faulty, 11, [0, 1, 4, 5, 10, 12])
    # Every crop row has a record, in any order, among a few others.
    described = draw(st.permutations(crop_rows + draw(st.lists(any_row, max_size=2))))
    if faulty and draw(st.booleans()):
        described = described[1:]
    information = [
        information_row(spelled(draw, identity), endpoint_block(draw), cols=information_cols)
        for identity in described
    ]

    record_cols = width(draw, faulty, 11, [2, 3, 4, 5, 6, 9, 12, 13])
    records = []
    for _ in range(count(draw, 5)):
        values = [draw(COORDINATES), *spelled(draw, draw(known))]
        slots = draw(st.integers(0, 4))
        for _ in range(slots):
            values.extend(neighbour_keys(draw, faulty, information, any_row))
        if slots < 4:
            values.append(NAN)  # ends the neighbour list; what follows is never read
        values.extend(draw(COORDINATES) for _ in range(12))
        records.append(values[:record_cols])

    extra = draw(st.integers(0, 3))
    point_cols = width(draw, faulty, 4 + extra, [0, 1, 2, 3])
    points = [
        point(spelled(draw, draw(any_row)), draw(COORDINATES), draw(COORDINATES),
              *(draw(COORDINATES) for _ in range(extra)))[:point_cols]
        for _ in range(count(draw, 10))
    ]
    return (
        matrix(records, cols=record_cols),
        matrix(points, cols=point_cols),
        matrix(information, cols=information_cols),
        draw(TOLERANCES),
    )


@settings(max_examples=600, deadline=None)
@given(field=fields())
def test_module_agrees_with_reference_on_generated_fields(field):
    expected = reference_outcome(*field)
    if isinstance(expected, Failure):
        event(f"fails: {expected.message}")
    else:
        event(f"publishes rows: {expected.shape[0] > 0}")
    for threads in THREAD_COUNTS:
        assert_same_outcome(native_outcome(*field, threads), expected)


def around(value):
    return (math.nextafter(value, -INF), value, math.nextafter(value, INF))


def shifted(edge, tolerance):
    return around(edge + tolerance) + around(edge - tolerance)


@st.composite
def threshold_fields(draw):
    """One row and a neighbour in general position, with points on and next to every threshold.

    A foot point, midpoint or threshold rounded differently from the
    reference (a fused multiply-add, another order of terms) moves a point
    across its threshold.
    """
    coordinate = st.floats(-100.0, 100.0, allow_subnormal=False)
    current = [(draw(coordinate), draw(coordinate)) for _ in range(3)]
    neighbour = [(draw(coordinate), draw(coordinate)) for _ in range(3)]
    far, near, neighbour_near = reference_merge.choose_endpoints(current, neighbour)
    foot = reference_merge.trim_foot_point(far, near, neighbour_near)
    gap = reference_merge.dist(foot, near)
    tolerances = st.floats(0.0, 5.0)
    if not math.isnan(gap):  # a NaN tolerance is refused
        tolerances = st.one_of(st.sampled_from(around(gap)), tolerances)
    tolerance = draw(tolerances)
    xs = sorted({x for edge in (foot[0], near[0]) for x in shifted(edge, tolerance)})
    ys = sorted({y for edge in (foot[1], near[1]) for y in shifted(edge, tolerance)})
    own, other = (1.0, 1.0), (2.0, 2.0)
    points = matrix([point(own, x, y) for x in xs for y in ys])
    information = matrix([information_row(own, current), information_row(other, neighbour)])
    return matrix([record(own, other)]), points, information, tolerance


@settings(max_examples=150, deadline=None)
@given(field=threshold_fields())
def test_module_rounds_like_reference_at_thresholds(field):
    expected = reference_outcome(*field)
    event(f"keeps every point: {expected.shape[0] == field[1].shape[0]}")
    assert_same_outcome(native_outcome(*field), expected)


def field_inputs(field, tolerance):
    names = ("connected_crop_rows", "points_in_rows", "row_information")
    return (*(field[name] for name in names), tolerance)


@pytest.mark.parametrize("tolerance", [0.1, 0.3])
def test_result_follows_record_order_for_any_thread_count(make_field, tolerance):
    field = make_field(lines=6, rows_per_line=10, points_per_row=12, seed=3)
    # Records in an order unrelated to their keys, one of them twice.
    order = np.random.default_rng(7).permutation(60)
    field["connected_crop_rows"] = field["connected_crop_rows"][np.append(order, order[0])]
    inputs = field_inputs(field, tolerance)
    expected = reference_outcome(*inputs)
    assert 0 < expected.shape[0] < 61 * 12  # something was trimmed
    for threads in (1, 2, 3, 8):
        assert_same_outcome(native_outcome(*inputs, threads), expected)


def test_many_points_keep_their_row_order_for_any_thread_count(make_field):
    # Enough points that the engine may split its work on them between threads.
    field = make_field(lines=1, rows_per_line=3, points_per_row=50_000, seed=5)
    inputs = field_inputs(field, 0.1)
    expected = reference_outcome(*inputs)
    for threads in (1, 3):
        assert_same_outcome(native_outcome(*inputs, threads), expected)


# Fused multiply-add in all its forms: x86 FMA3 and FMA4, AArch64 scalar and vector.
FUSED_MNEMONIC = re.compile(r"v?fn?m(add|sub)\w*|fml[as]\w*")


def instruction_mnemonics(library):
    listing = subprocess.run(
        ["objdump", "-d", "--no-show-raw-insn", library], capture_output=True, text=True, check=True
    ).stdout
    # Instruction lines read "  address:<TAB>mnemonic operands".
    return [line.split(":\t", 1)[1].split()[0] for line in listing.splitlines()
            if line.startswith(" ") and ":\t" in line and line.split(":\t", 1)[1].strip()]


def test_engine_contains_no_fused_multiply_add():
    # A machine that builds the module has binutils, whose assembler and linker the compiler
    # needs; so a missing objdump is a broken set-up, not a reason to check nothing.
    if shutil.which("objdump") is None:
        pytest.fail("this check needs objdump, from binutils (which comes with the compiler's "
                    "assembler and linker); install binutils", pytrace=False)
    mnemonics = instruction_mnemonics(_native.__file__)
    assert "ret" in mnemonics
    assert sorted({m for m in mnemonics if FUSED_MNEMONIC.fullmatch(m)}) == []
