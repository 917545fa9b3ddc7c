"""Crop-row points from files to merged results, one field or many.

The merge itself is `_native.merge_points_removing_overlap`; this package reads and writes
fields (.npz, or folders of Parquet or CSV tables), merges one field, many fields on Dask, or
tables (pandas DataFrames, pyarrow Tables) whose survivors keep their own columns and name their
record and source row; it builds a field from labelled points and draws any field. NumPy is its
only hard dependency: Parquet, CSV, DataFrames and building a field need the 'io' extra, batches
the 'batch' extra, the picture the 'plot' extra.
"""

import importlib.metadata

from ._batch import merge_fields
from ._build import build_field
from ._checks import check_field, third_points_off_their_rows
from ._columns import DOCUMENTED_COLUMNS, TABLES
from ._errors import FieldError, FieldNotFoundError, FieldWarning, MergeError, MissingExtraError
from ._field import Field
from ._files import read_field, write_field
from ._merge import merge_field, merge_tables
from ._outputs import MERGED_ARRAY
from ._plot import plot_field
from ._summary import SUMMARY_COLUMNS

__version__ = importlib.metadata.version("crop-row-merge")

__all__ = [
    "DOCUMENTED_COLUMNS",
    "MERGED_ARRAY",
    "SUMMARY_COLUMNS",
    "TABLES",
    "Field",
    "FieldError",
    "FieldNotFoundError",
    "FieldWarning",
    "MergeError",
    "MissingExtraError",
    "__version__",
    "build_field",
    "check_field",
    "merge_field",
    "merge_fields",
    "merge_tables",
    "plot_field",
    "read_field",
    "third_points_off_their_rows",
    "write_field",
]
