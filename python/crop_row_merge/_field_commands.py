"""The `connect` and `plot` commands: a field built from a points table, and the picture of a field
before and after its merge. Exit codes as the other commands: 0 done, 1 the merge failed, 2 the
input or the arguments cannot be used."""

from __future__ import annotations

import argparse
import pathlib
from typing import Any

import numpy as np

from ._arguments import column_mapping, complain, report_merge_failure, report_warnings, tolerance_value
from ._build import build_field, row_names
from ._call import DEFAULT_TOLERANCE
from ._checks import caught_field_warnings
from ._errors import FieldError, MergeError, MissingExtraError
from ._extras import require
from ._field import Field
from ._files import (
    field_files,
    field_outputs,
    file_mode,
    npz_arrays,
    read_arrow,
    read_field,
    refuse_replacing_inputs,
    table_files,
    write_field,
)
from ._origins import crop_row_keys
from ._outputs import TABLE_FORMATS

TABLE_SUFFIXES = tuple(f".{format}" for format in TABLE_FORMATS)
POINTS_TABLE = "points_in_rows"
INFORMATION_TABLE = "row_information"


def add_commands(commands: Any) -> None:
    connect = commands.add_parser("connect", help="build a field's neighbours and row information from its points")
    connect.add_argument("points", type=pathlib.Path, metavar="POINTS",
                         help="a points table (.parquet or .csv), or a field (.npz or a folder of tables)")
    connect.add_argument("-o", "--output", type=pathlib.Path, required=True, metavar="FIELD",
                         help="the field: an .npz file, or a folder of tables in --format")
    connect.add_argument("--format", choices=TABLE_FORMATS, default="parquet",
                         help="of the tables in a folder (default parquet)")
    connect.add_argument("--max-gap", type=float, default=1.0, metavar="G",
                         help="the farthest apart the closest ends of two neighbours may lie (default 1)")
    connect.add_argument("--max-angle", type=float, default=10.0, metavar="A",
                         help="the most two neighbours' lines may differ in direction, in degrees (default 10)")
    connect.add_argument("--max-offset", type=float, default=0.2, metavar="D",
                         help="the farthest those ends may lie from the other row's line (default 0.2)")
    connect.add_argument("--column", type=column_mapping, action="append", default=[], metavar="NAME=THEIRS",
                         help="the points' column THEIRS holds row_key_1, row_key_2, x or y (repeatable)")

    plot = commands.add_parser("plot", help="draw a field before and after its merge")
    plot.add_argument("field", type=pathlib.Path, metavar="FIELD", help="an .npz file or a folder of tables")
    plot.add_argument("-o", "--output", type=pathlib.Path, required=True, metavar="PICTURE.png")
    plot.add_argument("--tolerance", type=tolerance_value, default=DEFAULT_TOLERANCE, metavar="T",
                      help=f"margin of the overlap test (default {DEFAULT_TOLERANCE})")


def run_connect(args: argparse.Namespace) -> int:
    output: pathlib.Path = args.output
    try:
        columns = dict(args.column)
        format = "npz" if output.suffix == ".npz" else args.format
        refuse_replacing_inputs(field_outputs(output, format)[2], field_files(args.points))
        if format != "npz":
            require("pyarrow", "io", f"writing {args.format} tables")
        points, information = read_points(args.points)
        with caught_field_warnings() as caught:
            field = build_field(points, row_information=information, max_gap=args.max_gap,
                                max_angle=args.max_angle, max_offset=args.max_offset, columns=columns)
        report_warnings(caught)
        write_field(output, field, format=format)
    except (ValueError, MissingExtraError, OSError) as error:
        complain(error)
        return 2
    print(connect_summary(args.points, field))
    print(f"wrote {output}")
    return 0


def read_points(path: pathlib.Path) -> tuple[Any, np.ndarray | None]:
    """A points table, or a field's points_in_rows and its row_information when it has one."""
    if path.suffix in TABLE_SUFFIXES and path.is_file():
        return read_arrow(path), None
    if path.is_dir():
        tables = {}
        for table in (POINTS_TABLE, INFORMATION_TABLE):
            found = table_files(path, table)
            if len(found) > 1:
                raise FieldError(f"{path} holds both {found[0].name} and {found[1].name}")
            tables[table] = read_arrow(found[0]) if found else None
        if tables[POINTS_TABLE] is None:
            raise FieldError(f"{path} holds no {POINTS_TABLE}.parquet or {POINTS_TABLE}.csv")
        return tables[POINTS_TABLE], tables[INFORMATION_TABLE]
    if path.suffix == ".npz" and path.is_file():
        arrays = npz_arrays(path, [POINTS_TABLE], [INFORMATION_TABLE])
        return arrays[POINTS_TABLE], arrays.get(INFORMATION_TABLE)
    file_mode(path)  # says so when it does not exist, or cannot be reached
    raise FieldError(f"{path} is neither a points table (.parquet, .csv) nor a field (.npz, a folder)")


def connect_summary(source: pathlib.Path, field: Field) -> str:
    connected = field.connected_crop_rows
    slots = ~np.isnan(connected[:, 3::2])
    alone = np.flatnonzero(~slots.any(axis=1))
    keys = crop_row_keys(connected[:, 1:3])
    lines = [
        f"{source}: {len(field.points_in_rows):,} points in {len(connected):,} crop rows",
        f"neighbour pairs: {int(slots.sum()) // 2:,}",
        f"crop rows without a neighbour: {alone.size:,}" + (f": {row_names(keys, alone)}" if alone.size else ""),
    ]
    return "\n".join(lines)


def run_plot(args: argparse.Namespace) -> int:
    from ._plot import plot_field

    output: pathlib.Path = args.output
    try:
        if output.suffix != ".png":
            raise FieldError(f"{output}: the picture's name must end in .png")
        if not output.parent.is_dir():
            raise FieldError(f"{output}: there is no folder {output.parent}")
        require("matplotlib", "plot", "plot")
        field = read_field(args.field)
    except (FieldError, MissingExtraError) as error:
        complain(error)
        return 2
    try:
        drops = plot_field(field, output, tolerance=args.tolerance)
    except (MergeError, MemoryError) as error:
        report_merge_failure(error)
        return 1
    except (ValueError, OSError) as error:
        complain(error)
        return 2
    kept = int(np.count_nonzero(drops.kept))
    print(f"{args.field}: {len(field.points_in_rows):,} points in, {kept:,} kept; drew {output}")
    return 0
