"""Deliveries as a plant writes them, one line at a time: the rows a live bed takes from a growing file.

A plant's file grows by whole lines. Only lines that end in a line break are
read, so a line the plant is still writing waits for the next look. Every
line is read on its own, in the plant's dialect (separator, decimal mark,
dates), so that one unreadable line is set aside with its reason while the
others are taken.

Times are seconds: a number as it stands, a date as seconds since
1970-01-01 (as written, without a time zone), so that a bed followed for days
keeps one clock.
"""

from __future__ import annotations

import csv
import hashlib
import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from .tables import DateFormat, Origin, parse_dates
from .units import MASS_COLUMNS, mass_column

# Longest line taken; a longer one is refused rather than read into memory whole.
MAX_LINE_BYTES = 64 * 1024


@dataclass(frozen=True)
class Dialect:
    """How the plant writes its deliveries.

    sep, decimal: field separator and decimal mark (";" and "," in much of Europe).
    time_column: seconds or dates; volume_column: m³ per delivery. Without a
        volume column, a mass column (tonnes, t or mass_t) and the bed's bulk
        density give the volume.
    date_format, dayfirst: how dates are written (see DateFormat); a numeric
        date that reads both ways is refused unless one of them says which.
    qualities: the quality columns; by default every column but time, volume
        and mass.
    """

    sep: str = ","
    decimal: str = "."
    time_column: str = "timestamp"
    volume_column: str = "volume"
    date_format: str | None = None
    dayfirst: bool | None = None
    qualities: tuple[str, ...] | None = None

    def __post_init__(self) -> None:
        if len(self.sep) != 1 or len(self.decimal) != 1:
            raise ValueError(f"sep and decimal must be single characters, got {self.sep!r} and {self.decimal!r}")
        if self.sep == self.decimal:
            raise ValueError(f"the separator and the decimal mark are both {self.sep!r}")


@dataclass(frozen=True)
class Delivery:
    """One delivery: when it was stacked (s), its volume (m³) and its quality values."""

    time_s: float
    volume_m3: float
    values: tuple[float, ...]


def row_hash(line: bytes) -> str:
    """A short fingerprint of a line as it stands in the file, to recognise it again."""
    return hashlib.blake2b(line, digest_size=16).hexdigest()


class RowReader:
    """Reads delivery lines of a file whose header line is `header`."""

    def __init__(self, header: str, dialect: Dialect, bulk_density_t_per_m3: float) -> None:
        self.dialect = dialect
        self.columns = next(csv.reader([header.rstrip("\r\n")], delimiter=dialect.sep), [])
        if len(set(self.columns)) != len(self.columns):
            raise ValueError(f"the header names a column twice: {self.columns}")
        if dialect.time_column not in self.columns:
            raise ValueError(f"no time column {dialect.time_column!r} among {self.columns}")
        self.mass = mass_column(self.columns) if dialect.volume_column not in self.columns else None
        if dialect.volume_column not in self.columns and self.mass is None:
            raise ValueError(
                f"no volume column {dialect.volume_column!r} and no mass column {list(MASS_COLUMNS)} "
                f"among {self.columns}"
            )
        self.bulk_density_t_per_m3 = bulk_density_t_per_m3
        amount = {dialect.time_column, dialect.volume_column, *MASS_COLUMNS}
        names = dialect.qualities or tuple(name for name in self.columns if name not in amount)
        missing = [name for name in names if name not in self.columns]
        if missing or not names:
            raise ValueError(f"quality columns {missing or '(none)'} are not among {self.columns}")
        self.qualities: tuple[str, ...] = tuple(names)
        self._dates = DateFormat(dialect.date_format, dialect.dayfirst)

    def read(self, line: bytes, line_number: int, source: str) -> Delivery:
        """The delivery a line holds; ValueError with the reason when it cannot be read."""
        if len(line) > MAX_LINE_BYTES:
            raise ValueError(f"the line is {len(line):,} bytes, more than the {MAX_LINE_BYTES:,} taken")
        try:
            text = line.decode("utf-8").rstrip("\r\n")
        except UnicodeDecodeError:
            raise ValueError("the line is not UTF-8 text") from None
        cells = next(csv.reader([text], delimiter=self.dialect.sep), [])
        if len(cells) != len(self.columns):
            raise ValueError(f"{len(cells)} fields where the header names {len(self.columns)}")
        row = dict(zip(self.columns, cells, strict=True))
        time = self._time(row[self.dialect.time_column], line_number, source)
        if self.mass is not None:
            volume = self._number(row, self.mass) / self.bulk_density_t_per_m3
        else:
            volume = self._number(row, self.dialect.volume_column)
        if not volume > 0:
            raise ValueError(f"the amount must be positive, got {volume:g} m³")
        return Delivery(time, volume, tuple(self._number(row, name) for name in self.qualities))

    def _number(self, row: dict[str, str], column: str) -> float:
        text = row[column].strip()
        try:
            value = float(text.replace(self.dialect.decimal, ".") if self.dialect.decimal != "." else text)
        except ValueError:
            raise ValueError(f"column {column!r}: {text!r} is not a number") from None
        if not math.isfinite(value):
            raise ValueError(f"column {column!r}: {text!r} is not a finite number")
        return value

    def _time(self, text: str, line_number: int, source: str) -> float:
        import pandas as pd

        column = self.dialect.time_column
        try:
            return self._number({column: text}, column)
        except ValueError:
            pass
        if not any(character.isdigit() for character in text):
            # pandas reads "now" and "today" as dates: a plant's file never means them.
            raise ValueError(f"column {column!r}: {text.strip()!r} is neither a number of seconds nor a date")
        origin = Origin(source, np.array([line_number]))
        stamp = parse_dates(pd.Series([text.strip()]), column, self._dates, origin=origin).iloc[0]
        if pd.isna(stamp):
            raise ValueError(f"column {column!r}: no time given")
        # Dates are read in UTC (an offset-less date as written): seconds since the epoch.
        return float(stamp.timestamp())


def complete_lines(data: bytes) -> Sequence[bytes]:
    """The whole lines of `data`, each with its line break; a last line without one is left out."""
    lines = data.split(b"\n")
    return [line + b"\n" for line in lines[:-1]]
