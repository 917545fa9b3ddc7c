"""Shared by the tests of the crop_row_merge package: the command as a user runs it, direct calls
and what the package says of their failures, exact comparisons, merged outputs read back by
format, and a worker plugin that kills its worker mid-task."""

from __future__ import annotations

import os
import pathlib
import signal
import subprocess
import sys

import numpy as np
import pyarrow.csv
import pyarrow.parquet
from distributed import WorkerPlugin

import _native
from merge_fields import NAN
from terminal import child_env

TOLERANCE = 0.1
SCRIPT = pathlib.Path(sys.executable).with_name("crop-row-merge")


def run_command(*arguments, cwd=None, module=False, **popen):
    """The crop-row-merge command as a user runs it, through its console script or `python -m`."""
    launcher = [sys.executable, "-m", "crop_row_merge"] if module else [str(SCRIPT)]
    return subprocess.run(
        [*launcher, *map(str, arguments)], capture_output=True, text=True, timeout=120, cwd=cwd,
        env=child_env(NO_COLOR="1"), **popen,
    )


def direct_merge(field, tolerance=TOLERANCE):
    return _native.merge_points_removing_overlap(
        field["connected_crop_rows"], field["points_in_rows"], field["row_information"], tolerance, 1
    )


def direct_failure(field, tolerance=TOLERANCE) -> str:
    """The message of the PanicException that a direct call raises."""
    return direct_failure_with_notes(field, tolerance)[0]


def direct_failure_with_notes(field, tolerance=TOLERANCE) -> list[str]:
    """The message of the PanicException that a direct call raises, then its notes."""
    try:
        direct_merge(field, tolerance)
    except BaseException as error:
        assert type(error).__name__ == "PanicException"
        return [error.args[0], *getattr(error, "__notes__", ())]
    raise AssertionError("the direct call merged")


def package_failure_lines(field, tolerance=TOLERANCE) -> list[str]:
    """What the package says of a merge that fails as a direct call does: the first note (what to
    fix) with the module's message in brackets, then the other notes."""
    message, *notes = direct_failure_with_notes(field, tolerance)
    return [f"{notes[0]} ({message})", *notes[1:]] if notes else [message]


def assert_bit_identical(actual, expected) -> None:
    """Same shape, float64, and the same 64 bits in every cell (NaN payloads and signs included)."""
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.dtype == np.float64 and expected.dtype == np.float64
    assert actual.shape == expected.shape
    assert np.array_equal(np.ascontiguousarray(actual).view(np.uint64), np.ascontiguousarray(expected).view(np.uint64))


def read_output(path: pathlib.Path) -> tuple[np.ndarray, list[str] | None]:
    """Merged points as written: the array and, for tables, the column names."""
    if path.suffix == ".npz":
        with np.load(path) as stored:
            assert stored.files == ["merged_points"]
            return stored["merged_points"], None
    table = pyarrow.parquet.read_table(path) if path.suffix == ".parquet" else pyarrow.csv.read_csv(path)
    columns = [column.to_numpy(zero_copy_only=False).astype(np.float64) for column in table.columns]
    matrix = np.column_stack(columns) if columns else np.zeros((table.num_rows, 0))
    return matrix, table.column_names


def exotic_values(count: int, seed: int = 0) -> np.ndarray:
    """Values a text format could bend: both zeros, infinities, NaN, extremes, subnormals, 0.1,
    1/3, integers beyond 2**53, and random magnitudes over the whole range."""
    rng = np.random.default_rng(seed)
    special = np.array(
        [0.0, -0.0, np.inf, -np.inf, NAN, 5e-324, -2.5e-310, 1.7976931348623157e308, 2.0**53 + 2,
         2.0**64, 0.1, 1 / 3, -123456789.123456789]
    )
    spread = rng.standard_normal(count) * 10.0 ** rng.integers(-300, 300, count)
    return np.concatenate([special, spread])[:count]


class KillBeforeRename(WorkerPlugin):
    """Kills its worker process (SIGKILL) at the first rename of a merged output by any worker,
    when the output is complete under its temporary name and not yet in place; `marker` records
    that it happened, so that the task's second run goes through."""

    name = "kill-before-rename"

    def __init__(self, marker: str) -> None:
        self.marker = marker

    def setup(self, worker) -> None:
        original = os.replace
        marker = self.marker

        def replace(source, target, *args, **kwargs):
            if str(source).endswith(".partial") and not str(target).endswith("summary.csv"):
                try:
                    os.close(os.open(marker, os.O_CREAT | os.O_EXCL | os.O_WRONLY))
                except FileExistsError:
                    pass
                else:
                    os.kill(os.getpid(), signal.SIGKILL)
            return original(source, target, *args, **kwargs)

        os.replace = replace
