"""python -m korvex simulate: stack a file (a quality series, or chunks with x, z and volume) by a plan,
reclaim it, and write the slices, plots and, as asked, output series, composites, a workbook and a report;
with --circular and no file, the demo feed round a demo ring."""

from __future__ import annotations

import argparse
from dataclasses import fields
from pathlib import Path
from typing import Any

from ..bed import Bed
from ..capacity import bed_capacity
from ..chunks import ChunkTable
from ..derived import add_derived
from ..composites import SHIFT_STARTS_H, shift_starts
from ..equipment import SHIFT_H, Reclaimer
from ..errors import SettingsError
from ..metrics import format_table
from ..plans import StackingPlan, is_ring_plan
from ..series import QualitySeries, synthetic_series
from ..study import stamp
from ..tables import save_composites, save_output, save_reclaimed, save_workbook, write_csv, write_workbook
from ..twobeds import alternate
from ..validation import draw_seed, positive, seed as checked_seed
from .demo import DEMO_HOURS, DEMO_INTERVAL_S
from .feed_file import read_feed
from .options import (
    PLAN_CHOICES,
    PLAN_OPTIONS,
    add_bed_options,
    add_check_option,
    add_feed_options,
    add_output_dir,
    add_plan_options,
)
from .ring import run_ring
from .terminal import print_figures, simulate_telling, summary_text

# The ring that `simulate --circular` runs the demo feed round when given no input and no geometry:
# 1,000 m³/h fill a pile 30 m wide round a centre line of 251 m in about 56 h.
DEMO_RING = {"length_m": 120.0, "depth_m": 120.0, "ring_radius_m": 40.0, "pile_width_m": 30.0}


def add_simulate_command(commands: Any) -> None:
    sim = commands.add_parser(
        "simulate",
        help="stack a CSV (a quality series, or chunks with x, z, volume), reclaim it, write slices and plots",
    )
    add_study_options(sim)
    sim.add_argument("--report", metavar="PATH", type=Path, help="also write the study's report, one HTML page")
    beds = sim.add_argument_group("two beds in turn")
    beds.add_argument(
        "--beds",
        type=int,
        choices=(1, 2),
        default=1,
        help="2: two beds alike, one stacked while the other is reclaimed (needs the reclaim rate and the bulk "
        "density) (default: %(default)s)",
    )
    beds.add_argument(
        "--capacity-t",
        metavar="T",
        type=float,
        help="with --beds 2: tonnes each bed takes before the feed turns to the other (default: a bed's capacity "
        "at the angle of repose) [t]",
    )
    sim.set_defaults(run=run_simulate)


def plan_of(args: argparse.Namespace, bed: Bed) -> StackingPlan:
    """The plan --plan names, with the plan options given; by default Chevron, or Chevcon on a circular bed."""
    name = args.plan or ("chevcon" if bed.circular else "chevron")
    settings: dict[str, Any] = {
        option: getattr(args, option) for option in PLAN_OPTIONS if getattr(args, option) is not None
    }
    try:
        plan: StackingPlan = PLAN_CHOICES[name](**settings)
        return plan
    except TypeError:
        raise SettingsError(f"the {name} plan takes none of {sorted(settings)}") from None


def run_simulate(args: argparse.Namespace) -> int:
    from ..plots import save_output_plot, save_plots
    from ..report import write_report

    settings = {item.name: getattr(args, item.name) for item in fields(Bed)}
    if args.input is None:
        if not args.circular:
            raise SettingsError("give a CSV to stack, or --circular to run the demo feed round a ring")
        defaults = {item.name: item.default for item in fields(Bed)}
        for name, value in DEMO_RING.items():
            if settings[name] == defaults[name]:
                settings[name] = value
    bed = Bed(**settings)
    seed = draw_seed() if args.seed is None else checked_seed(args.seed)
    if args.input is None:
        series = synthetic_series(hours=DEMO_HOURS, interval_s=DEMO_INTERVAL_S, seed=seed)
        return run_ring(args, plan_of(args, bed), bed, series, seed, "demo")
    data = read_feed(args, args.input)
    plant: dict[str, Any] = {
        "bulk_density_t_per_m3": args.bulk_density_t_per_m3,
        "reclaimer": None if args.reclaim_rate_t_per_h is None else Reclaimer(args.reclaim_rate_t_per_h),
        "on_excess": args.on_excess,
        "record_particles": args.report is not None,
        "check_resolution": args.check_resolution,
        "targets": args.target,
        "reclaim_start_h": args.reclaim_start_h,
        "shift_starts_h": args.shift_starts,
    }
    if plant["reclaimer"] is not None and args.bulk_density_t_per_m3 is None:
        raise SettingsError("--reclaim-rate-t-per-h needs --bulk-density-t-per-m3: the rate is in tonnes")
    if args.beds == 2:
        if isinstance(data, ChunkTable):
            raise SettingsError(f"{args.input} is a table of chunks: two beds split a quality series between them")
        return run_two_beds(args, plan_of(args, bed), bed, data, seed, plant)
    if args.capacity_t is not None:
        raise SettingsError("--capacity-t is what each of two beds takes: give it with --beds 2")
    if isinstance(data, ChunkTable):
        given = [option for option in PLAN_OPTIONS if getattr(args, option) is not None]
        if args.plan or given or args.quality or args.portion_m3 is not None:
            raise SettingsError(
                f"{args.input} is a table of chunks (it has x, z and volume): it takes no stacking plan "
                "and uses every other column"
            )
        study = simulate_telling(data, None, bed, progress=not args.quiet, seed=seed, **plant)
    else:
        plan = plan_of(args, bed)
        if is_ring_plan(plan, bed):
            return run_ring(args, plan, bed, data, seed, args.input.stem, plant)
        if args.portion_m3 is not None:
            raise SettingsError("--portion-m3 sets the portions of a ring run continuously (chevcon, cone-shell)")
        study = simulate_telling(data, plan, bed, progress=not args.quiet, seed=seed, **plant)

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
        print(f"{args.input}: {study.describe()}")
        print(f"{study.chunks.total_volume_m3:,.1f} m³ stacked, {study.reclaimed.total_volume_m3:,.1f} m³ reclaimed")
        print(study.stamp + ("" if args.seed is not None else " (drawn; --seed repeats this run)"))
        print()
        print_figures(study, args.composite_m3)
        print(summary_text(study))
        print()
    for path in written:
        print(path)
    return 0


def run_two_beds(
    args: argparse.Namespace, plan: StackingPlan, bed: Bed, series: QualitySeries, seed: int, plant: dict[str, Any]
) -> int:
    """simulate --beds 2: the feed stacked onto two beds in turn, each reclaimed while the other fills."""
    reclaimer, density = plant["reclaimer"], plant["bulk_density_t_per_m3"]
    if reclaimer is None or density is None:
        raise SettingsError(
            "--beds 2 needs --reclaim-rate-t-per-h and --bulk-density-t-per-m3: a bed is reclaimed while the other "
            "fills, in time"
        )
    if is_ring_plan(plan, bed) or bed.circular:
        raise SettingsError("--beds 2 runs two straight beds; a circular bed is stacked and reclaimed at once")
    refused = [
        option
        for option, given in (
            ("--report", args.report is not None),
            ("--composite-m3", args.composite_m3 is not None),
            ("--check-resolution", args.check_resolution),
            ("--portion-m3", args.portion_m3 is not None),
            ("--reclaim-start-h", args.reclaim_start_h is not None),
        )
        if given
    ]
    if refused:
        raise SettingsError(f"--beds 2 takes none of {refused}: they are of one bed's study")
    if args.capacity_t is None:
        capacity_m3 = bed_capacity(bed, blending_tail_m=plan.blending_tail_for(bed)).volume_m3
    else:
        capacity_m3 = positive("capacity_t", args.capacity_t, "t") / density
    beds = alternate(
        series,
        plan,
        bed,
        capacity_m3=capacity_m3,
        reclaimer=reclaimer,
        bulk_density_t_per_m3=density,
        progress=not args.quiet,
        on_excess=args.on_excess,
        seed=seed,
        targets=args.target,
        shift_starts_h=args.shift_starts,
    )
    stem, out = args.input.stem, args.output_dir
    comments = (stamp(bed.engine, beds.seed), beds.describe())
    output = add_derived(beds.output.frame, beds.derived)
    written = [write_csv(out / f"{stem}-two-beds-output.csv", output, comments=comments)]
    intervals = tuple(args.sample_interval_h or (1.0, SHIFT_H))
    composites = {f"composites {h:g} h": beds.composites(h) for h in intervals}
    written += [
        write_csv(out / f"{stem}-two-beds-{name.replace(' ', '-')}.csv", frame, comments=comments)
        for name, frame in composites.items()
    ]
    if args.workbook:
        import pandas as pd

        run = pd.DataFrame({"item": ["setup", "made by"], "text": [beds.describe(), comments[0]]})
        sheets = {"run": run, "summary": beds.summary(), "figures": beds.figures(), "output": output, **composites}
        written.append(write_workbook(out / f"{stem}-two-beds.xlsx", sheets))
    if not args.quiet:
        print(f"{args.input}: {beds.describe()}")
        drawn = "" if args.seed is not None else " (drawn; --seed repeats this run)"
        print(f"{capacity_m3 * density:,.0f} t a filling; {comments[0]}{drawn}")
        for name in ("combined", *sorted({turn.bed_name for turn in beds.turns})):
            print()
            print("both beds" if name == "combined" else f"bed {name}")
            print(format_table(beds.homogenisation(name)))
        print()
        print(summary_text(beds))
        print()
    for path in written:
        print(path)
    return 0


def shift_starts_option(text: str) -> tuple[float, ...]:
    """--shift-starts as hours after midnight: clock times (06:00) or hours (6), comma-separated."""
    hours = []
    for part in text.split(","):
        clock = part.strip().split(":")
        try:
            if len(clock) > 2:
                raise ValueError(part)
            hour, minute = float(clock[0]), float(clock[1]) if len(clock) == 2 else 0.0
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"--shift-starts reads clock times such as 06:00,14:00,22:00, got {text!r}"
            ) from None
        hours.append(hour + minute / 60)
    try:
        return shift_starts(hours)
    except SettingsError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def add_study_options(sim: argparse.ArgumentParser) -> None:
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

    add_feed_options(sim)

    add_bed_options(sim)
    add_check_option(sim)

    ring = add_plan_options(sim)
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
    reclaimer.add_argument(
        "--reclaim-start-h",
        metavar="H",
        type=float,
        help="when the reclaim starts, after the first delivery (default: when the stacking ends) [h]",
    )
    reclaimer.add_argument(
        "--shift-starts",
        metavar="HH:MM,...",
        type=shift_starts_option,
        default=SHIFT_STARTS_H,
        help="the plant's shifts: with dated deliveries, composites fall on the clock's hours and these shifts "
        "(default: 06:00,14:00,22:00)",
    )

    output = sim.add_argument_group("output")
    add_output_dir(output)
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
        help="a target band, e.g. LSF=96+-2: the shares of hourly composites and of tonnes inside it, before and "
        "after the bed, drawn in the plots and the report (repeat for more)",
    )
    output.add_argument(
        "--workbook", action="store_true", help="also write an Excel workbook: summary, figures, slices, regions, output"
    )
    output.add_argument(
        "--quiet", action="store_true", help="no progress bar and no table; print only the files written"
    )
