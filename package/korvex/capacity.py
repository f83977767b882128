"""How much a bed holds, how long it takes to fill, and what ends up against its edges.

A straight ridge of height h at the angle of repose a has the cross-section
h**2 / tan(a) (a triangle of base 2 h / tan(a)); its two end cones are half
cones of radius r = h / tan(a), together one cone of volume pi r**2 h / 3:

    capacity = h**2 / tan(a) * stacked_length + pi * r**2 * h / 3

The ridge is as high as the bed's width allows, h = (depth / 2) tan(a), and its
crest runs between the blending tails, whose length must hold the end cones.
The angle is the one the engine's piles come to rest at, measured on a
simulated ridge: the fast engine's depends on its eight-neighbour probability.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from functools import cache
from typing import TYPE_CHECKING, Literal

import numpy as np

from .bed import Bed
from .chunks import ChunkTable
from .stockpile import Stockpile
from .errors import SettingsError
from .units import check_bulk_density

if TYPE_CHECKING:
    from .results import HeightMap

OnExcess = Literal["warn", "error", "ignore"]
ON_EXCESS: tuple[OnExcess, ...] = ("warn", "error", "ignore")

# The calibration ridge, in cells: long enough that its body outweighs its
# ends, high enough (about 30 cells) that the slope's steps average out.
_CALIBRATION_LENGTH_CELLS = 120
_CALIBRATION_DEPTH_CELLS = 64
_CALIBRATION_CREST_CELLS = 60
_CALIBRATION_PARTICLES_PER_CELL_OF_CREST = 900
_CALIBRATION_SEED = 1


class OverCapacityWarning(UserWarning):
    """The feed is more than the bed holds: the pile stands against edges that a real bed does not have."""


@dataclass(frozen=True)
class RidgeShape:
    """A ridge along x as its height map shows it.

    section_m2: the median cross-section of its body (the columns whose
        cross-section is within a tenth of the typical full one).
    height_m: the mean crest height over the body (a mean, finer than the cells).
    stacked_length_m: the body's length, where the ridge has its full section.
    angle_deg: the angle of the triangle of that height and section,
        tan(a) = height**2 / section: the engines' ridges are not exact
        triangles (rounded crests, toes that run out), and this is the angle
        at which the capacity formula's triangles hold what they hold.
    """

    section_m2: float
    height_m: float
    stacked_length_m: float

    @property
    def angle_deg(self) -> float:
        return math.degrees(math.atan(self.height_m**2 / self.section_m2))


def ridge_shape(heights: HeightMap) -> RidgeShape:
    surface = heights.heights_m
    section = surface.sum(axis=0) * heights.cell_size_m
    if section.max() <= 0:
        raise ValueError("the height map holds no pile")
    typical = float(np.median(section[section > 0.5 * section.max()]))
    body = section >= 0.9 * typical
    if body.sum() < 3:
        raise ValueError("the height map holds no ridge along x: its full section is shorter than three cells")
    return RidgeShape(
        float(np.median(section[body])), float(np.mean(surface.max(axis=0)[body])), float(body.sum()) * heights.cell_size_m
    )


def measured_angle_deg(heights: HeightMap) -> float:
    """The angle of repose of a ridge along x, as the capacity formula needs it (see RidgeShape)."""
    return ridge_shape(heights).angle_deg


def engine_angle_deg(bed: Bed) -> float:
    """The angle at which the fast engine lets a ridge come to rest, measured on a small ridge.

    The fast engine's grid is the same at every scale, so the angle depends
    only on the eight-neighbour probability, and is remembered for it. The
    detailed engine's piles are too slow to measure on the side: measure one of
    its studies' heights with measured_angle_deg. The layered engine's is its
    setting.
    """
    if bed.engine == "layered":
        return bed.angle_of_repose_deg
    if bed.engine != "fast":
        raise SettingsError(
            "the detailed engine's angle of repose is not measured in advance; "
            "give angle_deg (measured_angle_deg of a detailed pile's heights)"
        )
    return _ridge_angle_deg(bed.eight_neighbour_probability)


@cache
def _ridge_angle_deg(eight_neighbour_probability: float) -> float:
    # One particle per cubic metre: one-metre cells.
    probe = Bed(
        engine="fast",
        length_m=_CALIBRATION_LENGTH_CELLS,
        depth_m=_CALIBRATION_DEPTH_CELLS,
        particles_per_m3=1.0,
        eight_neighbour_probability=eight_neighbour_probability,
    )
    start = (_CALIBRATION_LENGTH_CELLS - _CALIBRATION_CREST_CELLS) / 2
    # Passes back and forth along the crest, one particle per cell, as a stacker lays them.
    crest = start + np.arange(_CALIBRATION_CREST_CELLS) + 0.5
    x = np.concatenate([crest if k % 2 == 0 else crest[::-1] for k in range(_CALIBRATION_PARTICLES_PER_CELL_OF_CREST)])
    table = np.column_stack(
        [np.arange(x.size, dtype=np.float64), x, np.full(x.size, _CALIBRATION_DEPTH_CELLS / 2), np.ones(x.size)]
    )
    pile = Stockpile(probe, seed=_CALIBRATION_SEED)
    pile.stack(ChunkTable(table, ()), progress=False)
    return measured_angle_deg(pile.heights())


def ridge_volume_m3(height_m: float, angle_deg: float, stacked_length_m: float) -> tuple[float, float]:
    """(prism, end cones) of a ridge of this height whose crest is stacked_length_m long."""
    tan = math.tan(math.radians(angle_deg))
    radius = height_m / tan
    return height_m**2 / tan * stacked_length_m, math.pi * radius**2 * height_m / 3


@dataclass(frozen=True)
class Capacity:
    """What a bed holds when its ridge is as high as the bed is wide.

    angle_deg: the pile's angle of repose.
    height_m: the ridge's height, (depth / 2) tan(angle) on a straight bed.
    stacked_length_m: length of the crest, between the blending tails; on a
        circular bed the centre line's circumference.
    prism_m3, cones_m3: the ridge's body and its two end cones (none on a
        circular bed, whose ramp closes on itself).
    """

    angle_deg: float
    height_m: float
    stacked_length_m: float
    prism_m3: float
    cones_m3: float

    @property
    def volume_m3(self) -> float:
        return self.prism_m3 + self.cones_m3

    def mass_t(self, bulk_density_t_per_m3: float) -> float:
        return self.volume_m3 * check_bulk_density(bulk_density_t_per_m3)

    def fill_time_h(self, feed_rate_t_per_h: float, bulk_density_t_per_m3: float) -> float:
        """Hours a feed of this rate takes to fill the bed."""
        return fill_time_h(self.volume_m3, feed_rate_t_per_h, bulk_density_t_per_m3)

    def describe(self) -> str:
        return (
            f"capacity {self.volume_m3:,.0f} m³: ridge {self.height_m:.3g} m high at {self.angle_deg:.1f}°, "
            f"crest {self.stacked_length_m:.4g} m long"
        )


def bed_capacity(bed: Bed, angle_deg: float | None = None, *, blending_tail_m: float | None = None) -> Capacity:
    """The bed's capacity at the angle of repose (by default the one its engine produces).

    blending_tail_m: where the stacker turns, from each end of a straight bed
        (by default half the depth, as the plans do, or half the length of a
        bed shorter than it is wide). A tail shorter than the end cone's
        radius lowers the ridge until its cones fit.
    """
    angle = engine_angle_deg(bed) if angle_deg is None else float(angle_deg)
    if not 0 < angle < 90:
        raise SettingsError(f"angle_deg must lie strictly between 0 and 90, got {angle} degrees")
    tan = math.tan(math.radians(angle))
    if bed.circular:
        # The circle's ridge may reach from the centre to the bed's edge: its half base is the radius.
        height = bed.circle_radius_m * tan
        prism, _ = ridge_volume_m3(height, angle, bed.centre_line_m)
        return Capacity(angle, height, bed.centre_line_m, prism, 0.0)
    # A bed shorter than it is wide holds one cone at most.
    tail = min(bed.depth_m, bed.length_m) / 2 if blending_tail_m is None else float(blending_tail_m)
    if not 0 <= tail <= bed.length_m / 2:
        raise SettingsError(f"blending_tail_m must lie in [0, {bed.length_m / 2:g}] m on this bed, got {tail} m")
    height = min(bed.depth_m / 2, tail) * tan
    length = bed.length_m - 2 * tail
    prism, cones = ridge_volume_m3(height, angle, length)
    return Capacity(angle, height, length, prism, cones)


def check_capacity(
    volume_m3: float,
    capacity: Capacity,
    bed: Bed,
    *,
    on_excess: OnExcess = "warn",
    bulk_density_t_per_m3: float | None = None,
    stacklevel: int = 2,
) -> bool:
    """True if the volume fits; otherwise warn (OverCapacityWarning) or raise ValueError, as on_excess says."""
    if on_excess not in ON_EXCESS:
        raise SettingsError(f"on_excess must be one of {ON_EXCESS}, got {on_excess!r}")
    # A feed cut into portions of the capacity may exceed it by rounding alone.
    if volume_m3 <= capacity.volume_m3 * (1 + 1e-9):
        return True
    amount = f"{volume_m3:,.0f} m³"
    held = f"{capacity.volume_m3:,.0f} m³"
    if bulk_density_t_per_m3 is not None:
        amount += f" ({volume_m3 * bulk_density_t_per_m3:,.0f} t)"
        held += f" ({capacity.mass_t(bulk_density_t_per_m3):,.0f} t)"
    if capacity.volume_m3 > 0:
        message = (
            f"the feed of {amount} is {volume_m3 / capacity.volume_m3:.2f} times what the "
            f"{bed.length_m:g} m x {bed.depth_m:g} m bed holds, {held} at {capacity.angle_deg:.1f}° and "
            f"{capacity.height_m:.3g} m high: the rest piles up against the bed's edges, which a real bed does "
            "not have"
        )
    else:
        message = (
            f"the {bed.length_m:g} m x {bed.depth_m:g} m bed holds nothing without spilling over its ends: the "
            "stacker turns at the very end, leaving no room for the end cones, so the feed of "
            f"{amount} piles up against ends which a real bed does not have"
        )
    if on_excess == "error":
        raise SettingsError(message)
    if on_excess == "warn":
        warnings.warn(message, OverCapacityWarning, stacklevel=stacklevel)
    return False


@dataclass(frozen=True)
class EdgeVolume:
    """Material in the outermost cells of the height map, where the engine's walls held it.

    long_edges_m3: along the rail (z = 0 and z = depth); ends_m3: at x = 0 and
    x = length (corners counted once, in the long edges).
    """

    long_edges_m3: float
    ends_m3: float


def edge_volume(heights: HeightMap) -> EdgeVolume:
    surface = heights.heights_m
    area = heights.cell_size_m**2
    long_edges = float(surface[0].sum() + (surface[-1].sum() if surface.shape[0] > 1 else 0.0))
    inner = surface[1:-1]
    ends = float(inner[:, 0].sum() + (inner[:, -1].sum() if surface.shape[1] > 1 else 0.0))
    return EdgeVolume(long_edges * area, ends * area)


def fill_time_h(volume_m3: float, feed_rate_t_per_h: float, bulk_density_t_per_m3: float) -> float:
    """Hours to stack volume_m3 at a feed rate in t/h."""
    if not (math.isfinite(feed_rate_t_per_h) and feed_rate_t_per_h > 0):
        raise SettingsError(f"feed_rate_t_per_h must be positive and finite, got {feed_rate_t_per_h} t/h")
    return volume_m3 * check_bulk_density(bulk_density_t_per_m3) / feed_rate_t_per_h

