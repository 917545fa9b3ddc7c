"""build_field: from labelled points alone to a field that merges as the field they came from;
the neighbour rules at their limits, fitted lines, given row information, the tables it takes, and
the warnings it gives."""

from __future__ import annotations

import math
import re

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import _native
from crop_row_merge import FieldError, FieldWarning, build_field

NAN = math.nan
UTM = (500_000.0, 5_700_000.0)


def true_field(angle, *, lines=6, rows_per_line=6, points_per_row=300, spacing=0.75, overlap=0.8,
               lengths=(20.0, 20.0), noise=0.03, strays=0.0, origin=(0.0, 0.0), seed=0):
    """A field and the truth behind it: lines `spacing` apart at `angle` degrees (0 and 90 exactly
    along x and y), each cut into crop rows of lengths drawn from `lengths` that overlap by
    `overlap`, each linked to the rows before and after it; points jittered sideways by `noise`,
    a share `strays` of them thrown 0.3 to 2 to the side. Points carry their number last."""
    rng = np.random.default_rng(seed)
    direction = {0: (1.0, 0.0), 90: (0.0, 1.0)}.get(angle, (math.cos(math.radians(angle)), math.sin(math.radians(angle))))
    direction = np.array(direction)
    across = np.array([-direction[1], direction[0]])
    connected, information, points = [], [], []
    for line in range(lines):
        along = 0.0
        for place in range(rows_per_line):
            length = rng.uniform(*lengths)
            start = np.asarray(origin) + line * spacing * across + along * direction
            end = start + length * direction
            along += length - overlap
            keys = [line + 1, place + 1]
            slots = [value for other in (place - 1, place + 1) if 0 <= other < rows_per_line
                     for value in (line + 1, other + 1)]
            connected.append([len(connected), *keys, *slots, *[NAN] * (8 - len(slots))])
            information.append([keys[0], 0, 0, 0, keys[1], *start, *end, *(start + end) / 2])
            share = rng.uniform(0, length, points_per_row)
            sideways = rng.normal(0, noise, points_per_row)
            thrown = rng.random(points_per_row) < strays
            sideways[thrown] += rng.choice([-1, 1], thrown.sum()) * rng.uniform(0.3, 2.0, thrown.sum())
            xy = start + share[:, None] * direction + sideways[:, None] * across
            points.append(np.column_stack([np.tile(keys, (points_per_row, 1)), xy]))
    points = np.vstack(points)
    points = np.column_stack([points, np.arange(len(points))])[rng.permutation(len(points))]
    return {"connected_crop_rows": np.array(connected), "points_in_rows": points,
            "row_information": np.array(information)}


def neighbour_pairs(connected) -> set[frozenset]:
    pairs = set()
    for record in connected:
        for slot in range(4):
            if math.isnan(record[3 + 2 * slot]):
                break
            pairs.add(frozenset({tuple(record[1:3]), tuple(record[3 + 2 * slot : 5 + 2 * slot])}))
    return pairs


def kept_points(field, tolerance=0.1) -> np.ndarray:
    merged = _native.merge_points_removing_overlap(**field, tolerance=tolerance, num_threads=1)
    kept = np.zeros(len(field["points_in_rows"]), dtype=bool)
    kept[merged[:, -1].astype(int)] = True
    return kept


@pytest.mark.parametrize(
    "shape",
    [
        {"angle": 0},
        {"angle": 90},
        {"angle": 17},
        {"angle": 135},
        {"angle": -30, "noise": 0.06},
        {"angle": 30, "noise": 0.06, "strays": 0.01},
        {"angle": 0, "noise": 0.05, "strays": 0.01},
        {"angle": 90, "noise": 0.05, "strays": 0.01, "origin": UTM},
        {"angle": 20, "lengths": (8.0, 30.0)},
        {"angle": 0, "lengths": (5.0, 25.0)},
        {"angle": 70, "spacing": 0.4},
        {"angle": 10, "spacing": 3.0, "overlap": 0.9},
        {"angle": 25, "spacing": 0.5, "origin": UTM},
    ],
    ids=lambda shape: ",".join(f"{k}={v}" for k, v in shape.items()),
)
def test_a_field_built_from_its_points_finds_the_true_neighbours_and_merges_alike(shape):
    truth = true_field(**shape)
    built = build_field(truth["points_in_rows"])
    assert neighbour_pairs(built["connected_crop_rows"]) == neighbour_pairs(truth["connected_crop_rows"])
    # Fitted ends lie at the rows' outermost points, a little inside the true ends, so junction
    # midpoints move and points near a junction may change sides; far from junctions nothing does.
    true_kept, built_kept = kept_points(truth), kept_points(built)
    assert abs(built_kept.mean() - true_kept.mean()) <= 0.002
    assert np.mean(built_kept == true_kept) >= 0.985


def two_rows(second_start, second_end, first=((0.0, 0.0), (10.0, 0.0)), count=21):
    """Points of row (1, 1) from `first` and of row (1, 2) from `second_start` to `second_end`,
    exactly on their lines, `count` each."""
    share = np.linspace(0, 1, count)[:, None]
    rows = [np.asarray(first), np.array([second_start, second_end])]
    return np.vstack([
        np.column_stack([np.full(count, 1.0), np.full(count, key), row[0] + share * (row[1] - row[0])])
        for key, row in zip((1.0, 2.0), rows)
    ])


TURNED = 10.5 * np.pi / 180  # beyond the 10 degrees allowed


@pytest.mark.parametrize(
    "second, linked",
    [
        (((11.0, 0.0), (20.0, 0.0)), True),  # a gap of exactly max_gap
        (((11.01, 0.0), (20.0, 0.0)), False),
        (((9.0, 0.0), (20.0, 0.0)), True),  # overlapping by max_gap
        (((10.5, 0.19), (20.0, 0.19)), True),  # beside the line by less than max_offset
        (((10.5, 0.21), (20.0, 0.21)), False),
        (((10.5, 0.0), (10.5 + 9 * np.cos(0.17), 9 * np.sin(0.17))), True),  # 9.7 degrees apart
        (((10.5, 0.0), (10.5 + 9 * np.cos(TURNED), 9 * np.sin(TURNED))), False),
        (((0.0, 0.75), (10.0, 0.75)), False),  # the next line: ends close, but a line spacing aside
        (((20.0, 0.0), (10.8, 0.0)), True),  # points given from the far end first
        (((10.0, 0.5), (10.0, 9.0)), False),  # across the end, not along
    ],
    ids=["gap at limit", "gap beyond", "overlap", "offset within", "offset beyond", "angle within",
         "angle beyond", "next line", "reversed", "across"],
)
def test_two_rows_are_neighbours_exactly_within_the_three_limits(second, linked):
    field = build_field(two_rows(*second))
    connected = field["connected_crop_rows"]
    assert connected[:, 1:3].tolist() == [[1, 1], [1, 2]]
    expected = [[1, 2, *[NAN] * 6], [1, 1, *[NAN] * 6]] if linked else [[NAN] * 8] * 2
    np.testing.assert_array_equal(connected[:, 3:], expected)


@pytest.mark.parametrize(
    "start, end, ends",
    [
        ((0.0, 0.0), (10.0, 3.0), [(0.0, 0.0), (10.0, 3.0)]),
        ((10.0, 3.0), (0.0, 0.0), [(0.0, 0.0), (10.0, 3.0)]),  # endpoint 0 lower towards +x
        ((5.0, 8.0), (-3.0, 2.0), [(-3.0, 2.0), (5.0, 8.0)]),
        ((2.0, 9.0), (2.0, -1.0), [(2.0, -1.0), (2.0, 9.0)]),  # along y: lower towards +y
        ((7.0, 0.1), (-4.0, 0.1), [(-4.0, 0.1), (7.0, 0.1)]),
    ],
)
def test_fitted_ends_are_the_outermost_points_with_endpoint_0_lower_along_the_line(start, end, ends):
    points = two_rows(start, end, first=((100.0, 100.0), (110.0, 103.0)))
    information = build_field(points)["row_information"][1]
    assert information[[0, 4]].tolist() == [1, 2]
    np.testing.assert_allclose(information[5:9].reshape(2, 2), ends, atol=1e-9)
    np.testing.assert_allclose(information[9:11], np.mean(ends, axis=0), atol=1e-9)


def test_stray_points_neither_tilt_the_line_nor_stretch_the_row():
    points = two_rows((0.0, 0.0), (10.0, 0.0), first=((50.0, 50.0), (60.0, 50.0)), count=101)
    # Beyond the ends and aside, and one where a placeholder in UTM coordinates would put it.
    strays = np.array([[1, 2, 12.0, 5.0], [1, 2, -1.0, -4.0], [1, 2, 5.0, 30.0], [1, 2, -5e5, -5.7e6]])
    information = build_field(np.vstack([points, strays]))["row_information"][1]
    np.testing.assert_allclose(information[5:9], [0, 0, 10, 0], atol=1e-9)


def row_points(key, start, end, count=21):
    share = np.linspace(0, 1, count)[:, None]
    return np.column_stack([np.full(count, 1.0), np.full(count, key), start + share * (np.subtract(end, start))])


def test_a_row_keeps_its_four_nearest_and_every_link_goes_both_ways():
    # Five rows qualify as neighbours of row (1, 1), from (0, 0) to (10, 0), and none of another:
    # those that lie side by side are 0.18 apart, beyond max_offset, and (1, 6) turns by 9 degrees.
    turned = np.array([np.cos(np.radians(9)), np.sin(np.radians(9))])
    points = np.vstack([
        row_points(1, (0, 0), (10, 0)),
        row_points(2, (10.1, 0.09), (20.1, 0.09)),  # 0.13 from (10, 0)
        row_points(3, (10.3, -0.09), (20.3, -0.09)),  # 0.31
        row_points(4, (-10.2, 0.09), (-0.2, 0.09)),  # 0.22 from (0, 0)
        row_points(5, (-10.4, -0.09), (-0.4, -0.09)),  # 0.41
        row_points(6, (10.2, 0), (10.2, 0) + 10 * turned),  # 0.2
    ])
    with pytest.warns(FieldWarning, match=r"^1 crop rows have more than 4 rows that qualify as neighbours; "
                      r"each keeps the 4 nearest that keep it too: \(1, 1\) with 5$") as caught:
        connected = build_field(points, max_offset=0.1)["connected_crop_rows"]
    assert caught[0].filename == __file__
    assert connected[0, 3:].tolist() == [1, 2, 1, 6, 1, 4, 1, 3]  # nearest first
    for row in (1, 2, 3, 5):
        assert connected[row, 3:5].tolist() == [1, 1] and np.isnan(connected[row, 5:]).all()
    assert np.isnan(connected[4, 3:]).all()  # (1, 5), the farthest, is not named by (1, 1) either


def test_given_row_information_is_used_as_it_is_and_missing_rows_are_fitted():
    truth = true_field(40, lines=2, rows_per_line=3)
    given = truth["row_information"].copy()
    given[:, 1:4] = [7, 8, 9]  # the user's own, passed on
    given[0, 9:11] = given[0, 5:7]  # a third point at an end: used, not replaced
    without = given[given[:, 4] != 3]  # rows (1, 3) and (2, 3) have no record
    with pytest.warns(FieldWarning, match=r"^2 crop rows have no record in row_information and were fitted "
                      r"to their points: \(1, 3\), \(2, 3\)$"):
        field = build_field(truth["points_in_rows"], row_information=without)
    information = field["row_information"]
    order = np.lexsort((given[:, 4], given[:, 0]))
    for row, record in enumerate(given[order]):
        if record[4] == 3:
            np.testing.assert_allclose(information[row, 5:9], record[5:9], atol=0.2)
        else:
            assert information[row].tolist() == record.tolist()
    assert neighbour_pairs(field["connected_crop_rows"]) == neighbour_pairs(truth["connected_crop_rows"])


def test_a_given_record_without_a_line_gets_no_neighbours_and_is_named():
    truth = true_field(40, lines=1, rows_per_line=3)
    given = truth["row_information"].copy()
    given[1, 7:9] = NAN
    with pytest.warns(FieldWarning, match=r"^1 crop rows have no line in row_information .* \(1, 2\)$"):
        connected = build_field(truth["points_in_rows"], row_information=given)["connected_crop_rows"]
    assert neighbour_pairs(connected) == set()


def test_a_row_of_fewer_than_two_distinct_points_gets_no_line_and_is_named():
    points = np.vstack([
        two_rows((10.5, 0.0), (20.0, 0.0)),
        [[3, 1, 5.0, 5.0], [3, 1, 5.0, 5.0], [4, 1, 9.0, 1.0], [4, 1, NAN, 2.0], [5, 1, NAN, NAN]],
    ])
    with pytest.warns(FieldWarning, match=r"^3 crop rows have fewer than 2 distinct points with finite x and y, "
                      r"so no line and no neighbours: \(3, 1\), \(4, 1\), \(5, 1\)$") as caught:
        field = build_field(points)
    assert caught[0].filename == __file__
    assert len(caught) == 1
    information, connected = field["row_information"], field["connected_crop_rows"]
    assert connected[:, 1:3].tolist() == [[1, 1], [1, 2], [3, 1], [4, 1], [5, 1]]
    assert np.isnan(information[2:, 5:11]).all() and np.isnan(connected[2:, 3:]).all()
    assert connected[0, 3:5].tolist() == [1, 2]
    _native.merge_points_removing_overlap(**field, tolerance=0.1, num_threads=1)  # merges as it is


POINTS = two_rows((10.5, 0.0), (20.0, 0.0))
NAMES = ["row_key_1", "row_key_2", "x", "y"]


def frame_of(order, names=NAMES):
    frame = pd.DataFrame(POINTS, columns=names)
    frame["id"] = np.arange(len(frame))
    return frame[[frame.columns[i] for i in order]]


@pytest.mark.parametrize(
    "points, columns",
    [
        (np.column_stack([POINTS, np.arange(len(POINTS))]), None),
        (frame_of([0, 1, 2, 3, 4]), None),
        (frame_of([4, 3, 2, 1, 0]), None),  # by name, whatever the order
        (pa.Table.from_pandas(frame_of([2, 4, 0, 3, 1])), None),
        (frame_of([3, 0, 4, 2, 1], ["line", "stretch", "east", "north"]),
         {"row_key_1": "line", "row_key_2": "stretch", "x": "east", "y": "north"}),
        (pd.DataFrame({"a": POINTS[:, 0], "b": POINTS[:, 1], "c": POINTS[:, 2], "d": POINTS[:, 3],
                       "id": np.arange(len(POINTS))}), None),  # no names it knows: by position
    ],
    ids=["array", "frame", "frame reversed", "arrow table", "columns mapping", "frame by position"],
)
def test_points_come_as_arrays_frames_and_arrow_tables(points, columns):
    field = build_field(points, columns=columns)
    np.testing.assert_array_equal(field["points_in_rows"][:, :4], POINTS)
    np.testing.assert_array_equal(field["points_in_rows"][:, 4], np.arange(len(POINTS)))
    assert field["connected_crop_rows"][0, 3:5].tolist() == [1, 2]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: build_field(POINTS[:, :3]), FieldError, "points_in_rows has 3 columns; the crop row's two keys, x and y are needed"),
        (lambda: build_field(POINTS, columns={"x": "east"}), FieldError,
             "no table has the column mapped by x=east; points_in_rows has row_key_1, row_key_2, x, y"),
        (lambda: build_field(frame_of([0, 1, 2, 3]), columns={"easting": "x"}), FieldError,
         "columns maps 'easting', which the package does not document"),
        (lambda: build_field(frame_of([0, 1, 2, 3]), columns={"x": "east"}), FieldError,
         "no table has the column mapped by x=east; points_in_rows has row_key_1, row_key_2, x, y"),
        (lambda: build_field(POINTS, row_information=np.zeros((2, 10))), FieldError,
         "row_information: 10 columns; 11 are needed"),
        (lambda: build_field([[1, 1, 0, 0]]), FieldError, "expected a NumPy array"),
        (lambda: build_field(POINTS, max_gap=math.inf), ValueError, "max_gap must be a finite distance"),
        (lambda: build_field(POINTS, max_angle=95), ValueError, "max_angle must be between 0 and 90"),
        (lambda: build_field(POINTS, max_offset=NAN), ValueError, "max_offset must be a distance"),
    ],
    ids=["too few columns", "names for an array", "unknown name", "missing column", "short information",
         "a list", "infinite gap", "wide angle", "NaN offset"],
)
def test_unusable_input_is_refused_with_what_is_wrong(call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call()


def test_the_input_is_left_as_it_was():
    points = np.vstack([POINTS, [[1, 2, NAN, 3.0]]])
    given = true_field(0, lines=1, rows_per_line=2)["row_information"]
    before = points.copy(), given.copy()
    build_field(points, row_information=given)
    np.testing.assert_array_equal(points, before[0])
    np.testing.assert_array_equal(given, before[1])


def test_no_points_give_an_empty_field():
    field = build_field(np.zeros((0, 4)))
    assert [field[name].shape for name in field] == [(0, 11), (0, 4), (0, 11)]
