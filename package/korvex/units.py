"""Mass, volume and rates: the units a plant speaks in and the ones the engines use.

The engines work in cubic metres and seconds; plants speak of tonnes, t/h and
m/min. A bulk density (t/m3, as the material lies in the pile) turns one into
the other:

    mass_t = volume_m3 * bulk_density_t_per_m3

Typical bulk densities: limestone 1.4-1.6 t/m3, coal 0.8-0.9 t/m3.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike

from .validation import numeric_column, where
from . import validation
from .errors import TableError

if TYPE_CHECKING:
    import pandas as pd

    from .validation import FloatArray

# Column names that hold the amount of material in tonnes, never a quality value.
MASS_COLUMNS = ("tonnes", "t", "mass_t")
# Column names that hold the amount in cubic metres: "volume" as users name it, "volume_m3" as Korvex writes it.
VOLUME_COLUMNS = ("volume", "volume_m3")
# What Korvex writes beside the quality values (positions, times, residence, the turn of a bed): never
# a quality value, so that Korvex reads back every table it writes.
WRITTEN_COLUMNS = ("position_m", "start_h", "end_h", "time_s", "residence_s", "turn", "slices")
# A mass and a volume on one row agree with the bulk density within this share.
DENSITY_TOLERANCE = 0.01
# A departure below this share is float rounding (a table Korvex wrote from one column): nothing to say.
ROUNDING_DEPARTURE = 1e-9

SECONDS_PER_HOUR = 3600.0
SECONDS_PER_MINUTE = 60.0


def check_bulk_density(bulk_density_t_per_m3: float) -> float:
    """The bulk density as a float, or ValueError naming it, its value and its unit."""
    return validation.positive("bulk_density_t_per_m3", bulk_density_t_per_m3, "t/m³")


def tonnes_from_m3(volume_m3: ArrayLike, bulk_density_t_per_m3: float) -> FloatArray:
    """Mass in tonnes of a volume in cubic metres."""
    return np.asarray(volume_m3, dtype=np.float64) * check_bulk_density(bulk_density_t_per_m3)


def m3_from_tonnes(mass_t: ArrayLike, bulk_density_t_per_m3: float) -> FloatArray:
    """Volume in cubic metres of a mass in tonnes."""
    return np.asarray(mass_t, dtype=np.float64) / check_bulk_density(bulk_density_t_per_m3)


def m3_per_s_from_t_per_h(rate_t_per_h: float, bulk_density_t_per_m3: float) -> float:
    """A mass flow in t/h as a volume flow in m3/s."""
    return float(rate_t_per_h) / check_bulk_density(bulk_density_t_per_m3) / SECONDS_PER_HOUR


def t_per_h_from_m3_per_s(rate_m3_per_s: float, bulk_density_t_per_m3: float) -> float:
    """A volume flow in m3/s as a mass flow in t/h."""
    return float(rate_m3_per_s) * check_bulk_density(bulk_density_t_per_m3) * SECONDS_PER_HOUR


def m_per_s_from_m_per_min(speed_m_per_min: float) -> float:
    return float(speed_m_per_min) / SECONDS_PER_MINUTE


def mass_column(columns: list[str]) -> str | None:
    """The one column of a table that holds tonnes, None if there is none; ValueError for several."""
    found = [name for name in columns if name in MASS_COLUMNS]
    if len(found) > 1:
        raise TableError(f"the columns {found} all hold a mass in tonnes; keep one")
    return found[0] if found else None


def volume_column_of(columns: list[str], wanted: str = "volume") -> str:
    """The column that holds cubic metres: `wanted` when the table has it; for the default name, also
    "volume_m3" (as Korvex writes it), but not both."""
    if wanted in columns or wanted != VOLUME_COLUMNS[0]:
        return wanted
    found = [name for name in columns if name in VOLUME_COLUMNS]
    if len(found) > 1:
        raise ValueError(f"the columns {found} all hold a volume in m³; keep one")
    return found[0] if found else wanted


class DensityWarning(UserWarning):
    """A volume column beside a mass column, departing from mass / bulk density: the mass was taken."""


def volume_departure(mass_t: ArrayLike, volume_m3: ArrayLike, bulk_density_t_per_m3: float) -> FloatArray:
    """How far each volume departs from mass / bulk density, as a share of the latter (0.01 for 1 % more);
    an empty row (an empty slice, as Korvex writes it) departs by nothing."""
    from_mass = m3_from_tonnes(mass_t, bulk_density_t_per_m3)
    volume = np.asarray(volume_m3, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where((from_mass == 0) & (volume == 0), 0.0, volume / from_mass - 1.0)


def departure_note(
    mass_t: FloatArray,
    volume_m3: FloatArray,
    bulk_density_t_per_m3: float,
    *,
    names: tuple[str, str] = ("mass", "volume"),
    first_line: int | None = None,
    lines: Sequence[int] | None = None,
) -> str:
    """What a volume column says beside the mass column the amounts are taken from: its total's departure
    from mass / bulk density and, beyond DENSITY_TOLERANCE, the rows that depart and the density they imply.
    Rows are named by their line in the file: first_line for the first row, or `lines`, one per row."""
    density = check_bulk_density(bulk_density_t_per_m3)
    from_mass = float(np.sum(m3_from_tonnes(mass_t, density)))
    written = float(np.sum(volume_m3))
    share = written / from_mass - 1.0 if from_mass > 0 else math.inf
    text = (
        f"{names[1]!r} holds {written:,.1f} m³, {share:+.2%} against the {from_mass:,.1f} m³ that "
        f"{names[0]!r} ({float(np.sum(mass_t)):,.1f} t) makes at {density:g} t/m³"
    )
    off = np.flatnonzero(~(np.abs(volume_departure(mass_t, volume_m3, density)) <= DENSITY_TOLERANCE))
    if not off.size:
        return f"{text}, within the {DENSITY_TOLERANCE:.0%} tolerance; the amounts are taken from the mass"
    rows = ", ".join(f"line {lines[row]}" if lines is not None else where(int(row), first_line) for row in off[:3])
    if off.size > 3:
        rows += f" and {off.size - 3} more"
    written_off = float(np.sum(volume_m3[off]))
    implied = float(np.sum(mass_t[off])) / written_off if written_off > 0 else math.inf
    return (
        f"{text}; beyond the {DENSITY_TOLERANCE:.0%} tolerance in {rows}, which imply {implied:.4g} t/m³: "
        "the amounts are taken from the mass; check the bulk density or the volume column"
    )


def with_volume(
    frame: pd.DataFrame,
    bulk_density_t_per_m3: float | None,
    *,
    volume_column: str = "volume",
    first_line: int | None = None,
) -> pd.DataFrame:
    """The table with a volume column (m3) taken from its mass column (t) and the bulk density.

    The weighbridge is the measurement: a table with both a mass and a volume
    column gets its volume from the mass, and a DensityWarning says how far the
    volume column departs from it (see departure_note), unless only by float
    rounding. Without a bulk density
    the volume column stands. The mass column is never read as a quality value
    (see `MASS_COLUMNS`). A mass column alone without a bulk density raises
    TableError: tonnes cannot be stacked without it.
    """
    columns = [str(column) for column in frame.columns]
    mass = mass_column(columns)
    volume_column = volume_column_of(columns, volume_column)
    if mass is None or (bulk_density_t_per_m3 is None and volume_column in columns):
        return frame
    if bulk_density_t_per_m3 is None:
        raise TableError(
            f"column {mass!r} holds tonnes; give the bulk density (bulk_density_t_per_m3) to turn it into m³"
        )
    mass_t = numeric_column(frame[mass], mass, first_line)
    volume_m3 = m3_from_tonnes(mass_t, bulk_density_t_per_m3)
    if volume_column in columns:
        written = numeric_column(frame[volume_column], volume_column, first_line)
        if not np.all(np.abs(volume_departure(mass_t, written, bulk_density_t_per_m3)) <= ROUNDING_DEPARTURE):
            names = (mass, volume_column)
            note = departure_note(mass_t, written, bulk_density_t_per_m3, names=names, first_line=first_line)
            warnings.warn(note, DensityWarning, stacklevel=2)
    converted = frame.copy()
    converted[volume_column] = volume_m3
    return converted
