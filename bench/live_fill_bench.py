#!/usr/bin/env python3
"""A live bed on the layered engine followed to full, delivery by delivery: does its cost grow with the bed?

A 300 m x 50 m bed at the package's resolution rule, a Chevron of 100 layers, the demo's synthetic feed at
one delivery a minute (about 16.7 m3 each) until the bed refuses one for want of room. Each delivery is
appended to the feed file and taken by LiveBed.take_file (read, checked, stacked, written to taken.csv,
committed to the journal, a checkpoint when due, the status written), without the predicted output
(status_replicates = 0: a prediction's cost is a stack of the room left, measured by live_bench.py).

Per delivery it measures the CPU time of take_file and, inside it, of the engine's own stack call
(Stockpile.stack), and whether a checkpoint was written. It prints and writes as JSON:

- the CPU beyond the engine's stack call per delivery, median and mean, in the first and the last tenth of
  the deliveries, and their ratio (last over first);
- the CPU per delivery, median and mean, checkpoints included, beside the engine's own;
- the checkpoints: how many, their CPU and wall time and the snapshot's size at the last;
- the restart after a kill: the bed's directory as the last delivery left it (no checkpoint at the end,
  as a SIGKILL leaves it) opened in a new process: the imports, then LiveBed.open (load the checkpoint,
  replay the journal), CPU and wall clock.

    tools/in-env python3 bench/live_fill_bench.py [--fill 1.0] [--out results.json]

--fill stops at that fraction of the bed's capacity (a shorter run: the tenths are then of what was taken).
"""

from __future__ import annotations

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import korvex
from korvex.live import JOURNAL_FILE, LiveBed, LiveSettings

DENSITY_T_PER_M3 = 1.5
RATE_M3_PER_H = 1000.0

RESTART = """
import json, sys, time
wall, cpu = time.perf_counter(), time.process_time()
from korvex.live import LiveBed
imported = (time.process_time() - cpu, time.perf_counter() - wall)
wall, cpu = time.perf_counter(), time.process_time()
bed = LiveBed.open(sys.argv[1])
opened = (time.process_time() - cpu, time.perf_counter() - wall)
print(json.dumps({"imports": imported, "open": opened, "deliveries": bed.ledger.deliveries}))
"""


def tenth_figures(values: np.ndarray) -> dict[str, float]:
    return {"median_ms": 1e3 * float(np.median(values)), "mean_ms": 1e3 * float(np.mean(values))}


def run(fill: float) -> dict:
    bed = korvex.Bed(length_m=300.0, depth_m=50.0, engine="layered")
    settings = LiveSettings(bed=bed, bulk_density_t_per_m3=DENSITY_T_PER_M3, plan_settings={"layers": 100}, seed=1)
    capacity_m3 = settings.capacity_m3()
    hours = 1.05 * capacity_m3 / RATE_M3_PER_H
    series = korvex.synthetic_series(hours=hours, interval_s=60.0, seed=7)
    scratch = Path(tempfile.mkdtemp(prefix="korvex-live-fill-"))
    feed = scratch / "feed.csv"
    feed.write_text(",".join(["timestamp", "volume", *series.names]) + "\n")
    live = LiveBed.start(scratch / "bed", settings)
    live.status_replicates = 0

    engine_s = 0.0
    stack = korvex.Stockpile.stack

    def timed_stack(pile, chunks, **options):
        nonlocal engine_s
        started = time.process_time()
        try:
            return stack(pile, chunks, **options)
        finally:
            engine_s += time.process_time() - started

    korvex.Stockpile.stack = timed_stack  # type: ignore[method-assign]
    checkpoints: list[tuple[float, float, int]] = []
    write_checkpoint = live._write_checkpoint

    def timed_checkpoint() -> None:
        cpu, wall = time.process_time(), time.perf_counter()
        write_checkpoint()
        checkpoints.append(
            (time.process_time() - cpu, time.perf_counter() - wall, (scratch / "bed" / "state.kvx").stat().st_size)
        )

    live._write_checkpoint = timed_checkpoint  # type: ignore[method-assign]
    total, engine, checkpointed = [], [], []
    started = time.perf_counter()
    for t, volume, values in zip(series.time_s, series.volume_m3, series.values, strict=True):
        if live.full or live.ledger.stacked_volume_m3 >= fill * capacity_m3:
            break
        with feed.open("a") as file:
            file.write(",".join(repr(float(v)) for v in (t, volume, *values)) + "\n")
        engine_s = 0.0
        count = len(checkpoints)
        cpu = time.process_time()
        live.take_file(feed)
        total.append(time.process_time() - cpu)
        engine.append(engine_s)
        checkpointed.append(len(checkpoints) > count)
    elapsed = time.perf_counter() - started
    korvex.Stockpile.stack = stack  # type: ignore[method-assign]
    journal_replay_s = live._replay_s
    journal_bytes = (scratch / "bed" / JOURNAL_FILE).stat().st_size
    deliveries = live.ledger.deliveries
    stacked_fraction = live.ledger.stacked_volume_m3 / capacity_m3
    # What a SIGKILL leaves: the lock goes with the process, nothing else is written.
    live.close()
    restart = json.loads(
        subprocess.run(
            [sys.executable, "-c", RESTART, str(scratch / "bed")], capture_output=True, text=True, check=True
        ).stdout
    )
    shutil.rmtree(scratch)

    total_s, engine_s_all = np.array(total), np.array(engine)
    beyond = total_s - engine_s_all
    plain = ~np.array(checkpointed)
    tenth = max(len(total_s) // 10, 1)
    first, last = slice(0, tenth), slice(len(total_s) - tenth, None)

    def beyond_in(part: slice) -> dict[str, float]:
        # Deliveries that wrote a checkpoint are counted apart: the tenths compare a delivery's own cost.
        return tenth_figures(beyond[part][plain[part]])

    result = {
        "scene": f"layered 300 m x 50 m ({bed.cell_size_m:g} m cells), Chevron of 100 layers, capacity "
        f"{capacity_m3:,.0f} m3; {deliveries} deliveries to {100 * stacked_fraction:.1f} % of it in "
        f"{elapsed:.0f} s",
        "beyond_engine_first_tenth": beyond_in(first),
        "beyond_engine_last_tenth": beyond_in(last),
        "engine_first_tenth": tenth_figures(engine_s_all[first]),
        "engine_last_tenth": tenth_figures(engine_s_all[last]),
        "per_delivery_with_checkpoints": tenth_figures(total_s),
        "engine_per_delivery": tenth_figures(engine_s_all),
        "checkpoints": {
            "count": len(checkpoints),
            "cpu_s": [round(c[0], 4) for c in checkpoints],
            "wall_s": [round(c[1], 4) for c in checkpoints],
            "last_snapshot_bytes": checkpoints[-1][2] if checkpoints else None,
        },
        "restart": {
            "journal_bytes": journal_bytes,
            "journal_replay_cpu_s": journal_replay_s,
            "imports_cpu_s": restart["imports"][0],
            "imports_wall_s": restart["imports"][1],
            "open_cpu_s": restart["open"][0],
            "open_wall_s": restart["open"][1],
            "deliveries_after": restart["deliveries"],
        },
    }
    first_ms = result["beyond_engine_first_tenth"]["median_ms"]
    result["beyond_engine_last_over_first_median"] = result["beyond_engine_last_tenth"]["median_ms"] / first_ms
    return result


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--fill", type=float, default=1.0, help="stop at this fraction of the capacity")
    parser.add_argument("--out", type=Path, help="write the figures as JSON here too")
    args = parser.parse_args()
    figures = run(args.fill)
    text = json.dumps(figures, indent=2)
    print(text)
    if args.out is not None:
        args.out.write_text(text + "\n")
