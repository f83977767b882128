"""The blending bed: its geometry, its resolution and the engine that simulates it."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Literal

import numpy as np

if TYPE_CHECKING:
    from _korvex_lib import KorvexLib

Engine = Literal["fast", "detailed"]
ENGINES: tuple[Engine, ...] = ("fast", "detailed")

NativeArguments = tuple[float, float, float, float, bool, float, float, float, bool, float]


@dataclass(frozen=True)
class Bed:
    """A blending bed and how finely it is simulated.

    length_m, depth_m: extent of the bed area along the stacker rail (x) and
        across it (z). A circular bed lies on a circle of radius
        min(length_m, depth_m) / 4 around the centre of that area.
    reclaim_angle_deg: slope of the reclaim face; 90 is a vertical face, 45
        matches the slope at which the fast engine's piles come to rest.
    particles_per_m3: resolution; one particle carries 1 / particles_per_m3
        of material, so the fast engine's grid cell is particles_per_m3**(-1/3) m.
    engine: "fast" (grid of columns, particles roll down the steepest
        neighbours) or "detailed" (every particle a rigid box; slow, for a few
        thousand particles at most).
    eight_neighbour_probability: fast engine: chance that a rolling particle
        looks at the diagonal neighbours too (rounder cones).
    particle_volume_factor, drop_height_m: detailed engine: box volume per unit
        of material volume, and the height from which particles are thrown.
    reclaim_step_m: distance the reclaimer advances per slice; by default one
        grid cell (fast) or one particle edge (detailed).
    """

    length_m: float = 300.0
    depth_m: float = 50.0
    reclaim_angle_deg: float = 45.0
    particles_per_m3: float = 1.0
    circular: bool = False
    engine: Engine = "fast"
    eight_neighbour_probability: float = 0.5
    particle_volume_factor: float = 1.0
    drop_height_m: float = 10.0
    reclaim_step_m: float | None = None

    def __post_init__(self) -> None:
        positive = {
            "length_m": self.length_m,
            "depth_m": self.depth_m,
            "particles_per_m3": self.particles_per_m3,
            "particle_volume_factor": self.particle_volume_factor,
            "drop_height_m": self.drop_height_m,
        }
        if self.reclaim_step_m is not None:
            positive["reclaim_step_m"] = self.reclaim_step_m
        for name, value in positive.items():
            if not (math.isfinite(value) and value > 0):
                raise ValueError(f"{name} must be positive and finite, got {value}")
        if self.engine not in ENGINES:
            raise ValueError(f"engine must be one of {ENGINES}, got {self.engine!r}")
        # 0 and 180 degrees put the whole bed into a single slice.
        if not 0 < self.reclaim_angle_deg < 180:
            raise ValueError(f"reclaim_angle_deg must lie strictly between 0 and 180, got {self.reclaim_angle_deg}")
        if not 0 <= self.eight_neighbour_probability <= 1:
            raise ValueError(f"eight_neighbour_probability must lie in [0, 1], got {self.eight_neighbour_probability}")
        if min(self.length_m, self.depth_m) < self.cell_size_m:
            raise ValueError(
                f"a bed of {self.length_m} m x {self.depth_m} m is smaller than one cell of "
                f"{self.cell_size_m:.3g} m; raise particles_per_m3"
            )
        if self.centre_line_m < self.cell_size_m:
            raise ValueError("the circle of a circular bed is shorter than one cell; raise particles_per_m3")

    @property
    def cell_size_m(self) -> float:
        """Edge of a height-map cell: the fast engine's grid cell or the detailed engine's box.

        Computed in single precision, as the engines do, so that slice positions line up.
        """
        if self.engine == "fast":
            size = np.float32(1.0) / np.power(np.float32(self.particles_per_m3), np.float32(0.33333334))
        else:
            ratio = np.float32(self.particle_volume_factor) / np.float32(self.particles_per_m3)
            size = np.power(ratio, np.float32(0.333333343))
        return float(size)

    @property
    def reclaim_increment_m(self) -> float:
        return self.cell_size_m if self.reclaim_step_m is None else self.reclaim_step_m

    @property
    def circle_radius_m(self) -> float:
        """Radius of a circular bed's centre line."""
        return min(self.length_m, self.depth_m) / 4

    @property
    def circle_centre_m(self) -> tuple[float, float]:
        return self.length_m / 2, self.depth_m / 2

    @property
    def centre_line_m(self) -> float:
        """Length over which the reclaimer travels: the bed's length, or the circle's circumference."""
        return 2 * math.pi * self.circle_radius_m if self.circular else self.length_m

    @property
    def particle_volume_m3(self) -> float:
        return 1.0 / self.particles_per_m3

    def native_arguments(self) -> NativeArguments:
        """The ten positional arguments of the native constructor, in their order."""
        return (
            self.length_m,
            self.depth_m,
            self.reclaim_angle_deg,
            self.particles_per_m3,
            self.circular,
            self.eight_neighbour_probability,
            self.particle_volume_factor,
            self.drop_height_m,
            self.engine == "detailed",
            self.reclaim_increment_m,
        )

    def create(self) -> KorvexLib:
        """A fresh native simulator for this bed."""
        import _korvex_lib

        return _korvex_lib.KorvexLib(*self.native_arguments())

    def describe(self) -> str:
        shape = "circular" if self.circular else "straight"
        return (
            f"{shape} bed {self.length_m:g} m x {self.depth_m:g} m, reclaim face {self.reclaim_angle_deg:g}°, "
            f"{self.engine} engine, cell {self.cell_size_m:.3g} m"
        )
