"""Setting the two engines side by side: the shape of a pile, and how far a delivery spreads along the bed.

What the fast engine's eight-neighbour probability is calibrated on (bench/calibration.py), and what
says whether the engines agree (bench/engines_bench.py, the tables in docs/resolution.md).
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from .bed import Bed
from .capacity import ridge_shape
from .plans import StackingPlan
from .results import HeightMap, Particles
from .series import QualitySeries
from .study import simulate

# A delivery needs this many particles for a spread.
MIN_PARTICLES_PER_DELIVERY = 2


@dataclass(frozen=True)
class PileShape:
    """What a user sees of a ridge along x.

    footprint_m2: the ground its cells cover; highest_m: its highest cell;
    crest_m: the mean crest height over its body (see capacity.RidgeShape);
    centre_z_m: where it lies across the bed, the z of its volume's centroid.
    """

    footprint_m2: float
    highest_m: float
    crest_m: float
    centre_z_m: float


def pile_shape(heights: HeightMap) -> PileShape:
    """The footprint, highest point, crest height and centre line of a ridge along x; ValueError if it is no ridge."""
    surface = heights.heights_m
    row_centres_m = (np.arange(surface.shape[0]) + 0.5) * heights.cell_size_m
    return PileShape(
        float(np.count_nonzero(surface > 0)) * heights.cell_size_m**2,
        float(surface.max()),
        ridge_shape(heights).height_m,
        float(np.average(row_centres_m, weights=surface.sum(axis=1))),
    )


def delivery_spread_m(particles: Particles, delivery: str, *, within_m: tuple[float, float]) -> float:
    """How far the particles of one delivery lie apart along the bed, as the root mean square over
    deliveries of the std of their x (particles all carry the same volume).

    delivery: the quality column that numbers the deliveries. within_m: only
    deliveries whose particles' mean x lies in this stretch count, so that a
    caller can leave out the turns, where one delivery is laid in both directions.
    """
    ids = particles.column(delivery)
    order = np.argsort(ids, kind="stable")
    ids, x = ids[order], particles.x_m[order]
    starts = np.flatnonzero(np.concatenate([[True], ids[1:] != ids[:-1]]))
    variances = []
    for group in np.split(x, starts[1:]):
        if group.size < MIN_PARTICLES_PER_DELIVERY or not within_m[0] <= group.mean() <= within_m[1]:
            continue
        variances.append(float(np.var(group)))
    if not variances:
        raise ValueError(
            f"no delivery of {MIN_PARTICLES_PER_DELIVERY} or more particles lies within "
            f"{within_m[0]:g} m to {within_m[1]:g} m along the bed"
        )
    return float(np.sqrt(np.mean(variances)))


@dataclass(frozen=True)
class EngineRuns:
    """One engine's runs of a study with several seeds: the fair VRR of the first quality value and the
    pile's shape, one entry per seed."""

    engine: str
    cell_size_m: float
    vrr: tuple[float, ...]
    shapes: tuple[PileShape, ...]

    def mean(self, figure: str) -> float:
        """The mean over the seeds of "vrr" or of a PileShape field."""
        values = self.vrr if figure == "vrr" else [getattr(shape, figure) for shape in self.shapes]
        return float(np.mean(values))

    def sd(self, figure: str) -> float:
        """The standard deviation over the seeds (0 for one seed)."""
        values = self.vrr if figure == "vrr" else [getattr(shape, figure) for shape in self.shapes]
        return float(np.std(values, ddof=1)) if len(values) > 1 else 0.0


def run_engines(
    series: QualitySeries, plan: StackingPlan, bed: Bed, seeds: Sequence[int]
) -> dict[str, EngineRuns]:
    """The same feed, plan and bed on both engines, once per seed: {"fast": ..., "detailed": ...}.

    The bed's engine is replaced; everything else, the resolution too, is the same for both.
    """
    runs = {}
    for engine in ("fast", "detailed"):
        on = bed.with_engine(engine, particles_per_m3=bed.resolution_per_m3)
        studies = [simulate(series, plan, on, progress=False, seed=seed, on_excess="ignore") for seed in seeds]
        runs[engine] = EngineRuns(
            engine,
            on.cell_size_m,
            tuple(study.homogenisation()[0].vrr for study in studies),
            tuple(pile_shape(study.heights) for study in studies),
        )
    return runs
