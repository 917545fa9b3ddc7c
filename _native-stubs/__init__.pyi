# Type information for the _native extension module, found by type checkers as a stub-only package.
from typing import SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["merge_points_removing_overlap"]

def merge_points_removing_overlap(
    connected_crop_rows: npt.NDArray[np.float64],
    points_in_rows: npt.NDArray[np.float64],
    row_information: npt.NDArray[np.float64],
    tolerance: SupportsFloat | SupportsIndex,
    num_threads: SupportsIndex,
) -> npt.NDArray[np.float64]:
    """Surviving rows of points_in_rows after each crop row is trimmed against its neighbours."""

def _set_failure_reports(written: object, /) -> bool:
    """Whether failing calls on this thread write their report to standard error; returns the
    previous setting. For callers that report failures themselves."""
