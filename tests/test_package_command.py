"""The crop-row-merge command as its users run it (the console script and `python -m`): `merge`
with its exit codes, `batch` on a local cluster of its own, the extras named when they are
missing, and a package that needs only NumPy to import and to merge .npz files."""

from __future__ import annotations

import importlib.metadata

import numpy as np
import pytest

from crop_row_merge import write_field
from package_support import (
    SCRIPT,
    assert_bit_identical,
    direct_merge,
    package_failure_lines,
    read_output,
    run_command,
)
from support import junction_field, run_python

EXTRAS = ("pyarrow", "pandas", "distributed", "dask")


@pytest.mark.parametrize("suffix", [".npz", ".parquet", ".csv"])
def test_merge_writes_the_direct_calls_result_in_the_format_its_suffix_names(tmp_path, suffix):
    field = junction_field()
    write_field(tmp_path / "field", field)
    done = run_command("merge", "field", "-o", f"merged{suffix}", "--threads", 1, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    expected = direct_merge(field)
    assert done.stdout == f"field: 9 points in, {len(expected)} kept; wrote merged{suffix}\n"
    assert done.stderr == ""
    written, _ = read_output(tmp_path / f"merged{suffix}")
    assert_bit_identical(written, expected)


def test_merge_passes_tolerance_and_threads_on(tmp_path):
    field = junction_field()
    np.savez(tmp_path / "field.npz", **field)
    done = run_command("merge", "field.npz", "-o", "merged.npz", "--tolerance", "0.7", "--threads", 2,
                       cwd=tmp_path, module=True)
    assert done.returncode == 0, done.stderr
    written, _ = read_output(tmp_path / "merged.npz")
    assert_bit_identical(written, direct_merge(field, tolerance=0.7))


def failing_npz(tmp_path):
    field = junction_field()
    field["row_information"] = field["row_information"][:1]
    np.savez(tmp_path / "field.npz", **field)
    first, *notes = package_failure_lines(field)
    return f"crop-row-merge: the merge failed: {first}\n" + "".join(f"  {note}\n" for note in notes)


@pytest.mark.parametrize(
    "prepare, arguments, code, message",
    [
        (failing_npz, ["field.npz", "-o", "merged.parquet"], 1, None),
        (lambda t: (t / "field.npz").write_bytes(b"junk"), ["field.npz", "-o", "m.npz"], 2,
         "crop-row-merge: field.npz is not an .npz file: it is no zip archive of arrays\n"),
        (lambda t: None, ["nothing", "-o", "m.npz"], 2, "crop-row-merge: nothing does not exist\n"),
        (lambda t: np.savez(t / "field.npz", **junction_field()), ["field.npz", "-o", "m.txt"], 2,
         "crop-row-merge: m.txt: the output's name must end in .parquet, .npz or .csv\n"),
        (lambda t: np.savez(t / "field.npz", **junction_field()), ["field.npz", "-o", "no/m.npz"], 2,
         "crop-row-merge: no/m.npz: there is no folder no\n"),
    ],
    ids=["merge fails", "unreadable", "missing", "unknown suffix", "no folder"],
)
def test_merge_exit_codes_and_messages(tmp_path, prepare, arguments, code, message):
    expected = prepare(tmp_path)
    done = run_command("merge", *arguments, cwd=tmp_path)
    assert done.returncode == code
    if code == 1:
        assert done.stderr == expected  # the module's own report is not printed
    else:
        assert message in done.stderr
    assert done.stdout == ""
    assert {path.name for path in tmp_path.iterdir()} <= {"field.npz"}  # nothing written


def test_batch_on_its_own_cluster_prints_only_its_summary_line(tmp_path, make_field):
    fields = {f"plot{i}": make_field(2, 3, 30, seed=20 + i) for i in range(3)}
    for name, field in fields.items():
        write_field(tmp_path / f"{name}.npz", field)
    (tmp_path / "broken.npz").write_bytes(b"junk")
    done = run_command("batch", "plot0.npz", "plot1.npz", "plot2.npz", "broken.npz", "-o", "out",
                       "--format", "npz", "--workers", 2, cwd=tmp_path, module=True)
    assert done.returncode == 1, done.stderr
    assert done.stdout == "4 fields: 3 ok, 0 skipped, 1 failed; summary in out/summary.csv\n"
    assert done.stderr == ""
    for name, field in fields.items():
        written, _ = read_output(tmp_path / "out" / f"{name}.npz")
        assert_bit_identical(written, direct_merge(field))

    again = run_command("batch", "plot0.npz", "plot1.npz", "plot2.npz", "-o", "out", "--format", "npz",
                        cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    assert again.stdout == "3 fields: 0 ok, 3 skipped, 0 failed; summary in out/summary.csv\n"
    assert again.stderr == ""


@pytest.mark.parametrize(
    "arguments, message",
    [
        (["batch", "a.npz", "-o", "out", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"],
         "--workers sizes the local cluster; it does not go with --scheduler"),
        (["batch", "a.npz", "b/a.npz", "-o", "out"], "are both named 'a'"),
        (["batch", "a.npz", "-o", "out", "--workers", "0"], "must be at least 1, not 0"),
    ],
    ids=["workers and scheduler", "same names", "no workers"],
)
def test_batch_refuses_arguments_it_cannot_use(tmp_path, arguments, message):
    done = run_command(*arguments, cwd=tmp_path)
    assert done.returncode == 2
    assert message in done.stderr
    assert not (tmp_path / "out").exists()


BLOCK = "import sys\nfor name in {names!r}:\n    sys.modules[name] = None  # as if not installed\n"


@pytest.mark.parametrize(
    "blocked, arguments, code, extra",
    [
        (["pyarrow"], ["merge", "field.npz", "-o", "merged.parquet"], 2, "io"),
        (["pyarrow"], ["merge", "field", "-o", "merged.npz"], 2, "io"),
        (["distributed"], ["batch", "field.npz", "-o", "out"], 2, "batch"),
        (list(EXTRAS), ["merge", "field.npz", "-o", "merged.npz"], 0, None),
    ],
    ids=["parquet output", "parquet input", "batch", "npz with numpy alone"],
)
def test_a_missing_extra_is_named_and_npz_needs_none(tmp_path, blocked, arguments, code, extra):
    field = junction_field()
    np.savez(tmp_path / "field.npz", **field)
    write_field(tmp_path / "field", field)
    done = run_python(
        BLOCK.format(names=blocked)
        + f"import os\nos.chdir({str(tmp_path)!r})\n"
        + f"from crop_row_merge.cli import main\nsys.exit(main({arguments!r}))\n"
    )
    assert done.returncode == code, done.stderr
    if extra:
        assert f"which is not installed; it comes with the '{extra}' extra: pip install 'crop-row-merge[{extra}]'" in (
            done.stderr
        )
    else:
        written, _ = read_output(tmp_path / "merged.npz")
        assert_bit_identical(written, direct_merge(field))


def test_the_table_form_names_its_extra_and_importing_the_package_loads_no_extra():
    done = run_python(
        BLOCK.format(names=["pandas"])
        + "import crop_row_merge\n"
        + f"print(sorted(set({EXTRAS!r}) & set(m for m in sys.modules if sys.modules[m] is not None)))\n"
        + "from support import junction_field\n"
        + "try:\n    crop_row_merge.merge_tables(**junction_field())\n"
        + "except crop_row_merge.MissingExtraError as error:\n    print(error)\n"
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == (
        "[]\nmerge_tables needs pandas, which is not installed; it comes with the 'io' extra: "
        "pip install 'crop-row-merge[io]'\n"
    )


def test_installed_metadata_needs_numpy_alone_and_offers_the_extras():
    distribution = importlib.metadata.distribution("crop-row-merge")
    requirements = distribution.requires
    assert [r for r in requirements if "extra ==" not in r] == ["numpy>=1.15"]
    assert {"io", "batch"} <= set(distribution.metadata.get_all("Provides-Extra"))
    [script] = [e for e in distribution.entry_points if e.group == "console_scripts"]
    assert (script.name, script.value) == ("crop-row-merge", "crop_row_merge.cli:main")
    assert SCRIPT.exists()


def test_the_console_script_and_python_m_are_one_command():
    script, module = run_command("batch", "--help"), run_command("batch", "--help", module=True)
    assert script.returncode == module.returncode == 0
    assert script.stdout == module.stdout and script.stdout.startswith("usage: crop-row-merge batch ")
