#!/usr/bin/env python3
"""Does the layered engine converge? The fair VRR against its grid edge and its bound on segments per column.

The scenes of bench/resolution.py (the demo's 300 m x 50 m bed, Chevron, reclaim face 45 degrees, 1 m
slices; 120 h of the demo feed, or of one AR(1) quality with correlation time 1 h) at 100, 300 and 600
layers. Each feed seed runs at the grid edge under test with its bound on segments, at half that edge, and
at half that bound; the engine draws nothing, so the seed only draws the feed. Every quality is reported,
for the whole bed and for its body: the slices whose face lies wholly between the stacker's turns
(reclaimer foot from the turn at the start to the turn at the end less the face's run over the pile's
height), where no end cone lies. The body's VRR divides the body's output variance by the same feed
variance as the whole bed's.

Prints the change of each seed's fair VRR on halving the edge and on halving the bound (mean and 95 %
interval over the seeds, Student t) in the docs' form, and writes every run to --output as JSON.

    tools/in-env python3 bench/layered_convergence.py --seeds 3
"""

from __future__ import annotations

import argparse
import json
import math
import sys
import time
from pathlib import Path

import numpy as np

import korvex
from korvex.metrics import homogenisation
from korvex.results import Reclaimed

from resolution import BED_DEPTH_M, BED_LENGTH_M, feed, interval

EDGE_M = 1.0
SEGMENTS = 256
LAYERS = (100, 300, 600)


def body(study: korvex.Study, beyond_runout: bool = False) -> Reclaimed:
    """The slices whose inclined face lies between the stacker's turns from foot to top; with
    `beyond_runout`, also at least the pile's run-out (its height over the slope of repose) from each turn,
    where what the stacker lays at a turn runs down the ridge's end and flanks."""
    reclaimed = study.reclaimed
    height_m = float(study.heights.heights_m.max())
    margin = (study.plan.blending_tail_for(study.bed) or 0.0) + (
        height_m / math.tan(math.radians(study.bed.angle_of_repose_deg)) if beyond_runout else 0.0
    )
    run_m = height_m / math.tan(math.radians(study.bed.reclaim_angle_deg))
    inside = (reclaimed.position_m >= margin) & (reclaimed.position_m <= study.bed.length_m - margin - run_m)
    return Reclaimed(reclaimed.position_m[inside], reclaimed.volume_m3[inside], reclaimed.values[inside], reclaimed.names)


def figures(scene: str, layers: int, edge_m: float, segments: int, seed: int) -> dict:
    bed = korvex.Bed(
        length_m=BED_LENGTH_M,
        depth_m=BED_DEPTH_M,
        engine="layered",
        particles_per_m3=edge_m**-3,
        segments_per_column=segments,
    )
    cpu = time.process_time()
    study = korvex.simulate(feed(scene, seed), korvex.Chevron(layers=layers), bed, progress=False, seed=seed)
    whole = {f.name: f.vrr for f in study.homogenisation()}
    cpu = time.process_time() - cpu
    inner = {f.name: f.vrr for f in homogenisation(study.series, body(study), layers=study.passes)}
    return {"whole": whole, "body": inner, "cpu_s": cpu}


def configurations(edge_m: float, segments: int) -> dict[str, tuple[float, int]]:
    return {"base": (edge_m, segments), "half edge": (edge_m / 2, segments), "half bound": (edge_m, segments // 2)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, default=3, help="feed seeds (default: %(default)s)")
    parser.add_argument("--scenes", nargs="+", default=["demo", "ar1"], choices=["demo", "ar1"])
    parser.add_argument("--layers", nargs="+", type=int, default=list(LAYERS))
    parser.add_argument("--edge-m", type=float, default=EDGE_M, help="grid edge under test (default: %(default)s)")
    parser.add_argument("--segments", type=int, default=SEGMENTS, help="segment bound under test")
    parser.add_argument(
        "--output", type=Path, default=Path(__file__).parent / "results" / "layered-convergence.json"
    )
    parser.add_argument(
        "--merge", nargs="+", type=Path, metavar="JSON", help="tabulate these earlier outputs instead of running"
    )
    args = parser.parse_args()
    if args.merge:
        documents = [json.loads(path.read_text(encoding="utf-8")) for path in args.merge]
        runs = {key: value for document in documents for key, value in document["runs"].items()}
        table(runs, documents[0]["edge_m"], documents[0]["segments"], len(documents[0]["seeds"]))
        return 0

    seeds = list(range(1, args.seeds + 1))
    runs: dict = {}
    for scene in args.scenes:
        for layers in args.layers:
            key = f"{scene} {layers}"
            runs[key] = {}
            for name, (edge, segments) in configurations(args.edge_m, args.segments).items():
                runs[key][name] = [figures(scene, layers, edge, segments, seed) for seed in seeds]
                cpu = sum(run["cpu_s"] for run in runs[key][name])
                print(key, name, f"{edge:g} m, {segments} segments, {cpu:.0f} s CPU", flush=True)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    settings = {"seeds": seeds, "edge_m": args.edge_m, "segments": args.segments}
    args.output.write_text(json.dumps({**settings, "runs": runs}, indent=2) + "\n", encoding="utf-8")
    table(runs, args.edge_m, args.segments, len(seeds))
    return 0


def table(runs: dict, edge_m: float, segments: int, seeds: int) -> None:
    print()
    print(f"Grid edge {edge_m:g} m, {segments} segments a column, {seeds} feed seeds; changes as mean ± 95 %")
    print("| feed | layers | part | quality | fair VRR | change at half the edge | change at half the bound |")
    print("|---|---|---|---|---|---|---|")
    for key, by_configuration in runs.items():
        scene, layers = key.split()
        for part in ("whole", "body"):
            for quality in by_configuration["base"][0][part]:
                base = np.array([run[part][quality] for run in by_configuration["base"]])
                cells = [f"{np.mean(base):.5f}"]
                for other in ("half edge", "half bound"):
                    ratio = np.array([run[part][quality] for run in by_configuration[other]]) / base - 1
                    mean, half = interval(ratio)
                    cells.append(f"{mean:+.1%} ± {half:.1%}" if math.isfinite(half) else f"{mean:+.1%}")
                print(f"| {scene} | {layers} | {part} | {quality} | " + " | ".join(cells) + " |")


if __name__ == "__main__":
    sys.exit(main())
