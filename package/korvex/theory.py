"""What the feed itself says a bed can do: its variogram and the VRR of ideal layering.

Variogram. Cut the feed into consecutive portions z_1 .. z_M of equal volume
(or of equal time) and take half the mean squared difference of portions a
lag h apart:

    gamma(h) = sum over pairs (z_i - z_{i+h})**2 / (2 * pairs)

Pairs with an empty portion (no delivery in a stretch of time) are left out.
A feed that forgets its past within a slice has a flat variogram: nothing for
a bed to average out beyond a slice.

Ideal layering. A bed of N passes of the stacker over its length lays layers
of volume T = V / N (V the feed's volume). An output portion of volume Vo cut
vertically through the bed takes from every pass a share P = Vo / N, a
stretch of the feed that starts at

    forward pass i:   u_i = (i + s) * T
    backward pass i:  u_i = (i + 1 - s - Vo / V) * T

for a portion starting a fraction s along the pass (a Chevron, Windrow or
Strata stacker turns at each end, so passes alternate; a circular stacker
always runs forward). The portion's value is the mean of those N stretches of
this very feed: near the ends of the bed a backward pass lays almost what the
forward pass before it laid, and those portions blend less. Portions tile the
pass (s = 0, Vo / V, 2 Vo / V, ...); the predicted output variance is the
variance of their values about their mean, weighted by the volume of each, and
the predicted VRR divides it by the variance of the feed cut into portions of
Vo, the same denominator as the simulated VRR. Both are variances of numbers
this feed gives, so the VRR is never below zero: a feed that drifts steadily,
which alternating passes all but cancel, is predicted a VRR of about nought,
not a small negative number as an autocovariance estimated from the feed and
summed over the lags between passes gives.

The model knows no end cones, no material rolling along the bed and no
inclined reclaim face (which also averages along the bed); it is the bed that
the plan promises, against which the simulation can be read.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from .bed import Bed
from .chunks import ChunkTable
from .derived import Derivation, add_derived
from .metrics import FloatArray, equal_portions
from .plans import Chevron, Circular, StackingPlan, Strata, Windrow

if TYPE_CHECKING:
    from .series import QualitySeries

# Plans whose stacker turns at each end of the bed, and plans whose stacker runs round one way.
ALTERNATING_PLANS: tuple[type[StackingPlan], ...] = (Chevron, Windrow, Strata)
ONE_WAY_PLANS: tuple[type[StackingPlan], ...] = (Circular,)

# Portions the feed is cut into at most; finer portions than this are averaged
# up, which smooths the shortest lags of a very long feed.
MAX_FEED_PORTIONS = 1 << 20
# Pieces a chunk is spread into along the run of an inclined reclaim face.
FACE_STEPS = 6
# Stretches of the feed (portions along the bed x passes) that a prediction evaluates at most.
MAX_STRETCHES = 1 << 22


@dataclass(frozen=True)
class Variogram:
    """The empirical variogram of a feed.

    lag: lags in lag_unit ("m³" or "s"), increasing, all positive.
    gamma: half the mean squared difference of portions that far apart, one
        column per quality value.
    pairs: how many pairs of portions each lag averages.
    variance: the variance of the portions themselves, one per quality value:
        gamma levels off there once portions are independent.
    portion: the volume or duration of one portion.
    """

    lag: FloatArray
    gamma: FloatArray
    pairs: FloatArray
    variance: FloatArray
    names: tuple[str, ...]
    lag_unit: str
    portion: float

    def column(self, name: str) -> FloatArray:
        return self.gamma[:, self.names.index(name)]


def autocovariance(portions: FloatArray) -> FloatArray:
    """The autocovariance of each column at lags 0 .. M - 1 (rows: M portions in order).

    C(h) = sum_i (z_i - mean) * (z_{i+h} - mean) / (M - h): the mean product
    of the pairs h apart, centred on the sample mean. Every pair of portions in
    an output portion then carries the same offset for that mean, as the
    output's own variance around its mean does; dividing by M instead would
    shrink the long lags, between the first and the last layers, towards zero.
    """
    z = np.asarray(portions, dtype=np.float64)
    z = z.reshape(z.shape[0], -1)
    rows = z.shape[0]
    centred = z - z.mean(axis=0)
    size = 1 << (2 * rows - 1).bit_length()
    spectrum = np.fft.rfft(centred, n=size, axis=0)
    sums = np.fft.irfft(spectrum * np.conj(spectrum), n=size, axis=0)[:rows]
    return sums / (rows - np.arange(rows))[:, np.newaxis]


def _correlate(a: FloatArray, b: FloatArray, size: int, lags: int) -> FloatArray:
    """sum_i a_i * b_{i+h} for h = 0 .. lags - 1, column by column."""
    product = np.conj(np.fft.rfft(a, n=size, axis=0)) * np.fft.rfft(b, n=size, axis=0)
    return np.fft.irfft(product, n=size, axis=0)[:lags]


def _variogram(z: FloatArray, present: FloatArray, max_lag: int) -> tuple[FloatArray, FloatArray]:
    """gamma and pair counts at lags 1 .. max_lag of portions z where present (0 or 1)."""
    rows = z.shape[0]
    lags = max_lag + 1
    size = 1 << (rows + lags).bit_length()
    mask = present[:, np.newaxis]
    # Centring keeps the squares small, so the cross terms cancel without rounding away the differences.
    centred = np.where(mask > 0, z - np.average(z, axis=0, weights=present), 0.0)
    squares = centred**2
    pairs = np.rint(_correlate(mask, mask, size, lags))[:, 0]
    sums = (
        _correlate(squares, mask, size, lags)
        + _correlate(mask, squares, size, lags)
        - 2 * _correlate(centred, centred, size, lags)
    )
    with np.errstate(invalid="ignore", divide="ignore"):
        gamma = np.maximum(sums, 0.0) / (2 * pairs[:, np.newaxis])
    return gamma[1:], pairs[1:]


def _check_max_lag(max_lag: float, portion: float, count: int, unit: str) -> int:
    steps = math.floor(max_lag / portion + 1e-9)
    if steps < 1:
        raise ValueError(f"the longest lag, {max_lag:g} {unit}, is shorter than one portion of {portion:g} {unit}")
    if steps > count - 1:
        raise ValueError(f"the longest lag, {max_lag:g} {unit}, is longer than the feed, {count * portion:g} {unit}")
    return steps


def variogram_by_volume(
    series: QualitySeries, portion_m3: float | None = None, *, max_lag_m3: float | None = None
) -> Variogram:
    """The feed's variogram against the volume stacked between two portions.

    portion_m3: the volume of one portion; by default the median delivery
        (no finer than MAX_FEED_PORTIONS portions in all).
    max_lag_m3: the longest lag; by default half the feed.
    """
    total = series.total_volume_m3
    if portion_m3 is None:
        deliveries = series.volume_m3[series.volume_m3 > 0]
        portion_m3 = max(float(np.median(deliveries)), total / MAX_FEED_PORTIONS)
    elif not (math.isfinite(portion_m3) and portion_m3 > 0):
        raise ValueError(f"portion_m3 must be positive and finite, got {portion_m3} m³")
    elif total / portion_m3 > MAX_FEED_PORTIONS:
        raise ValueError(
            f"portion_m3 = {portion_m3:g} m³ cuts the feed of {total:g} m³ "
            f"into more than {MAX_FEED_PORTIONS} portions"
        )
    portions = equal_portions(series.volume_m3, series.values, portion_m3)
    count = portions.shape[0]
    if count < 3:
        raise ValueError(
            f"portion_m3 = {portion_m3:g} m³ leaves {count} portions of the feed: too few for a variogram"
        )
    steps = _check_max_lag(total / 2 if max_lag_m3 is None else max_lag_m3, portion_m3, count, "m³")
    gamma, pairs = _variogram(portions, np.ones(count), steps)
    return Variogram(
        np.arange(1, steps + 1) * portion_m3,
        gamma,
        pairs,
        portions.var(axis=0),
        series.names,
        "m³",
        portion_m3,
    )


def variogram_by_time(
    series: QualitySeries, interval_s: float | None = None, *, max_lag_s: float | None = None
) -> Variogram:
    """The feed's variogram against the time between two portions of equal duration.

    Each portion holds the deliveries whose time stamps fall in it, averaged by
    volume; a stretch without deliveries (a stop) makes no pairs.
    interval_s: the duration of one portion; by default the median gap between
        deliveries. max_lag_s: the longest lag; by default half the series.
    """
    duration = series.duration_s
    gaps = np.diff(series.time_s)
    if not duration > 0:
        raise ValueError("the series has no time span: every delivery has the same time stamp")
    if interval_s is None:
        interval_s = max(float(np.median(gaps[gaps > 0])), duration / MAX_FEED_PORTIONS)
    if not (math.isfinite(interval_s) and interval_s > 0):
        raise ValueError(f"interval_s must be positive and finite, got {interval_s} s")
    if duration / interval_s > MAX_FEED_PORTIONS:
        raise ValueError(
            f"interval_s = {interval_s:g} s cuts {duration:g} s into more than {MAX_FEED_PORTIONS} portions"
        )
    count = math.floor(duration / interval_s + 1e-9) + 1
    which = np.minimum(((series.time_s - series.time_s[0]) / interval_s + 1e-9).astype(np.int64), count - 1)
    volume = np.bincount(which, weights=series.volume_m3, minlength=count)
    present = (volume > 0).astype(np.float64)
    if present.sum() < 3:
        raise ValueError(f"interval_s = {interval_s:g} s leaves fewer than 3 portions with material")
    carried = np.column_stack(
        [np.bincount(which, weights=series.volume_m3 * column, minlength=count) for column in series.values.T]
    )
    portions = carried / np.where(volume > 0, volume, 1.0)[:, np.newaxis]
    steps = _check_max_lag(duration / 2 if max_lag_s is None else max_lag_s, interval_s, count, "s")
    gamma, pairs = _variogram(portions, present, steps)
    return Variogram(
        np.arange(1, steps + 1) * interval_s,
        gamma,
        pairs,
        portions[present > 0].var(axis=0),
        series.names,
        "s",
        interval_s,
    )


@dataclass(frozen=True)
class Layering:
    """Ideal layering: passes of the stacker over the bed, each laying an equal share of the feed.

    passes: N, possibly fractional (a stacker driven by its speed stops mid-pass).
    alternating: passes run forward and backward in turn (else all forward).
    """

    passes: float
    alternating: bool

    def __post_init__(self) -> None:
        if not (math.isfinite(self.passes) and self.passes > 0):
            raise ValueError(f"passes must be positive and finite, got {self.passes}")

    @classmethod
    def of(cls, plan: StackingPlan, series: QualitySeries, bed: Bed) -> Layering | None:
        """The layering a plan promises for this feed and bed; None for a plan that lays no layers."""
        if not isinstance(plan, ALTERNATING_PLANS + ONE_WAY_PLANS):
            return None
        passes = plan.passes(series, bed)
        if passes is None:
            return None
        return cls(float(passes), isinstance(plan, ALTERNATING_PLANS))

    def starts(self, total_m3: float, portion_m3: float, along: FloatArray) -> FloatArray:
        """Where in the feed (cumulative m³) each pass's share of a portion starts; NaN where no pass lies.

        along: fractions of a pass at which portions start, shape (K,); the
        result has shape (K, passes rounded up).
        """
        layer = total_m3 / self.passes
        width = portion_m3 / total_m3
        index = np.arange(math.ceil(self.passes - 1e-9))
        forward = (index % 2 == 0) if self.alternating else np.ones(index.size, dtype=bool)
        s = along[:, np.newaxis]
        start = np.where(forward, index + s, index + 1 - s - width) * layer
        share = portion_m3 / self.passes
        return np.where(start + share <= total_m3 * (1 + 1e-9), start, np.nan)


def predicted_vrr(series: QualitySeries, layering: Layering, portion_m3: float) -> dict[str, float]:
    """The VRR of each quality value that ideal layering of this feed would give portions of portion_m3.

    See the module for the reasoning. Raises ValueError when a portion holds
    the whole feed: it would span every position along the bed.
    """
    total = series.total_volume_m3
    if not (math.isfinite(portion_m3) and portion_m3 > 0):
        raise ValueError(f"portion_m3 must be positive and finite, got {portion_m3} m³")
    width = portion_m3 / total
    if width >= 1:
        raise ValueError(
            f"an output portion of {portion_m3:g} m³ takes the whole bed of {total:g} m³: it would span "
            "every position along it"
        )
    share = portion_m3 / layering.passes
    count = math.floor(1 / width + 1e-9)
    passes = math.ceil(layering.passes - 1e-9)
    # Every portion of the pass when that stays cheap; else evenly chosen ones.
    along = np.arange(count) * width
    if count * passes > MAX_STRETCHES:
        along = along[np.linspace(0, count - 1, max(2, MAX_STRETCHES // passes)).round().astype(np.int64)]
    starts = layering.starts(total, portion_m3, along)
    present = np.isfinite(starts)
    output = _stretch_means(series, np.where(present, starts, 0.0), share)
    laid = present.sum(axis=1)
    weight = laid[laid > 0].astype(np.float64)
    values = np.where(present[..., np.newaxis], output, 0.0).sum(axis=1)[laid > 0] / weight[:, np.newaxis]
    mean = np.average(values, axis=0, weights=weight)
    variance_out = np.average((values - mean) ** 2, axis=0, weights=weight)
    variance_in = equal_portions(series.volume_m3, series.values, portion_m3).var(axis=0)
    return {
        name: (math.nan if variance_in[k] == 0 else float(variance_out[k] / variance_in[k]))
        for k, name in enumerate(series.names)
    }


def _stretch_means(series: QualitySeries, starts_m3: FloatArray, length_m3: float) -> FloatArray:
    """The mean quality of the feed from each start (cumulative m³) over length_m3, one column per quality
    value: the difference of the running sum of quality carried, piecewise linear in the volume, as
    metrics.cut takes it."""
    keep = series.volume_m3 > 0
    volume = series.volume_m3[keep]
    delivered = np.concatenate([[0.0], np.cumsum(volume)])
    carried = np.vstack(
        [np.zeros((1, len(series.names))), np.cumsum(volume[:, np.newaxis] * series.values[keep], axis=0)]
    )
    ends = np.minimum(starts_m3 + length_m3, delivered[-1])
    columns = [
        np.interp(ends, delivered, carried[:, k]) - np.interp(starts_m3, delivered, carried[:, k])
        for k in range(carried.shape[1])
    ]
    return np.stack(columns, axis=-1) / length_m3


def chunk_layering_vrr(
    chunks: ChunkTable,
    series: QualitySeries,
    portion_m3: float,
    *,
    face_run_m: float | FloatArray = 0.0,
    derived: Mapping[str, Derivation] | None = None,
) -> dict[str, float]:
    """The VRR of each quality and derived value if every chunk of the plan stayed where the stacker put
    it: the bed reclaimed in portions of portion_m3 in order along it, against the feed cut into portions
    of the same volume.

    Ideal layering of the plan's own chunks: the stacker's start, speed and dwell and the feed's stops
    are in it, the pile's slopes are not. face_run_m: how far along the bed an inclined reclaim face runs
    between the ground and each chunk (one number, or one a chunk); the face meets a layer over that run,
    and the chunk is spread evenly over it (FACE_STEPS pieces). It costs a sort of the chunks, so a plan
    can be scanned finely over its operating range. A modulus (LSF, say) is taken of each portion's
    averaged oxides (korvex.derived), in and out alike.
    """
    import pandas as pd

    if not (math.isfinite(portion_m3) and portion_m3 > 0):
        raise ValueError(f"portion_m3 must be positive and finite, got {portion_m3} m³")
    run = np.broadcast_to(np.asarray(face_run_m, dtype=np.float64), (len(chunks),))
    steps = (np.arange(FACE_STEPS) + 0.5) / FACE_STEPS if np.any(run > 0) else np.zeros(1)
    x = (chunks.x[np.newaxis, :] - steps[:, np.newaxis] * run[np.newaxis, :]).ravel()
    order = np.argsort(x, kind="stable")
    volume = np.tile(chunks.volume, steps.size)[order] / steps.size
    laid = equal_portions(volume, np.tile(chunks.values, (steps.size, 1))[order], portion_m3)
    fed = equal_portions(series.volume_m3, series.values, portion_m3)
    if min(laid.shape[0], fed.shape[0]) < 2:
        raise ValueError(f"portions of {portion_m3:g} m³ leave fewer than two of the bed to compare")
    out = add_derived(pd.DataFrame(laid, columns=list(series.names)), derived)
    into = add_derived(pd.DataFrame(fed, columns=list(series.names)), derived)
    ratios = {}
    for name in out.columns:
        variance_in = float(np.nanvar(into[name].to_numpy(dtype=np.float64)))
        variance_out = float(np.nanvar(out[name].to_numpy(dtype=np.float64)))
        ratios[name] = math.nan if variance_in == 0 else variance_out / variance_in
    return ratios


@dataclass(frozen=True)
class PredictionCheck:
    """The predicted VRR of one quality value against the simulated VRR of replicate runs."""

    name: str
    predicted_vrr: float
    simulated_vrr: tuple[float, ...]

    @property
    def mean_vrr(self) -> float:
        return float(np.mean(self.simulated_vrr))

    @property
    def spread(self) -> float | None:
        """The standard deviation of the replicates; None for a single run."""
        return float(np.std(self.simulated_vrr, ddof=1)) if len(self.simulated_vrr) > 1 else None

    @property
    def differs(self) -> bool | None:
        """Whether prediction and simulation lie further apart than the replicates among themselves."""
        spread = self.spread
        return None if spread is None else abs(self.mean_vrr - self.predicted_vrr) > spread

    def describe(self) -> str:
        runs = len(self.simulated_vrr)
        text = f"{self.name}: predicted VRR {self.predicted_vrr:.4f}, simulated {self.mean_vrr:.4f}"
        if self.spread is None:
            return text + " (one run: no spread to judge the difference by)"
        text += f" ± {self.spread:.4f} over {runs} runs"
        if self.differs:
            return text + ": they differ by more than the runs' spread"
        return text + ": within the runs' spread"


def check_prediction(predicted: dict[str, float], simulated: Sequence[dict[str, float]]) -> tuple[PredictionCheck, ...]:
    """Set the predicted VRR of each quality value against the VRRs of replicate runs."""
    if not simulated:
        raise ValueError("give the VRR of at least one simulated run")
    return tuple(
        PredictionCheck(name, value, tuple(float(run[name]) for run in simulated)) for name, value in predicted.items()
    )
