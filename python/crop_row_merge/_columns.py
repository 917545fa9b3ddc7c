"""The columns of the three tables: the names the package documents, and which of a table's own
columns the merge reads, found by those names (or by a user's mapping to their own names) when
the table's header holds them, and by position otherwise."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass

from ._errors import FieldError

TABLES = ("connected_crop_rows", "points_in_rows", "row_information")

# The names of the columns the merge reads or skips, in the positions it takes them; a points
# table's further columns keep their own names (column_<position> where they have none).
DOCUMENTED_COLUMNS = {
    "connected_crop_rows": (
        "unused_0",
        "row_key_1",
        "row_key_2",
        *(f"neighbour_{slot}_key_{key}" for slot in range(4) for key in (1, 2)),
    ),
    "points_in_rows": ("row_key_1", "row_key_2", "x", "y"),
    "row_information": (
        "row_key_1",
        "unused_1",
        "unused_2",
        "unused_3",
        "row_key_2",
        *(f"point_{point}_{axis}" for point in range(3) for axis in ("x", "y")),
    ),
}
# A table is read by name when its header holds these; a header that holds only some of them
# is refused, since by position it would mean something else.
REQUIRED_COLUMNS = {
    "connected_crop_rows": ("row_key_1", "row_key_2", "neighbour_0_key_1", "neighbour_0_key_2"),
    "points_in_rows": DOCUMENTED_COLUMNS["points_in_rows"],
    "row_information": ("row_key_1", "row_key_2", "point_0_x", "point_0_y", "point_1_x", "point_1_y"),
}
# Keys, x and y: the point columns the merge reads.
READ_POINT_COLUMNS = len(DOCUMENTED_COLUMNS["points_in_rows"])
ALL_DOCUMENTED = sorted({name for names in DOCUMENTED_COLUMNS.values() for name in names})


@dataclass(frozen=True)
class Layout:
    """Where the merge's columns of one table are: `read[i]` is the position, in the user's
    table, of the column the merge takes at position i, or None for a column the table lacks
    (an unused one, a third point, a neighbour slot: NaN). `by_name` tells how they were found."""

    read: tuple[int | None, ...]
    by_name: bool


def table_names(table: str, width: int, own: Sequence[object] | None) -> list[str]:
    """A table's column names as text: its own, or for an array the documented ones and then
    column_<position>."""
    if own is not None:
        if len(own) != width:
            raise FieldError(f"{table}: {len(own)} column names for {width} columns")
        names = [str(name) for name in own]
    else:
        documented = DOCUMENTED_COLUMNS[table]
        names = [documented[i] if i < len(documented) else f"column_{i}" for i in range(width)]
    first: dict[str, int] = {}
    for position, name in enumerate(names):
        if name in first:
            raise FieldError(f"{table}: columns {first[name]} and {position} are both named {name!r}")
        first[name] = position
    return names


def check_mapping(columns: Mapping[str, str]) -> None:
    """A mapping from documented names to a user's own must name documented columns, each once."""
    unknown = [name for name in columns if name not in ALL_DOCUMENTED]
    if unknown:
        raise FieldError(
            f"columns maps {', '.join(map(repr, unknown))}, which the package does not document; "
            f"it documents {', '.join(ALL_DOCUMENTED)}"
        )


def layout(table: str, names: Sequence[str], columns: Mapping[str, str], header: bool = True) -> Layout:
    """How the merge's columns of `table` are found among `names`, with `columns` mapping
    documented names to the user's own; by position when the table has no `header` of its own
    (an array, whose names stand in for one)."""
    position = {name: i for i, name in enumerate(names)} if header else {}

    def find(documented: str) -> int | None:
        own = columns.get(documented)
        if own is not None and own in position:
            return position[own]
        return position.get(documented)

    required = REQUIRED_COLUMNS[table]
    found = [name for name in required if find(name) is not None]
    if not found:
        # By position, as the module takes it; a points table's key, x and y come first.
        width = len(names) if table != "points_in_rows" else min(len(names), len(required))
        return Layout(tuple(range(width)), by_name=False)
    if len(found) < len(required):
        missing = [columns.get(name, name) for name in required if find(name) is None]
        raise FieldError(
            f"{table} has columns named {', '.join(found)} but none named {', '.join(missing)}; "
            f"its columns are {', '.join(names)}"
        )
    read = tuple(find(name) for name in DOCUMENTED_COLUMNS[table])
    if table == "connected_crop_rows":
        slots = [read[3 + 2 * slot : 5 + 2 * slot] for slot in range(4)]
        for slot, keys in enumerate(slots):
            if (keys[0] is None) != (keys[1] is None):
                raise FieldError(f"{table} has only one of the two keys of neighbour slot {slot}")
    return Layout(read, by_name=True)


def refuse_unmatched(columns: Mapping[str, str], headers: Mapping[str, Sequence[str]]) -> None:
    """Each of the user's own names in `columns` must be a column of one of the tables."""
    held = {name for names in headers.values() for name in names}
    missing = [f"{documented}={own}" for documented, own in columns.items() if own not in held]
    if missing:
        listing = "; ".join(f"{table} has {', '.join(names)}" for table, names in headers.items())
        raise FieldError(f"no table has the column mapped by {', '.join(missing)}; {listing}")
