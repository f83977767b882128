#!/usr/bin/env python3
"""Is the layered engine faithful? Its fair VRR against ideal layering, and against the detailed engine.

ideal: the demo's 300 m x 50 m bed, Chevron, 45 degree face, 1 m slices, 120 h of one AR(1) quality (std 1)
with correlation times 0.1, 0.5 and 2 h, at 100 and 300 layers. The body's fair VRR (the slices of
bench/layered_convergence.py's body, a further run-out of the pile from each turn: there what the stacker
lays while it turns runs down the ridge's end and flanks) is set against the VRR that ideal layering of the same feed by the
same plan gives the same portions (korvex.theory.predicted_vrr: every pass lays an equal share of the
feed where the stacker is).

A vertical face (--reclaim-angle-deg 90) compares like with like: ideal layering knows no inclined face,
and an inclined one averages along the bed as well, which lowers the VRR of feeds that vary over a
stretch of the bed shorter than the face's run.

detailed: the scene of bench/engines_bench.py (40 m x 12 m, 20 Chevron layers between 4 m tails, 375 m3 of
one AR(1) quality, 27 particles per m3: boxes and cells of a third of a metre) on the detailed engine, and
on the layered engine at the angle of repose measured on the detailed engine's ridges. The fair VRR is
taken on composites of whole slices holding at least 600 boxes each; the ridges' crest line (centroid
across the bed), crest height (mean over the body) and base width (footprint over the body's length) are
compared in boxes.

    tools/in-env python3 bench/layered_faithfulness.py --part ideal --seeds 2
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from pathlib import Path

import numpy as np

import korvex
from korvex.capacity import measured_angle_deg, ridge_shape
from korvex.engines import pile_shape
from korvex.metrics import homogenisation
from korvex.theory import Layering, predicted_vrr

from engines_bench import scene as engines_scene
from layered_convergence import body
from resolution import BED_DEPTH_M, BED_LENGTH_M, HOURS, INTERVAL_S

CORRELATION_TIMES_H = (0.1, 0.5, 2.0)
LAYERS = (100, 300)
BOXES_PER_PORTION = 600
PARTICLES_PER_M3 = 27.0


def ideal(seeds: list[int], layers_list: list[int], reclaim_angle_deg: float) -> dict:
    runs: dict = {}
    for tau in CORRELATION_TIMES_H:
        for layers in layers_list:
            key = f"tau {tau:g} h, {layers} layers"
            runs[key] = []
            for seed in seeds:
                series = korvex.synthetic_series(
                    hours=HOURS,
                    interval_s=INTERVAL_S,
                    qualities={"q": korvex.Quality(0.0, 1.0)},
                    correlation_time_h=tau,
                    seed=seed,
                )
                bed = korvex.Bed(
                    length_m=BED_LENGTH_M, depth_m=BED_DEPTH_M, engine="layered", reclaim_angle_deg=reclaim_angle_deg
                )
                plan = korvex.Chevron(layers=layers)
                study = korvex.simulate(series, plan, bed, progress=False, seed=seed)
                inner = homogenisation(series, body(study, beyond_runout=True), layers=study.passes)[0]
                whole = study.homogenisation()[0]
                layering = Layering.of(plan, series, bed)
                runs[key].append(
                    {
                        "body_vrr": inner.vrr,
                        "whole_vrr": whole.vrr,
                        "ideal_vrr_body_portion": predicted_vrr(series, layering, inner.portion_m3)["q"],
                        "ideal_vrr_whole_portion": predicted_vrr(series, layering, whole.portion_m3)["q"],
                    }
                )
            first = runs[key][-1]
            print(key, {name: round(value, 6) for name, value in first.items()}, flush=True)
    return runs


def ridge(study: korvex.Study) -> dict:
    shape = pile_shape(study.heights)
    body_shape = ridge_shape(study.heights)
    footprint_body = np.count_nonzero(study.heights.heights_m > 0, axis=0) * study.heights.cell_size_m
    return {
        "centre_z_m": shape.centre_z_m,
        "crest_m": body_shape.height_m,
        "base_width_m": float(np.median(footprint_body[footprint_body > 0.5 * footprint_body.max()])),
        "angle_deg": measured_angle_deg(study.heights),
    }


def detailed(seeds: list[int]) -> dict:
    series, plan, bed = engines_scene(False, PARTICLES_PER_M3)
    composite_m3 = BOXES_PER_PORTION / PARTICLES_PER_M3
    runs: dict = {"detailed": [], "layered": []}
    for seed in seeds:
        on_detailed = korvex.Bed(bed.length_m, bed.depth_m, particles_per_m3=PARTICLES_PER_M3, engine="detailed")
        study = korvex.simulate(series, plan, on_detailed, progress=False, seed=seed, on_excess="ignore")
        runs["detailed"].append({"vrr": study.homogenisation(composite_m3)[0].vrr, **ridge(study)})
        print("detailed", seed, runs["detailed"][-1], flush=True)
    angle = float(np.mean([run["angle_deg"] for run in runs["detailed"]]))
    for seed in seeds:
        on_layered = korvex.Bed(
            bed.length_m, bed.depth_m, particles_per_m3=PARTICLES_PER_M3, engine="layered", angle_of_repose_deg=angle
        )
        study = korvex.simulate(series, plan, on_layered, progress=False, seed=seed, on_excess="ignore")
        runs["layered"].append({"vrr": study.homogenisation(composite_m3)[0].vrr, **ridge(study)})
        print("layered", seed, runs["layered"][-1], flush=True)
    return {"box_m": on_detailed.cell_size_m, "composite_m3": composite_m3, "layered_angle_deg": angle, **runs}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--part", choices=["ideal", "detailed"], required=True)
    parser.add_argument("--seeds", type=int, default=2)
    parser.add_argument("--layers", nargs="+", type=int, default=list(LAYERS))
    parser.add_argument(
        "--reclaim-angle-deg",
        type=float,
        default=45.0,
        help="ideal: the face's slope; ideal layering knows only a vertical one (90), which averages nothing "
        "along the bed (default: %(default)s)",
    )
    parser.add_argument("--output", type=Path)
    args = parser.parse_args()
    seeds = list(range(1, args.seeds + 1))
    suffix = f"-{args.reclaim_angle_deg:g}deg" if args.part == "ideal" else ""
    output = args.output or Path(__file__).parent / "results" / f"layered-{args.part}{suffix}.json"
    if args.part == "ideal":
        runs = ideal(seeds, args.layers, args.reclaim_angle_deg)
        print("| AR(1) correlation time, layers | body fair VRR | ideal layering | body / ideal | whole fair VRR | whole / ideal |")
        print("|---|---|---|---|---|---|")
        for key, entries in runs.items():
            mean = {name: float(np.mean([e[name] for e in entries])) for name in entries[0]}
            print(
                f"| {key} | {mean['body_vrr']:.5f} | {mean['ideal_vrr_body_portion']:.5f} | "
                f"{mean['body_vrr'] / mean['ideal_vrr_body_portion']:.2f} | {mean['whole_vrr']:.5f} | "
                f"{mean['whole_vrr'] / mean['ideal_vrr_whole_portion']:.2f} |"
            )
    else:
        runs = detailed(seeds)
        box = runs["box_m"]
        print(f"boxes of {box:.3f} m, composites of {runs['composite_m3']:.1f} m3, layered angle {runs['layered_angle_deg']:.1f} deg")
        print("| engine | fair VRR | crest line | crest height | base width |")
        print("|---|---|---|---|---|")
        for engine in ("detailed", "layered"):
            mean = {name: float(np.mean([e[name] for e in runs[engine]])) for name in runs[engine][0]}
            print(
                f"| {engine} | {mean['vrr']:.4f} | {mean['centre_z_m']:.2f} m | {mean['crest_m']:.2f} m | "
                f"{mean['base_width_m']:.2f} m |"
            )
    output.parent.mkdir(parents=True, exist_ok=True)
    settings = {"seeds": seeds, "reclaim_angle_deg": args.reclaim_angle_deg} if args.part == "ideal" else {"seeds": seeds}
    output.write_text(json.dumps({**settings, "runs": runs}, indent=2) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
