"""A field team's own tables through the package: columns found by their documented names in any
order, or by a mapping to the team's own names, and every column of the points back with its
name and type; the warnings for mistakes that merge without an error; and the conventions of a
Python package (its version, FileNotFoundError, the batch's dashboard and a bar on any terminal)."""

from __future__ import annotations

import importlib.metadata
import re
import socket
import sys
import warnings

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.csv
import pyarrow.parquet
import pytest

import crop_row_merge
from crop_row_merge import FieldError, FieldWarning, merge_field, merge_tables, read_field, write_field
from package_support import run_command
from terminal import run_with_terminal_stderr

UTM = np.array([500_000.0, 5_700_000.0])
OWN_NAMES = {"row_key_1": "line", "row_key_2": "segment", "x": "easting", "y": "northing"}


@pytest.fixture
def team(make_field):
    """A field as a team keeps it: UTM coordinates, named columns in an order of its own, and a
    timestamp, a confidence, a plant id, a label and a flag per point. Returns the three tables
    (points as a DataFrame) and the points as the module takes them by position."""
    arrays = make_field(3, 4, 60, stagger=0.2, seed=5)
    arrays["points_in_rows"][:, 2:4] += UTM
    arrays["row_information"][:, 5:11] += np.tile(UTM, 3)
    points = arrays["points_in_rows"]
    count = len(points)
    frame = pd.DataFrame({
        "x": points[:, 2],
        "plant": np.arange(count, dtype=np.int64) * 7,
        "y": points[:, 3],
        "when": pd.Timestamp("2026-06-01 06:00") + pd.to_timedelta(np.arange(count), unit="s"),
        "row_key_2": points[:, 1].astype(np.int64),
        "confidence": points[:, 4].astype(np.float32),
        "row_key_1": points[:, 0].astype(np.int32),
        "label": [f"plant {i}" for i in range(count)],
        "upright": np.arange(count) % 3 != 0,
    })
    return arrays, frame


def positional_survivors(arrays):
    """The source rows that a merge of the points by position keeps, in the module's order."""
    frame = merge_tables(arrays["connected_crop_rows"], arrays["points_in_rows"][:, :4], arrays["row_information"])
    return frame["source_row"].to_numpy()


def as_arrow(frame):
    return pa.Table.from_pandas(frame, preserve_index=False)


@pytest.mark.parametrize("kind", ["DataFrame", "pyarrow Table"])
@pytest.mark.parametrize("mapped", [False, True], ids=["documented names", "own names mapped"])
def test_named_columns_in_any_order_merge_as_by_position_and_come_back_as_they_were(team, kind, mapped):
    arrays, frame = team
    columns = OWN_NAMES if mapped else None
    if mapped:
        frame = frame.rename(columns={documented: own for documented, own in OWN_NAMES.items()})
    points = frame if kind == "DataFrame" else as_arrow(frame)
    merged = merge_tables(arrays["connected_crop_rows"], points, arrays["row_information"], columns=columns)
    expected_rows = positional_survivors(arrays)
    assert np.array_equal(merged["source_row"].to_numpy(), expected_rows)
    own = merged.drop(columns=["record", "source_row"])
    assert list(own.columns) == list(frame.columns)
    assert own.dtypes.tolist() == frame.dtypes.tolist()
    assert own.equals(frame.iloc[expected_rows].reset_index(drop=True))


def team_folder(tmp_path, arrays, frame, suffix):
    folder = tmp_path / "north"
    write_field(folder, {**arrays, "points_in_rows": arrays["points_in_rows"]})
    (folder / "points_in_rows.parquet").unlink()
    table = as_arrow(frame)
    if suffix == ".parquet":
        pyarrow.parquet.write_table(table, folder / "points_in_rows.parquet")
    else:
        pyarrow.csv.write_csv(table, folder / "points_in_rows.csv")
    return folder


@pytest.mark.parametrize("suffix", [".parquet", ".csv"])
@pytest.mark.parametrize("mapped", [False, True], ids=["documented names", "own names mapped"])
def test_the_command_reads_named_columns_and_writes_every_column_back(tmp_path, team, suffix, mapped):
    arrays, frame = team
    options = []
    if mapped:
        frame = frame.rename(columns=OWN_NAMES)
        options = [f"--column={documented}={own}" for documented, own in OWN_NAMES.items()]
    folder = team_folder(tmp_path, arrays, frame, suffix)
    expected_rows = positional_survivors(arrays)
    done = run_command("merge", folder, "-o", tmp_path / f"merged{suffix}", *options, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"{folder}: {len(frame):,} points in, {len(expected_rows):,} kept")
    reader = pyarrow.parquet.read_table if suffix == ".parquet" else pyarrow.csv.read_csv
    written = reader(tmp_path / f"merged{suffix}")
    given = reader(next(folder.glob("points_in_rows.*")))
    assert written.schema == given.schema
    assert written.equals(given.take(expected_rows))


def test_an_npz_output_holds_the_numeric_columns_and_the_command_says_which_it_left_out(tmp_path, team):
    arrays, frame = team
    folder = team_folder(tmp_path, arrays, frame, ".parquet")
    done = run_command("merge", folder, "-o", "merged.npz", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr == "crop-row-merge: merged.npz holds the points' numeric columns only; left out: when, label\n"
    with np.load(tmp_path / "merged.npz") as stored:
        merged = stored["merged_points"]
    numeric = ["row_key_1", "row_key_2", "x", "y", "plant", "confidence", "upright"]
    expected = frame[numeric].to_numpy(dtype=np.float64)[positional_survivors(arrays)]
    assert np.array_equal(merged, expected)


@pytest.mark.parametrize(
    "rename, columns, message",
    [
        ({"x": "easting"}, {}, "points_in_rows has columns named row_key_1, row_key_2, y but none named x; "
                               "its columns are easting, plant, y, when"),
        ({}, {"x": "east"}, "no table has the column mapped by x=east; connected_crop_rows has"),
        ({}, {"height": "h"}, "columns maps 'height', which the package does not document"),
    ],
    ids=["a documented name missing", "a mapped name missing", "not a documented name"],
)
def test_columns_that_cannot_be_found_are_refused_naming_them(tmp_path, team, rename, columns, message):
    arrays, frame = team
    folder = team_folder(tmp_path, arrays, frame.rename(columns=rename), ".parquet")
    with pytest.raises(FieldError, match=re.escape(message)):
        read_field(folder, columns=columns)
    done = run_command("merge", folder, "-o", "merged.parquet", *(f"--column={k}={v}" for k, v in columns.items()),
                       cwd=tmp_path)
    assert done.returncode == 2 and message in done.stderr and done.stderr.count("\n") == 1
    assert not (tmp_path / "merged.parquet").exists()


# ---------------------------------------------------------------------------------------------
# Warnings for mistakes that merge without an error.


def placeholder_third_points(arrays):
    arrays["row_information"][:, 9:11] = 0.0


def keys_swapped(arrays):
    arrays["points_in_rows"][:, [0, 1]] = arrays["points_in_rows"][:, [1, 0]] + 100


def most_points_of_no_record(arrays):
    points = arrays["points_in_rows"]
    points[: 2 * len(points) // 3, 0] += 100


def gaps_in_the_slots(arrays):
    connected = arrays["connected_crop_rows"]
    last = connected[:, 3:5].copy()
    connected[:, 3:5] = np.nan  # "previous" in slot 0, NaN where there is none
    connected[:, 5:7] = last


def float32_coordinates(arrays):
    arrays["points_in_rows"] = arrays["points_in_rows"].astype(np.float32)


MISTAKES = {
    "third points": (placeholder_third_points, r"records of row_information have a third point .* farther from"),
    "keys mixed up": (keys_swapped, r"^none of the \d+ points of points_in_rows belong to the crop row of a record"),
    "most points of no record": (most_points_of_no_record, r"^only \d+ of the \d+ points of points_in_rows belong"),
    "gaps in the slots": (gaps_in_the_slots, r"records of connected_crop_rows name a neighbour after a slot whose"),
    "float32 coordinates": (float32_coordinates, r"came as 32-bit floats, which at their magnitude \(up to "
                                                 r"5,7\d\d,\d+\.?\d*\) step by 0\.5, coarser than the tolerance 0\.1"),
}


@pytest.mark.parametrize("make, message", MISTAKES.values(), ids=MISTAKES.keys())
def test_each_mistake_is_warned_of_by_the_api_the_command_and_the_batch(tmp_path, team, make, message):
    arrays, _ = team
    make(arrays)
    with pytest.warns(FieldWarning, match=message) as caught:
        merge_field(arrays)
    assert caught[0].filename == __file__  # pointing at the caller's line
    np.savez(tmp_path / "field.npz", **arrays)  # with the dtypes as they are
    done = run_command("merge", "field.npz", "-o", "merged.parquet", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    [line] = [line for line in done.stderr.splitlines() if line.startswith("crop-row-merge: warning: ")]
    assert re.search(message, line.removeprefix("crop-row-merge: warning: "))


def test_a_batch_keeps_each_fields_warnings_in_its_summary(tmp_path, team, make_field):
    arrays, _ = team
    placeholder_third_points(arrays)
    write_field(tmp_path / "north.npz", arrays)
    write_field(tmp_path / "south.npz", make_field(2, 3, 40, seed=1))
    done = run_command("batch", "north.npz", "south.npz", "-o", "out", "--workers", 1, cwd=tmp_path)
    assert done.returncode == 0 and done.stderr == ""
    summary = pd.read_csv(tmp_path / "out" / "summary.csv", keep_default_na=False)
    assert re.search(MISTAKES["third points"][1], summary.loc[0, "warnings"])
    assert summary.loc[1, "warnings"] == ""


def test_a_clean_field_warns_of_nothing(team):
    arrays, frame = team
    with warnings.catch_warnings():
        warnings.simplefilter("error", FieldWarning)
        merge_field(arrays)
        merge_tables(arrays["connected_crop_rows"], frame, arrays["row_information"])
        crop_row_merge.check_field(arrays)


# ---------------------------------------------------------------------------------------------
# What a Python user expects of a package.


def test_the_version_comes_from_the_package_metadata():
    version = importlib.metadata.version("crop-row-merge")
    assert crop_row_merge.__version__ == version
    done = run_command("--version")
    assert (done.returncode, done.stdout) == (0, f"crop-row-merge {version}\n")


def test_a_field_that_does_not_exist_is_a_file_not_found_error(tmp_path):
    with pytest.raises(FileNotFoundError) as raised:
        read_field(tmp_path / "nothing.npz")
    assert isinstance(raised.value, FieldError) and str(raised.value) == f"{tmp_path / 'nothing.npz'} does not exist"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_on_a_terminal_a_batch_shows_its_dashboard_and_its_bar_and_its_workers_show_nothing(tmp_path, make_field):
    # The local workers share the terminal: neither the module's own bar for each merge nor the
    # report of a merge that fails may reach it. It says it has no width: the bar takes 80.
    write_field(tmp_path / "north.npz", make_field(3, 4, 3000, seed=1))
    failing = make_field(2, 3, 40, seed=2)
    failing["row_information"] = failing["row_information"][:2]
    write_field(tmp_path / "failing.npz", failing)
    port = free_port()
    code, shown, stdout = run_with_terminal_stderr(
        [sys.executable, "-m", "crop_row_merge", "batch", "north.npz", "failing.npz", "-o", "out", "--workers", "1",
         "--threads", "2", "--dashboard-address", f"127.0.0.1:{port}"], columns=0, cwd=tmp_path,
    )
    assert code == 1, shown
    assert stdout.startswith("2 fields: 1 ok, 0 skipped, 1 failed")
    dashboard, bar = shown.split("\r\n", 1)
    assert dashboard == f"crop-row-merge: Dask's dashboard: http://127.0.0.1:{port}/status"
    draws = bar.removesuffix("\r\n").split("\r\x1b[2K")
    assert draws[0] == "" and all(re.fullmatch(r"\d/2 fields \[[#-]{30}\] \d failed \d+:\d\d", d) for d in draws[1:])
    assert len(draws[-1]) <= 79 and draws[-1].startswith("2/2 fields [")
