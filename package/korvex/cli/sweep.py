"""python -m korvex sweep: a grid of study settings over replicate seeds on a Dask cluster, its table,
summary and figure; with --target-vrr, the search for the fewest layers (or slowest stacker) that holds."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from typing import Any

import numpy as np

from ..design import Criterion, criterion_of, judge
from ..errors import SettingsError
from ..sweeps import (
    IN_PROCESS,
    Kiln,
    connect,
    expand,
    plan_runs,
    run_label,
    setting_columns,
    summary_settings,
    sweep,
    sweep_figure,
    varying_columns,
)
from ..tables import write_csv
from .feed_file import sweep_feed
from .options import add_cluster_options, plan_spec, setting
from .terminal import print_failures, print_frame, print_warnings

# Settings whose growth lays more layers, so that the VRR tends to fall as they grow: what a search judges.
SEARCH_SETTINGS = ("layers", "stacker_speed_m_per_min")


def add_sweep_command(commands: Any) -> None:
    parser = commands.add_parser(
        "sweep",
        help="run a grid of study settings over replicate seeds on a Dask cluster: table, summary, plot",
        description="Run every combination of the settings given with --grid (and each --plan), each over "
        "--replicates seeds derived from --seed, on a local Dask cluster or a running one. Settings: plan, the "
        "plans' settings (layers, stacker_speed_m_per_min, rows, ...), the bed's (length_m, depth_m, engine, "
        "...), and for the synthetic feed hours, interval_s, flow_m3_per_h, correlation_time_h, feed_seed.",
    )
    parser.add_argument(
        "--grid",
        metavar="NAME=V1,V2",
        type=setting,
        action="append",
        help="a setting and its values (repeat for more settings; one value fixes it), e.g. --grid layers=10,20,40",
    )
    parser.add_argument(
        "--plan",
        metavar="KIND[:NAME=V,...]",
        type=plan_spec,
        action="append",
        help="a plan and its settings, e.g. windrow:rows=4 (repeat for more; default: chevron)",
    )
    parser.add_argument("--x", metavar="SETTING", help="setting along the plot's x axis (default: the first varied)")
    parser.add_argument(
        "--target-vrr",
        metavar="VRR",
        type=float,
        help="print the fewest --x (layers, or stacker speed) of the grid from which one bed's VRR stays below "
        "VRR over the rest of the grid",
    )
    parser.add_argument(
        "--target-quality",
        metavar="NAME",
        action="append",
        help="a quality value or modulus (LSF, say) that must reach --target-vrr (repeat for more; default: every "
        "one); the one --target-std or --target-share judges",
    )
    kiln = parser.add_argument_group(
        "the kiln's figures", "tabulated with --bulk-density-t-per-m3: the std of the output's composites and the "
        "share of their tonnes in each --target band; a search may be judged on them instead of the VRR"
    )
    kiln.add_argument(
        "--target", metavar="NAME=T+-TOL", action="append", help="a target band, e.g. LSF=96+-2 (repeat for more)"
    )
    kiln.add_argument("--composite-h", metavar="H", type=float, default=1.0,
                      help="the composites' interval (default: %(default)s) [h]")
    judged = kiln.add_mutually_exclusive_group()
    judged.add_argument(
        "--target-std", metavar="STD", type=float,
        help="print the fewest --x from which one bed's std of the --target-quality's composites stays below STD",
    )
    judged.add_argument(
        "--target-share", metavar="SHARE", type=float,
        help="print the fewest --x from which one bed's share of tonnes inside the --target-quality's --target "
        "band stays above SHARE (0 to 1)",
    )
    add_cluster_options(parser, "sweep")
    parser.set_defaults(run=run_sweep)


def grid_of(args: argparse.Namespace) -> list[dict[str, Any]]:
    axes: dict[str, Any] = {}
    for name, values in args.grid or ():
        if name in axes:
            raise SettingsError(f"--grid names {name} twice")
        axes[name] = values if len(values) > 1 else values[0]
    if "plan" in axes and args.plan:
        raise SettingsError("give the plans either with --plan or with --grid plan=...")
    return [{**plan, **axes} for plan in args.plan] if args.plan else [axes]


def x_setting(args: argparse.Namespace, grids: Sequence[dict[str, Any]]) -> str | None:
    if args.x:
        return str(args.x).replace("-", "_")
    axes = [name for grid in grids for name, value in grid.items() if isinstance(value, list)]
    return axes[0] if axes else None

def kiln_of(args: argparse.Namespace) -> Kiln | None:
    """The kiln's figures the options ask for, checked before anything runs; None when none are."""
    if not (args.target or args.target_std is not None or args.target_share is not None):
        return None
    if args.bulk_density_t_per_m3 is None:
        raise SettingsError("--target, --target-std and --target-share need --bulk-density-t-per-m3: the kiln's "
                            "figures are taken over tonnes")
    if args.target_vrr is not None and (args.target_std is not None or args.target_share is not None):
        raise SettingsError("judge a search on one figure: --target-vrr, --target-std or --target-share")
    kiln = Kiln(args.bulk_density_t_per_m3, tuple(args.target or ()), interval_h=args.composite_h)
    criterion_of(None, None, args.target_std, args.target_share, kiln, _one_quality(args))
    return kiln


def _one_quality(args: argparse.Namespace) -> str | list[str] | None:
    names = args.target_quality or []
    return names[0] if len(names) == 1 else names or None


def search_lines(args: argparse.Namespace, table: Any, x: str) -> None:
    """For each line of the sweep, the smallest x of its grid from which --target-vrr (or --target-std,
    --target-share) holds for one bed at the confidence over the rest of the grid, judged on the one-sided
    bound of one bed (korvex.design: a trend through the grid, not bisection)."""
    least = {"layers": "fewest", "stacker_speed_m_per_min": "slowest"}.get(x, "smallest")
    if args.target_vrr is not None:
        criterion = Criterion("vrr", args.target_vrr)
    else:
        criterion = Criterion(*(("composite_std_out", args.target_std) if args.target_std is not None
                                else ("band_share_out", args.target_share)))
    others = varying_columns(table, [name for name in setting_columns(table) if name != x])
    lines = table.groupby(others, dropna=False, sort=False) if others else [(None, table)]
    for _, rows in lines:
        prefix = f"{run_label(rows.iloc[0], others)}: " if others else ""
        grid = sorted(set(rows[x]))
        verdicts = judge(rows, x, quality=_one_quality(args), confidence=args.confidence, criterion=criterion)
        answers = [verdict.value for verdict in verdicts]
        target = criterion.target(verdicts[0].quality if len(verdicts) == 1 else None)
        if any(answer is None for answer in answers):
            never = ", ".join(verdict.quality for verdict in verdicts if verdict.value is None)
            print(f"{prefix}no {x} from {grid[0]:g} to {grid[-1]:g} reaches {target} for one bed "
                  f"with {args.confidence:.0%} confidence over the rest of the grid ({never} from none; "
                  "--target-quality names the figures to judge)")
            continue
        deciding = max((verdict for verdict in verdicts), key=lambda verdict: verdict.value)
        answer = max(answers)
        bound = float(criterion.shown(np.exp(deciding.bound(answer, args.confidence))))
        print(f"{prefix}{least} {x} from which {target} holds for one bed with {args.confidence:.0%} confidence "
              f"up to {grid[-1]:g}: {answer:g} ({deciding.quality}: one bed's {criterion.name} {criterion.better} "
              f"{bound:.3g}, the one-sided bound judged)")


def run_sweep(args: argparse.Namespace) -> int:
    from ..plots import save_figure

    feed, feed_name = sweep_feed(args)
    grids = grid_of(args)
    # Checked before a cluster starts: a typo should cost no worker.
    plan_runs(expand(grids), replicates=args.replicates, seed=args.seed, synthetic_feed=feed is None)
    x = x_setting(args, grids)
    kiln = kiln_of(args)
    searching = args.target_vrr is not None or args.target_std is not None or args.target_share is not None
    if searching and x not in SEARCH_SETTINGS:
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
            "kiln": kiln,
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
            print_frame(summary[shown])
            print_failures(result.failures)
        print_warnings(result.table)
        if searching:
            search_lines(args, result.table, x)
    for path in written:
        print(path)
    return 0



def summary_columns(summary: Any) -> list[str]:
    """The summary's columns worth a terminal's width: the settings that vary, the quality and the VRR and E."""
    varying = varying_columns(summary, summary_settings(summary))
    figures = ["vrr", "vrr_low", "vrr_high", "vrr_sd_operation", "vrr_sd_engine", "effect", "predicted_vrr",
               "composite_std_out", "band_share_out"]
    return [*varying, "quality", "runs", "failed", *(name for name in figures if name in summary.columns)]
