"""The command line of a live bed: python -m korvex track run | status | correct.

    python -m korvex track run STATE --feed deliveries.csv --follow --bulk-density-t-per-m3 1.5 --layers 200
    python -m korvex track status STATE [--json | --html PAGE [--target LSF=96+-1 --component ...]]
    python -m korvex track correct STATE --target LSF=96+-1 --component high:CaO=50,... --component low:...

`run` starts a bed in the state directory from the bed, plan, stacker and
density options, or resumes the bed there (the options are then those it was
started with), and takes the deliveries that are new in the feed: a CSV file
in the plant's dialect, or "-" for lines on standard input. With --follow it
keeps looking for new lines until stopped (or until --idle-exit-s passes
without one). It can be killed at any moment and run again.
"""

from __future__ import annotations

import argparse
import json
import select
import sys
import time
from collections.abc import Callable
from dataclasses import fields
from pathlib import Path
from typing import Any

from ..bed import Bed
from ..deliveries import Dialect, stream_line
from ..equipment import Stacker
from .. import validation
from ..live import REPLAY_BUDGET_S, STATE_FILE, LiveBed, LiveSettings, bed_correction
from ..live_status import STATUS_JSON, format_status
from .options import PLAN_OPTIONS, add_plan_field_options

# Most lines from standard input taken as one batch.
STDIN_BATCH_LINES = 1000
# Longest wait between looks at the feed, and before stopping for want of a line: a day.
MAX_WAIT_S = 86400.0
# Most feed continuations behind a predicted output: each is a stack of the room left.
MAX_REPLICATES = 100
# Plan fields that the stacker's own options set.
STACKER_PLAN_FIELDS = ("stacker_speed_m_per_min", "turnaround_dwell_s", "blending_tail_m")


def add_track_command(commands: Any, add_bed_options: Callable[[argparse.ArgumentParser], None]) -> None:
    track = commands.add_parser("track", help="follow a bed while it is built, delivery by delivery (a live bed)")
    actions = track.add_subparsers(dest="track_command", required=True)
    run = actions.add_parser("run", help="start or resume a live bed and take the new deliveries")
    run.add_argument("state", type=Path, help="state directory of the bed")
    run.add_argument("--feed", required=True, help="CSV of deliveries that grows line by line, or - for standard input")
    run.add_argument("--follow", action="store_true", help="keep looking for new lines until stopped")
    run.add_argument(
        "--poll-s", type=float, default=1.0, help="seconds between looks with --follow (default: %(default)s)"
    )
    run.add_argument("--idle-exit-s", type=float, help="with --follow: stop after this many seconds without a new line")
    run.add_argument(
        "--replay-budget-s",
        type=float,
        default=REPLAY_BUDGET_S,
        help="CPU seconds of stacking a restart may replay from the journal before a checkpoint is written; "
        "0 writes one after every batch (default: %(default)s)",
    )
    run.add_argument(
        "--replicates", type=int, default=8, help="feed continuations behind the predicted output; 0 for none"
    )
    run.add_argument("--quiet", action="store_true", help="print nothing but errors")
    start = run.add_argument_group("a new bed (ignored when the directory holds one)")
    start.add_argument("--bulk-density-t-per-m3", metavar="T_PER_M3", type=float, help="bulk density [t/m³]")
    start.add_argument(
        "--plan",
        default="chevron",
        help="chevron, windrow, strata or circular; chevcon runs a circular bed continuously (default: %(default)s)",
    )
    add_plan_field_options(start, run.add_argument_group("a ring run continuously (chevcon)"), STACKER_PLAN_FIELDS)
    for item in fields(Stacker):
        start.add_argument("--stacker-" + item.name.replace("_", "-"), dest=f"stacker_{item.name}", type=float)
    start.add_argument("--capacity-t", type=float, help="tonnes the bed takes (default: at the angle of repose)")
    start.add_argument("--max-gap-s", type=float, default=1800.0, help="a longer gap is a stop (default: %(default)s)")
    start.add_argument("--seed", type=int, default=0, help="seed of the engine (default: %(default)s)")
    dialect = run.add_argument_group("the plant's dialect")
    dialect.add_argument("--sep", default=",")
    dialect.add_argument("--decimal", default=".")
    dialect.add_argument("--time-column", default="timestamp")
    dialect.add_argument("--volume-column", default="volume")
    dialect.add_argument("--date-format")
    order = dialect.add_mutually_exclusive_group()
    order.add_argument("--dayfirst", dest="dayfirst", action="store_const", const=True)
    order.add_argument("--monthfirst", dest="dayfirst", action="store_const", const=False)
    dialect.add_argument(
        "--quality",
        action="append",
        help="a quality column (repeat; default: the others holding numbers); also names them on a bed resumed "
        "before its first delivery",
    )
    add_bed_options(run)
    run.set_defaults(run=run_track)

    status = actions.add_parser("status", help="print the status of a live bed")
    status.add_argument("state", type=Path, help="state directory of the bed")
    status.add_argument("--json", action="store_true", help="print status.json as it stands")
    status.add_argument("--html", type=Path, metavar="PATH", help="write the status as a self-contained HTML page")
    status.add_argument(
        "--target", action="append", default=[], help="with --html: a whole-bed target for the feed correction"
    )
    status.add_argument(
        "--component", action="append", default=[], help="with --html: a material to feed (two or more for a mix)"
    )
    status.set_defaults(run=run_status)

    correct = actions.add_parser(
        "correct", help="what the rest of a live bed must average to hit whole-bed targets, and how to mix it"
    )
    correct.add_argument("state", type=Path, help="state directory of the bed")
    correct.add_argument(
        "--target", action="append", required=True, help="a whole-bed target, e.g. LSF=96+-1 or CaO=43.5+-0.3 (repeat)"
    )
    correct.add_argument(
        "--component",
        action="append",
        default=[],
        help="a material to feed, e.g. limestone:CaO=52,SiO2=4,Al2O3=1,Fe2O3=0.5 (two or more for a mix)",
    )
    correct.set_defaults(run=run_correct)


def _settings(args: argparse.Namespace) -> LiveSettings:
    if args.bulk_density_t_per_m3 is None:
        raise ValueError(f"{args.state} holds no bed yet: give --bulk-density-t-per-m3 to start one")
    bed = Bed(**{item.name: getattr(args, item.name) for item in fields(Bed)})
    stacker = Stacker(
        **{
            item.name: getattr(args, f"stacker_{item.name}")
            for item in fields(Stacker)
            if getattr(args, f"stacker_{item.name}") is not None
        }
    )
    names = (name for name in PLAN_OPTIONS if name not in STACKER_PLAN_FIELDS)
    plan_settings = {name: getattr(args, name) for name in names if getattr(args, name) is not None}
    dialect = Dialect(
        sep=args.sep,
        decimal=args.decimal,
        time_column=args.time_column,
        volume_column=args.volume_column,
        date_format=args.date_format,
        dayfirst=args.dayfirst,
        qualities=tuple(args.quality) if args.quality else None,
    )
    return LiveSettings(
        bed=bed,
        bulk_density_t_per_m3=args.bulk_density_t_per_m3,
        stacker=stacker,
        plan=args.plan,
        plan_settings=plan_settings,
        dialect=dialect,
        seed=args.seed,
        capacity_t=args.capacity_t,
        max_gap_s=args.max_gap_s,
    )


def run_track(args: argparse.Namespace) -> int:
    validation.positive("--poll-s", args.poll_s, "s")
    validation.within("--poll-s", args.poll_s, 0, MAX_WAIT_S, "s")
    if args.idle_exit_s is not None:
        validation.within("--idle-exit-s", args.idle_exit_s, 0, MAX_WAIT_S, "s")
    validation.within("--replay-budget-s", args.replay_budget_s, 0, 60, "s")
    validation.whole("--replicates", args.replicates, 0, MAX_REPLICATES)
    if (args.state / STATE_FILE).exists():
        live = LiveBed.open(args.state)
        if args.quality:
            try:
                live.name_qualities(args.quality)
            except BaseException:
                live.close()
                raise
    else:
        live = LiveBed.start(args.state, _settings(args))
    live.status_replicates = args.replicates
    live.replay_budget_s = args.replay_budget_s
    try:
        with live:
            # A fresh status at once: a bed resumed after a crash shows where it stands.
            live.refresh_status()
            if args.feed == "-":
                _follow_stdin(live, args.quiet)
            else:
                _follow_file(live, Path(args.feed), args)
            # Stopping of itself, the tracker leaves a snapshot of all it took: the next start replays nothing.
            live.checkpoint()
            report = live.refresh_status()
    except OSError as error:
        raise OSError(
            error.errno,
            f"{error.strerror or error}; every delivery stacked before is kept in {args.state}: "
            "run the tracker again once the directory can be written",
        ) from None
    if not args.quiet:
        print(format_status(report))
    return 0


def _follow_file(live: LiveBed, feed: Path, args: argparse.Namespace) -> None:
    idle_since = time.monotonic()
    while True:
        taken = live.take_file(feed) if feed.exists() else 0
        _print_notes(live, args.quiet)
        if taken:
            idle_since = time.monotonic()
        if not args.follow:
            return
        if args.idle_exit_s is not None and time.monotonic() - idle_since >= args.idle_exit_s:
            return
        time.sleep(args.poll_s)


def _print_notes(live: LiveBed, quiet: bool) -> None:
    for note in live.take_notes():
        if not quiet:
            print(f"note: {note}", file=sys.stderr)


def _follow_stdin(live: LiveBed, quiet: bool) -> None:
    stream = sys.stdin.buffer
    while True:
        line = stream_line(stream)
        if not line:
            return
        lines = [line]
        # Take what has already arrived with it as one batch.
        while len(lines) < STDIN_BATCH_LINES and select.select([stream], [], [], 0)[0]:
            more = stream_line(stream)
            if not more:
                break
            lines.append(more)
        live.take_lines(lines)
        _print_notes(live, quiet)


def run_correct(args: argparse.Namespace) -> int:
    for line in bed_correction(args.state, args.target, args.component):
        print(line)
    return 0


def run_status(args: argparse.Namespace) -> int:
    path = args.state / STATUS_JSON
    if not path.exists():
        raise ValueError(f"{args.state} holds no status yet: run the tracker there first")
    if (args.target or args.component) and args.html is None:
        raise ValueError("--target and --component go with --html; track correct answers them in text")
    if args.component and not args.target:
        raise ValueError("--component needs --target: a mix is found for targets")
    if args.html is not None:
        from ..live_report import live_report

        print(f"wrote {live_report(args.state, args.html, args.target, args.component)}")
        return 0
    text = path.read_text(encoding="utf-8")
    print(text.rstrip() if args.json else format_status(json.loads(text)))
    return 0
