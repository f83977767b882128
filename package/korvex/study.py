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
from .results import HeightMap, Reclaimed
from .ring import is_ring_plan
from .series import QualitySeries, as_series
from .stockpile import Stockpile
from .display import html_table

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.figure import Figure
    from numpy.typing import ArrayLike


def stamp(engine: str, seed: int) -> str:
    """What made a result, for every file written: the package's version, the engine and the seed."""
    return f"korvex {__version__}, engine {engine}, seed {seed}"


@dataclass(frozen=True, repr=False)
class Study:
    """A series stacked onto a bed by a plan and reclaimed: everything a report needs.

    seed: the engine's seed, given or drawn; simulate(..., seed=study.seed) repeats the study.
    """

    bed: Bed
    plan: StackingPlan | None
    series: QualitySeries
    chunks: ChunkTable
    reclaimed: Reclaimed
    heights: HeightMap
    seed: int

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

    def figure(self) -> Figure:
        from .plots import study_figure

        return study_figure(self)

    def save_plots(self, prefix: str | Path) -> tuple[Path, Path]:
        """Write PREFIX-heights.png and PREFIX-qualities.png, each with the study's stamp; return their paths."""
        from .plots import heights_figure, qualities_figure, save_figure

        prefix = Path(prefix)
        heights = save_figure(
            heights_figure(self.heights, footer=self.stamp), prefix.with_name(f"{prefix.name}-heights.png")
        )
        qualities = save_figure(
            qualities_figure(self.series, self.reclaimed, footer=self.stamp),
            prefix.with_name(f"{prefix.name}-qualities.png"),
        )
        return heights, qualities

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
) -> Study:
    """Stack a series onto a bed by a plan, reclaim it and read its heights.

    A ChunkTable is stacked as it is (give no plan); anything else is a quality
    series that the plan (Chevron by default) turns into chunks. seed: the
    engine's random numbers; without one a seed is drawn, and the study keeps it.
    """
    bed = Bed() if bed is None else bed
    if is_ring_plan(plan, bed):
        raise ValueError(f"{plan.label} on a circular bed runs continuously: use simulate_ring")
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
    pile = Stockpile(bed, seed=seed)
    pile.stack(chunks, progress=progress)
    return Study(bed, plan, quality, chunks, pile.reclaim(), pile.heights(), seed)
