"""The local Dask cluster a batch starts when it is given none: one worker process per core by
default, one task at a time each, quiet on the terminal they share with the batch, and out of
reach of the Ctrl-C that the user means for the batch."""

from __future__ import annotations

import contextlib
import logging
import os
import signal
import threading
from collections.abc import Iterator
from typing import Any

import dask
from dask.system import CPU_COUNT
from distributed import Client, LocalCluster, WorkerPlugin

# Measured on a batch of fields of 100,000 points, each task some 20 ms: Dask's statistical
# profiler samples every task's stack; workers told to give freed memory back to the system at
# once (MALLOC_TRIM_THRESHOLD_) pay page faults for every array of every field anew; and with
# tasks queued on the scheduler, each worker waits a round trip between two fields.
WORKER_SETTINGS = {
    "distributed.worker.profile.enabled": False,
    "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None,
    "distributed.scheduler.worker-saturation": float("inf"),
}


class QuietStandardError(WorkerPlugin):
    """Sends a worker's standard error to /dev/null. The workers inherit the batch's terminal,
    where the module's progress bars and failure reports from many fields at once would run
    through the batch's own bar; the summary holds every field's message instead. Workers that
    Dask starts again after one died come here too."""

    name = "crop-row-merge-quiet-stderr"

    def setup(self, worker: Any) -> None:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        os.close(null)


@contextlib.contextmanager
def local_client(workers: int | None, dashboard_address: str | None = None) -> Iterator[Client]:
    """A client of a new local cluster, which stops when the block ends. Its dashboard is served
    at `dashboard_address`, by default on any free port (the usual one may belong to a cluster
    already running here)."""
    with starting_quietly() as interrupted, dask.config.set(WORKER_SETTINGS):
        cluster = LocalCluster(
            n_workers=workers or CPU_COUNT,
            threads_per_worker=1,
            processes=True,
            dashboard_address=dashboard_address or ":0",
            # A restarted worker is Dask's business; the summary tells of every field.
            silence_logs=logging.CRITICAL,
        )
    with cluster, Client(cluster) as client:
        if interrupted:
            raise KeyboardInterrupt
        client.register_plugin(QuietStandardError())
        yield client


@contextlib.contextmanager
def starting_quietly() -> Iterator[list[bool]]:
    """While the cluster starts: SIGINT is blocked on this thread, so that the threads that start
    here, and the worker processes that they start, inherit it blocked and never see the Ctrl-C
    of the terminal they share (they would print their own tracebacks, half started); a Ctrl-C
    meanwhile is held, and the list yielded is not empty afterwards: the caller raises it once
    the cluster stands, where closing the cluster stops its workers. Standard error is /dev/null
    meanwhile, so that what the workers print while they start (a slow scratch folder, say)
    stays off the terminal too."""
    held = []
    main = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGINT, lambda *_: held.append(True)) if main else None
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)
    try:
        yield held
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        # Both calls run the handler of a Ctrl-C that waited before they return.
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
        if main:
            signal.signal(signal.SIGINT, previous)
