"""Many fields on Dask's distributed scheduler: one task per field on a worker process, each
output written as OUTDIR/<field>.<format> through a temporary name, and one summary row per field
in OUTDIR/summary.csv."""

from __future__ import annotations

import contextlib
import csv
import importlib
import os
import pathlib
import time
import uuid
from collections import Counter
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass
from typing import Any

from ._errors import FieldError, MergeError, MissingExtraError, require
from ._files import read_field, replaced_atomically, write_merged
from ._merge import DEFAULT_TOLERANCE, call_merge

SUMMARY_COLUMNS = ("field", "status", "points_in", "points_kept", "seconds", "message")
SUMMARY_FILE = "summary.csv"
FORMATS = ("parquet", "npz", "csv")


@dataclass(frozen=True)
class FieldJob:
    """One field's task, as it travels to a worker: plain paths and numbers only."""

    field: str
    source: str
    target: str
    tolerance: float
    num_threads: int  # 0: the worker's share of its machine's cores
    tag: str  # names the batch's temporary files


def field_name(path: pathlib.Path) -> str:
    """An .npz file's name without the suffix, a folder's name."""
    return path.stem if path.suffix == ".npz" and not path.is_dir() else path.name


def merge_fields(
    paths: Iterable[str | os.PathLike[str]],
    out_dir: str | os.PathLike[str],
    client: Any = None,
    *,
    format: str = "parquet",
    force: bool = False,
    tolerance: float = DEFAULT_TOLERANCE,
    num_threads: int = 0,
    workers: int | None = None,
    on_field_done: Callable[[dict[str, Any]], None] | None = None,
) -> Any:
    """Merges every field into `out_dir`/<field name>.<format> on Dask and returns the summary
    (also written to `out_dir`/summary.csv) as a pandas DataFrame, one row per field in the
    order given: status "ok", "failed" (with the message) or "skipped" (its output exists and
    `force` is false).

    Without `client`, a local cluster of `workers` processes (one per core by default) runs the
    batch and stops with it; each merge then gets its worker's share of the cores, unless
    `num_threads` is given. `on_field_done` is called with each summary row as it is known.
    """
    pandas = require("pandas", "batch", "merge_fields")
    distributed = require("distributed", "batch", "merge_fields")
    if format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {format!r}")
    if format != "npz":
        require("pyarrow", "batch", f"writing {format}")
    if client is not None and workers is not None:
        raise ValueError("workers sizes the local cluster; it does not go with a client")
    out_dir = pathlib.Path(out_dir).resolve()
    tag = uuid.uuid4().hex[:12] + "-"
    jobs = plan_jobs(paths, out_dir, format, tolerance, num_threads, tag)
    out_dir.mkdir(parents=True, exist_ok=True)

    rows: dict[str, dict[str, Any]] = {}

    def done(row: dict[str, Any]) -> None:
        rows[row["field"]] = row
        if on_field_done is not None:
            on_field_done(row)

    for job in jobs:
        if not force and os.path.exists(job.target):
            done(summary_row(job.field, "skipped", message=f"{pathlib.Path(job.target).name} exists"))
    pending = [job for job in jobs if job.field not in rows]
    if pending:
        with connected_client(client, workers) as live:
            try:
                for row in run_jobs(distributed, live, pending):
                    done(row)
            finally:
                # Temporary files of tasks whose worker died; their tasks ran again elsewhere.
                for partial in out_dir.glob(f".*.{tag}*.partial"):
                    partial.unlink(missing_ok=True)

    summary = [rows[job.field] for job in jobs]
    write_summary(out_dir / SUMMARY_FILE, summary)
    frame = pandas.DataFrame(summary, columns=list(SUMMARY_COLUMNS))
    return frame.astype({"points_in": "Int64", "points_kept": "Int64", "seconds": "float64"})


def plan_jobs(
    paths: Iterable[str | os.PathLike[str]],
    out_dir: pathlib.Path,
    format: str,
    tolerance: float,
    num_threads: int,
    tag: str,
) -> list[FieldJob]:
    """One job per field, refusing a batch whose outputs would overwrite each other or an input."""
    jobs: list[FieldJob] = []
    named: dict[str, str | os.PathLike[str]] = {}
    for path in paths:
        source = pathlib.Path(path).resolve()  # workers may run elsewhere
        name = field_name(source)
        target = out_dir / f"{name}.{format}"
        if name in named:
            raise ValueError(f"{named[name]} and {path} are both named {name!r}; their outputs would collide")
        if target == out_dir / SUMMARY_FILE or target == source:
            raise ValueError(f"the output of {path} would overwrite {target}")
        named[name] = path
        jobs.append(FieldJob(name, str(source), str(target), tolerance, num_threads, tag))
    if not jobs:
        raise ValueError("no fields to merge")
    return jobs


@contextlib.contextmanager
def connected_client(client: Any, workers: int | None) -> Iterator[Any]:
    """The given client, or one of a local cluster that lives as long."""
    if client is not None:
        yield client
        return
    from ._local_cluster import local_client

    with local_client(workers) as local:
        yield local


def run_jobs(distributed: Any, client: Any, jobs: list[FieldJob]) -> Iterator[dict[str, Any]]:
    """Summary rows as the fields finish. Dask runs a task again when its worker dies; a task that
    keeps failing that way, or raises, makes a failed row."""
    plan = {} if all(job.num_threads for job in jobs) else thread_plan(client)
    # Before the fields' clocks start.
    client.run(load_libraries)
    futures = {
        client.submit(merge_one, job, plan, key=f"crop-row-merge-{job.tag}{job.field}", pure=False): job
        for job in jobs
    }
    try:
        for future in distributed.as_completed(futures):
            job = futures[future]
            try:
                row = future.result()
            except Exception as error:
                row = summary_row(job.field, "failed", message=f"{type(error).__name__}: {error}")
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


def merge_one(job: FieldJob, plan: dict[str, int]) -> dict[str, Any]:
    """A worker's task: reads the field, merges it and writes the output; any failure of the
    field's own becomes its summary row, so that the other fields go on."""
    start = time.perf_counter()
    points_in = None
    try:
        field = read_field(job.source)
        points_in = field.points_in_rows.shape[0]
        threads = job.num_threads or plan.get(worker_address(), 1)
        merged = call_merge(**field, tolerance=job.tolerance, num_threads=threads)
        write_merged(pathlib.Path(job.target), merged, field.column_names["points_in_rows"], job.tag)
    except (FieldError, MergeError, MissingExtraError, OSError, MemoryError) as error:
        return summary_row(job.field, "failed", points_in, None, time.perf_counter() - start, failure_message(error))
    return summary_row(job.field, "ok", points_in, merged.shape[0], time.perf_counter() - start)


def worker_address() -> str:
    from distributed import get_worker

    return get_worker().address


def failure_message(error: BaseException) -> str:
    if isinstance(error, MemoryError):
        return f"out of memory: {error}" if str(error) else "out of memory"
    return "; ".join([str(error), *getattr(error, "__notes__", ())])


def summary_row(
    field: str,
    status: str,
    points_in: int | None = None,
    points_kept: int | None = None,
    seconds: float | None = None,
    message: str = "",
) -> dict[str, Any]:
    rounded = None if seconds is None else round(seconds, 4)
    return dict(zip(SUMMARY_COLUMNS, (field, status, points_in, points_kept, rounded, message)))


def write_summary(path: pathlib.Path, rows: list[dict[str, Any]]) -> None:
    with replaced_atomically(path) as temporary, open(temporary, "w", newline="") as file:
        writer = csv.writer(file)
        writer.writerow(SUMMARY_COLUMNS)
        for row in rows:
            writer.writerow(["" if row[name] is None else row[name] for name in SUMMARY_COLUMNS])
