"""The blending bed: its geometry, its resolution and the engine that simulates it."""

from __future__ import annotations

import math
import warnings
from dataclasses import Field, dataclass, field, fields
from typing import Any, Literal

from . import validation
from ._native import cell_size_m as native_cell_size_m
from ._native import defaults as native_defaults
from ._native import geometry as native_geometry
from ._native import limits as native_limits
from .errors import SettingsError

Engine = Literal["fast", "detailed", "layered"]
ENGINES: tuple[Engine, ...] = ("fast", "detailed", "layered")
# The engine a bed gets unless told: the layered one, whose answer does not move with its grid; a circular
# bed (and a ring run continuously) the fast one, the only engine that simulates it.
DEFAULT_ENGINE: Engine = "layered"
CIRCULAR_ENGINE: Engine = "fast"

# The resolution rule: fast-engine cells this many to the bed's shorter side. bench/resolution.py measured
# the fair VRR against the cell size: on the demo's bed, halving this cell moved it by 4 % on average,
# less than runs with different seeds differ (the tables in the README).
CELLS_ACROSS_BED = 150
# The layered engine's rule: a cell no wider than the stream's footprint, the narrowest thing its physics
# knows (the flat top of a delivery's cone), and at least this many cells across the bed's shorter side, so
# that a ridge's flanks and the reclaim face's wedge span tens of cells. bench/layered_convergence.py:
# on the demo's bed (1 m cells by this rule) halving the cell moves the fair VRR by a few percent at most
# (docs/layered-engine.md).
LAYERED_CELLS_ACROSS_BED = 50
# The settings' defaults, where the engines keep them.
NATIVE_DEFAULTS = native_defaults()
# Angles of repose a bulk material stands at, as the native settings bound them.
REPOSE_RANGE_DEG = (native_limits()["lowest_repose_deg"], native_limits()["highest_repose_deg"])
# The detailed engine's default: its particle count, not convergence, bounds its resolution.
DETAILED_PARTICLES_PER_M3 = NATIVE_DEFAULTS["particles_per_m3"]
# The slice length unless given: fixed, so that the output portions do not shrink with the cell.
DEFAULT_RECLAIM_STEP_M = 1.0


def rule_particles_per_m3(
    length_m: float, depth_m: float, engine: Engine = "fast", stream_footprint_m: float = 1.0
) -> float:
    """The resolution the package chooses for a bed: a fast-engine cell edge of the shorter side / 150; a
    layered-engine cell of the stream's footprint, or the shorter side / 50 where that is less."""
    if engine == "detailed":
        return DETAILED_PARTICLES_PER_M3
    if engine == "layered":
        edge_m = min(length_m, depth_m) / LAYERED_CELLS_ACROSS_BED
        if stream_footprint_m > 0:
            edge_m = min(edge_m, stream_footprint_m)
        return float(edge_m**-3)
    edge_m = min(length_m, depth_m) / CELLS_ACROSS_BED
    return float(edge_m**-3)


def unit(item: Field[Any]) -> str:
    """The unit of a setting, from its field's metadata ("" for a pure number)."""
    return str(item.metadata.get("unit", ""))


@dataclass(frozen=True)
class Bed:
    """A blending bed and how finely it is simulated.

    length_m, depth_m: extent of the bed area along the stacker rail (x) and
        across it (z). A circular bed lies on a circle round the centre of that
        area, of radius ring_radius_m.
    ring_radius_m: circular bed: radius of the pile's centre line; by default
        min(length_m, depth_m) / 4. Continuous operation only (Chevcon, or
        ConeShell on a circular bed): a single pass (Circular) keeps the default.
    pile_width_m: circular bed: width of the pile's footprint across the ring;
        by default the centre line's radius, or less where the area ends.
    reclaim_angle_deg: slope of the reclaim face; 90 is a vertical face, 45
        matches the slope at which the fast engine's piles come to rest.
    particles_per_m3: resolution; one particle carries 1 / particles_per_m3
        of material, so the fast engine's grid cell is particles_per_m3**(-1/3) m.
        By default (None) chosen by the resolution rule: on the fast engine a
        cell edge of the bed's shorter side / 150 (0.33 m on a 50 m deep bed,
        where halving it moved the demo's fair VRR by 4 %; README, "Resolution:
        the rule"); one particle per m³ on the detailed engine, whose particle
        count is the limit; on the layered engine a cell of the stream's
        footprint, at most the bed's shorter side / 50 (1 m on a 50 m deep
        bed, where halving it moves the fair VRR by a few percent at most;
        docs/layered-engine.md).
    engine: "layered" (straight beds: every delivery comes to rest as a pile
        at the angle of repose, every layer is kept and the reclaim face cuts
        them exactly; deterministic; docs/layered-engine.md), "fast" (grid of
        columns, particles roll down the steepest neighbours) or "detailed"
        (every particle a rigid box; slow, for a few thousand particles at
        most). By default (None) "layered" on a straight bed and "fast" on a
        circular one: circular beds and rings run on the fast engine only.
        On the layered engine the cell edge is particles_per_m3**(-1/3) as on
        the fast one, though it cuts nothing into particles.
    eight_neighbour_probability: fast engine: chance that a rolling particle
        looks at the diagonal neighbours too (rounder cones). By default 1: of
        all probabilities it comes closest to the detailed engine's spread of a
        delivery along the bed, still about 3/4 of it (bench/calibration.py,
        README "Calibration: the eight-neighbour probability").
    particle_volume_factor, drop_height_m: detailed engine: box volume per unit
        of material volume, and the height from which particles are thrown.
    angle_of_repose_deg, stream_footprint_m, segments_per_column: layered
        engine: the steepest slope the material stands at, the diameter of the
        disc on which the stacker's stream lands, and the most layers a column
        keeps before its thinnest neighbours are merged.
    reclaim_step_m: distance the reclaimer advances per slice; 1 m by default,
        whatever the resolution, so that a finer grid does not also cut the
        output into smaller portions (which changes the VRR by itself).
    """

    length_m: float = field(
        default=NATIVE_DEFAULTS["length_m"],
        metadata={"unit": "m", "range": validation.LENGTH_RANGE_M, "help": "extent along the stacker rail"},
    )
    depth_m: float = field(
        default=NATIVE_DEFAULTS["depth_m"],
        metadata={"unit": "m", "range": validation.LENGTH_RANGE_M, "help": "extent across the bed"},
    )
    reclaim_angle_deg: float = field(
        default=NATIVE_DEFAULTS["reclaim_angle_deg"],
        metadata={"unit": "°", "metavar": "DEG", "help": "slope of the reclaim face: over 0, at most 90 (vertical)"},
    )
    particles_per_m3: float | None = field(
        default=None,
        metadata={
            "unit": "1/m³",
            "range": validation.PARTICLES_PER_M3_RANGE,
            "metavar": "N",
            "help": "resolution: particles per cubic metre",
            "unset": f"cell edge = the bed's shorter side / {CELLS_ACROSS_BED} (layered engine: the stream's "
            f"footprint, at most the shorter side / {LAYERED_CELLS_ACROSS_BED})",
        },
    )
    circular: bool = field(default=NATIVE_DEFAULTS["circular"], metadata={"help": "a circular bed"})
    engine: Engine | None = field(
        default=None,
        metadata={
            "choices": ENGINES,
            "help": "simulating engine",
            "unset": f"{DEFAULT_ENGINE} on a straight bed, {CIRCULAR_ENGINE} on a circular one",
        },
    )
    eight_neighbour_probability: float = field(
        default=NATIVE_DEFAULTS["eight_neighbour_probability"],
        metadata={"metavar": "P", "help": "fast engine: chance a rolling particle looks diagonally"}
    )
    particle_volume_factor: float = field(
        default=NATIVE_DEFAULTS["particle_volume_factor"],
        metadata={
            "metavar": "F",
            "range": (1e-6, 1e6),
            "help": "detailed engine: box volume per unit of material volume",
        },
    )
    drop_height_m: float = field(
        default=NATIVE_DEFAULTS["drop_height_m"],
        metadata={
            "unit": "m",
            "range": validation.LENGTH_RANGE_M,
            "help": "detailed engine: height particles are thrown from",
        },
    )
    angle_of_repose_deg: float = field(
        default=NATIVE_DEFAULTS["angle_of_repose_deg"],
        metadata={"unit": "°", "metavar": "DEG", "help": "layered engine: steepest slope the material stands at"},
    )
    stream_footprint_m: float = field(
        default=NATIVE_DEFAULTS["stream_footprint_m"],
        metadata={"unit": "m", "help": "layered engine: width of the stream where it lands"},
    )
    segments_per_column: int = field(
        default=NATIVE_DEFAULTS["segments_per_column"],
        metadata={"metavar": "N", "help": "layered engine: most layers a column keeps"},
    )
    reclaim_step_m: float = field(
        default=DEFAULT_RECLAIM_STEP_M,
        metadata={"unit": "m", "range": (0, validation.LENGTH_RANGE_M[1]), "help": "slice length"},
    )
    ring_radius_m: float | None = field(
        default=None,
        metadata={
            "unit": "m",
            "range": validation.LENGTH_RANGE_M,
            "help": "circular bed: radius of the pile's centre line",
            "unset": "a quarter of the smaller extent",
        },
    )
    pile_width_m: float | None = field(
        default=None,
        metadata={
            "unit": "m",
            "range": validation.LENGTH_RANGE_M,
            "help": "circular bed: width of the pile across the ring",
            "unset": "the ring radius",
        },
    )

    def __post_init__(self) -> None:
        if self.reclaim_step_m is None:
            # None asked for the default before the field held it; settings saved so still load.
            object.__setattr__(self, "reclaim_step_m", DEFAULT_RECLAIM_STEP_M)
        # Resolved first: the resolution rule and every check below depend on the engine.
        if self.engine is None:
            object.__setattr__(self, "engine", CIRCULAR_ENGINE if self.circular else DEFAULT_ENGINE)
        for item in fields(self):
            value = getattr(self, item.name)
            if item.name == "circular":
                validation.flag(item.name, value)
            elif item.name == "engine":
                validation.choice(item.name, value, ENGINES)
            elif item.name == "reclaim_angle_deg":
                # 0 puts the whole bed into one slice; beyond 90 the face would overhang the pile it cuts.
                angle = validation.real(item.name, value, "°")
                if not 0 < angle <= 90:
                    raise SettingsError(
                        f"reclaim_angle_deg must lie above 0 and at most 90 ° (90 is a vertical face), got {value} °"
                    )
            elif item.name == "eight_neighbour_probability":
                validation.within(item.name, value, 0, 1)
            elif item.name == "angle_of_repose_deg":
                validation.within(item.name, value, *REPOSE_RANGE_DEG, "°")
            elif item.name == "stream_footprint_m":
                # 0 leaves the cell to the bed's size; a footprint below the shortest length would ask for
                # cells of that size, beyond any grid.
                if validation.non_negative(item.name, value, "m") != 0:
                    validation.within(item.name, value, *validation.LENGTH_RANGE_M, "m")
            elif item.name == "segments_per_column":
                # A count given as a float (the command line reads numbers so) is kept as the whole number. A
                # column never holds more layers than chunks were stacked, so a bound above that changes nothing.
                count = validation.whole(item.name, value, 2, validation.MAX_CHUNKS)
                object.__setattr__(self, item.name, count)
            elif value is not None:
                validation.positive(item.name, value, unit(item))
                validation.within(item.name, value, *item.metadata.get("range", (0, math.inf)), unit(item))
        if min(self.length_m, self.depth_m) < self.cell_size_m:
            raise SettingsError(
                f"a bed of {self.length_m} m x {self.depth_m} m is smaller than one cell of "
                f"{self.cell_size_m:.3g} m; raise particles_per_m3"
            )
        if self.engine == "layered" and self.circular:
            raise SettingsError(
                'engine "layered" simulates straight beds: circular beds and rings run on the fast engine; '
                'give engine="fast" (the default on a circular bed) or circular=False'
            )
        self._check_ring()
        if self.centre_line_m < self.cell_size_m:
            raise SettingsError("the circle of a circular bed is shorter than one cell; raise particles_per_m3")
        if self.circular and self.ring_width_m < self.cell_size_m:
            raise SettingsError(
                f"pile_width_m of {self.ring_width_m:g} m is narrower than one cell of {self.cell_size_m:.3g} m"
            )
        if self.centre_line_m / self.reclaim_step_m > validation.MAX_SLICES:
            raise SettingsError(
                f"reclaim_step_m of {self.reclaim_step_m:g} m cuts the {self.centre_line_m:g} m the reclaimer "
                f"travels into more than the {validation.MAX_SLICES:,} slices allowed"
            )
        if self.reclaim_step_m > self.centre_line_m:
            raise SettingsError(
                f"reclaim_step_m of {self.reclaim_step_m:g} m is longer than the {self.centre_line_m:g} m "
                "the reclaimer travels: one slice would hold the whole bed"
            )
        cells = (self.length_m / self.cell_size_m) * (self.depth_m / self.cell_size_m)
        if cells > validation.MAX_CELLS:
            raise SettingsError(
                f"particles_per_m3 of {self.resolution_per_m3:g} 1/m³ cuts a {self.length_m:g} m x {self.depth_m:g} m "
                f"bed into {cells:.3g} cells, more than the {validation.MAX_CELLS:,} allowed"
            )
        if self.engine == "layered":
            self._check_layered_memory()

    def _check_layered_memory(self) -> None:
        """The engine's own estimate of the memory a layered bed may take decides, before anything is built."""
        try:
            native_geometry(
                length_m=self.length_m,
                depth_m=self.depth_m,
                engine="layered",
                cell_m=self.cell_size_m,
                segments_per_column=self.segments_per_column,
            )
        except ValueError as error:
            raise SettingsError(str(error)) from None

    def _check_ring(self) -> None:
        if not self.circular:
            for name in ("ring_radius_m", "pile_width_m"):
                if getattr(self, name) is not None:
                    raise SettingsError(f"{name} is a setting of a circular bed; give circular=True")
            return
        half = min(self.length_m, self.depth_m) / 2
        if not self.circle_radius_m < half:
            raise SettingsError(
                f"ring_radius_m of {self.circle_radius_m:g} m puts the centre line outside the "
                f"{self.length_m:g} m x {self.depth_m:g} m area: it must be less than {half:g} m"
            )
        if self.pile_width_m is not None and not (
            self.pile_width_m <= 2 * self.circle_radius_m and self.circle_radius_m + self.pile_width_m / 2 <= half
        ):
            raise SettingsError(
                f"pile_width_m of {self.pile_width_m:g} m does not fit round a centre line of radius "
                f"{self.circle_radius_m:g} m in the {self.length_m:g} m x {self.depth_m:g} m area: "
                f"at most {2 * min(self.circle_radius_m, half - self.circle_radius_m):g} m"
            )

    @property
    def resolution_per_m3(self) -> float:
        """Particles per m³ the engine is given: particles_per_m3, or the rule's choice when it is None."""
        if self.particles_per_m3 is not None:
            return float(self.particles_per_m3)
        return rule_particles_per_m3(self.length_m, self.depth_m, self.engine, self.stream_footprint_m)

    @property
    def cell_size_m(self) -> float:
        """Edge of a height-map cell: the fast engine's grid cell or the detailed engine's box.

        The engines' own single-precision figure, so that slice positions line up.
        """
        return float(
            native_cell_size_m(
                engine=self.engine,
                particles_per_m3=self.resolution_per_m3,
                particle_volume_factor=self.particle_volume_factor,
            )
        )

    @property
    def reclaim_increment_m(self) -> float:
        """Deprecated name of reclaim_step_m."""
        warnings.warn(
            "Bed.reclaim_increment_m is deprecated: use Bed.reclaim_step_m", DeprecationWarning, stacklevel=2
        )
        return self.reclaim_step_m

    @property
    def circle_radius_m(self) -> float:
        """Radius of a circular bed's centre line."""
        return min(self.length_m, self.depth_m) / 4 if self.ring_radius_m is None else self.ring_radius_m

    @property
    def ring_width_m(self) -> float:
        """Width of a circular bed's pile across the ring: as given, or all the area allows."""
        if self.pile_width_m is not None:
            return self.pile_width_m
        # As wide as the centre line's radius, which leaves room for the reclaim face at the inner edge,
        # unless the area's edge comes first.
        radius = self.circle_radius_m
        return min(radius, 2 * (min(self.length_m, self.depth_m) / 2 - radius))

    @property
    def circle_centre_m(self) -> tuple[float, float]:
        return self.length_m / 2, self.depth_m / 2

    @property
    def centre_line_m(self) -> float:
        """Length over which the reclaimer travels: the bed's length, or the circle's circumference."""
        return 2 * math.pi * self.circle_radius_m if self.circular else self.length_m

    @property
    def particle_volume_m3(self) -> float:
        return 1.0 / self.resolution_per_m3

    def describe(self) -> str:
        shape = "circular" if self.circular else "straight"
        return (
            f"{shape} bed {self.length_m:g} m x {self.depth_m:g} m, reclaim face {self.reclaim_angle_deg:g}°, "
            f"{self.engine} engine, cell {self.cell_size_m:.3g} m"
        )
