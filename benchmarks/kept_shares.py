# The share of points the merge keeps on synthetic fields laid at angles from along x to 45 degrees, as a Markdown table.
"""How much of a field the merge keeps, by the angle of its rows.

Fields of 10 lines of 8 crop rows, 1,000 points each (`examples/synthetic_field.py`),
with the crop rows of a line overlapping or with a gap between them, and points
scattered across the rows by a normal offset of the σ given. The same seed at every
angle, so that the fields of one line of the table differ only by their rotation.

    .venv/bin/python benchmarks/kept_shares.py [--tolerance T]
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))

import _native  # noqa: E402
from synthetic_field import make_field  # noqa: E402

# Directions as vectors: exact ones along x and at 45 degrees, where cos and sin round apart.
ANGLES = {
    "exactly along x": (1.0, 0.0),
    "0.0001 rad": (math.cos(1e-4), math.sin(1e-4)),
    "0.01 rad": (math.cos(0.01), math.sin(0.01)),
    "0.05 rad": (math.cos(0.05), math.sin(0.05)),
    "0.3 rad": (math.cos(0.3), math.sin(0.3)),
    "45°": (1.0, 1.0),
}
# (name, overlap of neighbouring crop rows in metres, negative for a gap, scatter σ)
FIELDS = [
    ("overlap 0.6 m, scatter σ = 0.02", 0.6, 0.02),
    ("overlap 0.6 m, σ = 0.05", 0.6, 0.05),
    ("overlap 0.6 m, σ = 0.10", 0.6, 0.10),
    ("gap 0.3 m, σ = 0.02", -0.3, 0.02),
    ("gap 0.3 m, σ = 0.10", -0.3, 0.10),
]


def kept_share(overlap: float, scatter: float, direction: tuple[float, float], tolerance: float) -> float:
    field = make_field(10, 8, 1000, overlap=overlap, noise=scatter, direction=direction, seed=1)
    kept = _native.merge_points_removing_overlap(**field, tolerance=tolerance, num_threads=0)
    return kept.shape[0] / field["points_in_rows"].shape[0]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tolerance", type=float, default=0.1)
    tolerance = parser.parse_args().tolerance
    print("| field | " + " | ".join(ANGLES) + " |")
    print("|---|" + "---:|" * len(ANGLES))
    for name, overlap, scatter in FIELDS:
        shares = [kept_share(overlap, scatter, direction, tolerance) for direction in ANGLES.values()]
        print(f"| {name} | " + " | ".join(f"{share:.1%}" for share in shares) + " |")


if __name__ == "__main__":
    main()
