"""Fixtures of the merge tests: the two merge implementations and the synthetic sample field."""

from __future__ import annotations

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
