"""Quality series: the material arriving at the bed, one row per delivery or sample."""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from datetime import datetime
from functools import cached_property
from typing import TYPE_CHECKING, Any, cast

import numpy as np
from numpy.typing import ArrayLike

from . import validation
from .dates import DateFormat, Origin, holds_dates, parse_dates
from .derived import CEMENT_MODULI
from .errors import SettingsError, TableError
from .feed import Flow, flow
from .units import MASS_COLUMNS, VOLUME_COLUMNS, WRITTEN_COLUMNS, volume_column_of, with_volume
from .validation import FloatArray, float_array, where

if TYPE_CHECKING:
    import pandas as pd

ROLE_COLUMNS = ("timestamp", "x", "z", "volume")


@dataclass(frozen=True, repr=False)
class QualitySeries:
    """Material in the order it reaches the bed.

    time_s: stacking time of each row in seconds (non-decreasing).
    volume_m3: volume of material each row stands for.
    values: one column per quality value, one row per delivery.
    names: the quality values' names, in column order.
    first_line: the line of the file that row 0 came from, if any; messages
        about a row then name its line.
    stop_after_s: a gap between rows longer than this is a stop of the feed
        (see korvex.feed; by default 30 min, or three typical gaps for a
        sparse series).
    date_origin: the date and time of time_s 0, as the plant's clock reads it, when the times were
        dates; composites then keep the plant's hours and shifts (see korvex.composites).
    """

    time_s: FloatArray
    volume_m3: FloatArray
    values: FloatArray
    names: tuple[str, ...]
    first_line: int | None = field(default=None, compare=False, repr=False)
    stop_after_s: float | None = field(default=None, compare=False, repr=False)
    date_origin: datetime | None = field(default=None, compare=False, repr=False)

    def __post_init__(self) -> None:
        time = float_array(self.time_s, "time_s")
        volume = float_array(self.volume_m3, "volume_m3")
        values = float_array(self.values, "values")
        if values.ndim == 1:
            values = values[:, np.newaxis]
        names = tuple(str(name) for name in self.names)
        if time.ndim != 1 or volume.shape != time.shape or values.ndim != 2 or values.shape[0] != time.shape[0]:
            raise TableError(
                f"time_s {time.shape}, volume_m3 {volume.shape} and values {values.shape} "
                "must have one row per delivery"
            )
        if time.size == 0:
            raise TableError("a quality series needs at least one row")
        if len(names) != values.shape[1]:
            raise TableError(f"{len(names)} names for {values.shape[1]} quality columns")
        if not names:
            raise TableError("a quality series needs at least one quality value")
        if len(set(names)) != len(names):
            raise TableError(f"quality names must be unique, got {names}")
        clashes = [name for name in names if name in (*ROLE_COLUMNS, *MASS_COLUMNS, *VOLUME_COLUMNS)]
        if clashes:
            raise TableError(f"{clashes} name positions, volumes or masses of chunks and cannot be quality values")
        line = self.first_line
        validation.finite_rows(time, "time_s", line)
        validation.finite_rows(volume, "volume_m3", line)
        validation.finite_rows(values, "a quality value", line)
        if np.any(np.diff(time) < 0):
            raise TableError(f"time_s goes backwards at {where(int(np.argmax(np.diff(time) < 0)) + 1, line)}")
        if np.any(volume < 0):
            raise TableError(f"volume_m3 is negative in {where(int(np.argmax(volume < 0)), line)}")
        if not volume.sum() > 0:
            raise TableError("a quality series must carry some volume")
        if self.stop_after_s is not None:
            validation.positive("stop_after_s", self.stop_after_s, "s")
        object.__setattr__(self, "time_s", time)
        object.__setattr__(self, "volume_m3", volume)
        object.__setattr__(self, "values", values)
        object.__setattr__(self, "names", names)

    def __len__(self) -> int:
        return int(self.time_s.size)

    def __repr__(self) -> str:
        return (
            f"QualitySeries({len(self)} rows over {self.duration_s / 3600:.4g} h, {self.total_volume_m3:,.1f} m³, "
            f"qualities {', '.join(self.names)})"
        )

    @property
    def total_volume_m3(self) -> float:
        return float(self.volume_m3.sum())

    @property
    def duration_s(self) -> float:
        return float(self.time_s[-1] - self.time_s[0])

    @cached_property
    def flow(self) -> Flow:
        """How long each row's material flows, and the feed's stops."""
        return flow(self.time_s, self.stop_after_s)

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
        table = float_array(values, "values")
        if table.ndim == 0:
            raise TableError(f"a quality series needs one row per delivery, got the single number {values!r}")
        if table.ndim == 1:
            table = table[:, np.newaxis]
        if table.ndim != 2:
            raise TableError(f"quality values must be a table of rows and columns, got shape {table.shape}")
        interval = validation.positive("interval_s", interval_s, "s")
        if names is None:
            names = ("quality",) if table.shape[1] == 1 else tuple(f"q{k + 1}" for k in range(table.shape[1]))
        rows = table.shape[0]
        volume = np.broadcast_to(float_array(volume_m3, "volume_m3"), (rows,)).copy()
        return cls(np.arange(rows) * interval, volume, table, tuple(names))

    @classmethod
    def from_frame(
        cls,
        frame: pd.DataFrame,
        *,
        time_column: str | None = "timestamp",
        volume_column: str = "volume",
        volume_m3: float | None = None,
        qualities: Sequence[str] | None = None,
        first_line: int | None = None,
        bulk_density_t_per_m3: float | None = None,
        stop_after_s: float | None = None,
    ) -> QualitySeries:
        """A series from a table with a time column, a volume column and quality columns.

        Times may be numbers (seconds) or dates; dates become seconds since the first row.
        Without a volume column the amount comes from a mass column in tonnes
        (one of `units.MASS_COLUMNS`) and bulk_density_t_per_m3, or else every
        row carries volume_m3. Without `qualities` every other column that holds
        numbers is a quality value (a column of nothing but text, such as a
        supplier, is left out, and so is a mass column), and a cell in one that
        is no number is an error. first_line: the file line of the table's first
        row, for messages. stop_after_s: see QualitySeries.
        """
        if volume_m3 is None:
            frame = with_volume(frame, bulk_density_t_per_m3, volume_column=volume_column, first_line=first_line)
        columns = [str(column) for column in frame.columns]
        volume_column = volume_column_of(columns, volume_column)
        frame = frame.set_axis(columns, axis="columns")
        rows = len(frame)
        if rows == 0:
            raise TableError(f"the table has columns {columns} but no rows")
        date_origin = None
        if time_column is not None and time_column in columns:
            time, date_origin = timed_column(frame[time_column], time_column, first_line)
        elif time_column == "timestamp" and "time_s" in columns:
            time_column = "time_s"
            time = validation.numeric_column(frame["time_s"], "time_s", first_line)
        elif time_column == "timestamp" and "start_h" in columns:
            # Korvex's output and composites: each row's start in hours.
            time_column = "start_h"
            time = validation.numeric_column(frame["start_h"], "start_h", first_line) * 3600
        elif time_column is not None and time_column != "timestamp":
            raise TableError(f"no time column {time_column!r} among {columns}")
        else:
            if time_column is not None:
                _refuse_unnamed_times(frame, {volume_column, *(qualities or ())})
            time = np.arange(rows, dtype=np.float64)
        if volume_column in columns:
            if volume_m3 is not None:
                raise TableError(f"the table has a volume column {volume_column!r}; do not also give volume_m3")
            volume = validation.numeric_column(frame[volume_column], volume_column, first_line)
        elif volume_m3 is not None:
            volume = np.full(rows, validation.positive("volume_m3", volume_m3, "m³"))
        else:
            raise TableError(
                f"no volume column {volume_column!r} among {columns}: name it, or give the volume of each row"
            )
        if qualities is None:
            amounts = no_quality_columns(columns, time_column, volume_column)
            qualities = [name for name in columns if name not in amounts and validation.holds_numbers(frame[name])]
        missing = [name for name in qualities if name not in columns]
        if missing:
            raise TableError(f"no quality column {missing} among {columns}")
        values = np.empty((rows, len(qualities)))
        for k, name in enumerate(qualities):
            values[:, k] = validation.numeric_column(frame[name], name, first_line)
            validation.bounded_column(values[:, k], name, first_line)
        # An empty slice, as Korvex writes it, has no quality: it carries nothing either way.
        values[(volume == 0) & np.isnan(values).all(axis=1)] = 0.0
        return cls(time, volume, values, tuple(str(name) for name in qualities), first_line, stop_after_s, date_origin)

    def to_frame(self) -> pd.DataFrame:
        import pandas as pd

        frame = pd.DataFrame({"timestamp": self.time_s, "volume": self.volume_m3})
        for name, column in zip(self.names, self.values.T, strict=True):
            frame[name] = column
        return frame


def no_quality_columns(columns: Sequence[str], time_column: str | None, volume_column: str) -> set[str | None]:
    """The columns of a feed that are never quality values: its time, its amounts, what Korvex writes beside
    the values, and moduli written beside their oxides (derived again from the averaged oxides)."""
    derived = {name for name, (_, needs) in CEMENT_MODULI.items() if set(needs) <= set(columns)}
    return {time_column, volume_column, *MASS_COLUMNS, *VOLUME_COLUMNS, *WRITTEN_COLUMNS, *derived}


def seconds_column(column: pd.Series[Any], name: str, first_line: int | None = None) -> FloatArray:
    """A time column as seconds: numbers as they are, dates as seconds since the first row."""
    return timed_column(column, name, first_line)[0]


def timed_column(
    column: pd.Series[Any], name: str, first_line: int | None = None
) -> tuple[FloatArray, datetime | None]:
    """A time column as seconds (see seconds_column), and the first row's date and time as written (None
    for numbers and durations)."""
    import pandas as pd
    from pandas.api import types

    if types.is_timedelta64_dtype(column):
        # Durations are seconds from their own origin, as numbers of seconds are; not nanoseconds.
        elapsed = pd.Series(column)
        missing = elapsed.isna().to_numpy()
        if missing.any():
            raise TableError(f"{where(int(np.argmax(missing)), first_line)}, column {name!r}: no time given")
        return float_array(elapsed.dt.total_seconds().to_numpy(), name), None
    if types.is_datetime64_any_dtype(column):
        stamps = pd.Series(column)
    elif validation.holds_numbers(column):
        return validation.numeric_column(column, name, first_line), None
    else:
        # Day-first and month-first dates that both fit every row raise rather than being guessed.
        rows = np.arange(len(column))
        origin = Origin("", rows if first_line is None else rows + first_line, "row" if first_line is None else "line")
        stamps = parse_dates(pd.Series(column), name, DateFormat(), origin=origin)
    missing = stamps.isna().to_numpy()
    if missing.any():
        row = int(np.argmax(missing))
        cell = column.iloc[row]
        what = "no time given" if pd.isna(cell) else f"{str(cell)!r} is neither a number of seconds nor a date"
        raise TableError(f"{where(row, first_line)}, column {name!r}: {what}")
    first = stamps.iloc[0]
    # Dates are read in UTC (see korvex.dates): dates written without an offset keep the plant's clock time.
    written = first.tz_localize(None) if first.tzinfo is not None else first
    return float_array((stamps - first).dt.total_seconds().to_numpy(), name), written.to_pydatetime()


def _refuse_unnamed_times(frame: pd.DataFrame, skip: set[str]) -> None:
    """A table without a time column 'timestamp' gets times 0, 1, 2 s; refuse that where another column
    holds the dates or times, rather than drop them and invent times."""
    dated = [str(name) for name in frame.columns if str(name) not in skip and holds_dates(frame[name])]
    if dated:
        raise TableError(
            f"there is no time column 'timestamp', but column {dated[0]!r} holds dates or times: name it as "
            "the time column (time_column, --time-column), or give time_column=None to number the rows"
        )


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
        raise SettingsError("give at least one quality")
    hours = validation.positive("hours", hours, "h")
    interval_s = validation.positive("interval_s", interval_s, "s")
    flow_m3_per_h = validation.positive("flow_m3_per_h", flow_m3_per_h, "m³/h")
    correlation_time_h = validation.positive("correlation_time_h", correlation_time_h, "h")
    if seed is not None:
        seed = validation.seed(seed)
    validation.row_count(
        hours * 3600 / interval_s, f"a series of {hours:g} h at one row every {interval_s:g} s", validation.MAX_ROWS
    )
    rows = max(1, round(hours * 3600 / interval_s))
    matrix = np.asarray(0.0 if correlation is None else correlation, dtype=np.float64)
    if matrix.ndim == 0:
        matrix = np.full((k, k), float(matrix))
        np.fill_diagonal(matrix, 1.0)
    if matrix.shape != (k, k) or not np.allclose(matrix, matrix.T) or not np.allclose(np.diag(matrix), 1.0):
        raise SettingsError(f"correlation must be a symmetric {k} x {k} matrix with ones on its diagonal")
    try:
        mixing = np.linalg.cholesky(matrix)
    except np.linalg.LinAlgError:
        raise SettingsError("correlation is not positive definite") from None

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


# Two end members of a limestone quarry: the carbonate and the clay-rich shale between its beds (mass %).
LIMESTONE = {"CaO": 52.0, "SiO2": 4.0, "Al2O3": 1.2, "Fe2O3": 0.6}
SHALE = {"CaO": 18.0, "SiO2": 45.0, "Al2O3": 12.0, "Fe2O3": 6.0}
# The limestone share of each quarry face's rock, as loaded.
FACE_LIMESTONE_SHARE = (0.79, 0.73)


def truck_feed(
    *,
    days: float = 3.0,
    rate_t_per_h: float = 930.0,
    truck_t: tuple[float, float] = (25.0, 30.0),
    operating_h: tuple[float, float] = (6.0, 22.0),
    face_turn_h: float = 0.75,
    step_at_h: float | None = None,
    step_share: float = -0.03,
    truck_share_std: float = 0.025,
    start: str = "2026-03-02",
    seed: int | None = None,
) -> pd.DataFrame:
    """A quarry's truck deliveries to a blending bed, as a plant's file holds them: timestamp, tonnes and
    the four oxides that make LSF, SM and AM (CaO, SiO2, Al2O3, Fe2O3, mass %).

    Trucks of truck_t tonnes (uniform) arrive with irregular gaps at rate_t_per_h on average while the
    quarry works (operating_h, hours of each day); it stops at night. Two faces take turns of about
    face_turn_h each; a face's rock is a mix of limestone and shale whose limestone share differs
    between faces (FACE_LIMESTONE_SHARE), wanders slowly, and scatters from truck to truck
    (truck_share_std). At step_at_h operating hours (by default half the operating time) the second face
    reaches a bed with step_share more limestone. The same seed gives the same trucks.
    """
    import pandas as pd

    days = validation.positive("days", days, "d")
    rate_t_per_h = validation.positive("rate_t_per_h", rate_t_per_h, "t/h")
    light, heavy = (validation.positive("truck_t", value, "t") for value in truck_t)
    if heavy < light:
        raise ValueError(f"truck_t must run from the lightest to the heaviest truck, got {truck_t} t")
    opens, closes = (validation.within("operating_h", value, 0.0, 24.0, "h") for value in operating_h)
    if not opens < closes:
        raise ValueError(f"operating_h must open before it closes, got {operating_h} h")
    face_turn_h = validation.positive("face_turn_h", face_turn_h, "h")
    truck_share_std = validation.non_negative("truck_share_std", truck_share_std)
    day_h = closes - opens
    total_h = days * day_h
    step_at_h = total_h / 2 if step_at_h is None else validation.non_negative("step_at_h", step_at_h, "h")
    mean_truck_t = (light + heavy) / 2
    trucks_about = total_h * rate_t_per_h / mean_truck_t
    validation.row_count(round(trucks_about * 1.2) + 1, f"{days:g} days of trucks at {rate_t_per_h:g} t/h",
                         validation.MAX_ROWS)

    rng = np.random.default_rng(seed)
    # Gaps scatter round the mean that the rate allows: a loader's cycle, queues, a truck that waits.
    gaps_h = rng.gamma(4.0, mean_truck_t / rate_t_per_h / 4.0, size=round(trucks_about * 1.2) + 16)
    operating = np.cumsum(gaps_h)
    operating = operating[operating < total_h]
    count = operating.size
    tonnes = rng.uniform(light, heavy, count)
    turns = np.cumsum(face_turn_h * rng.uniform(0.8, 1.2, math.ceil(total_h / face_turn_h / 0.8) + 2))
    face = np.searchsorted(turns, operating, side="right") % 2
    # The faces' shares wander over hours as the loaders work along them.
    wander = np.zeros(count)
    phi = np.exp(-np.diff(operating, prepend=0.0) / 3.0)
    shocks = rng.standard_normal(count) * 0.012
    for k in range(1, count):
        wander[k] = phi[k] * wander[k - 1] + np.sqrt(1 - phi[k] ** 2) * shocks[k]
    share = np.asarray(FACE_LIMESTONE_SHARE)[face] + wander + truck_share_std * rng.standard_normal(count)
    share += np.where((face == 1) & (operating >= step_at_h), step_share, 0.0)
    share = np.clip(share, 0.0, 1.0)
    # Operating hours laid onto the calendar: each day opens at operating_h[0].
    day = np.floor(operating / day_h)
    clock_h = day * 24.0 + opens + (operating - day * day_h)
    frame = pd.DataFrame(
        {
            "timestamp": pd.Timestamp(start) + pd.to_timedelta(np.round(clock_h * 3600.0), unit="s"),
            "tonnes": np.round(tonnes, 2),
        }
    )
    for oxide, rich in LIMESTONE.items():
        # A sample's analysis scatters by about one percent of its value.
        pure = share * rich + (1 - share) * SHALE[oxide]
        frame[oxide] = np.round(pure * (1 + 0.01 * rng.standard_normal(count)), 3)
    return frame
