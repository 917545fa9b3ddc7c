"""Type checkers see the function's signature through the stub-only package installed beside the
module: mypy accepts the README's example and rejects misuses."""

from __future__ import annotations

import ast
import inspect
import os
import pathlib
import re
import subprocess
import sys

import _native
from readme_example import readme_example

INSTALLED_STUB = pathlib.Path(_native.__file__).parent / "_native-stubs" / "__init__.pyi"
MISUSE_PREAMBLE = "import numpy as np\n\nimport _native\n\nempty = np.zeros((0, 11))\n"
CALL = "_native.merge_points_removing_overlap"
MISUSES = [
    (f'{CALL}(empty, empty, empty, "0.1", 1)', "arg-type"),
    (f"{CALL}(empty, empty, empty, 0.1, 2.5)", "arg-type"),
    (f"{CALL}(empty.tolist(), empty, empty, 0.1, 1)", "arg-type"),
    (f"{CALL}(empty, empty, empty, 0.1)", "call-arg"),
    (f"{CALL}(empty, points=empty, row_information=empty, tolerance=0.1, num_threads=1)", "call-arg"),
    (f"text: str = {CALL}(empty, empty, empty, 0.1, 1)", "assignment"),
    (f"{CALL}(empty, empty, empty, 0.1, 1).upper()", "attr-defined"),
]
ERROR_LINE = re.compile(r"^(?P<file>[\w.]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$", re.M)


def test_mypy_accepts_the_readme_example_and_rejects_misuses(tmp_path):
    code, _ = readme_example()
    keyword_call = (
        f"\nsame = {CALL}(connected_crop_rows=connected_crop_rows, points_in_rows=points_in_rows,"
        " row_information=row_information, tolerance=1, num_threads=True)\n"
        "total: float = float(same.sum()) + same.shape[0]\n"
    )
    (tmp_path / "good.py").write_text(code + keyword_call)
    (tmp_path / "bad.py").write_text(MISUSE_PREAMBLE + "".join(f"{line}\n" for line, _ in MISUSES))
    # Run away from the checkout: the stubs must come from the installed package.
    env = {name: value for name, value in os.environ.items() if name != "MYPYPATH"}
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         "good.py", "bad.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    first = MISUSE_PREAMBLE.count("\n") + 1
    expected = {("bad.py", first + index, code) for index, (_, code) in enumerate(MISUSES)}
    reported = {(m["file"], int(m["line"]), m["code"]) for m in ERROR_LINE.finditer(done.stdout)}
    assert reported == expected, done.stdout + done.stderr
    assert done.returncode == 1


def test_installed_stub_matches_what_the_module_binds():
    stub = ast.parse(INSTALLED_STUB.read_text())
    functions = {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}
    assert set(functions) == {name for name in vars(_native) if callable(getattr(_native, name))}
    for name, function in functions.items():
        runtime = getattr(_native, name)
        parameters = [argument.arg for argument in [*function.args.posonlyargs, *function.args.args]]
        assert parameters == list(inspect.signature(runtime).parameters)
        assert not function.args.kwonlyargs
    assert not functions["merge_points_removing_overlap"].args.posonlyargs
    [exported] = [node for node in stub.body if isinstance(node, ast.Assign)]
    assert ast.literal_eval(exported.value) == _native.__all__


PACKAGE_SCRIPT = """\
import numpy as np

import crop_row_merge as crm

empty = np.zeros((0, 11))
survivors = crm.merge_tables(empty, np.zeros((0, 4)), empty)
reveal_type(survivors)
summary = crm.merge_fields(["north.npz"], "out", format="parquet")
reveal_type(summary)
reveal_type(crm.merge_field(crm.read_field("north.npz"), "north.parquet"))
crm.merge_fields(["north.npz"], "out", format="xlsx")
crm.write_field("north", crm.read_field("north.npz"), format="xlsx")
"""


def test_a_users_script_sees_the_packages_real_types(tmp_path):
    (tmp_path / "user.py").write_text(PACKAGE_SCRIPT)
    env = {name: value for name, value in os.environ.items() if name != "MYPYPATH"}
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "user.py"],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300,
    )
    lines = [line for line in done.stdout.splitlines() if line.startswith("user.py:")]
    assert lines[:3] == [
        'user.py:7: note: Revealed type is "pandas.core.frame.DataFrame"',
        'user.py:9: note: Revealed type is "pandas.core.frame.DataFrame"',
        'user.py:10: note: Revealed type is "numpy.ndarray[tuple[Any, ...], numpy.dtype[Any]]"',
    ], done.stdout
    errors = [line for line in lines[3:] if ": error: " in line]
    assert [line.split(":")[1] for line in errors] == ["11", "12"], done.stdout
    assert all(line.endswith("[arg-type]") for line in errors)
