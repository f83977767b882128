"""Dates as users write them: ISO 8601, or numbers with day and month in either order.

The order of day and month is read from the dates themselves, and a file whose
every date reads both ways is refused rather than guessed. Errors name the
place as the user sees it (see Origin).
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from .errors import TableError

if TYPE_CHECKING:
    import pandas as pd

# Day and month as the first two numbers of a date, in either order: 03.04.2026, 4/3/26 10:00.
_NUMERIC_DATE = re.compile(r"^\s*(\d{1,2})([./-])(\d{1,2})\2(\d{2}|\d{4})(?!\d)")


@dataclass(frozen=True)
class DateFormat:
    """How dates are written in an input.

    date_format: a strptime format such as "%d.%m.%Y %H:%M"; by default the
        dates' own shape decides (ISO 8601, or numbers day and month).
    dayfirst: for numeric dates without a format, whether the day comes
        first; None reads it from the dates themselves and raises when every
        date reads both ways.
    """

    date_format: str | None = None
    dayfirst: bool | None = None


@dataclass(frozen=True)
class Origin:
    """Where a table came from, to name a cell in an error: the file, how its lines
    are called ("line" in a CSV, "row" in a sheet) and the line of every row."""

    source: str
    lines: np.ndarray | None = None
    word: str = "line"

    def at(self, position: int | None, column: str) -> str:
        parts = [self.source] if self.source else []
        if position is not None and self.lines is not None:
            parts.append(f"{self.word} {int(self.lines[position])}")
        place = " ".join(parts)
        return f"{place}, column {column!r}" if place else f"column {column!r}"


def parse_dates(
    values: pd.Series, column: str, dates: DateFormat = DateFormat(), *, origin: Origin = Origin("table")
) -> pd.Series:
    """Text dates as timestamps; ValueError naming the line and the column for a date that does not read.

    Numeric dates whose day and month could be read either way, for every
    row, raise unless dates.date_format or dates.dayfirst says which: a silent
    guess misreads every date of a day-first file whose days are all 12 or less.
    Empty cells become NaT, for the caller to refuse or accept. Dates are read in UTC, so that dates
    whose UTC offset changes (at the clock change) lie as far apart as they are; dates without an
    offset read as they are written.
    """
    import pandas as pd

    text = values.astype("string").str.strip()
    present = text.notna() & (text != "")
    if dates.date_format is not None:
        stamps = pd.to_datetime(text.where(present), format=dates.date_format, errors="coerce", utc=True)
        _check_parsed(text, present, stamps, column, origin, f"does not read as the format {dates.date_format!r}")
        return stamps
    parts = text[present].str.extract(_NUMERIC_DATE)
    if len(parts) and parts[0].notna().all():
        first = parts[0].astype(int).to_numpy()
        second = parts[2].astype(int).to_numpy()
        misfits = {True: (second > 12) | (first > 31), False: (first > 12) | (second > 31)}
        dayfirst = dates.dayfirst
        if dayfirst is None:
            if not misfits[True].any() and not misfits[False].any():
                example = str(text[present].iloc[0])
                raise TableError(
                    f"{origin.at(None, column)}: every date reads both day-first and month-first "
                    f"({example!r}); say which with dayfirst or a date format"
                )
            # The order that more of the leading dates allow; its first misfit is the error.
            dayfirst = _first_true(misfits[True]) >= _first_true(misfits[False])
        if misfits[dayfirst].any():
            order = "day-first" if dayfirst else "month-first"
            position = int(np.flatnonzero(present.to_numpy())[_first_true(misfits[dayfirst])])
            raise TableError(f"{origin.at(position, column)}: {text.iloc[position]!r} is not a {order} date")
        stamps = pd.to_datetime(text.where(present), dayfirst=dayfirst, format="mixed", errors="coerce", utc=True)
        _check_parsed(text, present, stamps, column, origin, "does not read as a date")
        return stamps
    stamps = pd.to_datetime(text.where(present), format="ISO8601", errors="coerce", utc=True)
    _check_parsed(
        text, present, stamps, column, origin, "is neither a number of seconds nor a date (ISO 8601, or give a format)"
    )
    return stamps


def holds_dates(column: pd.Series) -> bool:
    """Whether a column holds dates or durations: as such, or as text that reads as ISO 8601 dates
    or as numeric dates (day and month first) in every filled cell."""
    import pandas as pd
    from pandas.api import types

    if types.is_datetime64_any_dtype(column) or types.is_timedelta64_dtype(column):
        return True
    if types.is_numeric_dtype(column) or types.is_bool_dtype(column):
        return False
    cells = column.dropna()
    if cells.empty:
        return False
    if cells.map(lambda cell: hasattr(cell, "year")).all():
        return True
    text = cells.astype("string").str.strip()
    text = text[text != ""]
    if text.empty or not text.str.contains(r"\d", regex=True).all():
        return False
    if pd.to_numeric(text, errors="coerce").notna().all():
        return False
    if text.str.match(_NUMERIC_DATE).all():
        return True
    return bool(pd.to_datetime(text, format="ISO8601", errors="coerce", utc=True).notna().all())


def _first_true(flags: np.ndarray) -> int:
    """Index of the first true flag; the length if there is none."""
    return int(np.argmax(flags)) if flags.any() else int(flags.size)


def _check_parsed(
    text: pd.Series,
    present: pd.Series,
    stamps: pd.Series,
    column: str,
    origin: Origin,
    expected: str,
) -> None:
    failed = (present & stamps.isna()).to_numpy()
    if failed.any():
        position = int(np.argmax(failed))
        raise TableError(f"{origin.at(position, column)}: {text.iloc[position]!r} {expected}")
