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
from pathlib import Path
from typing import TYPE_CHECKING, ClassVar

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _native, validation
from .bed import Bed
from .chunks import ChunkTable
from .metrics import QualityFigures, composites, cut, weighted_mean_std
from .plans import ConeShell, StackingPlan, _cut_travel, _durations
from .results import HeightMap
from .series import QualitySeries, as_series
from .validation import FloatArray

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.figure import Figure

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
        if not _native.is_vertical_face(reclaim_angle_deg):
            face = self.pile_height_m / 3 / math.tan(math.radians(reclaim_angle_deg))
        return (self.lag_m - self.laid_behind_front_m - face) / self.advance_m_per_s


def _flowing_time(series: QualitySeries) -> tuple[FloatArray, FloatArray]:
    """Flowing time at the start of each delivery and each delivery's duration (see plans._durations)."""
    durations = _durations(series.time_s)
    return np.concatenate([[0.0], np.cumsum(durations)])[:-1], durations


def _ring_xz(along_m: FloatArray, bed: Bed) -> tuple[FloatArray, FloatArray]:
    angle = math.pi - np.asarray(along_m) / bed.circle_radius_m
    centre_x, centre_z = bed.circle_centre_m
    return centre_x + bed.circle_radius_m * np.cos(angle), centre_z + bed.circle_radius_m * np.sin(angle)


def _check_ring_bed(label: str, bed: Bed) -> None:
    if not bed.circular:
        raise ValueError(f"{label} on a ring needs a circular bed (Bed(circular=True))")
    if bed.engine != "fast":
        raise ValueError(f"continuous operation of a ring runs on the fast engine, not {bed.engine!r}")


def _face_lead_m(height_m: float, bed: Bed) -> float:
    """How far ahead of its foot, on the centre line, a face of that height reaches at the inner edge."""
    if _native.is_vertical_face(bed.reclaim_angle_deg):
        return 0.0
    inner = max(bed.circle_radius_m - bed.ring_width_m / 2, bed.cell_size_m)
    return height_m / math.tan(math.radians(bed.reclaim_angle_deg)) * bed.circle_radius_m / inner


def _default_lag(least_m: float, bed: Bed) -> float:
    """The reclaimer half a turn behind the front, which keeps about half the ring in stock, or as far
    as the ramp and the face need."""
    return max(bed.centre_line_m / 2, least_m)


def _check_fits(lag_m: float, runout_m: float, bed: Bed, what: str) -> None:
    if lag_m + runout_m >= bed.centre_line_m:
        raise ValueError(
            f"{what} and the reclaimer {lag_m:.4g} m behind the front, with {runout_m:.4g} m of run-out, "
            f"do not fit on a centre line of {bed.centre_line_m:.4g} m: shorten the ramp or the lag, "
            "or give a larger ring_radius_m"
        )


def _schedule_points(series: QualitySeries, durations: FloatArray, foot: FloatArray) -> tuple[FloatArray, FloatArray]:
    """The foot's path as points at the start and end of each delivery's flow (`foot` there, in metres);
    it waits at 0 until its path gets there."""
    times = np.column_stack([series.time_s, series.time_s + durations]).ravel()
    return times, np.maximum.accumulate(np.maximum(foot, 0.0))


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

    ramp_length_m: float | None = None
    ramp_sector_deg: float | None = None
    advance_m_per_min: float | None = None
    slew_speed_deg_per_min: float | None = None
    slew_speed_m_per_min: float | None = None
    stop_s: float = 0.0
    slew_step_m: float | None = None
    reclaimer_lag_m: float | None = None
    chunk_length_m: float | None = None

    label: ClassVar[str] = "Chevcon"
    default_ramp_deg: ClassVar[float] = 60.0
    default_slew_m_per_min: ClassVar[float] = 10.0

    def __post_init__(self) -> None:
        for first, second in (
            ("ramp_length_m", "ramp_sector_deg"),
            ("slew_speed_deg_per_min", "slew_speed_m_per_min"),
        ):
            if getattr(self, first) is not None and getattr(self, second) is not None:
                raise ValueError(f"give either {first} or {second}, not both")
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
            raise ValueError("a ring runs in time: give a series of at least two deliveries at different times")
        height = bed.ring_width_m / 2 * REPOSE_SLOPE
        cross_section = height**2 / REPOSE_SLOPE
        if self.advance_m_per_min is None:
            advance = series.total_volume_m3 / total_s / cross_section
        else:
            advance = self.advance_m_per_min / 60
            height = math.sqrt(series.total_volume_m3 / total_s / advance * REPOSE_SLOPE)
            cross_section = height**2 / REPOSE_SLOPE
        if height / REPOSE_SLOPE > bed.ring_width_m / 2 * (1 + 1e-9):
            raise ValueError(
                f"advance_m_per_min of {self.advance_m_per_min:g} m/min piles the mean feed {height:.3g} m high, "
                f"{2 * height / REPOSE_SLOPE:.3g} m wide, wider than pile_width_m of {bed.ring_width_m:g} m: "
                "advance faster"
            )
        ramp = self.ramp_m(bed)
        slew = self.slew_m_per_s(bed)
        if not slew > advance:
            raise ValueError(
                f"a slew of {slew * 60:.3g} m/min on the centre line does not outrun the ramp's advance of "
                f"{advance * 60:.3g} m/min: the stacker would lay less than one layer"
            )
        lead = _face_lead_m(height, bed)
        lag = self.reclaimer_lag_m
        if lag is None:
            lag = _default_lag(ramp + lead + bed.ring_width_m / 2, bed)
        _check_fits(lag, height / REPOSE_SLOPE, bed, f"a ramp of {ramp:.4g} m")
        if lag < ramp + lead:
            raise ValueError(
                f"reclaimer_lag_m of {lag:g} m puts the face, whose top leads its foot by {lead:.3g} m, into "
                f"the ramp of {ramp:.4g} m: give at least {ramp + lead:.4g} m"
            )

        # The stacker's slew, as distance travelled, cut into chunks; stops add travel time without travel.
        step = bed.cell_size_m if self.chunk_length_m is None else self.chunk_length_m
        pieces = _cut_travel(flowing * slew, (flowing + durations) * slew, step, series.time_s, durations)
        tau = pieces.travel_m / slew
        offset = self._offset_m(tau, ramp, slew)
        # The ramp's tail starts a half width in, so that the first layers' back slope stays on this turn.
        start = bed.ring_width_m / 2
        along = start + advance * tau + offset
        x, z = _ring_xz(along, bed)
        volume = series.volume_m3[pieces.row] * pieces.share
        chunks = ChunkTable(np.column_stack([pieces.time_s, x, z, volume, series.values[pieces.row]]), series.names)

        flow = np.column_stack([flowing, flowing + durations]).ravel()
        times, positions = _schedule_points(series, durations, start + ramp + advance * flow - lag)
        # A point lies on the ramp for ramp / advance and gets a layer every crossing, stop included.
        layers = ramp / advance / (ramp / slew + self.stop_s)
        return RingSchedule(
            chunks, times, positions, advance, cross_section, ramp, lag, layers, height, lead, ramp / 2
        )

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


def cone_shell_schedule(plan: ConeShell, series: QualitySeries, bed: Bed) -> RingSchedule:
    """Cones round a ring: the stacker stands until its cone reaches the set height (or volume), then
    slews cone_step_m on along the centre line; the reclaimer follows the cones."""
    _check_ring_bed("Cone-shell", bed)
    flowing, durations = _flowing_time(series)
    half_width = bed.ring_width_m / 2
    if plan.cone_volume_m3 is not None:
        volume_per_cone = plan.cone_volume_m3
        height = (3 * volume_per_cone * REPOSE_SLOPE**2 / math.pi) ** (1 / 3)
    else:
        height = half_width * REPOSE_SLOPE if plan.cone_height_m is None else plan.cone_height_m
        volume_per_cone = math.pi * height**3 / (3 * REPOSE_SLOPE**2)
    if height / REPOSE_SLOPE > half_width:
        raise ValueError(
            f"cones {height:.3g} m high run out {height / REPOSE_SLOPE:.3g} m from their tip, wider than "
            f"half the pile's width of {bed.ring_width_m:g} m"
        )
    delivered = np.concatenate([[0.0], np.cumsum(series.volume_m3)])
    progress = delivered / volume_per_cone
    if not progress[-1] < validation.MAX_CHUNKS:
        raise ValueError(f"{progress[-1]:.3g} cones are more than the {validation.MAX_CHUNKS:,} chunks allowed")
    pieces = _cut_travel(progress[:-1], progress[1:], 1.0, series.time_s, durations)
    runout = height / REPOSE_SLOPE
    start = runout
    along = start + np.floor(pieces.travel_m) * plan.cone_step_m
    x, z = _ring_xz(along, bed)
    volume = series.volume_m3[pieces.row] * pieces.share
    chunks = ChunkTable(np.column_stack([pieces.time_s, x, z, volume, series.values[pieces.row]]), series.names)

    total_s = float(flowing[-1] + durations[-1])
    if not total_s > 0:
        raise ValueError("a ring runs in time: give a series of at least two deliveries at different times")
    advance = series.total_volume_m3 / total_s / volume_per_cone * plan.cone_step_m
    lead = _face_lead_m(height, bed)
    lag = _default_lag(2 * runout + lead + half_width, bed)
    _check_fits(lag, runout, bed, f"cones {plan.cone_step_m:g} m apart")
    # The foot follows the cones' front at the pace the feed builds them.
    volume_at = np.column_stack([delivered[:-1], delivered[1:]]).ravel()
    times, positions = _schedule_points(
        series, durations, start + runout + volume_at / volume_per_cone * plan.cone_step_m - lag
    )
    return RingSchedule(
        chunks,
        times,
        positions,
        advance,
        volume_per_cone / plan.cone_step_m,
        0.0,
        lag,
        None,
        height,
        lead,
        runout + plan.cone_step_m / 2,
    )


def is_ring_plan(plan: object, bed: Bed) -> bool:
    """Whether `plan` runs `bed` continuously: Chevcon always, Cone-shell on a circular bed."""
    return isinstance(plan, Chevcon) or (isinstance(plan, ConeShell) and bed.circular)


@dataclass(frozen=True, repr=False)
class RingOutput:
    """The reclaimer's output as a time series, one slice per reclaim step of its travel.

    time_s: when the reclaimer's foot finished the slice; position_m: where, on
    the centre line (growing turn after turn); residence_s: volume-weighted mean
    time the slice's material lay on the ring, until the middle of the slice's
    time (NaN for an empty slice).
    """

    time_s: FloatArray
    position_m: FloatArray
    volume_m3: FloatArray
    values: FloatArray
    residence_s: FloatArray
    names: tuple[str, ...]

    def __len__(self) -> int:
        return int(self.time_s.size)

    def __repr__(self) -> str:
        return f"RingOutput({len(self)} slices, {self.total_volume_m3:,.1f} m³)"

    @property
    def total_volume_m3(self) -> float:
        return float(self.volume_m3.sum())

    def select(self, keep: NDArray[np.bool_]) -> RingOutput:
        return RingOutput(
            self.time_s[keep],
            self.position_m[keep],
            self.volume_m3[keep],
            self.values[keep],
            self.residence_s[keep],
            self.names,
        )

    @staticmethod
    def joined(first: RingOutput, second: RingOutput) -> RingOutput:
        return RingOutput(
            np.concatenate([first.time_s, second.time_s]),
            np.concatenate([first.position_m, second.position_m]),
            np.concatenate([first.volume_m3, second.volume_m3]),
            np.concatenate([first.values.reshape(-1, len(first.names)), second.values.reshape(-1, len(first.names))]),
            np.concatenate([first.residence_s, second.residence_s]),
            first.names,
        )

    def to_frame(self) -> pd.DataFrame:
        import pandas as pd

        frame = pd.DataFrame(
            {
                "time_s": self.time_s,
                "position_m": self.position_m,
                "volume_m3": self.volume_m3,
                "residence_s": self.residence_s,
            }
        )
        for name, column in zip(self.names, self.values.T, strict=True):
            frame[name] = column
        return frame


def fair_figures(
    names: tuple[str, ...],
    feed_volume_m3: ArrayLike,
    feed_values: ArrayLike,
    out_volume_m3: ArrayLike,
    out_values: ArrayLike,
    portion_m3: float,
    *,
    layers: float | None = None,
) -> tuple[QualityFigures, ...]:
    """QualityFigures of feed and output cut alike: the output into composites of whole consecutive
    slices of about `portion_m3`, the feed, in stacking order, into portions of the same volumes.

    The last composite, which may be short, is left out, and so are composites beyond the feed's volume.
    """
    portion_m3 = validation.positive("portion_m3", portion_m3, "m³")
    volume_out, means_out = composites(out_volume_m3, out_values, portion_m3)
    feed_total = float(np.sum(np.asarray(feed_volume_m3, dtype=np.float64)))
    fits = int(np.searchsorted(np.cumsum(volume_out[:-1]), feed_total * (1 + 1e-9), side="right"))
    if fits < 2:
        raise ValueError(
            f"portions of {portion_m3:g} m³ leave fewer than two to compare ({fits}): give smaller portions "
            "or run the ring longer"
        )
    volume_out, means_out = volume_out[:fits], means_out[:fits]
    means_in = cut(feed_volume_m3, feed_values, volume_out)
    figures = []
    for k, name in enumerate(names):
        mean_in, std_in = weighted_mean_std(means_in[:, k], volume_out)
        mean_out, std_out = weighted_mean_std(means_out[:, k], volume_out)
        portion = float(np.median(volume_out))
        figures.append(QualityFigures(name, mean_in, std_in, mean_out, std_out, layers, portion_m3=portion))
    return tuple(figures)


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

    def save_plots(self, prefix: str | Path) -> tuple[Path, Path]:
        """Write PREFIX-ring.png (the ring's heights) and PREFIX-output.png (qualities over time)."""
        from .plots import heights_figure, save_figure

        prefix = Path(prefix)
        ring = save_figure(
            heights_figure(self.heights, footer=self.stamp, title="The ring as the feed ended"),
            prefix.with_name(f"{prefix.name}-ring.png"),
        )
        output = save_figure(output_figure(self), prefix.with_name(f"{prefix.name}-output.png"))
        return ring, output

    def save_reclaimed(self, path: str | Path) -> Path:
        """Write the output slices as CSV, below comment lines (#) with the stamp and the setup."""
        path = Path(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        frame = self.output.to_frame()
        frame.insert(0, "phase", self.phase)
        with path.open("w", encoding="utf-8", newline="") as file:
            file.write(f"# {self.stamp}\n# {self.describe()}\n")
            frame.to_csv(file, index=False)
        return path


def output_figure(study: RingStudy) -> Figure:
    """Each quality of the feed and of the output against time, the steady state shaded."""
    from matplotlib.figure import Figure

    from .plots import INPUT_COLOUR, OUTPUT_COLOUR, add_footer

    names = study.series.names
    figure = Figure(figsize=(10.0, 1.2 + 2.0 * len(names)), layout="constrained")
    axes = figure.subplots(len(names), 1, sharex=True, squeeze=False)[:, 0]
    out = study.output
    full = out.volume_m3 > 0
    steady = out.time_s[study.phase == RingStudy.STEADY]
    for k, name in enumerate(names):
        ax = axes[k]
        ax.plot(study.series.time_s / 3600, study.series.values[:, k], color=INPUT_COLOUR, linewidth=0.5, label="feed")
        ax.plot(out.time_s[full] / 3600, out.values[full, k], color=OUTPUT_COLOUR, linewidth=0.9, label="output")
        if steady.size:
            ax.axvspan(steady[0] / 3600, steady[-1] / 3600, color="tab:green", alpha=0.08, label="steady state")
        ax.set_ylabel(name)
        ax.grid(True, alpha=0.3)
    axes[0].legend(loc="upper right", fontsize=8, ncols=3)
    axes[0].set_title("Feed as stacked and output as reclaimed, over time")
    axes[-1].set_xlabel("time [h]")
    add_footer(figure, study.stamp)
    return figure


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
