"""The table form of the merge: a DataFrame of the survivors with `record` and `source_row`,
checked against direct calls of the module on the whole field and on each record alone, on
fields where records share crop rows, keep nothing or have no points, and points belong to no
record; and the key conversion behind it, checked against the module's own gathering."""

from __future__ import annotations

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _native
import crop_row_merge
from crop_row_merge import MergeError
from crop_row_merge._origins import crop_row_keys
from merge_fields import EXAMPLE_CURRENT, EXAMPLE_NEIGHBOUR, NAN, information_row, matrix, point, record
from package_support import assert_bit_identical, direct_failure_with_notes
from support import junction_field

# The crowded fields mean to be odd (points of no record among them), which the package warns of.
pytestmark = pytest.mark.filterwarnings("ignore::crop_row_merge.FieldWarning")

A, B = (1, 1), (2, 1)
# Records that stress the bookkeeping; the comment says what each one is for.
CROWDED_RECORDS = [
    record(A, B),  # 0: the junction's first row
    record(B, A),  # 1: and its second
    record(A),  # 2: crop row A again, untrimmed
    record((1.9, 1.2), A),  # 3: A a third time, spelled otherwise, trimmed against itself
    record((6, 1), B),  # 4: has points, all of them past the junction: keeps nothing
    record((5, 5)),  # 5: no points at all
    record((NAN, -1), B),  # 6: keys that convert to (0, 0)
    record((-5, 0.3)),  # 7: (0, 0) again
    record((1e20, 5), A),  # 8: keys that saturate
    record((2.5, 1.0), A),  # 9: B again
]
CROWDED_INFORMATION = [
    information_row(A, EXAMPLE_CURRENT),
    information_row(B, EXAMPLE_NEIGHBOUR),
    information_row((6, 1), EXAMPLE_CURRENT),
    information_row((0, 0), EXAMPLE_CURRENT),
    information_row((math.inf, 5), EXAMPLE_NEIGHBOUR),
    information_row((5, 5), EXAMPLE_CURRENT),
]
CROWDED_POINTS = [
    *junction_field()["points_in_rows"].tolist(),
    point(A, NAN, 3.0, 109),  # dropped by any trim, kept by record 2
    point((6, 1), 9.8, 9.8, 300),
    point((6.5, 1), 10.05, 10.05, 301),
    point((NAN, 0), 4.0, 4.0, 400),
    point((-3, 0.7), 9.9, 9.9, 401),
    point((0.2, NAN), 2.0, 2.0, 402),
    point((math.inf, 5), 12.0, 12.0, 500),
    point((1e25, 5.5), 9.1, 9.1, 501),
    point((7, 7), 1.0, 1.0, 700),  # no record has crop row (7, 7)
    point((1, 2), 1.0, 1.0, 701),  # nor (1, 2)
]


def crowded_field():
    return {
        "connected_crop_rows": matrix(CROWDED_RECORDS),
        "points_in_rows": matrix(CROWDED_POINTS),
        "row_information": matrix(CROWDED_INFORMATION),
    }


def direct(connected, points, information, tolerance):
    return _native.merge_points_removing_overlap(connected, points, information, tolerance, 1)


def assert_table_matches_direct_calls(frame, field, tolerance, names):
    """The point columns are the direct call's result; each record's rows are what that record
    alone keeps; each source_row names the row of points_in_rows copied."""
    connected, points, information = (
        field["connected_crop_rows"], field["points_in_rows"], field["row_information"]
    )
    assert list(frame.columns) == [*names, "record", "source_row"]
    assert frame["record"].dtype == np.int64 and frame["source_row"].dtype == np.int64
    values = frame[names].to_numpy()
    assert_bit_identical(values, direct(connected, points, information, tolerance))
    records = frame["record"].to_numpy()
    for index in range(len(connected)):
        alone = direct(connected[[index]], points, information, tolerance)
        assert_bit_identical(values[records == index], alone)
    assert_bit_identical(points[frame["source_row"].to_numpy()], values)


def as_frame(points, names):
    return pd.DataFrame(points, columns=names)


def test_crowded_field_exercises_what_it_claims():
    """Told by direct calls alone: crop rows with several records, a record that gathers points
    and keeps none, a record without points, and points that no record gathers."""
    field = crowded_field()
    connected, points, information = field.values()
    untrimmed = connected.copy()
    untrimmed[:, 3:] = NAN
    gathered = [direct(untrimmed[[i]], points, information, 0.1)[:, 4] for i in range(len(connected))]
    kept = [direct(connected[[i]], points, information, 0.1)[:, 4] for i in range(len(connected))]
    ids = [tuple(g) for g in gathered]
    assert ids[0] == ids[2] == ids[3] and ids[1] == ids[9] and ids[6] == ids[7]
    assert len(gathered[4]) == 2 and len(kept[4]) == 0
    assert len(gathered[5]) == 0
    assert {700, 701} <= set(points[:, 4]) - set(np.concatenate(gathered))
    assert len(kept[3]) < len(gathered[3])  # trimmed against its own row


@pytest.mark.parametrize("tolerance", [0.1, 0.6])
def test_crowded_table_matches_direct_calls(tolerance):
    field = crowded_field()
    names = ["key a", "key b", "east", "north", "id"]
    frame = crop_row_merge.merge_tables(
        field["connected_crop_rows"], as_frame(field["points_in_rows"], names), field["row_information"],
        tolerance=tolerance, num_threads=2,
    )
    assert_table_matches_direct_calls(frame, field, tolerance, names)


def test_synthetic_table_matches_direct_calls(make_field):
    field = make_field(3, 5, 60, stagger=0.3, seed=4)
    frame = crop_row_merge.merge_tables(**field, tolerance=0.1)
    names = ["row_key_1", "row_key_2", "x", "y", "column_4", "column_5"]
    assert_table_matches_direct_calls(frame, field, 0.1, names)
    assert frame["record"].is_monotonic_increasing


@settings(max_examples=60, deadline=None)
@given(
    records=st.lists(st.sampled_from(range(len(CROWDED_RECORDS))), max_size=14),
    points=st.lists(st.sampled_from(range(len(CROWDED_POINTS))), max_size=30),
    tolerance=st.sampled_from([0.0, 0.1, 0.3, 2.0]),
)
def test_random_crowded_tables_match_direct_calls(records, points, tolerance):
    """Records and points drawn from the crowded field with repeats, in any order: repeated
    records share crop rows in every pattern, and many records keep nothing."""
    field = {
        "connected_crop_rows": matrix([CROWDED_RECORDS[i] for i in records], cols=11),
        "points_in_rows": matrix([CROWDED_POINTS[i] for i in points], cols=5),
        "row_information": matrix(CROWDED_INFORMATION),
    }
    frame = crop_row_merge.merge_tables(**field, tolerance=tolerance, num_threads=1)
    assert_table_matches_direct_calls(frame, field, tolerance, ["row_key_1", "row_key_2", "x", "y", "column_4"])


def test_narrow_points_without_trims_merge_as_the_direct_call():
    """Two point columns: the row number must not land where keys or coordinates are read."""
    field = {
        "connected_crop_rows": matrix([record(A), record(B), record(A)]),
        "points_in_rows": matrix([[1, 1], [2, 1], [1, 1.5], [3, 3]]),
        "row_information": matrix([information_row(A), information_row(B)]),
    }
    frame = crop_row_merge.merge_tables(**field)
    assert_table_matches_direct_calls(frame, field, 0.1, ["row_key_1", "row_key_2"])


def failing_fields():
    good = crowded_field()
    narrow = {**good, "points_in_rows": good["points_in_rows"][:, :3]}
    lost_row = {**good, "row_information": good["row_information"][[0, 1, 2, 3, 4]]}  # no (5, 5)
    two_columns = {**good, "connected_crop_rows": good["connected_crop_rows"][:, :2]}
    key_only = {**good, "points_in_rows": good["points_in_rows"][:, :1]}
    return {"points without y": narrow, "record without its row": lost_row,
            "records without keys": two_columns, "points with one column": key_only}


@pytest.mark.parametrize("field", failing_fields().values(), ids=failing_fields().keys())
def test_a_failing_field_fails_as_the_direct_call(field):
    message, *notes = direct_failure_with_notes(field)
    for merge in (lambda: crop_row_merge.merge_tables(**field), lambda: crop_row_merge.merge_field(field)):
        with pytest.raises(MergeError) as raised:
            merge()
        assert raised.value.module_message == message and raised.value.__notes__ == notes
        assert str(raised.value) == f"{notes[0]} ({message})"


def test_dataframes_keep_their_names_and_numeric_columns_convert():
    field = junction_field()
    points = pd.DataFrame(field["points_in_rows"], columns=["a", "b", "x_m", "y_m", "plant"])
    points["plant"] = points["plant"].astype(np.int32)
    points["good"] = points["plant"] % 2 == 0
    connected = pd.DataFrame(field["connected_crop_rows"])
    frame = crop_row_merge.merge_tables(connected, points, field["row_information"])
    as_float = {**field, "points_in_rows": points.to_numpy(dtype=np.float64)}
    names = ["a", "b", "x_m", "y_m", "plant", "good"]
    assert frame[names].dtypes.tolist() == points.dtypes.tolist()
    as_float_frame = frame.astype(dict.fromkeys(names, np.float64))
    assert_table_matches_direct_calls(as_float_frame, as_float, 0.1, names)


def test_columns_that_are_not_numbers_come_back_as_they_were():
    field = junction_field()
    points = pd.DataFrame(field["points_in_rows"], columns=list("abcde"))
    points["label"] = [f"plant {i}" for i in range(len(points))]
    points["when"] = pd.Timestamp("2026-06-01") + pd.to_timedelta(np.arange(len(points)), unit="s")
    frame = crop_row_merge.merge_tables(field["connected_crop_rows"], points, field["row_information"])
    assert frame[["label", "when"]].equals(points[["label", "when"]].iloc[frame["source_row"]].reset_index(drop=True))
    assert frame["when"].dtype == points["when"].dtype


def test_a_points_table_with_a_record_column_is_refused():
    field = junction_field()
    points = pd.DataFrame(field["points_in_rows"], columns=list("abcde")).assign(record=1.0)
    with pytest.raises(crop_row_merge.FieldError, match="points_in_rows already has a column named 'record'"):
        crop_row_merge.merge_tables(field["connected_crop_rows"], points, field["row_information"])


KEY_VALUES = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([2.0**63, 2.0**64, np.nextafter(2.0**64, 0), -0.0, 0.999999, 5e-324, 1.0, 1.5, 2.0**53 + 2]),
)


@settings(max_examples=300, deadline=None)
@given(own=KEY_VALUES, other=KEY_VALUES, second=st.booleans())
def test_key_conversion_agrees_with_the_modules_gathering(own, other, second):
    """A record gathers a point exactly when the package's keys of the two are equal."""
    own_keys = (1.0, own) if second else (own, 1.0)
    point_keys = (1.0, other) if second else (other, 1.0)
    gathered = direct(
        matrix([record(own_keys)]), matrix([point(point_keys, 0.0, 0.0)]), matrix([information_row(own_keys)]), 0.1
    )
    same = (crop_row_keys(np.array(own_keys)) == crop_row_keys(np.array(point_keys))).all()
    assert len(gathered) == (1 if same else 0)
