"""The local Dask cluster a batch starts when it is given none: one worker process per core by
default, one task at a time each, quiet on the terminal they share with the batch."""

from __future__ import annotations

import contextlib
import logging
import os
from collections.abc import Iterator
from typing import Any

from dask.system import CPU_COUNT
from distributed import Client, LocalCluster, WorkerPlugin


class QuietStandardError(WorkerPlugin):
    """Sends a worker's standard error to /dev/null. The workers inherit the batch's terminal,
    where the module's progress bars and failure reports from many fields at once would run
    through the batch's own bar; the summary holds every field's message instead."""

    name = "crop-row-merge-quiet-stderr"

    def setup(self, worker: Any) -> None:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        os.close(null)


@contextlib.contextmanager
def local_client(workers: int | None) -> Iterator[Client]:
    with (
        LocalCluster(
            n_workers=workers or CPU_COUNT,
            threads_per_worker=1,
            processes=True,
            # Any free port: the usual one may belong to a cluster already running here.
            dashboard_address=":0",
            # A restarted worker is Dask's business; the summary tells of every field.
            silence_logs=logging.CRITICAL,
        ) as cluster,
        Client(cluster) as client,
    ):
        client.register_plugin(QuietStandardError())
        yield client
