"""Circular beds run as plants run them: stacking and reclaiming at once, round and round.

The stacker lays material on an advancing ramp (the blending tail) while the
reclaimer, some way behind, cuts the full-height face; the output is a steady
stream. A ring plan turns a quality series into chunks and into the
reclaimer's path over time (a RingSchedule); the fast engine then stacks and
reclaims them interleaved (RingPile in stockpile.py), and a RingStudy holds the
output over time with its figures.

Positions along the ring are metres on the pile's centre line, counted from the
-x side of the ring's centre in the direction both machines travel, and keep
growing turn after turn.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, ClassVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import validation
from .bed import Bed
from .metrics import QualityFigures, fair_figures
from .plans import Chevcon, ConeShell, RingSchedule, StackingPlan, is_ring_plan
from .results import HeightMap, RingOutput
from .series import QualitySeries, as_series
from .validation import FloatArray

if TYPE_CHECKING:
    import pandas as pd


@dataclass(frozen=True)
class PhaseFigures:
    """Figures of one phase of a ring's output: start-up or steady state."""

    name: str
    slices: int
    volume_m3: float
    hours: float
    mean_residence_h: float
    qualities: tuple[QualityFigures, ...]


@dataclass(frozen=True, repr=False)
class RingStudy:
    """A series run continuously round a circular bed: its output over time and its figures.

    output: every slice, start-up, steady state and the final run-out (phase says which).
    heights: the ring as the feed ended, ramp, full pile, face and reclaimed ground.
    portion_m3: size of the output composites (of whole slices) the figures compare with
        portions of the feed of the same volumes; by default what the reclaimer takes in an
        hour, at least ten slices and ten deliveries.
    """

    bed: Bed
    plan: StackingPlan
    series: QualitySeries
    schedule: RingSchedule
    output: RingOutput
    phase: NDArray[np.str_]
    heights: HeightMap
    seed: int
    stock_m3: FloatArray
    portion_m3: float | None = None

    STARTUP: ClassVar[str] = "start-up"
    STEADY: ClassVar[str] = "steady"
    RUNOUT: ClassVar[str] = "run-out"

    @property
    def stamp(self) -> str:
        from .study import stamp

        return stamp(self.bed.engine, self.seed)

    @property
    def passes(self) -> float | None:
        return self.schedule.layers

    @property
    def reclaim_rate_m3_per_h(self) -> float:
        return self.schedule.advance_m_per_s * self.schedule.cross_section_m2 * 3600

    @property
    def portion_size_m3(self) -> float:
        """Portions the figures compare: as given, or an hour of reclaim but at least ten slices and ten
        deliveries, so that neither side's own granularity sets the result."""
        if self.portion_m3 is not None:
            return self.portion_m3
        full = self.output.volume_m3[self.output.volume_m3 > 0]
        return max(
            self.reclaim_rate_m3_per_h,
            10 * float(full.mean()) if full.size else 0.0,
            10 * float(self.series.volume_m3.mean()),
        )

    def part(self, phase: str) -> RingOutput:
        return self.output.select(self.phase == phase)

    def _feed_window(self, part: RingOutput) -> NDArray[np.bool_]:
        """Deliveries that the part's material came from: its time span moved back by its mean residence."""
        full = part.volume_m3 > 0
        residence = float(np.average(part.residence_s[full], weights=part.volume_m3[full]))
        start = part.time_s[0] - residence
        end = part.time_s[-1] - residence
        return (self.series.time_s >= start) & (self.series.time_s <= end)

    def figures(self, phase: str) -> PhaseFigures:
        """Fair figures of a phase: its output against the feed it came from, in portions of equal volume."""
        part = self.part(phase)
        full = part.volume_m3 > 0
        if not np.any(full):
            raise ValueError(f"the {phase} output is empty: run the ring longer")
        window = self._feed_window(part)
        qualities = fair_figures(
            self.series.names,
            self.series.volume_m3[window],
            self.series.values[window],
            part.volume_m3,
            part.values,
            self.portion_size_m3,
            layers=self.passes,
        )
        return PhaseFigures(
            phase,
            int(full.sum()),
            part.total_volume_m3,
            float(part.time_s[-1] - part.time_s[0]) / 3600,
            float(np.average(part.residence_s[full], weights=part.volume_m3[full])) / 3600,
            qualities,
        )

    def homogenisation(self) -> tuple[QualityFigures, ...]:
        """The steady state's fair figures per quality value."""
        return self.figures(self.STEADY).qualities

    @property
    def mean_stock_m3(self) -> float:
        """Mean volume on the ring during the steady state."""
        steady = self.phase == self.STEADY
        return float(self.stock_m3[steady].mean()) if np.any(steady) else math.nan

    def describe(self) -> str:
        plan = self.plan.describe(self.series, self.bed)
        return (
            f"{plan}; ring of radius {self.bed.circle_radius_m:g} m, pile {self.bed.ring_width_m:g} m wide, "
            f"{self.bed.describe()}"
        )

    def __repr__(self) -> str:
        return f"RingStudy({self.describe()}; {len(self.output)} slices; seed {self.seed})"

def simulate_ring(
    series: QualitySeries | pd.DataFrame | ArrayLike,
    plan: Chevcon | ConeShell,
    bed: Bed,
    *,
    seed: int | None = None,
    portion_m3: float | None = None,
) -> RingStudy:
    """Run a series continuously round a circular bed by a ring plan (Chevcon, or ConeShell).

    The reclaimer's first turn is the start-up; from then until the feed ends the
    ring is in steady state; what is left is reclaimed afterwards (the run-out).
    """
    from .stockpile import RingPile

    series = as_series(series)
    if not is_ring_plan(plan, bed):
        raise ValueError("run a ring with Chevcon, or ConeShell on a circular bed")
    if portion_m3 is not None:
        validation.positive("portion_m3", portion_m3, "m³")
    schedule = plan.schedule(series, bed)
    seed = validation.draw_seed() if seed is None else validation.seed(seed)
    pile = RingPile(bed, seed=seed)
    running = pile.run(schedule)
    heights = pile.heights()
    drained = pile.drain(schedule.advance_m_per_s)
    output = RingOutput.joined(running, drained)
    first_turn = schedule.reclaimer_position_m[0] + bed.centre_line_m
    phase = np.where(running.position_m <= first_turn + 1e-9, RingStudy.STARTUP, RingStudy.STEADY)
    phase = np.concatenate([phase, np.full(len(drained), RingStudy.RUNOUT)])
    stacked = np.concatenate([[0.0], np.cumsum(schedule.chunks.volume)])
    chunk_times = np.concatenate([[schedule.chunks.timestamp[0]], schedule.chunks.timestamp])
    stock = np.interp(output.time_s, chunk_times, stacked) - np.cumsum(output.volume_m3)
    return RingStudy(bed, plan, series, schedule, output, phase, heights, seed, stock, portion_m3)
