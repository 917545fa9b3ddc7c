"""Crop-row points from files to merged results, one field or many.

The merge itself is `_native.merge_points_removing_overlap`; this package reads and writes
fields (.npz, or folders of Parquet or CSV tables), merges one field, many fields on Dask, or
pandas tables whose survivors name their record and source row; it builds a field from labelled
points and draws any field. NumPy is its only hard dependency: Parquet, CSV, DataFrames and
building a field need the 'io' extra, batches the 'batch' extra, the picture the 'plot' extra.
"""

from ._batch import SUMMARY_COLUMNS, merge_fields
from ._build import build_field
from ._columns import DOCUMENTED_COLUMNS, TABLES
from ._errors import FieldError, FieldWarning, MergeError, MissingExtraError
from ._files import MERGED_ARRAY, Field, read_field, write_field
from ._merge import merge_field, merge_tables
from ._plot import plot_field

__all__ = [
    "DOCUMENTED_COLUMNS",
    "MERGED_ARRAY",
    "SUMMARY_COLUMNS",
    "TABLES",
    "Field",
    "FieldError",
    "FieldWarning",
    "MergeError",
    "MissingExtraError",
    "build_field",
    "merge_field",
    "merge_fields",
    "merge_tables",
    "plot_field",
    "read_field",
    "write_field",
]
