"""Batches of fields on a real local Dask cluster of worker processes: every output identical to
a direct call, failed fields reported while the others go on, reruns that skip, a worker killed
mid-batch, the merge threads each worker gets, and the batch command's progress bar."""

from __future__ import annotations

import csv
import logging
import os
import re
import sys

import pandas as pd
import pytest
from distributed import Client, LocalCluster

from crop_row_merge import SUMMARY_COLUMNS, Field, merge_fields, write_field
from package_support import KillBeforeRename, assert_bit_identical, direct_merge, package_failure_lines, read_output
from support import run_python
from terminal import run_with_terminal_stderr

DOCUMENTED_POINTS = ["row_key_1", "row_key_2", "x", "y"]


def cluster_client(workers):
    cluster = LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
        silence_logs=logging.ERROR,
    )
    return cluster, Client(cluster)


@pytest.fixture(scope="module")
def client():
    cluster, client = cluster_client(2)
    with cluster, client:
        yield client


@pytest.fixture
def fields(tmp_path, make_field):
    """Fields in every form a batch reads, keyed by field name: arrays of the good ones (their
    point names), None for those that cannot be read or merged."""
    source = tmp_path / "fields"
    source.mkdir()
    made = {}

    def field(seed, lines=2):
        return make_field(lines, 3, 40, stagger=0.2, seed=seed)

    made["north"] = write_field(source / "north.npz", field(1)), field(1), None
    made["south"] = write_field(source / "south", field(2)), field(2), None
    made["east"] = write_field(source / "east", field(3), format="csv"), field(3), None
    west = field(4, lines=3)
    named = Field(west["connected_crop_rows"], west["points_in_rows"], west["row_information"],
                  column_names={"points_in_rows": [*"abcd", "height", "plant"]})
    folder = write_field(source / "west", named)
    (folder / "points_in_rows.parquet").unlink()
    write_field(tmp_path / "west-csv", named, format="csv")
    os.replace(tmp_path / "west-csv" / "points_in_rows.csv", folder / "points_in_rows.csv")
    made["west"] = folder, west, ["height", "plant"]
    (source / "broken.npz").write_bytes(b"not a zip archive")
    made["broken"] = source / "broken.npz", None, None
    failing = field(5)
    failing["row_information"] = failing["row_information"][:2]
    made["failing"] = write_field(source / "failing.npz", failing), failing, None
    return made


def summary_file(out):
    with open(out / "summary.csv", newline="") as file:
        return list(csv.DictReader(file))


def assert_outputs_match_direct_calls(out, fields, format):
    for name, (_, arrays, own_names) in fields.items():
        if arrays is None or name == "failing":
            assert not (out / f"{name}.{format}").exists()
            continue
        written, names = read_output(out / f"{name}.{format}")
        assert_bit_identical(written, direct_merge(arrays))
        if format != "npz":
            assert names == DOCUMENTED_POINTS + (own_names or ["column_4", "column_5"])
    assert not [path.name for path in out.iterdir() if path.name.startswith(".")]


@pytest.mark.parametrize("format", ["parquet", "npz", "csv"])
def test_a_batch_writes_each_field_as_the_direct_call_and_reports_the_failed(client, tmp_path, fields, format):
    out = tmp_path / "out"
    summary = merge_fields([path for path, _, _ in fields.values()], out, client, format=format)
    assert list(summary.columns) == list(SUMMARY_COLUMNS)
    assert summary["field"].tolist() == list(fields)
    statuses = dict(zip(summary["field"], summary["status"]))
    assert statuses == {"north": "ok", "south": "ok", "east": "ok", "west": "ok", "broken": "failed",
                        "failing": "failed"}
    rows = summary.set_index("field")
    for name, (_, arrays, _) in fields.items():
        if arrays is not None:
            assert rows.loc[name, "points_in"] == len(arrays["points_in_rows"])
        if statuses[name] == "ok":
            assert rows.loc[name, "points_kept"] == len(direct_merge(arrays))
            assert rows.loc[name, "message"] == "" and rows.loc[name, "seconds"] > 0
    assert "broken.npz is not an .npz file" in rows.loc["broken", "message"]
    assert rows.loc["failing", "message"] == "; ".join(package_failure_lines(fields["failing"][1]))
    assert_outputs_match_direct_calls(out, fields, format)

    written = summary_file(out)
    assert [row["field"] for row in written] == summary["field"].tolist()
    assert [row["status"] for row in written] == summary["status"].tolist()
    for row, (_, expected) in zip(written, summary.iterrows()):
        for column in ("points_in", "points_kept"):
            assert row[column] == ("" if pd.isna(expected[column]) else str(expected[column]))
        assert row["message"] == expected["message"] and float(row["seconds"]) == expected["seconds"]


def test_a_second_run_skips_finished_fields_and_force_merges_them_again(client, tmp_path, fields):
    paths = [path for path, _, _ in fields.values()]
    out = tmp_path / "out"
    merge_fields(paths, out, client)
    written = {path.name: path.read_bytes() for path in out.iterdir()}
    mtimes = {path.name: path.stat().st_mtime_ns for path in out.glob("*.parquet")}
    again = merge_fields(paths, out, client)
    statuses = dict(zip(again["field"], again["status"]))
    assert statuses == {"north": "skipped", "south": "skipped", "east": "skipped", "west": "skipped",
                        "broken": "failed", "failing": "failed"}
    assert again.set_index("field").loc["north", "message"] == "north.parquet exists"
    assert {path.name: path.stat().st_mtime_ns for path in out.glob("*.parquet")} == mtimes
    assert {path.name: path.read_bytes() for path in out.glob("*.parquet")} == {
        name: data for name, data in written.items() if name.endswith(".parquet")}
    assert [row["status"] for row in summary_file(out)] == again["status"].tolist()

    forced = merge_fields(paths, out, client, force=True)
    assert forced["status"].tolist() == ["ok"] * 4 + ["failed"] * 2
    assert_outputs_match_direct_calls(out, fields, "parquet")


def test_a_worker_killed_mid_batch_leaves_every_output_complete(tmp_path, make_field):
    """The first worker to finish writing an output dies before renaming it; Dask runs the task
    again on a worker that lives, and no half-written or temporary file remains."""
    source = tmp_path / "fields"
    arrays = {f"plot{i}": make_field(2, 3, 50, seed=10 + i) for i in range(6)}
    paths = [write_field(source / f"{name}.npz", field) for name, field in arrays.items()]
    marker = tmp_path / "killed"
    cluster, client = cluster_client(2)
    with cluster, client:
        client.register_plugin(KillBeforeRename(str(marker)))
        before = set(client.run(os.getpid).values())
        summary = merge_fields(paths, tmp_path / "out", client)
        after = set(client.run(os.getpid).values())
    assert marker.exists() and before - after  # a worker did die
    assert summary["status"].tolist() == ["ok"] * 6
    for name, field in arrays.items():
        written, _ = read_output(tmp_path / "out" / f"{name}.parquet")
        assert_bit_identical(written, direct_merge(field))
    assert sorted(path.name for path in (tmp_path / "out").iterdir()) == sorted(
        [f"{name}.parquet" for name in arrays] + ["summary.csv"]
    )


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs a machine of two processors")
@pytest.mark.parametrize(
    "processors, workers, threads_per_worker, merge_threads",
    [(1, 1, 1, 1), (1, 2, 1, 1), (2, 1, 1, 2), (2, 2, 1, 1), (2, 1, 2, 1), (2, 3, 1, 1)],
)
def test_each_merge_of_a_batch_gets_its_share_of_the_machines_processors(
    tmp_path, make_field, processors, workers, threads_per_worker, merge_threads
):
    # A machine of known size: the child runs on `processors` processors. Threads of the child
    # stand for the worker processes; what a merge is given is what it asks the module for.
    for index in range(4):
        write_field(tmp_path / f"f{index}.npz", make_field(2, 3, 30, seed=index))
    done = run_python(
        f"""
        import os, sys
        os.sched_setaffinity(0, sorted(os.sched_getaffinity(0))[:{processors}])
        from distributed import Client, LocalCluster
        import crop_row_merge, crop_row_merge._merge as merge

        given = []
        run = merge.FieldMerge.__init__

        def recording(self, field, output, tolerance, num_threads):
            given.append(num_threads)
            run(self, field, output, tolerance, num_threads)

        merge.FieldMerge.__init__ = recording
        paths = [os.path.join({str(tmp_path)!r}, f"f{{i}}.npz") for i in range(4)]
        cluster = LocalCluster(n_workers={workers}, threads_per_worker={threads_per_worker}, processes=False,
                               dashboard_address=":0")
        with cluster, Client(cluster) as client:
            crop_row_merge.merge_fields(paths, os.path.join({str(tmp_path)!r}, "out"), client)
        print(sorted(set(given)), len(given))
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[-2] == f"[{merge_threads}] 4"


@pytest.mark.parametrize(
    "paths, options, message",
    [
        (["a.npz", "x/a"], {}, "are both named 'a'; their outputs would collide"),
        (["summary"], {"format": "csv"}, "would overwrite"),
        (["out/a.npz"], {"format": "npz"}, "the output .*/out/a.npz would replace .*/out/a.npz, an input"),
        ([], {}, "no fields to merge"),
        (["a.npz"], {"format": "xlsx"}, "format must be one of parquet, npz, csv"),
        (["a.npz"], {"client": object(), "workers": 2}, "workers sizes the local cluster"),
    ],
    ids=["same name", "summary.csv", "input", "no fields", "format", "workers and client"],
)
def test_a_batch_whose_outputs_would_collide_is_refused_before_it_starts(tmp_path, paths, options, message):
    with pytest.raises(ValueError, match=message):
        merge_fields([tmp_path / path for path in paths], tmp_path / "out", **options)
    assert not (tmp_path / "out").exists()


BAR_DRAW = re.compile(r"(?P<done>\d+)/(?P<total>\d+) fields \[[#-]{30}\] (?P<failed>\d+) failed \d+:\d\d")


def test_the_batch_command_draws_one_bar_of_finished_fields_on_a_terminal(client, tmp_path, fields):
    """Here pointed at the running cluster, as a user points it at one of their own."""
    inputs = {path: path.read_bytes() for path in (tmp_path / "fields").rglob("*") if path.is_file()}
    paths = [str(path) for path, _, _ in fields.values()]
    code, shown, stdout = run_with_terminal_stderr(
        [sys.executable, "-m", "crop_row_merge", "batch", *paths, "-o", str(tmp_path / "out"),
         "--scheduler", client.scheduler.address], columns=100,
    )
    assert code == 1
    assert stdout == f"6 fields: 4 ok, 0 skipped, 2 failed; summary in {tmp_path / 'out' / 'summary.csv'}\n"
    assert shown.endswith("\r\n")  # the final count keeps a line of its own
    draws = [BAR_DRAW.fullmatch(draw) for draw in shown.removesuffix("\r\n").split("\r\x1b[2K")[1:]]
    assert draws and all(draws), shown
    done = [int(draw["done"]) for draw in draws]
    assert done == sorted(done) and done[-1] == 6 and {draw["total"] for draw in draws} == {"6"}
    assert draws[-1]["failed"] == "2"
    assert_outputs_match_direct_calls(tmp_path / "out", fields, "parquet")
    assert {path: path.read_bytes() for path in inputs} == inputs  # the inputs are as they were
