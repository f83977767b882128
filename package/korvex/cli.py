"""The command line: python -m korvex demo | simulate | report | sweep | compare | track."""

from __future__ import annotations

import argparse
import csv
import math
import sys
import warnings
from collections import Counter
from collections.abc import Sequence
from dataclasses import fields
from pathlib import Path
from typing import Any

import numpy as np

from . import validation
from .bed import Bed, unit
from .capacity import ON_EXCESS, OverCapacityWarning
from .chunks import ChunkTable
from .equipment import SHIFT_H, Reclaimer
from .errors import KorvexError, SettingsError, TableError
from .metrics import FigureWarning, QualityFigures, format_table
from .plans import PLANS, Chevcon, Chevron, ConeShell, StackingPlan, is_ring_plan
from .series import QualitySeries, synthetic_series
from .study import ResolutionWarning, RingStudy, Study, simulate, simulate_ring
from .design import judge
from .sweeps import (
    IN_PROCESS,
    comparison_figure,
    comparison_runs,
    comparison_table,
    connect,
    expand,
    plan_runs,
    run_label,
    setting_columns,
    summary_settings,
    sweep,
    sweep_figure,
    varying_columns,
    warning_counts,
)
from .tables import (
    WORKBOOK_SUFFIXES,
    DateFormat,
    ReadLimits,
    comment_lines,
    read_table,
    save_composites,
    save_output,
    save_reclaimed,
    save_ring_reclaimed,
    save_workbook,
    write_csv,
)
from .theory import check_prediction
from .track_cli import add_track_command

# plots and report load matplotlib, plotly and jinja2, which a user may lack: a command imports them where it
# draws, so that the others run without them.

DEMO_OUTPUT = Path("out/korvex-demo.png")
DEMO_LAYERS = 100

DEMO_HOURS = 120
# Each replicate is a full run of the demo's engine.
DEMO_MAX_REPLICATES = 20
DEMO_INTERVAL_S = 60.0

# Plan settings on the command line, named as the plans' fields.
PLAN_OPTIONS = (
    "layers",
    "stacker_speed_m_per_min",
    "turnaround_dwell_s",
    "blending_tail_m",
    "chunk_length_m",
    "rows",
    "cone_step_m",
    "lane_spacing_m",
    "ramp_length_m",
    "ramp_sector_deg",
    "advance_m_per_min",
    "slew_speed_deg_per_min",
    "slew_speed_m_per_min",
    "stop_s",
    "slew_step_m",
    "reclaimer_lag_m",
    "cone_height_m",
    "cone_volume_m3",
)
# The plans `--plan` names: the stacking plans, and Chevcon, which runs a circular bed continuously.
PLAN_CHOICES: dict[str, type[StackingPlan]] = {**PLANS, "chevcon": Chevcon}

# The ring that `simulate --circular` runs the demo feed round when given no input and no geometry:
# 1,000 m³/h fill a pile 30 m wide round a centre line of 251 m in about 56 h.
DEMO_RING = {"length_m": 120.0, "depth_m": 120.0, "ring_radius_m": 40.0, "pile_width_m": 30.0}


def _legend(figures: Sequence[QualityFigures], layers: float | None) -> str:
    """One line on each figure of the table, the headline first."""
    portion = figures[0].portion_m3 if figures else None
    size = "" if portion is None else f" of about {portion:,.4g} m³"
    lines = [
        f"VRR               variance out / in on portions{size} (the slices; the feed cut into the same volumes); "
        "1 = no blending",
        "E                 std in / std out on those portions: the homogenisation effect; larger is better",
    ]
    if any(f.predicted_vrr is not None for f in figures):
        passes = "" if not layers else f" of {layers:.4g} passes"
        lines.append(
            f"VRR predicted     ideal layering{passes} with this feed: its autocovariance at the lags between layers"
        )
    if any(f.per_delivery_vrr is not None for f in figures):
        lines.append(
            "VRR per delivery  variance per slice / per delivery as stacked: favours slices larger than deliveries"
        )
    return "\n".join(lines)


def _figures(study: Study, composite_m3: float | None = None) -> tuple[tuple[QualityFigures, ...], list[str]]:
    """The study's figures, and what makes them rough, as lines to print rather than warnings."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", FigureWarning)
        figures = study.homogenisation(composite_m3)
    notes = [f"Note    {caught_warning.message}" for caught_warning in caught]
    return figures, notes


def run_demo(args: argparse.Namespace) -> int:
    from .plots import save_figure, study_figure
    from .report import write_report

    bed = Bed(length_m=300.0, depth_m=50.0)
    plan = Chevron(layers=args.layers)
    seed = validation.draw_seed() if args.seed is None else validation.seed(args.seed)
    validation.whole("replicates", args.replicates, 1, DEMO_MAX_REPLICATES)
    series = synthetic_series(hours=DEMO_HOURS, interval_s=DEMO_INTERVAL_S, seed=seed)
    study = _simulate_telling(
        series,
        plan,
        bed,
        progress=not args.quiet,
        seed=seed,
        check_resolution=args.check_resolution,
        record_particles=True,
    )
    path = save_figure(study_figure(study), args.output)
    report = write_report(study, args.output.with_suffix(".html"))
    if args.quiet:
        print(path)
        return 0
    figures, notes = _figures(study)
    slices = study.reclaimed.volume_m3 > 0
    print("Korvex demo: how well does a Chevron blending bed even out a cement raw mix?")
    print()
    print(
        f"Input   {len(series)} deliveries of {series.volume_m3[0]:.3g} m³, one a minute for {DEMO_HOURS} h, "
        f"{series.total_volume_m3:,.0f} m³ (synthetic, seed {seed})"
    )
    print(
        f"Bed     straight, 300 m x 50 m, reclaim face at {bed.reclaim_angle_deg:g}°, "
        f"fast engine, {bed.cell_size_m:g} m cells"
    )
    print(f"Plan    Chevron: {args.layers} layers along the centre line, turning {bed.depth_m / 2:g} m from each end")
    print(
        f"Output  {int(slices.sum())} slices of {bed.reclaim_increment_m:g} m, "
        f"{study.reclaimed.total_volume_m3:,.0f} m³ reclaimed"
    )
    print()
    print(format_table(figures))
    print()
    print(_legend(figures, study.passes))
    print()
    print(*notes, sep="\n", end="\n\n" if notes else "")
    if args.replicates > 1:
        print(f"Check   predicted against {args.replicates} runs of the engine (seeds {seed} on), the same feed:")
        print(*(f"        {line}" for line in _replicate_checks(study, figures, args.replicates)), sep="\n")
        print()
    print(f"Plot    {path}")
    print(f"Report  {report} (open it in a browser; it needs no network)")
    print(f"Run     {study.stamp}")
    return 0


def _replicate_checks(study: Study, figures: Sequence[QualityFigures], replicates: int) -> list[str]:
    """Rerun the study's feed, plan and bed with the next seeds and set the runs' VRR against the prediction."""
    runs = [{f.name: f.vrr for f in figures}]
    for offset in range(1, replicates):
        rerun = simulate(study.series, study.plan, study.bed, progress=False, seed=study.seed + offset)
        runs.append({f.name: f.vrr for f in _figures(rerun)[0]})
    predicted = {f.name: f.predicted_vrr for f in figures if f.predicted_vrr is not None}
    return [check.describe() for check in check_prediction(predicted, runs)]


# Line of a CSV file that holds its first row of data: the header is line 1, as an editor counts.
CSV_FIRST_LINE = 2
# Longest header line read: room for the most columns allowed, with long names.
HEADER_CHARS = 100 * validation.MAX_COLUMNS


def read_csv(
    path: Path,
    *,
    time_column: str | None = "timestamp",
    volume_column: str = "volume",
    volume_m3: float | None = None,
    qualities: Sequence[str] | None = None,
    sep: str = ",",
    decimal: str = ".",
    dates: DateFormat = DateFormat(),
    sheet: str | None = None,
    bulk_density_t_per_m3: float | None = None,
    stop_after_s: float | None = None,
) -> QualitySeries | ChunkTable:
    """A CSV or Excel workbook of a quality series, or of chunks when it has columns x, z and volume.

    Refuses files with more rows or columns than the limits in validation; a
    message about a row names its line in the file (its row in a sheet) and
    starts with the file's name.
    """
    try:
        workbook = path.suffix.lower() in WORKBOOK_SUFFIXES
        # Korvex's own files carry their stamp in comment lines above the header.
        skipped = 0 if workbook else comment_lines(path)
        first_line = CSV_FIRST_LINE + skipped
        if not workbook:
            with path.open(newline="", encoding="utf-8") as file:
                for _ in range(skipped):
                    file.readline()
                line = file.readline(HEADER_CHARS + 1)
            if len(line) > HEADER_CHARS:
                raise TableError(f"line {skipped + 1} is longer than {HEADER_CHARS:,} characters")
            header = next(csv.reader([line], delimiter=sep), [])
            if len(header) > validation.MAX_COLUMNS:
                raise TableError(
                    f"line {skipped + 1} names {len(header):,} columns, "
                    f"more than the {validation.MAX_COLUMNS:,} allowed"
                )
            # pandas would rename a second CaO to CaO.1 and carry on.
            twice = [name for name, count in Counter(header).items() if count > 1]
            if twice:
                raise TableError(f"line {skipped + 1} names the column {twice[0]!r} more than once")
        limits = ReadLimits(max_rows=validation.MAX_ROWS, max_columns=validation.MAX_COLUMNS)
        frame = read_table(
            path, sep=sep, decimal=decimal, dates=dates, time_column=time_column, sheet=sheet, limits=limits
        )
        columns = {str(column) for column in frame.columns}
        if {"x", "z", "volume"} <= columns:
            return ChunkTable.from_frame(frame, first_line=first_line)
        return QualitySeries.from_frame(
            frame,
            time_column=time_column,
            volume_column=volume_column,
            volume_m3=volume_m3,
            qualities=qualities,
            first_line=first_line,
            bulk_density_t_per_m3=bulk_density_t_per_m3,
            stop_after_s=stop_after_s,
        )
    except (ValueError, csv.Error) as error:
        # The table readers name the file themselves.
        named = str(error).startswith(str(path))
        kind = type(error) if isinstance(error, KorvexError) else TableError
        raise kind(str(error) if named else f"{path}: {error}") from None


def _plan(args: argparse.Namespace, bed: Bed) -> StackingPlan:
    name = args.plan or ("chevcon" if bed.circular else "chevron")
    settings: dict[str, Any] = {
        option: getattr(args, option) for option in PLAN_OPTIONS if getattr(args, option) is not None
    }
    try:
        plan: StackingPlan = PLAN_CHOICES[name](**settings)
        return plan
    except TypeError:
        raise SettingsError(f"the {name} plan takes none of {sorted(settings)}") from None


def _ring_report(study: RingStudy) -> None:
    """Start-up and steady-state figures of a ring run continuously."""
    bed, schedule = study.bed, study.schedule
    print(
        f"Ring    centre line of radius {bed.circle_radius_m:g} m ({bed.centre_line_m:.4g} m), pile "
        f"{bed.ring_width_m:g} m wide and {schedule.pile_height_m:.3g} m high, reclaim face {bed.reclaim_angle_deg:g}°"
    )
    advance_m_per_h = schedule.advance_m_per_s * 3600
    if isinstance(study.plan, Chevcon):
        print(
            f"Plan    {study.plan.describe(study.series, bed)}: ramp advancing {advance_m_per_h:.3g} m/h, "
            f"{schedule.layers:.4g} layers; reclaimer {schedule.lag_m:.4g} m behind the front"
        )
    density = study.bulk_density_t_per_m3
    tonnes = "" if density is None else f" ({study.reclaim_rate_m3_per_h * density:,.0f} t/h)"
    print(
        f"Output  {study.reclaim_rate_m3_per_h:,.0f} m³/h{tonnes} in slices of {bed.reclaim_increment_m:g} m, "
        f"{study.output.total_volume_m3:,.0f} m³ in all"
        + ("" if density is None else f", {study.output.total_volume_m3 * density:,.0f} t")
    )
    print(f"Feed    {study.series.flow.describe()}")
    print()
    for phase, what in ((RingStudy.STARTUP, "the reclaimer's first turn"), (RingStudy.STEADY, "until the feed ends")):
        part = study.part(phase)
        if not np.any(part.volume_m3 > 0):
            print(f"{phase}: no output; run the ring longer")
            continue
        figures = study.figures(phase)
        print(
            f"{phase} ({what}): {part.time_s[0] / 3600:.1f} h to {part.time_s[-1] / 3600:.1f} h, "
            f"{figures.volume_m3:,.0f} m³, mean residence {figures.mean_residence_h:.3g} h"
        )
        print(format_table(figures.qualities))
        print()
    predicted = schedule.predicted_residence_s(bed.reclaim_angle_deg) / 3600
    stock = "" if math.isnan(study.mean_stock_m3) else f"; mean stock in steady state {study.mean_stock_m3:,.0f} m³"
    print(
        f"Buffer  the blending tail costs {schedule.ramp_cost_m3:,.0f} m³ of stock (a ramp holds half a full "
        f"pile's length){stock}"
    )
    print(f"Residence  by the geometry {predicted:.3g} h on average")
    print(
        f"Figures compare composites of whole slices of about {study.portion_size_m3:,.0f} m³ with portions of "
        "the same volumes of the feed stacked one mean residence earlier"
    )
    print("VRR = variance out / variance in of those portions; E = std in / std out")
    print()


def run_simulate(args: argparse.Namespace) -> int:
    from .plots import save_output_plot, save_plots
    from .report import write_report

    settings = {item.name: getattr(args, item.name) for item in fields(Bed)}
    if args.input is None:
        if not args.circular:
            raise SettingsError("give a CSV to stack, or --circular to run the demo feed round a ring")
        defaults = {item.name: item.default for item in fields(Bed)}
        for name, value in DEMO_RING.items():
            if settings[name] == defaults[name]:
                settings[name] = value
    bed = Bed(**settings)
    seed = validation.draw_seed() if args.seed is None else validation.seed(args.seed)
    if args.input is None:
        series = synthetic_series(hours=DEMO_HOURS, interval_s=DEMO_INTERVAL_S, seed=seed)
        return _run_ring(args, _plan(args, bed), bed, series, seed, "demo")
    if args.command == "report" and args.report is None:
        args.report = args.output_dir / f"{args.input.stem}-report.html"
    data = _read_feed(args, args.input)
    plant: dict[str, Any] = {
        "bulk_density_t_per_m3": args.bulk_density_t_per_m3,
        "reclaimer": None if args.reclaim_rate_t_per_h is None else Reclaimer(args.reclaim_rate_t_per_h),
        "on_excess": args.on_excess,
        "record_particles": args.report is not None,
        "check_resolution": args.check_resolution,
        "targets": args.target,
    }
    if plant["reclaimer"] is not None and args.bulk_density_t_per_m3 is None:
        raise SettingsError("--reclaim-rate-t-per-h needs --bulk-density-t-per-m3: the rate is in tonnes")
    if isinstance(data, ChunkTable):
        given = [option for option in PLAN_OPTIONS if getattr(args, option) is not None]
        if args.plan or given or args.quality or args.portion_m3 is not None:
            raise SettingsError(
                f"{args.input} is a table of chunks (it has x, z and volume): it takes no stacking plan "
                "and uses every other column"
            )
        study = _simulate_telling(data, None, bed, progress=not args.quiet, seed=seed, **plant)
    else:
        plan = _plan(args, bed)
        if is_ring_plan(plan, bed):
            return _run_ring(args, plan, bed, data, seed, args.input.stem, plant)
        if args.portion_m3 is not None:
            raise SettingsError("--portion-m3 sets the portions of a ring run continuously (chevcon, cone-shell)")
        study = _simulate_telling(data, plan, bed, progress=not args.quiet, seed=seed, **plant)

    stem = args.input.stem
    out = args.output_dir
    written = [save_reclaimed(study, out / f"{stem}-reclaimed.csv"), *save_plots(study, out / stem)]
    intervals = tuple(args.sample_interval_h or (1.0, SHIFT_H))
    if study.reclaimer is not None:
        written.append(save_output(study, out / f"{stem}-output.csv"))
        written.append(save_output_plot(study, out / f"{stem}-output.png", intervals[0]))
        written += [save_composites(study, out / f"{stem}-composites-{h:g}h.csv", h) for h in intervals]
    if args.workbook:
        written.append(save_workbook(study, out / f"{stem}.xlsx", intervals_h=intervals))
    if args.report is not None:
        written.append(write_report(study, args.report))
    if not args.quiet:
        figures, notes = _figures(study, args.composite_m3)
        print(f"{args.input}: {study.describe()}")
        print(f"{study.chunks.total_volume_m3:,.1f} m³ stacked, {study.reclaimed.total_volume_m3:,.1f} m³ reclaimed")
        print(study.stamp + ("" if args.seed is not None else " (drawn; --seed repeats this run)"))
        print()
        print(format_table(figures))
        print()
        print(_legend(figures, study.passes))
        print()
        print(*notes, sep="\n", end="\n\n" if notes else "")
        print(_summary_text(study))
        print()
    for path in written:
        print(path)
    return 0


def _run_ring(
    args: argparse.Namespace,
    plan: StackingPlan,
    bed: Bed,
    series: QualitySeries,
    seed: int,
    stem: str,
    plant: dict[str, Any] | None = None,
) -> int:
    from .plots import save_ring_plots

    assert isinstance(plan, (Chevcon, ConeShell))
    unused = [
        option
        for option, given in (
            ("--workbook", args.workbook),
            ("--composite-m3", args.composite_m3 is not None),
            ("--sample-interval-h", bool(args.sample_interval_h)),
            ("--target", bool(args.target)),
        )
        if given
    ]
    if unused:
        raise SettingsError(
            f"{', '.join(unused)}: not for a ring run continuously, which writes its output slices with their "
            "phase, time and residence; --portion-m3 sets the portions of its figures"
        )
    plant = plant or {}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResolutionWarning)
        study = simulate_ring(
            series,
            plan,
            bed,
            seed=seed,
            portion_m3=args.portion_m3,
            bulk_density_t_per_m3=plant.get("bulk_density_t_per_m3"),
            reclaimer=plant.get("reclaimer"),
        )
    for warning in caught:
        print(f"warning: {warning.message}", file=sys.stderr)
    out = args.output_dir
    written = [save_ring_reclaimed(study, out / f"{stem}-reclaimed.csv"), *save_ring_plots(study, out / stem)]
    if not args.quiet:
        source = "demo feed" if args.input is None else str(args.input)
        print(f"{source}: {study.describe()}")
        print(study.stamp + ("" if args.seed is not None else " (drawn; --seed repeats this run)"))
        print()
        _ring_report(study)
    for path in written:
        print(path)
    return 0


def _simulate_telling(*args: Any, **settings: Any) -> Any:
    """simulate, with a warning about the bed's capacity or resolution shown on stderr, not raised."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", OverCapacityWarning)
        warnings.simplefilter("always", ResolutionWarning)
        study = simulate(*args, **settings)
    for warning in caught:
        print(f"warning: {warning.message}", file=sys.stderr)
    return study


def _summary_text(study: Any) -> str:
    """The study's summary as aligned lines of figure, value and unit."""
    rows = study.summary()
    width = max(len(str(name)) for name in rows["figure"])
    lines = []
    for name, value, unit_ in rows.itertuples(index=False):
        if isinstance(value, float):
            # Tonnes and cubic metres of a plant read as whole numbers, not in powers of ten.
            shown = f"{value:,.0f}" if abs(value) >= 1e4 else f"{value:,.4g}"
        else:
            shown = f"{value:,}"
        lines.append(f"{name:<{width}}  {shown} {unit_}".rstrip())
    return "\n".join(lines)


def _add_bed_options(parser: argparse.ArgumentParser) -> None:
    """One option per Bed field, named, typed and explained by the field itself."""
    group = parser.add_argument_group("bed")
    for item in fields(Bed):
        option = "--" + item.name.replace("_", "-")
        text = str(item.metadata.get("help", ""))
        if isinstance(item.default, bool):
            group.add_argument(option, action="store_true", default=item.default, help=text)
            continue
        if "choices" in item.metadata:
            choices = item.metadata["choices"]
            group.add_argument(option, choices=choices, default=item.default, help=f"{text} (default: %(default)s)")
            continue
        metavar = item.metadata.get("metavar") or unit(item).upper() or "X"
        shown = f" [{unit(item)}]" if unit(item) else ""
        default = f" (default: {item.metadata['unset']})" if item.default is None else " (default: %(default)s)"
        group.add_argument(option, metavar=metavar, type=float, default=item.default, help=f"{text}{shown}{default}")
    group.add_argument(
        "--on-excess",
        choices=ON_EXCESS,
        default="warn",
        help="a feed above the bed's capacity at the engine's angle of repose: warn, refuse or say nothing "
        "(default: %(default)s)",
    )


def _add_check_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--check-resolution",
        action="store_true",
        help="fast engine: rerun at half the cell edge (8x the time) and warn if the fair VRR moves by over 10%%",
    )


def _add_feed_options(parser: argparse.ArgumentParser) -> argparse._ArgumentGroup:
    """How to read a quality series from a CSV or a workbook; the group, for more feed options."""
    feed = parser.add_argument_group("feed")
    feed.add_argument(
        "--time-column", metavar="NAME", default="timestamp", help="seconds or dates (default: %(default)s)"
    )
    feed.add_argument("--volume-column", metavar="NAME", default="volume", help="m³ per row (default: %(default)s)")
    feed.add_argument(
        "--volume-m3", metavar="M3", type=float, help="volume of every row, for a series without a volume column"
    )
    feed.add_argument(
        "--bulk-density-t-per-m3",
        metavar="T_PER_M3",
        type=float,
        help="bulk density: reads a mass column (tonnes, t or mass_t) and reports tonnes [t/m³]",
    )
    feed.add_argument(
        "--quality",
        metavar="NAME",
        action="append",
        help="a quality column (repeat for more; default: every column but time, volume and mass)",
    )
    feed.add_argument(
        "--stop-after-min",
        metavar="MIN",
        type=float,
        help="a gap between rows longer than this is a stop of the feed (default: 30, or three typical gaps)",
    )
    feed.add_argument("--sep", metavar="CHAR", default=",", help="CSV field separator (default: %(default)s)")
    feed.add_argument("--decimal", metavar="CHAR", default=".", help="CSV decimal mark (default: %(default)s)")
    feed.add_argument(
        "--date-format", metavar="FORMAT", help="strptime format of the dates, e.g. '%%d.%%m.%%Y %%H:%%M'"
    )
    order = feed.add_mutually_exclusive_group()
    order.add_argument(
        "--dayfirst", dest="dayfirst", action="store_const", const=True, help="numeric dates put the day first"
    )
    order.add_argument(
        "--monthfirst", dest="dayfirst", action="store_const", const=False, help="numeric dates put the month first"
    )
    feed.add_argument("--sheet", metavar="NAME", help="sheet of a workbook (default: the first)")
    return feed


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m korvex", description="Simulate how a blending bed homogenises bulk material."
    )
    commands = parser.add_subparsers(dest="command", required=True)

    demo = commands.add_parser(
        "demo", help="synthetic raw mix, Chevron on a 300 m x 50 m bed: figures and a plot in seconds"
    )
    demo.add_argument("--output", type=Path, default=DEMO_OUTPUT, help="PNG to write (default: %(default)s)")
    demo.add_argument(
        "--seed",
        type=int,
        help="seed of the synthetic input and the engine (default: drawn, and printed so that the run can be repeated)",
    )
    demo.add_argument("--layers", type=int, default=DEMO_LAYERS, help="Chevron layers (default: %(default)s)")
    demo.add_argument(
        "--replicates",
        metavar="N",
        type=int,
        default=1,
        help="runs of the engine with seeds SEED, SEED + 1, ... to set the predicted VRR against (default: 1)",
    )
    demo.add_argument("--quiet", action="store_true", help="no progress bar; print only the PNG's path")
    _add_check_option(demo)
    demo.set_defaults(run=run_demo)

    sim = commands.add_parser(
        "simulate",
        help="stack a CSV (a quality series, or chunks with x, z, volume), reclaim it, write slices and plots",
    )
    _add_study_options(sim)
    sim.add_argument("--report", metavar="PATH", type=Path, help="also write the study's report, one HTML page")
    sim.set_defaults(run=run_simulate)

    report = commands.add_parser(
        "report",
        help="as simulate, and write one self-contained HTML page: figures, plots, cross-sections, a 3-D view",
    )
    _add_study_options(report)
    report.add_argument(
        "--report", metavar="PATH", type=Path, help="the page to write (default: DIR/INPUT-report.html)"
    )
    report.set_defaults(run=run_simulate)
    _add_sweep_commands(commands)
    add_track_command(commands, _add_bed_options)
    return parser


def _add_study_options(sim: argparse.ArgumentParser) -> None:
    """The options of a study from a file, shared by simulate and report."""
    sim.add_argument(
        "input",
        type=Path,
        nargs="?",
        help="CSV or Excel workbook (.xlsx) of a quality series or of chunks; with --circular and none, the demo "
        "feed round a demo ring",
    )
    sim.add_argument(
        "--seed", type=int, help="seed of the engine's random numbers (default: drawn, and reported with the results)"
    )
    sim.add_argument(
        "--composite-m3",
        metavar="M3",
        type=float,
        help="compare composites of about this volume, of whole slices (default: every slice)",
    )

    _add_feed_options(sim)

    _add_bed_options(sim)
    _add_check_option(sim)

    plan = sim.add_argument_group("stacker")
    plan.add_argument(
        "--plan",
        choices=sorted(PLAN_CHOICES),
        help="default: chevron, or chevcon (continuous) on a circular bed; circular lays whole turns once",
    )
    plan.add_argument("--layers", metavar="N", type=int, help="layers to lay (or turns, circular)")
    plan.add_argument(
        "--stacker-speed-m-per-min",
        metavar="M_PER_MIN",
        type=float,
        help="instead of --layers: travel speed; the layers it lays are reported [m/min]",
    )
    plan.add_argument(
        "--turnaround-dwell-s", metavar="S", type=float, help="stop at each end, with a stacker speed [s]"
    )
    plan.add_argument(
        "--blending-tail-m", metavar="M", type=float, help="length kept free at each end (default: half the depth)"
    )
    plan.add_argument("--chunk-length-m", metavar="M", type=float, help="longest travel per chunk (default: one cell)")
    plan.add_argument("--rows", metavar="N", type=int, help="windrow: windrows side by side")
    plan.add_argument("--cone-step-m", metavar="M", type=float, help="cone-shell: distance between cones")
    plan.add_argument(
        "--lane-spacing-m", metavar="M", type=float, help="strata: distance between passes across the bed"
    )
    ring = sim.add_argument_group("continuous ring (chevcon, or cone-shell on a circular bed)")
    ring.add_argument("--ramp-length-m", metavar="M", type=float, help="blending tail on the centre line")
    ring.add_argument("--ramp-sector-deg", metavar="DEG", type=float, help="instead: the ramp as an angle (default 60)")
    ring.add_argument(
        "--advance-m-per-min",
        metavar="M_PER_MIN",
        type=float,
        help="the ramp's advance (default: the mean feed fills the pile's cross-section)",
    )
    ring.add_argument("--slew-speed-deg-per-min", metavar="DEG_PER_MIN", type=float, help="stacker slew speed")
    ring.add_argument(
        "--slew-speed-m-per-min", metavar="M_PER_MIN", type=float, help="instead: on the centre line (default 10)"
    )
    ring.add_argument("--stop-s", metavar="S", type=float, help="stacker stop at each end of the ramp")
    ring.add_argument("--slew-step-m", metavar="M", type=float, help="movement increment of the stacker")
    ring.add_argument("--reclaimer-lag-m", metavar="M", type=float, help="reclaimer's foot behind the front")
    ring.add_argument("--cone-height-m", metavar="M", type=float, help="cone-shell: height of each cone")
    ring.add_argument("--cone-volume-m3", metavar="M3", type=float, help="cone-shell: instead, volume of each")
    ring.add_argument(
        "--portion-m3",
        metavar="M3",
        type=float,
        help="portions the figures compare (default: an hour of reclaim, at least ten slices and ten deliveries)",
    )

    reclaimer = sim.add_argument_group("reclaimer")
    reclaimer.add_argument(
        "--reclaim-rate-t-per-h",
        metavar="T_PER_H",
        type=float,
        help="reclaim rate: the output as a series in time, with composites (needs the bulk density) [t/h]",
    )

    output = sim.add_argument_group("output")
    output.add_argument(
        "--output-dir",
        metavar="DIR",
        type=Path,
        default=Path("out"),
        help="folder for the results (default: %(default)s)",
    )
    output.add_argument(
        "--sample-interval-h",
        metavar="H",
        type=float,
        action="append",
        help="laboratory composites over this interval (repeat for more; default: 1 and 8, hourly and per shift) [h]",
    )
    output.add_argument(
        "--target",
        metavar="NAME=T+-TOL",
        action="append",
        help="a target band, e.g. LSF=96+-2: the share of hours inside it before and after the bed (repeat for more)",
    )
    output.add_argument(
        "--workbook", action="store_true", help="also write an Excel workbook: summary, slices, regions, output"
    )
    output.add_argument(
        "--quiet", action="store_true", help="no progress bar and no table; print only the files written"
    )


# Settings whose growth lays more layers, so that the VRR tends to fall as they grow: what a search judges.
SEARCH_SETTINGS = ("layers", "stacker_speed_m_per_min")


def _value(text: str) -> Any:
    """A setting's value as typed: a whole number, a number, true or false, or a name."""
    for convert in (int, float):
        try:
            return convert(text)
        except ValueError:
            pass
    return {"true": True, "false": False}.get(text.lower(), text)


def _setting(text: str) -> tuple[str, list[Any]]:
    """NAME=VALUE[,VALUE...] from the command line."""
    name, equals, values = text.partition("=")
    name = name.strip().replace("-", "_")
    if not equals or not name or not values.strip():
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE[,VALUE...], got {text!r}")
    return name, [_value(value.strip()) for value in values.split(",")]


def _plan_spec(text: str) -> dict[str, Any]:
    """KIND[:NAME=VALUE,...], e.g. windrow:rows=4,layers=20."""
    kind, _, rest = text.partition(":")
    settings: dict[str, Any] = {"plan": kind.strip()}
    for part in filter(None, (piece.strip() for piece in rest.split(","))):
        name, values = _setting(part)
        settings[name] = values[0]
    return settings


def _read_feed(args: argparse.Namespace, path: Path) -> QualitySeries | ChunkTable:
    """The file at `path`, read as the feed options say."""
    return read_csv(
        path,
        time_column=args.time_column,
        volume_column=args.volume_column,
        volume_m3=args.volume_m3,
        qualities=args.quality,
        sep=args.sep,
        decimal=args.decimal,
        dates=DateFormat(args.date_format, args.dayfirst),
        sheet=args.sheet,
        bulk_density_t_per_m3=args.bulk_density_t_per_m3,
        stop_after_s=None if args.stop_after_min is None else args.stop_after_min * 60,
    )


def _sweep_feed(args: argparse.Namespace) -> tuple[QualitySeries | None, str | None]:
    if args.feed is None:
        return None, None
    data = _read_feed(args, args.feed)
    if isinstance(data, ChunkTable):
        raise SettingsError(
            f"{args.feed} is a table of chunks (it has x, z and volume); a sweep needs a quality series"
        )
    return data, args.feed.name


def _grid(args: argparse.Namespace) -> list[dict[str, Any]]:
    axes: dict[str, Any] = {}
    for name, values in args.grid or ():
        if name in axes:
            raise SettingsError(f"--grid names {name} twice")
        axes[name] = values if len(values) > 1 else values[0]
    if "plan" in axes and args.plan:
        raise SettingsError("give the plans either with --plan or with --grid plan=...")
    return [{**plan, **axes} for plan in args.plan] if args.plan else [axes]


def _x_setting(args: argparse.Namespace, grids: Sequence[dict[str, Any]]) -> str | None:
    if args.x:
        return str(args.x).replace("-", "_")
    axes = [name for grid in grids for name, value in grid.items() if isinstance(value, list)]
    return axes[0] if axes else None


def _print_frame(frame: Any) -> None:
    import pandas as pd

    with pd.option_context("display.width", 200, "display.max_columns", 30, "display.max_rows", 200):
        print(frame.to_string())


def _search_lines(args: argparse.Namespace, table: Any, x: str) -> None:
    """For each line of the sweep, the smallest x of its grid from which --target-vrr holds for one bed at
    the confidence over the rest of the grid (korvex.design: a trend through the grid, not bisection)."""
    least = {"layers": "fewest", "stacker_speed_m_per_min": "slowest"}.get(x, "smallest")
    others = varying_columns(table, [name for name in setting_columns(table) if name != x])
    lines = table.groupby(others, dropna=False, sort=False) if others else [(None, table)]
    for _, rows in lines:
        prefix = f"{run_label(rows.iloc[0], others)}: " if others else ""
        grid = sorted(set(rows[x]))
        verdicts = judge(rows, x, args.target_vrr, quality=args.target_quality, confidence=args.confidence)
        answers = [verdict.value for verdict in verdicts]
        if any(answer is None for answer in answers):
            never = ", ".join(verdict.quality for verdict in verdicts if verdict.value is None)
            print(f"{prefix}no {x} from {grid[0]:g} to {grid[-1]:g} reaches VRR < {args.target_vrr:g} for one bed "
                  f"with {args.confidence:.0%} confidence over the rest of the grid ({never} from none; "
                  "--target-quality names the figures to judge)")
            continue
        print(f"{prefix}{least} {x} from which VRR < {args.target_vrr:g} holds for one bed with "
              f"{args.confidence:.0%} confidence up to {grid[-1]:g}: {max(answers):g}")


def run_sweep(args: argparse.Namespace) -> int:
    from .plots import save_figure

    feed, feed_name = _sweep_feed(args)
    grids = _grid(args)
    # Checked before a cluster starts: a typo should cost no worker.
    plan_runs(expand(grids), replicates=args.replicates, seed=args.seed, synthetic_feed=feed is None)
    x = _x_setting(args, grids)
    if args.target_vrr is not None and x not in SEARCH_SETTINGS:
        raise SettingsError(
            f"--target-vrr searches over {' or '.join(SEARCH_SETTINGS)}, the settings that lay more layers "
            f"as they grow; vary one with --grid (or name it with --x), not {x}"
        )
    with connect(args.scheduler, workers=args.workers, dashboard=args.dashboard) as client:
        options: dict[str, Any] = {
            "feed": feed,
            "feed_name": feed_name,
            "replicates": args.replicates,
            "seed": args.seed,
            "scheduler": IN_PROCESS if client is None else client,
            "progress": not args.quiet,
        }
        if client is not None and not args.quiet:
            print(f"cluster: {client.scheduler.address}, {len(client.scheduler_info()['workers'])} workers")
        result = sweep(grids, **options)
        summary = result.summary(confidence=args.confidence)
        prefix = args.output_dir / args.name
        written = [*result.save(prefix)]
        summary_path = prefix.with_name(f"{prefix.name}-summary.csv")
        write_csv(summary_path, summary)
        written.append(summary_path)
        if x is not None and (summary["runs"] > 0).any():
            figure = sweep_figure(summary, x, figure=args.figure, target_vrr=args.target_vrr, footer=result.stamp)
            written.append(save_figure(figure, prefix.with_name(f"{prefix.name}-{args.figure}-by-{x}.png")))
        if not args.quiet:
            print(repr(result))
            shown = summary_columns(summary)
            _print_frame(summary[shown])
            for _, failure in result.failures.iterrows():
                print(f"failed: replicate {failure['replicate']}, seed {failure['seed']}: {failure['error']}")
        _print_warnings(result.table)
        if args.target_vrr is not None:
            _search_lines(args, result.table, x)
    for path in written:
        print(path)
    return 0


def _print_warnings(table: Any) -> None:
    """The runs' warnings, counted per setting, on stderr: the table's column is not where users look."""
    lines = warning_counts(table)
    if lines:
        print("warnings, per setting (the table's warning column has every message):", file=sys.stderr)
        for line in lines:
            print(f"  {line}", file=sys.stderr)


def summary_columns(summary: Any) -> list[str]:
    """The summary's columns worth a terminal's width: the settings that vary, the quality and the VRR and E."""
    varying = varying_columns(summary, summary_settings(summary))
    figures = ["vrr", "vrr_low", "vrr_high", "vrr_sd_operation", "vrr_sd_engine", "effect", "predicted_vrr"]
    return [*varying, "quality", "runs", "failed", *(name for name in figures if name in summary.columns)]


def run_compare(args: argparse.Namespace) -> int:
    from .plots import save_figure

    feed, feed_name = _sweep_feed(args)
    fixed: dict[str, Any] = {}
    for name, values in args.set or ():
        if len(values) != 1:
            raise SettingsError(f"--set {name} takes one value in a comparison, got {len(values)}")
        fixed[name] = values[0]
    runs = comparison_runs(args.plan, fixed)
    # Checked before a cluster starts: a typo should cost no worker.
    plan_runs(runs, replicates=args.replicates, seed=args.seed, synthetic_feed=feed is None)
    with connect(args.scheduler, workers=args.workers, dashboard=args.dashboard) as client:
        result = sweep(
            runs=runs,
            feed=feed,
            feed_name=feed_name,
            replicates=args.replicates,
            seed=args.seed,
            scheduler=IN_PROCESS if client is None else client,
            progress=not args.quiet,
        )
    summary = result.summary(confidence=args.confidence)
    table = comparison_table(summary)
    prefix = args.output_dir / args.name
    written = [*result.save(prefix)]
    table_path = prefix.with_name(f"{prefix.name}-table.csv")
    write_csv(table_path, table.reset_index())
    written.append(table_path)
    if (summary["runs"] > 0).any():
        written.append(
            save_figure(
                comparison_figure(summary, figure=args.figure, footer=result.stamp),
                prefix.with_name(f"{prefix.name}-{args.figure}.png"),
            )
        )
    if not args.quiet:
        print(repr(result))
        print(
            f"mean [{args.confidence:.0%} interval] over {args.replicates} replicates (one bed's spread from the "
            "stacker's operation and from the engine, as standard deviations)"
        )
        _print_frame(table)
        for _, failure in result.failures.iterrows():
            print(f"failed: replicate {failure['replicate']}, seed {failure['seed']}: {failure['error']}")
    _print_warnings(result.table)
    for path in written:
        print(path)
    return 0


def _add_cluster_options(parser: argparse.ArgumentParser, name: str) -> None:
    runs = parser.add_argument_group("runs and where they run")
    runs.add_argument(
        "--replicates", metavar="N", type=int, default=5, help="runs of every setting (default: %(default)s)"
    )
    runs.add_argument(
        "--seed",
        type=int,
        default=0,
        help="the sweep's seed; every run's seed is derived from it (default: %(default)s)",
    )
    runs.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="a running Dask scheduler, e.g. tcp://host:8786; 'in-process' for no Dask "
        "(default: a local cluster, one worker process per core)",
    )
    runs.add_argument("--workers", metavar="N", type=int, help="worker processes of the local cluster")
    runs.add_argument("--dashboard", action="store_true", help="serve the local cluster's dashboard on port 8787")
    out = parser.add_argument_group("output")
    out.add_argument(
        "--output-dir",
        metavar="DIR",
        type=Path,
        default=Path("out"),
        help="folder for the results (default: %(default)s)",
    )
    out.add_argument("--name", default=name, help="stem of the files written (default: %(default)s)")
    out.add_argument(
        "--figure",
        choices=("vrr", "effect", "std_out", "passes"),
        default="vrr",
        help="figure to plot (default: %(default)s)",
    )
    out.add_argument(
        "--confidence",
        metavar="P",
        type=float,
        default=0.95,
        help="of the intervals over replicates (default: %(default)s)",
    )
    out.add_argument("--quiet", action="store_true", help="no progress bar and no table; print only the files written")
    feed = _add_feed_options(parser)
    feed.add_argument(
        "--feed",
        metavar="CSV",
        type=Path,
        help="a quality series every run stacks (default: the synthetic raw mix of the demo, 120 h at one "
        "delivery a minute, a new realisation per replicate)",
    )


def _add_sweep_commands(commands: Any) -> None:
    sweep = commands.add_parser(
        "sweep",
        help="run a grid of study settings over replicate seeds on a Dask cluster: table, summary, plot",
        description="Run every combination of the settings given with --grid (and each --plan), each over "
        "--replicates seeds derived from --seed, on a local Dask cluster or a running one. Settings: plan, the "
        "plans' settings (layers, stacker_speed_m_per_min, rows, ...), the bed's (length_m, depth_m, engine, "
        "...), and for the synthetic feed hours, interval_s, flow_m3_per_h, correlation_time_h, feed_seed.",
    )
    sweep.add_argument(
        "--grid",
        metavar="NAME=V1,V2",
        type=_setting,
        action="append",
        help="a setting and its values (repeat for more settings; one value fixes it), e.g. --grid layers=10,20,40",
    )
    sweep.add_argument(
        "--plan",
        metavar="KIND[:NAME=V,...]",
        type=_plan_spec,
        action="append",
        help="a plan and its settings, e.g. windrow:rows=4 (repeat for more; default: chevron)",
    )
    sweep.add_argument("--x", metavar="SETTING", help="setting along the plot's x axis (default: the first varied)")
    sweep.add_argument(
        "--target-vrr",
        metavar="VRR",
        type=float,
        help="print the fewest --x (layers, or stacker speed) of the grid from which one bed's VRR stays below "
        "VRR over the rest of the grid",
    )
    sweep.add_argument(
        "--target-quality",
        metavar="NAME",
        action="append",
        help="a quality value or modulus (LSF, say) that must reach --target-vrr (repeat for more; default: every "
        "one)",
    )
    _add_cluster_options(sweep, "sweep")
    sweep.set_defaults(run=run_sweep)

    compare = commands.add_parser(
        "compare",
        help="two to six plans side by side on the same feed and bed, over replicate seeds: one table, one figure",
    )
    compare.add_argument(
        "--plan",
        metavar="KIND[:NAME=V,...]",
        type=_plan_spec,
        action="append",
        required=True,
        help="a plan and its settings, e.g. chevron:layers=100 or windrow:rows=4,layers=20 (2 to 6 times)",
    )
    compare.add_argument(
        "--set",
        metavar="NAME=VALUE",
        type=_setting,
        action="append",
        help="a setting for every plan, e.g. length_m=200",
    )
    _add_cluster_options(compare, "compare")
    compare.set_defaults(run=run_compare)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        code: int = args.run(args)
    except (KorvexError, ValueError, OSError) as error:
        parser.exit(2, f"{parser.prog}: error: {str(error).strip()}\n")
    except KeyboardInterrupt:
        parser.exit(130, f"{parser.prog}: interrupted\n")
    return code
