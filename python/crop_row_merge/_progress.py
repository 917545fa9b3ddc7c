"""The batch's progress bar: one line on standard error counting finished fields, redrawn in
place at most ten times a second, drawn where the module draws its own bar; and that rule."""

from __future__ import annotations

import os
import sys
import time
from typing import TYPE_CHECKING, TextIO

if TYPE_CHECKING:
    from ._summary import SummaryRow

BAR_CELLS = 30
REDRAW_SECONDS = 0.1
DEFAULT_COLUMNS = 80


def stderr_draws(stream: TextIO | None = None) -> bool:
    """Whether a progress bar is drawn on `stream` (standard error): as the module decides for its
    own, when it is a terminal, NO_COLOR is not set (even empty), and TERM is set and not "dumb"."""
    stream = sys.stderr if stream is None else stream
    return stream.isatty() and "NO_COLOR" not in os.environ and os.environ.get("TERM", "dumb") != "dumb"


class FieldBar:
    def __init__(self, total: int, stream: TextIO | None = None) -> None:
        self.stream = sys.stderr if stream is None else stream
        self.total, self.done, self.failed = total, 0, 0
        self.enabled = stderr_draws(self.stream)
        self.started = time.monotonic()
        self.drawn_at: float | None = None

    def advance(self, row: SummaryRow) -> None:
        """Counts one finished field, given its summary row."""
        self.done += 1
        self.failed += row["status"] == "failed"
        if self.enabled and (
            self.done == self.total
            or self.drawn_at is None
            or time.monotonic() - self.drawn_at >= REDRAW_SECONDS
        ):
            self.draw()

    def close(self) -> None:
        """Leaves the final count on its own line."""
        if self.enabled:
            self.draw()
            self.stream.write("\n")
            self.stream.flush()

    def draw(self) -> None:
        self.drawn_at = time.monotonic()
        minutes, seconds = divmod(int(self.drawn_at - self.started), 60)
        filled = BAR_CELLS * self.done // max(self.total, 1)
        line = (
            f"{self.done}/{self.total} fields [{'#' * filled}{'-' * (BAR_CELLS - filled)}]"
            f" {self.failed} failed {minutes}:{seconds:02d}"
        )
        try:
            # A terminal that does not know its size reports 0 columns.
            width = os.get_terminal_size(self.stream.fileno()).columns or DEFAULT_COLUMNS
        except OSError:
            width = DEFAULT_COLUMNS
        self.stream.write("\r\x1b[2K" + line[: max(width - 1, 1)])
        self.stream.flush()
