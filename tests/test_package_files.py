"""Fields and merged points on disk through the crop_row_merge package: .npz files and folders of
Parquet or CSV tables, bit-exact round trips, columns by position under the documented names,
numeric columns of any dtype, and what makes a field unusable."""

from __future__ import annotations

import pathlib
import re

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.csv
import pyarrow.parquet
import pytest

import crop_row_merge
from crop_row_merge import DOCUMENTED_COLUMNS, SUMMARY_COLUMNS, TABLES, Field, FieldError, read_field, write_field
from package_support import assert_bit_identical, direct_merge, exotic_values, read_output
from support import junction_field

FORMATS = ["npz", "parquet", "csv"]


@pytest.fixture
def field(make_field):
    """A synthetic field whose points carry two named columns of exotic values."""
    arrays = make_field(2, 4, 30, seed=3)
    points = arrays["points_in_rows"]
    frame = pd.DataFrame(points[:, :4], columns=["k1", "k2", "px", "py"])
    frame["height"] = exotic_values(len(points), seed=1)
    frame["plant id"] = exotic_values(len(points), seed=2)
    return Field(arrays["connected_crop_rows"], frame, arrays["row_information"])


def field_path(tmp_path, format):
    return tmp_path / ("field.npz" if format == "npz" else "field")


@pytest.mark.parametrize("format", FORMATS)
def test_a_field_comes_back_bit_for_bit_in_each_format(tmp_path, field, format):
    path = write_field(field_path(tmp_path, format), field, format=format)
    back = read_field(path)
    for table in TABLES:
        assert_bit_identical(back[table], field[table])
    expected_points = ["row_key_1", "row_key_2", "x", "y"]
    expected_points += ["column_4", "column_5"] if format == "npz" else ["height", "plant id"]
    assert list(back.column_names["points_in_rows"]) == expected_points
    assert list(back.column_names["row_information"]) == list(DOCUMENTED_COLUMNS["row_information"])
    assert not list(tmp_path.rglob(".*"))  # no temporary file left behind


def test_tables_are_written_under_the_documented_names(tmp_path, field):
    write_field(tmp_path / "field", field)
    for table in TABLES:
        names = pyarrow.parquet.read_schema(tmp_path / "field" / f"{table}.parquet").names
        own = ["height", "plant id"] if table == "points_in_rows" else []
        assert names == [*DOCUMENTED_COLUMNS[table], *own]
    header = (write_field(tmp_path / "csv", field, format="csv") / "connected_crop_rows.csv").read_text()
    assert header.splitlines()[0] == ",".join(f'"{name}"' for name in DOCUMENTED_COLUMNS["connected_crop_rows"])


@pytest.mark.parametrize("suffix", [".npz", ".parquet", ".csv"])
def test_merged_points_written_by_suffix_equal_the_direct_call(tmp_path, field, suffix):
    source = write_field(tmp_path / "field", field)
    output = tmp_path / f"merged{suffix}"
    returned = crop_row_merge.merge_field(source, output, num_threads=1)
    expected = direct_merge(field)
    assert_bit_identical(returned, expected)
    written, names = read_output(output)
    assert_bit_identical(written, expected)
    if suffix != ".npz":
        assert names == ["row_key_1", "row_key_2", "x", "y", "height", "plant id"]


def test_columns_count_by_position_whatever_their_names_and_types(tmp_path):
    """Tables whose columns are named anything (here in reverse), with integer keys and a
    boolean column, Parquet and CSV side by side in one folder, merge as the direct call merges
    their float64 conversion by position."""
    arrays = junction_field()
    folder = tmp_path / "field"
    folder.mkdir()
    for table, suffix in zip(TABLES, [".parquet", ".parquet", ".csv"]):
        matrix = arrays[table]
        columns = {f"c{matrix.shape[1] - i}": matrix[:, i] for i in range(matrix.shape[1])}
        if table == "points_in_rows":
            columns["c5"] = matrix[:, 0].astype(np.int32)
            columns["c4"] = matrix[:, 1].astype(np.uint64)
            columns["flag"] = matrix[:, 4] > 101
        write_table_file(folder / f"{table}{suffix}", columns)
    points = np.column_stack([arrays["points_in_rows"], arrays["points_in_rows"][:, 4] > 101])
    expected = direct_merge({**arrays, "points_in_rows": points.astype(np.float64)})
    output = tmp_path / "merged.parquet"
    assert_bit_identical(crop_row_merge.merge_field(folder, output, num_threads=1), expected)
    written, names = read_output(output)
    assert_bit_identical(written, expected)
    # Each column comes back under its own name, with its own type.
    schema = pyarrow.parquet.read_schema(output)
    assert names == ["c5", "c4", "c3", "c2", "c1", "flag"]
    assert [str(t) for t in schema.types] == ["int32", "uint64", "double", "double", "double", "bool"]


def test_nulls_become_nan(tmp_path):
    arrays = junction_field()
    expected = arrays["points_in_rows"].copy()
    expected[[1, 5], 4] = np.nan
    frame = pd.DataFrame(arrays["points_in_rows"], columns=list("abcde"))
    frame["e"] = pd.array([100, None, 102, 103, 104, None, 106, 107, 108], dtype="Int64")
    field = Field(arrays["connected_crop_rows"], frame, arrays["row_information"])
    assert_bit_identical(field.points_in_rows, expected)

    folder = write_field(tmp_path / "field", arrays)
    column = pa.array([None if np.isnan(v) else v for v in expected[:, 4]], type=pa.float64())
    table = pyarrow.parquet.read_table(folder / "points_in_rows.parquet")
    pyarrow.parquet.write_table(table.set_column(4, "id", column), folder / "points_in_rows.parquet")
    assert_bit_identical(read_field(folder).points_in_rows, expected)

    text = (write_field(tmp_path / "csv", arrays, format="csv") / "points_in_rows.csv").read_text().splitlines()
    text[2] = text[2].rsplit(",", 1)[0] + ","  # an empty cell
    text[6] = text[6].rsplit(",", 1)[0] + ",nan"
    (tmp_path / "csv" / "points_in_rows.csv").write_text("\n".join(text) + "\n")
    assert_bit_identical(read_field(tmp_path / "csv").points_in_rows, expected)


def write_table_file(path, columns):
    table = pa.table(columns)
    if path.suffix == ".parquet":
        pyarrow.parquet.write_table(table, path)
    else:
        pyarrow.csv.write_csv(table, path)


def folder_with_text_in_x(tmp_path, suffix):
    write_field(tmp_path / "field", junction_field(), format=suffix[1:])
    points = tmp_path / "field" / f"points_in_rows{suffix}"
    points.unlink()
    write_table_file(points, {"a": [1.0], "b": [1.0], "c": ["5.0 m"], "d": [5.0], "label": ["tall"]})
    return tmp_path / "field"


def frame_with_text(table, column):
    arrays = junction_field()
    frame = pd.DataFrame(arrays[table])
    frame[column] = "text"
    return {**arrays, table: frame}


@pytest.mark.parametrize(
    "read, message",
    [
        (lambda t: read_field(folder_with_text_in_x(t, ".parquet")), r"points_in_rows\.parquet: column 'c' is not numeric"),
        (lambda t: read_field(folder_with_text_in_x(t, ".csv")), r"points_in_rows\.csv: column 'c' is not numeric"),
        (lambda t: Field(**frame_with_text("row_information", 3)), r"^row_information: column 3 is not numeric"),
        (lambda t: crop_row_merge.merge_tables(**frame_with_text("points_in_rows", 2)),
         r"^points_in_rows: column 2 is not numeric"),
        (lambda t: crop_row_merge.build_field(frame_with_text("points_in_rows", 3)["points_in_rows"]),
         r"^points_in_rows: column 3 is not numeric"),
    ],
    ids=["parquet", "csv", "DataFrame", "merge_tables", "build_field"],
)
def test_a_column_the_merge_reads_that_is_not_numeric_is_refused_by_its_name(tmp_path, read, message):
    with pytest.raises(FieldError, match=message):
        read(tmp_path)


def test_integer_and_float32_arrays_in_an_npz_become_float64(tmp_path):
    arrays = junction_field()
    np.savez(
        tmp_path / "field.npz",
        connected_crop_rows=arrays["connected_crop_rows"].astype(np.float32),
        points_in_rows=(arrays["points_in_rows"] * 100).astype(np.int64),
        row_information=arrays["row_information"].astype(">f8"),
    )
    back = read_field(tmp_path / "field.npz")
    assert_bit_identical(back.connected_crop_rows, arrays["connected_crop_rows"].astype(np.float32).astype(np.float64))
    assert_bit_identical(back.points_in_rows, (arrays["points_in_rows"] * 100).astype(np.int64).astype(np.float64))
    assert_bit_identical(back.row_information, arrays["row_information"])


def text_file(path, content):
    path.write_bytes(content)
    return path


def npz_file(tmp_path, **arrays):
    np.savez(tmp_path / "field.npz", **arrays)
    return tmp_path / "field.npz"


def changed_folder(tmp_path, change):
    write_field(tmp_path / "field", junction_field())
    change(tmp_path / "field")
    return tmp_path / "field"


def truncate(path):
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])
    return path


def damage(path):
    """One byte in the middle of the file changed: an .npz keeps its directory, loses a CRC."""
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0xFF
    path.write_bytes(bytes(data))
    return path


def swap_for_csv(folder, table, content):
    (folder / f"{table}.parquet").unlink()
    text_file(folder / f"{table}.csv", content)


GOOD = junction_field()
UNUSABLE = {
    "missing": (lambda t: t / "nothing.npz", "nothing.npz does not exist"),
    "not a field": (lambda t: text_file(t / "notes.txt", b"x"), "notes.txt is neither an .npz file nor a folder"),
    "garbage npz": (lambda t: text_file(t / "field.npz", b"garbage"), "field.npz is not an .npz file"),
    "damaged npz": (lambda t: damage(npz_file(t, **GOOD)), "cannot read"),
    "npz lacks an array": (
        lambda t: npz_file(t, connected_crop_rows=GOOD["connected_crop_rows"], points_in_rows=GOOD["points_in_rows"]),
        "field.npz lacks row_information; it holds connected_crop_rows, points_in_rows",
    ),
    "one-dimensional": (
        lambda t: npz_file(t, **{**GOOD, "points_in_rows": GOOD["points_in_rows"][0]}),
        "field.npz: points_in_rows: expected a two-dimensional table, not an array of 1 dimensions",
    ),
    "complex": (
        lambda t: npz_file(t, **{**GOOD, "row_information": GOOD["row_information"] + 1j}),
        "field.npz: row_information: an array of complex128 is not numeric",
    ),
    "table missing": (
        lambda t: changed_folder(t, lambda f: (f / "row_information.parquet").unlink()),
        "holds no row_information.parquet or row_information.csv",
    ),
    "one table twice": (
        lambda t: changed_folder(t, lambda f: text_file(f / "points_in_rows.csv", b"a\n1\n")),
        "holds both points_in_rows.parquet and points_in_rows.csv",
    ),
    "damaged parquet": (
        lambda t: changed_folder(t, lambda f: truncate(f / "connected_crop_rows.parquet")),
        "cannot read",
    ),
    "empty csv": (lambda t: changed_folder(t, lambda f: swap_for_csv(f, "points_in_rows", b"")), "cannot read"),
}


@pytest.mark.parametrize("make, message", UNUSABLE.values(), ids=UNUSABLE.keys())
def test_an_unusable_field_says_what_is_wrong(tmp_path, make, message):
    path = make(tmp_path)
    with pytest.raises(FieldError) as raised:
        read_field(path)
    assert message in str(raised.value)


def test_a_failed_write_removes_its_temporary_file_and_keeps_what_was_there(tmp_path, field):
    target = tmp_path / "merged.parquet"
    target.mkdir()  # the rename onto it fails
    (target / "kept").write_text("untouched")
    with pytest.raises(OSError):
        crop_row_merge.merge_field(field, target, num_threads=1)
    assert [p.name for p in tmp_path.iterdir()] == ["merged.parquet"]
    assert (target / "kept").read_text() == "untouched"


def test_a_field_is_a_mapping_of_the_three_arrays(field):
    assert list(field) == list(TABLES)
    assert_bit_identical(
        crop_row_merge.merge_field(field, num_threads=1),
        direct_merge({name: field[name] for name in TABLES}),
    )
    assert repr(field) == "Field(connected_crop_rows 8 x 11, points_in_rows 240 x 6, row_information 8 x 11)"


def test_the_readme_names_the_columns_the_package_writes():
    readme = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text()
    section = readme.split("## Files and many fields\n", 1)[1].split("\n## ", 1)[0]
    rows = {}
    for line in section.splitlines():
        cells = [cell.strip() for cell in line.strip("|").split("|")]
        if line.startswith("| `") and len(cells) == 2:
            rows[cells[0]] = re.findall(r"`([^`]+)`", cells[1])
    assert rows["`connected_crop_rows`"] == list(DOCUMENTED_COLUMNS["connected_crop_rows"])
    assert rows["`points_in_rows` and the merged points"] == list(DOCUMENTED_COLUMNS["points_in_rows"])
    assert rows["`row_information`"] == list(DOCUMENTED_COLUMNS["row_information"])
    assert [name[1:-1] for name in rows if name[1:-1] in SUMMARY_COLUMNS] == list(SUMMARY_COLUMNS)


def test_a_csv_written_in_slices_on_threads_is_pyarrows_own_file(tmp_path):
    from crop_row_merge._outputs import CSV_SLICE_ROWS, write_csv

    rows = 3 * CSV_SLICE_ROWS + 17
    table = pa.table({"x": exotic_values(rows), "n": np.arange(rows), "label": [f"p{i}" for i in range(rows)]})
    with open(tmp_path / "sliced.csv", "wb") as file:
        write_csv(table, file)
    pyarrow.csv.write_csv(table, tmp_path / "whole.csv")
    assert (tmp_path / "sliced.csv").read_bytes() == (tmp_path / "whole.csv").read_bytes()
