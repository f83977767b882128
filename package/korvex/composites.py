"""Composites in time: what the laboratory samples from a stream over an hour or a shift.

A stream is a sequence of portions, each flowing from start_h to end_h with
its mass and its quality values (slices as the reclaimer takes them, trucks as
they arrive). A composite holds what flowed during its interval: a portion that
straddles an interval's boundary contributes to each interval in proportion to
the time it flowed in it, so at a steady rate every full interval holds rate x
interval. A portion that flows in no time (a rate-less instant) goes whole to
the interval it falls in.

Quality values average by mass; the derived values (the moduli) are computed
afterwards from the averaged values, never averaged themselves.

On the plant's clock (a Clock: the date and time of the stream's hour 0 and
the shifts' starts) composites fall where the laboratory takes them: each day
from the first shift's start on every interval, and at every shift's start, so
that no composite straddles a shift change; the first and the last composite
hold what flowed in their part of the interval. The clock counts hours as they
pass, without the changes to and from daylight-saving time.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from datetime import datetime, timedelta
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike

from . import validation
from .errors import SettingsError

if TYPE_CHECKING:
    import pandas as pd

# A boundary that misses an interval's edge by this share of the interval is rounding.
_EDGE_TOLERANCE = 1e-9
DAY_H = 24.0
# Three shifts of eight hours, the first at six in the morning.
SHIFT_STARTS_H = (6.0, 14.0, 22.0)


@dataclass(frozen=True)
class Clock:
    """Where a stream's hours fall on the plant's clock.

    start: the date and time of the stream's hour 0 (without a time zone, as the plant's clock reads).
    shift_starts_h: when each shift begins, in hours after midnight, earliest first; the first
        begins the plant's day.
    """

    start: datetime
    shift_starts_h: tuple[float, ...] = SHIFT_STARTS_H

    def __post_init__(self) -> None:
        if not isinstance(self.start, datetime):
            raise SettingsError(f"a clock's start must be a date and time, got {self.start!r}")
        object.__setattr__(self, "shift_starts_h", shift_starts(self.shift_starts_h))

    @property
    def start_hour_of_day(self) -> float:
        """How many hours after its midnight the stream's hour 0 falls."""
        midnight = self.start.replace(hour=0, minute=0, second=0, microsecond=0)
        return (self.start - midnight).total_seconds() / 3600

    def later(self, hours: float) -> Clock:
        """The same clock with its hour 0 moved on by hours."""
        return Clock(self.start + timedelta(hours=float(hours)), self.shift_starts_h)

    def edges_h(self, first_h: float, last_h: float, interval_h: float) -> np.ndarray:
        """The composites' boundaries, in the stream's hours, from the last at or before first_h to the first
        at or after last_h (see the module's notes); composites longer than a day run from the day's start."""
        interval = validation.positive("interval_h", interval_h, "h")
        day_start_h = self.shift_starts_h[0] - self.start_hour_of_day
        if interval >= DAY_H:
            return _grid(day_start_h, interval, first_h, last_h)
        steps = np.arange(0.0, DAY_H - _EDGE_TOLERANCE * interval, interval)
        shifts = np.asarray(self.shift_starts_h) - self.shift_starts_h[0]
        offsets = np.unique(np.round(np.concatenate([steps, shifts]), 9))
        days = np.arange(math.floor((first_h - day_start_h) / DAY_H), math.floor((last_h - day_start_h) / DAY_H) + 2)
        validation.row_count(days.size * offsets.size, f"composites of {interval:g} h", validation.MAX_ROWS)
        edges = (day_start_h + DAY_H * days[:, np.newaxis] + offsets[np.newaxis, :]).ravel()
        tolerance = _EDGE_TOLERANCE * interval
        low = int(np.searchsorted(edges, first_h + tolerance, side="right")) - 1
        high = int(np.searchsorted(edges, last_h - tolerance, side="left"))
        return edges[max(low, 0) : max(high, low + 1) + 1]


def shift_starts(hours: Iterable[float]) -> tuple[float, ...]:
    """The shifts' starts checked once: hours after midnight in [0, 24), at least one, earliest first."""
    starts = tuple(float(hour) for hour in hours)
    if not starts:
        raise SettingsError("shift_starts_h needs at least one shift start, in hours after midnight")
    for hour in starts:
        validation.within("shift_starts_h", hour, 0.0, DAY_H, "h")
        if hour == DAY_H:
            raise SettingsError("shift_starts_h must lie before 24 h (midnight is 0 h)")
    if any(later <= earlier for earlier, later in zip(starts, starts[1:], strict=False)):
        raise SettingsError(f"shift_starts_h must rise through the day, earliest first, got {starts} h")
    return starts


def _grid(origin_h: float, interval_h: float, first_h: float, last_h: float) -> np.ndarray:
    """Boundaries every interval_h from origin_h, from the last at or before first_h to the first at or after last_h."""
    low = math.floor((first_h - origin_h) / interval_h + _EDGE_TOLERANCE)
    high = max(math.ceil((last_h - origin_h) / interval_h - _EDGE_TOLERANCE), low + 1)
    validation.row_count(high - low, f"composites of {interval_h:g} h", validation.MAX_ROWS)
    return origin_h + np.arange(low, high + 1) * interval_h


def time_composites(
    start_h: ArrayLike,
    end_h: ArrayLike,
    mass_t: ArrayLike,
    values: ArrayLike,
    names: Sequence[str],
    interval_h: float,
    *,
    origin_h: float | None = None,
    volume_m3: ArrayLike | None = None,
    clock: Clock | None = None,
) -> pd.DataFrame:
    """Mass-weighted composites over intervals of interval_h: on the clock when one is given (see the
    module's notes), else consecutive from origin_h (by default the first start).

    Columns: start (the clock's date and time, with a clock), start_h, end_h, mass_t (and volume_m3 when
    given), the averaged quality values; intervals that received nothing are left out, and so are
    portions without mass.
    """
    import pandas as pd

    interval = validation.positive("interval_h", interval_h, "h")
    if clock is not None and origin_h is not None:
        raise SettingsError("composites run from origin_h or on a clock, not both")
    start = np.asarray(start_h, dtype=np.float64)
    end = np.asarray(end_h, dtype=np.float64)
    mass = np.asarray(mass_t, dtype=np.float64)
    table = np.asarray(values, dtype=np.float64).reshape(start.size, -1)
    full = mass > 0
    if not np.any(full):
        raise ValueError("no material: every portion is empty")
    volume = None if volume_m3 is None else np.asarray(volume_m3, dtype=np.float64)[full]
    start, end, mass, table = start[full], end[full], mass[full], table[full]
    if np.any(end < start):
        raise ValueError("a portion ends before it starts")
    first_h, last_h = float(start.min()), float(end.max())
    if clock is not None:
        edges = clock.edges_h(first_h, last_h, interval)
    else:
        edges = _grid(float(start[0]) if origin_h is None else float(origin_h), interval, first_h, last_h)
    tolerance = _EDGE_TOLERANCE * interval
    first = np.searchsorted(edges, start + tolerance, side="right") - 1
    last = np.maximum(np.searchsorted(edges, end - tolerance, side="left") - 1, first)
    counts = last - first + 1
    pieces = int(counts.sum())
    validation.row_count(pieces, f"composites of {interval:g} h", validation.MAX_ROWS)
    row = np.repeat(np.arange(start.size), counts)
    which = first[row] + np.arange(pieces) - np.repeat(np.cumsum(counts) - counts, counts)
    low = np.maximum(start[row], edges[which])
    high = np.minimum(end[row], edges[which + 1])
    span = (end - start)[row]
    share = np.where(span > 0, np.clip(high - low, 0.0, None) / np.where(span > 0, span, 1.0), 1.0)
    piece_mass = mass[row] * share
    bins = edges.size - 1
    total = np.bincount(which, weights=piece_mass, minlength=bins)
    kept = np.flatnonzero(total > 0)
    result = pd.DataFrame({"start_h": edges[kept], "end_h": edges[kept + 1], "mass_t": total[kept]})
    if clock is not None:
        stamps = pd.Timestamp(clock.start) + pd.to_timedelta(edges[kept], unit="h")
        result.insert(0, "start", stamps.round("s"))
    if volume is not None:
        result["volume_m3"] = np.bincount(which, weights=volume[row] * share, minlength=bins)[kept]
    for k, name in enumerate(names):
        carried = np.bincount(which, weights=piece_mass * table[row, k], minlength=bins)
        result[name] = carried[kept] / total[kept]
    return result
