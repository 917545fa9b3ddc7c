"""Fixtures of the merge tests: the two merge implementations and the synthetic sample field."""

from __future__ import annotations

import os
import pathlib
import sys

import pytest

from merge_fields import native_outcome, reference_outcome


@pytest.fixture(params=["native", "reference"])
def merge(request):
    """Each rule test runs on the module and on the reference: the rules hold the reference too."""
    return native_outcome if request.param == "native" else reference_outcome


@pytest.fixture(scope="session")
def make_field():
    sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "examples"))
    from synthetic_field import make_field

    return make_field


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "not_sanitized(reason): skipped under scripts/test-sanitized, whose runtime cannot do it"
    )


def pytest_collection_modifyitems(items):
    if os.environ.get("NATIVE_SANITIZED") != "1":
        return
    for item in items:
        if marker := item.get_closest_marker("not_sanitized"):
            item.add_marker(pytest.mark.skip(reason=marker.args[0]))
