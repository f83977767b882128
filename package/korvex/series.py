"""Quality series: the material arriving at the bed, one row per delivery or sample."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, cast

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .units import MASS_COLUMNS, with_volume

if TYPE_CHECKING:
    import pandas as pd

FloatArray = NDArray[np.float64]

ROLE_COLUMNS = ("timestamp", "x", "z", "volume")


def _float_array(values: ArrayLike, name: str) -> FloatArray:
    try:
        return np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} must be numeric: {error}") from None


def _require_finite(values: FloatArray, name: str) -> None:
    bad = np.flatnonzero(~np.isfinite(values).reshape(values.shape[0], -1).all(axis=1))
    if bad.size:
        raise ValueError(f"{name} is missing or not finite in row {int(bad[0])} ({bad.size} rows in all)")


@dataclass(frozen=True)
class QualitySeries:
    """Material in the order it reaches the bed.

    time_s: stacking time of each row in seconds (non-decreasing).
    volume_m3: volume of material each row stands for.
    values: one column per quality value, one row per delivery.
    names: the quality values' names, in column order.
    """

    time_s: FloatArray
    volume_m3: FloatArray
    values: FloatArray
    names: tuple[str, ...]

    def __post_init__(self) -> None:
        time = _float_array(self.time_s, "time_s")
        volume = _float_array(self.volume_m3, "volume_m3")
        values = _float_array(self.values, "values")
        if values.ndim == 1:
            values = values[:, np.newaxis]
        names = tuple(str(name) for name in self.names)
        if time.ndim != 1 or volume.shape != time.shape or values.ndim != 2 or values.shape[0] != time.shape[0]:
            raise ValueError(
                f"time_s {time.shape}, volume_m3 {volume.shape} and values {values.shape} "
                "must have one row per delivery"
            )
        if time.size == 0:
            raise ValueError("a quality series needs at least one row")
        if len(names) != values.shape[1]:
            raise ValueError(f"{len(names)} names for {values.shape[1]} quality columns")
        if not names:
            raise ValueError("a quality series needs at least one quality value")
        if len(set(names)) != len(names):
            raise ValueError(f"quality names must be unique, got {names}")
        clashes = [name for name in names if name in ROLE_COLUMNS or name in MASS_COLUMNS]
        if clashes:
            raise ValueError(f"{clashes} name positions, volumes or masses of chunks and cannot be quality values")
        _require_finite(time, "time_s")
        _require_finite(volume, "volume_m3")
        _require_finite(values, "a quality value")
        if np.any(np.diff(time) < 0):
            raise ValueError(f"time_s goes backwards at row {int(np.argmax(np.diff(time) < 0)) + 1}")
        if np.any(volume < 0):
            raise ValueError(f"volume_m3 is negative in row {int(np.argmax(volume < 0))}")
        if not volume.sum() > 0:
            raise ValueError("a quality series must carry some volume")
        object.__setattr__(self, "time_s", time)
        object.__setattr__(self, "volume_m3", volume)
        object.__setattr__(self, "values", values)
        object.__setattr__(self, "names", names)

    def __len__(self) -> int:
        return int(self.time_s.size)

    @property
    def total_volume_m3(self) -> float:
        return float(self.volume_m3.sum())

    @property
    def duration_s(self) -> float:
        return float(self.time_s[-1] - self.time_s[0])

    def column(self, name: str) -> FloatArray:
        return self.values[:, self.names.index(name)]

    @classmethod
    def from_array(
        cls,
        values: ArrayLike,
        names: Sequence[str] | None = None,
        *,
        volume_m3: float | ArrayLike = 1.0,
        interval_s: float = 1.0,
    ) -> QualitySeries:
        """A series from a plain array: rows are deliveries interval_s apart, each of volume_m3."""
        table = _float_array(values, "values")
        if table.ndim == 1:
            table = table[:, np.newaxis]
        if names is None:
            names = ("quality",) if table.shape[1] == 1 else tuple(f"q{k + 1}" for k in range(table.shape[1]))
        rows = table.shape[0]
        volume = np.broadcast_to(_float_array(volume_m3, "volume_m3"), (rows,)).copy()
        return cls(np.arange(rows) * float(interval_s), volume, table, tuple(names))

    @classmethod
    def from_frame(
        cls,
        frame: pd.DataFrame,
        *,
        time_column: str | None = "timestamp",
        volume_column: str = "volume",
        volume_m3: float | None = None,
        qualities: Sequence[str] | None = None,
        bulk_density_t_per_m3: float | None = None,
    ) -> QualitySeries:
        """A series from a table with a time column, a volume column and quality columns.

        Times may be numbers (seconds) or dates; dates become seconds since the first row.
        Without a volume column the amount comes from a mass column in tonnes
        (one of `units.MASS_COLUMNS`) and the bulk density, or else every row
        carries volume_m3. Without `qualities` every other numeric column is a
        quality value; text columns and mass columns are not.
        """
        from pandas.api import types

        if volume_m3 is None:
            frame = with_volume(frame, bulk_density_t_per_m3, volume_column=volume_column)
        columns = [str(column) for column in frame.columns]
        rows = len(frame)
        if time_column is not None and time_column in columns:
            time = _seconds(frame[time_column], time_column)
        elif time_column is not None and time_column != "timestamp":
            raise ValueError(f"no time column {time_column!r} among {columns}")
        else:
            time = np.arange(rows, dtype=np.float64)
        if volume_column in columns:
            if volume_m3 is not None:
                raise ValueError(f"the table has a volume column {volume_column!r}; do not also give volume_m3")
            volume = _float_array(frame[volume_column].to_numpy(), volume_column)
        elif volume_m3 is not None:
            volume = np.full(rows, float(volume_m3))
        else:
            raise ValueError(
                f"no volume column {volume_column!r} among {columns}: name it, or give the volume of each row"
            )
        if qualities is None:
            skip = {time_column, volume_column, *MASS_COLUMNS}
            qualities = [
                column
                for column, name in zip(frame.columns, columns, strict=True)
                if name not in skip and types.is_numeric_dtype(frame[column]) and not types.is_bool_dtype(frame[column])
            ]
        missing = [name for name in qualities if name not in columns]
        if missing:
            raise ValueError(f"no quality column {missing} among {columns}")
        values = _float_array(frame[list(qualities)].to_numpy(dtype=np.float64), "quality columns")
        return cls(time, volume, values, tuple(str(name) for name in qualities))

    def to_frame(self) -> pd.DataFrame:
        import pandas as pd

        frame = pd.DataFrame({"timestamp": self.time_s, "volume": self.volume_m3})
        for name, column in zip(self.names, self.values.T, strict=True):
            frame[name] = column
        return frame


def _seconds(column: Any, name: str) -> FloatArray:
    import pandas as pd
    from pandas.api import types

    if types.is_numeric_dtype(column) and not types.is_bool_dtype(column):
        return _float_array(column.to_numpy(), name)
    if types.is_datetime64_any_dtype(column):
        stamps = pd.Series(column)
    else:
        from .tables import parse_dates

        # Text dates: ambiguous day-first/month-first dates raise instead of being guessed.
        stamps = parse_dates(pd.Series(column), name)
    return _float_array((stamps - stamps.iloc[0]).dt.total_seconds().to_numpy(), name)


def as_series(data: QualitySeries | pd.DataFrame | ArrayLike) -> QualitySeries:
    """Accept a QualitySeries, a DataFrame (see QualitySeries.from_frame) or a plain array."""
    if isinstance(data, QualitySeries):
        return data
    if hasattr(data, "columns") and hasattr(data, "to_numpy"):
        return QualitySeries.from_frame(cast("pd.DataFrame", data))
    return QualitySeries.from_array(data)


@dataclass(frozen=True)
class Quality:
    """One synthetic quality value: its mean, the standard deviation of its
    fluctuations, and a steady drift of the mean per hour."""

    mean: float
    std: float
    drift_per_h: float = 0.0


# A cement raw mix: limestone and clay vary against each other.
RAW_MIX: dict[str, Quality] = {
    "CaO": Quality(44.0, 1.2, drift_per_h=0.01),
    "SiO2": Quality(13.5, 0.6, drift_per_h=-0.004),
    "Fe2O3": Quality(2.2, 0.15),
}
RAW_MIX_CORRELATION = np.array(
    [
        [1.0, -0.7, -0.3],
        [-0.7, 1.0, 0.4],
        [-0.3, 0.4, 1.0],
    ]
)


def synthetic_series(
    *,
    hours: float = 120.0,
    interval_s: float = 60.0,
    flow_m3_per_h: float = 1000.0,
    qualities: Mapping[str, Quality] | None = None,
    correlation: float | ArrayLike | None = None,
    correlation_time_h: float = 0.5,
    seed: int | None = None,
) -> QualitySeries:
    """Deliveries at a steady flow whose qualities fluctuate like a real feed.

    Each quality is its mean plus a linear drift plus first-order autoregressive
    noise: x[t+1] = phi * x[t] + sqrt(1 - phi**2) * std * e[t], with
    phi = exp(-interval_s / correlation_time), so the noise has the given std and
    forgets its past over correlation_time_h. The innovations e of the different
    qualities are correlated by `correlation` (a matrix, or one coefficient for
    every pair). By default: a cement raw mix (CaO, SiO2, Fe2O3) with its typical
    correlations. The same seed gives the same series.
    """
    if qualities is None:
        qualities = RAW_MIX
        if correlation is None:
            correlation = RAW_MIX_CORRELATION
    names = tuple(qualities)
    k = len(names)
    if k == 0:
        raise ValueError("give at least one quality")
    if not (hours > 0 and interval_s > 0 and flow_m3_per_h > 0 and correlation_time_h > 0):
        raise ValueError("hours, interval_s, flow_m3_per_h and correlation_time_h must be positive")
    matrix = np.asarray(0.0 if correlation is None else correlation, dtype=np.float64)
    if matrix.ndim == 0:
        matrix = np.full((k, k), float(matrix))
        np.fill_diagonal(matrix, 1.0)
    if matrix.shape != (k, k) or not np.allclose(matrix, matrix.T) or not np.allclose(np.diag(matrix), 1.0):
        raise ValueError(f"correlation must be a symmetric {k} x {k} matrix with ones on its diagonal")
    try:
        mixing = np.linalg.cholesky(matrix)
    except np.linalg.LinAlgError:
        raise ValueError("correlation is not positive definite") from None

    rows = max(1, round(hours * 3600 / interval_s))
    rng = np.random.default_rng(seed)
    innovations = rng.standard_normal((rows, k)) @ mixing.T
    phi = float(np.exp(-interval_s / (correlation_time_h * 3600)))
    noise = np.empty((rows, k))
    noise[0] = innovations[0]
    scale = np.sqrt(1 - phi**2)
    for t in range(1, rows):
        noise[t] = phi * noise[t - 1] + scale * innovations[t]

    time = np.arange(rows) * float(interval_s)
    means = np.array([q.mean for q in qualities.values()])
    stds = np.array([q.std for q in qualities.values()])
    drifts = np.array([q.drift_per_h for q in qualities.values()])
    values = means + np.outer(time / 3600, drifts) + noise * stds
    volume = np.full(rows, flow_m3_per_h * interval_s / 3600)
    return QualitySeries(time, volume, values, names)
