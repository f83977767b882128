#!/usr/bin/env python3
"""A sweep on a two-worker Dask LocalCluster against the same runs in one process, and a task's round trip.

Forty fast-engine runs of the demo (the synthetic raw mix of 120 h on a 300 m x 50 m bed, Chevron with 100
layers, forty replicate seeds) are run two ways on every repetition, in a shuffled order so that a busy
machine slows both alike:

- sweep/local_cluster: korvex.sweep on a LocalCluster of two single-threaded worker processes, started
  before the clock starts (its start-up is recorded as a counter);
- sweep/in_process: the same sweep with scheduler="in-process", one run after the other.

Their tables must agree but for the run times, or the benchmark fails. The ratio of their wall-clock times
(real_time; of the fastest repetitions, as bench/run.py compares times) is the speedup of the cluster.
sweep/empty_task is the round trip of a task that does nothing (submit and wait for its result, one at a
time; the median of many), set against one run in process (counter per_task_s).

Takes Google Benchmark's --benchmark_out, --benchmark_out_format (json) and --benchmark_repetitions, and
writes the same JSON, so that bench/run.py reads it as it reads a benchmark program's.
"""

from __future__ import annotations

import random
import socket
import statistics
import sys
import time
from datetime import datetime, timezone

import distributed
import pandas as pd

import korvex
from korvex.sweeps import IN_PROCESS

from interleaved import main

WORKERS = 2
RUNS = 40
ROUND_TRIPS = 200
# The demo on the fast engine: Bed() is its 300 m x 50 m bed, the synthetic feed its 120 h raw mix.
FULL = {"plan": "chevron", "layers": 100, "engine": "fast"}
SMOKE = {"plan": "chevron", "layers": 3, "length_m": 40, "depth_m": 10, "hours": 1, "engine": "fast"}


def nothing(index: int) -> int:
    return index


def round_trip_s(client: distributed.Client, count: int) -> float:
    """Median wall-clock seconds of submitting a task that does nothing and waiting for its result."""
    times = []
    for index in range(count):
        started = time.perf_counter()
        client.submit(nothing, index, pure=False).result()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def record(name: str, index: int, repetitions: int, wall_s: float, cpu_s: float, **counters: float) -> dict:
    return {
        "name": name,
        "run_name": name,
        "run_type": "iteration",
        "repetitions": repetitions,
        "repetition_index": index,
        "iterations": 1,
        "real_time": wall_s * 1e3,
        # This process's CPU time only: the workers' is not in it.
        "cpu_time": cpu_s * 1e3,
        "time_unit": "ms",
        **counters,
    }


def run(smoke: bool, repetitions: int) -> dict:
    grid = SMOKE if smoke else FULL
    runs = 2 if smoke else RUNS
    trips = 5 if smoke else ROUND_TRIPS
    started = time.perf_counter()
    cluster = distributed.LocalCluster(
        n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=None
    )
    client = distributed.Client(cluster)
    startup_s = time.perf_counter() - started
    print(f"cluster of {WORKERS} workers up in {startup_s:.1f} s", flush=True)
    records = []
    try:
        # Every worker imports the package and the native module once, before any clock starts.
        korvex.sweep(SMOKE, replicates=WORKERS, scheduler=client, progress=False)
        ways = {"sweep/local_cluster": client, "sweep/in_process": IN_PROCESS}
        order = list(ways)
        shuffle = random.Random(7)
        for index in range(repetitions):
            shuffle.shuffle(order)
            tables = {}
            for name in order:
                clock, cpu = time.perf_counter(), time.process_time()
                result = korvex.sweep(grid, replicates=runs, scheduler=ways[name], progress=False)
                wall, cpu = time.perf_counter() - clock, time.process_time() - cpu
                tables[name] = result.table.drop(columns="run_time_s")
                failed = result.failures
                if not failed.empty:
                    raise RuntimeError(f"{name}: a run failed: {failed['error'].iloc[0]}")
                print(f"{name:22} {runs} runs {wall:8.2f} s  {runs / wall:6.2f} runs/s", flush=True)
                counters = {"runs_per_second": runs / wall, "per_task_s": wall / runs}
                if name == "sweep/local_cluster":
                    counters["startup_s"] = startup_s
                records.append(record(name, index, repetitions, wall, cpu, **counters))
            pd.testing.assert_frame_equal(tables["sweep/local_cluster"], tables["sweep/in_process"])
            cpu = time.process_time()
            trip = round_trip_s(client, trips)
            cpu = (time.process_time() - cpu) / trips
            print(f"{'sweep/empty_task':22} round trip {trip * 1e3:.2f} ms", flush=True)
            records.append(
                record("sweep/empty_task", index, repetitions, trip, cpu, per_task_s=trip, round_trip_ms=trip * 1e3)
            )
    finally:
        client.close()
        cluster.close()
    context = {
        "date": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "host_name": socket.gethostname(),
        "executable": "sweep_bench.py",
        "scene": "smoke" if smoke else "full",
        "python": sys.version.split()[0],
        "dask": distributed.__version__,
        "workers": WORKERS,
        "runs": runs,
        "ratio sweep/in_process to sweep/local_cluster": "real_time",
        "ratio sweep/empty_task to sweep/in_process": "per_task_s",
    }
    return {"context": context, "benchmarks": records}


if __name__ == "__main__":
    main(__doc__, run)
