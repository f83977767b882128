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
from .bed import Bed
from .chunks import ChunkTable
from .series import QualitySeries, as_series
from .validation import FloatArray

if TYPE_CHECKING:
    import pandas as pd

    from .ring import RingSchedule

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
    pieces_about = (end[-1] - start[0]) / step + start.size
    if not pieces_about <= validation.MAX_CHUNKS:
        raise ValueError(
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


def _durations(time: FloatArray) -> FloatArray:
    """How long material of each delivery flows: until the next delivery, at most a typical gap.

    A longer gap is a stop of the feed, during which the stacker waits.
    """
    gaps = np.diff(time)
    typical = float(np.median(gaps)) if gaps.size else 0.0
    return np.minimum(np.append(gaps, typical), typical)


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


@dataclass(frozen=True)
class _TravellingPlan(StackingPlan):
    """A stacker travelling back and forth or round, driven by the layer count or by its speed."""

    layers: int | None = None
    stacker_speed_m_per_min: float | None = None
    chunk_length_m: float | None = None
    # Keyword-only, so that the plans' own fields keep their places.
    start_phase_m: float = field(default=0.0, kw_only=True)
    speed_factor: float = field(default=1.0, kw_only=True)

    default_layers: ClassVar[int] = 100

    def __post_init__(self) -> None:
        if self.layers is not None and self.stacker_speed_m_per_min is not None:
            raise ValueError("give either layers or stacker_speed_m_per_min, not both")
        validation.non_negative("start_phase_m", self.start_phase_m, "m")
        validation.positive("speed_factor", self.speed_factor)
        if self.layers is not None:
            validation.whole("layers", self.layers, 1)
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

    def _travel(self, series: QualitySeries, bed: Bed) -> tuple[FloatArray, FloatArray]:
        if self.stacker_speed_m_per_min is not None:
            flowing = np.concatenate([[0.0], np.cumsum(_durations(series.time_s))])
            travel = flowing * (self.stacker_speed_m_per_min * self.speed_factor / 60)
        else:
            layers = self.default_layers if self.layers is None else int(self.layers)
            total = self._passes_for_layers(layers, bed) * self._pass_length_m(bed) * self.speed_factor
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
        pass_length = self._pass_length_m(bed)
        wanted = bed.cell_size_m if self.chunk_length_m is None else self.chunk_length_m
        per_pass = pass_length / wanted
        if not per_pass <= validation.MAX_CHUNKS:
            raise ValueError(
                f"chunks of {wanted:g} m cut one pass of {pass_length:g} m into {per_pass:.3g} pieces, "
                f"more than the {validation.MAX_CHUNKS:,} chunks allowed: give a longer chunk_length_m"
            )
        # Whole pieces per pass put the turning points on piece edges.
        step = pass_length / math.ceil(per_pass - _EDGE_TOLERANCE)
        start, end = self._travel(series, bed)
        pieces = _cut_travel(start, end, step, series.time_s, _durations(series.time_s))
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
class _StraightPlan(_TravellingPlan):
    """A stacker running along a straight bed between its blending tails."""

    blending_tail_m: float | None = None
    turnaround_dwell_s: float = 0.0

    def __post_init__(self) -> None:
        super().__post_init__()
        if self.blending_tail_m is not None:
            validation.non_negative("blending_tail_m", self.blending_tail_m, "m")
        validation.non_negative("turnaround_dwell_s", self.turnaround_dwell_s, "s")
        if self.turnaround_dwell_s > 0 and self.stacker_speed_m_per_min is None:
            raise ValueError(
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
            raise ValueError(f"{self.label} stacking needs a straight bed; stack a circular bed with Circular")
        if self._pass_length_m(bed) <= 0:
            raise ValueError(
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

    rows: int = 4
    default_layers: ClassVar[int] = 20
    label: ClassVar[str] = "Windrow"

    def __post_init__(self) -> None:
        super().__post_init__()
        validation.whole("rows", self.rows, 1)

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

    lane_spacing_m: float = 5.0
    default_layers: ClassVar[int] = 10
    label: ClassVar[str] = "Strata"

    def __post_init__(self) -> None:
        super().__post_init__()
        validation.positive("lane_spacing_m", self.lane_spacing_m, "m")

    def _lane_count(self, bed: Bed) -> int:
        return max(1, round(bed.depth_m / self.lane_spacing_m))

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
class Circular(_TravellingPlan):
    """A circular bed: the stacker turns round the centre line, layer upon layer.

    It starts where the reclaimer starts (the -x side of the circle) and turns
    the way the reclaimer advances; layers count whole turns.
    """

    __doc__ = __doc__ + "\n" + _TRAVEL.format(default=100)

    label: ClassVar[str] = "Circular"

    def _check_bed(self, bed: Bed) -> None:
        if not bed.circular:
            raise ValueError("Circular stacking needs a circular bed (Bed(circular=True))")
        if bed.ring_radius_m is not None or bed.pile_width_m is not None:
            raise ValueError(
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

    cone_step_m: float = 5.0
    blending_tail_m: float | None = None
    cone_height_m: float | None = None
    cone_volume_m3: float | None = None
    label: ClassVar[str] = "Cone-shell"

    def __post_init__(self) -> None:
        validation.positive("cone_step_m", self.cone_step_m, "m")
        if self.blending_tail_m is not None:
            validation.non_negative("blending_tail_m", self.blending_tail_m, "m")
        if self.cone_height_m is not None and self.cone_volume_m3 is not None:
            raise ValueError("give either cone_height_m or cone_volume_m3, not both")
        if self.cone_height_m is not None:
            validation.positive("cone_height_m", self.cone_height_m, "m")
        if self.cone_volume_m3 is not None:
            validation.positive("cone_volume_m3", self.cone_volume_m3, "m³")

    def schedule(self, series: QualitySeries | pd.DataFrame | ArrayLike, bed: Bed) -> RingSchedule:
        """On a circular bed: chunks and the reclaimer's path of cones run round the ring continuously."""
        from .ring import cone_shell_schedule

        return cone_shell_schedule(self, as_series(series), bed)

    def blending_tail_for(self, bed: Bed) -> float:
        return bed.depth_m / 2 if self.blending_tail_m is None else self.blending_tail_m

    def _stations(self, bed: Bed) -> FloatArray:
        tail = self.blending_tail_for(bed)
        span = bed.length_m - 2 * tail
        if span < 0:
            raise ValueError(f"a blending tail of {tail:g} m at each end is longer than the bed")
        steps = span / self.cone_step_m
        if not steps < validation.MAX_CHUNKS:
            raise ValueError(
                f"cone_step_m of {self.cone_step_m:g} m puts {steps:.3g} cones on the bed, "
                f"more than the {validation.MAX_CHUNKS:,} chunks allowed"
            )
        return tail + np.linspace(0.0, span, round(steps) + 1)

    def chunks(self, series: QualitySeries | pd.DataFrame | ArrayLike, bed: Bed) -> ChunkTable:
        series = as_series(series)
        if bed.circular:
            return self.schedule(series, bed).chunks
        if self.cone_height_m is not None or self.cone_volume_m3 is not None:
            raise ValueError(
                "cone_height_m and cone_volume_m3 set the cones of a circular bed; a straight bed shares "
                "the volume among cones cone_step_m apart"
            )
        stations = self._stations(bed)
        delivered = np.concatenate([[0.0], np.cumsum(series.volume_m3)])
        progress = delivered / delivered[-1] * stations.size
        pieces = _cut_travel(progress[:-1], progress[1:], 1.0, series.time_s, _durations(series.time_s))
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

