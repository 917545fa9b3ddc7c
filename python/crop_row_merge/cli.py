"""The crop-row-merge command: `merge` one field into one file, `batch` many fields on Dask,
`connect` a points table into a field, or `plot` a field before and after its merge.

Exit codes: 0 when everything merged (or was skipped), 1 when a merge failed, 2 when the input
or the arguments cannot be used, 130 after Ctrl-C.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import pathlib
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING

from ._batch import dask_kept_quiet, max_workers, plan_batch, run_batch
from ._arguments import (
    PROGRAM,
    column_mapping,
    complain,
    positive_int,
    report_merge_failure,
    report_warnings,
    thread_count,
    tolerance_value,
)
from ._call import DEFAULT_TOLERANCE
from ._checks import caught_field_warnings
from ._errors import FieldError, MergeError, MissingExtraError, printable
from ._extras import require
from ._field_commands import add_commands, run_connect, run_plot
from ._merge import field_merge, left_out_of_npz
from ._outputs import FORMATS
from ._progress import FieldBar, stderr_draws
from ._summary import SUMMARY_FILE

if TYPE_CHECKING:
    import distributed

# How long the batch waits for a scheduler it is pointed at.
SCHEDULER_TIMEOUT = "10s"


def main(argv: list[str] | None = None) -> int:
    parser = argument_parser()
    args = parser.parse_args(argv)
    if args.command == "batch":
        if args.scheduler and args.workers is not None:
            parser.error("--workers sizes the local cluster; it does not go with --scheduler")
        if args.scheduler and args.dashboard_address is not None:
            parser.error("--dashboard-address is the local cluster's; it does not go with --scheduler")
        if args.workers is not None and args.workers > max_workers():
            parser.error(f"argument --workers: must be at most {max_workers()} (4 per core), not {args.workers}")
    try:
        runs = {"merge": run_merge, "batch": run_batch_command, "connect": run_connect, "plot": run_plot}
        return runs[args.command](args)
    except KeyboardInterrupt:
        print(f"{PROGRAM}: interrupted", file=sys.stderr)
        return 130


def argument_parser() -> argparse.ArgumentParser:
    from . import __version__

    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Merge crop-row points, removing the overlap of neighbouring rows."
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
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
                       help="worker processes of the local cluster (default one per core, at most 4 per core)")
    batch.add_argument("--scheduler", metavar="ADDRESS",
                       help="run on the existing Dask cluster of this scheduler instead of a local one")
    batch.add_argument("--dashboard-address", metavar="ADDR",
                       help="where the local cluster serves Dask's dashboard (default any free port)")
    batch.add_argument("--force", action="store_true", help="merge again fields whose output exists")
    add_merge_options(batch)
    add_commands(commands)
    return parser


def add_merge_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--tolerance", type=tolerance_value, default=DEFAULT_TOLERANCE, metavar="T",
                        help=f"margin of the overlap test (default {DEFAULT_TOLERANCE})")
    parser.add_argument("--threads", type=thread_count, default=0, metavar="N",
                        help="num_threads of each merge; 0 (the default) picks the count "
                        "(in a batch, each worker's share of its machine's cores)")
    parser.add_argument("--column", type=column_mapping, action="append", default=[], metavar="NAME=THEIRS",
                        help="read the documented column NAME (row_key_1, x, ...) from the tables' "
                        "column THEIRS; repeatable")


def run_merge(args: argparse.Namespace) -> int:
    output: pathlib.Path = args.output
    with caught_field_warnings() as caught:
        try:
            if not output.parent.is_dir():
                raise FieldError(f"{output}: there is no folder {output.parent}")
            merge = field_merge(args.field, output, tolerance=args.tolerance, num_threads=args.threads,
                                columns=dict(args.column))
        except (FieldError, MissingExtraError) as error:
            complain(error)
            return 2
        try:
            merged = merge.run()
        except (MergeError, MemoryError) as error:
            report_warnings(caught)
            report_merge_failure(error)
            return 1
        except OSError as error:
            complain(f"cannot write {output}: {error}")
            return 2
    end_module_bar_line()
    report_warnings(caught)
    left_out = left_out_of_npz(merge.field) if output.suffix == ".npz" else []
    if left_out:
        complain(f"{output} holds the points' numeric columns only; left out: {', '.join(left_out)}")
    points_in, kept = merge.field.point_rows(), len(merged.kept.source_row)
    print(printable(f"{args.field}: {points_in:,} points in, {kept:,} kept; wrote {output}"))
    return 0


def end_module_bar_line() -> None:
    """The module leaves its bar's last line without a newline; the line that follows a merge gets
    a line of its own."""
    if stderr_draws():
        sys.stderr.write("\n")
        sys.stderr.flush()


def run_batch_command(args: argparse.Namespace) -> int:
    bar = FieldBar(len(args.fields))
    try:
        plan = plan_batch(args.fields, args.output, args.format, args.force, args.tolerance, args.threads,
                          dict(args.column))
        with batch_client(args) as client, contextlib.closing(bar):
            summary = run_batch(plan, client, bar.advance)
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
def batch_client(args: argparse.Namespace) -> Iterator[distributed.Client]:
    """The client of the scheduler the batch was pointed at, or of a local cluster of its own,
    whose dashboard's address it prints when the cluster serves one."""
    if args.scheduler:
        with scheduler_client(args.scheduler) as client:
            yield client
        return
    from ._local_cluster import local_client

    with dask_kept_quiet(), local_client(args.workers, args.dashboard_address) as client:
        # Dask serves its dashboard where bokeh is installed; it is for a person watching.
        if stderr_draws() and importlib.util.find_spec("bokeh") is not None:
            complain(f"Dask's dashboard: {client.dashboard_link}")
        yield client


@contextlib.contextmanager
def scheduler_client(address: str) -> Iterator[distributed.Client]:
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
