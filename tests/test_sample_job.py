"""The main job as its users run it: the summary, the junction counts behind it, the picture,
the .npz input and output, and its one progress bar on a terminal."""

from __future__ import annotations

import math
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

import _native
import reference_merge
from crop_row_merge import third_points_off_their_rows
from support import junction_field
from terminal import child_env, run_with_terminal_stderr

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

from crop_row_merge._junctions import SLOTS, count_junction_drops  # noqa: E402
from crop_row_merge._plot import field_figure  # noqa: E402
from synthetic_field import make_field  # noqa: E402

NAN = math.nan
JOB = EXAMPLES / "merge_sample.py"
COLOUR_SEQUENCE = re.compile(r"\x1b\[[0-9;]*m")
BAR_DRAW = re.compile(r"(?P<spinner>.) \[\d\d:\d\d:\d\d\] \[[█░]{40}\] (?P<position>\d+)/80 .*")


def crowded_field() -> dict[str, np.ndarray]:
    """One line of four crop rows, and records that stress the bookkeeping: three records of
    row (1, 2) with different neighbours, one of them using all four slots (its own row among
    them), and points that belong to no record, carry a NaN coordinate or a key spelled 1.7."""
    field = make_field(1, 4, 40, seed=2)
    connected = field["connected_crop_rows"]
    all_slots = [9, 1, 2, 1, 3, 1, 1, 1, 4, 1, 2]  # slots (1, 3) (1, 1) (1, 4) (1, 2)
    other_neighbours = [10, 1, 2, 1, 1, NAN, NAN, NAN, NAN, NAN, NAN]  # slot (1, 1)
    field["connected_crop_rows"] = np.vstack([connected, all_slots, other_neighbours])
    strays = np.array(
        [
            [7, 7, 1.0, 1.0, 0.5, -1],  # no record has row (7, 7)
            [1.7, 2, 18.5, 5.5, 0.5, -2],  # converts to row (1, 2)
            [1, 1, NAN, 1.0, 0.5, -3],
        ]
    )
    field["points_in_rows"] = np.vstack([field["points_in_rows"], strays])
    return field


def reference_count(connected, points, information, tolerance) -> int:
    return len(reference_merge.merge_points_removing_overlap(connected, points, information, tolerance))


def reference_survivors(field, record, slots, tolerance) -> set[int]:
    """Ids (row numbers) of the points that `record` keeps when only its first `slots` count."""
    connected = field["connected_crop_rows"][[record]].copy()
    connected[0, 3 + 2 * slots :] = NAN
    points = field["points_in_rows"]
    with_ids = np.column_stack([points, np.arange(len(points), dtype=float)])
    kept = reference_merge.merge_points_removing_overlap(
        connected, with_ids, field["row_information"], tolerance
    )
    return set(kept[:, -1].astype(int).tolist())


@pytest.mark.parametrize(
    "field, tolerance",
    [
        (make_field(2, 4, 40, stagger=0.3, seed=1), 0.1),
        (crowded_field(), 0.3),
    ],
    ids=["synthetic", "crowded"],
)
def test_drops_are_charged_to_the_first_slot_that_removes_each_point(field, tolerance):
    drops = count_junction_drops(**field, tolerance=tolerance, num_threads=2)
    records = len(field["connected_crop_rows"])
    points = len(field["points_in_rows"])
    dropped_at = {}
    kept, gathered = set(), np.zeros(points, dtype=int)
    for record in range(records):
        survivors = [reference_survivors(field, record, slots, tolerance) for slots in range(SLOTS + 1)]
        assert drops.points_in[record] == len(survivors[0])
        for point in survivors[0]:
            gathered[point] += 1
        for slot in range(SLOTS):
            dropped_at[record, slot] = survivors[slot] - survivors[slot + 1]
            assert drops.dropped[record, slot] == len(dropped_at[record, slot]), (record, slot)
        kept |= survivors[SLOTS]
    assert np.array_equal(drops.gathered, gathered)
    assert set(np.flatnonzero(drops.kept).tolist()) == kept
    # Every lost point names a junction that dropped it; a point of a shared crop row may be
    # kept by one record and dropped by another.
    charged = np.flatnonzero(drops.dropping_record >= 0)
    assert set(np.flatnonzero((gathered > 0) & ~drops.kept)) <= set(charged)
    for point in charged:
        assert point in dropped_at[drops.dropping_record[point], drops.dropping_slot[point]]


def test_crowded_field_exercises_what_it_claims():
    field = crowded_field()
    drops = count_junction_drops(**field, tolerance=0.3, num_threads=1)
    assert drops.slots_used.max() == SLOTS and np.count_nonzero(drops.dropped[:, 3]) > 0
    assert drops.gathered.max() == 3 and np.count_nonzero(drops.gathered == 0) == 1


def run_job(*arguments, cwd=None):
    return subprocess.run(
        [sys.executable, str(JOB), *map(str, arguments)],
        capture_output=True, text=True, timeout=120, cwd=cwd,
    )


JUNCTION_SUMMARY = """\
input: field.npz
  connected_crop_rows  2 x 11 float64
  points_in_rows       9 x 5 float64
  row_information      2 x 11 float64
merged with tolerance 0.1, num_threads 1 in #.## s
records:     2
points in:   9
points kept: 6
dropped:     3 (33.3% of the gathered points)
dropped per neighbour slot (a point counts at the first slot that drops it):
  slot  junctions  with drops    dropped
     0          2           2          3
junctions with the most drops (of 2 that drop any):
  record  crop row        slot  neighbour row   points  dropped  kept
       0  (1, 1)             0  (2, 1)               5        2     3
       1  (2, 1)             0  (1, 1)               4        1     3
wrote 6 points to merged.npz (array 'merged_points')
wrote the picture to field.png
"""


def test_job_merges_arrays_from_npz_and_writes_result_and_picture(tmp_path):
    field = junction_field()
    np.savez(tmp_path / "field.npz", **field)
    done = run_job("--input", "field.npz", "--threads", 1, "--output", "merged.npz",
                   "--picture", "field.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert re.sub(r"in \d+\.\d\d s", "in #.## s", done.stdout) == JUNCTION_SUMMARY
    with np.load(tmp_path / "merged.npz") as written:
        assert written.files == ["merged_points"]
        expected = _native.merge_points_removing_overlap(**field, tolerance=0.1, num_threads=1)
        assert np.array_equal(written["merged_points"], expected)
    with Image.open(tmp_path / "field.png") as picture:
        assert (picture.format, picture.size) == ("PNG", (1170, 765))


def test_picture_colours_kept_and_dropped_points_and_enlarges_the_junction():
    field = junction_field()
    drops = count_junction_drops(**field, tolerance=0.1, num_threads=1)
    overview, *zooms = field_figure(field, drops).axes
    shown = {line.get_label(): line.get_xydata() for line in overview.get_lines()}
    points = field["points_in_rows"]
    coordinates = {int(row[4]): tuple(row[2:4]) for row in points}

    def drawn(label):
        return {tuple(xy) for xy in shown[label]}

    assert drawn("kept (6)") == {coordinates[i] for i in (100, 101, 102, 106, 107, 108)}
    assert drawn("dropped (3)") == {coordinates[i] for i in (103, 104, 105)}
    [zoom] = zooms
    assert zoom.get_title() == "A: (1, 1) -> (2, 1): 2 dropped\n(2, 1) -> (1, 1): 1 dropped"
    (left, right), (bottom, top) = zoom.get_xlim(), zoom.get_ylim()
    for point in (103, 104, 105):
        x, y = coordinates[point]
        assert left < x < right and bottom < y < top
    # Both rows are named on their own lines, inside the window, on the far sides of the junction
    # at (9.5, 9.5): row (1, 1) runs from (0, 0) to (10, 10), row (2, 1) from (9, 9) to (20, 20).
    labels = {text.get_text(): text.xy for text in zoom.texts}
    assert set(labels) == {"(1, 1)", "(2, 1)"}
    for x, y in labels.values():
        assert left < x < right and bottom < y < top and x == pytest.approx(y)
    assert labels["(1, 1)"][0] < 9.5 < labels["(2, 1)"][0]


@pytest.mark.parametrize(
    "change, arguments, code, message",
    [
        (lambda f: f.pop("row_information"), [], 2,
         "field.npz lacks row_information; it holds connected_crop_rows, points_in_rows"),
        (lambda f: f.update(points_in_rows=f["points_in_rows"].astype(np.float32)), [], 2,
         "  while processing 'points_in_rows'\n"
         "  expected a 2-dimensional NumPy array of float64; got float32 with 2 dimensions: "
         "convert with numpy.asarray(a, dtype=numpy.float64)\n"),
        (lambda f: None, ["--tolerance", "nan"], 2,
         "the merge refused its arguments: ValueError: tolerance must not be NaN\n"
         "  while processing 'tolerance'\n"),
        (lambda f: f.update(row_information=f["row_information"][:1]), [], 1,
         "the merge failed: called `Option::unwrap()` on a `None` value"),
        (lambda f: None, ["--lines", 3], 2, "--lines: the sample's sizes do not go with --input"),
    ],
    ids=["array missing", "float32 array", "NaN tolerance", "merge fails", "sample size with input"],
)
def test_job_says_what_is_wrong_with_the_input(tmp_path, change, arguments, code, message):
    field = junction_field()
    change(field)
    np.savez(tmp_path / "field.npz", **field)
    done = run_job("--input", "field.npz", *arguments, cwd=tmp_path)
    assert done.returncode == code
    assert message in done.stderr
    assert "records:" not in done.stdout


def information(*blocks):
    """Row-information records with the endpoint blocks given as (x0, y0, x1, y1, x2, y2)."""
    return np.array([[1, 0, 0, 0, index, *block] for index, block in enumerate(blocks)], dtype=float)


@pytest.mark.parametrize(
    "block, off",
    [
        ((0, 0, 10, 0, 5, 0), False),
        ((0, 0, 10, 0, 5, 10), False),  # beside the middle, exactly as far as the row is long
        ((0, 0, 10, 0, 5, math.nextafter(10, 11)), True),
        ((0, 0, 10, 0, 20, 0), False),  # past endpoint 1 by the row's length
        ((0, 0, 10, 0, 20.01, 0), True),
        ((0, 0, 10, 0, -7, -7.2), True),  # nearest endpoint 0, sqrt(100.84) away
        ((0, 0, 0, 0, 0, 0), False),
        ((0, 0, 0, 0, 1e-9, 0), True),  # a row of length 0 has only itself
        ((0, 0, 10, 0, NAN, NAN), False),
        ((0, 0, 10, 0, NAN, 500), False),
        ((NAN, 0, 10, 0, 500, 500), False),
        ((500_000, 4_000_000, 500_010, 4_000_010, 0, 0), True),  # zeros as a placeholder
    ],
)
def test_third_point_off_its_row(block, off):
    found = third_points_off_their_rows(information((0, 0, 10, 10, 5, 5), block))
    assert found.tolist() == ([1] if off else [])


def test_job_warns_about_third_points_that_are_not_on_their_rows(tmp_path):
    field = junction_field()
    np.savez(tmp_path / "good.npz", **field)
    information = field["row_information"]
    information[:, [5, 7]] += 500_000.0  # UTM-like coordinates
    information[:, [6, 8]] += 4_000_000.0
    information[:, 9:11] = 0.0
    field["points_in_rows"][:, 2:4] += (500_000.0, 4_000_000.0)
    np.savez(tmp_path / "placeholders.npz", **field)

    good = run_job("--input", "good.npz", cwd=tmp_path)
    assert good.returncode == 0 and "warning" not in good.stderr
    done = run_job("--input", "placeholders.npz", cwd=tmp_path)
    assert done.returncode == 0
    assert done.stderr.startswith(
        "warning: 2 of 2 records of row_information have a third point (columns 9 and 10) "
        "farther from their row than the row is long, a placeholder most likely: records 0, 1; the "
        "first, crop row (1, 1), has (0, 0) beside the row from (500000, 4000000) to (500010, 4000010). "
        "The third point takes part in choosing where each row ends: put it on the row (its middle, "
        "say) or make it NaN\n"
    )
    assert "records:     2" in done.stdout


def test_default_job_draws_one_progress_bar_on_a_terminal():
    # The re-runs behind the per-slot counts must stay off the terminal.
    code, shown, stdout = run_with_terminal_stderr([sys.executable, str(JOB)], columns=100)
    assert code == 0
    assert stdout.startswith("sample field: 10 lines of 8 crop rows, 1,000 points each\n")
    assert "points in:   80,000\n" in stdout
    draws = [BAR_DRAW.fullmatch(draw) for draw in COLOUR_SEQUENCE.sub("", shown).split("\r\x1b[2K")[1:]]
    assert draws and all(draws), shown
    positions = [int(draw["position"]) for draw in draws]
    assert positions == sorted(positions)
    assert [draw["spinner"] for draw in draws].count(" ") == 1


def test_job_stops_quietly_when_its_reader_goes():
    process = subprocess.Popen(
        [sys.executable, str(JOB)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=subprocess.PIPE, env=child_env(NO_COLOR="1"),
    )
    process.stdout.readline()
    process.stdout.close()  # as `scripts/sample | head -1` does
    _, errors = process.communicate(timeout=120)
    assert process.returncode == 1
    assert b"Traceback" not in errors and b"BrokenPipe" not in errors


def test_the_summary_says_when_points_belong_to_no_record_and_records_share_a_crop_row(tmp_path):
    field = junction_field()
    stray = [[7, 7, 1.0, 1.0, 900]]
    field["points_in_rows"] = np.vstack([field["points_in_rows"], stray])
    field["connected_crop_rows"] = np.vstack([field["connected_crop_rows"], field["connected_crop_rows"][:1]])
    np.savez(tmp_path / "field.npz", **field)
    done = run_job("--input", "field.npz", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "  1 points belong to no record's crop row and are left out\n" in done.stdout
    assert "  5 points are gathered again by records that share a crop row\n" in done.stdout
