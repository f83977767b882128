"""Deliveries as a plant writes them, one line at a time: the rows a live bed takes from a growing file.

A plant's file grows by whole lines. Only lines that end in a line break are
read, so a line the plant is still writing waits for the next look. Lines are
read by the rules `simulate` reads a file by (the header's names, the
dialect's separator and decimal mark, dates, which columns are amounts and
which are text, the weighbridge's mass before a volume column, the bound on a
quality value), but each line stands on its own, so that one unreadable line
is set aside with its reason while the others are taken.

Times are seconds: a number as it stands, a date as seconds since
1970-01-01 (as written, without a time zone), so that a bed followed for days
keeps one clock.
"""

from __future__ import annotations

import csv
import hashlib
import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import BinaryIO

import numpy as np

from . import validation
from .series import no_quality_columns
from .tables import DateFormat, Origin, column_numbers, header_names, parse_dates
from .units import DENSITY_TOLERANCE, MASS_COLUMNS, departure_note, mass_column, volume_column_of, volume_departure

# Longest line taken; a longer one is refused rather than read into memory whole.
MAX_LINE_BYTES = 64 * 1024
# Bytes kept of a line too long to take: what rejects.csv shows of it, and what recognises it again.
LONG_LINE_KEPT = 256


@dataclass(frozen=True)
class Dialect:
    """How the plant writes its deliveries.

    sep, decimal: field separator and decimal mark (";" and "," in much of Europe).
    time_column: seconds or dates; volume_column: m³ per delivery. A mass
        column (tonnes, t or mass_t) and the bed's bulk density give the
        volume, also beside a volume column: the weighbridge is the measurement.
    date_format, dayfirst: how dates are written (see DateFormat); a numeric
        date that reads both ways is refused unless one of them says which.
    qualities: the quality columns; by default every column but the time and
        the amounts in which a cell of the first lines read holds a number.
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
    """One delivery: when it was stacked (s), its volume (m³) and its quality values; written_m3: what
    its volume column says, when its volume was taken from its mass (see departures)."""

    time_s: float
    volume_m3: float
    values: tuple[float, ...]
    written_m3: float | None = field(default=None, compare=False)


@dataclass(frozen=True)
class LongLine:
    """A line longer than MAX_LINE_BYTES, known by its length and its ends; never read whole."""

    length: int
    head: bytes
    tail: bytes

    def __len__(self) -> int:
        return self.length


Line = bytes | LongLine


def shown(line: Line) -> bytes:
    """What rejects.csv shows of a line: a long one's first bytes."""
    return line.head + b"..." if isinstance(line, LongLine) else line


def recognised_by(line: Line) -> bytes:
    """The bytes at a line's end that a ledger hashes to recognise it: a long line's last ones."""
    return line.tail if isinstance(line, LongLine) else line


def row_hash(line: bytes) -> str:
    """A short fingerprint of a line as it stands in the file, to recognise it again."""
    return hashlib.blake2b(line, digest_size=16).hexdigest()


class RowReader:
    """Reads delivery lines of a file whose header line is `header`.

    qualities: the quality columns chosen when the first lines were read (see settle), when the dialect
    names none.
    """

    def __init__(
        self,
        header: str,
        dialect: Dialect,
        bulk_density_t_per_m3: float,
        qualities: Sequence[str] | None = None,
    ) -> None:
        self.dialect = dialect
        self.columns = header_names(header, dialect.sep)
        if dialect.time_column not in self.columns:
            raise ValueError(f"no time column {dialect.time_column!r} among {self.columns}")
        self.mass = mass_column(self.columns)
        volume = volume_column_of(self.columns, dialect.volume_column)
        self.volume = volume if volume in self.columns else None
        if self.volume is None and self.mass is None:
            raise ValueError(
                f"no volume column {dialect.volume_column!r} and no mass column {list(MASS_COLUMNS)} "
                f"among {self.columns}"
            )
        self.bulk_density_t_per_m3 = bulk_density_t_per_m3
        amounts = no_quality_columns(self.columns, dialect.time_column, volume)
        self.candidates = tuple(name for name in self.columns if name not in amounts)
        named = dialect.qualities or (tuple(qualities) if qualities else None)
        if named is not None:
            missing = [name for name in named if name not in self.columns]
            if missing:
                raise ValueError(f"quality columns {missing} are not among {self.columns}")
        elif not self.candidates:
            raise ValueError(f"no quality column among {self.columns}")
        self.qualities: tuple[str, ...] | None = None if named is None else tuple(named)
        self._dates = DateFormat(dialect.date_format, dialect.dayfirst)

    def settle(self, lines: Sequence[Line]) -> tuple[str, ...]:
        """Chooses the quality columns from the first lines, as simulate does from a whole file: every
        column but the time and the amounts in which some cell reads as a number; a column of text (a
        truck, a face) is left out. Returns the columns left out. Lines in which no such cell reads as a
        number choose nothing: they cannot be read, and the next lines choose."""
        if self.qualities is not None:
            return ()
        read = self._numbers(self._cells(lines)[0], self.candidates)
        numbers = [name for name in self.candidates if not np.isnan(read[name][0]).all()]
        if numbers:
            self.qualities = tuple(numbers)
        return tuple(name for name in self.candidates if name not in numbers) if numbers else ()

    def read(self, line: bytes, line_number: int, source: str) -> Delivery:
        """The delivery a line holds; ValueError with the reason when it cannot be read."""
        [read] = self.read_lines([line], line_number, source)
        if isinstance(read, str):
            raise ValueError(read)
        return read

    def read_lines(self, lines: Sequence[Line], first_line: int, source: str) -> list[Delivery | str]:
        """The delivery each line holds, or the reason it cannot be read; the lines are numbered from
        first_line. The first lines ever read settle the quality columns."""
        self.settle(lines)
        # Unsettled, every line that splits has a candidate column that is no number: its reason.
        names = self.qualities or self.candidates
        cells, reasons = self._cells(lines)
        kept = [k for k, reason in enumerate(reasons) if reason is None]
        amount_column = self.mass if self.mass is not None else self.volume
        assert amount_column is not None
        stated = self.volume if self.mass is not None else None
        columns = [self.dialect.time_column, amount_column, *([stated] if stated else []), *names]
        read = self._numbers(cells, columns)
        time = self._times(read[self.dialect.time_column], [first_line + k for k in kept], source)
        amount = self._amounts(read[amount_column], amount_column)
        volume = amount[0] / self.bulk_density_t_per_m3 if self.mass is not None else amount[0]
        written = self._amounts(read[stated], stated) if stated is not None else None
        qualities = [self._qualities(read[name], name) for name in names]
        results: list[Delivery | str] = [reason or "" for reason in reasons]
        for row, k in enumerate(kept):
            reason = time[1][row] or amount[1][row] or next((q[1][row] for q in qualities if q[1][row]), None)
            if reason is None and not volume[row] > 0:
                reason = f"the amount must be positive, got {volume[row]:g} m³"
            if reason is not None:
                results[k] = reason
                continue
            written_m3 = float(written[0][row]) if written is not None and written[1][row] is None else None
            values = tuple(float(q[0][row]) for q in qualities)
            results[k] = Delivery(float(time[0][row]), float(volume[row]), values, written_m3)
        return results

    def departures(self, deliveries: Sequence[Delivery], lines: Sequence[int]) -> str | None:
        """What the volume column of `deliveries` (read from `lines`) says against their mass, when one
        departs from it beyond the tolerance (see units.departure_note); None when none does."""
        stated = [(d, line) for d, line in zip(deliveries, lines, strict=True) if d.written_m3 is not None]
        if not stated or self.mass is None or self.volume is None:
            return None
        density = self.bulk_density_t_per_m3
        mass_t = np.array([d.volume_m3 for d, _ in stated]) * density
        written_m3 = np.array([d.written_m3 for d, _ in stated])
        if np.all(np.abs(volume_departure(mass_t, written_m3, density)) <= DENSITY_TOLERANCE):
            return None
        names = (self.mass, self.volume)
        return departure_note(mass_t, written_m3, density, names=names, lines=[line for _, line in stated])

    def _cells(self, lines: Sequence[Line]) -> tuple[list[list[str]], list[str | None]]:
        """The text cells of each line that splits into as many fields as the header names, and the reason
        of each line that does not."""
        cells: list[list[str]] = []
        reasons: list[str | None] = []
        for line in lines:
            if len(line) > MAX_LINE_BYTES or isinstance(line, LongLine):
                reasons.append(f"the line is {len(line):,} bytes, more than the {MAX_LINE_BYTES:,} taken")
                continue
            try:
                text = line.decode("utf-8").rstrip("\r\n")
            except UnicodeDecodeError:
                reasons.append("the line is not UTF-8 text")
                continue
            try:
                row = next(csv.reader([text], delimiter=self.dialect.sep, strict=True), [])
            except csv.Error as error:
                reasons.append(f"not a readable CSV line: {error}")
                continue
            if len(row) != len(self.columns):
                reasons.append(f"{len(row)} fields where the header names {len(self.columns)}")
                continue
            cells.append(row)
            reasons.append(None)
        return cells, reasons

    def _numbers(self, cells: list[list[str]], columns: Sequence[str]) -> dict[str, tuple[np.ndarray, list[str]]]:
        """Each column's numbers and text cells."""
        texts = {name: [row[self.columns.index(name)] for row in cells] for name in dict.fromkeys(columns)}
        return {name: (column_numbers(text, self.dialect.decimal)[0], text) for name, text in texts.items()}

    def _amounts(self, read: tuple[np.ndarray, list[str]], column: str) -> tuple[np.ndarray, list[str | None]]:
        """A column's numbers, and for each row the reason it cannot be read, or None."""
        values, text = read
        return values, [self._unreadable(column, cell, value) for cell, value in zip(text, values, strict=True)]

    def _qualities(self, read: tuple[np.ndarray, list[str]], column: str) -> tuple[np.ndarray, list[str | None]]:
        values, reasons = self._amounts(read, column)
        for row in np.flatnonzero(validation.outsized(values)):
            reasons[row] = reasons[row] or validation.outsized_reason(column, float(values[row]))
        return values, reasons

    def _unreadable(self, column: str, cell: str, value: float) -> str | None:
        text = cell.strip()
        if math.isnan(value):
            try:
                # A number beyond the floats' range (1e309) reads as no number; say what it is.
                overflows = math.isinf(float(text.replace(self.dialect.decimal, ".")))
            except ValueError:
                overflows = False
            return f"column {column!r}: {text!r} is not {'a finite' if overflows else 'a'} number"
        if not math.isfinite(value):
            return f"column {column!r}: {text!r} is not a finite number"
        return None

    def _times(
        self, read: tuple[np.ndarray, list[str]], line_numbers: list[int], source: str
    ) -> tuple[np.ndarray, list[str | None]]:
        """Each row's time in seconds: a number as it stands, a date as seconds since the epoch."""
        column = self.dialect.time_column
        values, text = read
        reasons: list[str | None] = [None] * len(text)
        for row in np.flatnonzero(~np.isfinite(values)):
            cell = text[row].strip()
            if math.isinf(values[row]):
                reasons[row] = f"column {column!r}: {cell!r} is not a finite number"
            elif not cell:
                reasons[row] = f"column {column!r}: no time given"
            elif not any(character.isdigit() for character in cell):
                # pandas reads "now" and "today" as dates: a plant's file never means them.
                reasons[row] = f"column {column!r}: {cell!r} is neither a number of seconds nor a date"
            else:
                # Only dates need pandas: a feed timed in seconds is followed without it.
                import pandas as pd

                origin = Origin(source, np.array([line_numbers[row]]))
                try:
                    stamp = parse_dates(pd.Series([cell]), column, self._dates, origin=origin).iloc[0]
                except ValueError as error:
                    reasons[row] = str(error)
                    continue
                # Dates are read in UTC (an offset-less date as written): seconds since the epoch.
                values[row] = float(stamp.timestamp())
        return values, reasons


def stream_line(stream: BinaryIO) -> Line:
    """The next line of a stream (b"" at its end); one longer than MAX_LINE_BYTES is read on to its end in
    pieces, never whole, and kept as a LongLine."""
    line = stream.readline(MAX_LINE_BYTES + 1)
    if len(line) <= MAX_LINE_BYTES or line.endswith(b"\n"):
        return line
    head, tail, length = line[:LONG_LINE_KEPT], line[-LONG_LINE_KEPT:], len(line)
    while not tail.endswith(b"\n") and (more := stream.readline(MAX_LINE_BYTES)):
        length += len(more)
        tail = (tail + more)[-LONG_LINE_KEPT:]
    return LongLine(length, head, tail)


def complete_lines(data: bytes) -> Sequence[bytes]:
    """The whole lines of `data`, each with its line break; a last line without one is left out."""
    lines = data.split(b"\n")
    return [line + b"\n" for line in lines[:-1]]
