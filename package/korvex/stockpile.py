"""The stockpile: one pile on one bed, simulated by the native engine.

This is the only module that talks to the native simulator: creating it,
stacking, reclaiming and reading heights all happen here.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from . import validation
from .bed import Bed
from .chunks import ChunkTable
from .results import HeightMap, Reclaimed

if TYPE_CHECKING:
    from _korvex_lib import KorvexLib

# Enough batches that a progress bar moves smoothly; each batch is one native call.
PROGRESS_BATCHES = 200
# A bar for a call that ends within this time would only flicker.
PROGRESS_DELAY_S = 1.0


NativeArguments = tuple[float, float, float, float, bool, float, float, float, bool, float]


def native_arguments(bed: Bed) -> NativeArguments:
    """The bed as the ten positional arguments of the native constructor, in their order."""
    return (
        bed.length_m,
        bed.depth_m,
        bed.reclaim_angle_deg,
        bed.particles_per_m3,
        bed.circular,
        bed.eight_neighbour_probability,
        bed.particle_volume_factor,
        bed.drop_height_m,
        bed.engine == "detailed",
        bed.reclaim_increment_m,
    )


def _native_simulator(bed: Bed, seed: int) -> KorvexLib:
    """A fresh native simulator for the bed, seeded with `seed`.

    _korvex_lib draws its random state itself and takes no seed yet; its
    successor takes it here, so that a seeded study repeats exactly.
    """
    import _korvex_lib

    return _korvex_lib.KorvexLib(*native_arguments(bed))


def _reclaimed(result: dict[str, list[float]], names: tuple[str, ...]) -> Reclaimed:
    """The native reclaim result as slices; an empty slice's zero sums become NaN, for they are no measurement."""
    volume = np.asarray(result["volume"], dtype=np.float64)
    values = np.empty((volume.size, len(names)))
    for k, name in enumerate(names):
        values[:, k] = result[name]
    values[volume <= 0] = np.nan
    return Reclaimed(np.asarray(result["x"], dtype=np.float64), volume, values, names)


class Stockpile:
    """One pile on one bed, simulated by the native engine.

    Stack chunk tables (as many as you like, all with the same quality values),
    then reclaim once; the heights can be read at any time and show the pile as
    stacked, before reclaiming. seed: the engine's random numbers (drawn afresh
    when not given; `seed` tells which).
    """

    def __init__(self, bed: Bed, *, seed: int | None = None) -> None:
        self.bed = bed
        self.seed = validation.draw_seed() if seed is None else validation.seed(seed)
        self._lib = _native_simulator(bed, self.seed)
        self._names: tuple[str, ...] | None = None
        self._reclaimed: Reclaimed | None = None
        self.stacked_volume_m3 = 0.0

    @property
    def quality_names(self) -> tuple[str, ...]:
        return self._names or ()

    def stack(self, chunks: ChunkTable, *, progress: bool = True) -> None:
        """Stack the chunks in order, in batches so that a progress bar can follow."""
        from tqdm import tqdm

        if self._reclaimed is not None:
            raise RuntimeError("this pile has been reclaimed; stack onto a new Stockpile")
        if self._names is not None and chunks.quality_names != self._names:
            raise ValueError(f"quality values {chunks.quality_names} differ from this pile's {self._names}")
        if len(chunks) == 0:
            return
        chunks.check_on(self.bed)
        bed = self.bed
        particles = (self.stacked_volume_m3 + chunks.total_volume_m3) * bed.particles_per_m3
        limit = validation.MAX_PARTICLES[bed.engine]
        if particles > limit:
            raise ValueError(
                f"{chunks.total_volume_m3:.4g} m³ at {bed.particles_per_m3:g} particles per m³ would put "
                f"{particles:.3g} particles on the pile, more than the {limit:,} the {bed.engine} engine takes"
            )
        columns = chunks.columns
        # Whole cubic metres: float steps would overshoot the bar's total by rounding.
        total = round(chunks.total_volume_m3)
        shown = 0
        done = 0.0
        with tqdm(
            total=total, unit="m³", desc="stacking", delay=PROGRESS_DELAY_S, leave=False, disable=not progress
        ) as bar:
            for batch in chunks.batches(PROGRESS_BATCHES):
                self._lib.stack_list(batch, columns)
                self._names = chunks.quality_names
                batch_volume = float(batch[:, 3].sum())
                self.stacked_volume_m3 += batch_volume
                done += batch_volume
                now = min(round(done), total)
                bar.update(now - shown)
                shown = now

    def reclaim(self) -> Reclaimed:
        """Reclaim the whole pile, slice by slice; a second call returns the same slices."""
        if self._reclaimed is None:
            self._reclaimed = _reclaimed(self._lib.reclaim(), self.quality_names)
        return self._reclaimed

    def heights(self) -> HeightMap:
        """The pile's surface as stacked (before reclaiming)."""
        return HeightMap(np.asarray(self._lib.get_heights(), dtype=np.float64), self.bed.cell_size_m)
