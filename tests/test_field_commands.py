"""`crop-row-merge connect` and `crop-row-merge plot` as users run them, and the picture of a field
in UTM coordinates: what can be checked of it without looking."""

from __future__ import annotations

import itertools
import pathlib
import subprocess
import sys

import numpy as np
import pyarrow as pa
import pyarrow.parquet
import pytest
from PIL import Image

from crop_row_merge import build_field, read_field, write_field
from crop_row_merge._junctions import count_junction_drops
from crop_row_merge._plot import field_figure
from package_support import assert_bit_identical, direct_merge
from support import junction_field, run_python
from terminal import child_env

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

from sample_points import COLUMNS, UTM_ORIGIN, sample_points  # noqa: E402
from synthetic_field import make_field  # noqa: E402


def run_command(*arguments, cwd):
    return subprocess.run(
        [sys.executable, "-m", "crop_row_merge", *map(str, arguments)], capture_output=True, text=True,
        timeout=120, cwd=cwd, env=child_env(NO_COLOR="1"),
    )


def points_table(points, names=COLUMNS):
    return pa.table({name: points[:, i] for i, name in enumerate(names)})


@pytest.fixture(scope="module")
def sample():
    """The main job's sample field and its points alone."""
    field = make_field(10, 8, 1000, stagger=0.3)
    return field, field["points_in_rows"]


def test_connect_then_merge_takes_a_points_table_to_merged_points(tmp_path, sample):
    truth, points = sample
    pyarrow.parquet.write_table(points_table(points), tmp_path / "points.parquet")
    done = run_command("connect", "points.parquet", "-o", "field", "--max-gap", 2.5, "--max-offset", 0.5,
                       cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout == (
        "points.parquet: 80,000 points in 80 crop rows\nneighbour pairs: 70\n"
        "crop rows without a neighbour: 0\nwrote field\n"
    )
    assert done.stderr == ""
    field = read_field(tmp_path / "field")
    assert field.column_names["points_in_rows"] == tuple(COLUMNS)
    np.testing.assert_array_equal(field.points_in_rows, points)
    merged = run_command("merge", "field", "-o", "merged.parquet", cwd=tmp_path)
    assert merged.returncode == 0, merged.stderr
    kept = len(direct_merge(field))
    assert abs(kept - len(direct_merge(truth))) <= 0.002 * len(points)


def test_connect_takes_a_field_and_keeps_its_row_information(tmp_path):
    field = junction_field()
    np.savez(tmp_path / "field.npz", points_in_rows=field["points_in_rows"], row_information=field["row_information"])
    done = run_command("connect", "field.npz", "-o", "built.npz", "--max-gap", 1.5, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    built = read_field(tmp_path / "built.npz")
    assert_bit_identical(built.row_information, field["row_information"])
    assert built.connected_crop_rows[:, 3:5].tolist() == [[2, 1], [1, 1]]
    assert_bit_identical(direct_merge(built), direct_merge(field))


def test_connect_names_the_rows_left_alone_and_prints_warnings(tmp_path):
    points = np.array([[1, 1, 0.0, 0.0], [1, 1, 5.0, 0.0], [2, 1, 9.0, 9.0], [3, 1, 30.0, 0.0], [3, 1, 40.0, 0.0]])
    pyarrow.parquet.write_table(points_table(points, COLUMNS[:4]), tmp_path / "points.parquet")
    done = run_command("connect", "points.parquet", "-o", "field", "--format", "csv", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[1:3] == [
        "neighbour pairs: 0", "crop rows without a neighbour: 3: (1, 1), (2, 1), (3, 1)",
    ]
    assert done.stderr == (
        "crop-row-merge: warning: 1 crop rows have fewer than 2 distinct points with finite x and y, "
        "so no line and no neighbours: (2, 1)\n"
    )
    assert sorted(path.name for path in (tmp_path / "field").iterdir()) == [
        "connected_crop_rows.csv", "points_in_rows.csv", "row_information.csv",
    ]


@pytest.mark.parametrize(
    "prepare, arguments, message",
    [
        (lambda t: None, ["nothing.parquet", "-o", "f"], "nothing.parquet does not exist"),
        (lambda t: (t / "p.parquet").write_bytes(b"junk"), ["p.parquet", "-o", "f"], "cannot read p.parquet"),
        (lambda t: np.savez(t / "p.npz", other=np.zeros(2)), ["p.npz", "-o", "f"],
         "crop-row-merge: p.npz lacks points_in_rows; it holds other\n"),
        (lambda t: pyarrow.parquet.write_table(points_table(np.zeros((2, 4)), COLUMNS[:4]), t / "p.parquet"),
         ["p.parquet", "-o", "f", "--column", "x=east"], "no table has the column mapped by x=east; points_in_rows has"),
        (lambda t: None, ["p.parquet", "-o", "f", "--column", "x"],
         "argument --column: expected NAME=THEIRS, such as x=easting, not 'x'"),
        (lambda t: pyarrow.parquet.write_table(points_table(np.zeros((2, 4)), COLUMNS[:4]), t / "p.parquet"),
         ["p.parquet", "-o", "f", "--max-angle", "120"], "max_angle must be between 0 and 90"),
        (lambda t: np.savez(t / "p.npz", points_in_rows=np.zeros((2, 4))), ["p.npz", "-o", "p.npz"],
         "the output p.npz would replace p.npz, an input; choose another output"),
        (lambda t: write_field(t / "f", junction_field()), ["f", "-o", "f"],
         "the output f/connected_crop_rows.parquet would replace f/connected_crop_rows.parquet, an input"),
        (lambda t: (t / "p.txt").write_text("x"), ["p.txt", "-o", "f"], "neither a points table"),
    ],
    ids=["missing", "unreadable", "no points", "unknown column", "bad mapping", "wide angle", "over its input",
         "over its own folder", "unknown kind"],
)
def test_connect_refuses_unusable_input_with_exit_code_2(tmp_path, prepare, arguments, message):
    prepare(tmp_path)
    before = files_under(tmp_path)
    done = run_command("connect", *arguments, cwd=tmp_path)
    assert done.returncode == 2
    assert message in done.stderr and "Traceback" not in done.stderr
    assert done.stdout == ""
    assert files_under(tmp_path) == before


def files_under(folder):
    return {path.relative_to(folder): path.read_bytes() for path in folder.rglob("*") if path.is_file()}


def test_plot_draws_a_field_and_says_what_the_merge_kept(tmp_path):
    field = junction_field()
    write_field(tmp_path / "field.npz", field)
    done = run_command("plot", "field.npz", "-o", "field.png", "--tolerance", 0.1, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "field.npz: 9 points in, 6 kept; drew field.png\n"
    with Image.open(tmp_path / "field.png") as picture:
        assert (picture.format, picture.size) == ("PNG", (1170, 765))


@pytest.mark.parametrize(
    "prepare, arguments, code, message",
    [
        (lambda t: None, ["nothing.npz", "-o", "p.png"], 2, "nothing.npz does not exist"),
        (lambda t: write_field(t / "f.npz", junction_field()), ["f.npz", "-o", "p.svg"], 2, "must end in .png"),
        (lambda t: write_field(t / "f.npz", junction_field()), ["f.npz", "-o", "no/p.png"], 2, "no folder no"),
        (lambda t: write_field(t / "f.npz", junction_field()), ["f.npz", "-o", "p.png", "--tolerance", "nan"], 2,
         "tolerance must not be NaN"),
        (lambda t: write_field(t / "f.npz", {**junction_field(), "row_information": junction_field()["row_information"][:1]}),
         ["f.npz", "-o", "p.png"], 1,
             "the merge failed: record 0 (row 0 of connected_crop_rows): neighbour slot 0 names row (2, 1)"),
    ],
    ids=["missing", "not png", "no folder", "NaN tolerance", "merge fails"],
)
def test_plot_exit_codes(tmp_path, prepare, arguments, code, message):
    prepare(tmp_path)
    done = run_command("plot", *arguments, cwd=tmp_path)
    assert done.returncode == code
    assert message in done.stderr and "Traceback" not in done.stderr
    assert not (tmp_path / "p.png").exists()


@pytest.mark.parametrize(
    "blocked, command, extra",
    [("matplotlib", ["plot", "field.npz", "-o", "p.png"], "plot"),
     ("scipy", ["connect", "field.npz", "-o", "built.npz"], "io")],
)
def test_a_missing_extra_is_named(tmp_path, blocked, command, extra):
    field = junction_field()
    np.savez(tmp_path / "field.npz", **field)
    done = run_python(
        f"import sys, os\nsys.modules[{blocked!r}] = None\nos.chdir({str(tmp_path)!r})\n"
        f"from crop_row_merge.cli import main\nsys.exit(main({command!r}))\n"
    )
    assert done.returncode == 2, done.stderr
    assert f"comes with the '{extra}' extra: pip install 'crop-row-merge[{extra}]'" in done.stderr
    assert "Traceback" not in done.stderr


@pytest.fixture(scope="module")
def utm_picture():
    """The figure of the UTM sample field, drawn, with what it was drawn from."""
    field = build_field(sample_points(utm=True))
    drops = count_junction_drops(**field, tolerance=0.1, num_threads=0)
    figure = field_figure(field, drops)
    figure.canvas.draw()
    return field, figure


def test_a_utm_field_is_drawn_from_its_lower_left_corner(utm_picture):
    field, figure = utm_picture
    overview, *_ = figure.axes
    xy = field.points_in_rows[:, 2:4]
    corner = np.minimum(xy.min(axis=0), field.row_information[:, 5:9].reshape(-1, 2).min(axis=0))
    assert np.allclose(corner, UTM_ORIGIN, atol=30)  # the sample's lines start near its origin
    caption = figure.get_supxlabel()
    assert f"({corner[0]:.2f}, {corner[1]:.2f})" in caption
    assert overview.get_xlabel() == "x from the lower-left corner"
    assert overview.get_ylabel() == "y from the lower-left corner"
    (left, right), (bottom, top) = overview.get_xlim(), overview.get_ylim()
    extent = xy.max(axis=0) - corner
    assert left <= 0 < extent[0] <= right and bottom <= 0 < extent[1] <= top and right < 1000
    for axes in figure.axes:
        for axis in (axes.xaxis, axes.yaxis):
            assert axis.get_offset_text().get_text() == ""
            assert all(abs(float(label.get_text().replace("−", "-") or 0)) < 1000 for label in axis.get_ticklabels())


def test_a_dense_field_gets_a_stretch_panel_and_its_labels_never_overlap(utm_picture):
    field, figure = utm_picture
    overview, *zooms, stretch = figure.axes
    assert len(zooms) == 4
    assert stretch.get_title().startswith("E: a stretch of 5 lines")
    (left, right) = stretch.get_xlim()
    assert 3 < right - left < 5  # five lines 0.75 apart
    letters = [text for text in overview.texts if text.get_text() in "ABCDE"]
    assert sorted(text.get_text() for text in letters) == list("ABCDE")
    renderer = figure.canvas.get_renderer()
    for axes in (overview, *zooms):
        boxes = [text.get_window_extent(renderer) for text in axes.texts]
        assert not any(one.overlaps(other) for one, other in itertools.combinations(boxes, 2))
    assert all(len(zoom.texts) == 2 for zoom in zooms)
    assert any(child.__class__.__name__ == "AnchoredSizeBar" for child in overview.get_children())
