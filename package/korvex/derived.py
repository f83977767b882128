"""Quality values derived from averaged ones: the cement moduli and any a user defines.

The moduli are ratios of oxides, so a portion's modulus is the ratio of its
averaged oxides; the mean of the chunks' own ratios would weight each chunk's
ratio instead of its material and is not the portion's modulus. The same holds
for a mean over many portions: the mean LSF of a bed is the LSF of its averaged
oxides (derived_of_mean). The spread of the portions' own moduli is a spread
of portions, and is said as such.

Formulas (oxides in mass %), as in the cement chemistry handbooks (e.g. Taylor,
Cement Chemistry, 2nd ed., section 1.5; Lea's Chemistry of Cement and Concrete):

    LSF = 100 CaO / (2.8 SiO2 + 1.18 Al2O3 + 0.65 Fe2O3)   lime saturation factor
    SM  = SiO2 / (Al2O3 + Fe2O3)                            silica modulus
    AM  = Al2O3 / Fe2O3                                     alumina modulus
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:
    import pandas as pd

# A derived value: a function of the table of averaged columns, one value per row.
Derivation = Callable[["pd.DataFrame"], "pd.Series | np.ndarray"]


def lime_saturation_factor(frame: pd.DataFrame) -> pd.Series:
    """LSF = 100 CaO / (2.8 SiO2 + 1.18 Al2O3 + 0.65 Fe2O3)."""
    return 100 * frame["CaO"] / (2.8 * frame["SiO2"] + 1.18 * frame["Al2O3"] + 0.65 * frame["Fe2O3"])


def silica_modulus(frame: pd.DataFrame) -> pd.Series:
    """SM = SiO2 / (Al2O3 + Fe2O3)."""
    return frame["SiO2"] / (frame["Al2O3"] + frame["Fe2O3"])


def alumina_modulus(frame: pd.DataFrame) -> pd.Series:
    """AM = Al2O3 / Fe2O3."""
    return frame["Al2O3"] / frame["Fe2O3"]


CEMENT_MODULI: dict[str, tuple[Derivation, tuple[str, ...]]] = {
    "LSF": (lime_saturation_factor, ("CaO", "SiO2", "Al2O3", "Fe2O3")),
    "SM": (silica_modulus, ("SiO2", "Al2O3", "Fe2O3")),
    "AM": (alumina_modulus, ("Al2O3", "Fe2O3")),
}


def cement_moduli(frame: pd.DataFrame) -> dict[str, Derivation]:
    """The moduli that the table's oxide columns allow (none without Al2O3 and Fe2O3, say)."""
    columns = {str(column) for column in frame.columns}
    return {name: function for name, (function, needs) in CEMENT_MODULI.items() if set(needs) <= columns}


def add_derived(frame: pd.DataFrame, derived: Mapping[str, Derivation] | None = None) -> pd.DataFrame:
    """The table of averaged portions with the derived values as further columns.

    `derived` maps a name to a function of the table (by default the cement
    moduli its oxides allow). Call it on averaged portions (slices, hourly
    composites, whole beds), never on chunks that are averaged afterwards.
    Division by zero gives NaN, not infinity: a portion without Fe2O3 has no AM.
    """
    derived = cement_moduli(frame) if derived is None else derived
    result = frame.copy()
    for name, function in derived.items():
        if name in result.columns:
            raise ValueError(f"derived value {name!r} would overwrite a column of the same name")
        with np.errstate(divide="ignore", invalid="ignore"):
            values = np.asarray(function(frame), dtype=np.float64)
        if values.shape != (len(frame),):
            raise ValueError(f"derived value {name!r} gives {values.shape} values for {len(frame)} rows")
        values[~np.isfinite(values)] = np.nan
        result[name] = values
    return result


def derived_columns(
    names: tuple[str, ...], table: np.ndarray, derived: Mapping[str, Derivation] | None = None
) -> tuple[tuple[str, ...], np.ndarray]:
    """The derived values of rows of averaged quality values (portions, slices, composites): their names
    and a table of one column each (NaN where a row has none, see add_derived)."""
    import pandas as pd

    frame = pd.DataFrame(np.asarray(table, dtype=np.float64).reshape(-1, len(names)), columns=list(names))
    full = add_derived(frame, derived)
    extra = tuple(str(name) for name in full.columns[len(names) :])
    return extra, full[list(extra)].to_numpy(dtype=np.float64)


def derived_of_mean(
    names: tuple[str, ...], table: np.ndarray, weights: np.ndarray, derived: Mapping[str, Derivation] | None = None
) -> dict[str, float]:
    """The derived values of the material that rows of averaged quality values make up together, each
    row counted with its weight (its volume or mass): the derived values of the rows' weighted mean, by
    name (NaN where the material has none). Rows without weight are left out."""
    values = np.asarray(table, dtype=np.float64).reshape(-1, len(names))
    w = np.asarray(weights, dtype=np.float64)
    keep = w > 0
    mean = np.full(len(names), np.nan)
    if keep.any():
        mean = np.sum(w[keep, np.newaxis] * values[keep], axis=0) / np.sum(w[keep])
    extra, row = derived_columns(names, mean[np.newaxis], derived)
    return dict(zip(extra, (float(v) for v in row[0]), strict=True))
