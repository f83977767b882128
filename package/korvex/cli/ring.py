"""A ring run continuously from the command line (simulate or report with chevcon, or cone-shell on a
circular bed): its output slices and plots, and its start-up and steady-state figures."""

from __future__ import annotations

import argparse
import math
import sys
import warnings
from typing import Any

import numpy as np

from ..bed import Bed
from ..errors import SettingsError
from ..metrics import format_table
from ..plans import Chevcon, ConeShell, StackingPlan
from ..series import QualitySeries
from ..study import ResolutionWarning, RingStudy, simulate_ring
from ..tables import save_ring_reclaimed


def run_ring(
    args: argparse.Namespace,
    plan: StackingPlan,
    bed: Bed,
    series: QualitySeries,
    seed: int,
    stem: str,
    plant: dict[str, Any] | None = None,
) -> int:
    """Run `plan` continuously round `bed` on `series`; write its slices and plots, print its figures."""
    from ..plots import save_ring_plots

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
        ring_report(study)
    for path in written:
        print(path)
    return 0


def ring_report(study: RingStudy) -> None:
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
        f"Output  {study.reclaim_rate_m3_per_h:,.0f} m³/h{tonnes} in slices of {bed.reclaim_step_m:g} m, "
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

