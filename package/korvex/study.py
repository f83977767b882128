"""A study: a series stacked onto a bed by a plan and reclaimed, or run round a ring continuously."""

from __future__ import annotations

import math
import warnings
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, replace
from functools import cached_property
from typing import TYPE_CHECKING, Any, ClassVar

import numpy as np
from numpy.typing import NDArray

from . import validation
from ._version import __version__
from .bed import Bed
from .capacity import Capacity, EdgeVolume, OnExcess, bed_capacity, check_capacity, edge_volume, engine_angle_deg
from .capacity import measured_angle_deg as _measured_angle_deg
from .chunks import ChunkTable
from .composites import SHIFT_STARTS_H, Clock, shift_starts, time_composites
from .derived import Derivation, add_derived, derived_columns
from .errors import SettingsError
from .equipment import (
    SHIFT_H,
    OutputSeries,
    Reclaimer,
    feed_rate_t_per_h,
    reclaim_hours,
    region_figures,
    slice_regions,
)
from .feed import summary_rows as feed_summary_rows
from .metrics import QualityFigures, fair_figures, homogenisation, weighted_mean_std
from .plans import Chevcon, Chevron, ConeShell, RingSchedule, StackingPlan, is_ring_plan
from .results import HeightMap, Layers, Particles, Reclaimed, RingOutput
from .series import QualitySeries, as_series
from .stockpile import RingPile, Stockpile
from .targets import BandFigures, TargetBand, band_figures, target_bands
from .display import figures_html, headline, html_table
from .theory import Layering, Variogram, predicted_vrr, variogram_by_time, variogram_by_volume
from .units import check_bulk_density, m3_per_s_from_t_per_h, t_per_h_from_m3_per_s

if TYPE_CHECKING:
    import pandas as pd
    from numpy.typing import ArrayLike

    from .validation import FloatArray


# The check of the resolution reruns a study at half the cell edge: eight times the particles.
CHECK_REFINEMENT = 8.0
# A fair VRR that moves by more than this share when the cell is halved has not settled.
CHECK_TOLERANCE = 0.10
# The fast engine's cell edge may be at most this many times the layers' mean thickness: halving the
# cell moves the demo's fair VRR by 4 % at 1.5 layer thicknesses a cell (100 layers), by 7 to 13 % at 2.2
# and by 14 to 30 % at 4.3 (282 passes), by 16 % at 4.5 (300 layers) (docs/resolution.md, "Resolution: the rule").
MAX_CELL_PER_LAYER = 2.0
# The cell a warning suggests, in layer thicknesses: where the demo has settled.
SETTLED_CELL_PER_LAYER = 1.5


class ResolutionWarning(UserWarning):
    """The fair VRR moved by more than CHECK_TOLERANCE when the cell edge was halved."""


def stamp(engine: str, seed: int) -> str:
    """What made a result, for every file written: the package's version, the engine and the seed."""
    return f"korvex {__version__}, engine {engine}, seed {seed}"


@dataclass(frozen=True, repr=False)
class Study:
    """A series stacked onto a bed by a plan and reclaimed: everything a report needs.

    seed: the engine's seed, given or drawn; simulate(..., seed=study.seed) repeats the study.
    bulk_density_t_per_m3: the material's bulk density; with it every volume
        is also given in tonnes.
    reclaimer: the reclaimer's rate; with it and the density, the output is a
        series in time (`output`, `composites`).
    derived: values computed from averaged quality values (slices,
        composites, regions); by default the cement moduli the oxides allow.
    particles: where every particle came to rest, when simulate was asked to
        record them (for cross-sections and the 3-D view), else None.
    targets: bands a value is held in (LSF 96 ± 2); the summary gives the
        share of hourly composites and of tonnes inside each, before and after the bed, and the value's
        hourly standard deviation (`band_figures`).
    layers: the layered engine's record in place of particles: every layer of
        the pile as stacked, when simulate was asked to record particles.
    reclaim_start_h: when the reclaim starts, in hours after the feed's first delivery; by default
        (None) when the stacking ends.
    shift_starts_h: the plant's shifts' starts, hours after midnight; with a feed whose times are
        dates, composites keep the plant's hours and shifts (`clock`).
    """

    bed: Bed
    plan: StackingPlan | None
    series: QualitySeries
    chunks: ChunkTable
    reclaimed: Reclaimed
    heights: HeightMap
    seed: int
    bulk_density_t_per_m3: float | None = None
    reclaimer: Reclaimer | None = None
    derived: Mapping[str, Derivation] | None = None
    particles: Particles | None = None
    targets: tuple[TargetBand, ...] = ()
    layers: Layers | None = None
    reclaim_start_h: float | None = None
    shift_starts_h: tuple[float, ...] = SHIFT_STARTS_H

    @property
    def passes(self) -> float | None:
        return None if self.plan is None else self.plan.passes(self.series, self.bed)

    @property
    def stamp(self) -> str:
        return stamp(self.bed.engine, self.seed)

    def homogenisation(self, composite_m3: float | None = None) -> tuple[QualityFigures, ...]:
        """VRR and E on portions of equal volume, the predicted and the per-delivery VRR, for each quality value.

        composite_m3: compare composites of about this volume, made of whole
        slices, instead of single slices (see korvex.metrics).
        """
        # The layered engine cuts nothing into particles and integrates each slice exactly: it has no grain.
        grain_m3 = None if self.bed.engine == "layered" else self.bed.particle_volume_m3
        figures = homogenisation(
            self.series,
            self.reclaimed,
            layers=self.passes,
            composite_m3=composite_m3,
            particle_volume_m3=grain_m3,
            engine=self.bed.engine,
            derived=self.derived,
        )
        portion = figures[0].portion_m3
        predicted = None if portion is None else self.predicted_vrr(portion)
        if predicted is None:
            return figures
        # Ideal layering predicts the quality values; a modulus is no linear mixture and has no prediction.
        return tuple(replace(f, predicted_vrr=predicted.get(f.name)) for f in figures)

    def predicted_vrr(self, portion_m3: float) -> dict[str, float] | None:
        """The VRR that ideal layering of the plan would give output portions of portion_m3 (korvex.theory).

        None for chunks stacked as given and for a plan that lays no layers.
        """
        layering = None if self.plan is None else Layering.of(self.plan, self.series, self.bed)
        return None if layering is None else predicted_vrr(self.series, layering, portion_m3)

    def variograms(self) -> tuple[Variogram, Variogram | None]:
        """The feed's variogram by volume, and by time when its rows span some time."""
        by_time = variogram_by_time(self.series) if self.series.duration_s > 0 else None
        return variogram_by_volume(self.series), by_time

    def describe(self) -> str:
        plan = "chunks as given" if self.plan is None else self.plan.describe(self.series, self.bed)
        return f"{plan}; {self.bed.describe()}"

    @cached_property
    def angle_of_repose_deg(self) -> float | None:
        """The angle the engine's ridges stand at: measured in advance for the fast engine, on this
        pile for the detailed one (None if it is no ridge); the layered engine's is its setting."""
        if self.bed.engine != "detailed":
            return engine_angle_deg(self.bed)
        try:
            return _measured_angle_deg(self.heights)
        except ValueError:
            return None

    @cached_property
    def capacity(self) -> Capacity | None:
        """What the bed holds at the engine's angle of repose, with the plan's blending tails."""
        angle = self.angle_of_repose_deg
        if angle is None:
            return None
        tail = None if self.plan is None else self.plan.blending_tail_for(self.bed)
        return bed_capacity(self.bed, angle, blending_tail_m=tail)

    @property
    def edge_volume(self) -> EdgeVolume:
        """Material that came to rest in the outermost cells, against walls a real bed does not have."""
        return edge_volume(self.heights)

    def _density(self, what: str) -> float:
        if self.bulk_density_t_per_m3 is None:
            raise ValueError(f"{what} needs the bulk density: simulate(..., bulk_density_t_per_m3=...)")
        return self.bulk_density_t_per_m3

    @cached_property
    def output(self) -> OutputSeries:
        """The reclaimed slices as a stream in time, from the start of the reclaim."""
        if self.reclaimer is None:
            raise ValueError(
                "the output in time needs a reclaim rate: simulate(..., reclaimer=Reclaimer(rate_t_per_h))"
            )
        clock = self.feed_clock
        if clock is not None:
            clock = clock.later(self.series.time_s[0] / 3600 + self.reclaim_begins_h)
        return self.reclaimer.output(
            self.reclaimed, self._density("the output in time"), derived=self.derived, clock=clock
        )

    @property
    def reclaim_begins_h(self) -> float:
        """When the reclaim starts, in hours after the feed's first delivery: reclaim_start_h, or by
        default when the last delivery has flowed onto the bed."""
        if self.reclaim_start_h is not None:
            return self.reclaim_start_h
        series = self.series
        return float(series.time_s[-1] + series.flow.durations_s[-1] - series.time_s[0]) / 3600

    @property
    def feed_clock(self) -> Clock | None:
        """The plant's clock at the feed's time 0, when the feed's times were dates; else None."""
        origin = self.series.date_origin
        return None if origin is None else Clock(origin, self.shift_starts_h)

    def composites(self, interval_h: float = 1.0) -> pd.DataFrame:
        """The laboratory's composites of the output over interval_h, with the derived values."""
        return self.output.composites(interval_h)

    def composite_std(self, interval_h: float = 1.0) -> dict[str, float]:
        """The mass-weighted std of each quality and derived value over the composites of interval_h:
        what the kiln sees after the bed."""
        return self.output.composite_std(interval_h)

    def feed_composites(self, interval_h: float = 1.0) -> pd.DataFrame:
        """The feed's averages over consecutive intervals of interval_h from its first delivery, a delivery
        counted in each interval in proportion to the time it flows in it, with the derived values.

        Columns: start_h, end_h, mass_t (volume_m3 without a bulk density), the values.
        """
        return feed_composites(self.series, self.bulk_density_t_per_m3, interval_h, self.derived, self.feed_clock)

    def feed_composite_std(self, interval_h: float = 1.0) -> dict[str, float]:
        """The std of each quality and derived value over the feed's averages of interval_h, by amount:
        what the kiln would see without the bed."""
        frame = self.feed_composites(interval_h)
        return column_std(frame, "volume_m3" if self.bulk_density_t_per_m3 is None else "mass_t", self._value_names())

    def _value_names(self) -> tuple[str, ...]:
        """The quality values and the derived values the oxides allow."""
        return (*self.series.names, *derived_columns(self.series.names, self.series.values[:1], self.derived)[0])

    def target_shares(self, interval_h: float = 1.0) -> pd.DataFrame:
        """For each target band, the share of the intervals' material whose average lies inside it, before
        the bed (the feed) and after it (the output's composites; NaN without a reclaimer)."""
        feed = self.feed_composites(interval_h) if self.targets else None
        output = self.composites(interval_h) if self.targets and self.reclaimer is not None else None
        weight = "volume_m3" if self.bulk_density_t_per_m3 is None else "mass_t"
        return band_shares(self.targets, feed, output, weight)

    def band_figures(self, interval_h: float = 1.0) -> dict[str, tuple[BandFigures, BandFigures | None]]:
        """For each target band by its value's name: how the feed's averages over interval_h keep it
        (before the bed), and how the output's composites do (after it; None without a reclaimer and a
        bulk density). Without a density the feed's shares count volume, the same share as tonnes."""
        if not self.targets:
            return {}
        weight = "volume_m3" if self.bulk_density_t_per_m3 is None else "mass_t"
        output = None
        if self.reclaimer is not None and self.bulk_density_t_per_m3 is not None:
            output = self.composites(interval_h)
        return band_figure_pairs(self.targets, self.feed_composites(interval_h), output, weight)

    def slices(self) -> pd.DataFrame:
        """The reclaimed slices (position_m, volume_m3, mass_t with a density, the qualities, derived values)."""
        frame = self.reclaimed.to_frame()
        if self.bulk_density_t_per_m3 is not None:
            frame.insert(2, "mass_t", frame["volume_m3"] * self.bulk_density_t_per_m3)
        return add_derived(frame, self.derived)

    def regions(self) -> pd.DataFrame:
        """Mean and std of every quality value over the end cones, the body and the whole bed, with the
        derived values of each region's means."""
        tail = None if self.plan is None else self.plan.blending_tail_for(self.bed)
        table = region_figures(
            self.reclaimed, slice_regions(self.reclaimed, self.bed, tail), self.bulk_density_t_per_m3
        )
        means = table[[f"{name} mean" for name in self.reclaimed.names]]
        means.columns = list(self.reclaimed.names)
        derived = add_derived(means, self.derived).drop(columns=list(self.reclaimed.names))
        return table.join(derived)

    def summary(self) -> pd.DataFrame:
        """The study's deciding figures, numbers all: columns figure, value, unit (the setup is in `describe`)."""
        import pandas as pd

        rows: list[tuple[str, Any, str]] = [
            ("feed", self.series.total_volume_m3, "m³"),
            ("stacked", self.chunks.total_volume_m3, "m³"),
            ("reclaimed", self.reclaimed.total_volume_m3, "m³"),
        ]
        density = self.bulk_density_t_per_m3
        if density is not None:
            rows += [
                ("bulk density", density, "t/m³"),
                ("feed", self.series.total_volume_m3 * density, "t"),
                ("reclaimed", self.reclaimed.total_volume_m3 * density, "t"),
            ]
        rows += feed_summary_rows(self.series.flow, self.series.total_volume_m3, density)
        speed = getattr(self.plan, "stacker_speed_m_per_min", None)
        if speed is not None:
            rows.append(("stacker speed", speed, "m/min"))
            dwell = getattr(self.plan, "turnaround_dwell_s", 0.0)
            if dwell:
                rows.append(("turnaround dwell", dwell, "s"))
        if self.passes is not None:
            rows.append(("layers (stacker passes)", self.passes, ""))
        capacity = self.capacity
        if capacity is not None:
            rows += [
                ("angle of repose", capacity.angle_deg, "°"),
                ("capacity", capacity.volume_m3, "m³"),
                ("ridge height at capacity", capacity.height_m, "m"),
                ("feed / capacity", self.series.total_volume_m3 / capacity.volume_m3, ""),
            ]
            if density is not None:
                fill_h = capacity.fill_time_h(feed_rate_t_per_h(self.series, density), density)
                rows += [("capacity", capacity.mass_t(density), "t"), ("fill time at the feed rate", fill_h, "h")]
        edges = self.edge_volume
        rows += [
            ("volume against the long edges", edges.long_edges_m3, "m³"),
            ("volume against the ends", edges.ends_m3, "m³"),
        ]
        rows += figure_rows(self.homogenisation())
        if self.reclaimer is not None and density is not None:
            rows += [
                ("reclaim rate", self.reclaimer.rate_t_per_h, "t/h"),
                ("reclaim time", self.output.duration_h, "h"),
            ]
        rows += kiln_rows(self, reclaimed=self.reclaimer is not None and density is not None)
        regions = self.regions().set_index("region")
        # The whole bed's figures follow, as "std out".
        for region in regions.index.drop("whole bed"):
            for name in self.reclaimed.names:
                rows.append((f"{name} std out, {region} (per slice)", regions.loc[region, f"{name} std"], ""))
        return pd.DataFrame(rows, columns=["figure", "value", "unit"])

    def _quiet_figures(self) -> tuple[tuple[QualityFigures, ...], str | None]:
        """The figures for a notebook's view, without the warnings a call would give; or why there are none."""
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                return self.homogenisation(), None
            except ValueError as error:
                return (), str(error)

    def __repr__(self) -> str:
        figures, why = self._quiet_figures()
        return (
            f"Study({self.describe()};\n  {len(self.series)} deliveries, {len(self.chunks)} chunks, "
            f"{len(self.reclaimed)} slices; {headline(figures) if figures else why};\n  seed {self.seed})"
        )

    def _band_rows(self) -> list[tuple[str, str]]:
        """How the hourly composites keep each target band, and the plant's clock, for a notebook's view."""
        rows = []
        for name, streams in self.band_figures(1.0).items():
            said = [
                f"{where}: {100 * kept.inside_composites:.0f} % of hourly composites inside "
                f"({100 * kept.inside_tonnes:.0f} % of tonnes), hourly std {kept.std:.3g}"
                for where, kept in zip(("before the bed", "after the bed"), streams, strict=True)
                if kept is not None
            ]
            rows.append((f"target {name} {streams[0].band.describe()}", "; ".join(said)))
        clock = self.feed_clock
        if clock is not None:
            start = clock.later(self.series.time_s[0] / 3600 + self.reclaim_begins_h).start
            shifts = ", ".join(f"{int(hour):02d}:{round(hour % 1 * 60):02d}" for hour in clock.shift_starts_h)
            rows.append(("clock", f"reclaim from {start:%Y-%m-%d %H:%M}; composites on the hour, shifts at {shifts}"))
        return rows

    def _repr_html_(self) -> str:
        figures, why = self._quiet_figures()
        flow = self.series.flow
        density = self.bulk_density_t_per_m3
        tonnes = "" if density is None else f" ({self.series.total_volume_m3 * density:,.1f} t)"
        return figures_html(
            "Study",
            [
                ("setup", self.describe()),
                ("input", f"{len(self.series)} deliveries, {self.series.total_volume_m3:,.1f} m³{tonnes}"),
                ("feed", flow.describe()),
                ("chunks", f"{len(self.chunks)}"),
                *self.reclaimed.summary(),
                *self._band_rows(),
                *([("figures", why)] if why else []),
                ("made by", self.stamp),
            ],
            figures,
        )

    def output_time_h(self, reclaim_rate_m3_per_h: float | None = None) -> FloatArray | None:
        """The middle of each slice's reclaim in hours: at reclaim_rate_m3_per_h when given, else as the
        study's reclaimer takes it (see `output`); None without either."""
        if reclaim_rate_m3_per_h is not None:
            return reclaim_hours(self.reclaimed, reclaim_rate_m3_per_h)
        if self.reclaimer is None or self.bulk_density_t_per_m3 is None:
            return None
        frame = self.output.frame
        return ((frame["start_h"] + frame["end_h"]) / 2).to_numpy()


def simulate(
    series: QualitySeries | pd.DataFrame | ArrayLike | ChunkTable,
    plan: StackingPlan | None = None,
    bed: Bed | None = None,
    *,
    progress: bool = True,
    seed: int | None = None,
    bulk_density_t_per_m3: float | None = None,
    reclaimer: Reclaimer | None = None,
    on_excess: OnExcess = "warn",
    derived: Mapping[str, Derivation] | None = None,
    record_particles: bool = False,
    check_resolution: bool = False,
    targets: Iterable[str | TargetBand] | Mapping[str, tuple[float, float]] | None = None,
    reclaim_start_h: float | None = None,
    shift_starts_h: Iterable[float] = SHIFT_STARTS_H,
) -> Study:
    """Stack a series onto a bed by a plan, reclaim it and read its heights.

    A ChunkTable is stacked as it is (give no plan); anything else is a quality
    series that the plan (Chevron by default) turns into chunks. seed: the
    engine's random numbers; without one a seed is drawn, and the study keeps it.
    bulk_density_t_per_m3, reclaimer, derived: see Study. on_excess: what to do
    when the feed is more than the bed holds at the engine's angle of repose
    (fast engine): "warn" (OverCapacityWarning), "error" (ValueError, before
    anything is stacked) or "ignore". check_resolution: run the study again
    at half the cell edge (fast engine; eight times the particles and the
    time) and warn (ResolutionWarning) when any fair VRR moved by more than
    10 %. One pair of runs differs by chance too (runs with different seeds
    differ by about 10 %), so a warning says "measure with several seeds",
    not "wrong". Without the check, a fast-engine study whose layers are
    thinner than half a cell warns (ResolutionWarning): its grid does not
    resolve them, and the fair VRR may read high.
    record_particles: keep where every particle came to rest (Study.particles),
    for cross-sections and the 3-D view; it costs about 30 bytes a particle. On
    the layered engine, keep its layers instead (Study.layers), 48 bytes a
    segment and 8 more a quality value.
    targets: bands a quality or derived value is held in, as texts
    ("LSF=96+-2"), TargetBands or {"LSF": (96, 2)}; see Study.band_figures.
    reclaim_start_h, shift_starts_h: when the reclaim starts and the plant's shifts; see Study.
    """
    bed = Bed() if bed is None else bed
    if is_ring_plan(plan, bed):
        raise ValueError(f"{plan.label} on a circular bed runs continuously: use simulate_ring")
    if check_resolution and bed.engine != "fast":
        raise ValueError(
            "check_resolution is for the fast engine: the detailed engine's particle count bounds its resolution, "
            "and the layered engine's rule is converged (docs/layered-engine.md)"
        )
    seed = validation.draw_seed() if seed is None else validation.seed(seed)
    if bulk_density_t_per_m3 is not None:
        bulk_density_t_per_m3 = check_bulk_density(bulk_density_t_per_m3)
    if isinstance(series, ChunkTable):
        if plan is not None:
            raise ValueError("a chunk table already says where each chunk goes; give no plan")
        chunks = series
        quality = chunks.to_series()
    else:
        plan = Chevron() if plan is None else plan
        quality = as_series(series)
        chunks = plan.chunks(quality, bed)
    bands = target_bands(targets)
    check_targets(bands, quality, derived)
    shifts = shift_starts(shift_starts_h)
    if reclaim_start_h is not None:
        reclaim_start_h = validation.within("reclaim_start_h", reclaim_start_h, 0.0, validation.MAX_SPAN_H, "h")
    if bed.engine != "detailed" and on_excess != "ignore":
        tail = None if plan is None else plan.blending_tail_for(bed)
        check_capacity(
            chunks.total_volume_m3,
            bed_capacity(bed, blending_tail_m=tail),
            bed,
            on_excess=on_excess,
            bulk_density_t_per_m3=bulk_density_t_per_m3,
            stacklevel=3,
        )
    pile = Stockpile(bed, seed=seed, record_particles=record_particles)
    pile.stack(chunks, progress=progress)
    # Particles and layers are read before the reclaim takes them off the pile.
    layered = bed.engine == "layered"
    particles = pile.particles() if record_particles and not layered else None
    layers = pile.layers() if record_particles and layered else None
    study = Study(
        bed,
        plan,
        quality,
        chunks,
        pile.reclaim(),
        pile.heights(),
        seed,
        bulk_density_t_per_m3,
        reclaimer,
        derived,
        particles,
        bands,
        layers,
        reclaim_start_h,
        shifts,
    )
    if check_resolution:
        _check_resolution(study, series if plan is None else quality, progress=progress)
    else:
        _check_layers(study)
    return study


def feed_composites(
    series: QualitySeries,
    bulk_density_t_per_m3: float | None,
    interval_h: float,
    derived: Mapping[str, Derivation] | None,
    clock: Clock | None = None,
) -> pd.DataFrame:
    """The feed's averages over intervals of interval_h, with the derived values: on the plant's hours and
    shifts with a clock, else from its first delivery; see Study.feed_composites."""
    start_h = series.time_s / 3600
    density = bulk_density_t_per_m3
    amount = series.volume_m3 if density is None else series.volume_m3 * density
    frame = time_composites(
        start_h,
        start_h + series.flow.durations_s / 3600,
        amount,
        series.values,
        series.names,
        interval_h,
        clock=clock,
    )
    if density is None:
        frame = frame.rename(columns={"mass_t": "volume_m3"})
    return add_derived(frame, derived)


def band_figure_pairs(
    bands: tuple[TargetBand, ...], feed: pd.DataFrame, output: pd.DataFrame | None, weight: str
) -> dict[str, tuple[BandFigures, BandFigures | None]]:
    """For each band by its value's name, how the feed's composites (weighted by `weight`) and the
    output's (by mass; None without an output) keep it: see Study.band_figures."""
    return {
        band.name: (
            band_figures(band, feed[band.name], feed[weight]),
            None if output is None else band_figures(band, output[band.name], output["mass_t"]),
        )
        for band in bands
    }


def band_shares(
    bands: tuple[TargetBand, ...], feed: pd.DataFrame | None, output: pd.DataFrame | None, weight: str
) -> pd.DataFrame:
    """For each band, the share of the feed's and the output's composites (weighted by `weight` and by
    mass) inside it; NaN where there is none: see Study.target_shares."""
    import pandas as pd

    rows = []
    for band in bands:
        before = band.share_inside(feed[band.name], feed[weight]) if feed is not None else math.nan
        after = band.share_inside(output[band.name], output["mass_t"]) if output is not None else math.nan
        rows.append({"value": band.name, "band": band.describe(), "before": before, "after": after})
    return pd.DataFrame(rows, columns=["value", "band", "before", "after"])


def figure_rows(figures: Iterable[QualityFigures]) -> list[tuple[str, Any, str]]:
    """The summary's rows of the homogenisation figures of each value."""
    rows: list[tuple[str, Any, str]] = []
    # The fair figure first; the per-delivery one only beside it, for older reports.
    for figure in figures:
        rows.append((f"{figure.name} VRR, portions of equal volume", figure.vrr, ""))
        if figure.predicted_vrr is not None:
            rows.append((f"{figure.name} VRR predicted by ideal layering", figure.predicted_vrr, ""))
        rows += [
            (f"{figure.name} VRR per delivery", figure.per_delivery_vrr, ""),
            (f"{figure.name} std in, feed portions of the slices' volumes", figure.std_in, ""),
            (f"{figure.name} std out, per slice", figure.std_out, ""),
            (f"{figure.name} std in, per delivery", figure.std_in_per_delivery, ""),
        ]
    return rows


def kiln_rows(source: Any, *, reclaimed: bool) -> list[tuple[str, Any, str]]:
    """The summary's rows of what the kiln sees, of a Study or two beds (anything with composite_std,
    feed_composite_std and band_figures): the std of the hourly and per-shift composites after the bed
    and of the feed's averages before it (when the output is a stream in time, `reclaimed`), and the
    shares of hourly composites and of tonnes inside each target band."""
    rows: list[tuple[str, Any, str]] = []
    if reclaimed:
        for label, interval in (("hourly", 1.0), ("per shift", SHIFT_H)):
            before = source.feed_composite_std(interval)
            for name, std in source.composite_std(interval).items():
                rows.append((f"{name} std of {label} composites", std, ""))
                rows.append((f"{name} std of {label} averages of the feed", before[name], ""))
    for name, streams in source.band_figures().items():
        for where, figures in zip(("before the bed", "after the bed"), streams, strict=True):
            if figures is None:
                continue
            inside = f"inside {figures.band.describe()}, {where}"
            rows += [
                (f"{name} share of hourly composites {inside}", 100 * figures.inside_composites, "%"),
                (f"{name} share of tonnes {inside}", 100 * figures.inside_tonnes, "%"),
            ]
    return rows


def column_std(frame: pd.DataFrame, weight: str, names: tuple[str, ...]) -> dict[str, float]:
    """The weighted std of each named column of a table of composites (NaN where a value is missing)."""
    stds = {}
    weights = frame[weight].to_numpy()
    for name in names:
        values = frame[name].to_numpy(dtype=np.float64)
        keep = np.isfinite(values)
        stds[name] = weighted_mean_std(values[keep], weights[keep])[1] if keep.any() else math.nan
    return stds


def check_targets(
    targets: tuple[TargetBand, ...], series: QualitySeries, derived: Mapping[str, Derivation] | None
) -> None:
    """Refuse bands of values the series neither holds nor derives."""
    known = (*series.names, *derived_columns(series.names, series.values[:1], derived)[0])
    unknown = [band.name for band in targets if band.name not in known]
    if unknown:
        raise ValueError(f"targets: no value {unknown} among the quality and derived values {list(known)}")


def _check_layers(study: Study) -> None:
    """Warn when the fast engine's cell is too coarse for the layers the plan lays."""
    passes = study.passes
    if not passes:
        return
    said = layer_resolution(study.bed, passes, float(study.heights.heights_m.max()), study.chunks.total_volume_m3)
    if said:
        warnings.warn(ResolutionWarning(said), stacklevel=3)


def layer_resolution(bed: Bed, passes: float, height_m: float, volume_m3: float) -> str | None:
    """What to say when the fast engine's cell is too coarse for passes layers in a pile height_m high:
    the resolution that would resolve them, or the finest the engine takes for volume_m3 when that is
    coarser (never advice the engine refuses). None when the cell resolves the layers."""
    if bed.engine != "fast" or passes <= 1:
        return None
    thickness_m = height_m / passes
    # Less than a particle's worth of feed stands on no column: there are no layers to resolve.
    if thickness_m == 0 or bed.cell_size_m <= MAX_CELL_PER_LAYER * thickness_m:
        return None
    wanted = (SETTLED_CELL_PER_LAYER * thickness_m) ** -3
    said = (
        f"{passes:.4g} layers lie about {thickness_m:.2g} m thick, less than 1/{MAX_CELL_PER_LAYER:g} of the "
        f"{bed.cell_size_m:.3g} m cell: the grid does not resolve them, and the fair VRR may read high; "
    )
    limit = validation.MAX_PARTICLES[bed.engine]
    reachable = limit / volume_m3 if volume_m3 > 0 else math.inf
    if wanted <= reachable:
        return said + (
            f"raise particles_per_m3 to about {wanted:.3g} (cells of {SETTLED_CELL_PER_LAYER:g} layers) and "
            "compare the means of a few seeds at both resolutions"
        )
    finest_cell_m = reachable ** (-1 / 3)
    return said + (
        f"cells of {SETTLED_CELL_PER_LAYER:g} layers would need {wanted:.3g} particles per m³, "
        f"{wanted * volume_m3:.3g} particles for {volume_m3:,.0f} m³, past the {limit:,} the engine takes; "
        f"the finest it reaches is about {reachable:.3g} per m³ (cells of {finest_cell_m:.2g} m, "
        f"{finest_cell_m / thickness_m:.2g} layers): use it and read the VRR as an upper bound, or stack "
        "fewer, thicker layers"
    )


def _check_resolution(study: Study, stacked: QualitySeries | ChunkTable, *, progress: bool) -> None:
    """Rerun the study at half the cell edge, same seed and slices, and warn if a fair VRR moved by over 10 %."""
    bed = study.bed
    finer = replace(bed, particles_per_m3=bed.resolution_per_m3 * CHECK_REFINEMENT)
    try:
        fine = simulate(stacked, study.plan, finer, progress=progress, seed=study.seed, on_excess="ignore")
    except ValueError as error:
        raise ValueError(f"check_resolution: the rerun at {finer.cell_size_m:.3g} m cells failed: {error}") from None
    coarse_vrr = {f.name: f.vrr for f in study.homogenisation()}
    moved = {
        f.name: (coarse_vrr[f.name], f.vrr)
        for f in fine.homogenisation()
        if abs(f.vrr - coarse_vrr[f.name]) > CHECK_TOLERANCE * coarse_vrr[f.name]
    }
    if moved:
        changes = ", ".join(f"{name} {a:.4g} -> {b:.4g}" for name, (a, b) in moved.items())
        warnings.warn(
            ResolutionWarning(
                f"halving the cell from {bed.cell_size_m:.3g} m to {finer.cell_size_m:.3g} m moved the fair VRR "
                f"by more than {CHECK_TOLERANCE:.0%}: {changes}; raise particles_per_m3, or compare the means "
                "of several seeds at both resolutions"
            ),
            stacklevel=3,
        )


# Circular beds run as plants run them: stacking and reclaiming at once, round and round. The stacker lays
# material on an advancing ramp while the reclaimer, some way behind, cuts the full-height face, and the
# output is a steady stream. A ring plan's schedule (plans.py) is stacked and reclaimed interleaved by the
# fast engine (RingPile in stockpile.py); a RingStudy holds the output over time with its figures.

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
    bulk_density_t_per_m3: with it, masses and rates are also given in tonnes.
    derived: values derived from averaged quality values; by default the cement moduli.
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
    bulk_density_t_per_m3: float | None = None
    derived: Mapping[str, Derivation] | None = None

    STARTUP: ClassVar[str] = "start-up"
    STEADY: ClassVar[str] = "steady"
    RUNOUT: ClassVar[str] = "run-out"

    @property
    def stamp(self) -> str:
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

    def composites(self, interval_h: float = 1.0, *, shift_starts_h: Iterable[float] = SHIFT_STARTS_H) -> pd.DataFrame:
        """The laboratory's composites of the ring's output over interval_h, with the derived values: on the
        plant's hours and shifts when the feed's times are dates (see korvex.composites), else from the
        feed's time 0. A slice flows onto the belt at the reclaimer's rate until the time it was finished,
        never before the slice before it. Columns as Study.composites (volume_m3 in place of mass_t
        without a bulk density); start_h and end_h on the feed's clock."""
        out = self.output
        end_h = out.time_s / 3600
        previous_h = np.concatenate([[-np.inf], end_h[:-1]])
        start_h = np.maximum(end_h - out.volume_m3 / self.reclaim_rate_m3_per_h, previous_h)
        density = self.bulk_density_t_per_m3
        amount = out.volume_m3 if density is None else out.volume_m3 * density
        origin = self.series.date_origin
        clock = None if origin is None else Clock(origin, shift_starts(shift_starts_h))
        frame = time_composites(
            start_h,
            end_h,
            amount,
            out.values,
            out.names,
            interval_h,
            origin_h=None if clock is not None else 0.0,
            clock=clock,
        )
        if density is None:
            frame = frame.rename(columns={"mass_t": "volume_m3"})
        return add_derived(frame, self.derived)

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
            raise SettingsError(f"the {phase} output is empty: run the ring longer")
        window = self._feed_window(part)
        qualities = fair_figures(
            self.series.names,
            self.series.volume_m3[window],
            self.series.values[window],
            part.volume_m3,
            part.values,
            self.portion_size_m3,
            layers=self.passes,
            derived=self.derived,
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
        try:
            figures = headline(self.homogenisation())
        except ValueError as error:
            figures = f"no steady-state figures: {error}"
        return (
            f"RingStudy({self.describe()};\n  {len(self.output)} slices, steady state {figures};\n"
            f"  seed {self.seed})"
        )

    def _repr_html_(self) -> str:
        rows = [("setup", self.describe()), ("feed", f"{self.series.total_volume_m3:,.1f} m³")]
        if self.bulk_density_t_per_m3 is not None:
            rows.append(("reclaim rate", f"{self.reclaim_rate_m3_per_h * self.bulk_density_t_per_m3:,.0f} t/h"))
        rows += [("reclaim rate", f"{self.reclaim_rate_m3_per_h:,.0f} m³/h"), ("made by", self.stamp)]
        try:
            figures = self.homogenisation()
        except ValueError as error:
            rows.append(("steady state", str(error)))
            figures = ()
        return figures_html("Ring study (steady state)", rows, figures)


def simulate_ring(
    series: QualitySeries | pd.DataFrame | ArrayLike,
    plan: Chevcon | ConeShell,
    bed: Bed,
    *,
    seed: int | None = None,
    portion_m3: float | None = None,
    bulk_density_t_per_m3: float | None = None,
    reclaimer: Reclaimer | None = None,
    derived: Mapping[str, Derivation] | None = None,
) -> RingStudy:
    """Run a series continuously round a circular bed by a ring plan (Chevcon, or ConeShell).

    The reclaimer's first turn is the start-up; from then until the feed ends the
    ring is in steady state; what is left is reclaimed afterwards (the run-out).
    bulk_density_t_per_m3: report tonnes too (a series read from tonnes needs it
    anyway). reclaimer: the reclaimer's rate (t/h, with the bulk density); it
    follows the stacker at the feed's own rate while the feed runs, so it must
    take at least that, and it takes the run-out at its full rate. Like a
    straight bed, a ring whose layers are thinner than half the engine's cell
    warns (ResolutionWarning).
    """
    series = as_series(series)
    if not is_ring_plan(plan, bed):
        raise SettingsError("run a ring with Chevcon, or ConeShell on a circular bed")
    if portion_m3 is not None:
        validation.positive("portion_m3", portion_m3, "m³")
    if bulk_density_t_per_m3 is not None:
        bulk_density_t_per_m3 = check_bulk_density(bulk_density_t_per_m3)
    schedule = plan.schedule(series, bed)
    drain_m_per_s = schedule.advance_m_per_s
    if reclaimer is not None:
        if bulk_density_t_per_m3 is None:
            raise ValueError("a reclaimer's rate is in tonnes: give bulk_density_t_per_m3 too")
        following_t_per_h = t_per_h_from_m3_per_s(
            schedule.advance_m_per_s * schedule.cross_section_m2, bulk_density_t_per_m3
        )
        if reclaimer.rate_t_per_h < following_t_per_h * (1 - 1e-9):
            raise ValueError(
                f"rate_t_per_h = {reclaimer.rate_t_per_h:g} t/h: the ring's reclaimer follows the stacker at the "
                f"feed's rate of {following_t_per_h:,.0f} t/h and cannot take less"
            )
        drain_m_per_s = m3_per_s_from_t_per_h(reclaimer.rate_t_per_h, bulk_density_t_per_m3) / schedule.cross_section_m2
    seed = validation.draw_seed() if seed is None else validation.seed(seed)
    said = layer_resolution(bed, schedule.layers or 0.0, schedule.pile_height_m, schedule.chunks.total_volume_m3)
    if said:
        warnings.warn(ResolutionWarning(said), stacklevel=2)
    pile = RingPile(bed, seed=seed)
    running = pile.run(schedule)
    heights = pile.heights()
    drained = pile.drain(drain_m_per_s)
    output = RingOutput.joined(running, drained)
    first_turn = schedule.reclaimer_position_m[0] + bed.centre_line_m
    phase = np.where(running.position_m <= first_turn + 1e-9, RingStudy.STARTUP, RingStudy.STEADY)
    phase = np.concatenate([phase, np.full(len(drained), RingStudy.RUNOUT)])
    stacked = np.concatenate([[0.0], np.cumsum(schedule.chunks.volume)])
    chunk_times = np.concatenate([[schedule.chunks.timestamp[0]], schedule.chunks.timestamp])
    stock = np.interp(output.time_s, chunk_times, stacked) - np.cumsum(output.volume_m3)
    return RingStudy(
        bed, plan, series, schedule, output, phase, heights, seed, stock, portion_m3, bulk_density_t_per_m3, derived
    )
