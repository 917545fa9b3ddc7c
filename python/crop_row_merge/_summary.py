"""A batch's summary, OUTDIR/summary.csv: one row per field, kept up to date while the batch runs,
merged with the rows already there (of earlier runs, and of other batches writing to the same
OUTDIR at the same time) under a lock on OUTDIR, and always replaced whole."""

from __future__ import annotations

import contextlib
import fcntl
import os
import pathlib
import time
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, TextIO, TypedDict

from ._atomic import replaced_atomically
from ._errors import FieldError, printable
from ._extras import require

if TYPE_CHECKING:
    import pandas

SUMMARY_FILE = "summary.csv"
SUMMARY_COLUMNS = ("field", "status", "points_in", "points_kept", "seconds", "output_bytes", "message", "warnings")
COUNT_COLUMNS = ("points_in", "points_kept", "output_bytes")
# A batch of many small fields rewrites its summary at most this often.
REWRITE_SECONDS = 1.0


class SummaryRow(TypedDict):
    field: str
    status: str  # "ok", "failed" or "skipped"
    points_in: int | None
    points_kept: int | None
    seconds: float | None
    output_bytes: int | None
    message: str
    warnings: str  # what the field's checks warned of


def summary_row(
    field: str,
    status: str,
    points_in: int | None = None,
    points_kept: int | None = None,
    seconds: float | None = None,
    output_bytes: int | None = None,
    message: str = "",
    warnings: str = "",
) -> SummaryRow:
    return SummaryRow(
        field=field,
        status=status,
        points_in=points_in,
        points_kept=points_kept,
        seconds=None if seconds is None else round(seconds, 4),
        output_bytes=output_bytes,
        message=printable(message),
        warnings=printable(warnings),
    )


class Summary:
    """The summary of one batch of `fields` in OUTDIR: `record` each field's row as it is known;
    the file is rewritten when `REWRITE_SECONDS` have passed since the last time, and by
    `write`. OUTDIR must exist."""

    def __init__(self, out_dir: pathlib.Path, fields: Iterable[str]) -> None:
        self.path = out_dir / SUMMARY_FILE
        # Fields by their names as the file shows them.
        self.order = {printable(field): position for position, field in enumerate(fields)}
        self.rows: dict[str, SummaryRow] = {}
        # What the file held when the batch began; one this package cannot read is refused here,
        # before any work.
        with self.locked():
            self.earlier = self.read()
        self.written_at = time.monotonic()

    def earlier_row(self, field: str) -> SummaryRow | None:
        """The row that OUTDIR's summary held for `field` when the batch began."""
        return self.earlier.get(printable(field))

    def record(self, row: SummaryRow) -> None:
        self.rows[printable(row["field"])] = row
        if time.monotonic() - self.written_at >= REWRITE_SECONDS:
            self.write()

    def write(self) -> None:
        """Merges this batch's rows into the file: rows of other fields stay as they are and where
        they are, this batch's replace their own, and those new to the file follow; among the
        places its rows take, they come in the batch's order."""
        with self.locked():
            rows = self.read()
            rows.update(self.rows)
            fields = list(rows)
            places = [place for place, field in enumerate(fields) if field in self.rows]
            for place, field in zip(places, sorted((fields[p] for p in places), key=self.order.__getitem__)):
                fields[place] = field
            try:
                with replaced_atomically(self.path) as temporary, open(temporary, "w", newline="") as file:
                    write_rows(file, (rows[field] for field in fields))
            except OSError as error:
                raise FieldError(f"cannot write {self.path}: {error.strerror or error}") from error
        self.written_at = time.monotonic()

    def read(self) -> dict[str, SummaryRow]:
        try:
            with open(self.path, newline="") as file:
                return {row["field"]: row for row in read_rows(file, self.path)}
        except FileNotFoundError:
            return {}
        except OSError as error:
            raise FieldError(f"cannot read {self.path}: {error.strerror or error}") from error

    @contextlib.contextmanager
    def locked(self) -> Iterator[None]:
        """Holds the lock on OUTDIR that batches sharing it take to change its summary."""
        folder = os.open(self.path.parent, os.O_RDONLY | os.O_DIRECTORY)
        try:
            fcntl.flock(folder, fcntl.LOCK_EX)
            yield
        finally:
            os.close(folder)


def summary_frame(rows: Iterable[SummaryRow]) -> pandas.DataFrame:
    """Rows as a DataFrame: counts as nullable integers, seconds as floats, empty where unknown."""
    pandas = require("pandas", "batch", "a batch's summary")
    frame = pandas.DataFrame(list(rows), columns=list(SUMMARY_COLUMNS))
    return frame.astype({**dict.fromkeys(COUNT_COLUMNS, "Int64"), "seconds": "float64"})


def write_rows(file: TextIO, rows: Iterable[SummaryRow]) -> None:
    frame = summary_frame(rows)
    frame["field"] = frame["field"].map(printable)
    frame.to_csv(file, index=False, lineterminator="\n")


def read_rows(file: TextIO, path: pathlib.Path) -> Iterator[SummaryRow]:
    """Rows of a summary this package wrote, or an earlier version of it (columns it lacks are
    empty); a file that is no such summary is refused rather than replaced."""
    pandas = require("pandas", "batch", "a batch's summary")
    try:
        frame = pandas.read_csv(file, dtype=str, keep_default_na=False)
        if not {"field", "status"} <= set(frame.columns):
            raise ValueError("it has no field and status columns")
        for line in frame.to_dict("records"):
            values = {name: line.get(name, "") for name in SUMMARY_COLUMNS}
            counts = {name: int(values[name]) if values[name] else None for name in COUNT_COLUMNS}
            seconds = float(values["seconds"]) if values["seconds"] else None
            yield summary_row(
                values["field"], values["status"], seconds=seconds, message=values["message"],
                warnings=values["warnings"], **counts,
            )
    except (ValueError, pandas.errors.ParserError) as error:
        raise FieldError(
            f"{path} is not a summary this package can read ({error}); move it away or choose another output folder"
        ) from error
