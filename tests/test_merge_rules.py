"""The merge rules case by case: trimming geometry, keep table, key matching and every task failure.

Each test runs on the native module and on the Python reference (the `merge` fixture).
"""

from __future__ import annotations

import math

import numpy as np
import pytest

from merge_fields import (
    EXAMPLE_CURRENT,
    EXAMPLE_NEIGHBOUR,
    NAN,
    Failure,
    assert_same_outcome,
    information_row,
    matrix,
    native_outcome,
    point,
    record,
    xy_rows,
)
from reference_merge import INCOMPATIBLE_SHAPES, INDEX_OUT_OF_BOUNDS, NONE_UNWRAPPED
from support import junction_field

INF = math.inf
OWN = (1.0, 1.0)
OTHER = (2.0, 2.0)
KEY_MAX_SPELLINGS = (INF, 1e20, 2.0**64)
LARGEST_BELOW_KEY_LIMIT = 18446744073709549568.0  # 2^64 - 2048, converts to itself


def up(value):
    return math.nextafter(value, INF)


def down(value):
    return math.nextafter(value, -INF)


def pair_field(current, neighbour, xys, tolerance, merge, threads=1):
    """Merges the points `xys` of row OWN, connected to OTHER, with the given endpoint blocks."""
    points = matrix(
        [point(OWN, x, y, float(index)) for index, (x, y) in enumerate(xys)]
        + [point(OTHER, 9.7, 9.7, -1.0)]  # the neighbour's own points are never gathered
    )
    information = matrix([information_row(OWN, current), information_row(OTHER, neighbour)])
    return merge(matrix([record(OWN, OTHER)]), points, information, tolerance, threads)


WORKED_POINTS = [(5.0, 5.0), (9.55, 9.55), (9.8, 9.8), (10.05, 10.05), (10.2, 10.2), (NAN, 9.6)]


@pytest.mark.parametrize(
    "tolerance, kept",
    [
        (0.1, [(5.0, 5.0), (9.55, 9.55), (10.2, 10.2)]),
        (1.0, [(5.0, 5.0), (9.55, 9.55), (9.8, 9.8), (10.05, 10.05), (10.2, 10.2)]),
    ],
)
def test_worked_example(merge, tolerance, kept):
    result = pair_field(EXAMPLE_CURRENT, EXAMPLE_NEIGHBOUR, WORKED_POINTS, tolerance, merge)
    assert xy_rows(result) == kept
    # Whole rows travel, extra column and keys included.
    assert [row[4] for row in result] == [float(WORKED_POINTS.index(xy)) for xy in kept]
    assert (result[:, :2] == OWN).all()


def test_row_trimmed_against_its_own_record(merge):
    xys = [(4.0, 4.0), (5.2, 5.2), (5.1, 5.1), (9.0, 9.0), (10.1, 10.1), (11.0, 11.0)]
    points = matrix([point(OWN, x, y) for x, y in xys])
    information = matrix([information_row(OWN, EXAMPLE_CURRENT)])
    result = merge(matrix([record(OWN, OWN)]), points, information, 0.1)
    assert xy_rows(result) == [(4.0, 4.0), (5.1, 5.1), (10.1, 10.1), (11.0, 11.0)]


def mirrored(ends, sx, sy):
    return tuple((sx * x, sy * y) for x, y in ends)


HORIZONTAL_CURRENT = ((0.0, 0.0), (10.0, 0.0), (5.0, 0.0))
HORIZONTAL_NEIGHBOUR = ((9.0, 0.0), (20.0, 0.0), (14.5, 0.0))
DEGENERATE = ((3.0, 3.0), (3.0, 3.0), (3.0, 3.0))

# (current ends, neighbour ends, tolerance, points as (x, y, kept)). Unless said
# otherwise the far endpoint is C[0], B = C[1] and the foot point P lies halfway
# between B and the neighbour's near end N[0]. At tol 0.5 the thresholds are exact.
KEEP_TABLE = [
    pytest.param(
        EXAMPLE_CURRENT, EXAMPLE_NEIGHBOUR, 0.5,
        [(10.0, 10.0, True), (up(10.0), 10.0, False), (10.0, up(10.0), False),
         (10.5, 10.5, True), (down(10.5), 10.5, False), (10.5, down(10.5), False),
         (5.0, 5.0, True), (NAN, 5.0, False), (5.0, NAN, False)],
        id="row 2: P=(9.5,9.5) below and left of B=(10,10), thresholds inclusive",
    ),
    pytest.param(
        mirrored(EXAMPLE_CURRENT, 1, -1), mirrored(EXAMPLE_NEIGHBOUR, 1, -1), 0.5,
        [(10.0, -10.0, True), (up(10.0), -10.0, False), (10.0, down(-10.0), False),
         (10.5, -10.5, True), (down(10.5), -10.5, False), (10.5, up(-10.5), False),
         (5.0, -5.0, True)],
        id="row 3: P.x < B.x and P.y > B.y",
    ),
    pytest.param(
        mirrored(EXAMPLE_CURRENT, -1, -1), mirrored(EXAMPLE_NEIGHBOUR, -1, -1), 0.5,
        [(-10.0, -10.0, True), (down(-10.0), -10.0, False), (-10.0, down(-10.0), False),
         (-10.5, -10.5, True), (up(-10.5), -10.5, False), (-10.5, up(-10.5), False),
         (-5.0, -5.0, True)],
        id="row 4: P above and right of B",
    ),
    pytest.param(
        mirrored(EXAMPLE_CURRENT, -1, 1), mirrored(EXAMPLE_NEIGHBOUR, -1, 1), 0.5,
        [(-10.0, 10.0, True), (down(-10.0), 10.0, False), (-10.0, up(10.0), False),
         (-10.5, 10.5, True), (up(-10.5), 10.5, False), (-10.5, down(10.5), False),
         (-5.0, 5.0, True)],
        id="row 5: P.x > B.x and P.y < B.y",
    ),
    pytest.param(
        HORIZONTAL_CURRENT, HORIZONTAL_NEIGHBOUR, 0.5,
        [(10.0, 0.0, True), (up(10.0), 0.0, False), (10.5, 0.0, True), (down(10.5), 0.0, False),
         (5.0, 0.0, True), (5.0, -40.0, True), (12.0, 1e300, True), (-INF, 0.0, True),
         (INF, -INF, True), (5.0, NAN, False), (NAN, 0.0, False)],
        id="level, P left of B: only x decides; dist(P,B) exactly tol does not take row 1",
    ),
    pytest.param(
        mirrored(HORIZONTAL_CURRENT, -1, 1), mirrored(HORIZONTAL_NEIGHBOUR, -1, 1), 0.5,
        [(-10.0, 0.0, True), (down(-10.0), 0.0, False), (-10.5, 0.0, True),
         (up(-10.5), 0.0, False), (-5.0, 7.0, True), (-12.0, -3.0, True), (-5.0, NAN, False)],
        id="level, P right of B",
    ),
    pytest.param(
        HORIZONTAL_CURRENT, HORIZONTAL_NEIGHBOUR, up(0.5),
        [(5.0, 0.0, True), (-100.0, 3.0, True), (NAN, 0.0, False), (5.0, NAN, False)],
        id="row 1: dist(P,B) just below tol keeps every numeric point",
    ),
    pytest.param(
        mirrored(HORIZONTAL_CURRENT, 1, -1), HORIZONTAL_NEIGHBOUR, 0.5,
        [(5.0, 0.0, True), (up(10.0), 0.0, False), (10.5, -3.0, True)],
        id="level: P.y equals B.y when one of them is -0.0",
    ),
    pytest.param(
        ((0.0, 0.0), (0.0, 10.0), (0.0, 5.0)), ((0.0, 9.0), (0.0, 20.0), (0.0, 14.5)), 0.5,
        [(0.0, 10.0, True), (0.0, up(10.0), False), (0.0, 10.5, True), (0.0, down(10.5), False),
         (7.0, 5.0, True), (-7.0, 12.0, True), (NAN, 5.0, False), (0.0, NAN, False)],
        id="plumb, P below B: only y decides",
    ),
    pytest.param(
        ((0.0, 0.0), (0.0, -10.0), (0.0, -5.0)), ((0.0, -9.0), (0.0, -20.0), (0.0, -14.5)), 0.5,
        [(0.0, -10.0, True), (0.0, down(-10.0), False), (0.0, -10.5, True),
         (0.0, up(-10.5), False), (3.0, -5.0, True), (NAN, -5.0, False)],
        id="plumb, P above B",
    ),
    pytest.param(
        HORIZONTAL_CURRENT, ((10.0, 0.0), (20.0, 0.0), (15.0, 0.0)), 0.0,
        [(5.0, 0.0, True), (5.0, -1.0, False), (12.0, -1.0, True), (12.0, 1.0, False)],
        id="P equals B exactly, level and plumb at once: row 5",
    ),
    pytest.param(
        DEGENERATE, DEGENERATE, 0.5,
        [(3.0, 3.0, False), (2.5, 3.5, True), (up(2.5), 3.5, False), (2.5, down(3.5), False),
         (-10.0, 10.0, True), (10.0, -10.0, False)],
        id="all endpoints equal: P is NaN, only the B corner of row 5 keeps",
    ),
    pytest.param(
        DEGENERATE, EXAMPLE_NEIGHBOUR, INF,
        [(5.0, 5.0, False), (-INF, INF, True), (-1e308, 1e308, False)],
        id="far equals near: NaN P fails row 1 even at infinite tol",
    ),
    pytest.param(
        ((0.0, 0.0), (1e-200, 1e-200), (0.0, 0.0)),
        ((1e10, 1e10), (2e10, 2e10), (1e10, 1e10)), 0.5,
        [(-1.0, -1.0, True), (0.0, 0.0, False), (-1.0, 1.0, False), (INF, INF, True)],
        id="den underflows to 0 with num < 0: t=-inf, P=(inf,inf) takes row 4",
    ),
    pytest.param(
        ((10.0, 10.0), (9.0, 9.0), (0.0, 0.0)), ((11.0, 11.0), (12.0, 12.0), (10.5, 10.5)), 0.1,
        [(10.45, 10.45, True), (10.2, 10.2, False), (9.5, 9.5, True), (5.0, 5.0, True)],
        id="far endpoint C[2] makes B=C[0]",
    ),
    pytest.param(
        EXAMPLE_CURRENT, ((11.0, 11.0), (10.5, 10.5), (20.0, 20.0)), 0.1,
        [(10.45, 10.45, True), (10.3, 10.3, False), (5.0, 5.0, True)],
        id="neighbour far row N[2] makes its near end N[0]",
    ),
    pytest.param(
        HORIZONTAL_CURRENT, ((12.0, 16.0), (16.0, 12.0), (11.0, 0.0)), 0.1,
        [(12.0, 0.0, False), (13.0, 0.0, True), (5.0, 5.0, True), (5.0, 0.0, True)],
        id="tie between N[0] and N[1] at distance 20: N[0] wins, near end N[1]",
    ),
    pytest.param(
        EXAMPLE_CURRENT, EXAMPLE_NEIGHBOUR, -0.1,
        [(9.45, 9.45, False), (9.35, 9.35, True), (9.95, 9.95, True), (5.0, 5.0, True)],
        id="negative tol moves the thresholds inward",
    ),
    pytest.param(
        EXAMPLE_CURRENT, EXAMPLE_NEIGHBOUR, INF,
        [(5.0, 5.0, True), (1e300, -1e300, True), (NAN, 1.0, False)],
        id="infinite tol keeps every numeric point by row 1",
    ),
    pytest.param(
        EXAMPLE_CURRENT, EXAMPLE_NEIGHBOUR, -INF,
        [(5.0, 5.0, True), (-INF, -INF, True), (NAN, 0.0, False)],
        id="minus infinite tol: every numeric point passes the B corner of row 2",
    ),
]


@pytest.mark.parametrize("current, neighbour, tolerance, points", KEEP_TABLE)
def test_keep_table(merge, current, neighbour, tolerance, points):
    result = pair_field(current, neighbour, [(x, y) for x, y, _ in points], tolerance, merge)
    assert result[:, 4].tolist() == [float(i) for i, (*_, kept) in enumerate(points) if kept]


# Rows decided by the coordinate along them alone, or at 45 degrees by the corner boxes, with
# points and whether each is kept at tol 0.1; every point lies 0.01 or more from a threshold.
ALONG_THE_ROW = [
    pytest.param(
        ((0.0, 0.0), (10.0, 0.1), (5.0, 0.05)), ((9.4, 0.094), (20.0, 0.2), (14.7, 0.147)),
        [(5.0, 0.2, True), (5.0, -0.1, True), (9.75, 0.25, True), (9.9, 0.099, False),
         (9.9, 0.3, False), (10.5, 0.0, True), (NAN, 0.05, False), (5.0, NAN, False)],
        id="row 0.01 rad off x, P=(9.7,0.097) short of B: points beside it are kept",
    ),
    pytest.param(
        ((0.0, 0.0), (10.0, 0.1), (5.0, 0.05)), ((10.3, 0.103), (20.0, 0.2), (15.15, 0.1515)),
        [(5.0, 0.05, True), (9.85, 0.0985, True), (9.95, 0.0995, False), (10.1, 0.101, True),
         (0.0, -0.2, True), (NAN, 0.05, False), (5.0, NAN, False)],
        id="row 0.01 rad off x, a gap puts P=(10.15,0.1015) past B: its body is kept",
    ),
    pytest.param(
        ((0.0, 0.0), (10.0, 9.5), (5.0, 4.75)), ((9.0, 8.55), (20.0, 19.0), (14.5, 13.775)),
        [(9.55, 9.2, True), (9.55, 8.9, True), (9.8, 9.3, False), (10.2, 9.0, True),
         (5.0, NAN, False)],
        id="row just off 45 degrees, P=(9.5,9.025): x decides",
    ),
    pytest.param(
        EXAMPLE_CURRENT, EXAMPLE_NEIGHBOUR,
        [(9.55, 9.7, False), (9.7, 9.55, False), (9.55, 9.55, True), (10.2, 10.0, False),
         (10.0, 10.2, False), (10.2, 10.2, True)],
        id="row at 45 degrees, P=(9.5,9.5): equal distances leave it to the corner boxes",
    ),
]

# Exact moves of the plane that carry each case to the other signs and to the other axis.
MOVES = {
    "as built": lambda x, y: (x, y),
    "mirrored in x": lambda x, y: (-x, y),
    "x and y exchanged": lambda x, y: (y, x),
    "exchanged, y mirrored": lambda x, y: (y, -x),
    "exchanged, both mirrored": lambda x, y: (-y, -x),
}


@pytest.mark.parametrize("move", MOVES.values(), ids=MOVES.keys())
@pytest.mark.parametrize("current, neighbour, points", ALONG_THE_ROW)
def test_the_coordinate_along_the_row_decides(merge, current, neighbour, points, move):
    def moved(xys):
        return tuple(move(x, y) for x, y in xys)

    xys = moved((x, y) for x, y, _ in points)
    result = pair_field(moved(current), moved(neighbour), xys, 0.1, merge)
    assert result[:, 4].tolist() == [float(i) for i, (*_, kept) in enumerate(points) if kept]


def laid_along(field, axis):
    """The field with every y (axis "x") or every x (axis "y") set to 0, the other coordinate kept."""
    flat = {name: array.copy() for name, array in field.items()}
    points, information = flat["points_in_rows"], flat["row_information"]
    if axis == "y":
        points[:, 3] = points[:, 2]
        information[:, [6, 8, 10]] = information[:, [5, 7, 9]]
    points[:, 2 if axis == "y" else 3] = 0.0
    information[:, [5, 7, 9] if axis == "y" else [6, 8, 10]] = 0.0
    return flat


def exchanged_xy(field):
    swapped = {name: array.copy() for name, array in field.items()}
    swapped["points_in_rows"][:, [2, 3]] = field["points_in_rows"][:, [3, 2]]
    swapped["row_information"][:, 5:11] = field["row_information"][:, [6, 5, 8, 7, 10, 9]]
    return swapped


def merge_inputs(field):
    return tuple(field[name] for name in ("connected_crop_rows", "points_in_rows", "row_information"))


def merged(merge, field, tolerance=0.1):
    return merge(*merge_inputs(field), tolerance)


@pytest.mark.parametrize("axis", ["x", "y"])
def test_first_example_laid_flat_keeps_what_the_diagonal_keeps(merge, axis):
    # The README's two rows, (0, 0)-(10, 10) and (9, 9)-(20, 20), with more points;
    # flat, the junction is at 9.5 along the axis.
    field = junction_field()
    diagonal = merged(merge, field)
    flat = merged(merge, laid_along(field, axis))
    assert flat[:, 4].tolist() == diagonal[:, 4].tolist() == [100, 102, 107, 101, 106, 108]


@pytest.mark.parametrize("stagger", [0.0, 0.3])
def test_fields_along_an_axis_keep_as_many_points_as_tilted_ones(merge, make_field, stagger):
    def field(direction):
        return make_field(3, 4, 150, stagger=stagger, direction=direction, seed=4)

    def kept(field):
        return merged(merge, field).shape[0]

    along_x = field((1.0, 0.0))
    tilted = kept(field((math.cos(math.radians(30)), math.sin(math.radians(30)))))
    assert tilted < 0.95 * along_x["points_in_rows"].shape[0]  # the trim has work to do
    for laid in (along_x, exchanged_xy(along_x), field((1.0, 0.09))):  # 0, 90 and about 5 degrees
        assert abs(kept(laid) - tilted) <= 0.02 * tilted


# Angles of the rows, in radians: near the axes, around 45 degrees and past 90.
ANGLE_SWEEP = [0.0, 1e-5, 1e-3, 0.01, 0.05, 0.3, 0.7, math.pi / 4 - 1e-3, math.pi / 4 - 1e-9,
               math.pi / 4, math.pi / 4 + 1e-9, math.pi / 4 + 1e-3, 1.2, math.pi / 2 - 0.01,
               math.pi / 2, 2.0, math.pi - 1e-4]


def row_direction(angle):
    # cos and sin round apart at 45 degrees and miss 0 at 90: these three exactly.
    exact = {0.0: (1.0, 0.0), math.pi / 4: (1.0, 1.0), math.pi / 2: (0.0, 1.0)}
    return exact.get(angle, (math.cos(angle), math.sin(angle)))


@pytest.mark.parametrize("scatter", [0.02, 0.05, 0.1])
@pytest.mark.parametrize("overlap", [0.6, -0.3], ids=["overlap 0.6", "gap 0.3"])
def test_the_kept_share_does_not_depend_on_the_angle_of_the_rows(make_field, overlap, scatter):
    def kept_share(angle):
        field = make_field(4, 5, 300, row_length=30.0, overlap=overlap, noise=scatter,
                           direction=row_direction(angle), seed=1)
        kept = native_outcome(*merge_inputs(field), 0.1, 2).shape[0]
        return 100.0 * kept / field["points_in_rows"].shape[0]

    at_an_angle = kept_share(0.3)
    assert at_an_angle <= 99.6  # the trim has work to do
    # Behind a gap the tolerance's strip lies inside the row, and the boxes that decide a
    # row at 45 degrees reach tolerance * sqrt(2) into it, plus the scatter.
    margin = 0.5 if overlap > 0 else 1.0
    shares = {angle: kept_share(angle) for angle in ANGLE_SWEEP}
    assert all(abs(share - at_an_angle) <= margin for share in shares.values()), (at_an_angle, shares)


GOOD_INFORMATION = [
    information_row(OWN, EXAMPLE_CURRENT),
    information_row(OTHER, EXAMPLE_NEIGHBOUR),
]
GOOD_POINTS = [point(OWN, 5.0, 5.0), point(OWN, 9.8, 9.8)]
THREE_COLUMN_POINTS = [[1.0, 1.0, 5.0]]

# (records, points_in_rows, row_information, message); the first failing step decides.
TASK_FAILURES = [
    pytest.param([record(OWN, cols=2)], GOOD_POINTS, GOOD_INFORMATION, INDEX_OUT_OF_BOUNDS,
                 id="connected_crop_rows of 2 columns"),
    pytest.param([record(OWN)], np.zeros((2, 0)), GOOD_INFORMATION, INDEX_OUT_OF_BOUNDS,
                 id="points_in_rows with rows but no column"),
    pytest.param([record(OWN)], [[1.0]], GOOD_INFORMATION, INDEX_OUT_OF_BOUNDS,
                 id="1-column points_in_rows with a row matching the first key"),
    pytest.param([record(OWN)], GOOD_POINTS, np.zeros((0, 11)), NONE_UNWRAPPED,
                 id="row_information without rows"),
    pytest.param([record((3.0, 1.0))], GOOD_POINTS, GOOD_INFORMATION, NONE_UNWRAPPED,
                 id="no record matches the first own key"),
    pytest.param([record((1.0, 3.0))], GOOD_POINTS, GOOD_INFORMATION, NONE_UNWRAPPED,
                 id="no record matches the second own key"),
    pytest.param([record(OWN)], GOOD_POINTS, np.zeros((1, 0)), INDEX_OUT_OF_BOUNDS,
                 id="row_information with rows but no column"),
    pytest.param([record(OWN)], GOOD_POINTS, [[1.0, 7.0, 7.0, 7.0]], INDEX_OUT_OF_BOUNDS,
                 id="4-column row_information with a row matching the first key"),
    pytest.param([record(OWN, cols=3)], GOOD_POINTS, GOOD_INFORMATION, INDEX_OUT_OF_BOUNDS,
                 id="3-column record: slot 0 unreadable"),
    pytest.param([record(OWN, OTHER, cols=5)], GOOD_POINTS, GOOD_INFORMATION, INDEX_OUT_OF_BOUNDS,
                 id="5-column record: slot 1 unreadable after slot 0 trimmed"),
    pytest.param([record(OWN, OTHER, cols=4)], GOOD_POINTS, GOOD_INFORMATION, INDEX_OUT_OF_BOUNDS,
                 id="4-column record with a neighbour: slot 0 second key missing"),
    pytest.param([record(OWN, OTHER, OTHER, cols=6)], GOOD_POINTS, GOOD_INFORMATION,
                 INDEX_OUT_OF_BOUNDS, id="6-column record: slot 1 second key missing"),
    pytest.param([record(OWN, (3.0, 3.0))], GOOD_POINTS, GOOD_INFORMATION, NONE_UNWRAPPED,
                 id="neighbour missing from row_information"),
    pytest.param([record(OWN, (3.0, 3.0))], [point(OTHER, 1.0, 1.0)], GOOD_INFORMATION,
                 NONE_UNWRAPPED, id="neighbour missing for a record without points"),
    pytest.param([record(OWN, (2.0, NAN))], GOOD_POINTS, GOOD_INFORMATION, NONE_UNWRAPPED,
                 id="NaN neighbour second key"),
    pytest.param([record(OWN, OTHER)], GOOD_POINTS,
                 [information_row(OWN), information_row((2.7, 2.0))], NONE_UNWRAPPED,
                 id="neighbour keys equal only after key conversion"),
    pytest.param([record(OWN, OTHER)], GOOD_POINTS,
                 [information_row(OWN, cols=12), information_row(OTHER, cols=12)],
                 INCOMPATIBLE_SHAPES, id="12-column row_information meets a neighbour"),
    pytest.param([record(OWN, OTHER)], [],
                 [information_row(OWN, cols=10), information_row(OTHER, cols=10)],
                 INCOMPATIBLE_SHAPES, id="10-column row_information, record without points"),
    pytest.param([record(OWN, OTHER)], THREE_COLUMN_POINTS, GOOD_INFORMATION, INDEX_OUT_OF_BOUNDS,
                 id="3-column point rows meet a neighbour"),
    pytest.param([record(OWN)], np.zeros((2, 0)), np.zeros((0, 11)), INDEX_OUT_OF_BOUNDS,
                 id="gather fails before the own lookup"),
    pytest.param([record(OWN, (3.0, 3.0))], GOOD_POINTS,
                 [information_row(OWN, cols=12), information_row(OTHER, cols=12)], NONE_UNWRAPPED,
                 id="neighbour lookup fails before the endpoint shape"),
    pytest.param([record(OWN, OTHER)], THREE_COLUMN_POINTS,
                 [information_row(OWN, cols=12), information_row(OTHER, cols=12)],
                 INCOMPATIBLE_SHAPES, id="endpoint shape fails before trimming"),
    pytest.param([record(OWN, (3.0, 3.0), OTHER, cols=5)], GOOD_POINTS, GOOD_INFORMATION,
                 NONE_UNWRAPPED, id="slot 0 fails before slot 1 is read"),
]


def as_matrix(rows):
    return rows if isinstance(rows, np.ndarray) else matrix(rows, cols=4)


@pytest.mark.parametrize("records, points, information, message", TASK_FAILURES)
def test_task_failure(merge, records, points, information, message):
    outcome = merge(matrix(records), as_matrix(points), as_matrix(information), 0.1)
    assert_same_outcome(outcome, Failure(message))


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize(
    "first, second",
    [
        ((NONE_UNWRAPPED, 20), (INDEX_OUT_OF_BOUNDS, 45)),
        ((INDEX_OUT_OF_BOUNDS, 20), (NONE_UNWRAPPED, 45)),
    ],
)
def test_lowest_failing_record_decides(merge, threads, first, second):
    # Five columns: a record naming a neighbour in slot 0 fails on reading slot 1.
    records = [record(OWN, cols=5) for _ in range(60)]
    for message, index in (first, second):
        if message == NONE_UNWRAPPED:
            records[index] = record((7.0, 7.0), cols=5)
        else:
            records[index] = record(OWN, OTHER, cols=5)
    outcome = merge(matrix(records), matrix(GOOD_POINTS), matrix(GOOD_INFORMATION), 0.1, threads)
    assert_same_outcome(outcome, Failure(first[0]))


@pytest.mark.parametrize(
    "record_cols, information_cols", [(4, 5), (11, 12), (11, 11)]
)
def test_record_without_neighbours_publishes_whole_rows_in_order(
    merge, record_cols, information_cols
):
    points = matrix([
        point(OWN, NAN, 1.0, -0.0, INF),
        point(OTHER, 2.0, 2.0, 0.0, 0.0),
        point(OWN, 3.0, NAN, NAN, -INF),
        point(OWN, -1e300, 1e300, 5.0, -0.0),
    ])
    information = matrix([information_row(OTHER, cols=information_cols),
                          information_row(OWN, cols=information_cols)])
    result = merge(matrix([record(OWN, cols=record_cols)]), points, information, 0.1)
    assert_same_outcome(result, points[[0, 2, 3]])


@pytest.mark.parametrize(
    "records, points, kept",
    [
        pytest.param([record(OWN)], [[5.0], [2.0]], [], id="1-column points, no first-key match"),
        pytest.param([record(OWN)], THREE_COLUMN_POINTS, [0], id="3-column points, no neighbour"),
        pytest.param([record(OWN, OTHER)], [[2.0, 2.0, 5.0]], [],
                     id="3-column points, neighbour but no own points"),
        pytest.param([record(OWN), record(OTHER), record(OWN)],
                     GOOD_POINTS + [point(OTHER, 1.0, 1.0)],
                     [0, 1, 2, 0, 1], id="two records of one crop row both publish it"),
    ],
)
def test_inputs_that_do_not_fail(merge, records, points, kept):
    points = matrix(points)
    result = merge(matrix(records), points, matrix(GOOD_INFORMATION), 0.1)
    assert_same_outcome(result, points[kept])


@pytest.mark.parametrize(
    "record_key, point_key, information_key, foreign_key",
    [
        (2.0, 2.7, 2.99, 1.99),
        (3.0, 3.99, 3.5, 4.0),
        (0.0, -3.0, NAN, 1.0),
        (-1.0, NAN, -0.0, 1.0),
        (NAN, 0.5, -INF, 1.0),
        (INF, 1e20, 2.0**64, LARGEST_BELOW_KEY_LIMIT),
        (1e20, INF, 1e300, LARGEST_BELOW_KEY_LIMIT),
        (LARGEST_BELOW_KEY_LIMIT, LARGEST_BELOW_KEY_LIMIT, LARGEST_BELOW_KEY_LIMIT, INF),
        (1e19, 1e19, 1e19, 2.0**63),
    ],
)
def test_points_and_own_record_match_by_converted_key(
    merge, record_key, point_key, information_key, foreign_key
):
    points = matrix([
        point((point_key, point_key), 1.0, 1.0),
        point((foreign_key, point_key), 2.0, 2.0),
        point((point_key, foreign_key), 3.0, 3.0),
        point((point_key, point_key), 4.0, 4.0),
    ])
    information = matrix([information_row((9.0, 9.0)),
                          information_row((information_key, information_key))])
    result = merge(matrix([record((record_key, record_key))]), points, information, 0.1)
    assert_same_outcome(result, points[[0, 3]])


def test_lookups_take_the_first_match_neighbours_by_exact_equality(merge):
    information = matrix([
        information_row((1.5, 1.2), EXAMPLE_CURRENT),  # own record, found by key conversion
        information_row((2.5, 2.0), DEGENERATE),  # neighbour keys equal only after conversion
        information_row((0.0, 2.0), EXAMPLE_NEIGHBOUR),  # -0.0 equals 0.0
        information_row(OWN, DEGENERATE),
        information_row((0.0, 2.0), DEGENERATE),
    ])
    points = matrix([point(OWN, x, y) for x, y in WORKED_POINTS])
    result = merge(matrix([record(OWN, (-0.0, 2.0))]), points, information, 0.1)
    assert xy_rows(result) == [(5.0, 5.0), (9.55, 9.55), (10.2, 10.2)]


# Each trims its own stretch of the diagonal row from (0, 0) to (10, 10).
FOUR_NEIGHBOURS = {
    (2.0, 2.0): EXAMPLE_NEIGHBOUR,
    (3.0, 3.0): ((1.0, 1.0), (-10.0, -10.0), (-4.5, -4.5)),
    (4.0, 4.0): ((12.0, 11.0), (25.0, 25.0), (18.0, 18.0)),
    (5.0, 5.0): ((-1.0, -1.0), (-12.0, -12.0), (-6.0, -6.0)),
}


def test_four_neighbours_trim_in_turn_and_later_columns_are_ignored(merge):
    xs = np.arange(-1.0, 11.5, 0.05)
    # Along the row, alternately a little above and below it.
    points = matrix([point(OWN, x, x + 0.02 * (-1) ** i, float(i)) for i, x in enumerate(xs)])
    information = matrix([information_row(OWN, EXAMPLE_CURRENT)]
                         + [information_row(keys, ends) for keys, ends in FOUR_NEIGHBOURS.items()])

    def survivors(*neighbours, cols=11):
        result = merge(matrix([record(OWN, *neighbours, cols=cols)]), points, information, 0.1)
        return result[:, 4].tolist()

    alone = [survivors(keys) for keys in FOUR_NEIGHBOURS]
    # Every neighbour removes points the others keep, so a skipped trim shows.
    for index, kept in enumerate(alone):
        others = set.intersection(*(set(k) for i, k in enumerate(alone) if i != index))
        assert others - set(kept)
    in_all = [float(i) for i in range(len(xs)) if all(float(i) in kept for kept in alone)]
    # Columns 11 and 12 would name a fifth neighbour, one without a record.
    unknown = (99.0, 99.0)
    assert survivors(*FOUR_NEIGHBOURS, unknown, cols=13) == in_all
    assert survivors(*reversed(FOUR_NEIGHBOURS), cols=11) == in_all
