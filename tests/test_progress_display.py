"""The progress bar as a terminal shows it: a child interpreter makes one call with its stderr on a
pseudo-terminal (or a file, or a pipe), and everything written there is read back."""

import os
import re
import subprocess
import sys

import pytest

from terminal import child_env, open_terminal, read_until_closed, run_with_terminal_stderr

# One call over `records` connected-row records, each with its own row-information record and
# no neighbour.
CHILD = """
import sys
import time
import numpy as np
import _native

records = int(sys.argv[1])
keys = np.arange(records) + 1.0
connected = np.full((records, 11), np.nan)
connected[:, 0] = np.arange(records)
connected[:, 1] = keys
connected[:, 2] = 1.0
information = np.zeros((records, 11))
information[:, 0] = keys
information[:, 4] = 1.0
if sys.argv[2:] == ["fail"]:
    information = information[:-1]  # the last record finds no record of its own
start = time.monotonic()
try:
    _native.merge_points_removing_overlap(connected, np.zeros((0, 6)), information, 0.1, 2)
except BaseException as error:
    print(f"failed: {error.args[0]}")
else:
    print(f"returned after {time.monotonic() - start:.6f}s")
"""

RECORDS = 20_000
RETURNED = re.compile(r"returned after (?P<seconds>\d+\.\d+)s\r?\n")
RUNNING_FRAMES = "⠁⠉⠙⠚⠒⠂⠲⠴⠤⠄⠠⠦⠖⠐⠓⠋⠈"
ERASE = "\r\x1b[2K"
COLOUR_SEQUENCE = re.compile(r"\x1b\[[0-9;]*m")
PLAIN_LINE = re.compile(
    rf"(?P<spinner>[{RUNNING_FRAMES} ]) \[\d\d:\d\d:\d\d\] \[(?P<bar>[█░]{{40}})\] "
    r"(?P<position>\d+)/(?P<length>\d+) \(\d+[smhdwy]\)(?P<padding> *)"
)


def run_child(records, env, *, columns=100, fail=False):
    """(stdout, what reached the terminal on stderr)."""
    code, shown, stdout = run_with_terminal_stderr(
        [sys.executable, "-c", CHILD, str(records), *(["fail"] if fail else [])], columns=columns, env=env
    )
    assert code == 0
    return stdout, shown


def plain_draws(shown, columns):
    """The lines of successive draws, without colours, each checked for form and padding."""
    draws = COLOUR_SEQUENCE.sub("", shown).split(ERASE)
    matches = [PLAIN_LINE.fullmatch(draw) for draw in draws]
    assert all(matches), draws
    assert all(len(draw) % columns == 0 for draw in draws), [len(draw) for draw in draws]
    return matches


def finished_line(records, *, colours):
    """Pattern of the final line, padding included, drawn with or without colours."""
    cells = "█" * 40
    if colours:
        spinner, bar = r"\x1b\[32m \x1b\[0m", rf"\x1b\[36m{cells}\x1b\[34m\x1b\[0m\x1b\[0m"
    else:
        spinner, bar = " ", cells
    return rf"{spinner} \[00:00:\d\d\] \[{bar}\] {records}/{records} \(0s\) *"


@pytest.mark.parametrize(
    "changes, colours",
    [
        ({}, True),
        ({"CLICOLOR": "1"}, True),
        ({"CLICOLOR": "0"}, False),
        ({"CLICOLOR": "0", "CLICOLOR_FORCE": "1"}, True),
        ({"CLICOLOR": "0", "CLICOLOR_FORCE": "0"}, False),
    ],
)
def test_call_draws_running_lines_in_place_and_ends_on_the_finished_line(changes, colours):
    stdout, shown = run_child(RECORDS, child_env(**changes))
    seconds = float(RETURNED.fullmatch(stdout)["seconds"])
    draws = plain_draws(shown, 100)
    # A burst of 20 redraws, one more per 50 ms, and the final line.
    assert 2 <= len(draws) <= 20 + seconds / 0.05 + 1
    positions = [int(draw["position"]) for draw in draws]
    assert positions == sorted(positions) and positions[0] >= 1
    assert {int(draw["length"]) for draw in draws} == {RECORDS}
    assert all(draw["spinner"] != " " for draw in draws[:-1])
    assert re.fullmatch(finished_line(RECORDS, colours=colours), shown.split(ERASE)[-1])
    assert bool(COLOUR_SEQUENCE.search(shown)) == colours


def test_failing_call_leaves_its_last_running_line_and_draws_no_finish():
    stdout, shown = run_child(RECORDS, child_env(CLICOLOR="0"), fail=True)
    assert stdout == "failed: called `Option::unwrap()` on a `None` value\n"
    # The terminal turns each newline into a carriage return and a newline.
    bar, report = re.split(r"\r?\nthread '", shown, maxsplit=1)
    assert "panicked at" in report
    draws = plain_draws(bar, 100)
    assert draws and all(draw["spinner"] != " " for draw in draws)
    assert all(int(draw["position"]) < RECORDS for draw in draws)


@pytest.mark.parametrize(
    "changes",
    [
        {"NO_COLOR": ""},
        {"NO_COLOR": "1", "CLICOLOR_FORCE": "1"},
        {"TERM": "dumb"},
        {"TERM": None},
        {"TERM": None, "CLICOLOR_FORCE": "1"},
    ],
)
def test_terminal_that_is_not_colour_capable_shows_nothing(changes):
    stdout, shown = run_child(RECORDS, child_env(**changes))
    assert RETURNED.fullmatch(stdout)
    assert shown == ""


@pytest.mark.parametrize("target", ["file", "pipe"])
def test_stderr_off_the_terminal_receives_nothing(tmp_path, target):
    # Stdout is the terminal here, so only stderr's own kind keeps the bar away.
    parent, child = open_terminal(100)
    with open(tmp_path / "stderr.log", "w+b") as log:
        process = subprocess.Popen(
            [sys.executable, "-c", CHILD, str(RECORDS)],
            stdin=subprocess.DEVNULL, stdout=child,
            stderr=log if target == "file" else subprocess.PIPE,
            env=child_env(CLICOLOR_FORCE="1"),
        )
        os.close(child)
        shown = read_until_closed(parent, process)
        os.close(parent)
        _, piped = process.communicate(timeout=60)
        log.seek(0)
        logged = log.read()
    assert process.returncode == 0
    assert RETURNED.fullmatch(shown)
    assert logged == b"" and not piped


@pytest.mark.parametrize("columns, padded_to", [(0, 80), (50, 100), (64, 64), (120, 120)])
def test_call_of_no_records_draws_only_the_finished_line_padded_to_the_width(columns, padded_to):
    stdout, shown = run_child(0, child_env(), columns=columns)
    assert RETURNED.fullmatch(stdout)
    assert re.fullmatch(finished_line(0, colours=True), shown)
    [draw] = plain_draws(shown, padded_to)
    assert len(draw[0]) == padded_to

