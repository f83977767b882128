#!/usr/bin/env python3
"""stack_list from Python against stacking the same particles natively, in one process.

The stacker scene of the fast-engine tests (from _korvex_bench) is stacked three ways, in a shuffled order
on every repetition so that a busy machine slows all three alike:

- python/stack_list: KorvexLib.stack_list with the scene's table, one particle per row;
- python/native_stack_path: the same rows stacked from C++ straight through the simulator's stack call,
  one chunk per row, which is what stack_list does once it has read and checked a row;
- python/native_placement: a particle placed at each row's position, without the stack call.

Takes Google Benchmark's --benchmark_out, --benchmark_out_format (json) and --benchmark_repetitions, and
writes the same JSON, so that bench/run.py reads it as it reads a benchmark program's.
"""

from __future__ import annotations

import argparse
import json
import random
import socket
import sys
import time
from collections.abc import Callable
from datetime import datetime, timezone

import _korvex_bench
import _korvex_lib


def stack_list(scene: dict, smoke: bool) -> tuple[float, float]:
    """Process CPU seconds and wall-clock seconds of one stack_list call with the whole table."""
    lib = _korvex_lib.KorvexLib(*scene["arguments"])
    cpu, wall = time.process_time(), time.perf_counter()
    lib.stack_list(scene["table"], scene["columns"])
    return time.process_time() - cpu, time.perf_counter() - wall


MEASURES: dict[str, Callable[[dict, bool], tuple[float, float]]] = {
    "python/stack_list": stack_list,
    "python/native_stack_path": lambda scene, smoke: _korvex_bench.stack_natively(smoke),
    "python/native_placement": lambda scene, smoke: _korvex_bench.stack_natively(smoke, placement_only=True),
}

RATIOS = [
    ("python/stack_list", "python/native_stack_path"),
    ("python/stack_list", "python/native_placement"),
    ("python/native_stack_path", "python/native_placement"),
]


def run(smoke: bool, repetitions: int) -> dict:
    scene = _korvex_bench.scene(smoke)
    particles = scene["particles"]
    order = list(MEASURES)
    shuffle = random.Random(7)
    runs = []
    for index in range(repetitions):
        shuffle.shuffle(order)
        for name in order:
            cpu, wall = MEASURES[name](scene, smoke)
            print(f"{name:28} {cpu * 1e3:10.1f} ms CPU  {particles / cpu / 1e6:6.2f} M particles/s", flush=True)
            runs.append(
                {
                    "name": name,
                    "run_name": name,
                    "run_type": "iteration",
                    "repetitions": repetitions,
                    "repetition_index": index,
                    "iterations": 1,
                    "real_time": wall * 1e3,
                    "cpu_time": cpu * 1e3,
                    "time_unit": "ms",
                    "items_per_second": particles / cpu,
                }
            )
    context = {
        "date": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "host_name": socket.gethostname(),
        "executable": "stack_list_bench.py",
        "scene": "smoke" if smoke else "full",
        "python": sys.version.split()[0],
    }
    context.update({f"ratio {subject} to {baseline}": "cpu_time" for subject, baseline in RATIOS})
    return {"context": context, "benchmarks": runs}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny scene: check that it works, time nothing")
    parser.add_argument("--benchmark_repetitions", type=int, default=5, metavar="N")
    parser.add_argument("--benchmark_out", metavar="PATH", help="write the JSON results here")
    parser.add_argument("--benchmark_out_format", choices=["json"], default="json")
    parser.add_argument("--benchmark_min_time", help="accepted for bench/run.py; every repetition is one pile")
    args = parser.parse_args()
    if args.benchmark_repetitions < 1:
        parser.error("--benchmark_repetitions must be at least 1")
    results = run(args.smoke, args.benchmark_repetitions)
    if args.benchmark_out:
        with open(args.benchmark_out, "w", encoding="utf-8") as out:
            json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()
