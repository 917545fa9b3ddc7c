"""Plain-Python reading of the crop-row merge, the yardstick the native engine is held to.

Written for clarity, not speed: Python floats are IEEE doubles, every operation
below is rounded on its own (Python never fuses a multiply-add) and
`math.sqrt` is correctly rounded, so the arithmetic matches the engine's
operation for operation when both follow the same order.
"""

from __future__ import annotations

import math

import numpy as np

INDEX_OUT_OF_BOUNDS = "ndarray: index out of bounds"
NONE_UNWRAPPED = "called `Option::unwrap()` on a `None` value"
INCOMPATIBLE_SHAPES = (
    "called `Result::unwrap()` on an `Err` value: ShapeError/IncompatibleShape: incompatible shapes"
)

KEY_LIMIT = 2**64
KEY_MAX = KEY_LIMIT - 1
SLOTS = 4
ENDPOINT_COLUMNS = 11


class ReferencePanic(Exception):
    """A failed merge; its one argument is the message the native module raises."""


class Table:
    """An input matrix as nested lists of floats; reading a missing column fails."""

    def __init__(self, array: np.ndarray) -> None:
        self.rows, self.cols = array.shape
        self.values = array.tolist()

    def cell(self, row: int, col: int) -> float:
        if col >= self.cols:
            raise ReferencePanic(INDEX_OUT_OF_BOUNDS)
        return self.values[row][col]


def merge_points_removing_overlap(
    connected_crop_rows: np.ndarray,
    points_in_rows: np.ndarray,
    row_information: np.ndarray,
    tolerance: float,
) -> np.ndarray:
    """The surviving point rows of every record, record 0's first; raises ReferencePanic.

    Records run in ascending order, so the failure raised is that of the
    lowest-index failing record.
    """
    connected = Table(connected_crop_rows)
    points = Table(points_in_rows)
    information = Table(row_information)
    tol = float(tolerance)
    kept: list[list[float]] = []
    for record in range(connected.rows):
        kept.extend(merge_record(connected, points, information, tol, record))
    return np.array(kept, dtype=np.float64).reshape(len(kept), points.cols)


def merge_record(
    connected: Table, points: Table, information: Table, tol: float, record: int
) -> list[list[float]]:
    first_key = key(connected.cell(record, 1))
    second_key = key(connected.cell(record, 2))
    point_list = gather(points, first_key, second_key)
    own = own_record(information, first_key, second_key)
    for slot in range(SLOTS):
        neighbour_first = connected.cell(record, 3 + 2 * slot)
        if math.isnan(neighbour_first):
            break
        neighbour_second = connected.cell(record, 4 + 2 * slot)
        neighbour = neighbour_record(information, neighbour_first, neighbour_second)
        current_ends = endpoint_matrix(information, own)
        neighbour_ends = endpoint_matrix(information, neighbour)
        point_list = trim_points_against_neighbour(point_list, current_ends, neighbour_ends, tol)
    return point_list


def key(value: float) -> int:
    """Saturating conversion of a cell to an unsigned 64-bit key."""
    if math.isnan(value) or value < 0.0:
        return 0
    if value >= KEY_LIMIT:  # int/float comparison in Python is exact
        return KEY_MAX
    return int(value)  # truncates toward zero, exactly


def gather(points: Table, first_key: int, second_key: int) -> list[list[float]]:
    gathered = []
    for row in range(points.rows):
        if key(points.cell(row, 0)) == first_key and key(points.cell(row, 1)) == second_key:
            gathered.append(list(points.values[row]))
    return gathered


def own_record(information: Table, first_key: int, second_key: int) -> int:
    for row in range(information.rows):
        if key(information.cell(row, 0)) != first_key:
            continue
        if key(information.cell(row, 4)) == second_key:
            return row
    raise ReferencePanic(NONE_UNWRAPPED)


def neighbour_record(information: Table, first: float, second: float) -> int:
    # Float equality: NaN matches nothing, 0.0 matches -0.0.
    for row in range(information.rows):
        if information.cell(row, 0) == first and information.cell(row, 4) == second:
            return row
    raise ReferencePanic(NONE_UNWRAPPED)


def endpoint_matrix(information: Table, row: int) -> list[tuple[float, float]]:
    if information.cols != ENDPOINT_COLUMNS:
        raise ReferencePanic(INCOMPATIBLE_SHAPES)
    values = information.values[row]
    return [(values[5], values[6]), (values[7], values[8]), (values[9], values[10])]


def trim_points_against_neighbour(
    point_list: list[list[float]],
    current: list[tuple[float, float]],
    neighbour: list[tuple[float, float]],
    tol: float,
) -> list[list[float]]:
    far, near, neighbour_near = choose_endpoints(current, neighbour)
    foot = trim_foot_point(far, near, neighbour_near)
    return [list(point) for point in point_list if keep_point(point, foot, near, tol)]


def dist(a: tuple[float, float], b: tuple[float, float]) -> float:
    return math.sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]))


def choose_endpoints(current, neighbour):
    """(far endpoint, near endpoint B, neighbour near endpoint) by the farthest-pair search."""
    best, s, u = 0.0, 0, 0
    for l in range(3):
        for k in range(3):
            d = dist(current[l], neighbour[k])
            if d > best:  # strict: ties keep the first pair, NaN never wins
                best, s, u = d, l, k
    near = current[1] if s == 0 else current[0]
    neighbour_near = neighbour[1] if u == 0 else neighbour[0]
    return current[s], near, neighbour_near


def ieee_divide(num: float, den: float) -> float:
    # Python raises on a zero divisor where IEEE gives a signed infinity or NaN.
    if den != 0.0:
        return num / den
    if num == 0.0 or math.isnan(num):
        return math.nan
    return math.copysign(math.inf, num) * math.copysign(1.0, den)


def trim_foot_point(far, near, neighbour_near) -> tuple[float, float]:
    """Projection of the junction midpoint onto the line through near and far."""
    mx = (near[0] + neighbour_near[0]) * 0.5
    my = (near[1] + neighbour_near[1]) * 0.5
    ux = far[0] - near[0]
    uy = far[1] - near[1]
    wx = mx - near[0]
    wy = my - near[1]
    num = (0.0 + wx * ux) + wy * uy
    den = (0.0 + ux * ux) + uy * uy
    t = ieee_divide(num, den)
    return (near[0] + t * ux, near[1] + t * uy)


def keep_point(point: list[float], foot, near, tol: float) -> bool:
    if len(point) < 4:
        raise ReferencePanic(INDEX_OUT_OF_BOUNDS)
    x, y = point[2], point[3]
    px, py = foot
    bx, by = near
    if dist(foot, near) < tol:
        return not math.isnan(x) and not math.isnan(y)
    # The coordinate in which the foot point lies farther from the near end
    # decides alone; the other need only be a number. Equal distances, or a
    # NaN among them, leave it to the corner boxes.
    along_x = abs(bx - px)
    along_y = abs(by - py)
    if along_x > along_y:
        if px < bx:
            return not math.isnan(y) and (x <= px + tol or x >= bx + tol)
        return not math.isnan(y) and (x >= px - tol or x <= bx - tol)
    if along_y > along_x:
        if py < by:
            return not math.isnan(x) and (y <= py + tol or y >= by + tol)
        return not math.isnan(x) and (y >= py - tol or y <= by - tol)
    if px < bx and py < by:
        return (x <= px + tol and y <= py + tol) or (x >= bx + tol and y >= by + tol)
    if px < bx and py > by:
        return (x <= px + tol and y >= py - tol) or (x >= bx + tol and y <= by - tol)
    if px > bx and py > by:
        return (x >= px - tol and y >= py - tol) or (x <= bx - tol and y <= by - tol)
    return (x >= px - tol and y <= py + tol) or (x <= bx - tol and y >= by + tol)
