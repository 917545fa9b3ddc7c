"""One call of the module on behalf of the package: its arguments checked as the module checks them,
its failure turned into MergeError and reported by the package alone, and what a failure says."""

from __future__ import annotations

import math
import operator
from typing import SupportsFloat, SupportsIndex

import numpy as np

import _native

from ._errors import MergeError

DEFAULT_TOLERANCE = 0.1
MAX_NUM_THREADS = 2**64 - 1


def call_merge(
    connected_crop_rows: np.ndarray,
    points_in_rows: np.ndarray,
    row_information: np.ndarray,
    tolerance: float,
    num_threads: int,
) -> np.ndarray:
    """One call of the module; its PanicException becomes MergeError. The module's own report of
    the failure is not written: whoever catches the MergeError tells of it."""
    reports = _native._set_failure_reports(False)
    try:
        return _native.merge_points_removing_overlap(
            connected_crop_rows, points_in_rows, row_information, tolerance, num_threads
        )
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        raise MergeError(error.args[0], getattr(error, "__notes__", ())) from error
    finally:
        _native._set_failure_reports(reports)


def merge_arguments(tolerance: SupportsFloat | SupportsIndex, num_threads: SupportsIndex) -> tuple[float, int]:
    """`tolerance` and `num_threads` as the module converts them, refused as it refuses them (with
    its messages and notes), so that a batch or a file merge fails before any work."""
    try:
        tolerance = float(tolerance)
        if math.isnan(tolerance):
            raise ValueError("tolerance must not be NaN")
    except (TypeError, ValueError) as error:
        error.add_note("while processing 'tolerance'")
        raise
    try:
        num_threads = operator.index(num_threads)
        if num_threads < 0:
            raise OverflowError("can't convert negative int to unsigned")
        if num_threads > MAX_NUM_THREADS:
            raise OverflowError("int too big to convert")
    except (TypeError, OverflowError) as error:
        error.add_note("while processing 'num_threads'")
        raise
    return tolerance, num_threads


def failure_lines(error: BaseException) -> list[str]:
    """What a failed merge of a field says, as the command prints it and a batch's summary holds
    it: what went wrong, then the notes that its message does not already say."""
    if isinstance(error, MemoryError):
        return [f"out of memory: {error}" if str(error) else "out of memory"]
    notes = list(getattr(error, "__notes__", ()))
    if isinstance(error, MergeError):
        notes = notes[1:]
    return [str(error), *notes]
