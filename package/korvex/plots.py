"""Figures with matplotlib: the pile's heights and the qualities before and after the bed.

Figures are built without pyplot, so they work under any backend (and none)
and leave no global state behind.
"""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING

from matplotlib.axes import Axes
from matplotlib.figure import Figure, SubFigure

if TYPE_CHECKING:
    import pandas as pd

    from .equipment import OutputSeries
    from .results import HeightMap, Reclaimed
    from .series import QualitySeries
    from .study import Study
    from .theory import Variogram

INPUT_COLOUR = "tab:grey"
OUTPUT_COLOUR = "tab:blue"
FOOTER_COLOUR = "tab:grey"


def _add_footer(figure: Figure, footer: str | None) -> None:
    """What made the figure (package version, engine, seed), small in its bottom right corner."""
    if footer:
        # Room below the constrained layout, so that the footer never covers an axis label.
        figure.get_layout_engine().set(rect=(0.0, 0.03, 1.0, 0.97))
        figure.text(0.995, 0.005, footer, ha="right", va="bottom", fontsize=7, color=FOOTER_COLOUR)


def _draw_heights(axes: Axes, heights: HeightMap, title: str = "Pile heights as stacked") -> None:
    image = axes.imshow(
        heights.heights_m, origin="lower", extent=heights.extent_m, cmap="viridis", interpolation="nearest"
    )
    axes.set_xlabel("x along the bed [m]")
    axes.set_ylabel("z across [m]")
    axes.set_title(title)
    # An inset keeps the bar as tall as the image, which equal metre scales make flat.
    bar_axes = axes.inset_axes((1.015, 0.0, 0.015, 1.0))
    axes.figure.colorbar(image, cax=bar_axes, label="height [m]")


def _draw_qualities(target: Figure | SubFigure, series: QualitySeries, reclaimed: Reclaimed) -> None:
    count = len(series.names)
    axes = target.subplots(count, 2, sharey="row", squeeze=False)
    hours = (series.time_s - series.time_s[0]) / 3600
    for k, name in enumerate(series.names):
        left, right = axes[k]
        left.plot(hours, series.values[:, k], color=INPUT_COLOUR, linewidth=0.6)
        right.plot(reclaimed.position_m, reclaimed.values[:, k], color=OUTPUT_COLOUR, linewidth=0.9)
        left.set_ylabel(name)
        for side in (left, right):
            side.grid(True, alpha=0.3)
    axes[0, 0].set_title("Input, as stacked")
    axes[0, 1].set_title("Output, as reclaimed")
    axes[-1, 0].set_xlabel("stacking time [h]")
    axes[-1, 1].set_xlabel("reclaim position [m]")


def heights_figure(
    heights: HeightMap, *, footer: str | None = None, title: str = "Pile heights as stacked"
) -> Figure:
    """The height map as an image with metre axes and a colour bar; footer: a stamp to print below it."""
    rows, columns = heights.heights_m.shape
    width = 10.0
    figure = Figure(figsize=(width, max(2.5, min(8.0, width * rows / max(columns, 1) + 1.2))), layout="constrained")
    _draw_heights(figure.add_subplot(), heights, title)
    _add_footer(figure, footer)
    return figure


def qualities_figure(series: QualitySeries, reclaimed: Reclaimed, *, footer: str | None = None) -> Figure:
    """Each quality value against stacking time (left) and reclaim position (right), on shared scales.

    footer: a stamp to print below the plots.
    """
    figure = Figure(figsize=(10.0, 1.0 + 2.2 * len(series.names)), layout="constrained")
    _draw_qualities(figure, series, reclaimed)
    _add_footer(figure, footer)
    return figure


def study_figure(study: Study) -> Figure:
    """The height map above the qualities in and out, titled with the study's setup."""
    names = len(study.series.names)
    figure = Figure(figsize=(11.0, 3.6 + 2.2 * names), layout="constrained")
    top, bottom = figure.subfigures(2, 1, height_ratios=[3.2, 2.2 * names])
    _draw_heights(top.add_subplot(), study.heights)
    _draw_qualities(bottom, study.series, study.reclaimed)
    figure.suptitle(study.describe())
    _add_footer(figure, study.stamp)
    return figure


def output_figure(output: OutputSeries, composites: pd.DataFrame, *, footer: str | None = None) -> Figure:
    """Each quality value of the output against reclaim time (slices and composites, left) and against
    reclaim position (right); composites: a table of OutputSeries.composites."""
    names = output.names
    figure = Figure(figsize=(10.0, 1.0 + 2.2 * len(names)), layout="constrained")
    axes = figure.subplots(len(names), 2, sharey="row", squeeze=False)
    frame = output.frame[output.frame["mass_t"] > 0]
    middle_h = (frame["start_h"] + frame["end_h"]) / 2
    for k, name in enumerate(names):
        in_time, along = axes[k]
        in_time.plot(middle_h, frame[name], color=OUTPUT_COLOUR, linewidth=0.6, label="slices")
        in_time.stairs(
            composites[name].to_numpy(),
            [*composites["start_h"], composites["end_h"].iloc[-1]],
            baseline=None,
            color="tab:orange",
            linewidth=1.2,
            label="composites",
        )
        along.plot(frame["position_m"], frame[name], color=OUTPUT_COLOUR, linewidth=0.6)
        in_time.set_ylabel(name)
        for side in (in_time, along):
            side.grid(True, alpha=0.3)
    axes[0, 0].legend(loc="best", fontsize=8)
    axes[0, 0].set_title("Output in time")
    axes[0, 1].set_title("Output along the bed")
    axes[-1, 0].set_xlabel("reclaim time [h]")
    axes[-1, 1].set_xlabel("reclaim position [m]")
    _add_footer(figure, footer)
    return figure


def save_figure(figure: Figure, path: str | Path, *, dpi: int = 120) -> Path:
    """Write the figure as PNG (creating its folder) and return the path."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, format="png", dpi=dpi)
    return path


def variogram_figure(
    by_volume: Variogram,
    by_time: Variogram | None = None,
    *,
    marks_m3: Mapping[str, float] | None = None,
    footer: str | None = None,
) -> Figure:
    """The feed's variogram, each quality scaled by its portions' variance, against volume (and time) lag.

    A curve that has levelled off at 1 shows portions that far apart are
    independent. marks_m3: volumes to mark on the volume axis, by label (a
    layer, an output portion); footer: a stamp to print below the plots.
    """
    panels = 1 if by_time is None else 2
    figure = Figure(figsize=(5.0 * panels + 1.0, 3.8), layout="constrained")
    axes = figure.subplots(1, panels, squeeze=False)[0]
    for side, variogram, scale, label in (
        (axes[0], by_volume, 1.0, "lag [m³ stacked]"),
        *(() if by_time is None else ((axes[1], by_time, 3600.0, "lag [h]"),)),
    ):
        for k, name in enumerate(variogram.names):
            variance = variogram.variance[k]
            side.plot(
                variogram.lag / scale,
                variogram.gamma[:, k] / variance if variance > 0 else variogram.gamma[:, k],
                linewidth=0.9,
                label=name,
            )
        side.set_xscale("log")
        side.set_xlabel(label)
        side.grid(True, alpha=0.3)
    for label, volume in (marks_m3 or {}).items():
        axes[0].axvline(volume, color=INPUT_COLOUR, linestyle="--", linewidth=0.8)
        axes[0].annotate(
            label, (volume, 1.0), xycoords=("data", "axes fraction"), rotation=90, va="top", ha="right", fontsize=8
        )
    axes[0].set_ylabel("variogram / variance of portions")
    axes[0].set_title("Feed variogram by volume")
    if by_time is not None:
        axes[1].set_title("Feed variogram by time")
    axes[0].legend(loc="lower right", fontsize=8)
    _add_footer(figure, footer)
    return figure
