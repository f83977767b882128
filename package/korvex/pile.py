"""A stockpile on a bed: stack chunk tables, reclaim slices, read the heights."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Protocol, Self

import numpy as np
from numpy.typing import ArrayLike

from .bed import Bed
from .metrics import QualityFigures, homogenisation
from .plans import ChunkTable, StackingPlan
from .series import FloatArray, QualitySeries, as_series

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.figure import Figure

# Enough batches that a progress bar moves smoothly; each batch is one native call.
PROGRESS_BATCHES = 200
# A bar for a call that ends within this time would only flicker.
PROGRESS_DELAY_S = 1.0


@dataclass(frozen=True)
class Reclaimed:
    """The reclaimed slices in reclaim order.

    position_m: where the reclaimer stood after cutting each slice (along the
        bed, or along the centre line of a circular bed); a slice holds the
        material between the previous position and this one.
    volume_m3: volume of each slice.
    values: volume-weighted average of each quality value per slice; NaN for an
        empty slice.
    """

    position_m: FloatArray
    volume_m3: FloatArray
    values: FloatArray
    names: tuple[str, ...]

    def __len__(self) -> int:
        return int(self.position_m.size)

    @property
    def total_volume_m3(self) -> float:
        return float(self.volume_m3.sum())

    def column(self, name: str) -> FloatArray:
        return self.values[:, self.names.index(name)]

    def to_frame(self) -> pd.DataFrame:
        import pandas as pd

        frame = pd.DataFrame({"position_m": self.position_m, "volume_m3": self.volume_m3})
        for name, column in zip(self.names, self.values.T, strict=True):
            frame[name] = column
        return frame

    @classmethod
    def from_native(cls, result: dict[str, list[float]], names: tuple[str, ...]) -> Reclaimed:
        volume = np.asarray(result["volume"], dtype=np.float64)
        values = (
            np.column_stack([np.asarray(result[name], dtype=np.float64) for name in names])
            if names
            else np.empty((volume.size, 0))
        )
        # An empty slice reports its zero sums; they are no measurement.
        values[volume <= 0] = np.nan
        return cls(np.asarray(result["x"], dtype=np.float64), volume, values, names)


@dataclass(frozen=True)
class HeightMap:
    """Surface heights of the pile as stacked: heights_m[j, i] is the cell i along x, row j across z.

    Cell (i, j) is centred at (i * cell_m, j * cell_m): a chunk stacked at x lands
    in the cell whose centre is nearest.
    """

    heights_m: FloatArray
    cell_m: float

    @property
    def extent_m(self) -> tuple[float, float, float, float]:
        """(left, right, bottom, top) of the cells' outer edges, for matplotlib's imshow."""
        rows, columns = self.heights_m.shape
        half = self.cell_m / 2
        return (-half, (columns - 0.5) * self.cell_m, -half, (rows - 0.5) * self.cell_m)

    @property
    def volume_m3(self) -> float:
        return float(self.heights_m.sum()) * self.cell_m**2


class Stockpile:
    """One pile on one bed, simulated by the native engine.

    Stack chunk tables (as many as you like, all with the same quality values),
    then reclaim once; the heights can be read at any time and show the pile as
    stacked, before reclaiming.
    """

    def __init__(self, bed: Bed) -> None:
        self.bed = bed
        self._lib = bed.create()
        self._names: tuple[str, ...] | None = None
        self._reclaimed: Reclaimed | None = None
        self.stacked_volume_m3 = 0.0

    @property
    def quality_names(self) -> tuple[str, ...]:
        return self._names or ()

    def stack(self, chunks: ChunkTable, *, progress: bool = True) -> None:
        """Stack the chunks in order, in batches so that a progress bar can follow."""
        if self._reclaimed is not None:
            raise RuntimeError("this pile has been reclaimed; stack onto a new Stockpile")
        if self._names is not None and chunks.quality_names != self._names:
            raise ValueError(f"quality values {chunks.quality_names} differ from this pile's {self._names}")
        if len(chunks) == 0:
            return
        bed = self.bed
        # The engine would pile stray chunks against the nearest edge without a word.
        off = (chunks.x < 0) | (chunks.x > bed.length_m) | (chunks.z < 0) | (chunks.z > bed.depth_m)
        if off.any():
            row = int(np.argmax(off))
            raise ValueError(
                f"chunk {row} at x = {chunks.x[row]:g} m, z = {chunks.z[row]:g} m lies off the "
                f"{bed.length_m:g} m x {bed.depth_m:g} m bed ({int(off.sum())} chunks in all)"
            )
        columns = chunks.columns
        # Whole cubic metres: float steps would overshoot the bar's total by rounding.
        total = round(chunks.total_volume_m3)
        shown = 0
        done = 0.0
        with _progress(progress, total=total, unit="m³", desc="stacking") as bar:
            for batch in chunks.batches(PROGRESS_BATCHES):
                self._lib.stack_list(batch, columns)
                self._names = chunks.quality_names
                batch_volume = float(batch[:, 3].sum())
                self.stacked_volume_m3 += batch_volume
                done += batch_volume
                now = min(round(done), total)
                bar.update(now - shown)
                shown = now

    def reclaim(self) -> Reclaimed:
        """Reclaim the whole pile, slice by slice; a second call returns the same slices."""
        if self._reclaimed is None:
            self._reclaimed = Reclaimed.from_native(self._lib.reclaim(), self.quality_names)
        return self._reclaimed

    def heights(self) -> HeightMap:
        return HeightMap(np.asarray(self._lib.get_heights(), dtype=np.float64), self.bed.cell_size_m)


class _Bar(Protocol):
    def __enter__(self) -> Self:
        ...

    def __exit__(self, *exc: object) -> object:
        ...

    def update(self, n: float = 1) -> object:
        ...


class _NoBar:
    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        return None

    def update(self, n: float = 1) -> None:
        return None


def _progress(enabled: bool, *, total: int, unit: str, desc: str) -> _Bar:
    if not enabled:
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:
        return _NoBar()
    bar: _Bar = tqdm(total=total, unit=unit, desc=desc, delay=PROGRESS_DELAY_S, leave=False)
    return bar


@dataclass(frozen=True)
class Study:
    """A series stacked onto a bed by a plan and reclaimed: everything a report needs."""

    bed: Bed
    plan: StackingPlan | None
    series: QualitySeries
    chunks: ChunkTable
    reclaimed: Reclaimed
    heights: HeightMap

    @property
    def passes(self) -> float | None:
        return None if self.plan is None else self.plan.passes(self.series, self.bed)

    def homogenisation(self) -> tuple[QualityFigures, ...]:
        """Mean and std in and out, VRR, E and efficiency for each quality value."""
        return homogenisation(self.series, self.reclaimed, layers=self.passes)

    def describe(self) -> str:
        plan = "chunks as given" if self.plan is None else self.plan.describe(self.series, self.bed)
        return f"{plan}; {self.bed.describe()}"

    def figure(self) -> Figure:
        from .plots import study_figure

        return study_figure(self)

    def save_plots(self, prefix: str | Path) -> tuple[Path, Path]:
        """Write PREFIX-heights.png and PREFIX-qualities.png; return their paths."""
        from .plots import heights_figure, qualities_figure, save_figure

        prefix = Path(prefix)
        heights = save_figure(heights_figure(self.heights), prefix.with_name(f"{prefix.name}-heights.png"))
        qualities = save_figure(
            qualities_figure(self.series, self.reclaimed), prefix.with_name(f"{prefix.name}-qualities.png")
        )
        return heights, qualities


def simulate(
    series: QualitySeries | pd.DataFrame | ArrayLike | ChunkTable,
    plan: StackingPlan | None = None,
    bed: Bed | None = None,
    *,
    progress: bool = True,
) -> Study:
    """Stack a series onto a bed by a plan, reclaim it and read its heights.

    A ChunkTable is stacked as it is (give no plan); anything else is a quality
    series that the plan (Chevron by default) turns into chunks.
    """
    bed = Bed() if bed is None else bed
    if isinstance(series, ChunkTable):
        if plan is not None:
            raise ValueError("a chunk table already says where each chunk goes; give no plan")
        chunks = series
        quality = chunks.to_series()
    else:
        if plan is None:
            from .plans import Chevron

            plan = Chevron()
        quality = as_series(series)
        chunks = plan.chunks(quality, bed)
    pile = Stockpile(bed)
    pile.stack(chunks, progress=progress)
    return Study(bed, plan, quality, chunks, pile.reclaim(), pile.heights())
