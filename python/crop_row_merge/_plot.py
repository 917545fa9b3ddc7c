"""The picture of a field before and after its merge: the whole field with its crop rows, their
neighbour links and the points kept and dropped; the junctions that drop the most, enlarged; and a
stretch of a few lines where the whole field is too dense to tell them apart. Coordinates count
from the field's lower-left corner, so that a field in UTM coordinates reads as metres across it."""

from __future__ import annotations

import io
import os
import string
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from ._build import first_records
from ._extras import require
from ._field import Field, PathLike
from ._files import as_field
from ._junctions import (
    FIRST_SLOT_COLUMN,
    SLOTS,
    JunctionDrops,
    count_junction_drops,
    neighbour_row_label,
    own_row_label,
    progress_bar_hidden,
)
from ._call import DEFAULT_TOLERANCE, call_merge
from ._origins import crop_row_keys

if TYPE_CHECKING:
    from ._field import TableLike

ZOOMED_JUNCTIONS = 4
KEPT_COLOUR = "#0072b2"  # dark blue
DROPPED_COLOUR = "#e69f00"  # light orange: told apart by lightness too
OUTSIDE_COLOUR = "#aaaaaa"
ROW_COLOUR = "#222222"
LINK_COLOUR = "#cc79a7"
MARK_COLOUR = "#cc0000"
ENDPOINT_COLUMNS = slice(5, 9)  # endpoint 0 (x, y), endpoint 1 (x, y)
FIGURE_INCHES = (13, 8.5)
DPI = 90
PALETTE_COLOURS = 256
ZOOM_MARGIN = 1.5  # window half-size, in half-extents of the junction's dropped points
LABEL_REACH = 0.75  # row labels stay within this share of a window's half-size from its centre
# Lines closer than this many pixels in the whole field's panel cannot be told apart there.
DENSE_PIXELS = 5.0
OVERVIEW_PIXELS = (0.7 * FIGURE_INCHES[0] * DPI, 0.5 * FIGURE_INCHES[1] * DPI)  # about, with a stretch panel
STRETCH_LINES = 5
SPACING_SAMPLE = 50  # crop rows whose distance to the next line is measured
PARALLEL_COSINE = np.cos(np.radians(20))
LETTER_OFFSETS = [(8, 8), (8, -16), (-16, 8), (-16, -16), (14, -4), (-22, -4), (-4, 14), (-4, -22)]


@dataclass(frozen=True)
class Scene:
    """What the picture shows, in coordinates from the field's lower-left corner."""

    origin: np.ndarray  # the corner, in the field's own coordinates
    xy: np.ndarray  # per point
    ends: np.ndarray  # per row_information record: endpoint 0 and endpoint 1, NaN where it has none
    links: np.ndarray  # per linked pair of crop rows: the closest pair of their ends
    linked: frozenset[tuple[int, int]]  # the linked pairs of row_information records
    drops: JunctionDrops


def plot_field(
    source: Field | Mapping[str, TableLike] | PathLike, output: PathLike, *, tolerance: float = DEFAULT_TOLERANCE,
    num_threads: int = 0,
) -> JunctionDrops:
    """Merges a field (a path that `read_field` reads, a Field, or a mapping of the three tables)
    and draws it before and after as a PNG file; returns what each junction dropped."""
    require("matplotlib", "plot", "plot_field")
    field = as_field(source)
    with progress_bar_hidden():
        call_merge(**field, tolerance=tolerance, num_threads=num_threads)  # fails as a plain merge would
    drops = count_junction_drops(**field, tolerance=tolerance, num_threads=num_threads)
    draw_field(output, field, drops)
    return drops


def draw_field(path: str | os.PathLike[str], field: Any, drops: JunctionDrops) -> None:
    """Writes the picture as a PNG file."""
    image = require("PIL.Image", "plot", "drawing the picture")
    rendered = io.BytesIO()
    field_figure(field, drops).savefig(rendered, format="png", dpi=DPI)
    # The picture has few colours: a palette makes the file a third of the size.
    with image.open(rendered) as picture:
        picture.convert("RGB").quantize(PALETTE_COLOURS).save(path, format="PNG", optimize=True)


def field_figure(field: Any, drops: JunctionDrops) -> Any:
    """The field on top (and a stretch of it beside, when its lines crowd), the junctions that
    dropped the most below it."""
    figure_module = require("matplotlib.figure", "plot", "drawing the picture")
    backend = require("matplotlib.backends.backend_agg", "plot", "drawing the picture")
    connected, information = field["connected_crop_rows"], field["row_information"]
    scene = make_scene(field, drops)
    windows = junction_windows(connected, field["points_in_rows"], information, scene)
    stretch = stretch_window(scene)

    figure = figure_module.Figure(figsize=FIGURE_INCHES, layout="constrained")
    backend.FigureCanvasAgg(figure)
    grid = figure.add_gridspec(2, ZOOMED_JUNCTIONS, height_ratios=[1.25, 1])
    overview = figure.add_subplot(grid[0, :-1] if stretch else grid[0, :])
    draw_points_and_rows(overview, scene, line_width=0.5)
    dropped = int(np.count_nonzero((drops.gathered > 0) & ~drops.kept))
    overview.set_title(
        f"{len(connected):,} records: {np.count_nonzero(drops.kept):,} points kept, {dropped:,} dropped"
    )
    overview.set_xlabel("x from the lower-left corner")
    overview.set_ylabel("y from the lower-left corner")
    handles = legend_handles(overview)
    figure.legend(handles=handles, loc="outside upper center", ncols=len(handles), fontsize="small", frameon=False)
    add_scale_bar(overview)
    figure.supxlabel(caption(scene), fontsize="small")

    letters = iter(string.ascii_uppercase)
    marks: list[tuple[str, np.ndarray]] = []
    named: list[tuple[Any, list[Any], np.ndarray, float]] = []
    for column, (centre, half_size, title, rows) in enumerate(windows):
        letter = next(letters)
        # A junction is a speck at the field's scale: ring it rather than frame it.
        overview.plot(*centre, "o", markersize=14, fillstyle="none", color=MARK_COLOUR, markeredgewidth=1.5)
        marks.append((letter, centre))
        zoom = figure.add_subplot(grid[1, column])
        draw_points_and_rows(zoom, scene, line_width=1.0, window=(centre, half_size))
        zoom.set_title(f"{letter}: {title}", fontsize="medium")
        named.append((zoom, rows, centre, half_size))
    if stretch:
        letter = next(letters)
        centre, half_size = stretch
        overview.add_patch(square(centre, half_size))
        marks.append((letter, centre + half_size))
        panel = figure.add_subplot(grid[0, -1])
        draw_points_and_rows(panel, scene, line_width=1.0, window=stretch)
        panel.set_title(f"{letter}: a stretch of {STRETCH_LINES} lines,\ntoo close to tell apart above",
                        fontsize="medium")
    # Labels are placed where they overlap no other, which needs the panels where they will be.
    figure.get_layout_engine().execute(figure)
    place_letters(overview, marks)
    for zoom, rows, centre, half_size in named:
        label_rows(zoom, rows, centre, half_size)
    return figure


def caption(scene: Scene) -> str:
    """Where the corner lies, to two decimals finer than the field's panel can show."""
    finite = scene.xy[np.isfinite(scene.xy).all(axis=1)]
    extent = float(finite.max()) if len(finite) else 1.0
    decimals = max(0, 4 - int(np.floor(np.log10(max(extent, 1e-300)))))
    x, y = scene.origin
    return (f"x and y from the field's lower-left corner at ({x:.{decimals}f}, {y:.{decimals}f}), "
            "in the units of the field's own x and y")


def make_scene(field: Any, drops: JunctionDrops) -> Scene:
    points, connected, information = field["points_in_rows"], field["connected_crop_rows"], field["row_information"]
    xy = points[:, 2:4] if points.shape[1] >= 4 else np.empty((0, 2))
    if information.shape[1] >= ENDPOINT_COLUMNS.stop:
        ends = information[:, ENDPOINT_COLUMNS].reshape(-1, 2, 2)
    else:
        ends = np.full((len(information), 2, 2), np.nan)
    everything = np.vstack([xy, ends.reshape(-1, 2)])
    finite = everything[np.isfinite(everything).all(axis=1)]
    origin = finite.min(axis=0) if len(finite) else np.zeros(2)
    pairs = linked_records(connected, information)
    closest = closest_ends(ends[pairs[:, 0]], ends[pairs[:, 1]]) if len(pairs) else np.zeros((0, 2, 2))
    return Scene(origin, xy - origin, ends - origin, closest - origin,
                 frozenset(map(tuple, pairs.tolist())), drops)


def linked_records(connected: np.ndarray, information: np.ndarray) -> np.ndarray:
    """The pairs of row_information records (lower first) whose crop rows a record links, found as
    the merge finds them: its own by converted keys, the neighbour's by exact keys."""
    if information.shape[1] < 5 or connected.shape[1] < FIRST_SLOT_COLUMN + 2 or len(information) == 0:
        return np.zeros((0, 2), dtype=np.intp)
    own = first_records(crop_row_keys(connected[:, 1:3]), crop_row_keys(information[:, [0, 4]]))
    table = information[:, [0, 4]]
    numbered = np.flatnonzero(~np.isnan(table).any(axis=1))  # NaN matches nothing
    open_list = np.ones(len(connected), dtype=bool)
    pairs = []
    for slot in range(SLOTS):
        column = FIRST_SLOT_COLUMN + 2 * slot
        if column + 1 >= connected.shape[1]:
            break
        open_list &= ~np.isnan(connected[:, column])
        records = np.flatnonzero(open_list & (own >= 0))
        found = first_records(connected[records][:, [column, column + 1]], table[numbered])
        hit = found >= 0
        pairs.append(np.column_stack([own[records[hit]], numbered[found[hit]]]))
    both = np.sort(np.vstack(pairs), axis=1) if pairs else np.zeros((0, 2), dtype=np.intp)
    both = both[both[:, 0] != both[:, 1]]
    return np.unique(both, axis=0) if len(both) else both


def closest_ends(first: np.ndarray, second: np.ndarray) -> np.ndarray:
    """Per pair of rows (pairs x 2 ends x 2), the closest pair of one end of each."""
    options = np.stack([np.stack([first[:, i], second[:, j]], axis=1) for i in (0, 1) for j in (0, 1)], axis=1)
    length = np.hypot(*(options[:, :, 0] - options[:, :, 1]).transpose(2, 0, 1))
    best = np.argmin(np.where(np.isnan(length), np.inf, length), axis=1)
    closest: np.ndarray = options[np.arange(len(options)), best]
    return closest


def draw_points_and_rows(axes: Any, scene: Scene, *, line_width: float, window: Any = None) -> None:
    """Points by what became of them, over the crop rows and their links; all, or those in `window`."""
    collections = require("matplotlib.collections", "plot", "drawing the picture")
    xy, drops = scene.xy, scene.drops
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
            axes.plot(*xy[chosen & shown].T, ".", markersize=marker_size, color=colour, linestyle="none",
                      rasterized=True, zorder=3, label=f"{name} ({np.count_nonzero(chosen):,})")
    axes.add_collection(collections.LineCollection(scene.ends, colors=ROW_COLOUR, linewidths=line_width,
                                                   zorder=2, label="crop row, endpoint 0 to 1"))
    axes.plot(*scene.ends.reshape(-1, 2).T, "|", color=ROW_COLOUR, markersize=4 * line_width + 4,
              linestyle="none", zorder=2, label="endpoints")
    if len(scene.links):
        # Linked ends often lie on one line with the rows: a mark between them shows the link.
        # Under the points: where rows meet, the points dropped there are what matters most.
        axes.add_collection(collections.LineCollection(scene.links, colors=LINK_COLOUR, linewidths=line_width,
                                                       zorder=2.5))
        axes.plot(*scene.links.mean(axis=1).T, "D", color=LINK_COLOUR, markersize=2 * line_width + 2,
                  linestyle="none", zorder=2.5, label="neighbour link, between the closest ends")
    axes.set_aspect("equal")
    for axis in (axes.xaxis, axes.yaxis):
        axis.get_major_formatter().set_useOffset(False)
    if window is None:
        axes.autoscale_view()


def add_scale_bar(axes: Any) -> None:
    anchored = require("mpl_toolkits.axes_grid1.anchored_artists", "plot", "drawing the picture")
    low, high = axes.get_xlim()
    length = nice_length((high - low) / 5)
    axes.add_artist(anchored.AnchoredSizeBar(axes.transData, length, f"{length:g}", "lower right", pad=0.4,
                                             sep=3, frameon=True, size_vertical=0, color=ROW_COLOUR))


def nice_length(target: float) -> float:
    """1, 2 or 5 times a power of ten, at most `target`."""
    if not np.isfinite(target) or target <= 0:
        return 1.0
    power = 10.0 ** np.floor(np.log10(target))
    return float(max(step for step in (1, 2, 5) if step * power <= target * (1 + 1e-12)) * power)


def legend_handles(axes: Any) -> list[Any]:
    """The axes' legend entries, with dots big enough to see."""
    lines = require("matplotlib.lines", "plot", "drawing the picture")
    handles, _ = axes.get_legend_handles_labels()
    return [
        lines.Line2D([], [], marker=".", linestyle="none", markersize=8, color=handle.get_color(),
                     label=handle.get_label())
        if isinstance(handle, lines.Line2D) and handle.get_marker() == "." else handle
        for handle in handles
    ]


def square(centre: np.ndarray, half_size: float) -> Any:
    patches = require("matplotlib.patches", "plot", "drawing the picture")
    return patches.Rectangle(tuple(centre - half_size), 2 * half_size, 2 * half_size, fill=False,
                             edgecolor=MARK_COLOUR, linewidth=1.5, zorder=5)


def place_letters(axes: Any, marks: list[tuple[str, np.ndarray]]) -> None:
    """Letters beside their marks, each at the first offset where it overlaps no letter before it."""
    renderer = axes.figure.canvas.get_renderer()
    placed: list[Any] = []
    for letter, spot in marks:
        for offset in LETTER_OFFSETS:
            text = axes.annotate(letter, spot, xytext=offset, textcoords="offset points", color=MARK_COLOUR,
                                 fontweight="bold", zorder=6)
            text.set_in_layout(False)
            box = text.get_window_extent(renderer)
            if not any(box.overlaps(other) for other in placed) or offset == LETTER_OFFSETS[-1]:
                placed.append(box)
                break
            text.remove()


def label_rows(axes: Any, rows: list[tuple[str, Any]], centre: np.ndarray, half_size: float) -> None:
    """Names each crop row on its line, as far as it can from the row's end at the junction (the two
    rows of a junction run from there in opposite directions), and nearer only where a label
    would overlap one placed before it."""
    renderer = axes.figure.canvas.get_renderer()
    reach = LABEL_REACH * half_size
    placed: list[Any] = []
    for name, ends in rows:
        if ends is None or not np.isfinite(ends).all():
            continue
        visible = clipped(ends, centre - reach, centre + reach)
        if visible is None:
            continue
        junction_end = min(ends, key=lambda xy: float(np.hypot(*(xy - centre))))
        near, far = sorted(visible, key=lambda xy: float(np.hypot(*(xy - junction_end))))
        for share in (1.0, 0.75, 0.5, 0.25, 0.0):
            text = axes.annotate(name, near + share * (far - near), ha="center", va="center", fontsize="small",
                                 color=ROW_COLOUR, zorder=6,
                                 bbox={"boxstyle": "round,pad=0.2", "facecolor": "white", "edgecolor": ROW_COLOUR,
                                       "linewidth": 0.5, "alpha": 0.85})
            text.set_in_layout(False)
            box = text.get_window_extent(renderer)
            if not any(box.overlaps(other) for other in placed) or share == 0.0:
                placed.append(box)
                break
            text.remove()


def clipped(ends: np.ndarray, low: np.ndarray, high: np.ndarray) -> tuple[np.ndarray, np.ndarray] | None:
    """The part of the segment `ends` (start, end) inside the box [low, high], or None."""
    start, end = ends
    along = end - start
    first, last = 0.0, 1.0
    for axis in range(2):
        if along[axis] == 0.0:
            if not low[axis] <= start[axis] <= high[axis]:
                return None
            continue
        enter, leave = sorted(((low[axis] - start[axis]) / along[axis], (high[axis] - start[axis]) / along[axis]))
        first, last = max(first, enter), min(last, leave)
    if not first <= last:
        return None
    return start + first * along, start + last * along


def junction_windows(connected: np.ndarray, points: np.ndarray, information: np.ndarray, scene: Scene) -> list[Any]:
    """(centre, half-size, title, rows) of the junctions that dropped the most, one per pair of
    crop rows; `rows` names the pair's two rows with their ends.

    A window frames the points dropped where the two rows meet, from both sides.
    """
    if points.shape[1] < 4:
        return []
    drops = scene.drops
    junctions = drops.junctions_by_drops()
    pair_of = {junction: crop_row_pair(connected, *junction) for junction in junctions}
    windows = []
    for pair in dict.fromkeys(pair_of.values()):
        sides = [junction for junction in junctions if pair_of[junction] == pair]
        in_pair = np.zeros(points.shape[0], dtype=bool)
        for record, slot in sides:
            in_pair |= (drops.dropping_record == record) & (drops.dropping_slot == slot)
        xy = scene.xy[in_pair]
        xy = xy[np.isfinite(xy).all(axis=1)]
        if xy.shape[0] == 0:
            continue
        low, high = xy.min(axis=0), xy.max(axis=0)
        half_size = ZOOM_MARGIN * max(float(np.max(high - low)) / 2, 1e-6)
        windows.append((
            (low + high) / 2, half_size, junction_title(connected, drops, sides),
            junction_rows(connected, information, scene, *sides[0]),
        ))
        if len(windows) == ZOOMED_JUNCTIONS:
            break
    return windows


def junction_title(connected: np.ndarray, drops: JunctionDrops, sides: list[tuple[int, int]]) -> str:
    """Who dropped how many: `own -> neighbour` per side of the junction."""
    return "\n".join(
        f"{own_row_label(connected, record)} -> {neighbour_row_label(connected, record, slot)}: "
        f"{drops.dropped[record, slot]:,} dropped"
        for record, slot in sides
    )


def junction_rows(connected: np.ndarray, information: np.ndarray, scene: Scene, record: int, slot: int) -> list[Any]:
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
        (name, scene.ends[rows[0]] if rows.size else None)
        for name, rows in (
            (own_row_label(connected, record), own_rows),
            (neighbour_row_label(connected, record, slot), neighbour_rows),
        )
    ]


def crop_row_pair(connected: np.ndarray, record: int, slot: int) -> frozenset[str]:
    return frozenset({own_row_label(connected, record), neighbour_row_label(connected, record, slot)})


def stretch_window(scene: Scene) -> tuple[np.ndarray, float] | None:
    """(centre, half-size) of a window onto a few lines, when the lines lie closer together than
    the whole field's panel can show apart; centred on the link nearest the field's middle."""
    spacing = line_spacing(scene)
    finite = scene.xy[np.isfinite(scene.xy).all(axis=1)]
    if spacing is None or len(finite) == 0:
        return None
    extent = finite.max(axis=0)  # from the corner at (0, 0)
    pixels_per_unit = min(OVERVIEW_PIXELS[0] / max(extent[0], 1e-12), OVERVIEW_PIXELS[1] / max(extent[1], 1e-12))
    if spacing * pixels_per_unit >= DENSE_PIXELS:
        return None
    middle = extent / 2
    spots = scene.links.mean(axis=1) if len(scene.links) else np.nanmean(scene.ends, axis=1)
    spots = spots[np.isfinite(spots).all(axis=1)]
    centre = spots[np.argmin(np.hypot(*(spots - middle).T))] if len(spots) else middle
    return centre, STRETCH_LINES * spacing / 2


def line_spacing(scene: Scene) -> float | None:
    """The usual distance from a crop row to the nearest row beside it that is not its neighbour
    (measured for a sample of rows), or None where no row has one beside it."""
    ends = scene.ends
    lined = np.flatnonzero(np.isfinite(ends).all(axis=(1, 2)) & (ends[:, 0] != ends[:, 1]).any(axis=1))
    if len(lined) < 2:
        return None
    middle = ends[lined].mean(axis=1)
    along = ends[lined, 1] - ends[lined, 0]
    half = np.hypot(*along.T) / 2
    direction = along / (2 * half)[:, None]
    sample = np.unique(np.linspace(0, len(lined) - 1, min(SPACING_SAMPLE, len(lined))).astype(np.intp))
    nearest = []
    for row in sample:
        offset = middle - middle[row]
        across = np.abs(direction[row, 0] * offset[:, 1] - direction[row, 1] * offset[:, 0])
        beside = (np.abs(offset @ direction[row]) < half[row] + half) & (np.abs(direction @ direction[row]) > PARALLEL_COSINE)
        beside[row] = False
        for other in np.flatnonzero(beside):
            if tuple(sorted((int(lined[row]), int(lined[other])))) in scene.linked:
                beside[other] = False
        if beside.any():
            nearest.append(float(across[beside].min()))
    return float(np.median(nearest)) if nearest else None
