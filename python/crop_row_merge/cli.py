"""The crop-row-merge command: `merge` one field into one file, or `batch` many fields on Dask.

Exit codes: 0 when everything merged (or was skipped), 1 when a merge failed, 2 when the input
or the arguments cannot be used.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import pathlib
import sys
from collections.abc import Iterator
from typing import Any

from ._batch import FORMATS, dask_kept_quiet, max_workers, merge_fields
from ._errors import FieldError, MergeError, MissingExtraError, printable
from ._extras import require
from ._files import field_files, read_field, refuse_replacing_inputs
from ._merge import DEFAULT_TOLERANCE, call_merge, merge_arguments
from ._outputs import check_output_path, write_merged
from ._progress import FieldBar
from ._summary import SUMMARY_FILE

# How long the batch waits for a scheduler it is pointed at.
SCHEDULER_TIMEOUT = "10s"

PROGRAM = "crop-row-merge"


def main(argv: list[str] | None = None) -> int:
    parser = argument_parser()
    args = parser.parse_args(argv)
    if args.command == "batch" and args.scheduler and args.workers is not None:
        parser.error("--workers sizes the local cluster; it does not go with --scheduler")
    if args.command == "batch" and args.workers is not None and args.workers > max_workers():
        parser.error(f"argument --workers: must be at most {max_workers()} (4 per core), not {args.workers}")
    try:
        return run_merge(args) if args.command == "merge" else run_batch(args)
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
    return parser


def add_merge_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--tolerance", type=tolerance_value, default=DEFAULT_TOLERANCE, metavar="T",
                        help=f"margin of the overlap test (default {DEFAULT_TOLERANCE})")
    parser.add_argument("--threads", type=thread_count, default=0, metavar="N",
                        help="num_threads of each merge; 0 (the default) picks the count "
                        "(in a batch, each worker's share of its machine's cores)")


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def tolerance_value(text: str) -> float:
    try:
        return merge_arguments(float(text), 0)[0]
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def thread_count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {value}")
    try:
        return merge_arguments(DEFAULT_TOLERANCE, value)[1]
    except OverflowError as error:
        raise argparse.ArgumentTypeError(f"{error}: at most {2**64 - 1}") from None


def complain(message: object) -> None:
    print(f"{PROGRAM}: {printable(message)}", file=sys.stderr)


def run_merge(args: argparse.Namespace) -> int:
    output: pathlib.Path = args.output
    try:
        check_output_path(output)
        if not output.parent.is_dir():
            raise FieldError(f"{output}: there is no folder {output.parent}")
        refuse_replacing_inputs([output], field_files(args.field))
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
            print(f"  {printable(note)}", file=sys.stderr)
        return 1
    end_module_bar_line()
    try:
        write_merged(output, merged, field.column_names["points_in_rows"])
    except (FieldError, OSError) as error:
        complain(f"cannot write {output}: {error}")
        return 2
    points_in = field.points_in_rows.shape[0]
    print(printable(f"{args.field}: {points_in:,} points in, {merged.shape[0]:,} kept; wrote {output}"))
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
                client = stack.enter_context(scheduler_client(args.scheduler))
            stack.callback(bar.close)
            summary = merge_fields(
                args.fields, args.output, client, format=args.format, force=args.force,
                tolerance=args.tolerance, num_threads=args.threads, workers=args.workers,
                on_field_done=bar.advance,
            )
    except (FieldError, MissingExtraError) as error:
        complain(error)
        return 2
    counts = summary["status"].value_counts()
    ok, skipped, failed = (int(counts.get(status, 0)) for status in ("ok", "skipped", "failed"))
    print(printable(
        f"{len(summary)} fields: {ok} ok, {skipped} skipped, {failed} failed;"
        f" summary in {args.output / SUMMARY_FILE}"
    ))
    return 1 if failed else 0


@contextlib.contextmanager
def scheduler_client(address: str) -> Iterator[Any]:
    """A client of the scheduler at `address`; anything that keeps it from connecting (nothing
    there, something there that is no Dask scheduler, a timeout) is a FieldError naming it."""
    distributed = require("distributed", "batch", "batch")
    try:
        with dask_kept_quiet():
            client = distributed.Client(address, timeout=SCHEDULER_TIMEOUT)
    except Exception as error:  # Dask raises what its transport and its protocol raise
        raise FieldError(f"cannot reach a Dask scheduler at {address}: {type(error).__name__}: {error}") from None
    with client:
        yield client
