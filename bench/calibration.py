#!/usr/bin/env python3
"""The study behind the default eight-neighbour probability: how far a delivery spreads along the bed.

A small Chevron ridge (30 m x 12 m bed, 4 layers between 3 m tails, 375 m³ in deliveries of 2 m³) is
stacked particle by particle on both engines from the same table: every chunk is cut into rows of one
particle, aimed where the stacker stood. The detailed engine throws each particle with a lateral jitter
of up to +-0.75 m along the bed (uniform); the fast engine's rows get the same jitter in the table, so
that both start from the same aim and the comparison measures what happens after the drop: rolling and
bouncing along the bed. The figure is the root mean square over deliveries of the std of x of their
particles, for deliveries in the body of the ridge (6 m to 24 m), beside the same figure of the aims.

Runs at two resolutions (0.5 m and 1 m particles) to see whether the matching probability depends on
the cell size. Prints the table of docs/resolution.md and the probability that matches at each resolution.

    tools/in-env python3 bench/calibration.py --seeds 3

With --vrr-seeds N it measures instead what the probability does to the figure users decide on: the fast
engine's fair VRR at each probability on the ridge of bench/engines_bench.py (0.333 m cells), seeds 1 to N.
"""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path

import numpy as np

import korvex
from engines_bench import scene
from korvex.engines import delivery_spread_m

LENGTH_M = 30.0
DEPTH_M = 12.0
TAIL_M = 3.0
LAYERS = 4
DELIVERY_M3 = 2.0
DELIVERIES = 188
BODY_M = (6.0, 24.0)
JITTER_M = 0.75
PROBABILITIES = (0.0, 0.25, 0.5, 0.75, 1.0)


def feed() -> korvex.QualitySeries:
    index = np.arange(DELIVERIES, dtype=np.float64)
    return korvex.QualitySeries(index * 10.0, np.full(DELIVERIES, DELIVERY_M3), index[:, None], ("delivery",))


def particle_rows(chunks: korvex.ChunkTable, particles_per_m3: float) -> np.ndarray:
    """The chunks as rows of one particle each, in stacking order, at their chunk's aim."""
    whole = np.floor(np.cumsum(chunks.volume) * particles_per_m3 + 1e-9).astype(np.int64)
    counts = np.diff(np.concatenate([[0], whole]))
    rows = np.repeat(chunks.data, counts, axis=0)
    rows[:, 3] = 1.0 / particles_per_m3
    return rows


def jittered(rows: np.ndarray, seed: int) -> np.ndarray:
    out = rows.copy()
    out[:, 1] += np.random.default_rng(seed).uniform(-JITTER_M, JITTER_M, len(rows))
    return out


def spread(bed: korvex.Bed, rows: np.ndarray, seed: int) -> float:
    pile = korvex.Stockpile(bed, seed=seed, record_particles=True)
    pile.stack(korvex.ChunkTable(rows, ("delivery",)), progress=False)
    return delivery_spread_m(pile.particles(), "delivery", within_m=BODY_M)


def aim_spread(rows: np.ndarray) -> float:
    n = len(rows)
    aims = korvex.Particles(np.arange(n), rows[:, 1], np.zeros(n), rows[:, 2], rows[:, 4:], ("delivery",))
    return delivery_spread_m(aims, "delivery", within_m=BODY_M)


def matching_probability(probabilities: list[float], spreads: list[float], target: float) -> float | None:
    """Where the fast engine's spread, linear between the measured probabilities, meets the target."""
    for (p0, s0), (p1, s1) in zip(zip(probabilities, spreads), zip(probabilities[1:], spreads[1:])):
        if (s0 - target) * (s1 - target) <= 0 and s0 != s1:
            return p0 + (target - s0) * (p1 - p0) / (s1 - s0)
    return None


def vrr_by_probability(seeds: range) -> None:
    series, plan, bed = scene(smoke=False, per_m3=27.0)
    print("| probability | fair VRR, mean ± standard error |")
    print("|---|---|")
    for p in PROBABILITIES:
        on = korvex.Bed(bed.length_m, bed.depth_m, particles_per_m3=27.0, eight_neighbour_probability=p, engine="fast")
        vrr = [
            korvex.simulate(series, plan, on, progress=False, seed=seed, on_excess="ignore").homogenisation()[0].vrr
            for seed in seeds
        ]
        print(f"| {p:g} | {np.mean(vrr):.4f} ± {np.std(vrr, ddof=1) / np.sqrt(len(vrr)):.4f} |", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--edges-m", nargs="+", type=float, default=[1.0, 0.5])
    parser.add_argument("--output", type=Path, default=Path(__file__).parent / "results" / "calibration.json")
    parser.add_argument("--vrr-seeds", type=int, metavar="N", help="measure the fair VRR by probability instead")
    args = parser.parse_args()
    if args.vrr_seeds:
        vrr_by_probability(range(1, args.vrr_seeds + 1))
        return 0

    seeds = range(1, args.seeds + 1)
    results = []
    for edge in args.edges_m:
        ppm3 = edge**-3
        fast_bed = korvex.Bed(LENGTH_M, DEPTH_M, particles_per_m3=ppm3, engine="fast")
        chunks = korvex.Chevron(layers=LAYERS, blending_tail_m=TAIL_M).chunks(feed(), fast_bed)
        rows = particle_rows(chunks, ppm3)
        detailed_bed = korvex.Bed(LENGTH_M, DEPTH_M, particles_per_m3=ppm3, engine="detailed")
        detailed = [spread(detailed_bed, rows, seed) for seed in seeds]
        aims = [aim_spread(jittered(rows, seed)) for seed in seeds]
        print(f"{edge:g} m: {len(rows)} particles; detailed", " ".join(f"{s:.3f}" for s in detailed), flush=True)
        fast = {}
        for p in PROBABILITIES:
            bed = korvex.Bed(LENGTH_M, DEPTH_M, particles_per_m3=ppm3, eight_neighbour_probability=p, engine="fast")
            fast[p] = [spread(bed, jittered(rows, seed), seed) for seed in seeds]
            print(f"{edge:g} m: fast p={p:g}", " ".join(f"{s:.3f}" for s in fast[p]), flush=True)
        target = float(np.mean(detailed))
        match = matching_probability(list(fast), [float(np.mean(v)) for v in fast.values()], target)
        results.append(
            {
                "edge_m": edge,
                "particles": len(rows),
                "aim_spread_m": aims,
                "detailed_spread_m": detailed,
                "fast_spread_m": {str(p): v for p, v in fast.items()},
                "matching_probability": match,
            }
        )
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps({"seeds": list(seeds), "results": results}, indent=2) + "\n", encoding="utf-8")

    print()
    probabilities = " | ".join(f"{p:g}" for p in PROBABILITIES)
    print(f"| cell edge | particles | aim (with jitter) | detailed | fast p = {probabilities} | matching p |")
    print("|---|---|---|---|" + "---|" * len(PROBABILITIES) + "---|")
    for r in results:
        fast_cells = " | ".join(
            f"{np.mean(v):.3f} ± {np.std(v, ddof=1):.3f}" for v in r["fast_spread_m"].values()
        )
        match = "none in [0, 1]" if r["matching_probability"] is None else f"{r['matching_probability']:.2f}"
        print(
            f"| {r['edge_m']:g} m | {r['particles']} | {np.mean(r['aim_spread_m']):.3f} | "
            f"{np.mean(r['detailed_spread_m']):.3f} ± {np.std(r['detailed_spread_m'], ddof=1):.3f} | "
            f"{fast_cells} | {match} |"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
