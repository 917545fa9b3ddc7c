"""The picture of a merge: the whole field, then a few junctions enlarged, kept and dropped points apart."""

from __future__ import annotations

import io
import string

import matplotlib

matplotlib.use("Agg")  # files only: no display needed

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.collections import LineCollection  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from PIL import Image  # noqa: E402

from junction_drops import (  # noqa: E402
    FIRST_SLOT_COLUMN,
    JunctionDrops,
    crop_row_keys,
    neighbour_row_label,
    own_row_label,
)

ZOOMED_JUNCTIONS = 4
KEPT_COLOUR = "#0072b2"
DROPPED_COLOUR = "#e69f00"
OUTSIDE_COLOUR = "#aaaaaa"
ROW_COLOUR = "#222222"
MARK_COLOUR = "#cc0000"
ENDPOINT_COLUMNS = slice(5, 9)  # endpoint 0 (x, y), endpoint 1 (x, y)
PALETTE_COLOURS = 256
ZOOM_MARGIN = 1.5  # window half-size, in half-extents of the junction's dropped points
LABEL_REACH = 0.75  # row labels stay within this share of a window's half-size from its centre


def draw_field(path, field: dict[str, np.ndarray], drops: JunctionDrops) -> None:
    """Writes the picture as a PNG file."""
    figure = field_figure(field, drops)
    rendered = io.BytesIO()
    figure.savefig(rendered, format="png", dpi=90)
    plt.close(figure)
    # The picture has few colours: a palette makes the file a third of the size.
    with Image.open(rendered) as image:
        image.convert("RGB").quantize(PALETTE_COLOURS).save(path, format="PNG", optimize=True)


def field_figure(field: dict[str, np.ndarray], drops: JunctionDrops):
    """The field on top, the junctions that dropped the most below it."""
    windows = junction_windows(
        field["connected_crop_rows"], field["points_in_rows"], field["row_information"], drops
    )
    figure = plt.figure(figsize=(13, 8.5), layout="constrained")
    grid = figure.add_gridspec(2, ZOOMED_JUNCTIONS, height_ratios=[1.25, 1])
    overview = figure.add_subplot(grid[0, :])
    draw_points_and_rows(overview, field, drops, line_width=0.5)
    dropped = int(np.count_nonzero((drops.gathered > 0) & ~drops.kept))
    overview.set_title(
        f"{len(field['connected_crop_rows']):,} records: "
        f"{np.count_nonzero(drops.kept):,} points kept, {dropped:,} dropped"
    )
    overview.legend(handles=legend_handles(overview), loc="upper left", fontsize="small")

    for column, (label, (centre, half_size, title, rows)) in enumerate(
        zip(string.ascii_uppercase, windows)
    ):
        # A junction is a speck at the field's scale: ring it rather than frame it.
        overview.plot(*centre, "o", markersize=14, fillstyle="none", color=MARK_COLOUR,
                      markeredgewidth=1.5)
        overview.annotate(label, centre, xytext=(8, 8), textcoords="offset points",
                          color=MARK_COLOUR, fontweight="bold")
        zoom = figure.add_subplot(grid[1, column])
        draw_points_and_rows(zoom, field, drops, line_width=1.0, window=(centre, half_size))
        zoom.set_title(f"{label}: {title}", fontsize="medium")
        label_rows(zoom, rows, centre, half_size)
    return figure


def label_rows(axes, rows, centre, half_size) -> None:
    """Names each crop row on its line, at the end of its visible part farthest from the row's
    end at the junction.

    The two rows of a junction run from there in opposite directions, so their
    labels do not meet.
    """
    reach = LABEL_REACH * half_size
    for name, ends in rows:
        if ends is None or not np.isfinite(ends).all():
            continue
        visible = clipped(ends, centre - reach, centre + reach)
        if visible is None:
            continue
        junction_end = min(ends, key=lambda xy: float(np.hypot(*(xy - centre))))
        spot = max(visible, key=lambda xy: float(np.hypot(*(xy - junction_end))))
        axes.annotate(name, spot, ha="center", va="center", fontsize="small", color=ROW_COLOUR,
                      bbox={"boxstyle": "round,pad=0.2", "facecolor": "white", "edgecolor": ROW_COLOUR,
                            "linewidth": 0.5, "alpha": 0.85}, zorder=4)


def clipped(ends, low, high):
    """The part of the segment `ends` (start, end) inside the box [low, high], or None."""
    start, end = ends
    along = end - start
    first, last = 0.0, 1.0
    for axis in range(2):
        if along[axis] == 0.0:
            if not low[axis] <= start[axis] <= high[axis]:
                return None
            continue
        enter, leave = sorted(((low[axis] - start[axis]) / along[axis],
                               (high[axis] - start[axis]) / along[axis]))
        first, last = max(first, enter), min(last, leave)
    if not first <= last:
        return None
    return start + first * along, start + last * along


def draw_points_and_rows(axes, field, drops: JunctionDrops, *, line_width, window=None) -> None:
    """Points by what became of them, over the crop rows; all of them, or those in `window`."""
    points = field["points_in_rows"]
    xy = points[:, 2:4] if points.shape[1] >= 4 else np.empty((0, 2))
    shown = np.ones(xy.shape[0], dtype=bool)
    if window is not None:
        centre, half_size = window
        shown = np.all(np.abs(xy - centre) <= half_size, axis=1)
        axes.set_xlim(centre[0] - half_size, centre[0] + half_size)
        axes.set_ylim(centre[1] - half_size, centre[1] + half_size)
    # Dots shrink as they crowd: a few points stay visible, a million stay apart.
    marker_size = float(np.clip(60 / np.sqrt(max(int(np.count_nonzero(shown)), 1)), 0.5, 6.0))
    dropped = (drops.gathered > 0) & ~drops.kept
    for chosen, colour, name in (
        (drops.gathered == 0, OUTSIDE_COLOUR, "in no record's crop row"),
        (drops.kept, KEPT_COLOUR, "kept"),
        (dropped, DROPPED_COLOUR, "dropped"),
    ):
        if chosen.any():
            axes.plot(*xy[chosen & shown].T, ".", markersize=marker_size, color=colour,
                      linestyle="none", rasterized=True, zorder=3,
                      label=f"{name} ({np.count_nonzero(chosen):,})")

    information = field["row_information"]
    if information.shape[1] >= ENDPOINT_COLUMNS.stop:
        ends = information[:, ENDPOINT_COLUMNS].reshape(-1, 2, 2)
        axes.add_collection(LineCollection(ends, colors=ROW_COLOUR, linewidths=line_width,
                                           zorder=2, label="crop row, endpoint 0 to 1"))
        axes.plot(*ends.reshape(-1, 2).T, "|", color=ROW_COLOUR, markersize=4 * line_width + 4,
                  linestyle="none", zorder=2, label="endpoints")
    axes.set_aspect("equal")
    if window is None:
        axes.autoscale_view()


def legend_handles(axes):
    """The axes' legend entries, with dots big enough to see."""
    handles, _ = axes.get_legend_handles_labels()
    return [enlarged(handle) for handle in handles]


def enlarged(handle):
    if not isinstance(handle, Line2D) or handle.get_marker() != ".":
        return handle
    return Line2D([], [], marker=".", linestyle="none", markersize=8,
                  color=handle.get_color(), label=handle.get_label())


def junction_windows(connected, points, information, drops: JunctionDrops):
    """(centre, half-size, title, rows) of the junctions that dropped the most, one per pair of
    crop rows; `rows` names the pair's two rows with their ends.

    A window frames the points dropped where the two rows meet, from both sides.
    """
    if points.shape[1] < 4:
        return []
    junctions = drops.junctions_by_drops()
    pair_of = {junction: crop_row_pair(connected, *junction) for junction in junctions}
    windows = []
    for pair in dict.fromkeys(pair_of.values()):
        sides = [junction for junction in junctions if pair_of[junction] == pair]
        in_pair = np.zeros(points.shape[0], dtype=bool)
        for record, slot in sides:
            in_pair |= (drops.dropping_record == record) & (drops.dropping_slot == slot)
        xy = points[in_pair][:, 2:4]
        xy = xy[np.isfinite(xy).all(axis=1)]
        if xy.shape[0] == 0:
            continue
        low, high = xy.min(axis=0), xy.max(axis=0)
        half_size = ZOOM_MARGIN * max(float(np.max(high - low)) / 2, 1e-6)
        windows.append((
            (low + high) / 2, half_size, junction_title(connected, drops, sides),
            junction_rows(connected, information, *sides[0]),
        ))
        if len(windows) == ZOOMED_JUNCTIONS:
            break
    return windows


def junction_title(connected, drops: JunctionDrops, sides) -> str:
    """Who dropped how many: `own -> neighbour` per side of the junction."""
    return "\n".join(
        f"{own_row_label(connected, record)} -> {neighbour_row_label(connected, record, slot)}: "
        f"{drops.dropped[record, slot]:,} dropped"
        for record, slot in sides
    )


def junction_rows(connected, information, record, slot):
    """(label, ends) of the record's own row and of its neighbour in `slot`, found in
    `row_information` as the merge finds them; ends is None for a row it lacks."""
    if information.shape[1] < ENDPOINT_COLUMNS.stop:
        return []
    own = crop_row_keys(connected[record, 1:3])
    own_rows = np.flatnonzero((crop_row_keys(information[:, [0, 4]]) == own).all(axis=1))
    column = FIRST_SLOT_COLUMN + 2 * slot
    first, second = connected[record, column], connected[record, column + 1]
    neighbour_rows = np.flatnonzero((information[:, 0] == first) & (information[:, 4] == second))
    return [
        (name, information[rows[0], ENDPOINT_COLUMNS].reshape(2, 2) if rows.size else None)
        for name, rows in (
            (own_row_label(connected, record), own_rows),
            (neighbour_row_label(connected, record, slot), neighbour_rows),
        )
    ]


def crop_row_pair(connected, record, slot) -> frozenset:
    return frozenset({own_row_label(connected, record), neighbour_row_label(connected, record, slot)})
