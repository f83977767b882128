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

from . import validation
from .errors import TableError

if TYPE_CHECKING:
    import pandas as pd

    from .series import FloatArray

# Column names that hold the amount of material in tonnes, never a quality value.
MASS_COLUMNS = ("tonnes", "t", "mass_t")

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


def with_volume(
    frame: pd.DataFrame, bulk_density_t_per_m3: float | None, *, volume_column: str = "volume"
) -> pd.DataFrame:
    """The table with a volume column (m3) taken from its mass column (t), if it has no volume column.

    A table with both keeps its volume and drops nothing: the mass column is
    never read as a quality value (see `MASS_COLUMNS`). A mass column without a
    bulk density raises ValueError: tonnes cannot be stacked without it.
    """
    columns = [str(column) for column in frame.columns]
    mass = mass_column(columns)
    if mass is None or volume_column in columns:
        return frame
    if bulk_density_t_per_m3 is None:
        raise TableError(
            f"column {mass!r} holds tonnes; give the bulk density (bulk_density_t_per_m3) to turn it into m³"
        )
    converted = frame.copy()
    converted[volume_column] = m3_from_tonnes(frame[mass].to_numpy(dtype=np.float64), bulk_density_t_per_m3)
    return converted
