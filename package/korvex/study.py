"""A study: a series stacked onto a bed by a plan, reclaimed, and everything a report needs."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING

from . import validation
from ._version import __version__
from .bed import Bed
from .chunks import ChunkTable
from .metrics import QualityFigures, homogenisation
from .plans import Chevron, StackingPlan
from .results import HeightMap, Particles, Reclaimed
from .series import QualitySeries, as_series
from .stockpile import Stockpile
from .display import html_table

if TYPE_CHECKING:
    import pandas as pd
    import plotly.graph_objects as go
    from matplotlib.figure import Figure
    from numpy.typing import ArrayLike

    from .validation import FloatArray


def stamp(engine: str, seed: int) -> str:
    """What made a result, for every file written: the package's version, the engine and the seed."""
    return f"korvex {__version__}, engine {engine}, seed {seed}"


@dataclass(frozen=True, repr=False)
class Study:
    """A series stacked onto a bed by a plan and reclaimed: everything a report needs.

    seed: the engine's seed, given or drawn; simulate(..., seed=study.seed) repeats the study.
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
    particles: Particles | None = None

    @property
    def passes(self) -> float | None:
        return None if self.plan is None else self.plan.passes(self.series, self.bed)

    @property
    def stamp(self) -> str:
        return stamp(self.bed.engine, self.seed)

    def homogenisation(self) -> tuple[QualityFigures, ...]:
        """Mean and std in and out, VRR, E and efficiency for each quality value."""
        return homogenisation(self.series, self.reclaimed, layers=self.passes)

    def describe(self) -> str:
        plan = "chunks as given" if self.plan is None else self.plan.describe(self.series, self.bed)
        return f"{plan}; {self.bed.describe()}"

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

    def output_time_h(self, reclaim_rate_m3_per_h: float | None) -> FloatArray | None:
        """When each slice was reclaimed, in hours, at reclaim_rate_m3_per_h (None without a rate)."""
        from .plots import reclaim_hours

        return None if reclaim_rate_m3_per_h is None else reclaim_hours(self.reclaimed, reclaim_rate_m3_per_h)

    def figure(self, *, reclaim_rate_m3_per_h: float | None = None) -> Figure:
        """Heights, qualities in and out with their VRR and E; the output in time given a reclaim rate."""
        from .plots import study_figure

        return study_figure(self, output_time_h=self.output_time_h(reclaim_rate_m3_per_h))

    def save_plots(self, prefix: str | Path) -> tuple[Path, Path]:
        """Write PREFIX-heights.png and PREFIX-qualities.png, each with the study's stamp; return their paths."""
        from .plots import heights_figure, qualities_figure, save_figure

        prefix = Path(prefix)
        heights = save_figure(
            heights_figure(self.heights, footer=self.stamp), prefix.with_name(f"{prefix.name}-heights.png")
        )
        qualities = save_figure(
            qualities_figure(self.series, self.reclaimed, figures=self.homogenisation(), footer=self.stamp),
            prefix.with_name(f"{prefix.name}-qualities.png"),
        )
        return heights, qualities

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

        reclaim_rate_m3_per_h: show the output in time; colour: the quality value
        the cross-sections show beside stacking time (the first by default).
        Cross-sections and particles need simulate(..., record_particles=True).
        """
        from .report import ReportOptions, study_report

        options = ReportOptions(output_time_h=self.output_time_h(reclaim_rate_m3_per_h), colour=colour)
        return study_report(self, path, options)

    def save_reclaimed(self, path: str | Path) -> Path:
        """Write the reclaimed slices as CSV, below comment lines (#) with the stamp and the setup; return the path."""
        path = Path(path)
        path.parent.mkdir(parents=True, exist_ok=True)
        with path.open("w", encoding="utf-8", newline="") as file:
            file.write(f"# {self.stamp}\n# {self.describe()}\n")
            self.reclaimed.to_frame().to_csv(file, index=False)
        return path


def simulate(
    series: QualitySeries | pd.DataFrame | ArrayLike | ChunkTable,
    plan: StackingPlan | None = None,
    bed: Bed | None = None,
    *,
    progress: bool = True,
    seed: int | None = None,
    record_particles: bool = False,
) -> Study:
    """Stack a series onto a bed by a plan, reclaim it and read its heights.

    A ChunkTable is stacked as it is (give no plan); anything else is a quality
    series that the plan (Chevron by default) turns into chunks. seed: the
    engine's random numbers; without one a seed is drawn, and the study keeps it.
    record_particles: keep where every particle came to rest (Study.particles),
    for cross-sections and the 3-D view; it costs about 30 bytes a particle.
    """
    bed = Bed() if bed is None else bed
    seed = validation.draw_seed() if seed is None else validation.seed(seed)
    if isinstance(series, ChunkTable):
        if plan is not None:
            raise ValueError("a chunk table already says where each chunk goes; give no plan")
        chunks = series
        quality = chunks.to_series()
    else:
        plan = Chevron() if plan is None else plan
        quality = as_series(series)
        chunks = plan.chunks(quality, bed)
    pile = Stockpile(bed, seed=seed, record_particles=record_particles)
    pile.stack(chunks, progress=progress)
    # Particles are read before the reclaim takes them off the pile.
    particles = pile.particles() if record_particles else None
    return Study(bed, plan, quality, chunks, pile.reclaim(), pile.heights(), seed, particles)
