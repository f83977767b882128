"""The stockpile: one pile on one bed, simulated by the native engine.

This is the only module that talks to the native simulator: creating it,
stacking, reclaiming and reading heights all happen here.
"""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any

import numpy as np
from tqdm import tqdm

from . import validation
from ._native import Ring, Simulator
from .bed import SETTINGS, Bed
from .chunks import ChunkTable
from .errors import SettingsError, TableError
from .plans import RingSchedule
from .results import HeightMap, Layers, Particles, Reclaimed, RingOutput
from .validation import FloatArray

# Enough batches that a progress bar moves smoothly; each batch is one native call.
PROGRESS_BATCHES = 200
# A bar for a call that ends within this time would only flicker.
PROGRESS_DELAY_S = 1.0


def native_settings(bed: Bed) -> dict[str, Any]:
    """The bed as the keyword settings of the native simulator: the settings its engine reads (those it does
    not are None on the bed), and those left to the engine's rule (None) as such."""
    settings = {name: getattr(bed, name) for name in SETTINGS.keys() & bed.__dataclass_fields__.keys() - {"ring_radius_m"}}
    return {
        **{name: value for name, value in settings.items() if value is not None},
        "circular": bed.circular,
        "engine": bed.engine,
        "reclaim_step_m": bed.reclaim_step_m,
    }


class Stockpile:
    """One pile on one bed, simulated by the native engine.

    Stack chunk tables (as many as you like, all with the same quality values),
    then reclaim once; the heights can be read at any time and show the pile as
    stacked, before reclaiming. seed: the engine's random numbers (drawn afresh
    when not given; `seed` tells which). record_particles: keep where every
    particle came to rest, for cross-sections and 3-D views (see `particles`);
    the layered engine keeps every layer anyway (see `layers`).
    """

    def __init__(self, bed: Bed, *, seed: int | None = None, record_particles: bool = False) -> None:
        self.bed = bed
        self.seed = validation.draw_seed() if seed is None else validation.seed(seed)
        keeps = record_particles and bed.engine != "layered"
        self._lib = Simulator(seed=self.seed, record_particles=keeps, **native_settings(bed))
        self._names: tuple[str, ...] | None = None
        self._reclaimed: Reclaimed | None = None
        self.stacked_volume_m3 = 0.0

    @classmethod
    def _around(cls, bed: Bed, lib: Simulator, stacked_volume_m3: float) -> Stockpile:
        pile = cls.__new__(cls)
        pile.bed = bed
        pile.seed = lib.seed
        pile._lib = lib
        pile._names = tuple(lib.quality_names) or None
        pile._reclaimed = None
        pile.stacked_volume_m3 = stacked_volume_m3
        return pile

    def save(self, path: str | Path, note: bytes = b"") -> None:
        """Save the whole pile to a snapshot file, atomically, with `note` (the caller's bytes) beside it.

        The fast and layered engines' piles are saved, the detailed engine's cannot be (RuntimeError); a file that
        cannot be written is an OSError, and the previous file is then kept.
        """
        self._lib.save(str(path), note)

    @classmethod
    def load(cls, path: str | Path, bed: Bed, stacked_volume_m3: float) -> tuple[Stockpile, bytes]:
        """The pile a snapshot file holds, on `bed` (the bed it was saved from), and the note saved with it.

        ValueError names what is wrong with a truncated, corrupt, foreign or newer file.
        """
        lib = Simulator.load(str(path))
        if lib.engine != bed.engine:
            raise ValueError(f"{path} holds a pile of the {lib.engine} engine, not one of this bed's {bed.engine}")
        if not math.isclose(lib.cell_size_m, bed.cell_size_m, rel_tol=1e-6):
            raise ValueError(f"{path} holds a pile of {lib.cell_size_m:g} m cells, not one of this bed's {bed.cell_size_m:g} m")
        return cls._around(bed, lib, stacked_volume_m3), lib.note

    def copy(self) -> Stockpile:
        """An independent pile in the same state, which goes on exactly as this one would."""
        return self._around(self.bed, self._lib.copy(), self.stacked_volume_m3)

    def surface_copy(self) -> Stockpile:
        """An independent pile with this one's surface and random state but none of its material: what it
        stacks next, with quality values of its own, lands as it would have here and fills empty slices."""
        return self._around(self.bed, self._lib.surface_copy(), self.stacked_volume_m3)

    @property
    def quality_names(self) -> tuple[str, ...]:
        return self._names or ()

    def stack(self, chunks: ChunkTable, *, progress: bool = True) -> None:
        """Stack the chunks in order, in batches so that a progress bar can follow."""
        if self._reclaimed is not None:
            raise RuntimeError("this pile has been reclaimed; stack onto a new Stockpile")
        if self._names is not None and chunks.quality_names != self._names:
            raise TableError(f"quality values {chunks.quality_names} differ from this pile's {self._names}")
        if len(chunks) == 0:
            return
        chunks.check_on(self.bed)
        bed = self.bed
        particles = (self.stacked_volume_m3 + chunks.total_volume_m3) * bed.resolution_per_m3
        # The layered engine's work grows with the chunks, which the chunk table bounds, not with particles.
        limit = validation.MAX_PARTICLES.get(bed.engine, math.inf)
        if particles > limit:
            raise SettingsError(
                f"{chunks.total_volume_m3:.4g} m³ at {bed.resolution_per_m3:g} particles per m³ would put "
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
                self._lib.stack(batch, columns)
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
            position, volume, values = self._lib.reclaim()
            self._reclaimed = Reclaimed(position, volume, values, self.quality_names)
        return self._reclaimed

    def heights(self) -> HeightMap:
        """The pile's surface as stacked (before reclaiming)."""
        return HeightMap(self._lib.heights().astype(np.float64), self._lib.cell_size_m)

    def particles(self) -> Particles:
        """Where every particle came to rest, with its stacking order and quality values.

        Needs record_particles=True; read it before reclaiming.
        """
        if self.bed.engine == "layered":
            raise ValueError("the layered engine keeps layers, not particles: read them with layers()")
        records = self._lib.particles()
        return Particles(
            records["drop_index"], records["x_m"], records["y_m"], records["z_m"], records["values"], self.quality_names
        )

    def layers(self) -> Layers:
        """Every segment the layered engine keeps, column by column; after a reclaim, what is left."""
        return Layers.of_records(self._lib.layers(), self.quality_names, self._lib.cell_size_m)


class RingPile:
    """A circular bed run continuously on the fast engine: stacking and reclaiming interleaved.

    The ring's centre line has the bed's circle_radius_m about the centre of its
    area; the reclaimer follows the path a ring plan's schedule gives it and
    lowers every column its face cuts. seed: the engine's random numbers.
    """

    def __init__(self, bed: Bed, *, seed: int | None = None) -> None:
        if bed.engine != "fast":
            raise SettingsError(f"continuous operation of a ring runs on the fast engine, not {bed.engine!r}")
        self.bed = bed
        self.seed = validation.draw_seed() if seed is None else validation.seed(seed)
        self._lib = Ring(
            length_m=bed.length_m,
            depth_m=bed.depth_m,
            ring_radius_m=bed.circle_radius_m,
            reclaim_angle_deg=bed.reclaim_angle_deg,
            particles_per_m3=bed.resolution_per_m3,
            eight_neighbour_probability=bed.eight_neighbour_probability,
            seed=self.seed,
            reclaim_step_m=bed.reclaim_step_m,
        )

    @classmethod
    def _around(cls, bed: Bed, lib: Ring) -> RingPile:
        ring = cls.__new__(cls)
        ring.bed = bed
        ring.seed = lib.seed
        ring._lib = lib
        return ring

    def save(self, path: str | Path, note: bytes = b"") -> None:
        """Save the whole ring to a snapshot file, atomically, with `note` beside it (see Stockpile.save)."""
        self._lib.save(str(path), note)

    @classmethod
    def load(cls, path: str | Path, bed: Bed) -> tuple[RingPile, bytes]:
        """The ring a snapshot file holds, on `bed` (the bed it was saved from), and the note saved with it."""
        lib = Ring.load(str(path))
        if not math.isclose(lib.cell_size_m, bed.cell_size_m, rel_tol=1e-6):
            raise ValueError(
                f"{path} holds a ring of {lib.cell_size_m:g} m cells, not one of this bed's {bed.cell_size_m:g} m"
            )
        return cls._around(bed, lib), lib.note

    def copy(self) -> RingPile:
        """An independent ring in the same state, which goes on exactly as this one would."""
        return self._around(self.bed, self._lib.copy())

    def run(self, schedule: RingSchedule) -> RingOutput:
        """Stack the schedule's chunks while the reclaimer follows its path; the slices cut meanwhile."""
        return self.run_along(schedule.chunks, schedule.reclaimer_time_s, schedule.reclaimer_position_m)

    def run_along(
        self, chunks: ChunkTable, reclaimer_time_s: FloatArray, reclaimer_position_m: FloatArray
    ) -> RingOutput:
        """Stack `chunks` while the reclaimer's foot follows the path given by its points (times and
        positions on the centre line, linear in between); the slices cut meanwhile."""
        chunks.check_on(self.bed)
        particles = (self.volume_m3 + chunks.total_volume_m3) * self.bed.resolution_per_m3
        if particles > validation.MAX_PARTICLES["fast"]:
            raise SettingsError(
                f"{chunks.total_volume_m3:.4g} m³ at {self.bed.resolution_per_m3:g} particles per m³ would "
                f"stack {particles:.3g} particles, more than the {validation.MAX_PARTICLES['fast']:,} allowed"
            )
        arrays = self._lib.run(chunks.data, chunks.columns, reclaimer_time_s, reclaimer_position_m)
        return RingOutput(*arrays, chunks.quality_names)

    def drain(self, speed_m_per_s: float) -> RingOutput:
        """Reclaim what is left, the reclaimer moving on at `speed_m_per_s`."""
        return RingOutput(*self._lib.drain(speed_m_per_s), tuple(self._lib.quality_names))

    def heights(self) -> HeightMap:
        """The ring's surface now."""
        return HeightMap(self._lib.heights().astype(np.float64), self._lib.cell_size_m)

    @property
    def volume_m3(self) -> float:
        """Volume lying on the ring now."""
        return float(self._lib.volume_m3)
