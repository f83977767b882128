"""Mass, volume and rates: the units a plant speaks in and the ones the engines use.

The engines work in cubic metres and seconds; plants speak of tonnes, t/h and
m/min. A bulk density (t/m3, as the material lies in the pile) turns one into
the other:

    mass_t = volume_m3 * bulk_density_t_per_m3

Typical bulk densities: limestone 1.4-1.6 t/m3, coal 0.8-0.9 t/m3.
"""

from __future__ import annotations

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


def check_mass_and_volume(
    mass_t: FloatArray,
    volume_m3: FloatArray,
    bulk_density_t_per_m3: float,
    *,
    names: tuple[str, str] = ("mass", "volume"),
    first_line: int | None = None,
) -> None:
    """ValueError naming the rows where mass / volume departs from the bulk density by over DENSITY_TOLERANCE."""

    density = check_bulk_density(bulk_density_t_per_m3)
    mass = np.asarray(mass_t, dtype=np.float64)
    volume = np.asarray(volume_m3, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        off = np.abs(mass - volume * density) > DENSITY_TOLERANCE * np.maximum(np.abs(mass), np.abs(volume) * density)
    bad = np.flatnonzero(off)
    if not bad.size:
        return
    rows = ", ".join(where(int(row), first_line) for row in bad[:3])
    if bad.size > 3:
        rows += f" and {bad.size - 3} more"
    implied = float(mass[bad].sum() / volume[bad].sum()) if volume[bad].sum() > 0 else math.inf
    raise ValueError(
        f"{names[0]!r} (t) and {names[1]!r} (m³) disagree with the bulk density of {density:g} t/m³ in {rows}: "
        f"they imply {implied:.4g} t/m³; correct the density or one of the columns"
    )


def with_volume(
    frame: pd.DataFrame,
    bulk_density_t_per_m3: float | None,
    *,
    volume_column: str = "volume",
    first_line: int | None = None,
) -> pd.DataFrame:
    """The table with a volume column (m3) taken from its mass column (t), if it has no volume column.

    A table with both keeps its volume, checked against the mass with the bulk
    density when one is given (see check_mass_and_volume); the mass column is
    never read as a quality value (see `MASS_COLUMNS`). A mass column without a
    bulk density raises ValueError: tonnes cannot be stacked without it.
    """
    columns = [str(column) for column in frame.columns]
    mass = mass_column(columns)
    volume_column = volume_column_of(columns, volume_column)
    if mass is not None and volume_column in columns and bulk_density_t_per_m3 is not None:
        check_mass_and_volume(
            numeric_column(frame[mass], mass, first_line),
            numeric_column(frame[volume_column], volume_column, first_line),
            bulk_density_t_per_m3,
            names=(mass, volume_column),
            first_line=first_line,
        )
    if mass is None or volume_column in columns:
        return frame
    if bulk_density_t_per_m3 is None:
        raise TableError(
            f"column {mass!r} holds tonnes; give the bulk density (bulk_density_t_per_m3) to turn it into m³"
        )
    converted = frame.copy()
    converted[volume_column] = m3_from_tonnes(frame[mass].to_numpy(dtype=np.float64), bulk_density_t_per_m3)
    return converted
