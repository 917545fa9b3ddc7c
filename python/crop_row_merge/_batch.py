"""Many fields on Dask's distributed scheduler: one task per field on a worker process, each
output written as OUTDIR/<field>.<format> through a temporary name, and one summary row per field
in OUTDIR/summary.csv."""

from __future__ import annotations

import contextlib
import importlib
import logging
import os
import pathlib
import sys
import time
import uuid
import warnings
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, SupportsFloat, SupportsIndex

from ._call import DEFAULT_TOLERANCE, failure_lines, merge_arguments
from ._checks import caught_field_warnings
from ._columns import check_mapping
from ._errors import FieldError, FieldWarning, MergeError, MissingExtraError
from ._extras import require
from ._field import PathLike
from ._files import field_files, refuse_replacing_inputs
from ._merge import field_merge
from ._outputs import FORMATS, OutputFormat, whole_output_rows
from ._summary import SUMMARY_FILE, Summary, SummaryRow, summary_frame, summary_row

if TYPE_CHECKING:
    import distributed
    import pandas


# As the module bounds its pool: more workers than this only fight over the cores.
MAX_WORKERS_PER_CORE = 4


@dataclass(frozen=True)
class FieldJob:
    """One field's task, as it travels to a worker: plain paths, names and numbers only."""

    name: str  # the field's, as its output and its summary row name it
    source: str
    target: str
    tolerance: float
    num_threads: int  # 0: the worker's share of its machine's cores
    columns: tuple[tuple[str, str], ...]  # documented names and the user's own
    tag: str  # names the batch's temporary files


@dataclass(frozen=True)
class BatchPlan:
    """A batch whose arguments and outputs were checked: nothing of it has been read or written."""

    out_dir: pathlib.Path
    jobs: list[FieldJob]
    force: bool
    tag: str


def field_name(path: pathlib.Path) -> str:
    """An .npz file's name without the suffix, a folder's name."""
    return path.stem if path.suffix == ".npz" and not path.is_dir() else path.name


def max_workers() -> int:
    """The most worker processes a local cluster may have on this machine."""
    from dask.system import CPU_COUNT

    return MAX_WORKERS_PER_CORE * CPU_COUNT


def merge_fields(
    paths: Iterable[PathLike],
    out_dir: PathLike,
    client: distributed.Client | None = None,
    *,
    format: OutputFormat = "parquet",
    force: bool = False,
    tolerance: SupportsFloat | SupportsIndex = DEFAULT_TOLERANCE,
    num_threads: SupportsIndex = 0,
    workers: int | None = None,
    columns: Mapping[str, str] | None = None,
    on_field_done: Callable[[SummaryRow], None] | None = None,
) -> pandas.DataFrame:
    """Merges every field into `out_dir`/<field name>.<format> on Dask and returns the summary of
    these fields as a pandas DataFrame, one row per field in the order given: status "ok",
    "failed" (with the message) or "skipped" (its output exists, is whole and holds what the
    summary recorded, and `force` is false; the row keeps the counts of the run that merged it).
    `out_dir`/summary.csv gets these rows too, merged with the rows of other fields it holds.

    Without `client`, a local cluster of `workers` processes (one per core by default, at most
    four per core) runs the batch and stops with it; each merge then gets its worker's share of
    the cores, unless `num_threads` is given. `columns` maps documented column names to the
    fields' own. `on_field_done` is called with each summary row as it is known. Arguments that
    cannot work, and outputs that would replace an input or each other, are refused before
    anything is read or written. A local cluster needs the script that calls this to guard its
    work with `if __name__ == "__main__":`, since its worker processes import that script.
    """
    if client is not None and workers is not None:
        raise ValueError("workers sizes the local cluster; it does not go with a client")
    if workers is not None and not 1 <= workers <= max_workers():
        raise ValueError(f"workers must be from 1 to {max_workers()} ({MAX_WORKERS_PER_CORE} per core), not {workers}")
    plan = plan_batch(paths, out_dir, format, force, tolerance, num_threads, columns)
    with client_or_local_cluster(client, workers) as live:
        return run_batch(plan, live, on_field_done)


def plan_batch(
    paths: Iterable[PathLike],
    out_dir: PathLike,
    format: str,
    force: bool,
    tolerance: SupportsFloat | SupportsIndex,
    num_threads: SupportsIndex,
    columns: Mapping[str, str] | None,
) -> BatchPlan:
    """Checks a batch's arguments and outputs: one job per field, refusing a batch whose outputs
    would replace each other, the summary, or any file of any of its fields."""
    require("pandas", "batch", "merge_fields")
    require("distributed", "batch", "merge_fields")
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    if format != "npz":
        require("pyarrow", "batch", f"writing {format}")
    tolerance, num_threads = merge_arguments(tolerance, num_threads)
    mapping = tuple(dict(columns or {}).items())
    check_mapping(dict(mapping))
    out_dir = pathlib.Path(out_dir).resolve()
    tag = uuid.uuid4().hex[:12] + "-"
    jobs: list[FieldJob] = []
    named: dict[str, PathLike] = {}
    inputs: list[pathlib.Path] = []
    for path in paths:
        source = pathlib.Path(path).resolve()  # workers may run elsewhere
        name = field_name(source)
        if name in named:
            raise FieldError(f"{named[name]} and {path} are both named {name!r}; their outputs would collide")
        if name == pathlib.Path(SUMMARY_FILE).stem and format == "csv":
            raise FieldError(f"the output of {path} would overwrite the summary, {out_dir / SUMMARY_FILE}")
        named[name] = path
        inputs.extend(field_files(source))
        target = str(out_dir / f"{name}.{format}")
        jobs.append(FieldJob(name, str(source), target, tolerance, num_threads, mapping, tag))
    if not jobs:
        raise FieldError("no fields to merge")
    refuse_replacing_inputs([*(pathlib.Path(job.target) for job in jobs), out_dir / SUMMARY_FILE], inputs)
    return BatchPlan(out_dir, jobs, force, tag)


def run_batch(
    plan: BatchPlan, client: distributed.Client, on_field_done: Callable[[SummaryRow], None] | None = None
) -> pandas.DataFrame:
    """Runs a checked batch on `client`; the summary of its fields, as merge_fields returns it."""
    distributed = require("distributed", "batch", "merge_fields")
    try:
        plan.out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise FieldError(f"cannot make {plan.out_dir}: {error.strerror or error}") from error
    summary = Summary(plan.out_dir, [job.name for job in plan.jobs])
    rows: dict[str, SummaryRow] = {}

    def done(row: SummaryRow) -> None:
        rows[row["field"]] = row
        summary.record(row)
        if on_field_done is not None:
            on_field_done(row)

    try:
        pending: dict[str, str] = {}  # field: why it is merged again, or ""
        for job in plan.jobs:
            skipped, why = (None, "") if plan.force else kept_output(job, summary.earlier_row(job.name))
            if skipped is not None:
                done(skipped)
            else:
                pending[job.name] = why
        if pending:
            try:
                with dask_kept_quiet():
                    for row in run_jobs(distributed, client, [job for job in plan.jobs if job.name in pending]):
                        if row["status"] == "ok" and pending[row["field"]]:
                            row["message"] = f"merged again: {pending[row['field']]}"
                        done(row)
            finally:
                # Temporary files of tasks whose worker died; their tasks ran again elsewhere.
                for partial in plan.out_dir.glob(f".*.{plan.tag}*.partial"):
                    partial.unlink(missing_ok=True)
    finally:
        # Also after Ctrl-C or a failure: the fields done so far are on record.
        summary.write()
    return summary_frame(rows[job.name] for job in plan.jobs)


def kept_output(job: FieldJob, earlier: SummaryRow | None) -> tuple[SummaryRow | None, str]:
    """The skipped row of a field whose output is there and whole, with the counts of the run that
    wrote it; else None, and why an output that is there is merged again."""
    target = pathlib.Path(job.target)
    if not os.path.lexists(target):
        return None, ""
    if earlier is None or earlier["points_kept"] is None or earlier["output_bytes"] is None:
        return None, f"{target.name} exists, but {SUMMARY_FILE} does not record what was written to it"
    try:
        size = os.stat(target).st_size
        rows = whole_output_rows(target) if size == earlier["output_bytes"] else None
    except (FieldError, OSError) as error:
        return None, str(error)
    if rows is None:
        return None, f"{target.name} has {size:,} bytes, where {earlier['output_bytes']:,} were written"
    if rows != earlier["points_kept"]:
        return None, f"{target.name} holds {rows:,} rows, where {earlier['points_kept']:,} were written"
    skipped = summary_row(
        job.name, "skipped", earlier["points_in"], earlier["points_kept"], earlier["seconds"],
        earlier["output_bytes"], f"{target.name} exists", earlier["warnings"],
    )
    return skipped, ""


@contextlib.contextmanager
def dask_kept_quiet() -> Iterator[None]:
    """Dask's own warnings and log lines (a slow scratch folder, a restarted worker) stay off the
    user's terminal while a batch runs; the summary tells of every field."""
    logger = logging.getLogger("distributed")
    level = logger.level
    logger.setLevel(logging.CRITICAL)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            yield
    finally:
        logger.setLevel(level)


@contextlib.contextmanager
def client_or_local_cluster(client: distributed.Client | None, workers: int | None) -> Iterator[distributed.Client]:
    """The given client, or one of a local cluster that lives as long."""
    if client is not None:
        yield client
        return
    from ._local_cluster import local_client

    with dask_kept_quiet(), local_client(workers) as local:
        yield local


def run_jobs(distributed: Any, client: Any, jobs: list[FieldJob]) -> Iterator[SummaryRow]:
    """Summary rows as the fields finish. Dask runs a task again when its worker dies; a task that
    keeps failing that way, or raises, makes a failed row."""
    plan = {} if all(job.num_threads for job in jobs) else thread_plan(client)
    # Before the fields' clocks start.
    client.run(load_libraries)
    # One graph for all the fields: the scheduler takes them in one message, not one each.
    keys = [f"crop-row-merge-{job.tag}{job.name}" for job in jobs]
    futures = dict(zip(client.map(merge_one, jobs, plan=plan, key=keys, pure=False), jobs))
    try:
        for future in distributed.as_completed(futures):
            job = futures[future]
            try:
                row = future.result()
            except Exception as error:
                row = summary_row(job.name, "failed", message=f"{type(error).__name__}: {error}")
            future.release()
            yield row
    finally:
        client.cancel(list(futures))


def thread_plan(client: Any) -> dict[str, int]:
    """Merge threads for each worker: its machine's cores shared among the task threads of all
    the workers on that machine, so that merges running together do not oversubscribe them."""
    cores = client.run(available_cores)
    workers = client.scheduler_info(n_workers=-1)["workers"]
    on_host: Counter[str] = Counter()
    for info in workers.values():
        on_host[info["host"]] += info["nthreads"]
    return {
        address: max(1, cores[address] // on_host[info["host"]])
        for address, info in workers.items()
        if address in cores
    }


def available_cores() -> int:
    """The cores this process may use: its affinity mask, lowered to its control group's quota."""
    from dask.system import CPU_COUNT

    return CPU_COUNT


def load_libraries() -> None:
    """What a field's task may load (pyarrow loads pandas too), loaded on a worker beforehand."""
    for module in ("pandas", "pyarrow.csv", "pyarrow.parquet"):
        with contextlib.suppress(ImportError):
            importlib.import_module(module)


def merge_one(job: FieldJob, plan: dict[str, int]) -> SummaryRow:
    """A worker's task: reads the field, merges it and writes the output; any failure of the
    field's own becomes its summary row, so that the other fields go on, and so do the warnings
    about its mistakes."""
    start = time.perf_counter()
    points_in = None
    with caught_field_warnings() as caught:
        try:
            threads = job.num_threads or share_of_cores(plan)
            merge = field_merge(job.source, job.target, tolerance=job.tolerance, num_threads=threads,
                                columns=dict(job.columns))
            points_in = merge.field.point_rows()
            merged = merge.run(tag=job.tag)
        except (FieldError, MergeError, MissingExtraError, OSError, MemoryError) as error:
            return summary_row(job.name, "failed", points_in, None, time.perf_counter() - start,
                               message="; ".join(failure_lines(error)), warnings=field_warnings(caught))
    return summary_row(job.name, "ok", points_in, len(merged.kept.source_row), time.perf_counter() - start,
                       merged.output_bytes, warnings=field_warnings(caught))


def field_warnings(caught: list[warnings.WarningMessage]) -> str:
    return "; ".join(str(warning.message) for warning in caught if issubclass(warning.category, FieldWarning))


def share_of_cores(plan: dict[str, int]) -> int:
    """The merge threads of a task on this worker, from the plan; pyarrow's pool of threads, which
    reads and writes the files, gets the share of the worker's tasks too, so that the workers'
    pools together do not oversubscribe the cores."""
    from distributed import get_worker

    worker = get_worker()
    threads = plan.get(worker.address, 1)
    pyarrow = sys.modules.get("pyarrow")
    if pyarrow is not None and pyarrow.cpu_count() != threads * worker.state.nthreads:
        pyarrow.set_cpu_count(threads * worker.state.nthreads)
    return threads
