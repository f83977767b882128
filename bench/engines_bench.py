#!/usr/bin/env python3
"""The two engines side by side: the same Chevron plan and feed, the fair VRR and the pile's shape.

A 40 m x 12 m bed at 27 particles per m³ (cells and boxes of a third of a metre), 20 Chevron layers between
4 m tails, 375 m³ of one AR(1) quality (about 10,000 particles), stacked on both engines with the same seeds.
At 8 particles per m³ (--particles-per-m3 8, boxes of 0.5 m) the detailed engine is not converged: its
coarse boxes lay uneven layers, and its VRR reads about twice what finer boxes give. Each engine is one
benchmark whose counters are the means over the seeds of the fair VRR, the crest height, the highest
point, the footprint and the ridge's centre line across the bed, with their standard deviations
("<figure>_sd"), so that bench/run.py sets the engines' difference against how far two runs of one
engine lie apart, and reports the ratio of their VRR. The engines agree when the mean VRR lie within
20 % of each other and the ridges lie within one particle edge of each other. With --smoke: about 800
particles on a 20 m x 6 m bed, one seed.

Takes Google Benchmark's --benchmark_out, --benchmark_out_format (json) and --benchmark_repetitions (the
seeds), and writes the same JSON, so that bench/run.py reads it as it reads a benchmark program's.
"""

from __future__ import annotations

import socket
import sys
import time
from datetime import datetime, timezone

import korvex
from korvex.engines import run_engines

from interleaved import benchmark_parser, parse, write

FIGURES = ("vrr", "crest_m", "highest_m", "footprint_m2", "centre_z_m")


def scene(smoke: bool, per_m3: float) -> tuple[korvex.QualitySeries, korvex.StackingPlan, korvex.Bed]:
    hours = 0.03 if smoke else 0.375
    series = korvex.synthetic_series(
        hours=hours,
        interval_s=10.0,
        qualities={"q": korvex.Quality(0.0, 1.0)},
        correlation_time_h=0.05,
        seed=3,
    )
    if smoke:
        return series, korvex.Chevron(layers=4, blending_tail_m=3.0), korvex.Bed(20.0, 6.0, particles_per_m3=per_m3)
    return series, korvex.Chevron(layers=20, blending_tail_m=4.0), korvex.Bed(40.0, 12.0, particles_per_m3=per_m3)


def run(smoke: bool, seeds: int, particles_per_m3: float) -> dict:
    series, plan, bed = scene(smoke, particles_per_m3)
    cpu, wall = time.process_time(), time.perf_counter()
    runs = run_engines(series, plan, bed, range(1, seeds + 1))
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    results = []
    for engine, engine_runs in runs.items():
        counters = {}
        for figure in FIGURES:
            counters[figure] = engine_runs.mean(figure)
            counters[figure + "_sd"] = engine_runs.sd(figure)
        counters["cell_m"] = engine_runs.cell_size_m
        print(f"engines/{engine:9}", " ".join(f"{k} {v:.4g}" for k, v in counters.items()), flush=True)
        name = f"engines/{engine}"
        results.append(
            {
                "name": name,
                "run_name": name,
                "run_type": "iteration",
                "repetitions": 1,
                "repetition_index": 0,
                "iterations": 1,
                # Both engines ran in one call; the time is the pair's, for orientation only.
                "real_time": wall * 1e3,
                "cpu_time": cpu * 1e3,
                "time_unit": "ms",
                **counters,
            }
        )
    context = {
        "date": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "host_name": socket.gethostname(),
        "executable": "engines_bench.py",
        "scene": "smoke" if smoke else "full",
        "seeds": seeds,
        "particles": round(series.total_volume_m3 * bed.resolution_per_m3),
        "ratio engines/fast to engines/detailed": "vrr",
        "spread engines/fast to engines/detailed": ",".join(FIGURES),
    }
    return {"context": context, "benchmarks": results}


def main() -> None:
    parser = benchmark_parser(__doc__, default_repetitions=4)
    parser.add_argument("--particles-per-m3", type=float, default=27.0, help="both engines' resolution")
    args = parse(parser)
    write(args, run(args.smoke, 1 if args.smoke else args.benchmark_repetitions, args.particles_per_m3))


if __name__ == "__main__":
    sys.exit(main())
