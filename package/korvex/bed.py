"""The blending bed: its geometry, its resolution and the engine that simulates it."""

from __future__ import annotations

import math
import warnings
from dataclasses import Field, dataclass, field, replace
from typing import Any, Literal

from . import validation
from ._native import cell_size_m as native_cell_size_m
from ._native import defaults as native_defaults
from ._native import geometry as native_geometry
from ._native import rule_particles_per_m3 as native_rule_particles_per_m3
from ._native import settings_description as native_settings_description
from ._native import settings_problems as native_settings_problems
from .errors import SettingsError

Engine = Literal["fast", "detailed", "layered"]
ENGINES: tuple[Engine, ...] = ("fast", "detailed", "layered")
# The engine a bed gets unless told: the layered one, whose answer does not move with its grid; a circular
# bed (and a ring run continuously) the fast one, the only engine that simulates it.
DEFAULT_ENGINE: Engine = "layered"
CIRCULAR_ENGINE: Engine = "fast"

# Every engine's settings as the engines declare them: name, unit, default, limits, help, who reads them.
SETTINGS: dict[str, dict[str, Any]] = {entry["name"]: entry for entry in native_settings_description()}
# The settings' defaults, where the engines keep them.
NATIVE_DEFAULTS = native_defaults()
# The slice length unless given: fixed, so that the output portions do not shrink with the cell.
DEFAULT_RECLAIM_STEP_M = 1.0


def rule_particles_per_m3(
    length_m: float, depth_m: float, engine: Engine = "fast", stream_footprint_m: float | None = None
) -> float:
    """The resolution an engine takes when given none (the engines' rule): a fast-engine cell edge of the
    shorter side / 150; one particle per m³ on the detailed engine; a layered-engine cell of the stream's
    footprint, or the shorter side / 50 where that is less."""
    return float(
        native_rule_particles_per_m3(
            engine=engine, length_m=length_m, depth_m=depth_m, stream_footprint_m=stream_footprint_m
        )
    )


def unit(item: Field[Any]) -> str:
    """The unit of a setting, from its field's metadata ("" for a pure number)."""
    return str(item.metadata.get("unit", ""))


def _interval(entry: dict[str, Any]) -> str:
    low = f"{'[' if entry['lowest_included'] else '('}{entry['lowest']:g}"
    if math.isinf(entry["highest"]):
        return f"{low}, ∞)"
    return f"{low}, {entry['highest']:g}{']' if entry['highest_included'] else ')'}"


def settings_table() -> str:
    """The engines' description of their settings as the Markdown table docs/native.md shows."""
    lines = ["| setting | unit | default | limits | read by | what it sets |", "|---|---|---|---|---|---|"]
    for name, entry in SETTINGS.items():
        default = entry["default_rule"] if entry["default"] is None else f"{entry['default']:g}"
        limits = _interval(entry) + (", whole" if entry["whole"] else "")
        readers = ", ".join(entry["engines"])
        lines.append(f"| `{name}` | {entry['unit']} | {default} | {limits} | {readers} | {entry['help']} |")
    return "\n".join(lines) + "\n"


def _described(name: str, *, engine_default: bool, **metadata: Any) -> Any:
    """A Bed field whose unit, limits and help are the engines' description of the setting. With
    engine_default it is None unless given, and the bed's engine fills in its default when it reads it."""
    entry = SETTINGS[name]
    readers = [engine for engine in entry["engines"] if engine != "ring"]
    if not readers:
        owner = "circular bed: "
    elif len(readers) < len(ENGINES):
        owner = f"{' and '.join(readers)} engine{'s' if len(readers) > 1 else ''}: "
    else:
        owner = ""
    data = {"unit": entry["unit"], "range": (entry["lowest"], entry["highest"]), "help": owner + entry["help"]}
    if entry["default"] is None:
        data["unset"] = entry["default_rule"]
    elif engine_default:
        data["unset"] = f"{entry['default']:g}"
    data |= metadata
    default = None if engine_default or entry["default"] is None else entry["default"]
    return field(default=default, metadata=data)


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
        looks at the diagonal neighbours too (rounder cones); its default comes
        closest to the detailed engine's spread of a delivery along the bed,
        still about 3/4 of it (bench/calibration.py, README "Calibration: the
        eight-neighbour probability").
    particle_volume_factor, drop_height_m: detailed engine: box volume per unit
        of material volume, and the height from which particles are thrown.
    angle_of_repose_deg, stream_footprint_m, segments_per_column: layered
        engine: the steepest slope the material stands at, the diameter of the
        disc on which the stacker's stream lands, and the most layers a column
        keeps before its thinnest neighbours are merged.
    reclaim_step_m: distance the reclaimer advances per slice; 1 m by default,
        whatever the resolution, so that a finer grid does not also cut the
        output into smaller portions (which changes the VRR by itself).

    The engines declare every setting's unit, default, limits and the engines
    that read it (korvex._native.settings_description(), docs/native.md). A
    setting of another engine than the bed's is refused; one left out (None)
    takes the bed's engine's default, and stays None where that engine does
    not read it.
    """

    length_m: float = _described("length_m", engine_default=False)
    depth_m: float = _described("depth_m", engine_default=False)
    reclaim_angle_deg: float = _described("reclaim_angle_deg", engine_default=False, metavar="DEG")
    particles_per_m3: float | None = _described("particles_per_m3", engine_default=True, metavar="N")
    circular: bool = field(default=NATIVE_DEFAULTS["circular"], metadata={"help": "a circular bed"})
    engine: Engine | None = field(
        default=None,
        metadata={
            "choices": ENGINES,
            "help": "simulating engine",
            "unset": f"{DEFAULT_ENGINE} on a straight bed, {CIRCULAR_ENGINE} on a circular one",
        },
    )
    eight_neighbour_probability: float | None = _described(
        "eight_neighbour_probability", engine_default=True, metavar="P"
    )
    particle_volume_factor: float | None = _described("particle_volume_factor", engine_default=True, metavar="F")
    drop_height_m: float | None = _described("drop_height_m", engine_default=True)
    angle_of_repose_deg: float | None = _described("angle_of_repose_deg", engine_default=True, metavar="DEG")
    stream_footprint_m: float | None = _described("stream_footprint_m", engine_default=True)
    segments_per_column: int | None = _described("segments_per_column", engine_default=True, metavar="N")
    reclaim_step_m: float = field(
        default=DEFAULT_RECLAIM_STEP_M,
        metadata={"unit": "m", "range": (0, validation.LENGTH_RANGE_M[1]), "help": "slice length"},
    )
    ring_radius_m: float | None = _described("ring_radius_m", engine_default=True)
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
        validation.flag("circular", self.circular)
        validation.choice("engine", self.engine, ENGINES)
        self._check_described()
        for name in ("reclaim_step_m", "pile_width_m"):
            item = self.__dataclass_fields__[name]
            value = getattr(self, name)
            if value is not None:
                validation.positive(name, value, unit(item))
                validation.within(name, value, *item.metadata["range"], unit(item))
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
                cell_size_m=self.cell_size_m,
                segments_per_column=self.segments_per_column,
            )
        except ValueError as error:
            raise SettingsError(str(error)) from None

    def _check_described(self) -> None:
        """The settings the engines describe, checked by the engines' own check: each given one must be read by
        the bed's engine and lie within its limits. Those the engine reads and were not given take its default;
        those it does not read stay None."""
        ring = self.circular
        given = {}
        for name in SETTINGS.keys() & self.__dataclass_fields__.keys():
            value = getattr(self, name)
            if value is None or (name == "ring_radius_m" and not ring):
                continue
            given[name] = validation.real(name, value, SETTINGS[name]["unit"])
        problems = native_settings_problems(self.engine, given, ring=ring)
        if problems:
            raise SettingsError("; ".join(problems))
        uses = {self.engine, "ring"} if ring else {self.engine}
        for name, entry in SETTINGS.items():
            if name not in self.__dataclass_fields__ or getattr(self, name) is not None or entry["default"] is None:
                continue
            if uses & set(entry["engines"]):
                object.__setattr__(self, name, entry["default"])
        if self.segments_per_column is not None:
            # A count given as a float (the command line reads numbers so) is kept as the whole number.
            object.__setattr__(self, "segments_per_column", int(self.segments_per_column))

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
                particles_per_m3=self.particles_per_m3,
                particle_volume_factor=self.particle_volume_factor,
                length_m=self.length_m,
                depth_m=self.depth_m,
                stream_footprint_m=self.stream_footprint_m,
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

    @classmethod
    def from_fields(cls, fields_: dict[str, Any]) -> Bed:
        """A bed from its fields as written down (a live bed's bed.json): a setting of an engine the bed does
        not use is left out, as beds written before each engine's settings were its own carried them all."""
        circular = bool(fields_.get("circular", False))
        engine = fields_.get("engine") or (CIRCULAR_ENGINE if circular else DEFAULT_ENGINE)
        uses = {engine, "ring"} if circular else {engine}
        return cls(
            **{
                name: value
                for name, value in fields_.items()
                if name not in SETTINGS or uses & set(SETTINGS[name]["engines"])
            }
        )

    def with_engine(self, engine: Engine, **changes: Any) -> Bed:
        """This bed on another engine, with `changes`: the settings only this bed's engine reads are left
        out, and the other engine takes its own defaults."""
        others = {
            name: None
            for name in SETTINGS.keys() & self.__dataclass_fields__.keys()
            # a circular bed's own (the ring's radius) stays with the bed's shape
            if engine not in SETTINGS[name]["engines"] and set(ENGINES) & set(SETTINGS[name]["engines"])
        }
        return replace(self, engine=engine, **(others | changes))

    def describe(self) -> str:
        shape = "circular" if self.circular else "straight"
        return (
            f"{shape} bed {self.length_m:g} m x {self.depth_m:g} m, reclaim face {self.reclaim_angle_deg:g}°, "
            f"{self.engine} engine, cell {self.cell_size_m:.3g} m"
        )
