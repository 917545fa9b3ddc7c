"""The command's arguments and its words to the user: how option values are read and refused,
and how a mistake, a warning or a failed merge is told on standard error."""

from __future__ import annotations

import argparse
import sys
import warnings

from ._call import DEFAULT_TOLERANCE, failure_lines, merge_arguments
from ._errors import printable

PROGRAM = "crop-row-merge"


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def tolerance_value(text: str) -> float:
    try:
        return merge_arguments(float(text), 0)[0]
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def thread_count(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {value}")
    try:
        return merge_arguments(DEFAULT_TOLERANCE, value)[1]
    except OverflowError as error:
        raise argparse.ArgumentTypeError(f"{error}: at most {2**64 - 1}") from None


def column_mapping(text: str) -> tuple[str, str]:
    name, equals, theirs = text.partition("=")
    if not equals or not name or not theirs:
        raise argparse.ArgumentTypeError(f"expected NAME=THEIRS, such as x=easting, not {text!r}")
    return name, theirs


def complain(message: object) -> None:
    print(f"{PROGRAM}: {printable(message)}", file=sys.stderr)


def report_warnings(caught: list[warnings.WarningMessage]) -> None:
    for warning in caught:
        complain(f"warning: {warning.message}")


def report_merge_failure(error: BaseException) -> None:
    """What to fix, with the module's message, then the other notes, each once."""
    first, *notes = failure_lines(error)
    complain(f"the merge failed: {first}")
    for note in notes:
        print(f"  {printable(note)}", file=sys.stderr)
