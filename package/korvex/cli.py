"""The command line: python -m korvex demo | simulate | sweep | compare."""

from __future__ import annotations

import argparse
import csv
from collections import Counter
from collections.abc import Sequence
from dataclasses import fields
from pathlib import Path
from typing import Any

from . import validation
from .bed import Bed, unit
from .chunks import ChunkTable
from .metrics import format_table
from .plans import PLANS, Chevron, StackingPlan
from .series import QualitySeries, synthetic_series

DEMO_OUTPUT = Path("out/korvex-demo.png")
DEMO_LAYERS = 100

DEMO_HOURS = 120
DEMO_INTERVAL_S = 60.0

# Plan settings on the command line, named as the plans' fields.
PLAN_OPTIONS = (
    "layers",
    "stacker_speed_m_per_min",
    "blending_tail_m",
    "chunk_length_m",
    "rows",
    "cone_step_m",
    "lane_spacing_m",
)


def _legend(layers: float | None) -> str:
    lines = [
        "std   volume-weighted standard deviation; in: per delivery as stacked, out: per slice as reclaimed",
        "VRR   variance out / variance in: the share of the input's variance that the bed left; smaller is better",
        "E     std in / std out: the homogenisation effect; larger is better",
    ]
    if layers:
        lines.insert(
            2, f"      (averaging {layers:.4g} independent layers would give VRR = 1/{layers:.4g} = {1 / layers:.4f})"
        )
    return "\n".join(lines)


def run_demo(args: argparse.Namespace) -> int:
    from .plots import save_figure
    from .study import simulate

    bed = Bed(length_m=300.0, depth_m=50.0)
    plan = Chevron(layers=args.layers)
    seed = validation.draw_seed() if args.seed is None else validation.seed(args.seed)
    series = synthetic_series(hours=DEMO_HOURS, interval_s=DEMO_INTERVAL_S, seed=seed)
    study = simulate(series, plan, bed, progress=not args.quiet, seed=seed)
    path = save_figure(study.figure(), args.output)
    if args.quiet:
        print(path)
        return 0
    figures = study.homogenisation()
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
    print(_legend(study.passes))
    print()
    print(f"Plot    {path}")
    print(f"Run     {study.stamp}")
    return 0


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
) -> QualitySeries | ChunkTable:
    """A CSV of a quality series, or of chunks when it has columns x, z and volume.

    Refuses files with more rows or columns than the limits in validation; a
    message about a row names its line in the file and starts with the file's name.
    """
    import numpy as np
    import pandas as pd

    try:
        with path.open(newline="", encoding="utf-8") as file:
            line = file.readline(HEADER_CHARS + 1)
        if len(line) > HEADER_CHARS:
            raise ValueError(f"line 1 is longer than {HEADER_CHARS:,} characters")
        header = next(csv.reader([line]), [])
        if len(header) > validation.MAX_COLUMNS:
            raise ValueError(f"line 1 names {len(header):,} columns, more than the {validation.MAX_COLUMNS:,} allowed")
        # pandas would rename a second CaO to CaO.1 and carry on.
        twice = [name for name, count in Counter(header).items() if count > 1]
        if twice:
            raise ValueError(f"line 1 names the column {twice[0]!r} more than once")
        # Blank lines are kept as empty rows so that row k stays on line k + 2.
        frame = pd.read_csv(path, nrows=validation.MAX_ROWS + 1, skip_blank_lines=False, low_memory=False)
        filled = np.flatnonzero(frame.notna().any(axis=1).to_numpy())
        frame = frame.iloc[: int(filled[-1]) + 1 if filled.size else 0]
        validation.row_count(len(frame), "the file", validation.MAX_ROWS)
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
        )
    except (ValueError, csv.Error) as error:
        raise ValueError(f"{path}: {error}") from None


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
    )
    if isinstance(data, ChunkTable):
        given = [option for option in PLAN_OPTIONS if getattr(args, option) is not None]
        if args.plan or given or args.quality:
            raise ValueError(
                f"{args.input} is a table of chunks (it has x, z and volume): it takes no stacking plan "
                "and uses every other column"
            )
        study = simulate(data, None, bed, progress=not args.quiet, seed=seed)
    else:
        study = simulate(data, _plan(args, bed), bed, progress=not args.quiet, seed=seed)

    stem = args.input.stem
    out = args.output_dir
    written = [study.save_reclaimed(out / f"{stem}-reclaimed.csv"), *study.save_plots(out / stem)]
    if not args.quiet:
        figures = study.homogenisation()
        print(f"{args.input}: {study.describe()}")
        print(f"{study.chunks.total_volume_m3:,.1f} m³ stacked, {study.reclaimed.total_volume_m3:,.1f} m³ reclaimed")
        print(study.stamp + ("" if args.seed is not None else " (drawn; --seed repeats this run)"))
        print()
        print(format_table(figures))
        print()
        print(_legend(study.passes))
        print()
    for path in written:
        print(path)
    return 0


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


def _add_series_options(parser: argparse.ArgumentParser) -> None:
    """How to read a quality series from a CSV."""
    series = parser.add_argument_group("quality series")
    series.add_argument(
        "--time-column", metavar="NAME", default="timestamp", help="seconds or dates (default: %(default)s)"
    )
    series.add_argument("--volume-column", metavar="NAME", default="volume", help="m³ per row (default: %(default)s)")
    series.add_argument(
        "--volume-m3", metavar="M3", type=float, help="volume of every row, for a series without a volume column"
    )
    series.add_argument(
        "--quality",
        metavar="NAME",
        action="append",
        help="a quality column (repeat for more; default: every column but time and volume)",
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
    demo.add_argument("--quiet", action="store_true", help="no progress bar; print only the PNG's path")
    demo.set_defaults(run=run_demo)

    sim = commands.add_parser(
        "simulate",
        help="stack a CSV (a quality series, or chunks with x, z, volume), reclaim it, write slices and plots",
    )
    sim.add_argument("input", type=Path, help="CSV of a quality series or of chunks")
    sim.add_argument(
        "--output-dir",
        metavar="DIR",
        type=Path,
        default=Path("out"),
        help="folder for the results (default: %(default)s)",
    )
    sim.add_argument("--quiet", action="store_true", help="no progress bar and no table; print only the files written")
    sim.add_argument(
        "--seed", type=int, help="seed of the engine's random numbers (default: drawn, and reported with the results)"
    )

    _add_series_options(sim)

    plan = sim.add_argument_group("stacking plan")
    plan.add_argument("--plan", choices=sorted(PLANS), help="default: chevron, or circular on a circular bed")
    plan.add_argument("--layers", metavar="N", type=int, help="layers to lay (or turns, circular)")
    plan.add_argument(
        "--stacker-speed-m-per-min", metavar="M_PER_MIN", type=float, help="instead of --layers: stacker speed"
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

    _add_bed_options(sim)
    sim.set_defaults(run=run_simulate)
    _add_sweep_commands(commands)
    return parser


# Settings whose growth lays more layers, so that the VRR falls as they grow: what a plan search bisects.
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


def _sweep_feed(args: argparse.Namespace) -> tuple[QualitySeries | None, str | None]:
    if args.feed is None:
        return None, None
    data = read_csv(
        args.feed,
        time_column=args.time_column,
        volume_column=args.volume_column,
        volume_m3=args.volume_m3,
        qualities=args.quality,
    )
    if isinstance(data, ChunkTable):
        raise ValueError(f"{args.feed} is a table of chunks (it has x, z and volume); a sweep needs a quality series")
    return data, args.feed.name


def _grid(args: argparse.Namespace) -> list[dict[str, Any]]:
    axes: dict[str, Any] = {}
    for name, values in args.grid or ():
        if name in axes:
            raise ValueError(f"--grid names {name} twice")
        axes[name] = values if len(values) > 1 else values[0]
    if "plan" in axes and args.plan:
        raise ValueError("give the plans either with --plan or with --grid plan=...")
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


def _search_lines(args: argparse.Namespace, summary: Any, x: str, options: dict[str, Any]) -> None:
    """For each line of the summary, the fewest x reaching --target-vrr: from the grid, then by bisection
    between the last value that misses and the first that reaches."""
    from .sweeps import ONE_LINE, _lines, reaches, search, summary_settings

    settings = summary_settings(summary)
    for label, rows in _lines(summary, x):
        values = sorted(set(rows[x]))
        outcome = [reaches(rows[rows[x] == value], args.target_vrr, args.target_quality) for value in values]
        prefix = f"{label}: " if label != ONE_LINE else ""
        if not any(outcome):
            print(f"{prefix}no {x} up to {values[-1]:g} reaches VRR < {args.target_vrr:g}")
            continue
        first = outcome.index(True)
        if first == 0:
            print(f"{prefix}{x} = {values[0]:g}, the smallest swept, already reaches VRR < {args.target_vrr:g}")
            continue
        low, high = values[first - 1], values[first]
        line = {name: rows.iloc[0][name] for name in settings if name not in (x, "feed")}
        line = {name: value for name, value in line.items() if value is not None and value == value}
        if x == "layers":
            low, high = int(low), int(high)
        found = search(
            x, args.target_vrr, low, high, settings=line, quality=args.target_quality,
            confidence=args.confidence, bracketed=True, **options,
        )
        print(f"{prefix}{found.describe()} (grid: {high:g} reaches, {low:g} does not)")


def run_sweep(args: argparse.Namespace) -> int:
    from .plots import save_figure
    from .sweeps import IN_PROCESS, connect, expand, plan_runs, sweep, sweep_figure

    feed, feed_name = _sweep_feed(args)
    grids = _grid(args)
    # Checked before a cluster starts: a typo should cost no worker.
    plan_runs(expand(grids), replicates=args.replicates, seed=args.seed, synthetic_feed=feed is None)
    x = _x_setting(args, grids)
    if args.target_vrr is not None and x not in SEARCH_SETTINGS:
        raise ValueError(
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
        summary.to_csv(summary_path, index=False)
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
        if args.target_vrr is not None:
            _search_lines(args, summary, x, {**options, "progress": False})
    for path in written:
        print(path)
    return 0


def summary_columns(summary: Any) -> list[str]:
    """The summary's columns worth a terminal's width: the settings that vary, the quality and the VRR and E."""
    from .sweeps import _varying, summary_settings

    varying = _varying(summary, summary_settings(summary))
    figures = ["vrr", "vrr_low", "vrr_high", "effect", "predicted_vrr"]
    return [*varying, "quality", "runs", "failed", *(name for name in figures if name in summary.columns)]


def run_compare(args: argparse.Namespace) -> int:
    from .plots import save_figure
    from .sweeps import IN_PROCESS, comparison_figure, comparison_runs, comparison_table, connect, plan_runs, sweep

    feed, feed_name = _sweep_feed(args)
    fixed: dict[str, Any] = {}
    for name, values in args.set or ():
        if len(values) != 1:
            raise ValueError(f"--set {name} takes one value in a comparison, got {len(values)}")
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
    table.to_csv(table_path)
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
        print(f"mean [{args.confidence:.0%} interval] over {args.replicates} replicates")
        _print_frame(table)
        for _, failure in result.failures.iterrows():
            print(f"failed: replicate {failure['replicate']}, seed {failure['seed']}: {failure['error']}")
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
    feed = parser.add_argument_group("feed")
    feed.add_argument(
        "--feed",
        metavar="CSV",
        type=Path,
        help="a quality series every run stacks (default: the synthetic raw mix of the demo, 120 h at one "
        "delivery a minute, a new realisation per replicate)",
    )
    _add_series_options(parser)


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
        help="print the fewest --x (layers, or stacker speed) whose VRR interval lies below VRR, bisecting "
        "between the grid's values",
    )
    sweep.add_argument(
        "--target-quality",
        metavar="NAME",
        help="the quality value that must reach --target-vrr (default: every one)",
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
    except (ValueError, OSError) as error:
        parser.exit(2, f"{parser.prog}: error: {str(error).strip()}\n")
    except KeyboardInterrupt:
        parser.exit(130, f"{parser.prog}: interrupted\n")
    return code
