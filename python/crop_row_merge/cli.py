"""The crop-row-merge command: `merge` one field into one file, `batch` many fields on Dask,
`connect` a points table into a field, or `plot` a field before and after its merge.

Exit codes: 0 when everything merged (or was skipped), 1 when a merge failed, 2 when the input
or the arguments cannot be used.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import pathlib
import sys

from ._batch import FORMATS, SUMMARY_FILE, merge_fields
from ._errors import FieldError, MergeError, MissingExtraError, require
from ._field_commands import add_commands, run_connect, run_plot
from ._files import check_output_path, read_field, write_merged
from ._merge import DEFAULT_TOLERANCE, call_merge
from ._progress import FieldBar

PROGRAM = "crop-row-merge"


def main(argv: list[str] | None = None) -> int:
    parser = argument_parser()
    args = parser.parse_args(argv)
    if args.command == "batch" and args.scheduler and args.workers is not None:
        parser.error("--workers sizes the local cluster; it does not go with --scheduler")
    try:
        runs = {"merge": run_merge, "batch": run_batch, "connect": run_connect, "plot": run_plot}
        return runs[args.command](args)
    except KeyboardInterrupt:
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        return 130


def argument_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Merge crop-row points, removing the overlap of neighbouring rows."
    )
    commands = parser.add_subparsers(dest="command", required=True)

    merge = commands.add_parser("merge", help="merge one field into one file")
    merge.add_argument("field", type=pathlib.Path, metavar="FIELD", help="an .npz file or a folder of tables")
    merge.add_argument(
        "-o", "--output", type=pathlib.Path, required=True, metavar="OUT",
        help="the merged points; the suffix picks the format: .npz, .parquet or .csv",
    )
    add_merge_options(merge)

    batch = commands.add_parser("batch", help="merge many fields on Dask, one output file each")
    batch.add_argument("fields", type=pathlib.Path, nargs="+", metavar="FIELD")
    batch.add_argument("-o", "--output", type=pathlib.Path, required=True, metavar="OUTDIR",
                       help=f"where <field name>.<format> and {SUMMARY_FILE} go")
    batch.add_argument("--format", choices=FORMATS, default="parquet", help="of the outputs (default parquet)")
    batch.add_argument("--workers", type=positive_int, metavar="N",
                       help="worker processes of the local cluster (default one per core)")
    batch.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the existing Dask cluster of this scheduler instead of a local one")
    batch.add_argument("--force", action="store_true", help="merge again fields whose output exists")
    add_merge_options(batch)
    add_commands(commands)
    return parser


def add_merge_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--tolerance", type=float, default=DEFAULT_TOLERANCE, metavar="T",
                        help=f"margin of the overlap test (default {DEFAULT_TOLERANCE})")
    parser.add_argument("--threads", type=non_negative_int, default=0, metavar="N",
                        help="num_threads of each merge; 0 (the default) picks the count "
                        "(in a batch, each worker's share of its machine's cores)")


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def non_negative_int(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {value}")
    return value


def complain(message: object) -> None:
    print(f"{PROGRAM}: {message}", file=sys.stderr)


def run_merge(args: argparse.Namespace) -> int:
    output: pathlib.Path = args.output
    try:
        check_output_path(output)
        if not output.parent.is_dir():
            raise FieldError(f"{output}: there is no folder {output.parent}")
        if output.suffix != ".npz":
            require("pyarrow", "io", f"writing {output.name}")
        field = read_field(args.field)
    except (FieldError, MissingExtraError) as error:
        complain(error)
        return 2
    try:
        merged = call_merge(**field, tolerance=args.tolerance, num_threads=args.threads)
    except (MergeError, MemoryError) as error:
        complain(f"the merge failed: {error if isinstance(error, MergeError) else 'out of memory'}")
        for note in getattr(error, "__notes__", ()):
            print(f"  {note}", file=sys.stderr)
        return 1
    end_module_bar_line()
    try:
        write_merged(output, merged, field.column_names["points_in_rows"])
    except (FieldError, OSError) as error:
        complain(f"cannot write {output}: {error}")
        return 2
    points_in = field.points_in_rows.shape[0]
    print(f"{args.field}: {points_in:,} points in, {merged.shape[0]:,} kept; wrote {output}")
    return 0


def end_module_bar_line() -> None:
    """The module leaves its bar's last line without a newline (a failure's report starts with one);
    the line that follows a merge gets a line of its own."""
    if sys.stderr.isatty() and "NO_COLOR" not in os.environ and os.environ.get("TERM", "dumb") != "dumb":
        sys.stderr.write("\n")
        sys.stderr.flush()


def run_batch(args: argparse.Namespace) -> int:
    bar = FieldBar(len(args.fields))
    try:
        with contextlib.ExitStack() as stack:
            client = None
            if args.scheduler:
                distributed = require("distributed", "batch", "batch")
                try:
                    client = stack.enter_context(distributed.Client(args.scheduler))
                except OSError as error:
                    raise FieldError(f"cannot reach the Dask scheduler at {args.scheduler}: {error}") from error
            stack.callback(bar.close)
            summary = merge_fields(
                args.fields, args.output, client, format=args.format, force=args.force,
                tolerance=args.tolerance, num_threads=args.threads, workers=args.workers,
                on_field_done=bar.advance,
            )
    except (ValueError, MissingExtraError, OSError) as error:
        complain(error)
        return 2
    counts = summary["status"].value_counts()
    ok, skipped, failed = (int(counts.get(status, 0)) for status in ("ok", "skipped", "failed"))
    print(
        f"{len(summary)} fields: {ok} ok, {skipped} skipped, {failed} failed;"
        f" summary in {args.output / SUMMARY_FILE}"
    )
    return 1 if failed else 0
