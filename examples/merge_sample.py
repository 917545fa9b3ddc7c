"""Runs the merge on a built-in sample field, or on arrays from an .npz file, and says what it did.

Prints what went in and what came out: records, points in, points kept and
dropped, per neighbour slot and for the junctions that dropped the most.
Optionally writes the result to an .npz file and a picture of the field
before and after the merge to a PNG file.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import time
import warnings

sys.path.insert(0, str(pathlib.Path(__file__).parent))

import numpy as np  # noqa: E402

import _native  # noqa: E402
import crop_row_merge  # noqa: E402
from crop_row_merge._junctions import (  # noqa: E402
    JunctionDrops,
    count_junction_drops,
    neighbour_row_label,
    own_row_label,
)
from synthetic_field import make_field  # noqa: E402

ARRAY_NAMES = ("connected_crop_rows", "points_in_rows", "row_information")
SAMPLE_DEFAULTS = {"lines": 10, "rows_per_line": 8, "points_per_row": 1000}
SAMPLE_STAGGER = 0.3  # rows of one line apart sideways, so that a junction's two rows show apart
TOP_JUNCTIONS = 5


def main(argv: list[str] | None = None) -> int:
    parser = argument_parser()
    args = parser.parse_args(argv)
    field, origin = load_field(parser, args)
    print(origin)
    for name in ARRAY_NAMES:
        print(f"  {name:<20} {describe_array(field[name])}")
    warn_about_mistakes(field, args.tolerance)

    start = time.perf_counter()
    try:
        result = _native.merge_points_removing_overlap(
            **field, tolerance=args.tolerance, num_threads=args.threads
        )
    except (TypeError, ValueError, OverflowError) as error:
        # The notes name the argument and, for an array, what it should have been.
        print(f"the merge refused its arguments: {type(error).__name__}: {error}", file=sys.stderr)
        for note in getattr(error, "__notes__", []):
            print(f"  {note}", file=sys.stderr)
        return 2
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        print(f"the merge failed: {error.args[0]}", file=sys.stderr)
        return 1
    seconds = time.perf_counter() - start
    print(f"merged with tolerance {args.tolerance:g}, num_threads {args.threads} in {seconds:.2f} s")

    drops = count_junction_drops(**field, tolerance=args.tolerance, num_threads=args.threads)
    print_summary(field, result, drops)

    if args.output:
        np.savez(args.output, merged_points=result)
        print(f"wrote {result.shape[0]:,} points to {args.output} (array 'merged_points')")
    if args.picture:
        # matplotlib is needed only for the picture, and takes a moment to load.
        from crop_row_merge._plot import draw_field

        draw_field(args.picture, field, drops)
        print(f"wrote the picture to {args.picture}")
    return 0


def argument_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    source = parser.add_argument_group(
        "what to merge",
        "the built-in sample field, generated, unless --input names an .npz file",
    )
    source.add_argument(
        "--input", type=pathlib.Path, metavar="FILE.npz",
        help="an .npz file holding " + ", ".join(ARRAY_NAMES),
    )
    for name, meaning in (
        ("lines", "parallel lines"),
        ("rows_per_line", "crop rows per line"),
        ("points_per_row", "points per crop row"),
    ):
        source.add_argument(
            "--" + name.replace("_", "-"), type=int,
            help=f"sample: {meaning} (default {SAMPLE_DEFAULTS[name]})",
        )
    merge = parser.add_argument_group("the merge")
    merge.add_argument(
        "--tolerance", type=float, default=0.1, help="margin of the overlap test (default 0.1)"
    )
    merge.add_argument(
        "--threads", type=int, default=0,
        help="num_threads; 0 (the default) takes the count from the environment",
    )
    written = parser.add_argument_group("what to write")
    written.add_argument(
        "--output", type=pathlib.Path, metavar="FILE.npz",
        help="the result, as the array 'merged_points'",
    )
    written.add_argument(
        "--picture", type=pathlib.Path, metavar="FILE.png",
        help="the field before and after the merge, with a few junctions enlarged",
    )
    return parser


def load_field(
    parser: argparse.ArgumentParser, args: argparse.Namespace
) -> tuple[dict[str, np.ndarray], str]:
    """The three arrays to merge, and a line that says where they come from."""
    sample_options = {name: getattr(args, name) for name in SAMPLE_DEFAULTS}
    if args.input is None:
        sizes = {
            name: SAMPLE_DEFAULTS[name] if value is None else value
            for name, value in sample_options.items()
        }
        origin = (
            f"sample field: {sizes['lines']} lines of {sizes['rows_per_line']} crop rows, "
            f"{sizes['points_per_row']:,} points each"
        )
        return make_field(**sizes, stagger=SAMPLE_STAGGER), origin
    given = [name for name, value in sample_options.items() if value is not None]
    if given:
        options = ", ".join("--" + name.replace("_", "-") for name in given)
        parser.error(f"{options}: the sample's sizes do not go with --input")
    return read_arrays(parser, args.input), f"input: {args.input}"


def read_arrays(parser: argparse.ArgumentParser, path: pathlib.Path) -> dict[str, np.ndarray]:
    try:
        stored = np.load(path, allow_pickle=False)
        if not isinstance(stored, np.lib.npyio.NpzFile):
            parser.error(f"{path} holds a single array; an .npz file with {', '.join(ARRAY_NAMES)} is needed")
        with stored:
            missing = [name for name in ARRAY_NAMES if name not in stored.files]
            if missing:
                parser.error(
                    f"{path} lacks {', '.join(missing)}; it holds {', '.join(stored.files) or 'nothing'}"
                )
            return {name: stored[name] for name in ARRAY_NAMES}
    except (OSError, ValueError) as error:
        parser.error(f"cannot read {path}: {error}")


def describe_array(array: np.ndarray) -> str:
    shape = " x ".join(f"{size:,}" for size in array.shape)
    return f"{shape} {array.dtype}"


def warn_about_mistakes(field: dict[str, np.ndarray], tolerance: float) -> None:
    """What the package's checks warn of (a placeholder third point, say), printed."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", crop_row_merge.FieldWarning)
        try:
            crop_row_merge.check_field(field, tolerance=tolerance)
        except (crop_row_merge.FieldError, ValueError):
            return  # the merge refuses it and says why
    for warning in caught:
        print(f"warning: {warning.message}", file=sys.stderr)


def print_summary(field: dict[str, np.ndarray], result: np.ndarray, drops: JunctionDrops) -> None:
    points = field["points_in_rows"].shape[0]
    gathered = int(drops.points_in.sum())
    dropped = int(drops.dropped.sum())
    print(f"records:     {field['connected_crop_rows'].shape[0]:,}")
    print(f"points in:   {points:,}")
    print(f"points kept: {result.shape[0]:,}")
    share = f" ({dropped / gathered:.1%} of the gathered points)" if gathered else ""
    print(f"dropped:     {dropped:,}{share}")
    outside = int(np.count_nonzero(drops.gathered == 0))
    if outside:
        print(f"  {outside:,} points belong to no record's crop row and are left out")
    if gathered > points - outside:
        print(
            f"  {gathered - (points - outside):,} points are gathered again by records "
            "that share a crop row"
        )
    if not drops.slots_used.any():
        print("no record names a neighbour: nothing was trimmed")
        return
    print_slot_totals(drops)
    print_top_junctions(field["connected_crop_rows"], drops)


def print_slot_totals(drops: JunctionDrops) -> None:
    print("dropped per neighbour slot (a point counts at the first slot that drops it):")
    print("  slot  junctions  with drops    dropped")
    for slot in range(int(drops.slots_used.max())):
        junctions = drops.slots_used > slot
        with_drops = np.count_nonzero(drops.dropped[:, slot] > 0)
        print(
            f"  {slot:>4}  {np.count_nonzero(junctions):>9,}  {with_drops:>10,}"
            f"  {int(drops.dropped[:, slot].sum()):>9,}"
        )


def print_top_junctions(connected: np.ndarray, drops: JunctionDrops) -> None:
    junctions = drops.junctions_by_drops()
    if not junctions:
        return
    print(f"junctions with the most drops (of {len(junctions):,} that drop any):")
    print("  record  crop row        slot  neighbour row   points  dropped  kept")
    for record, slot in junctions[:TOP_JUNCTIONS]:
        own = own_row_label(connected, record)
        neighbour = neighbour_row_label(connected, record, slot)
        print(
            f"  {record:>6}  {own:<14}  {slot:>4}  {neighbour:<14}"
            f"  {drops.points_in[record]:>6,}  {drops.dropped[record, slot]:>7,}"
            f"  {drops.kept_per_record[record]:>4,}"
        )


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        # The reader (head, say) has gone: stop quietly, as command-line tools do,
        # and keep the interpreter from complaining about stdout when it exits.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
