"""Builds the C++ unit tests and the check of the hand-written NumPy ABI with CMake, and runs them."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def native_build(tmp_path_factory):
    """A fresh build directory holding native_unit_tests and numpy_abi_check; the
    latter is built against the headers of the NumPy this interpreter imports."""
    build = tmp_path_factory.mktemp("native-unit-tests")
    # CMake and Ninja may have come as Python packages next to this interpreter.
    path = os.pathsep.join([str(pathlib.Path(sys.executable).parent), os.environ["PATH"]])
    env = {**os.environ, "PATH": path}
    generator = ["-G", "Ninja"] if shutil.which("ninja", path=path) else []
    steps = [
        ["cmake", "-S", str(REPO), "-B", str(build), *generator,
         "-DNATIVE_BUILD_UNIT_TESTS=ON", "-DNATIVE_BUILD_NUMPY_ABI_CHECK=ON",
         "-DNATIVE_WARNINGS_AS_ERRORS=ON",
         f"-DPython_EXECUTABLE={sys.executable}"],
        ["cmake", "--build", str(build), "--target", "native_unit_tests", "numpy_abi_check"],
    ]
    for step in steps:
        done = subprocess.run(step, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            pytest.fail(f"{' '.join(step)} failed:\n{done.stdout}{done.stderr}")
    return build


@pytest.mark.parametrize("program", ["native_unit_tests", "numpy_abi_check"])
def test_native_checks_all_pass(native_build, program):
    done = subprocess.run([native_build / program], capture_output=True, text=True)
    if done.returncode != 0:
        pytest.fail(done.stdout + done.stderr, pytrace=False)
