"""Reports: one self-contained HTML page per study or comparison, figures and 3-D view inside.

A page is a list of sections, each made by one function from what the study
offers; a figure that this build cannot make yet leaves a note instead. Every
text, column name and note is escaped by the template: names come from user
files. Only the 3-D view's markup, which plotly makes, goes in as it is.
"""

from __future__ import annotations

import base64
import io
import math
import numbers
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field, fields, is_dataclass, replace
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
from markupsafe import Markup

from .derived import CEMENT_MODULI
from .plots import (
    heights_figure,
    output_figure,
    qualities_figure,
    study_bands,
    study_hourly,
    study_variogram_figure,
    vrr_basis,
)
from .views import MAX_HTML_BYTES, cross_section, study_view_3d, view_html

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.figure import Figure

    from .bed import Bed
    from .study import Study
    from .validation import FloatArray

TEMPLATES = Path(__file__).parent / "templates"
PNG_DPI = 100


@dataclass(frozen=True)
class Table:
    """A table of text cells under a caption."""

    columns: Sequence[str]
    rows: Sequence[Sequence[str]]
    caption: str = ""


@dataclass(frozen=True)
class Image:
    """A PNG as a data URI, with its alternative text."""

    uri: str
    alt: str


@dataclass(frozen=True)
class ReportSection:
    """One section of a page: notes (paragraphs), tables, images, and markup made by this package."""

    title: str
    notes: Sequence[str] = ()
    tables: Sequence[Table] = ()
    images: Sequence[Image] = ()
    markup: Markup | None = field(default=None)


@dataclass(frozen=True)
class ReportOptions:
    """What a study report shows beyond the study itself.

    output_time_h: when each slice was reclaimed, to show the output in time.
    reclaim_rate_m3_per_h: the rate that output_time_h was made at, when given
        as a volume rather than by the study's reclaimer.
    colour: the quality value that the cross-sections and the 3-D view show
        beside stacking time (the first one by default).
    page_bytes: what the rest of the page takes; the 3-D view draws as many
        particles as the room left allows.
    """

    output_time_h: FloatArray | None = None
    colour: str | None = None
    page_bytes: int = 0
    reclaim_rate_m3_per_h: float | None = None


def figure_image(figure: Figure, alt: str) -> Image:
    """A matplotlib figure as an embedded PNG."""
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=PNG_DPI)
    return Image("data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode("ascii"), alt)


def number(value: Any) -> str:
    """A cell's text: whole numbers with thousands separators, other numbers to four significant digits."""
    if value is None or isinstance(value, str):
        return "" if value is None else value
    if isinstance(value, bool | np.bool_):
        return str(bool(value))
    if isinstance(value, numbers.Integral):
        return f"{int(value):,}"
    if isinstance(value, numbers.Real):
        return "" if math.isnan(value) else f"{float(value):.4g}"
    return str(value)


def frame_table(frame: pd.DataFrame, caption: str = "") -> Table:
    """A DataFrame as a table: its index (when named) and columns, numbers to four significant digits."""
    if frame.index.name is not None:
        frame = frame.reset_index()
    rows = [[number(value) for value in row] for row in frame.itertuples(index=False, name=None)]
    return Table([str(column) for column in frame.columns], rows, caption)


def render_page(title: str, stamp: str, sections: Sequence[ReportSection]) -> str:
    """The page as HTML, everything escaped but the sections' markup."""
    from jinja2 import Environment, FileSystemLoader

    environment = Environment(loader=FileSystemLoader(TEMPLATES), autoescape=True)
    return environment.get_template("report.html.j2").render(title=title, stamp=stamp, sections=sections)


def write_page(path: str | Path, title: str, stamp: str, sections: Sequence[ReportSection]) -> Path:
    """Write a page (creating its folder); refuses a page of MAX_HTML_BYTES or more."""
    data = render_page(title, stamp, sections).encode("utf-8")
    if len(data) >= MAX_HTML_BYTES:
        raise ValueError(
            f"the report takes {len(data) / 1e6:.1f} MB, more than the {MAX_HTML_BYTES / 1e6:g} MB a page may"
        )
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)
    return path


def comparison_report(
    path: str | Path,
    table: pd.DataFrame,
    figure: Figure | None = None,
    *,
    title: str = "Comparison of studies",
    notes: Sequence[str] = (),
    stamp: str = "",
) -> Path:
    """A page for a sweep or a comparison: notes, the table and its figure; returns the path.

    stamp: what made the results (package version, engines, seeds).
    """
    images = () if figure is None else (figure_image(figure, title),)
    section = ReportSection("Comparison", notes=tuple(notes), tables=(frame_table(table),), images=images)
    return write_page(path, title, stamp, [section])


def _plan_settings(study: Study) -> list[list[str]]:
    """The plan's settings as the study used them: a setting left to the plan shows the plan's choice where
    the plan says it (the layers it lays, its blending tail), else what leaving it out means."""
    plan = study.plan
    if not is_dataclass(plan):
        return []
    rows = []
    for entry in fields(plan):
        value = getattr(plan, entry.name)
        if value is None and entry.name == "layers" and getattr(plan, "stacker_speed_m_per_min", None) is None:
            value = getattr(plan, "default_layers", None)
        elif value is None and entry.name == "blending_tail_m":
            value = plan.blending_tail_for(study.bed)
        if value is None:
            shown = str(entry.metadata.get("unset", "not given"))
        else:
            shown = number(value)
        rows.append([f"plan: {entry.name}", shown])
    return rows


def _bed_settings(bed: Bed) -> list[list[str]]:
    """The bed's settings as its engine used them: none of another engine's, the resolution and ring the
    rules chose where none were given, and the cell they make."""
    used = {
        "particles_per_m3": bed.resolution_per_m3,
        "ring_radius_m": bed.circle_radius_m if bed.circular else None,
        "pile_width_m": bed.ring_width_m if bed.circular else None,
    }
    rows = []
    for entry in fields(bed):
        value = used.get(entry.name, getattr(bed, entry.name))
        if value is not None:
            rows.append([f"bed: {entry.name}", number(value)])
    rows.append(["bed: cell_size_m", number(bed.cell_size_m)])
    return rows


def settings_section(study: Study, options: ReportOptions) -> ReportSection:
    series = study.series
    rows = [
        ["seed", str(study.seed)],
        ["made by", study.stamp],
        ["deliveries", f"{len(series):,} over {series.duration_s / 3600:.4g} h, {series.total_volume_m3:,.1f} m³"],
        ["chunks stacked", f"{len(study.chunks):,}"],
        ["slices reclaimed", f"{int((study.reclaimed.volume_m3 > 0).sum()):,}"],
    ]
    density = study.bulk_density_t_per_m3
    if density is not None:
        rows.append(["bulk density", f"{density:g} t/m³"])
    if options.reclaim_rate_m3_per_h is not None:
        rows.append(["reclaim rate", f"{options.reclaim_rate_m3_per_h:g} m³/h"])
    elif study.reclaimer is not None:
        per_m3 = "" if density is None else f" ({study.reclaimer.rate_t_per_h / density:.4g} m³/h)"
        rows.append(["reclaim rate", f"{study.reclaimer.rate_t_per_h:g} t/h{per_m3}"])
    return ReportSection(
        "Settings",
        notes=(study.describe(), f"simulate(..., seed={study.seed}) repeats this study."),
        tables=(Table(["setting", "value"], rows + _plan_settings(study) + _bed_settings(study.bed)),),
    )


def figures_section(study: Study, options: ReportOptions) -> ReportSection:
    figures = study.homogenisation()
    # The prediction needs a plan that lays layers, the per-delivery figures rows as cut.
    extra = [
        (label, name)
        for label, name in (("predicted VRR", "predicted_vrr"), ("VRR per delivery", "per_delivery_vrr"))
        if any(getattr(f, name) is not None for f in figures)
    ]
    columns = ["quality", "mean in", "std in", "mean out", "std out", "VRR", "E", *[label for label, _ in extra]]
    columns.append("ideal VRR 1/N")
    rows = [
        [
            f.name,
            number(f.mean_in),
            number(f.std_in),
            number(f.mean_out),
            number(f.std_out),
            f"{f.vrr:.4f}",
            f"{f.effect:.2f}",
            *[number(getattr(f, name)) for _, name in extra],
            number(f.ideal_vrr),
        ]
        for f in figures
    ]
    notes = [
        f"VRR = variance out / variance in (smaller is better); E = std in / std out; {vrr_basis(figures)}.",
        "Ideal VRR 1/N: averaging N independent layers, N the stacker's passes.",
    ]
    moduli = [f.name for f in figures if f.name in CEMENT_MODULI]
    if moduli:
        notes.append(
            f"{', '.join(moduli)}: the mean is that of the averaged oxides, the std the spread of the portions' "
            "own values."
        )
    if all(f.predicted_vrr is None for f in figures):
        notes.append("No predicted VRR: the study's chunks were stacked as given, not laid in layers by a plan.")
    return ReportSection("Homogenisation", notes=notes, tables=(Table(columns, rows),))


def _percent(share: float) -> str:
    return "" if math.isnan(share) else f"{100 * share:.1f}"


def targets_section(study: Study, options: ReportOptions) -> ReportSection:
    title = "Target bands"
    if not study.targets:
        return ReportSection(title, notes=("No target band was given: simulate(..., targets=[\"LSF=96+-2\"]) or "
                                           "--target LSF=96+-2 shows how the hourly composites keep it.",))
    rows = []
    for name, streams in study.band_figures(1.0).items():
        band = streams[0].band.describe()
        for where, figures in zip(("feed, before the bed", "output, after the bed"), streams, strict=True):
            if figures is None:
                rows.append([name, band, where, "", "", "", ""])
                continue
            rows.append([
                name,
                band,
                where,
                number(figures.composites),
                _percent(figures.inside_composites),
                _percent(figures.inside_tonnes),
                number(figures.std),
            ])
    columns = [
        "value",
        "band",
        "stream",
        "hourly composites",
        "share of hourly composites inside [%]",
        "share of tonnes inside [%]",
        "hourly std",
    ]
    clock = study.feed_clock
    hours = (
        "clock hours (the plant's hours and shifts, from the feed's dates)"
        if clock is not None
        else "hours counted from the first delivery (the feed) and from the start of the reclaim (the output)"
    )
    notes = [
        f"The kiln sees hourly averages: the feed's averages over each hour and the output's hourly composites, on "
        f"{hours}. Plants quote the share of hourly composites inside the band, every hour counting once; the share "
        "of tonnes counts each hour with its mass, so that a part hour at a stop or at the start counts for what it "
        "held. The hourly std is the composites' standard deviation by mass.",
        "A modulus of a composite is the modulus of its averaged oxides, never an average of moduli.",
    ]
    if study.reclaimer is None or study.bulk_density_t_per_m3 is None:
        notes.append("The output's hourly composites need a reclaimer and a bulk density.")
    return ReportSection(title, notes=notes, tables=(Table(columns, rows),))


def over_time_section(study: Study, options: ReportOptions) -> ReportSection:
    bands = study_bands(study)
    figure = qualities_figure(
        study.series,
        study.reclaimed,
        output_time_h=options.output_time_h,
        figures=study.homogenisation(),
        footer=study.stamp,
        hourly=study_hourly(study),
        **bands,
    )
    notes = ["Stops of the feed show as gaps in the lines."]
    if study.targets:
        notes.append("Each target band is drawn on its value's row, a modulus as the modulus of each delivery's and "
                     "slice's oxides, with how the hourly composites keep it.")
    images = [figure_image(figure, "quality in and out")]
    if options.output_time_h is None:
        notes.append("The output is shown by reclaim position; give a reclaimer or a reclaim rate to see it in time.")
    if study.reclaimer is not None and study.bulk_density_t_per_m3 is not None:
        notes.append("Below: the output as the reclaimer delivers it, with the laboratory's hourly composites.")
        composites = output_figure(study.output, study.composites(1.0), footer=study.stamp, **bands)
        images.append(figure_image(composites, "output in time with hourly composites"))
    return ReportSection("Input and output", notes=notes, images=images)


def variogram_section(study: Study, options: ReportOptions) -> ReportSection:
    return ReportSection(
        "Variogram of the feed",
        notes=("Half the mean squared difference of feed portions a given volume or time apart, scaled by their "
               "variance: where it has levelled off at 1, portions that far apart are independent.",),
        images=(figure_image(study_variogram_figure(study), "variogram of the feed"),),
    )


def heights_section(study: Study, options: ReportOptions) -> ReportSection:
    figure = heights_figure(study.heights, footer=study.stamp)
    return ReportSection("Pile as stacked", images=(figure_image(figure, "pile heights"),))


def cross_sections_section(study: Study, options: ReportOptions) -> ReportSection:
    title = "Cross-sections"
    if study.particles is None and study.layers is None:
        return ReportSection(title, notes=("Simulate with record_particles=True to see cross-sections.",))
    bed = study.bed
    places = (
        ({"z_m": bed.depth_m / 2}, f"along the bed at z = {bed.depth_m / 2:g} m"),
        ({"x_m": bed.length_m / 2}, f"across the bed at x = {bed.length_m / 2:g} m"),
    )
    images = [
        figure_image(cross_section(study, colour=colour, **place), f"section {where}, coloured by {colour}")
        for colour in ("time", options.colour or study.series.names[0])
        for place, where in places
    ]
    if study.layers is not None:
        drawn = "Every layer of the cells the plane passes through, from its bottom to its top"
    else:
        drawn = "Every particle in a slab one cell thick, where it came to rest"
    return ReportSection(
        title,
        notes=(
            f"{drawn}: along the bed's centre line and across its middle, coloured by stacking time and by a "
            "quality value.",
        ),
        images=images,
    )


def view_section(study: Study, options: ReportOptions) -> ReportSection:
    figure = study_view_3d(study, other_bytes=options.page_bytes)
    notes = ["Drag to turn the pile; the slider moves the reclaim face, and the title shows the slice it cuts."]
    if study.layers is not None:
        notes.append("The pile is cut open along its centre line: the points on the cut are drawn in the layers "
                     "behind it, as many in each as its volume's share, each in its layer's colour.")
    elif study.particles is None:
        notes.append("Particles (layers on the layered engine) are shown when the study records them "
                     "(record_particles=True).")
    return ReportSection("3-D view", notes=notes, markup=Markup(view_html(figure, full_html=False)))


SectionMaker = Callable[["Study", ReportOptions], ReportSection]

# The sections of a study report, in order; a module that adds a figure adds its maker here.
STUDY_SECTIONS: list[SectionMaker] = [
    settings_section,
    figures_section,
    targets_section,
    over_time_section,
    variogram_section,
    heights_section,
    cross_sections_section,
    view_section,
]


def study_report(study: Study, path: str | Path, options: ReportOptions | None = None) -> Path:
    """Write the study's report as one self-contained HTML page; return its path."""
    options = ReportOptions() if options is None else options
    if options.colour is not None and options.colour not in study.series.names:
        raise ValueError(f"colour must be one of the quality values {study.series.names}, got {options.colour!r}")
    title = f"Korvex study: {study.describe()}"
    # The 3-D view comes last, so that it can fill the room the rest of the page leaves.
    made = {make: make(study, options) for make in STUDY_SECTIONS if make is not view_section}
    used = len(render_page(title, study.stamp, list(made.values())).encode("utf-8"))
    options = replace(options, page_bytes=used)
    sections = [made[make] if make in made else make(study, options) for make in STUDY_SECTIONS]
    return write_page(path, title, study.stamp, sections)


def write_report(
    study: Study, path: str | Path, *, reclaim_rate_m3_per_h: float | None = None, colour: str | None = None
) -> Path:
    """Write one self-contained HTML page: settings, figures, plots, cross-sections and a 3-D view.

    reclaim_rate_m3_per_h: show the output in time at this rate (a study with a
    reclaimer shows it anyway); colour: the quality value
    the cross-sections show beside stacking time (the first by default).
    Cross-sections and the particles or layers of the 3-D view need
    simulate(..., record_particles=True).
    """
    options = ReportOptions(
        output_time_h=study.output_time_h(reclaim_rate_m3_per_h),
        colour=colour,
        reclaim_rate_m3_per_h=reclaim_rate_m3_per_h,
    )
    return study_report(study, path, options)
