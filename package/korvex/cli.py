"""The command line: python -m korvex demo | simulate."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from .bed import ENGINES, Bed
from .metrics import format_table
from .plans import PLANS, Chevron, ChunkTable, StackingPlan
from .series import QualitySeries, synthetic_series

DEMO_OUTPUT = Path("out/korvex-demo.png")
DEMO_SEED = 7
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
    from .pile import simulate
    from .plots import save_figure

    bed = Bed(length_m=300.0, depth_m=50.0)
    plan = Chevron(layers=args.layers)
    series = synthetic_series(hours=DEMO_HOURS, interval_s=DEMO_INTERVAL_S, seed=args.seed)
    study = simulate(series, plan, bed, progress=not args.quiet)
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
        f"{series.total_volume_m3:,.0f} m³ (synthetic, seed {args.seed})"
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
    return 0


def _read_input(path: Path, args: argparse.Namespace) -> QualitySeries | ChunkTable:
    import pandas as pd

    frame = pd.read_csv(path)
    columns = {str(column) for column in frame.columns}
    if {"x", "z", "volume"} <= columns:
        return ChunkTable.from_frame(frame)
    return QualitySeries.from_frame(
        frame, time_column=args.time_column, volume_column=args.volume_column, volume_m3=args.volume_m3
    )


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
    from .pile import simulate
    from .plots import heights_figure, qualities_figure, save_figure

    bed = Bed(
        length_m=args.length_m,
        depth_m=args.depth_m,
        reclaim_angle_deg=args.reclaim_angle_deg,
        particles_per_m3=args.particles_per_m3,
        circular=args.circular,
        engine=args.engine,
        eight_neighbour_probability=args.eight_neighbour_probability,
        particle_volume_factor=args.particle_volume_factor,
        drop_height_m=args.drop_height_m,
        reclaim_step_m=args.reclaim_step_m,
    )
    data = _read_input(args.input, args)
    if isinstance(data, ChunkTable):
        given = [option for option in PLAN_OPTIONS if getattr(args, option) is not None]
        if args.plan or given:
            raise ValueError(f"{args.input} is a table of chunks (it has x, z and volume): it takes no stacking plan")
        study = simulate(data, None, bed, progress=not args.quiet)
    else:
        study = simulate(data, _plan(args, bed), bed, progress=not args.quiet)

    stem = args.input.stem
    out = args.output_dir
    out.mkdir(parents=True, exist_ok=True)
    csv = out / f"{stem}-reclaimed.csv"
    study.reclaimed.to_frame().to_csv(csv, index=False)
    written = [
        csv,
        save_figure(heights_figure(study.heights), out / f"{stem}-heights.png"),
        save_figure(qualities_figure(study.series, study.reclaimed), out / f"{stem}-qualities.png"),
    ]
    if not args.quiet:
        figures = study.homogenisation()
        print(f"{args.input}: {study.describe()}")
        print(f"{study.chunks.total_volume_m3:,.1f} m³ stacked, {study.reclaimed.total_volume_m3:,.1f} m³ reclaimed")
        print()
        print(format_table(figures))
        print()
        print(_legend(study.passes))
        print()
    for path in written:
        print(path)
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m korvex", description="Simulate how a blending bed homogenises bulk material."
    )
    commands = parser.add_subparsers(dest="command", required=True)

    demo = commands.add_parser(
        "demo", help="synthetic raw mix, Chevron on a 300 m x 50 m bed: figures and a plot in seconds"
    )
    demo.add_argument("--output", type=Path, default=DEMO_OUTPUT, help="PNG to write (default: %(default)s)")
    demo.add_argument("--seed", type=int, default=DEMO_SEED, help="seed of the synthetic input (default: %(default)s)")
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

    series = sim.add_argument_group("quality series")
    series.add_argument(
        "--time-column", metavar="NAME", default="timestamp", help="seconds or dates (default: %(default)s)"
    )
    series.add_argument("--volume-column", metavar="NAME", default="volume", help="m³ per row (default: %(default)s)")
    series.add_argument(
        "--volume-m3", metavar="M3", type=float, help="volume of every row, for a series without a volume column"
    )

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

    defaults = Bed()
    bed = sim.add_argument_group("bed")
    bed.add_argument("--length-m", metavar="M", type=float, default=defaults.length_m, help="(default: %(default)s)")
    bed.add_argument("--depth-m", metavar="M", type=float, default=defaults.depth_m, help="(default: %(default)s)")
    bed.add_argument(
        "--reclaim-angle-deg",
        metavar="DEG",
        type=float,
        default=defaults.reclaim_angle_deg,
        help="90 is vertical (default: %(default)s)",
    )
    bed.add_argument(
        "--particles-per-m3",
        metavar="N",
        type=float,
        default=defaults.particles_per_m3,
        help="resolution (default: %(default)s)",
    )
    bed.add_argument("--circular", action="store_true", help="a circular bed")
    bed.add_argument("--engine", choices=ENGINES, default=defaults.engine, help="(default: %(default)s)")
    bed.add_argument(
        "--eight-neighbour-probability",
        metavar="P",
        type=float,
        default=defaults.eight_neighbour_probability,
        help="fast engine (default: %(default)s)",
    )
    bed.add_argument(
        "--particle-volume-factor",
        metavar="F",
        type=float,
        default=defaults.particle_volume_factor,
        help="detailed engine (default: %(default)s)",
    )
    bed.add_argument(
        "--drop-height-m",
        metavar="M",
        type=float,
        default=defaults.drop_height_m,
        help="detailed engine (default: %(default)s)",
    )
    bed.add_argument("--reclaim-step-m", metavar="M", type=float, help="slice length (default: one cell)")
    sim.set_defaults(run=run_simulate)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        code: int = args.run(args)
    except (ValueError, OSError) as error:
        parser.exit(2, f"{parser.prog}: error: {error}\n")
    return code
