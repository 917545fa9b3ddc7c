"""What the package does to keep a user's data: no output ever replaces an input, outputs that are
whole after any stop, a summary that loses no row, and user mistakes that end in one line and
exit 2 instead of a traceback (unusable arguments, huge or unreadable files, a scheduler that is
not one, Ctrl-C while a cluster starts), with file contents never reaching the terminal raw."""

from __future__ import annotations

import fcntl
import logging
import os
import pathlib
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import zipfile

import numpy as np
import pandas as pd
import pytest
from distributed import Client, LocalCluster

from crop_row_merge import FieldError, merge_field, merge_fields, read_field, write_field
from package_support import assert_bit_identical, direct_merge, read_output, run_command
from support import junction_field, run_python
from terminal import child_env, open_terminal, read_until_closed


@pytest.fixture(scope="module")
def client():
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                           silence_logs=logging.ERROR)
    with cluster, Client(cluster) as client:
        yield client


def contents(folder: pathlib.Path) -> dict[str, bytes]:
    return {str(path.relative_to(folder)): path.read_bytes() for path in sorted(folder.rglob("*")) if path.is_file()}


# ---------------------------------------------------------------------------------------------
# No output replaces an input.


def npz_field(tmp_path):
    np.savez(tmp_path / "f.npz", **junction_field())


def folder_field(tmp_path, name="north"):
    write_field(tmp_path / "d" / name, junction_field())
    np.savez(tmp_path / "d" / "other.npz", **junction_field())


def linked(kind):
    def make(tmp_path):
        npz_field(tmp_path)
        (os.symlink if kind == "symbolic" else os.link)(tmp_path / "f.npz", tmp_path / "link.npz")
    return make


def other_field_named_after_a_table(tmp_path):
    folder_field(tmp_path)
    (tmp_path / "d" / "other").mkdir()
    np.savez(tmp_path / "d" / "other" / "points_in_rows.npz", **junction_field())


def folder_named_after_a_table(tmp_path):
    write_field(tmp_path / "d" / "points_in_rows", junction_field())


REPLACING = {
    "merge npz onto itself": (npz_field, ["merge", "f.npz", "-o", "f.npz"], "f.npz"),
    "merge onto a table of the folder": (
        folder_field, ["merge", "d/north", "-o", "d/north/points_in_rows.parquet"], "points_in_rows.parquet"),
    "merge onto a symbolic link to the input": (linked("symbolic"), ["merge", "f.npz", "-o", "link.npz"], "f.npz"),
    "merge onto a hard link of the input": (linked("hard"), ["merge", "f.npz", "-o", "link.npz"], "f.npz"),
    "batch into a field's folder": (
        other_field_named_after_a_table, ["batch", "d/north", "d/other/points_in_rows.npz", "-o", "d/north"],
        "points_in_rows.parquet"),
    "batch into a field's folder, forced": (
        other_field_named_after_a_table,
        ["batch", "d/north", "d/other/points_in_rows.npz", "-o", "d/north", "--force"], "points_in_rows.parquet"),
    "batch into a folder field named after a table": (
        folder_named_after_a_table, ["batch", "d/points_in_rows", "-o", "d/points_in_rows"], "points_in_rows.parquet"),
}


@pytest.mark.parametrize("prepare, arguments, named", REPLACING.values(), ids=REPLACING.keys())
def test_the_command_refuses_an_output_that_would_replace_an_input(tmp_path, prepare, arguments, named):
    prepare(tmp_path)
    before = contents(tmp_path)
    done = run_command(*arguments, cwd=tmp_path)
    assert (done.returncode, done.stdout) == (2, "")
    assert "would replace" in done.stderr and named in done.stderr and "Traceback" not in done.stderr
    assert done.stderr.count("\n") == 1
    assert contents(tmp_path) == before


def test_the_api_refuses_an_output_that_would_replace_an_input(tmp_path):
    folder_field(tmp_path)
    north, other = tmp_path / "d" / "north", tmp_path / "d" / "other.npz"
    (tmp_path / "out").mkdir()
    os.link(other, tmp_path / "out" / "other.npz")
    before = contents(tmp_path)
    attempts = [
        lambda: merge_field(north, north / "points_in_rows.parquet"),
        lambda: merge_field(read_field(north), north / "row_information.parquet"),
        lambda: merge_fields([other], tmp_path / "d", format="npz"),
        lambda: merge_fields([other], tmp_path / "out", format="npz", force=True),  # a hard link of it
        lambda: write_field(north, north),
        lambda: write_field(other, other),
    ]
    for attempt in attempts:
        with pytest.raises(FieldError, match="would replace"):
            attempt()
    assert contents(tmp_path) == before


# ---------------------------------------------------------------------------------------------
# Mistakes end in one line and exit 2, before any work.


@pytest.mark.parametrize(
    "option, value, message",
    [
        ("--tolerance", "nan", "tolerance must not be NaN"),
        ("--tolerance", "wide", "could not convert string to float: 'wide'"),
        ("--threads", str(2**64), "int too big to convert"),
        ("--threads", "-1", "must not be negative, not -1"),
    ],
)
@pytest.mark.parametrize("command", ["merge", "batch"])
def test_unusable_merge_options_exit_2_before_any_work(tmp_path, command, option, value, message):
    npz_field(tmp_path)
    output = "out.npz" if command == "merge" else "out"
    started = time.monotonic()
    done = run_command(command, "f.npz", "-o", output, option, value, cwd=tmp_path)
    assert done.returncode == 2 and message in done.stderr and "Traceback" not in done.stderr
    assert not (tmp_path / output).exists()
    assert time.monotonic() - started < 20  # no cluster was started and stopped


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"tolerance": float("nan")}, ValueError, "tolerance must not be NaN"),
        ({"num_threads": 2**64}, OverflowError, "int too big to convert"),
        ({"num_threads": -1}, OverflowError, "can't convert negative int to unsigned"),
    ],
)
def test_the_api_refuses_unusable_merge_options_before_it_reads(tmp_path, options, error, message):
    missing = tmp_path / "missing.npz"  # reading it would raise FieldError
    for call in (lambda: merge_field(missing, **options), lambda: merge_fields([missing], tmp_path / "out", **options)):
        with pytest.raises(error, match=message) as raised:
            call()
        assert raised.value.__notes__ == [f"while processing '{next(iter(options))}'"]
    assert not (tmp_path / "out").exists()


def npz_with_header_claiming(tmp_path, shape):
    """A field whose points_in_rows member says it holds `shape`, and holds only what it has."""
    path = tmp_path / "f.npz"
    np.savez(path, **junction_field())
    with zipfile.ZipFile(path) as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    points = members["points_in_rows.npy"]
    header_end = points.index(b"\n") + 1
    header = ("{'descr': '<f8', 'fortran_order': False, 'shape': %r, }" % (shape,)).ljust(header_end - 11) + "\n"
    members["points_in_rows.npy"] = points[:8] + len(header).to_bytes(2, "little") + header.encode() + points[header_end:]
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in members.items():
            archive.writestr(name, data)
    return path


def test_an_npz_whose_header_claims_more_than_it_holds_is_refused_with_the_bytes(tmp_path):
    npz_with_header_claiming(tmp_path, (2**60, 5))
    with pytest.raises(FieldError, match=r"points_in_rows claims 46,116,860,184,273,879,040 bytes"):
        read_field(tmp_path / "f.npz")
    done = run_command("merge", "f.npz", "-o", "out.npz", cwd=tmp_path)
    assert done.returncode == 2 and done.stderr.count("\n") == 1
    assert "f.npz: points_in_rows claims 46,116,860,184,273,879,040 bytes" in done.stderr


@pytest.mark.not_sanitized("the sanitizer runtime aborts when an address-space limit leaves it no memory")
def test_an_npz_that_expands_beyond_the_memory_limit_exits_2_naming_the_bytes(tmp_path):
    field = junction_field()
    field["points_in_rows"] = np.zeros((20_000_000, 5))  # 800 MB, a few hundred kB compressed
    np.savez_compressed(tmp_path / "f.npz", **field)
    done = run_python(
        f"""
        import resource, sys
        resource.setrlimit(resource.RLIMIT_AS, (600 * 2**20, 600 * 2**20))
        from crop_row_merge.cli import main
        sys.exit(main(["merge", {str(tmp_path / "f.npz")!r}, "-o", {str(tmp_path / "out.npz")!r}]))
        """
    )
    assert done.returncode == 2, done.stderr
    assert done.stderr == f"crop-row-merge: {tmp_path / 'f.npz'}: points_in_rows needs 800,000,000 bytes, which could not be allocated\n"


def something_else_answering():
    """A port where something that is no Dask scheduler answers every connection."""
    listener = socket.create_server(("127.0.0.1", 0))

    def answer():
        while True:
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            with connection:
                connection.sendall(b"\xff" * 64 + b"HTTP/1.0 200 OK\r\n\r\nnot a scheduler")

    threading.Thread(target=answer, daemon=True).start()
    return listener.getsockname()[1], listener


def nothing_listening():
    with socket.create_server(("127.0.0.1", 0)) as listener:
        return listener.getsockname()[1], None  # the port, free again


@pytest.mark.parametrize("scheduler", [something_else_answering, nothing_listening])
def test_a_scheduler_address_that_is_no_scheduler_exits_2_in_one_line(tmp_path, scheduler):
    npz_field(tmp_path)
    port, listener = scheduler()
    try:
        done = run_command("batch", "f.npz", "-o", "out", "--scheduler", f"tcp://127.0.0.1:{port}", cwd=tmp_path)
    finally:
        if listener is not None:
            listener.close()
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith(f"crop-row-merge: cannot reach a Dask scheduler at tcp://127.0.0.1:{port}: ")
    assert done.stderr.count("\n") == 1
    assert not (tmp_path / "out").exists()


def test_more_workers_than_four_per_core_are_refused(tmp_path):
    npz_field(tmp_path)
    one_core = lambda: os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})  # noqa: E731
    done = run_command("batch", "f.npz", "-o", "out", "--workers", 5, cwd=tmp_path, preexec_fn=one_core)
    assert done.returncode == 2 and "--workers: must be at most 4 (4 per core), not 5" in done.stderr
    assert not (tmp_path / "out").exists()


def test_dask_warnings_while_a_batch_starts_stay_off_the_terminal(tmp_path):
    npz_field(tmp_path)
    # Every scratch folder takes "surprisingly long" to make, as on a slow network file system.
    done = run_python(
        f"""
        import contextlib, os, sys, warnings
        import distributed.core

        @contextlib.contextmanager
        def always_slow(duration, message):
            yield
            warnings.warn(message.format(duration=9.0))

        distributed.core.warn_on_duration = always_slow
        os.chdir({str(tmp_path)!r})
        from crop_row_merge.cli import main
        sys.exit(main(["batch", "f.npz", "-o", "out", "--workers", "1"]))
        """
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""


@pytest.fixture
def world_readable_folder():
    """A folder that a user of our own can reach (pytest's own lie in root's private folder)."""
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o755)
        yield pathlib.Path(folder)


def as_another_user():
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)


@pytest.mark.skipif(os.getuid() != 0, reason="making a user of its own needs root")
@pytest.mark.parametrize(
    "prepare, field, message",
    [
        (lambda f: os.chmod(f / "f.npz", 0o000), "f.npz", "cannot read {}: permission denied"),
        (lambda f: os.chmod(f / "locked", 0o700), "locked/f.npz", "{}: permission denied"),
        (lambda f: os.chmod(f / "table" / "points_in_rows.parquet", 0o000), "table", "permission denied"),
    ],
    ids=["unreadable npz", "folder not enterable", "unreadable table"],
)
def test_permission_errors_say_so(world_readable_folder, prepare, field, message):
    folder = world_readable_folder
    np.savez(folder / "f.npz", **junction_field())
    (folder / "locked").mkdir(mode=0o755)
    np.savez(folder / "locked" / "f.npz", **junction_field())
    write_field(folder / "table", junction_field())
    for path in folder.rglob("*"):
        os.chmod(path, 0o755 if path.is_dir() else 0o644)
    prepare(folder)
    done = run_command("merge", folder / field, "-o", folder / "out.npz", preexec_fn=as_another_user)
    assert done.returncode == 2, done.stderr
    assert message.format(folder / field) in done.stderr and done.stderr.count("\n") == 1


# ---------------------------------------------------------------------------------------------
# Nothing from a file reaches the terminal raw.

HOSTILE = "\x1b]0;owned\x07\x1b[2J"


def test_control_characters_from_a_file_are_escaped_in_messages_and_the_summary(tmp_path, client):
    write_field(tmp_path / "field", junction_field(), format="csv")
    with open(tmp_path / "field" / "points_in_rows.csv", "a") as table:
        table.write(f"{HOSTILE}\n")
    hostile_name = tmp_path / f"plot{HOSTILE}"
    write_field(hostile_name, junction_field())
    (hostile_name / "row_information.parquet").unlink()

    done = run_command("merge", "field", "-o", "out.npz", cwd=tmp_path)
    assert done.returncode == 2
    assert "\\x1b]0;owned\\x07\\x1b[2J" in done.stderr and "\x1b" not in done.stderr and "\x07" not in done.stderr

    summary = merge_fields([tmp_path / "field", hostile_name], tmp_path / "out", client)
    assert summary["status"].tolist() == ["failed", "failed"]
    written = (tmp_path / "out" / "summary.csv").read_text()
    assert "\x1b" not in written and "\x07" not in written
    assert "plot\\x1b]0;owned\\x07\\x1b[2J" in written and "\\x1b]0;owned\\x07\\x1b[2J" in summary["message"][0]


# ---------------------------------------------------------------------------------------------
# Outputs are flushed before they take their name, and only a whole output is skipped.


def test_an_output_is_on_the_disk_before_its_name_and_its_name_before_the_call_returns(tmp_path, monkeypatch):
    events = []
    fsync, replace = os.fsync, os.replace
    monkeypatch.setattr(os, "fsync", lambda fd: events.append(("fsync", os.readlink(f"/proc/self/fd/{fd}"))) or fsync(fd))
    monkeypatch.setattr(os, "replace", lambda a, b: events.append(("replace", str(a), str(b))) or replace(a, b))
    output = tmp_path / "merged.parquet"
    merge_field(junction_field(), output)
    [(_, temporary, target)] = [event for event in events if event[0] == "replace"]
    assert target == str(output) and events == [("fsync", temporary), ("replace", temporary, target),
                                                ("fsync", str(tmp_path))]


def half(path):
    path.write_bytes(path.read_bytes()[: path.stat().st_size // 2])


def zeros(path):
    path.write_bytes(bytes(path.stat().st_size))


@pytest.mark.parametrize("damage", [half, zeros], ids=["truncated to half", "zeros of the same size"])
@pytest.mark.parametrize("format", ["parquet", "npz", "csv"])
def test_a_damaged_output_is_merged_again_and_a_whole_one_skipped(tmp_path, client, make_field, format, damage):
    fields = {name: make_field(2, 3, 40, seed=seed) for seed, name in enumerate(["north", "south"])}
    paths = [write_field(tmp_path / "fields" / f"{name}.npz", field) for name, field in fields.items()]
    out = tmp_path / "out"
    first = merge_fields(paths, out, client, format=format)
    damage(out / f"north.{format}")
    again = merge_fields(paths, out, client, format=format)
    assert again["status"].tolist() == ["ok", "skipped"]
    assert again["message"][0].startswith(f"merged again: north.{format} ")
    for name, field in fields.items():
        assert_bit_identical(read_output(out / f"{name}.{format}")[0], direct_merge(field))
    # The skipped field keeps what the run that merged it recorded.
    columns = ["points_in", "points_kept", "seconds", "output_bytes"]
    assert again.loc[1, columns].tolist() == first.loc[1, columns].tolist()
    assert pd.read_csv(out / "summary.csv").loc[1, columns].tolist() == first.loc[1, columns].tolist()


def test_an_output_the_summary_knows_nothing_of_is_merged_again(tmp_path, client):
    path = write_field(tmp_path / "north.npz", junction_field())
    out = tmp_path / "out"
    out.mkdir()
    merge_field(path, out / "north.parquet")  # by hand, not by a batch
    again = merge_fields([path], out, client)
    assert again["status"].tolist() == ["ok"]
    assert again["message"][0] == "merged again: north.parquet exists, but summary.csv does not record what was written to it"


# ---------------------------------------------------------------------------------------------
# The summary loses no row.


def test_the_summary_of_an_interrupted_batch_holds_the_fields_done(tmp_path, client, make_field):
    paths = [write_field(tmp_path / f"f{i}.npz", make_field(2, 3, 30, seed=i)) for i in range(6)]
    finished = []

    def interrupt_after_two(row):
        finished.append(row["field"])
        if len(finished) == 2:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        merge_fields(paths, tmp_path / "out", client, on_field_done=interrupt_after_two)
    written = pd.read_csv(tmp_path / "out" / "summary.csv")
    assert sorted(written["field"]) == sorted(finished) and set(written["status"]) == {"ok"}


def test_batches_sharing_an_outdir_lose_no_row(tmp_path, client, make_field):
    names = [f"f{i:02d}" for i in range(9)]
    for seed, name in enumerate(names):
        write_field(tmp_path / f"{name}.npz", make_field(2, 3, 30, seed=seed))
    batches = [
        subprocess.Popen(
            [sys.executable, "-m", "crop_row_merge", "batch", *(f"{name}.npz" for name in part), "-o", "out",
             "--scheduler", client.scheduler.address],
            cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env(NO_COLOR="1"),
        )
        for part in (names[:6], names[3:])
    ]
    for batch in batches:
        _, stderr = batch.communicate(timeout=120)
        assert batch.returncode == 0, stderr
    raw = (tmp_path / "out" / "summary.csv").read_bytes()
    assert b"\r" not in raw
    written = pd.read_csv(tmp_path / "out" / "summary.csv")
    assert sorted(written["field"]) == names
    assert set(written["status"]) <= {"ok", "skipped"} and written["points_kept"].notna().all()


@pytest.mark.not_sanitized("the sanitizer runtime cannot write its reports under a file-size limit")
def test_a_summary_that_cannot_be_written_is_named(tmp_path, client):
    path = write_field(tmp_path / "north.npz", junction_field())
    done = run_python(
        f"""
        import os, resource, sys
        # Big enough for nothing the batch writes: only the summary is written here, the
        # output by a worker of the cluster, which has no such limit.
        resource.setrlimit(resource.RLIMIT_FSIZE, (40, 40))
        os.chdir({str(tmp_path)!r})
        from crop_row_merge.cli import main
        sys.exit(main(["batch", {str(path)!r}, "-o", "out", "--scheduler", {client.scheduler.address!r}]))
        """
    )
    assert done.returncode == 2
    assert done.stderr == f"crop-row-merge: cannot write {tmp_path / 'out' / 'summary.csv'}: File too large\n"
    assert_bit_identical(read_output(tmp_path / "out" / "north.parquet")[0], direct_merge(junction_field()))


# ---------------------------------------------------------------------------------------------
# Ctrl-C while the local cluster starts.


def processes_with(marker: str) -> list[int]:
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as environ:
                if marker.encode() in environ.read():
                    found.append(int(pid))
        except OSError:
            continue
    return found


@pytest.mark.parametrize("delay", [0.0, 0.3, 0.8])
def test_ctrl_c_while_the_local_cluster_starts_ends_in_one_line_and_leaves_no_process(tmp_path, make_field, delay):
    paths = [write_field(tmp_path / f"f{i}.npz", make_field(4, 5, 2000, seed=i)) for i in range(12)]
    marker = f"CROP_ROW_MERGE_TEST_{os.getpid()}_{delay}"
    parent, child = open_terminal(80)
    process = subprocess.Popen(
        [sys.executable, "-m", "crop_row_merge", "batch", *map(str, paths), "-o", str(tmp_path / "out")],
        stdin=child, stdout=child, stderr=child, env=child_env(**{marker: "1"}), start_new_session=True,
        # The terminal becomes the batch's own, as a shell's is: Ctrl-C there reaches its processes.
        preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0),
    )
    os.close(child)
    # Once the first worker process exists, the cluster is starting: its workers take a second or
    # more to import what they need and report to the scheduler.
    deadline = time.monotonic() + 60
    while len(processes_with(marker)) < 2 and time.monotonic() < deadline:
        time.sleep(0.02)
    time.sleep(delay)
    os.write(parent, b"\x03")
    shown = read_until_closed(parent, process)
    os.close(parent)
    assert process.wait(timeout=60) == 130, shown
    assert "Traceback" not in shown and shown.rstrip().endswith("crop-row-merge: interrupted"), shown
    deadline = time.monotonic() + 20
    while processes_with(marker) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert processes_with(marker) == []
