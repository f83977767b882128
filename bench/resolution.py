#!/usr/bin/env python3
"""The study behind the package's resolution rule: the fair VRR against the fast engine's cell edge.

Two scenes on the demo's bed (300 m x 50 m, Chevron 100 layers, reclaim face 45 degrees, 1 m slices):

- demo: the demo's feed, 120 h of synthetic raw mix (CaO is reported);
- ar1: 120 h of one AR(1) quality (std 1, correlation time 1 h, no drift).

Every cell edge runs with the same seeds (the seed draws the feed and the engine), so that the change on
halving the cell is measured pair by pair. Prints a table in the form of docs/resolution.md: the mean fair VRR with
its 95 % interval (Student t over the seeds), and the change of each seed's VRR when the cell is halved
and when it goes to the next finer edge measured, as a mean and 95 % interval. Writes the runs to
--output as JSON.

    tools/in-env python3 bench/resolution.py --seeds 4
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from pathlib import Path

import numpy as np
from scipy import stats

import korvex

BED_LENGTH_M = 300.0
BED_DEPTH_M = 50.0
LAYERS = 100
HOURS = 120.0
INTERVAL_S = 60.0
# Halving pairs 1 / 0.5 / 0.25 m and the rule's 50 m / 150 = 0.333 m; its half (1/6 m, 26 million particles
# a run) on request with --edges-m.
EDGES_M = (1.0, 0.5, 1 / 3, 0.25)
AR1 = {"q": korvex.Quality(0.0, 1.0)}
AR1_CORRELATION_TIME_H = 1.0


def feed(scene: str, seed: int) -> korvex.QualitySeries:
    if scene == "demo":
        return korvex.synthetic_series(hours=HOURS, interval_s=INTERVAL_S, seed=seed)
    return korvex.synthetic_series(
        hours=HOURS, interval_s=INTERVAL_S, qualities=AR1, correlation_time_h=AR1_CORRELATION_TIME_H, seed=seed
    )


def fair_vrr(scene: str, edge_m: float, seed: int, layers: int = LAYERS) -> float:
    bed = korvex.Bed(length_m=BED_LENGTH_M, depth_m=BED_DEPTH_M, particles_per_m3=edge_m**-3, engine="fast")
    study = korvex.simulate(feed(scene, seed), korvex.Chevron(layers=layers), bed, progress=False, seed=seed)
    return study.homogenisation()[0].vrr


def interval(values: np.ndarray) -> tuple[float, float]:
    """Mean and half width of its 95 % interval (Student t)."""
    mean = float(np.mean(values))
    if values.size < 2:
        return mean, math.nan
    half = float(stats.t.ppf(0.975, values.size - 1) * np.std(values, ddof=1) / math.sqrt(values.size))
    return mean, half


def change(coarse: np.ndarray, fine: np.ndarray, fine_edge: str) -> str:
    """The change of each seed's VRR from the coarse to the fine cell: mean ± 95 % interval."""
    mean, half = interval(fine / coarse - 1)
    return f"{mean:+.1%} ± {half:.1%} (to {float(fine_edge):.3f} m)"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, default=4, help="seeds per cell edge (default: %(default)s)")
    parser.add_argument("--first-seed", type=int, default=1)
    parser.add_argument("--scenes", nargs="+", default=["demo", "ar1"], choices=["demo", "ar1"])
    parser.add_argument("--edges-m", nargs="+", type=float, default=list(EDGES_M))
    parser.add_argument("--layers", type=int, default=LAYERS, help="Chevron layers (default: %(default)s)")
    parser.add_argument("--output", type=Path, default=Path(__file__).parent / "results" / "resolution.json")
    args = parser.parse_args()

    seeds = range(args.first_seed, args.first_seed + args.seeds)
    runs: dict[str, dict[str, list[float]]] = {}
    for scene in args.scenes:
        runs[scene] = {}
        for edge in args.edges_m:
            runs[scene][f"{edge:.4f}"] = [fair_vrr(scene, edge, seed, args.layers) for seed in seeds]
            print(scene, f"{edge:.3f} m", " ".join(f"{v:.5f}" for v in runs[scene][f"{edge:.4f}"]), flush=True)
    args.output.parent.mkdir(parents=True, exist_ok=True)
    settings = {
        "seeds": list(seeds),
        "layers": args.layers,
        "eight_neighbour_probability": korvex.Bed(engine="fast").eight_neighbour_probability,
    }
    args.output.write_text(json.dumps({**settings, "runs": runs}, indent=2) + "\n", encoding="utf-8")

    print()
    print(f"eight-neighbour probability {settings['eight_neighbour_probability']:g}")
    print("| feed | cell edge | fair VRR, mean ± 95 % | change at half the edge | change at the next finer edge |")
    print("|---|---|---|---|---|")
    for scene, by_edge in runs.items():
        edges = sorted(by_edge, key=float, reverse=True)
        for k, edge in enumerate(edges):
            vrr = np.array(by_edge[edge])
            mean, half = interval(vrr)
            halved = [other for other in edges if abs(float(other) - float(edge) / 2) < 1e-3]
            finer = edges[k + 1 : k + 2]
            changes = [change(vrr, np.array(by_edge[other[0]]), other[0]) if other else "" for other in (halved, finer)]
            print(f"| {scene} | {float(edge):.3f} m | {mean:.5f} ± {half:.5f} | {changes[0]} | {changes[1]} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
