"""python -m korvex compare: two to six plans side by side on the same feed and bed, over replicate seeds:
one table, one figure."""

from __future__ import annotations

import argparse
from typing import Any

from ..errors import SettingsError
from ..sweeps import IN_PROCESS, comparison_figure, comparison_runs, comparison_table, connect, plan_runs, sweep
from ..tables import write_csv
from .feed_file import sweep_feed
from .options import add_cluster_options, plan_spec, setting
from .terminal import print_failures, print_frame, print_warnings


def add_compare_command(commands: Any) -> None:
    parser = commands.add_parser(
        "compare",
        help="two to six plans side by side on the same feed and bed, over replicate seeds: one table, one figure",
    )
    parser.add_argument(
        "--plan",
        metavar="KIND[:NAME=V,...]",
        type=plan_spec,
        action="append",
        required=True,
        help="a plan and its settings, e.g. chevron:layers=100 or windrow:rows=4,layers=20 (2 to 6 times)",
    )
    parser.add_argument(
        "--set",
        metavar="NAME=VALUE",
        type=setting,
        action="append",
        help="a setting for every plan, e.g. length_m=200",
    )
    add_cluster_options(parser, "compare")
    parser.set_defaults(run=run_compare)


def run_compare(args: argparse.Namespace) -> int:
    from ..plots import save_figure

    feed, feed_name = sweep_feed(args)
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
        print_frame(table)
        print_failures(result.failures)
    print_warnings(result.table)
    for path in written:
        print(path)
    return 0
