"""What varies from one bed to the next in a plant, and how much of a result's spread it makes.

Two beds stacked by the same plan never see the same stacking: the stacker
starts wherever the last bed left it, heading either way, runs a few percent
off its set point and stands a while at each turn; and the feed is another
stretch of the quarry's output. A replicate that redraws only the engine's
seed measures the engine's scatter alone, a small share of what a plant sees.

An Operation says what a replicate redraws. Runs come in groups of
`engine_runs` that share one operational draw and differ in the engine's seed,
so that the spread within a group is the engine's and the spread between
groups is operation's (variance_components).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, fields, replace

import numpy as np

from . import validation
from .bed import Bed
from .plans import StackingPlan
from .series import QualitySeries
from .theory import variogram_by_volume
from .validation import FloatArray


@dataclass(frozen=True)
class Operation:
    """What every replicate draws afresh besides the engine's seed.

    phase: start the stacker anywhere on its round trip, heading either way.
    speed_spread: the stacker's speed, uniform within this share either side of
        its set point (0.03: ±3 %).
    dwell_spread_s: extra time at each turn, uniform from 0 to this (s); plans
        driven by the stacker's speed only, since a dwell is a time.
    feed: draw the feed too: a block bootstrap of a given feed (blocks as long
        as its variogram takes to level off), a fresh realisation of a
        synthetic one or of a feed generator.
    engine_runs: runs per operational draw, each with its own engine seed; two
        or more split a result's spread into operation's and the engine's.
    """

    phase: bool = True
    speed_spread: float = 0.03
    dwell_spread_s: float = 30.0
    feed: bool = False
    engine_runs: int = 2

    def __post_init__(self) -> None:
        validation.within("speed_spread", self.speed_spread, 0.0, 0.5)
        validation.non_negative("dwell_spread_s", self.dwell_spread_s, "s")
        validation.whole("engine_runs", self.engine_runs, 1)

    @property
    def varies(self) -> bool:
        """Whether a draw changes anything of the stacking."""
        return self.phase or self.speed_spread > 0 or self.dwell_spread_s > 0

    def draw_plan(self, plan: StackingPlan, bed: Bed, rng: np.random.Generator) -> tuple[StackingPlan, dict[str, float]]:
        """The plan as one bed in a plant stacks it, and what was drawn (start_phase_m, speed_factor,
        turnaround_dwell_s). A plan without a travelling stacker (cones) is returned as it is."""
        # Every draw is made whatever the plan, so that the plans of one replicate see the same numbers
        # and the same feed drawn after them.
        phase_share, speed_share, dwell_share = rng.random(3)
        names = {item.name for item in fields(plan)}  # type: ignore[arg-type]
        if "start_phase_m" not in names:
            return plan, {}
        changes: dict[str, float] = {}
        round_trip_m = plan.round_trip_m(bed)  # type: ignore[attr-defined]
        # A bed too short for the plan is refused by the plan itself, in words about the bed.
        if self.phase and round_trip_m > 0:
            changes["start_phase_m"] = float(phase_share) * round_trip_m
        if self.speed_spread > 0:
            changes["speed_factor"] = 1.0 + self.speed_spread * (2.0 * float(speed_share) - 1.0)
        if self.dwell_spread_s > 0 and getattr(plan, "stacker_speed_m_per_min", None) is not None and (
            "turnaround_dwell_s" in names
        ):
            changes["turnaround_dwell_s"] = plan.turnaround_dwell_s + float(dwell_share) * self.dwell_spread_s  # type: ignore[attr-defined]
        return replace(plan, **changes), changes  # type: ignore[type-var]


# Replicates that redraw nothing but the engine's seed.
ENGINE_ONLY = Operation(phase=False, speed_spread=0.0, dwell_spread_s=0.0, feed=False, engine_runs=1)


def block_rows(series: QualitySeries) -> int:
    """Rows per block of a bootstrap of the feed: the lag by volume at which every quality value's
    variogram first reaches the feed's variance (its sill), in median deliveries; at most a quarter of
    the feed, so that a bootstrap still mixes blocks."""
    rows = len(series)
    most = max(1, rows // 4)
    if rows < 8:
        return most
    variogram = variogram_by_volume(series)
    reach = 1
    for k in range(len(series.names)):
        above = np.flatnonzero(variogram.gamma[:, k] >= variogram.variance[k])
        lag_m3 = variogram.lag[above[0]] if above.size else variogram.lag[-1]
        reach = max(reach, math.ceil(lag_m3 / variogram.portion))
    return min(reach, most)


def bootstrap_feed(series: QualitySeries, rng: np.random.Generator, block: int | None = None) -> QualitySeries:
    """Another stretch of a feed like this one: a moving-block bootstrap of its rows.

    Blocks of `block` rows (block_rows by default) start at random rows and are laid end to end until
    the feed has as many rows as before; each row keeps its volume, its qualities and its gap to the
    next row, so night stops and truck gaps come along with the material they belong to.
    """
    rows = len(series)
    block = block_rows(series) if block is None else validation.whole("block", block, 1, rows)
    starts = rng.integers(0, rows - block + 1, size=math.ceil(rows / block))
    index = (starts[:, np.newaxis] + np.arange(block)).ravel()[:rows]
    gaps = np.append(np.diff(series.time_s), 0.0)
    if rows > 1:
        # The last row has no gap of its own; it borrows the typical one.
        gaps[-1] = float(np.median(gaps[:-1]))
    time = np.concatenate([[0.0], np.cumsum(gaps[index])[:-1]]) + series.time_s[0]
    return QualitySeries(time, series.volume_m3[index], series.values[index], series.names)


@dataclass(frozen=True)
class Components:
    """A result's spread from run to run, split: the standard deviation of one run's result that
    operation contributes and that the engine contributes (NaN where the design cannot tell)."""

    operation_sd: float
    engine_sd: float


def variance_components(values: Sequence[float] | FloatArray, groups: Sequence[int] | FloatArray) -> Components:
    """One-way random effects over runs grouped by operational draw (groups of unequal size allowed).

    The engine's variance is the mean square within groups; operation's is the excess of the mean square
    between groups over it, per run (the n0 of unequal groups), and never below zero.
    """
    values = np.asarray(values, dtype=np.float64)
    groups = np.asarray(groups)
    keep = np.isfinite(values)
    values, groups = values[keep], groups[keep]
    labels, which, sizes = np.unique(groups, return_inverse=True, return_counts=True)
    count, runs = labels.size, values.size
    if runs == 0:
        return Components(math.nan, math.nan)
    means = np.bincount(which, weights=values) / sizes
    within_df = runs - count
    within = float(np.sum((values - means[which]) ** 2) / within_df) if within_df > 0 else math.nan
    if count < 2 or math.isnan(within):
        return Components(math.nan, math.sqrt(within) if within_df > 0 else math.nan)
    between = float(np.sum(sizes * (means - values.mean()) ** 2) / (count - 1))
    n0 = (runs - float(np.sum(sizes**2)) / runs) / (count - 1)
    return Components(math.sqrt(max(0.0, (between - within) / n0)), math.sqrt(within))
