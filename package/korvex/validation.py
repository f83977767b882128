"""Checks for settings and tables at the package's boundary.

Every check raises SettingsError (a ValueError) with a message that names the setting (or the
table's row, or the line of the file it came from), the value and its unit, so
that the command line can show it as it is.
"""

from __future__ import annotations

import math
import numbers
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from ._native import draw_seed as native_draw_seed
from ._native import limits as native_limits
from ._native import settings_description as native_settings_description
from .errors import SettingsError, TableError

if TYPE_CHECKING:
    import pandas as pd

FloatArray = NDArray[np.float64]

# Seeds the native simulators take: every unsigned 64-bit integer.
SEED_LIMIT = native_limits()["max_seed"] + 1

# What one table may make us allocate. A chunk table row holds four role columns
# and the quality values, about 60 bytes with three qualities; ten million rows
# are several hundred megabytes with the intermediate arrays of a plan.
MAX_ROWS = 10_000_000
MAX_CHUNKS = 10_000_000
MAX_COLUMNS = 1_000
# Cells of a bed's height map: the engines keep a few numbers per cell.
MAX_CELLS = native_limits()["max_cells"]
_DESCRIBED = {entry["name"]: entry for entry in native_settings_description()}
# Extents of a bed (its sides, a ring's width, a slice), as the engines bound a bed's sides: beyond these
# the engines' single-precision positions and the rule's cell sizes no longer hold.
LENGTH_RANGE_M = (_DESCRIBED["length_m"]["lowest"], _DESCRIBED["length_m"]["highest"])
# Resolution, as the engines bound it; the cell limit refuses most beds long before either end.
PARTICLES_PER_M3_RANGE = (_DESCRIBED["particles_per_m3"]["lowest"], _DESCRIBED["particles_per_m3"]["highest"])
# Slices of one reclaim: the reclaim position must keep growing in single precision.
MAX_SLICES = 1_000_000
# Longest span of a time series of output (about 114 years): what dates can hold.
MAX_SPAN_H = 1e6
# Counts a plan may be given: layers beyond this lay more chunks than allowed anyway.
MAX_LAYERS = 10**9
# Particles on one pile, by engine: the work grows with every particle. The fast
# engine stacks a few million a second; the detailed one is far slower.
MAX_PARTICLES = {"fast": 10**8, "detailed": 10**6}
# Largest magnitude of a quality value read from a file: far above any analysis a plant writes, far below
# what the engines' sums over a bed and the squares behind a spread can hold.
MAX_QUALITY = 1e15


def with_unit(value: object, unit: str) -> str:
    """A value as a message shows it: 3 m, 0.5, 'no'."""
    shown = repr(value) if isinstance(value, str) else f"{value}"
    return f"{shown} {unit}" if unit else shown


def where(row: int, first_line: int | None) -> str:
    """Row `row` (from 0) of a table, as a line of its file when the table came from one."""
    return f"row {row}" if first_line is None else f"line {first_line + row}"


def real(name: str, value: object, unit: str = "") -> float:
    """A setting that must be a finite number (not a flag, not text)."""
    if isinstance(value, bool | np.bool_) or not isinstance(value, numbers.Real):
        raise SettingsError(f"{name} must be a number, got {with_unit(value, unit)}")
    number = float(value)
    if not math.isfinite(number):
        raise SettingsError(f"{name} must be finite, got {with_unit(value, unit)}")
    return number


def positive(name: str, value: object, unit: str = "") -> float:
    number = real(name, value, unit)
    if not number > 0:
        raise SettingsError(f"{name} must be positive, got {with_unit(value, unit)}")
    return number


def non_negative(name: str, value: object, unit: str = "") -> float:
    number = real(name, value, unit)
    if number < 0:
        raise SettingsError(f"{name} must be zero or positive, got {with_unit(value, unit)}")
    return number


def within(name: str, value: object, low: float, high: float, unit: str = "", *, open_ends: bool = False) -> float:
    """A number in [low, high], or in (low, high) with open_ends."""
    number = real(name, value, unit)
    inside = low < number < high if open_ends else low <= number <= high
    if not inside:
        span = f"strictly between {low:g} and {high:g}" if open_ends else f"in [{low:g}, {high:g}]"
        raise SettingsError(f"{name} must lie {span} {unit}".rstrip() + f", got {with_unit(value, unit)}")
    return number


def whole(name: str, value: object, minimum: int, maximum: int | None = None) -> int:
    """A count: a whole number of at least `minimum` (and at most `maximum`)."""
    number: float | int = real(name, value)
    # Above 2**53 a float is no longer every whole number: a seed must come back as it was given.
    if isinstance(value, numbers.Integral):
        number = int(value)
    if number != math.floor(number) or number < minimum or (maximum is not None and number > maximum):
        top = "" if maximum is None else f" and at most {maximum:,}"
        raise SettingsError(f"{name} must be a whole number of at least {minimum}{top}, got {value}")
    return int(number)


def flag(name: str, value: object) -> bool:
    """A yes/no setting: True or False, never a string whose mere presence would read as True."""
    if not isinstance(value, bool | np.bool_):
        raise SettingsError(f"{name} must be True or False, got {with_unit(value, '')}")
    return bool(value)


def choice(name: str, value: object, options: tuple[str, ...]) -> str:
    if value not in options:
        raise SettingsError(f"{name} must be one of {', '.join(options)}; got {with_unit(value, '')}")
    return str(value)


def seed(value: object) -> int:
    """A seed for the random numbers: a whole number in [0, 2**64)."""
    return whole("seed", value, 0, SEED_LIMIT - 1)


def draw_seed() -> int:
    """A fresh seed from the operating system's entropy, drawn where the native simulators draw theirs, so that
    a run that was not given one still knows it."""
    return int(native_draw_seed())


def float_array(values: ArrayLike, name: str) -> FloatArray:
    try:
        return np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TableError(f"{name} must be numeric: {error}") from None


def finite_rows(values: FloatArray, name: str, first_line: int | None = None) -> None:
    """Every row of `values` finite; otherwise name the first row that is not."""
    bad = np.flatnonzero(~np.isfinite(values).reshape(values.shape[0], -1).all(axis=1))
    if bad.size:
        raise TableError(
            f"{name} is missing or not finite in {where(int(bad[0]), first_line)} ({bad.size} rows in all)"
        )


def outsized(values: FloatArray) -> np.ndarray:
    """Where finite quality values lie beyond MAX_QUALITY in magnitude (a missing or infinite value is
    another fault, said as such)."""
    return np.isfinite(values) & (np.abs(values) > MAX_QUALITY)


def outsized_reason(name: str, value: float) -> str:
    return f"column {name!r}: {value:g} is beyond the {MAX_QUALITY:g} in magnitude a quality value may have"


def bounded_column(values: FloatArray, name: str, first_line: int | None = None) -> None:
    """Every quality value within MAX_QUALITY in magnitude; otherwise name the first row that is not."""
    bad = np.flatnonzero(outsized(values))
    if bad.size:
        raise TableError(f"{where(int(bad[0]), first_line)}, {outsized_reason(name, float(values[bad[0]]))}")


def holds_numbers(column: pd.Series[Any]) -> bool:
    """Whether a column holds any number at all: a column of nothing but text (a supplier, a sample id) does not."""
    import pandas as pd
    from pandas.api import types

    if types.is_bool_dtype(column):
        return False
    return bool(types.is_numeric_dtype(column) or pd.to_numeric(column, errors="coerce").notna().any())


def numeric_column(column: pd.Series[Any], name: str, first_line: int | None = None) -> FloatArray:
    """A table column as numbers; a cell that is no number is an error naming its row (or line) and column."""
    import pandas as pd
    from pandas.api import types

    if types.is_bool_dtype(column):
        raise TableError(f"column {name!r} holds true/false values, not numbers")
    if types.is_numeric_dtype(column):
        return float_array(column.to_numpy(dtype=np.float64, na_value=np.nan), name)
    parsed = pd.to_numeric(column, errors="coerce")
    text = parsed.isna().to_numpy() & column.notna().to_numpy()
    if text.any():
        row = int(np.argmax(text))
        more = int(text.sum()) - 1
        also = f" (and {more} more cells in the column)" if more else ""
        raise TableError(f"{where(row, first_line)}, column {name!r}: {str(column.iloc[row])!r} is not a number{also}")
    return float_array(exact_numbers(column, parsed), name)


def exact_numbers(text: pd.Series[Any], numbers: pd.Series[Any]) -> np.ndarray:
    """The numbers that text cells hold, to the last digit: pandas' fast reading of text may miss
    the nearest float by one in the last place, and a file written exactly should read back so.

    numbers: the cells as pd.to_numeric read them (NaN where empty); they decide what is a number.
    """
    exact = numbers.to_numpy(dtype=np.float64, na_value=np.nan).copy()
    read = np.flatnonzero(~np.isnan(exact))
    try:
        exact[read] = text.iloc[read].to_numpy(dtype=str).astype(np.float64)
    except ValueError:
        # Text that pandas reads as a number and Python does not: keep pandas' reading.
        pass
    return exact


def row_count(rows: float, what: str, limit: int) -> None:
    """Refuse a table larger than `limit` rows before it is built."""
    if not rows <= limit:
        raise SettingsError(f"{what} would have {rows:,.0f} rows, more than the {limit:,} allowed")
