"""The command line: python -m korvex demo | simulate."""

from __future__ import annotations

import argparse
import csv
import sys
import warnings
from collections import Counter
from collections.abc import Sequence
from dataclasses import fields
from pathlib import Path
from typing import TYPE_CHECKING, Any

from . import validation
from .bed import Bed, unit
from .capacity import ON_EXCESS, OverCapacityWarning
from .chunks import ChunkTable
from .equipment import SHIFT_H, Reclaimer
from .metrics import FigureWarning, QualityFigures, format_table
from .plans import PLANS, Chevron, StackingPlan
from .series import QualitySeries, synthetic_series
from .tables import WORKBOOK_SUFFIXES, DateFormat, ReadLimits, read_table
from .theory import check_prediction

if TYPE_CHECKING:
    from .study import Study

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
)


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
    from .plots import save_figure

    bed = Bed(length_m=300.0, depth_m=50.0)
    plan = Chevron(layers=args.layers)
    seed = validation.draw_seed() if args.seed is None else validation.seed(args.seed)
    validation.whole("replicates", args.replicates, 1, DEMO_MAX_REPLICATES)
    series = synthetic_series(hours=DEMO_HOURS, interval_s=DEMO_INTERVAL_S, seed=seed)
    study = _simulate_telling(
        series, plan, bed, progress=not args.quiet, seed=seed, check_resolution=args.check_resolution
    )
    path = save_figure(study.figure(), args.output)
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
    print(f"Run     {study.stamp}")
    return 0


def _replicate_checks(study: Study, figures: Sequence[QualityFigures], replicates: int) -> list[str]:
    """Rerun the study's feed, plan and bed with the next seeds and set the runs' VRR against the prediction."""
    from .study import simulate

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
) -> QualitySeries | ChunkTable:
    """A CSV or Excel workbook of a quality series, or of chunks when it has columns x, z and volume.

    Refuses files with more rows or columns than the limits in validation; a
    message about a row names its line in the file (its row in a sheet) and
    starts with the file's name.
    """
    try:
        workbook = path.suffix.lower() in WORKBOOK_SUFFIXES
        if not workbook:
            with path.open(newline="", encoding="utf-8") as file:
                line = file.readline(HEADER_CHARS + 1)
            if len(line) > HEADER_CHARS:
                raise ValueError(f"line 1 is longer than {HEADER_CHARS:,} characters")
            header = next(csv.reader([line], delimiter=sep), [])
            if len(header) > validation.MAX_COLUMNS:
                raise ValueError(
                    f"line 1 names {len(header):,} columns, more than the {validation.MAX_COLUMNS:,} allowed"
                )
            # pandas would rename a second CaO to CaO.1 and carry on.
            twice = [name for name, count in Counter(header).items() if count > 1]
            if twice:
                raise ValueError(f"line 1 names the column {twice[0]!r} more than once")
        limits = ReadLimits(max_rows=validation.MAX_ROWS, max_columns=validation.MAX_COLUMNS)
        frame = read_table(
            path, sep=sep, decimal=decimal, dates=dates, time_column=time_column, sheet=sheet, limits=limits
        )
        columns = {str(column) for column in frame.columns}
        if {"x", "z", "volume"} <= columns:
            return ChunkTable.from_frame(frame, first_line=CSV_FIRST_LINE)
        return QualitySeries.from_frame(
            frame,
            time_column=time_column,
            volume_column=volume_column,
            volume_m3=volume_m3,
            qualities=qualities,
            first_line=CSV_FIRST_LINE,
            bulk_density_t_per_m3=bulk_density_t_per_m3,
        )
    except (ValueError, csv.Error) as error:
        # The table readers name the file themselves.
        named = str(error).startswith(str(path))
        raise ValueError(str(error) if named else f"{path}: {error}") from None


def _plan(args: argparse.Namespace, bed: Bed) -> StackingPlan:
    name = args.plan or ("circular" if bed.circular else "chevron")
    settings: dict[str, Any] = {
        option: getattr(args, option) for option in PLAN_OPTIONS if getattr(args, option) is not None
    }
    try:
        return PLANS[name](**settings)
    except TypeError:
        raise ValueError(f"the {name} plan takes none of {sorted(settings)}") from None


def run_simulate(args: argparse.Namespace) -> int:
    from .study import simulate

    bed = Bed(**{item.name: getattr(args, item.name) for item in fields(Bed)})
    seed = validation.draw_seed() if args.seed is None else validation.seed(args.seed)
    data = read_csv(
        args.input,
        time_column=args.time_column,
        volume_column=args.volume_column,
        volume_m3=args.volume_m3,
        qualities=args.quality,
        sep=args.sep,
        decimal=args.decimal,
        dates=DateFormat(args.date_format, args.dayfirst),
        sheet=args.sheet,
        bulk_density_t_per_m3=args.bulk_density_t_per_m3,
    )
    plant: dict[str, Any] = {
        "bulk_density_t_per_m3": args.bulk_density_t_per_m3,
        "reclaimer": None if args.reclaim_rate_t_per_h is None else Reclaimer(args.reclaim_rate_t_per_h),
        "on_excess": args.on_excess,
        "check_resolution": args.check_resolution,
    }
    if plant["reclaimer"] is not None and args.bulk_density_t_per_m3 is None:
        raise ValueError("--reclaim-rate-t-per-h needs --bulk-density-t-per-m3: the rate is in tonnes")
    if isinstance(data, ChunkTable):
        given = [option for option in PLAN_OPTIONS if getattr(args, option) is not None]
        if args.plan or given or args.quality:
            raise ValueError(
                f"{args.input} is a table of chunks (it has x, z and volume): it takes no stacking plan "
                "and uses every other column"
            )
        study = _simulate_telling(data, None, bed, progress=not args.quiet, seed=seed, **plant)
    else:
        study = _simulate_telling(data, _plan(args, bed), bed, progress=not args.quiet, seed=seed, **plant)

    stem = args.input.stem
    out = args.output_dir
    written = [study.save_reclaimed(out / f"{stem}-reclaimed.csv"), *study.save_plots(out / stem)]
    intervals = tuple(args.sample_interval_h or (1.0, SHIFT_H))
    if study.reclaimer is not None:
        written.append(study.save_output(out / f"{stem}-output.csv"))
        written.append(study.save_output_plot(out / f"{stem}-output.png", intervals[0]))
        written += [study.save_composites(out / f"{stem}-composites-{h:g}h.csv", h) for h in intervals]
    if args.workbook:
        written.append(study.save_workbook(out / f"{stem}.xlsx", intervals_h=intervals))
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


def _simulate_telling(*args: Any, **settings: Any) -> Any:
    """simulate, with a warning about the bed's capacity or resolution shown on stderr, not raised."""
    from .study import ResolutionWarning, simulate

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
        shown = f"{value:,.4g}" if isinstance(value, float) else f"{value:,}"
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
    sim.add_argument("input", type=Path, help="CSV or Excel workbook (.xlsx) of a quality series or of chunks")
    sim.add_argument(
        "--seed", type=int, help="seed of the engine's random numbers (default: drawn, and reported with the results)"
    )
    sim.add_argument(
        "--composite-m3",
        metavar="M3",
        type=float,
        help="compare composites of about this volume, of whole slices (default: every slice)",
    )

    feed = sim.add_argument_group("feed")
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

    _add_bed_options(sim)
    _add_check_option(sim)

    plan = sim.add_argument_group("stacker")
    plan.add_argument("--plan", choices=sorted(PLANS), help="default: chevron, or circular on a circular bed")
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
        "--workbook", action="store_true", help="also write an Excel workbook: summary, slices, regions, output"
    )
    output.add_argument(
        "--quiet", action="store_true", help="no progress bar and no table; print only the files written"
    )

    sim.set_defaults(run=run_simulate)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        code: int = args.run(args)
    except (ValueError, OSError) as error:
        parser.exit(2, f"{parser.prog}: error: {str(error).strip()}\n")
    except KeyboardInterrupt:
        parser.exit(130, f"{parser.prog}: interrupted\n")
    return code
