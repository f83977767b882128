"""What the Python benchmark scripts in bench/ share: measures interleaved in a shuffled order on every
repetition, so that a busy machine slows all of them alike, written as Google Benchmark writes its JSON, so
that bench/run.py reads a script's results as it reads a benchmark program's."""

from __future__ import annotations

import argparse
import json
import random
import socket
import sys
from collections.abc import Callable
from datetime import datetime, timezone

# A measure returns the process CPU seconds and the wall-clock seconds of one run.
Measure = Callable[[], tuple[float, float]]


def interleaved(measures: dict[str, Measure], items: int, repetitions: int) -> list[dict]:
    """Runs every measure once per repetition, in a shuffled order, as Google Benchmark's runs of `items`
    items each."""
    order = list(measures)
    shuffle = random.Random(7)
    runs = []
    for index in range(repetitions):
        shuffle.shuffle(order)
        for name in order:
            cpu, wall = measures[name]()
            print(f"{name:28} {cpu * 1e3:10.1f} ms CPU  {items / cpu / 1e6:6.2f} M items/s", flush=True)
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
                    "items_per_second": items / cpu,
                }
            )
    return runs


def results(executable: str, smoke: bool, runs: list[dict], ratios: list[tuple[str, str]], **context: str) -> dict:
    """The JSON document of a script's runs, declaring each (subject, baseline) of `ratios` by CPU time."""
    header = {
        "date": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "host_name": socket.gethostname(),
        "executable": executable,
        "scene": "smoke" if smoke else "full",
        "python": sys.version.split()[0],
        **context,
    }
    header.update({f"ratio {subject} to {baseline}": "cpu_time" for subject, baseline in ratios})
    return {"context": header, "benchmarks": runs}


def benchmark_parser(description: str, default_repetitions: int = 5) -> argparse.ArgumentParser:
    """Google Benchmark's --benchmark_out, --benchmark_out_format (json) and --benchmark_repetitions, and
    --smoke; a script adds its own options to it."""
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--smoke", action="store_true", help="tiny scene: check that it works, time nothing")
    parser.add_argument("--benchmark_repetitions", type=int, default=default_repetitions, metavar="N")
    parser.add_argument("--benchmark_out", metavar="PATH", help="write the JSON results here")
    parser.add_argument("--benchmark_out_format", choices=["json"], default="json")
    parser.add_argument("--benchmark_min_time", help="accepted for bench/run.py; every repetition is one run")
    return parser


def parse(parser: argparse.ArgumentParser) -> argparse.Namespace:
    args = parser.parse_args()
    if args.benchmark_repetitions < 1:
        parser.error("--benchmark_repetitions must be at least 1")
    return args


def write(args: argparse.Namespace, document: dict) -> None:
    """Writes a script's JSON document where --benchmark_out says, if it says."""
    if args.benchmark_out:
        with open(args.benchmark_out, "w", encoding="utf-8") as out:
            json.dump(document, out, indent=2)


def main(description: str, run: Callable[[bool, int], dict], default_repetitions: int = 5) -> None:
    """Runs `run(smoke, repetitions)` with the options of benchmark_parser and writes what it returns."""
    args = parse(benchmark_parser(description, default_repetitions))
    write(args, run(args.smoke, args.benchmark_repetitions))
