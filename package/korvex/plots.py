"""Figures with matplotlib: the pile's heights and the qualities before and after the bed.

Figures are built without pyplot, so they work under any backend (and none)
and leave no global state behind. A value the plant holds in a target band
(korvex.targets) is drawn with its band, a derived one (LSF) as the modulus of
each delivery's, slice's and composite's averaged oxides, and its row says how
the hourly composites keep the band.
"""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
from matplotlib.axes import Axes
from matplotlib.figure import Figure, SubFigure

from .derived import derived_columns
from .study import RingStudy, Study

if TYPE_CHECKING:
    from collections.abc import Sequence

    import pandas as pd

    from .derived import Derivation
    from .equipment import OutputSeries
    from .metrics import QualityFigures
    from .results import HeightMap, Reclaimed
    from .series import QualitySeries
    from .targets import BandFigures, TargetBand
    from .theory import Variogram
    from .validation import FloatArray

    # How a stream keeps each band: by the value's name, before the bed and after it (None without an output).
    BandsKept = Mapping[str, tuple[BandFigures, BandFigures | None]]
    # The feed's hourly averages and the output's hourly composites (None without an output in time).
    HourlyTables = tuple[pd.DataFrame, pd.DataFrame | None]

INPUT_COLOUR = "tab:grey"
OUTPUT_COLOUR = "tab:blue"
FOOTER_COLOUR = "tab:grey"
COMPOSITE_COLOUR = "tab:orange"
BAND_COLOUR = "tab:green"

# A pause in a time series longer than this many typical intervals is a stop, drawn as a gap.
GAP_FACTOR = 5.0
# A plot of a bed or a section is at least this high for its width; flatter ones are stretched upwards.
MIN_DRAWN_RATIO = 0.22
PLOT_WIDTH_IN = 9.0
PLOT_MAX_HEIGHT_IN = 6.0


def bed_aspect(width_m: float, height_m: float) -> tuple[float, float, float]:
    """How to draw an area width_m wide and height_m high readably: (stretch, width_in, height_in).

    stretch: how many times taller than true the vertical is drawn (1 for an
    area that is not flat), a whole number, so that a reader can undo it.
    """
    ratio = height_m / width_m if width_m > 0 else 1.0
    stretch = 1.0 if ratio >= MIN_DRAWN_RATIO else float(np.ceil(MIN_DRAWN_RATIO / ratio))
    drawn = ratio * stretch
    width_in = min(PLOT_WIDTH_IN, PLOT_MAX_HEIGHT_IN / drawn)
    return stretch, width_in, width_in * drawn


def break_gaps(
    time: FloatArray, values: FloatArray, *, stop_after: float | None = None
) -> tuple[FloatArray, FloatArray]:
    """The series with a NaN put into every stop, so that a line plot shows a gap instead of bridging it.

    A stop is a step in time more than GAP_FACTOR times the median step, or more than stop_after (in
    the time's unit) when given: the feed's own threshold (see korvex.feed).
    """
    time = np.asarray(time, dtype=np.float64)
    values = np.asarray(values, dtype=np.float64)
    steps = np.diff(time)
    if steps.size < 2:
        return time, values
    typical = float(np.median(steps))
    threshold = GAP_FACTOR * typical if stop_after is None else stop_after
    stops = np.flatnonzero(steps > threshold) + 1 if threshold > 0 else np.array([], dtype=np.int64)
    return np.insert(time, stops, np.nan), np.insert(values, stops, np.nan, axis=0)


def vrr_basis(figures: Sequence[QualityFigures]) -> str:
    """What the VRR and E of these figures compare, in a phrase for a caption."""
    portion = figures[0].portion_m3 if figures else None
    if portion:
        return f"feed and output cut into equal portions of {portion:.4g} m³"
    return "input per delivery as stacked, output per slice as reclaimed"


def add_footer(figure: Figure, footer: str | None) -> None:
    """What made the figure (package version, engine, seed), small in its bottom right corner."""
    if footer:
        # Room below the constrained layout, so that the footer never covers an axis label.
        figure.get_layout_engine().set(rect=(0.0, 0.03, 1.0, 0.97))
        figure.text(0.995, 0.005, footer, ha="right", va="bottom", fontsize=7, color=FOOTER_COLOUR)


def band_caption(figures: BandFigures) -> str:
    """How hourly composites keep a band, as a plant quotes it, with the share of tonnes and the std beside."""
    if figures.composites == 0:
        return f"no hourly composite has {figures.band.name}"
    return (
        f"inside {figures.band.describe()}: {100 * figures.inside_composites:.0f} % of hourly composites "
        f"({100 * figures.inside_tonnes:.0f} % of tonnes); hourly std {figures.std:.3g}"
    )


def _draw_band(axes: Axes, band: TargetBand, figures: BandFigures | None) -> None:
    axes.axhspan(band.target - band.tolerance, band.target + band.tolerance, color=BAND_COLOUR, alpha=0.15,
                 label=f"target {band.describe()}")
    axes.axhline(band.target, color=BAND_COLOUR, linewidth=0.8, linestyle="--")
    # Above the axes rather than inside them, where it would hide the values it speaks of.
    if figures is not None:
        axes.set_title(band_caption(figures), loc="left", fontsize=7.5)


def composite_steps(composites: pd.DataFrame, name: str, shift_h: float = 0.0) -> tuple[FloatArray, FloatArray]:
    """A table of composites as a step line of the named value, broken where hours without material were left
    out; shift_h is taken off their hours."""
    start = composites["start_h"].to_numpy(dtype=np.float64) - shift_h
    end = composites["end_h"].to_numpy(dtype=np.float64) - shift_h
    values = composites[name].to_numpy(dtype=np.float64)
    apart = np.r_[end[:-1] < start[1:] - 1e-9, False]
    gap = np.full(start.size, np.nan)
    keep = np.column_stack([np.ones((start.size, 2), dtype=bool), apart]).ravel()
    x = np.column_stack([start, end, gap]).ravel()[keep]
    y = np.column_stack([values, values, gap]).ravel()[keep]
    return x, y


def _with_targets(
    names: tuple[str, ...], values: np.ndarray, targets: Sequence[TargetBand], derived: Mapping[str, Derivation] | None
) -> tuple[tuple[str, ...], np.ndarray]:
    """The quality values followed by the derived ones that are targets, computed from each row's averages."""
    wanted = [band.name for band in targets if band.name not in names]
    if not wanted:
        return names, values
    extra, table = derived_columns(names, values, derived)
    picked = [extra.index(name) for name in wanted]
    return (*names, *wanted), np.column_stack([values, table[:, picked]])


def _draw_heights(
    axes: Axes, heights: HeightMap, stretch: float = 1.0, title: str = "Pile heights as stacked"
) -> None:
    image = axes.imshow(
        heights.heights_m, origin="lower", extent=heights.extent_m, cmap="viridis", interpolation="nearest"
    )
    axes.set_aspect(stretch)
    axes.set_xlabel("x along the bed [m]")
    axes.set_ylabel("z across [m]" if stretch == 1 else f"z across [m], drawn {stretch:g}x wider")
    axes.set_title(title)
    # An inset keeps the bar as tall as the image, which equal metre scales make flat.
    bar_axes = axes.inset_axes((1.015, 0.0, 0.015, 1.0))
    axes.figure.colorbar(image, cax=bar_axes, label="height [m]")


def _draw_qualities(
    target: Figure | SubFigure,
    series: QualitySeries,
    reclaimed: Reclaimed,
    *,
    output_time_h: FloatArray | None = None,
    figures: Sequence[QualityFigures] | None = None,
    targets: Sequence[TargetBand] = (),
    bands: BandsKept | None = None,
    derived: Mapping[str, Derivation] | None = None,
    hourly: HourlyTables | None = None,
) -> None:
    full = reclaimed.volume_m3 > 0
    names, values_in = _with_targets(series.names, series.values, targets, derived)
    _, values_out = _with_targets(reclaimed.names, reclaimed.values[full], targets, derived)
    axes = target.subplots(len(names), 2, sharey="row", squeeze=False)
    hours = (series.time_s - series.time_s[0]) / 3600
    along = reclaimed.position_m[full] if output_time_h is None else np.asarray(output_time_h)[full]
    by_name = {f.name: f for f in figures or ()}
    by_band = {band.name: band for band in targets}
    for k, name in enumerate(names):
        left, right = axes[k]
        left.plot(*break_gaps(hours, values_in[:, k]), color=INPUT_COLOUR, linewidth=0.6)
        output = values_out[:, k]
        right.plot(*(break_gaps(along, output) if output_time_h is not None else (along, output)),
                   color=OUTPUT_COLOUR, linewidth=0.9)
        left.set_ylabel(name)
        figure = by_name.get(name)
        if figure is not None:
            right.set_title(f"{name}: VRR {figure.vrr:.4f}, E {figure.effect:.2f}", fontsize=9, loc="right")
        if name in by_band:
            before, after = (bands or {}).get(name, (None, None))
            if hourly is not None:
                feed, output_hours = hourly
                # The feed's hours run from its time 0; the plot's from its first delivery.
                left.plot(*composite_steps(feed, name, series.time_s[0] / 3600), color=COMPOSITE_COLOUR,
                          linewidth=1.2, label="hourly averages")
                if output_hours is not None and output_time_h is not None:
                    right.plot(*composite_steps(output_hours, name), color=COMPOSITE_COLOUR, linewidth=1.2,
                               label="hourly composites")
                    right.legend(loc="lower left", fontsize=8)
            _draw_band(left, by_band[name], before)
            _draw_band(right, by_band[name], after)
            left.legend(loc="lower left", fontsize=8)
        for side in (left, right):
            side.grid(True, alpha=0.3)
    axes[0, 0].set_title("Input, as stacked", loc="left")
    axes[0, 1].set_title("Output, as reclaimed", loc="left")
    axes[-1, 0].set_xlabel("stacking time [h]")
    axes[-1, 1].set_xlabel("reclaim position [m]" if output_time_h is None else "reclaim time [h]")
    if figures:
        # Bottom left, below the axes (the layout keeps room for it): the bottom right corner holds the stamp.
        target.supxlabel(
            f"VRR = variance out / variance in, E = std in / std out: {vrr_basis(figures)}", x=0.005, ha="left",
            fontsize=8,
        )


def heights_figure(
    heights: HeightMap, *, footer: str | None = None, title: str = "Pile heights as stacked"
) -> Figure:
    """The height map as an image with metre axes and a colour bar; footer: a stamp to print below it.

    A long thin bed is drawn wider across than true (the axis says how much), so that it stays readable.
    """
    rows, columns = heights.heights_m.shape
    stretch, width_in, height_in = bed_aspect(columns * heights.cell_size_m, rows * heights.cell_size_m)
    figure = Figure(figsize=(width_in + 1.8, height_in + 1.2), layout="constrained")
    _draw_heights(figure.add_subplot(), heights, stretch, title)
    add_footer(figure, footer)
    return figure


def qualities_figure(
    series: QualitySeries,
    reclaimed: Reclaimed,
    *,
    output_time_h: FloatArray | None = None,
    figures: Sequence[QualityFigures] | None = None,
    footer: str | None = None,
    targets: Sequence[TargetBand] = (),
    bands: BandsKept | None = None,
    derived: Mapping[str, Derivation] | None = None,
    hourly: HourlyTables | None = None,
) -> Figure:
    """Each quality value against stacking time (left) and the output (right), on shared scales.

    Stops of the feed (and of the reclaimer) show as gaps. output_time_h: when
    each slice was reclaimed (see equipment.reclaim_hours), to plot the output against
    time instead of reclaim position. figures: the homogenisation figures, whose
    VRR and E are written over each row and explained below. footer: a stamp.
    targets: bands drawn on their values' rows, a derived value (by derived, the cement moduli by
    default) getting a row of its own; bands: how the hourly composites keep each before and after the
    bed (Study.band_figures), written in its row; hourly: the feed's hourly averages and the output's
    hourly composites (Study.feed_composites, Study.composites), drawn on the target rows.
    """
    rows = len(series.names) + sum(band.name not in series.names for band in targets)
    figure = Figure(figsize=(10.0, 1.3 + 2.2 * rows), layout="constrained")
    _draw_qualities(figure, series, reclaimed, output_time_h=output_time_h, figures=figures, targets=targets,
                    bands=bands, derived=derived, hourly=hourly)
    add_footer(figure, footer)
    return figure


def study_figure(study: Study, *, reclaim_rate_m3_per_h: float | None = None) -> Figure:
    """The height map above the qualities in and out with their VRR and E, titled with the study's setup; the
    output in time given a reclaim rate or the study's reclaimer (see Study.output_time_h)."""
    output_time_h = study.output_time_h(reclaim_rate_m3_per_h)
    names = len(study.series.names) + sum(band.name not in study.series.names for band in study.targets)
    rows, columns = study.heights.heights_m.shape
    stretch, _, _ = bed_aspect(columns * study.heights.cell_size_m, rows * study.heights.cell_size_m)
    figure = Figure(figsize=(11.0, 3.8 + 2.2 * names), layout="constrained")
    top, bottom = figure.subfigures(2, 1, height_ratios=[3.2, 0.3 + 2.2 * names])
    _draw_heights(top.add_subplot(), study.heights, stretch)
    _draw_qualities(bottom, study.series, study.reclaimed, output_time_h=output_time_h, figures=study.homogenisation(),
                    hourly=study_hourly(study), **study_bands(study))
    figure.suptitle(study.describe())
    add_footer(figure, study.stamp)
    return figure


def output_figure(
    output: OutputSeries,
    composites: pd.DataFrame,
    *,
    footer: str | None = None,
    targets: Sequence[TargetBand] = (),
    bands: BandsKept | None = None,
    derived: Mapping[str, Derivation] | None = None,
) -> Figure:
    """Each quality value of the output against reclaim time (slices and composites, left) and against
    reclaim position (right); composites: a table of OutputSeries.composites with the derived values.

    targets, bands, derived: as in qualities_figure (the output's side of bands)."""
    frame = output.frame[output.frame["mass_t"] > 0]
    names, values = _with_targets(output.names, frame[list(output.names)].to_numpy(dtype=np.float64), targets,
                                  derived)
    figure = Figure(figsize=(10.0, 1.0 + 2.2 * len(names)), layout="constrained")
    axes = figure.subplots(len(names), 2, sharey="row", squeeze=False)
    middle_h = (frame["start_h"] + frame["end_h"]) / 2
    by_band = {band.name: band for band in targets}
    interval_h = float(np.median(composites["end_h"] - composites["start_h"]))
    for k, name in enumerate(names):
        in_time, along = axes[k]
        in_time.plot(*break_gaps(middle_h, values[:, k]), color=OUTPUT_COLOUR, linewidth=0.6, label="slices")
        in_time.stairs(
            composites[name].to_numpy(),
            [*composites["start_h"], composites["end_h"].iloc[-1]],
            baseline=None,
            color=COMPOSITE_COLOUR,
            linewidth=1.2,
            label=f"composites of {interval_h:g} h",
        )
        along.plot(frame["position_m"], values[:, k], color=OUTPUT_COLOUR, linewidth=0.6)
        in_time.set_ylabel(name)
        if name in by_band:
            _draw_band(in_time, by_band[name], (bands or {}).get(name, (None, None))[1])
            _draw_band(along, by_band[name], None)
        for side in (in_time, along):
            side.grid(True, alpha=0.3)
    axes[0, 0].legend(loc="lower left", fontsize=8)
    axes[0, 0].set_title("Output in time")
    axes[0, 1].set_title("Output along the bed")
    start = "" if output.clock is None else f" from {output.clock.start:%Y-%m-%d %H:%M}"
    axes[-1, 0].set_xlabel(f"reclaim time [h{start}]")
    axes[-1, 1].set_xlabel("reclaim position [m]")
    add_footer(figure, footer)
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
    add_footer(figure, footer)
    return figure


def ring_output_figure(study: RingStudy) -> Figure:
    """Each quality of the feed and of the output against time, the steady state shaded."""
    names = study.series.names
    figure = Figure(figsize=(10.0, 1.2 + 2.0 * len(names)), layout="constrained")
    axes = figure.subplots(len(names), 1, sharex=True, squeeze=False)[:, 0]
    out = study.output
    full = out.volume_m3 > 0
    steady = out.time_s[study.phase == RingStudy.STEADY]
    # Stops of the feed, and the reclaimer's waits while the ring's feed stood, are gaps, not lines.
    stop_h = study.series.flow.stop_after_s / 3600
    for k, name in enumerate(names):
        ax = axes[k]
        feed = break_gaps(study.series.time_s / 3600, study.series.values[:, k], stop_after=stop_h)
        ax.plot(*feed, color=INPUT_COLOUR, linewidth=0.5, label="feed")
        output = break_gaps(out.time_s[full] / 3600, out.values[full, k], stop_after=stop_h)
        ax.plot(*output, color=OUTPUT_COLOUR, linewidth=0.9, label="output")
        if steady.size:
            ax.axvspan(steady[0] / 3600, steady[-1] / 3600, color="tab:green", alpha=0.08, label="steady state")
        ax.set_ylabel(name)
        ax.grid(True, alpha=0.3)
    axes[0].legend(loc="upper right", fontsize=8, ncols=3)
    axes[0].set_title("Feed as stacked and output as reclaimed, over time")
    axes[-1].set_xlabel("time [h]")
    add_footer(figure, study.stamp)
    return figure


def save_ring_plots(study: RingStudy, prefix: str | Path) -> tuple[Path, Path]:
    """Write PREFIX-ring.png (the ring's heights) and PREFIX-output.png (qualities over time)."""
    prefix = Path(prefix)
    ring = save_figure(
        heights_figure(study.heights, footer=study.stamp, title="The ring as the feed ended"),
        prefix.with_name(f"{prefix.name}-ring.png"),
    )
    output = save_figure(ring_output_figure(study), prefix.with_name(f"{prefix.name}-output.png"))
    return ring, output


def study_variogram_figure(study: Study) -> Figure:
    """The feed's variogram by volume (and time), with a slice's and a layer's volume marked."""
    marks = {"a slice": float(np.median(study.reclaimed.volume_m3[study.reclaimed.volume_m3 > 0]))}
    if study.passes:
        marks["a layer"] = study.series.total_volume_m3 / study.passes
    return variogram_figure(*study.variograms(), marks_m3=marks, footer=study.stamp)


def save_plots(study: Study, prefix: str | Path) -> tuple[Path, Path, Path]:
    """Write PREFIX-heights.png, PREFIX-qualities.png and PREFIX-variogram.png, each with the study's stamp.

    Returns their paths.
    """
    prefix = Path(prefix)
    heights = save_figure(
        heights_figure(study.heights, footer=study.stamp), prefix.with_name(f"{prefix.name}-heights.png")
    )
    qualities = save_figure(
        qualities_figure(
            study.series,
            study.reclaimed,
            figures=study.homogenisation(),
            footer=study.stamp,
            hourly=study_hourly(study),
            **study_bands(study),
        ),
        prefix.with_name(f"{prefix.name}-qualities.png"),
    )
    variogram = save_figure(study_variogram_figure(study), prefix.with_name(f"{prefix.name}-variogram.png"))
    return heights, qualities, variogram


def save_output_plot(study: Study, path: str | Path, interval_h: float = 1.0) -> Path:
    """Write the output against time (with its composites over interval_h) and against position as PNG."""
    figure = output_figure(study.output, study.composites(interval_h), footer=study.stamp, **study_bands(study))
    return save_figure(figure, path)


def study_bands(study: Study) -> dict[str, Any]:
    """The study's target bands, how its hourly composites keep them and its derived values, as the
    figures' keywords."""
    return {"targets": study.targets, "bands": study.band_figures(1.0), "derived": study.derived}


def study_hourly(study: Study) -> HourlyTables | None:
    """The feed's hourly averages and the output's hourly composites (None without a reclaimer and a
    density), for the rows of the target values; None without targets."""
    if not study.targets:
        return None
    output = None
    if study.reclaimer is not None and study.bulk_density_t_per_m3 is not None:
        output = study.composites(1.0)
    return study.feed_composites(1.0), output
