"""A study: a series stacked onto a bed by a plan, reclaimed, and everything a report needs."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, replace
from functools import cached_property
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from . import validation
from ._version import __version__
from .bed import Bed
from .capacity import Capacity, EdgeVolume, OnExcess, bed_capacity, check_capacity, edge_volume, engine_angle_deg
from .capacity import measured_angle_deg as _measured_angle_deg
from .chunks import ChunkTable
from .derived import Derivation, add_derived
from .equipment import SHIFT_H, OutputSeries, Reclaimer, feed_rate_t_per_h, region_figures, slice_regions
from .metrics import QualityFigures, homogenisation
from .plans import Chevron, StackingPlan
from .results import HeightMap, Particles, Reclaimed
from .ring import is_ring_plan
from .series import QualitySeries, as_series
from .stockpile import Stockpile
from .display import html_table
from .theory import Layering, Variogram, predicted_vrr, variogram_by_time, variogram_by_volume
from .units import check_bulk_density

if TYPE_CHECKING:
    import pandas as pd
    import plotly.graph_objects as go
    from matplotlib.figure import Figure
    from numpy.typing import ArrayLike

    from .validation import FloatArray


# The check of the resolution reruns a study at half the cell edge: eight times the particles.
CHECK_REFINEMENT = 8.0
# A fair VRR that moves by more than this share when the cell is halved has not settled.
CHECK_TOLERANCE = 0.10
# The fast engine's cell edge may be at most this many times the layers' mean thickness: halving the
# cell moves the demo's fair VRR by 4 % at 1.5 layer thicknesses a cell (100 layers), by 7 to 13 % at 2.2
# and by 14 to 30 % at 4.3 (282 passes), by 16 % at 4.5 (300 layers) (README, "Resolution: the rule").
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
        figures = homogenisation(
            self.series,
            self.reclaimed,
            layers=self.passes,
            composite_m3=composite_m3,
            particle_volume_m3=self.bed.particle_volume_m3,
            engine=self.bed.engine,
        )
        portion = figures[0].portion_m3
        predicted = None if portion is None else self.predicted_vrr(portion)
        if predicted is None:
            return figures
        return tuple(replace(f, predicted_vrr=predicted[f.name]) for f in figures)

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
        pile for the detailed one (None if it is no ridge)."""
        if self.bed.engine == "fast":
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
        return self.reclaimer.output(self.reclaimed, self._density("the output in time"))

    def composites(self, interval_h: float = 1.0) -> pd.DataFrame:
        """The laboratory's composites of the output over interval_h, with the derived values."""
        return add_derived(self.output.composites(interval_h), self.derived)

    def composite_std(self, interval_h: float = 1.0) -> dict[str, float]:
        """The mass-weighted std of each quality value over the composites of interval_h."""
        return self.output.composite_std(interval_h)

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
                ("feed rate", feed_rate_t_per_h(self.series, density), "t/h"),
            ]
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
        # The fair figure first; the per-delivery one only beside it, for older reports.
        for figure in self.homogenisation():
            rows.append((f"{figure.name} VRR, portions of equal volume", figure.vrr, ""))
            if figure.predicted_vrr is not None:
                rows.append((f"{figure.name} VRR predicted by ideal layering", figure.predicted_vrr, ""))
            rows += [
                (f"{figure.name} VRR per delivery", figure.per_delivery_vrr, ""),
                (f"{figure.name} std in, feed portions of the slices' volumes", figure.std_in, ""),
                (f"{figure.name} std out, per slice", figure.std_out, ""),
                (f"{figure.name} std in, per delivery", figure.std_in_per_delivery, ""),
            ]
        if self.reclaimer is not None and density is not None:
            rows += [
                ("reclaim rate", self.reclaimer.rate_t_per_h, "t/h"),
                ("reclaim time", self.output.duration_h, "h"),
            ]
            for label, interval in (("hourly", 1.0), ("per shift", SHIFT_H)):
                for name, std in self.composite_std(interval).items():
                    rows.append((f"{name} std of {label} composites", std, ""))
        regions = self.regions().set_index("region")
        # The whole bed's figures follow, as "std out".
        for region in regions.index.drop("whole bed"):
            for name in self.reclaimed.names:
                rows.append((f"{name} std out, {region} (per slice)", regions.loc[region, f"{name} std"], ""))
        return pd.DataFrame(rows, columns=["figure", "value", "unit"])

    def save_workbook(self, path: str | Path, *, intervals_h: tuple[float, ...] = (1.0, SHIFT_H)) -> Path:
        """An Excel workbook: the setup and stamp, the summary, the slices, the regions and, with a reclaim
        rate, the output series and its composites over each interval, each on its own sheet."""
        from .tables import write_workbook

        import pandas as pd

        run = pd.DataFrame({"item": ["setup", "made by"], "text": [self.describe(), self.stamp]})
        sheets = {"run": run, "summary": self.summary(), "slices": self.slices(), "regions": self.regions()}
        if self.reclaimer is not None and self.bulk_density_t_per_m3 is not None:
            sheets["output"] = add_derived(self.output.frame, self.derived)
            for interval in intervals_h:
                sheets[f"composites {interval:g} h"] = self.composites(interval)
        return write_workbook(path, sheets)

    def __repr__(self) -> str:
        return (
            f"Study({self.describe()}; {len(self.series)} deliveries, {len(self.chunks)} chunks, "
            f"{len(self.reclaimed)} slices; seed {self.seed})"
        )

    def _repr_html_(self) -> str:
        return html_table(
            "Study",
            [
                ("setup", self.describe()),
                ("input", f"{len(self.series)} deliveries, {self.series.total_volume_m3:,.1f} m³"),
                ("chunks", f"{len(self.chunks)}"),
                *self.reclaimed.summary(),
                ("made by", self.stamp),
            ],
        )

    def output_time_h(self, reclaim_rate_m3_per_h: float | None = None) -> FloatArray | None:
        """The middle of each slice's reclaim in hours: at reclaim_rate_m3_per_h when given, else as the
        study's reclaimer takes it (see `output`); None without either."""
        from .plots import reclaim_hours

        if reclaim_rate_m3_per_h is not None:
            return reclaim_hours(self.reclaimed, reclaim_rate_m3_per_h)
        if self.reclaimer is None or self.bulk_density_t_per_m3 is None:
            return None
        frame = self.output.frame
        return ((frame["start_h"] + frame["end_h"]) / 2).to_numpy()

    def figure(self, *, reclaim_rate_m3_per_h: float | None = None) -> Figure:
        """Heights, qualities in and out with their VRR and E; the output in time given a reclaim rate."""
        from .plots import study_figure

        return study_figure(self, output_time_h=self.output_time_h(reclaim_rate_m3_per_h))

    def save_plots(self, prefix: str | Path) -> tuple[Path, Path, Path]:
        """Write PREFIX-heights.png, PREFIX-qualities.png and PREFIX-variogram.png, each with the study's stamp.

        Returns their paths.
        """
        from .plots import heights_figure, qualities_figure, save_figure

        prefix = Path(prefix)
        heights = save_figure(
            heights_figure(self.heights, footer=self.stamp), prefix.with_name(f"{prefix.name}-heights.png")
        )
        qualities = save_figure(
            qualities_figure(self.series, self.reclaimed, figures=self.homogenisation(), footer=self.stamp),
            prefix.with_name(f"{prefix.name}-qualities.png"),
        )
        variogram = save_figure(self.variogram_figure(), prefix.with_name(f"{prefix.name}-variogram.png"))
        return heights, qualities, variogram

    def variogram_figure(self) -> Figure:
        """The feed's variogram by volume (and time), with a slice's and a layer's volume marked."""
        from .plots import variogram_figure

        marks = {"a slice": float(np.median(self.reclaimed.volume_m3[self.reclaimed.volume_m3 > 0]))}
        if self.passes:
            marks["a layer"] = self.series.total_volume_m3 / self.passes
        return variogram_figure(*self.variograms(), marks_m3=marks, footer=self.stamp)

    def save_output_plot(self, path: str | Path, interval_h: float = 1.0) -> Path:
        """Write the output against time (with its composites over interval_h) and against position as PNG."""
        from .plots import output_figure, save_figure

        return save_figure(output_figure(self.output, self.composites(interval_h), footer=self.stamp), path)

    def _particles(self) -> Particles:
        if self.particles is None:
            raise ValueError("this study kept no particles: simulate(..., record_particles=True)")
        return self.particles

    def particle_hours(self) -> FloatArray:
        """When each recorded particle was stacked, in hours from the first chunk."""
        from .views import stacking_hours

        return stacking_hours(self._particles(), self.chunks, self.bed.particle_volume_m3)

    def cross_section(self, *, x_m: float | None = None, z_m: float | None = None, colour: str = "time") -> Figure:
        """A vertical section across the bed at x_m or along it at z_m, coloured by stacking time or a quality value."""
        from .views import cut_section, section_figure

        section = cut_section(
            self._particles(), self.bed, x_m=x_m, z_m=z_m, colour=colour, time_h=self.particle_hours()
        )
        return section_figure(section, footer=self.stamp)

    def view_3d(self, *, colour: str = "time", max_particles: int | None = None) -> go.Figure:
        """The pile in 3-D (plotly): its surface, its particles when recorded, the reclaim face on a slider.

        Save it with korvex.views.save_view(figure, path).
        """
        from .views import view_3d

        return view_3d(
            self.heights,
            bed=self.bed,
            particles=self.particles,
            reclaimed=self.reclaimed,
            colour=colour,
            time_h=None if self.particles is None else self.particle_hours(),
            max_particles=max_particles,
            title=self.describe(),
            seed=self.seed,
        )

    def report(
        self, path: str | Path, *, reclaim_rate_m3_per_h: float | None = None, colour: str | None = None
    ) -> Path:
        """Write one self-contained HTML page: settings, figures, plots, cross-sections and a 3-D view.

        reclaim_rate_m3_per_h: show the output in time at this rate (a study with a
        reclaimer shows it anyway); colour: the quality value
        the cross-sections show beside stacking time (the first by default).
        Cross-sections and particles need simulate(..., record_particles=True).
        """
        from .report import ReportOptions, study_report

        options = ReportOptions(
            output_time_h=self.output_time_h(reclaim_rate_m3_per_h),
            colour=colour,
            reclaim_rate_m3_per_h=reclaim_rate_m3_per_h,
        )
        return study_report(self, path, options)

    def save_reclaimed(self, path: str | Path) -> Path:
        """Write the reclaimed slices (see `slices`) as CSV, below comment lines (#) with the stamp and the
        setup; return the path."""
        return self._save_csv(self.slices(), path)

    def save_output(self, path: str | Path) -> Path:
        """Write the output series in time as CSV, below the stamp and the setup; return the path."""
        return self._save_csv(add_derived(self.output.frame, self.derived), path)

    def save_composites(self, path: str | Path, interval_h: float = 1.0) -> Path:
        """Write the composites over interval_h as CSV, below the stamp and the setup; return the path."""
        return self._save_csv(self.composites(interval_h), path)

    def _save_csv(self, frame: pd.DataFrame, path: str | Path) -> Path:
        path = Path(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        with path.open("w", encoding="utf-8", newline="") as file:
            file.write(f"# {self.stamp}\n# {self.describe()}\n")
            frame.to_csv(file, index=False)
        return path


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
    for cross-sections and the 3-D view; it costs about 30 bytes a particle.
    """
    bed = Bed() if bed is None else bed
    if is_ring_plan(plan, bed):
        raise ValueError(f"{plan.label} on a circular bed runs continuously: use simulate_ring")
    if check_resolution and bed.engine != "fast":
        raise ValueError(
            "check_resolution is for the fast engine: the detailed engine's particle count bounds its resolution"
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
    if bed.engine == "fast" and on_excess != "ignore":
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
    # Particles are read before the reclaim takes them off the pile.
    particles = pile.particles() if record_particles else None
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
    )
    if check_resolution:
        _check_resolution(study, series if plan is None else quality, progress=progress)
    else:
        _check_layers(study)
    return study


def _check_layers(study: Study) -> None:
    """Warn when the fast engine's cell is too coarse for the layers the plan lays."""
    import warnings

    bed, passes = study.bed, study.passes
    if bed.engine != "fast" or not passes or passes <= 1:
        return
    thickness_m = float(study.heights.heights_m.max()) / passes
    if bed.cell_size_m <= MAX_CELL_PER_LAYER * thickness_m:
        return
    warnings.warn(
        ResolutionWarning(
            f"{passes:.4g} layers lie about {thickness_m:.2g} m thick, less than 1/{MAX_CELL_PER_LAYER:g} of the "
            f"{bed.cell_size_m:.3g} m cell: the grid does not resolve them, and the fair VRR may read high; "
            f"raise particles_per_m3 to about {(SETTLED_CELL_PER_LAYER * thickness_m) ** -3:.3g} (cells of "
            f"{SETTLED_CELL_PER_LAYER:g} layers) and compare the means of a few seeds at both resolutions"
        ),
        stacklevel=3,
    )


def _check_resolution(study: Study, stacked: QualitySeries | ChunkTable, *, progress: bool) -> None:
    """Rerun the study at half the cell edge, same seed and slices, and warn if a fair VRR moved by over 10 %."""
    import warnings

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
