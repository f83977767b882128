"""python -m korvex demo: a synthetic raw mix stacked by Chevron on a 300 m x 50 m bed, its figures, a
plot and a report in seconds; with --replicates, the prediction set against several runs of the engine."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from ..bed import ENGINES, Bed
from ..errors import SettingsError
from ..metrics import QualityFigures
from ..plans import Chevron
from ..series import synthetic_series
from ..study import Study, simulate
from ..theory import check_prediction
from ..validation import draw_seed, seed as checked_seed, whole
from .options import add_check_option
from .terminal import figures_and_notes, print_figures, simulate_telling

DEMO_OUTPUT = Path("out/korvex-demo.png")
DEMO_LAYERS = 100

DEMO_HOURS = 120
# Each replicate is a full run of the demo's engine.
DEMO_MAX_REPLICATES = 20
DEMO_INTERVAL_S = 60.0


def add_demo_command(commands: Any) -> None:
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
        help="fast and detailed engines: runs with seeds SEED, SEED + 1, ... to set the predicted VRR against "
        "(default: 1)",
    )
    demo.add_argument(
        "--engine", choices=ENGINES, help="simulating engine (default: the bed's, layered on the demo's straight bed)"
    )
    demo.add_argument("--quiet", action="store_true", help="no progress bar; print only the PNG's path")
    add_check_option(demo)
    demo.set_defaults(run=run_demo)


def run_demo(args: argparse.Namespace) -> int:
    # plots and report load matplotlib, plotly and jinja2, which a user may lack: a command imports them
    # where it draws, so that the others run without them.
    from ..plots import save_figure, study_figure
    from ..report import write_report

    bed = Bed(length_m=300.0, depth_m=50.0, engine=args.engine)
    plan = Chevron(layers=args.layers)
    seed = draw_seed() if args.seed is None else checked_seed(args.seed)
    whole("replicates", args.replicates, 1, DEMO_MAX_REPLICATES)
    if args.replicates > 1 and bed.engine == "layered":
        raise SettingsError(
            f"replicates = {args.replicates}: the layered engine draws no random numbers, so runs of the same feed "
            "are identical; give --engine fast to set the prediction against several runs"
        )
    series = synthetic_series(hours=DEMO_HOURS, interval_s=DEMO_INTERVAL_S, seed=seed)
    study = simulate_telling(
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
    slices = study.reclaimed.volume_m3 > 0
    print("Korvex demo: how well does a Chevron blending bed even out a cement raw mix?")
    print()
    print(
        f"Input   {len(series)} deliveries of {series.volume_m3[0]:.3g} m³, one a minute for {DEMO_HOURS} h, "
        f"{series.total_volume_m3:,.0f} m³ (synthetic, seed {seed})"
    )
    print(
        f"Bed     straight, 300 m x 50 m, reclaim face at {bed.reclaim_angle_deg:g}°, "
        f"{bed.engine} engine, {bed.cell_size_m:.3g} m cells"
    )
    print(f"Plan    Chevron: {args.layers} layers along the centre line, turning {bed.depth_m / 2:g} m from each end")
    print(
        f"Output  {int(slices.sum())} slices of {bed.reclaim_step_m:g} m, "
        f"{study.reclaimed.total_volume_m3:,.0f} m³ reclaimed"
    )
    print()
    figures = print_figures(study)
    if args.replicates > 1:
        print(f"Check   predicted against {args.replicates} runs of the engine (seeds {seed} on), the same feed:")
        print(*(f"        {line}" for line in replicate_checks(study, figures, args.replicates)), sep="\n")
        print()
    print(f"Plot    {path}")
    print(f"Report  {report} (open it in a browser; it needs no network)")
    print(f"Run     {study.stamp}")
    return 0


def replicate_checks(study: Study, figures: Sequence[QualityFigures], replicates: int) -> list[str]:
    """Rerun the study's feed, plan and bed with the next seeds and set the runs' VRR against the prediction."""
    runs = [{f.name: f.vrr for f in figures}]
    for offset in range(1, replicates):
        rerun = simulate(study.series, study.plan, study.bed, progress=False, seed=study.seed + offset)
        runs.append({f.name: f.vrr for f in figures_and_notes(rerun)[0]})
    predicted = {f.name: f.predicted_vrr for f in figures if f.predicted_vrr is not None}
    return [check.describe() for check in check_prediction(predicted, runs)]
