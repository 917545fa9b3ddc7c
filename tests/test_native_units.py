"""Builds the C++ unit tests, their harness's own check and the check of the hand-written NumPy ABI
with CMake, and runs them."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def native_build(tmp_path_factory):
    """A fresh build directory holding native_unit_tests, native_harness_check and
    numpy_abi_check; the last is built against the headers of the NumPy this
    interpreter imports."""
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
        ["cmake", "--build", str(build), "--target", "native_unit_tests", "native_harness_check",
         "numpy_abi_check"],
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


def test_the_harness_names_a_case_that_throws_counts_it_failed_and_goes_on(native_build):
    # The cases fail on purpose: two throw, and the check of the one after them fails.
    done = subprocess.run([native_build / "native_harness_check"], capture_output=True, text=True)
    assert done.returncode == 1
    lines = done.stdout.splitlines()
    assert lines[:4] == [
        "FAIL throws_a_standard_exception threw",
        "    thrown on purpose",
        "FAIL throws_something_else threw",
        "    something that is not a std::exception",
    ]
    assert lines[4].startswith("FAIL fails_a_check_after_the_throws (tests/native/harness/harness_check.cpp:")
    assert lines[-1] == "3 cases, 1 failed checks, 2 cases threw"
