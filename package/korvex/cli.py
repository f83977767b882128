"""The command line: python -m korvex demo | simulate."""

from __future__ import annotations

import argparse
import csv
import math
from collections import Counter
from collections.abc import Sequence
from dataclasses import fields
from pathlib import Path
from typing import Any

from . import validation
from .bed import Bed, unit
from .chunks import ChunkTable
from .metrics import format_table
from .plans import PLANS, Chevron, ConeShell, StackingPlan
from .ring import Chevcon, RingStudy, is_ring_plan
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
    name = args.plan or ("chevcon" if bed.circular else "chevron")
    settings: dict[str, Any] = {
        option: getattr(args, option) for option in PLAN_OPTIONS if getattr(args, option) is not None
    }
    try:
        plan: StackingPlan = PLAN_CHOICES[name](**settings)
        return plan
    except TypeError:
        raise ValueError(f"the {name} plan takes none of {sorted(settings)}") from None


def _ring_report(study: RingStudy) -> None:
    """Start-up and steady-state figures of a ring run continuously."""
    import numpy as np

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
    print(
        f"Output  {study.reclaim_rate_m3_per_h:,.0f} m³/h in slices of {bed.reclaim_increment_m:g} m, "
        f"{study.output.total_volume_m3:,.0f} m³ in all"
    )
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
        f"Figures compare feed and output cut alike into portions of {study.portion_size_m3:,.0f} m³; "
        "the feed is the part stacked one mean residence earlier than the output"
    )
    print("VRR = variance out / variance in of those portions; E = std in / std out")
    print()


def run_simulate(args: argparse.Namespace) -> int:
    from .study import simulate

    settings = {item.name: getattr(args, item.name) for item in fields(Bed)}
    if args.input is None:
        if not args.circular:
            raise ValueError("give a CSV to stack, or --circular to run the demo feed round a ring")
        defaults = {item.name: item.default for item in fields(Bed)}
        for name, value in DEMO_RING.items():
            if settings[name] == defaults[name]:
                settings[name] = value
    bed = Bed(**settings)
    seed = validation.draw_seed() if args.seed is None else validation.seed(args.seed)
    if args.input is None:
        series = synthetic_series(hours=DEMO_HOURS, interval_s=DEMO_INTERVAL_S, seed=seed)
        return _run_ring(args, _plan(args, bed), bed, series, seed, "demo")
    data = read_csv(
        args.input,
        time_column=args.time_column,
        volume_column=args.volume_column,
        volume_m3=args.volume_m3,
        qualities=args.quality,
    )
    if isinstance(data, ChunkTable):
        given = [option for option in PLAN_OPTIONS if getattr(args, option) is not None]
        if args.plan or given or args.quality or args.portion_m3 is not None:
            raise ValueError(
                f"{args.input} is a table of chunks (it has x, z and volume): it takes no stacking plan "
                "and uses every other column"
            )
        study = simulate(data, None, bed, progress=not args.quiet, seed=seed)
    else:
        plan = _plan(args, bed)
        if is_ring_plan(plan, bed):
            return _run_ring(args, plan, bed, data, seed, args.input.stem)
        if args.portion_m3 is not None:
            raise ValueError("--portion-m3 sets the portions of a ring run continuously (chevcon, cone-shell)")
        study = simulate(data, plan, bed, progress=not args.quiet, seed=seed)

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


def _run_ring(
    args: argparse.Namespace, plan: StackingPlan, bed: Bed, series: QualitySeries, seed: int, stem: str
) -> int:
    from .ring import simulate_ring

    assert isinstance(plan, (Chevcon, ConeShell))
    study = simulate_ring(series, plan, bed, seed=seed, portion_m3=args.portion_m3)
    out = args.output_dir
    written = [study.save_reclaimed(out / f"{stem}-reclaimed.csv"), *study.save_plots(out / stem)]
    if not args.quiet:
        source = "demo feed" if args.input is None else str(args.input)
        print(f"{source}: {study.describe()}")
        print(study.stamp + ("" if args.seed is not None else " (drawn; --seed repeats this run)"))
        print()
        _ring_report(study)
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
    sim.add_argument(
        "input",
        type=Path,
        nargs="?",
        help="CSV of a quality series or of chunks; with --circular and none, the demo feed round a demo ring",
    )
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

    series = sim.add_argument_group("quality series")
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

    plan = sim.add_argument_group("stacking plan")
    plan.add_argument(
        "--plan",
        choices=sorted(PLAN_CHOICES),
        help="default: chevron, or chevcon (continuous) on a circular bed; circular lays whole turns once",
    )
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

    _add_bed_options(sim)
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
