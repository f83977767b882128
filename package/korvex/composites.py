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
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike

from . import validation

if TYPE_CHECKING:
    import pandas as pd

# A boundary that misses an interval's edge by this share of the interval is rounding.
_EDGE_TOLERANCE = 1e-9


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
) -> pd.DataFrame:
    """Mass-weighted composites over consecutive intervals of interval_h from origin_h (the first start).

    Columns: start_h, end_h, mass_t (and volume_m3 when given), the averaged
    quality values; intervals that received nothing are left out, and so are
    portions without mass.
    """
    import pandas as pd

    interval = validation.positive("interval_h", interval_h, "h")
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
    origin = float(start[0]) if origin_h is None else float(origin_h)
    first = np.floor((start - origin) / interval + _EDGE_TOLERANCE).astype(np.int64)
    last = np.maximum(np.ceil((end - origin) / interval - _EDGE_TOLERANCE).astype(np.int64) - 1, first)
    counts = last - first + 1
    pieces = int(counts.sum())
    validation.row_count(pieces, f"composites of {interval:g} h", validation.MAX_ROWS)
    row = np.repeat(np.arange(start.size), counts)
    which = first[row] + np.arange(pieces) - np.repeat(np.cumsum(counts) - counts, counts)
    low = np.maximum(start[row], origin + which * interval)
    high = np.minimum(end[row], origin + (which + 1) * interval)
    span = (end - start)[row]
    share = np.where(span > 0, np.clip(high - low, 0.0, None) / np.where(span > 0, span, 1.0), 1.0)
    piece_mass = mass[row] * share
    bins = which - which.min()
    total = np.bincount(bins, weights=piece_mass)
    kept = total > 0
    result = pd.DataFrame(
        {
            "start_h": origin + (np.flatnonzero(kept) + which.min()) * interval,
            "end_h": origin + (np.flatnonzero(kept) + which.min() + 1) * interval,
            "mass_t": total[kept],
        }
    )
    if volume is not None:
        result["volume_m3"] = np.bincount(bins, weights=volume[row] * share, minlength=total.size)[kept]
    for k, name in enumerate(names):
        carried = np.bincount(bins, weights=piece_mass * table[row, k], minlength=total.size)
        result[name] = carried[kept] / total[kept]
    return result

