"""Stacking plans: where the stacker puts each part of a quality series.

A plan follows the stacker along its path and cuts the series into chunks no
longer than one grid cell of travel, so that a delivery that the stacker
spreads over many metres is spread over the bed the same way. The result is a
ChunkTable, the table that the native simulator stacks row by row.
"""

from __future__ import annotations

import math
from abc import ABC, abstractmethod
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, ClassVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import validation
from ._native import is_vertical_face
from .bed import Bed
from .chunks import ChunkTable
from .errors import SettingsError
from .series import QualitySeries, as_series
from .validation import FloatArray

if TYPE_CHECKING:
    import pandas as pd

# Travel boundaries that miss a cell edge by less than this share of a cell are
# rounding noise of the cumulative volume, not a real piece of travel.
_EDGE_TOLERANCE = 1e-9


@dataclass(frozen=True)
class _Pieces:
    """Deliveries cut at cell edges of the stacker's travel."""

    row: NDArray[np.int64]
    travel_m: FloatArray
    share: FloatArray
    time_s: FloatArray


def _cut_travel(start: FloatArray, end: FloatArray, step: float, time: FloatArray, duration: FloatArray) -> _Pieces:
    """Cut each row's travel [start, end] at the multiples of step that lie inside it.

    Refuses, before allocating them, more pieces than a chunk table may hold.
    """
    step = float(step)
    pieces_about = (end[-1] - start[0]) / step + start.size
    if not pieces_about <= validation.MAX_CHUNKS:
        raise SettingsError(
            f"this plan would cut the series into about {pieces_about:.3g} chunks, more than the "
            f"{validation.MAX_CHUNKS:,} allowed: lay fewer layers, or give a longer chunk_length_m"
        )
    first_edge = np.floor(start / step + _EDGE_TOLERANCE).astype(np.int64) + 1
    last_edge = np.ceil(end / step - _EDGE_TOLERANCE).astype(np.int64) - 1
    pieces = np.maximum(last_edge - first_edge + 1, 0) + 1
    row = np.repeat(np.arange(start.size), pieces)
    index = np.arange(row.size) - np.repeat(np.cumsum(pieces) - pieces, pieces)
    low = np.where(index == 0, start[row], (first_edge[row] + index - 1) * step)
    high = np.where(index == pieces[row] - 1, end[row], (first_edge[row] + index) * step)
    span = (end - start)[row]
    moving = span > 0
    share = np.where(moving, (high - low) / np.where(moving, span, 1.0), 1.0)
    middle = (low + high) / 2
    progress = np.where(moving, (middle - start[row]) / np.where(moving, span, 1.0), 0.0)
    return _Pieces(row, middle, share, time[row] + progress * duration[row])


class StackingPlan(ABC):
    """How the stacker lays a quality series onto a bed."""

    label: ClassVar[str]

    @abstractmethod
    def chunks(self, series: QualitySeries | pd.DataFrame | ArrayLike, bed: Bed) -> ChunkTable:
        """The chunk table that stacks `series` onto `bed` by this plan."""

    @abstractmethod
    def passes(self, series: QualitySeries, bed: Bed) -> float | None:
        """How often the stacker passes over a point of the bed: the N of the ideal VRR = 1/N.

        None when the plan does not lay layers.
        """

    @abstractmethod
    def describe(self, series: QualitySeries, bed: Bed) -> str:
        """A short phrase for reports."""

    def blending_tail_for(self, bed: Bed) -> float | None:
        """Length at each end of the bed where the stacker turns and the end cones lie; None if the plan has none."""
        return None


# Shared parameter documentation, appended to each plan's docstring (which the
# compiler has already dedented).
_TRAVEL = """
layers: how many layers to lay (default {default}); the stacker's travel is
    spread evenly over the delivered volume, as if it moved at a constant
    speed matched to a steady flow.
stacker_speed_m_per_min: instead of layers, the stacker's speed; its position
    then follows the series' time stamps, and the number of layers is what
    the stacking time allows. A gap between deliveries longer than the
    typical one is a stop of the feed: the stacker waits.
chunk_length_m: longest stretch of travel in one chunk; one cell by default.
start_phase_m: where on its round trip the stacker starts, in metres of
    travel from the start of the first pass: a pass length on, it starts at
    the far end heading back. Two beds stacked alike in a plant rarely start
    at the same point.
speed_factor: the stacker's speed relative to the one planned (speed or
    layers); a plant's stacker runs a few percent off its set point.
"""
_DWELL = """turnaround_dwell_s: how long the stacker stands at each turn while the feed
    runs on (with stacker_speed_m_per_min only); that feed lands at the turn.
"""
_TAIL = """blending_tail_m: length kept free at each end of the bed, where the stacker
    turns and the pile's end cones (its blending tail) run out. By default
    half the bed's depth: the run-out of a pile as high as half the bed is
    wide, at the fast engine's 45 degree slopes.
"""

# What a setting shared by several plans means, for their fields' metadata: its unit, a short help and,
# when it defaults to None, what that means. The command line builds its options from these.
CHUNK_LENGTH = {"unit": "m", "help": "longest travel per chunk", "unset": "one cell"}
BLENDING_TAIL = {"unit": "m", "help": "length kept free at each end", "unset": "half the depth"}


@dataclass(frozen=True)
class TravellingPlan(StackingPlan):
    """A stacker travelling back and forth or round, driven by the layer count or by its speed."""

    layers: int | None = field(default=None, metadata={"metavar": "N", "help": "layers to lay (or turns, circular)"})
    stacker_speed_m_per_min: float | None = field(
        default=None,
        metadata={
            "unit": "m/min",
            "metavar": "M_PER_MIN",
            "help": "instead of layers: travel speed; the layers it lays are reported",
        },
    )
    chunk_length_m: float | None = field(default=None, metadata=CHUNK_LENGTH)
    # Keyword-only, so that the plans' own fields keep their places.
    start_phase_m: float = field(
        default=0.0, kw_only=True, metadata={"unit": "m", "help": "where on its round trip the stacker starts"}
    )
    speed_factor: float = field(
        default=1.0, kw_only=True, metadata={"metavar": "F", "help": "the stacker's speed relative to the one planned"}
    )

    default_layers: ClassVar[int] = 100

    def __post_init__(self) -> None:
        if self.layers is not None and self.stacker_speed_m_per_min is not None:
            raise SettingsError("give either layers or stacker_speed_m_per_min, not both")
        validation.non_negative("start_phase_m", self.start_phase_m, "m")
        validation.positive("speed_factor", self.speed_factor)
        if self.layers is not None:
            validation.whole("layers", self.layers, 1, validation.MAX_LAYERS)
        if self.stacker_speed_m_per_min is not None:
            validation.positive("stacker_speed_m_per_min", self.stacker_speed_m_per_min, "m/min")
        if self.chunk_length_m is not None:
            validation.positive("chunk_length_m", self.chunk_length_m, "m")

    @abstractmethod
    def _check_bed(self, bed: Bed) -> None:
        ...

    @abstractmethod
    def _pass_length_m(self, bed: Bed) -> float:
        """Length of one pass of the stacker along the bed (or of one turn)."""

    @abstractmethod
    def _passes_for_layers(self, layers: int, bed: Bed) -> int:
        ...

    @abstractmethod
    def _place(self, travel_m: FloatArray, bed: Bed) -> tuple[FloatArray, FloatArray]:
        """Stacker position (x, z) after travel_m metres along its path."""

    def _dwell_m(self) -> float:
        """The stacker's stop at each turn, as the travel it would have made meanwhile."""
        return 0.0

    def _path(self, clock_m: FloatArray, bed: Bed) -> FloatArray:
        """Travel along the path when the stacker's clock, counted in metres at its speed, reads clock_m.

        The clock runs on while the stacker stands at a turn, so the feed that
        arrives meanwhile lands at the turning point.
        """
        dwell = self._dwell_m()
        if dwell == 0:
            return clock_m
        length = self._pass_length_m(bed)
        period = length + dwell
        turn = np.floor(clock_m / period)
        return turn * length + np.minimum(clock_m - turn * period, length)

    def layered_travel_m(self, bed: Bed) -> float | None:
        """The stacker's whole travel when the layer count drives it, spread over the volume stacked; None
        when its speed drives it."""
        if self.stacker_speed_m_per_min is not None:
            return None
        layers = self.default_layers if self.layers is None else int(self.layers)
        return self._passes_for_layers(layers, bed) * self._pass_length_m(bed) * self.speed_factor

    def pass_length_m(self, bed: Bed) -> float:
        """Length of one pass of the stacker along the bed (or of one turn)."""
        return self._pass_length_m(bed)

    def _travel(self, series: QualitySeries, bed: Bed) -> tuple[FloatArray, FloatArray]:
        total = self.layered_travel_m(bed)
        if total is None:
            flowing = np.concatenate([[0.0], np.cumsum(series.flow.durations_s)])
            travel = flowing * (self.stacker_speed_m_per_min * self.speed_factor / 60)
        else:
            delivered = np.concatenate([[0.0], np.cumsum(series.volume_m3)])
            travel = delivered / delivered[-1] * total
        # The clock of a stacker that starts part-way round its trip: a whole round trip later it is where
        # it started, so the phase is taken within one.
        travel = travel + math.fmod(self.start_phase_m, self.round_trip_m(bed))
        return travel[:-1], travel[1:]

    def round_trip_m(self, bed: Bed) -> float:
        """Travel, dwells included, after which the stacker is back where it started, heading the same way."""
        return 2 * (self._pass_length_m(bed) + self._dwell_m())

    def chunks(self, series: QualitySeries | pd.DataFrame | ArrayLike, bed: Bed) -> ChunkTable:
        series = as_series(series)
        self._check_bed(bed)
        start, end = self._travel(series, bed)
        return self.chunks_along(series, bed, start, end, series.flow.durations_s)

    def chunks_along(
        self, series: QualitySeries, bed: Bed, start_m: FloatArray, end_m: FloatArray, duration_s: FloatArray
    ) -> ChunkTable:
        """The chunks that lay each delivery of `series` while the stacker travels from start_m to end_m
        along its path, its material flowing for duration_s: how a bed followed delivery by delivery is laid.
        """
        self._check_bed(bed)
        pass_length = self._pass_length_m(bed)
        wanted = bed.cell_size_m if self.chunk_length_m is None else self.chunk_length_m
        per_pass = pass_length / wanted
        if not per_pass <= validation.MAX_CHUNKS:
            raise SettingsError(
                f"chunks of {wanted:g} m cut one pass of {pass_length:g} m into {per_pass:.3g} pieces, "
                f"more than the {validation.MAX_CHUNKS:,} chunks allowed: give a longer chunk_length_m"
            )
        # Whole pieces per pass put the turning points on piece edges; a chunk longer than a pass is one pass.
        step = pass_length / max(math.ceil(per_pass - _EDGE_TOLERANCE), 1)
        pieces = _cut_travel(start_m, end_m, step, series.time_s, duration_s)
        x, z = self._place(self._path(pieces.travel_m, bed), bed)
        volume = series.volume_m3[pieces.row] * pieces.share
        data = np.column_stack([pieces.time_s, x, z, volume, series.values[pieces.row]])
        return ChunkTable(data, series.names)

    def passes(self, series: QualitySeries, bed: Bed) -> float:
        start, end = self._travel(series, bed)
        travel = self._path(np.array([start[0], end[-1]]), bed)
        return float(travel[1] - travel[0]) / self._pass_length_m(bed)

    def _amount(self, series: QualitySeries, bed: Bed) -> str:
        if self.stacker_speed_m_per_min is None:
            layers = self.default_layers if self.layers is None else int(self.layers)
            amount = f"{layers} layers"
        else:
            dwell = f", {self._dwell_m() * 60 / self.stacker_speed_m_per_min:g} s at each turn" if self._dwell_m() else ""
            amount = f"stacker at {self.stacker_speed_m_per_min:g} m/min{dwell}: {self.passes(series, bed):.1f} passes"
        if self.speed_factor != 1:
            amount += f", speed x{self.speed_factor:.4g}"
        if self.start_phase_m:
            amount += f", starting {self.start_phase_m:.4g} m into its round trip"
        return amount


@dataclass(frozen=True)
class _StraightPlan(TravellingPlan):
    """A stacker running along a straight bed between its blending tails."""

    blending_tail_m: float | None = field(default=None, metadata=BLENDING_TAIL)
    turnaround_dwell_s: float = field(
        default=0.0, metadata={"unit": "s", "help": "stop at each end, with a stacker speed"}
    )

    def __post_init__(self) -> None:
        super().__post_init__()
        if self.blending_tail_m is not None:
            validation.non_negative("blending_tail_m", self.blending_tail_m, "m")
        validation.non_negative("turnaround_dwell_s", self.turnaround_dwell_s, "s")
        if self.turnaround_dwell_s > 0 and self.stacker_speed_m_per_min is None:
            raise SettingsError(
                f"turnaround_dwell_s = {self.turnaround_dwell_s:g} s needs stacker_speed_m_per_min: "
                "a dwell is a time, and only a stacker speed ties the plan to time"
            )

    def _tail(self, bed: Bed) -> float:
        return bed.depth_m / 2 if self.blending_tail_m is None else self.blending_tail_m

    def blending_tail_for(self, bed: Bed) -> float:
        return self._tail(bed)

    def _dwell_m(self) -> float:
        speed = self.stacker_speed_m_per_min
        return 0.0 if speed is None else self.turnaround_dwell_s * speed / 60

    def _check_bed(self, bed: Bed) -> None:
        if bed.circular:
            raise SettingsError(f"{self.label} stacking needs a straight bed; stack a circular bed with Circular")
        if self._pass_length_m(bed) <= 0:
            raise SettingsError(
                f"a blending tail of {self._tail(bed):g} m at each end leaves no room for the stacker "
                f"on a bed {bed.length_m:g} m long"
            )

    def _pass_length_m(self, bed: Bed) -> float:
        return bed.length_m - 2 * self._tail(bed)

    def _along(self, travel_m: FloatArray, bed: Bed) -> tuple[FloatArray, FloatArray]:
        """Pass index and x of a stacker running end to end, turning at the tails."""
        length = self._pass_length_m(bed)
        index = np.floor(travel_m / length)
        within = travel_m - index * length
        forward = index % 2 == 0
        tail = self._tail(bed)
        x = np.where(forward, tail + within, bed.length_m - tail - within)
        return index.astype(np.int64), np.clip(x, 0.0, bed.length_m)


@dataclass(frozen=True)
class Chevron(_StraightPlan):
    """The stacker runs end to end along the bed's centre line, one layer per pass."""

    __doc__ = __doc__ + "\n" + _TRAVEL.format(default=100) + _TAIL + _DWELL

    label: ClassVar[str] = "Chevron"

    def _passes_for_layers(self, layers: int, bed: Bed) -> int:
        return layers

    def _place(self, travel_m: FloatArray, bed: Bed) -> tuple[FloatArray, FloatArray]:
        _, x = self._along(travel_m, bed)
        return x, np.full_like(x, bed.depth_m / 2)

    def describe(self, series: QualitySeries, bed: Bed) -> str:
        return f"Chevron, {self._amount(series, bed)}"


@dataclass(frozen=True)
class Windrow(_StraightPlan):
    """Parallel windrows side by side across the bed, each laid in one pass.

    A layer is `rows` windrows next to each other; the next layer fills the
    rows - 1 valleys between them, and so on alternately.
    """

    __doc__ = __doc__ + "\nrows: windrows side by side in a layer.\n" + _TRAVEL.format(default=20) + _TAIL + _DWELL

    rows: int = field(default=4, metadata={"metavar": "N", "help": "windrows side by side"})
    default_layers: ClassVar[int] = 20
    label: ClassVar[str] = "Windrow"

    def __post_init__(self) -> None:
        super().__post_init__()
        validation.whole("rows", self.rows, 1, validation.MAX_CHUNKS)

    def _lanes(self, bed: Bed) -> FloatArray:
        rows = int(self.rows)
        crests = bed.depth_m * (np.arange(rows) + 0.5) / rows
        valleys = (crests[:-1] + crests[1:]) / 2
        return np.concatenate([crests, valleys])

    def _passes_for_layers(self, layers: int, bed: Bed) -> int:
        rows = int(self.rows)
        return (layers // 2) * (2 * rows - 1) + (layers % 2) * rows

    def _place(self, travel_m: FloatArray, bed: Bed) -> tuple[FloatArray, FloatArray]:
        index, x = self._along(travel_m, bed)
        lanes = self._lanes(bed)
        return x, lanes[index % lanes.size]

    def describe(self, series: QualitySeries, bed: Bed) -> str:
        return f"Windrow, {self.rows} rows, {self._amount(series, bed)}"


@dataclass(frozen=True)
class Strata(_StraightPlan):
    """Horizontal layers over the whole bed: each layer is laid in passes
    lane_spacing_m apart across the bed's depth, back and forth."""

    __doc__ = __doc__ + "\n" + _TRAVEL.format(default=10) + _TAIL + _DWELL

    lane_spacing_m: float = field(default=5.0, metadata={"unit": "m", "help": "distance between passes across the bed"})
    default_layers: ClassVar[int] = 10
    label: ClassVar[str] = "Strata"

    def __post_init__(self) -> None:
        super().__post_init__()
        validation.positive("lane_spacing_m", self.lane_spacing_m, "m")

    def _lane_count(self, bed: Bed) -> int:
        lanes = bed.depth_m / self.lane_spacing_m
        if not lanes <= validation.MAX_CHUNKS:
            raise SettingsError(
                f"lane_spacing_m of {self.lane_spacing_m:g} m lays {lanes:.3g} lanes across a {bed.depth_m:g} m "
                f"bed, more than the {validation.MAX_CHUNKS:,} chunks allowed"
            )
        return max(1, round(lanes))

    def _passes_for_layers(self, layers: int, bed: Bed) -> int:
        return layers * self._lane_count(bed)

    def _place(self, travel_m: FloatArray, bed: Bed) -> tuple[FloatArray, FloatArray]:
        index, x = self._along(travel_m, bed)
        lanes = self._lane_count(bed)
        lane = index % lanes
        # Every other layer crosses the bed the other way, as a slewing boom would.
        lane = np.where((index // lanes) % 2 == 0, lane, lanes - 1 - lane)
        return x, bed.depth_m * (lane + 0.5) / lanes

    def describe(self, series: QualitySeries, bed: Bed) -> str:
        return f"Strata, {self._amount(series, bed)}, {self._lane_count(bed)} lanes each"


@dataclass(frozen=True)
class Circular(TravellingPlan):
    """A circular bed: the stacker turns round the centre line, layer upon layer.

    It starts where the reclaimer starts (the -x side of the circle) and turns
    the way the reclaimer advances; layers count whole turns.
    """

    __doc__ = __doc__ + "\n" + _TRAVEL.format(default=100)

    label: ClassVar[str] = "Circular"

    def _check_bed(self, bed: Bed) -> None:
        if not bed.circular:
            raise SettingsError("Circular stacking needs a circular bed (Bed(circular=True))")
        if bed.ring_radius_m is not None or bed.pile_width_m is not None:
            raise SettingsError(
                "Circular lays whole turns on the single-pass ring of radius min(length_m, depth_m) / 4; "
                "ring_radius_m and pile_width_m are for continuous operation: stack with Chevcon"
            )

    def _pass_length_m(self, bed: Bed) -> float:
        return bed.centre_line_m

    def _passes_for_layers(self, layers: int, bed: Bed) -> int:
        return layers

    def _place(self, travel_m: FloatArray, bed: Bed) -> tuple[FloatArray, FloatArray]:
        along = np.mod(travel_m, bed.centre_line_m)
        angle = math.pi * (1 - 2 * along / bed.centre_line_m)
        centre_x, centre_z = bed.circle_centre_m
        radius = bed.circle_radius_m
        return centre_x + radius * np.cos(angle), centre_z + radius * np.sin(angle)

    def describe(self, series: QualitySeries, bed: Bed) -> str:
        return f"Circular, {self._amount(series, bed)}"


@dataclass(frozen=True)
class ConeShell(StackingPlan):
    """The stacker stands still until its cone is built, then moves one step on.

    Cones stand cone_step_m apart (the step is rounded so that the first and the
    last cone sit at the blending tails); each gets an equal share of the volume.
    """

    __doc__ = __doc__ + "\n" + _TAIL

    cone_step_m: float = field(default=5.0, metadata={"unit": "m", "help": "distance between cones"})
    blending_tail_m: float | None = field(default=None, metadata=BLENDING_TAIL)
    # Of a circular bed only: a straight bed shares the volume out among its cones.
    cone_height_m: float | None = field(
        default=None, metadata={"unit": "m", "help": "height of each cone", "ring": True}
    )
    cone_volume_m3: float | None = field(
        default=None, metadata={"unit": "m³", "metavar": "M3", "help": "instead, volume of each", "ring": True}
    )
    label: ClassVar[str] = "Cone-shell"

    def __post_init__(self) -> None:
        validation.positive("cone_step_m", self.cone_step_m, "m")
        if self.blending_tail_m is not None:
            validation.non_negative("blending_tail_m", self.blending_tail_m, "m")
        if self.cone_height_m is not None and self.cone_volume_m3 is not None:
            raise SettingsError("give either cone_height_m or cone_volume_m3, not both")
        if self.cone_height_m is not None:
            validation.positive("cone_height_m", self.cone_height_m, "m")
        if self.cone_volume_m3 is not None:
            validation.positive("cone_volume_m3", self.cone_volume_m3, "m³")

    def schedule(self, series: QualitySeries | pd.DataFrame | ArrayLike, bed: Bed) -> RingSchedule:
        """On a circular bed: chunks and the reclaimer's path of cones run round the ring continuously."""
        return cone_shell_schedule(self, as_series(series), bed)

    def blending_tail_for(self, bed: Bed) -> float:
        return bed.depth_m / 2 if self.blending_tail_m is None else self.blending_tail_m

    def _stations(self, bed: Bed) -> FloatArray:
        tail = self.blending_tail_for(bed)
        span = bed.length_m - 2 * tail
        if span < 0:
            raise SettingsError(f"a blending tail of {tail:g} m at each end is longer than the bed")
        steps = span / self.cone_step_m
        if not steps < validation.MAX_CHUNKS:
            raise SettingsError(
                f"cone_step_m of {self.cone_step_m:g} m puts {steps:.3g} cones on the bed, "
                f"more than the {validation.MAX_CHUNKS:,} chunks allowed"
            )
        return tail + np.linspace(0.0, span, round(steps) + 1)

    def chunks(self, series: QualitySeries | pd.DataFrame | ArrayLike, bed: Bed) -> ChunkTable:
        series = as_series(series)
        if bed.circular:
            return self.schedule(series, bed).chunks
        if self.cone_height_m is not None or self.cone_volume_m3 is not None:
            raise SettingsError(
                "cone_height_m and cone_volume_m3 set the cones of a circular bed; a straight bed shares "
                "the volume among cones cone_step_m apart"
            )
        stations = self._stations(bed)
        delivered = np.concatenate([[0.0], np.cumsum(series.volume_m3)])
        progress = delivered / delivered[-1] * stations.size
        pieces = _cut_travel(progress[:-1], progress[1:], 1.0, series.time_s, series.flow.durations_s)
        x = stations[np.minimum(pieces.travel_m.astype(np.int64), stations.size - 1)]
        volume = series.volume_m3[pieces.row] * pieces.share
        z = np.full_like(x, bed.depth_m / 2)
        return ChunkTable(np.column_stack([pieces.time_s, x, z, volume, series.values[pieces.row]]), series.names)

    def passes(self, series: QualitySeries, bed: Bed) -> None:
        return None

    def describe(self, series: QualitySeries, bed: Bed) -> str:
        if bed.circular:
            return f"Cone-shell round the ring, a cone every {self.cone_step_m:g} m"
        return f"Cone-shell, {self._stations(bed).size} cones"


PLANS: dict[str, type[StackingPlan]] = {
    "chevron": Chevron,
    "windrow": Windrow,
    "cone-shell": ConeShell,
    "strata": Strata,
    "circular": Circular,
}


# Circular beds run continuously, as plants run them: the stacker lays material on an advancing ramp (the
# blending tail) while the reclaimer, some way behind, cuts the full-height face. A ring plan turns a
# quality series into chunks and into the reclaimer's path over time (a RingSchedule). Positions along the
# ring are metres on the pile's centre line, counted from the -x side of the ring's centre in the
# direction both machines travel, and keep growing turn after turn.

# Slope of the fast engine's piles: particles come to rest on 45 degree slopes, so a pile of height h
# runs out h metres from its crest and a ridge of height h has a cross-section of h**2.
REPOSE_SLOPE = 1.0


@dataclass(frozen=True)
class RingSchedule:
    """Chunks for a ring and where the reclaimer's foot stands over time.

    reclaimer_time_s, reclaimer_position_m: the foot's path, linear in between.
    advance_m_per_s: how fast the stacking front (and the reclaimer) moves round.
    cross_section_m2: the full pile's cross-section, volume per metre of centre line.
    ramp_m: length of the blending tail on the centre line (0 for cones).
    lag_m: how far the reclaimer's foot is behind the stacking front.
    layers: layers a point of the pile receives; None for cones.
    pile_height_m: height of the full pile (or of a cone).
    face_lead_m: how far the top of a full-height face is ahead of its foot at the
        ring's inner edge, where it leads most.
    laid_behind_front_m: how far behind the front material is laid on average:
        half the ramp; for cones, a cone's run-out and half a step.
    """

    chunks: ChunkTable
    reclaimer_time_s: FloatArray
    reclaimer_position_m: FloatArray
    advance_m_per_s: float
    cross_section_m2: float
    ramp_m: float
    lag_m: float
    layers: float | None
    pile_height_m: float
    face_lead_m: float
    laid_behind_front_m: float

    @property
    def ramp_cost_m3(self) -> float:
        """Buffer the blending tail costs: a ramp holds half what the same length of full pile holds."""
        return self.ramp_m * self.cross_section_m2 / 2

    def predicted_residence_s(self, reclaim_angle_deg: float) -> float:
        """Mean time material lies on the ring by the geometry: from where it is laid behind the front to
        the face, whose top cuts a triangular section (a third of its height up on average) sooner, at the
        reclaimer's speed. Material rolling off the front lies a little longer."""
        face = 0.0
        if not is_vertical_face(reclaim_angle_deg):
            face = self.pile_height_m / 3 / math.tan(math.radians(reclaim_angle_deg))
        return (self.lag_m - self.laid_behind_front_m - face) / self.advance_m_per_s


def _flowing_time(series: QualitySeries) -> tuple[FloatArray, FloatArray]:
    """Flowing time at the start of each delivery and each delivery's duration (see korvex.feed)."""
    durations = series.flow.durations_s
    return np.concatenate([[0.0], np.cumsum(durations)])[:-1], durations


def _ring_xz(along_m: FloatArray, bed: Bed) -> tuple[FloatArray, FloatArray]:
    angle = math.pi - np.asarray(along_m) / bed.circle_radius_m
    centre_x, centre_z = bed.circle_centre_m
    return centre_x + bed.circle_radius_m * np.cos(angle), centre_z + bed.circle_radius_m * np.sin(angle)


def _check_ring_bed(label: str, bed: Bed) -> None:
    if not bed.circular:
        raise SettingsError(f"{label} on a ring needs a circular bed (Bed(circular=True))")
    if bed.engine != "fast":
        raise SettingsError(f"continuous operation of a ring runs on the fast engine, not {bed.engine!r}")


def _face_lead_m(height_m: float, bed: Bed) -> float:
    """How far ahead of its foot, on the centre line, a face of that height reaches at the inner edge."""
    if is_vertical_face(bed.reclaim_angle_deg):
        return 0.0
    inner = max(bed.circle_radius_m - bed.ring_width_m / 2, bed.cell_size_m)
    return height_m / math.tan(math.radians(bed.reclaim_angle_deg)) * bed.circle_radius_m / inner


def _default_lag(least_m: float, bed: Bed) -> float:
    """The reclaimer half a turn behind the front, which keeps about half the ring in stock, or as far
    as the ramp and the face need."""
    return max(bed.centre_line_m / 2, least_m)


def _check_fits(lag_m: float, runout_m: float, bed: Bed, what: str) -> None:
    if lag_m + runout_m >= bed.centre_line_m:
        raise SettingsError(
            f"{what} and the reclaimer {lag_m:.4g} m behind the front, with {runout_m:.4g} m of run-out, "
            f"do not fit on a centre line of {bed.centre_line_m:.4g} m: shorten the ramp or the lag, "
            "or give a larger ring_radius_m"
        )


def _schedule_points(series: QualitySeries, durations: FloatArray, foot: FloatArray) -> tuple[FloatArray, FloatArray]:
    """The foot's path as points at the start and end of each delivery's flow (`foot` there, in metres);
    it waits at 0 until its path gets there."""
    times = np.column_stack([series.time_s, series.time_s + durations]).ravel()
    # A delivery's start plus its gap can round past the next delivery's time; the path never goes back.
    return np.maximum.accumulate(times), np.maximum.accumulate(np.maximum(foot, 0.0))


@dataclass(frozen=True)
class Chevcon(StackingPlan):
    """Chevron layers on an advancing ramp round a circular bed, reclaimed continuously.

    The stacker slews back and forth over the ramp (the blending tail) on the
    centre line while the ramp advances round the ring; a point of the pile gets
    a layer each time the stacker passes over it while it lies on the ramp, so
    it gets slew speed / advance rate layers (fewer with stops). The reclaimer follows the front
    reclaimer_lag_m behind, at the advance rate, cutting the full-height face.

    ramp_length_m or ramp_sector_deg: the ramp, on the centre line or as an
        angle (default 60°).
    advance_m_per_min: the ramp's advance on the centre line; by default the
        rate at which the mean feed fills the pile's full cross-section, a
        ridge as high as half the pile's width.
    slew_speed_deg_per_min or slew_speed_m_per_min: the stacker's slew speed,
        as an angle or on the centre line (default 10 m/min).
    stop_s: how long the stacker stands at each end of the ramp before it turns.
    slew_step_m: movement increment: the stacker stands at positions this far
        apart on its way over the ramp; by default it moves continuously.
    reclaimer_lag_m: distance of the reclaimer's foot behind the front; by
        default half the centre line, or more where the ramp, the face's lead at
        the inner edge and half the pile's width to spare need more.
    chunk_length_m: longest stretch of slew in one chunk; one cell by default.
    """

    label: ClassVar[str] = "Chevcon"
    default_ramp_deg: ClassVar[float] = 60.0
    default_slew_m_per_min: ClassVar[float] = 10.0

    ramp_length_m: float | None = field(
        default=None, metadata={"unit": "m", "help": "blending tail on the centre line", "ring": True}
    )
    ramp_sector_deg: float | None = field(
        default=None,
        metadata={
            "unit": "°",
            "metavar": "DEG",
            "help": "instead: the ramp as an angle",
            "unset": f"{default_ramp_deg:g}",
            "ring": True,
        },
    )
    advance_m_per_min: float | None = field(
        default=None,
        metadata={
            "unit": "m/min",
            "metavar": "M_PER_MIN",
            "help": "the ramp's advance",
            "unset": "the mean feed fills the pile's cross-section",
            "ring": True,
        },
    )
    slew_speed_deg_per_min: float | None = field(
        default=None,
        metadata={"unit": "°/min", "metavar": "DEG_PER_MIN", "help": "stacker slew speed", "ring": True},
    )
    slew_speed_m_per_min: float | None = field(
        default=None,
        metadata={
            "unit": "m/min",
            "metavar": "M_PER_MIN",
            "help": "instead: on the centre line",
            "unset": f"{default_slew_m_per_min:g}",
            "ring": True,
        },
    )
    stop_s: float = field(
        default=0.0, metadata={"unit": "s", "help": "stacker stop at each end of the ramp", "ring": True}
    )
    slew_step_m: float | None = field(
        default=None, metadata={"unit": "m", "help": "movement increment of the stacker", "ring": True}
    )
    reclaimer_lag_m: float | None = field(
        default=None, metadata={"unit": "m", "help": "reclaimer's foot behind the front", "ring": True}
    )
    chunk_length_m: float | None = field(default=None, metadata=CHUNK_LENGTH)

    def __post_init__(self) -> None:
        for first, second in (
            ("ramp_length_m", "ramp_sector_deg"),
            ("slew_speed_deg_per_min", "slew_speed_m_per_min"),
        ):
            if getattr(self, first) is not None and getattr(self, second) is not None:
                raise SettingsError(f"give either {first} or {second}, not both")
        for name, unit in (
            ("ramp_length_m", "m"),
            ("advance_m_per_min", "m/min"),
            ("slew_speed_deg_per_min", "°/min"),
            ("slew_speed_m_per_min", "m/min"),
            ("slew_step_m", "m"),
            ("reclaimer_lag_m", "m"),
            ("chunk_length_m", "m"),
        ):
            if getattr(self, name) is not None:
                validation.positive(name, getattr(self, name), unit)
        if self.ramp_sector_deg is not None:
            validation.within("ramp_sector_deg", self.ramp_sector_deg, 0, 360, "°", open_ends=True)
        validation.non_negative("stop_s", self.stop_s, "s")

    def ramp_m(self, bed: Bed) -> float:
        if self.ramp_length_m is not None:
            return self.ramp_length_m
        sector = self.default_ramp_deg if self.ramp_sector_deg is None else self.ramp_sector_deg
        return math.radians(sector) * bed.circle_radius_m

    def slew_m_per_s(self, bed: Bed) -> float:
        if self.slew_speed_deg_per_min is not None:
            return math.radians(self.slew_speed_deg_per_min) * bed.circle_radius_m / 60
        speed = self.default_slew_m_per_min if self.slew_speed_m_per_min is None else self.slew_speed_m_per_min
        return speed / 60

    def schedule(self, series: QualitySeries | pd.DataFrame | ArrayLike, bed: Bed) -> RingSchedule:
        """Chunks and the reclaimer's path that run `series` round `bed` by this plan."""
        series = as_series(series)
        _check_ring_bed(self.label, bed)
        flowing, durations = _flowing_time(series)
        total_s = float(flowing[-1] + durations[-1])
        if not total_s > 0:
            raise SettingsError("a ring runs in time: give a series of at least two deliveries at different times")
        height = bed.ring_width_m / 2 * REPOSE_SLOPE
        cross_section = height**2 / REPOSE_SLOPE
        if self.advance_m_per_min is None:
            advance = series.total_volume_m3 / total_s / cross_section
        else:
            advance = self.advance_m_per_min / 60
            # An advance too slow to hold in a float piles the feed endlessly high.
            fill = series.total_volume_m3 / total_s * REPOSE_SLOPE
            height = math.sqrt(fill / advance) if advance > 0 else math.inf
            cross_section = height**2 / REPOSE_SLOPE
        if not height / REPOSE_SLOPE <= bed.ring_width_m / 2 * (1 + 1e-9):
            raise SettingsError(
                f"advance_m_per_min of {self.advance_m_per_min:g} m/min piles the mean feed {height:.3g} m high, "
                f"{2 * height / REPOSE_SLOPE:.3g} m wide, wider than pile_width_m of {bed.ring_width_m:g} m: "
                "advance faster"
            )
        ramp = self.ramp_m(bed)
        slew = self.slew_m_per_s(bed)
        lag, lead = self.lag_m(bed, advance, height)
        chunks = self.laid(series, flowing, durations, bed, advance)
        flow = np.column_stack([flowing, flowing + durations]).ravel()
        times, positions = _schedule_points(series, durations, self.reclaimer_m(flow, bed, advance, lag))
        # A point lies on the ramp for ramp / advance and gets a layer every crossing, stop included.
        layers = ramp / advance / (ramp / slew + self.stop_s)
        return RingSchedule(
            chunks, times, positions, advance, cross_section, ramp, lag, layers, height, lead, ramp / 2
        )

    def lag_m(self, bed: Bed, advance_m_per_s: float, height_m: float) -> tuple[float, float]:
        """The reclaimer's lag behind the front, and how far the top of its face leads its foot, for a
        ramp advancing at advance_m_per_s and a pile height_m high; SettingsError where they do not fit."""
        ramp = self.ramp_m(bed)
        slew = self.slew_m_per_s(bed)
        if not slew > advance_m_per_s:
            raise SettingsError(
                f"a slew of {slew * 60:.3g} m/min on the centre line does not outrun the ramp's advance of "
                f"{advance_m_per_s * 60:.3g} m/min: the stacker would lay less than one layer"
            )
        lead = _face_lead_m(height_m, bed)
        lag = self.reclaimer_lag_m
        if lag is None:
            lag = _default_lag(ramp + lead + bed.ring_width_m / 2, bed)
        _check_fits(lag, height_m / REPOSE_SLOPE, bed, f"a ramp of {ramp:.4g} m")
        if lag < ramp + lead:
            raise SettingsError(
                f"reclaimer_lag_m of {lag:g} m puts the face, whose top leads its foot by {lead:.3g} m, into "
                f"the ramp of {ramp:.4g} m: give at least {ramp + lead:.4g} m"
            )
        return lag, lead

    def laid(
        self, series: QualitySeries, flowing_s: FloatArray, durations_s: FloatArray, bed: Bed, advance_m_per_s: float
    ) -> ChunkTable:
        """The chunks that lay the deliveries of `series`, which flow from flowing_s (the feed's flowing
        time before each) for durations_s, the ramp advancing at advance_m_per_s. Each delivery's chunks
        follow from its own row alone."""
        ramp = self.ramp_m(bed)
        slew = self.slew_m_per_s(bed)
        # The stacker's slew, as distance travelled, cut into chunks; stops add travel time without travel.
        step = bed.cell_size_m if self.chunk_length_m is None else self.chunk_length_m
        pieces = _cut_travel(flowing_s * slew, (flowing_s + durations_s) * slew, step, series.time_s, durations_s)
        tau = pieces.travel_m / slew
        offset = self._offset_m(tau, ramp, slew)
        along = self._tail_m(bed) + advance_m_per_s * tau + offset
        x, z = _ring_xz(along, bed)
        volume = series.volume_m3[pieces.row] * pieces.share
        return ChunkTable(np.column_stack([pieces.time_s, x, z, volume, series.values[pieces.row]]), series.names)

    def reclaimer_m(self, flowing_s: FloatArray, bed: Bed, advance_m_per_s: float, lag_m: float) -> FloatArray:
        """Where the reclaimer's foot would stand after flowing_s seconds of feed (negative: not yet on
        its way)."""
        return self._tail_m(bed) + self.ramp_m(bed) + advance_m_per_s * np.asarray(flowing_s) - lag_m

    @staticmethod
    def _tail_m(bed: Bed) -> float:
        # The ramp's tail starts a half width in, so that the first layers' back slope stays on this turn.
        return bed.ring_width_m / 2

    def _offset_m(self, tau: FloatArray, ramp: float, slew: float) -> FloatArray:
        """Where on the ramp (0 at its tail, `ramp` at its front) the stacker stands after tau seconds."""
        crossing = ramp / slew
        cycle = 2 * (crossing + self.stop_s)
        phase = np.mod(tau, cycle)
        out = np.minimum(phase, crossing) * slew
        back = ramp - np.clip(phase - crossing - self.stop_s, 0.0, crossing) * slew
        offset = np.where(phase < crossing + self.stop_s, out, back)
        if self.slew_step_m is not None:
            offset = np.minimum(np.round(offset / self.slew_step_m) * self.slew_step_m, ramp)
        return offset

    def chunks(self, series: QualitySeries | pd.DataFrame | ArrayLike, bed: Bed) -> ChunkTable:
        return self.schedule(series, bed).chunks

    def passes(self, series: QualitySeries, bed: Bed) -> float | None:
        return self.schedule(series, bed).layers

    def describe(self, series: QualitySeries, bed: Bed) -> str:
        slew = self.slew_m_per_s(bed) * 60
        return (
            f"Chevcon, ramp {self.ramp_m(bed):.3g} m, slew {slew:.3g} m/min "
            f"({math.degrees(slew / bed.circle_radius_m):.3g}°/min)"
        )


def lone_cone_m3(height_m: float) -> float:
    """Volume of a cone of that height standing alone at the fast engine's slope."""
    return math.pi * height_m**3 / (3 * REPOSE_SLOPE**2)


def added_cone_m3(height_m: float, step_m: float) -> float:
    """Volume that raises a cone of that height step_m on from the last one: a lone cone less the lens
    it shares with its neighbour (the cones further back lie lower everywhere the new one adds to)."""
    from scipy import integrate

    runout = height_m / REPOSE_SLOPE
    if step_m >= 2 * runout:
        return lone_cone_m3(height_m)

    def across(u: float) -> float:
        # The lens's section at distance u from the tip of the cone that is the lower one there.
        w = math.sqrt(max(runout**2 - u**2, 0.0))
        return runout * w - u**2 * math.asinh(w / u)

    lens, _ = integrate.quad(across, step_m / 2, runout)
    return max(lone_cone_m3(height_m) - 2 * REPOSE_SLOPE * lens, 0.0)


def cone_height_for_m(volume_m3: float, step_m: float, most_m: float) -> float | None:
    """Height to which cones of volume_m3, step_m apart, raise the pile once they overlap; None when
    that is above most_m."""
    from scipy import optimize

    alone = (3 * volume_m3 * REPOSE_SLOPE**2 / math.pi) ** (1 / 3)
    if alone > most_m or added_cone_m3(most_m, step_m) < volume_m3:
        return None
    if step_m >= 2 * alone / REPOSE_SLOPE:
        return alone
    return float(optimize.brentq(lambda h: added_cone_m3(h, step_m) - volume_m3, alone, most_m, xtol=1e-9 * most_m))


def cone_shell_schedule(plan: ConeShell, series: QualitySeries, bed: Bed) -> RingSchedule:
    """Cones round a ring: the stacker stands until its cone reaches the set height (or volume), then
    slews cone_step_m on along the centre line; the reclaimer follows the cones.

    Cones closer than twice their run-out overlap: the first stands alone, and each further one needs only
    what it adds beside the last to reach the height. Cones of a set volume rise, where they overlap, to
    the height that volume keeps."""
    _check_ring_bed("Cone-shell", bed)
    flowing, durations = _flowing_time(series)
    half_width = bed.ring_width_m / 2
    step = plan.cone_step_m
    highest = half_width * REPOSE_SLOPE
    if plan.cone_volume_m3 is not None:
        first_cone = volume_per_cone = plan.cone_volume_m3
        found = cone_height_for_m(volume_per_cone, step, highest)
        if found is None:
            raise SettingsError(
                f"cone_volume_m3 of {volume_per_cone:g} m³ every {step:g} m piles cones over {highest:.3g} m high, "
                f"which run out wider than half the pile's width of {bed.ring_width_m:g} m: give smaller cones"
            )
        height = found
    else:
        height = highest if plan.cone_height_m is None else plan.cone_height_m
        if height > highest:
            raise SettingsError(
                f"cones {height:.3g} m high run out {height / REPOSE_SLOPE:.3g} m from their tip, wider than "
                f"half the pile's width of {bed.ring_width_m:g} m"
            )
        first_cone, volume_per_cone = lone_cone_m3(height), added_cone_m3(height, step)
    delivered = np.concatenate([[0.0], np.cumsum(series.volume_m3)])
    # Cones counted from the second: the first, alone, takes first_cone; every later one volume_per_cone.
    progress = (delivered - first_cone) / volume_per_cone + 1
    if not progress[-1] < validation.MAX_CHUNKS:
        raise SettingsError(f"{progress[-1]:.3g} cones are more than the {validation.MAX_CHUNKS:,} chunks allowed")
    pieces = _cut_travel(progress[:-1], progress[1:], 1.0, series.time_s, durations)
    runout = height / REPOSE_SLOPE
    start = runout
    along = start + np.maximum(np.floor(pieces.travel_m), 0.0) * step
    x, z = _ring_xz(along, bed)
    volume = series.volume_m3[pieces.row] * pieces.share
    chunks = ChunkTable(np.column_stack([pieces.time_s, x, z, volume, series.values[pieces.row]]), series.names)

    total_s = float(flowing[-1] + durations[-1])
    if not total_s > 0:
        raise SettingsError("a ring runs in time: give a series of at least two deliveries at different times")
    advance = series.total_volume_m3 / total_s / volume_per_cone * step
    lead = _face_lead_m(height, bed)
    lag = _default_lag(2 * runout + lead + half_width, bed)
    _check_fits(lag, runout, bed, f"cones {step:g} m apart")
    # The foot follows the cones' front at the pace the feed builds them.
    front = np.maximum(np.column_stack([progress[:-1], progress[1:]]).ravel(), 0.0)
    times, positions = _schedule_points(series, durations, start + runout + front * step - lag)
    return RingSchedule(
        chunks, times, positions, advance, volume_per_cone / step, 0.0, lag, None, height, lead, runout + step / 2
    )


def is_ring_plan(plan: object, bed: Bed) -> bool:
    """Whether `plan` runs `bed` continuously: Chevcon always, Cone-shell on a circular bed."""
    return isinstance(plan, Chevcon) or (isinstance(plan, ConeShell) and bed.circular)

