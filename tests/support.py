"""A small field and a fresh-interpreter runner shared by the boundary and pool tests."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import numpy as np

NAN = np.nan


def junction_field() -> dict[str, np.ndarray]:
    """Two crop rows that meet at (9.5, 9.5); each names the other as neighbour.

    Row (1, 1) runs from (0, 0) to (10, 10), row (2, 1) from (9, 9) to (20, 20).
    With tolerance 0.1 each row loses its points in the overlap past the
    junction midpoint: the result holds ids 100, 102, 107 (record 0), then
    101, 106, 108 (record 1).
    """
    connected = np.array(
        [
            [0, 1, 1, 2, 1, NAN, NAN, NAN, NAN, NAN, NAN],
            [1, 2, 1, 1, 1, NAN, NAN, NAN, NAN, NAN, NAN],
        ]
    )
    information = np.array(
        [
            [1, 0, 0, 0, 1, 0, 0, 10, 10, 5, 5],
            [2, 0, 0, 0, 1, 9, 9, 20, 20, 14.5, 14.5],
        ]
    )
    # Columns: keys, x, y, and an id that names the point in the result.
    points = np.array(
        [
            [1, 1, 5, 5, 100],
            [2, 1, 12, 12, 101],
            [1, 1, 9.55, 9.55, 102],
            [2, 1, 9.2, 9.2, 103],
            [1, 1, 9.8, 9.8, 104],
            [1, 1, 10.05, 10.05, 105],
            [2, 1, 9.45, 9.45, 106],
            [1, 1, 10.2, 10.2, 107],
            [2, 1, 8.5, 8.5, 108],
        ]
    )
    return {
        "connected_crop_rows": connected,
        "points_in_rows": points,
        "row_information": information,
    }


def run_python(
    code: str, env: dict[str, str | None] | None = None, timeout: float = 120
) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter with this one's environment, changed
    by `env`: a value sets a variable, None removes it. The child can import
    this module; one still running after `timeout` seconds is killed."""
    full_env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(__file__))
    full_env["PYTHONPATH"] = os.pathsep.join(filter(None, [here, full_env.get("PYTHONPATH")]))
    for name, value in (env or {}).items():
        if value is None:
            full_env.pop(name, None)
        else:
            full_env[name] = value
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=full_env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
