#!/usr/bin/env python3
"""Snapshots of the demo bed, and one delivery appended to a live bed of 120,000 m3, in one process.

The demo's feed (120 h at 1000 m3/h, 120,000 m3, a Chevron of 100 layers on a 300 m x 50 m bed, 27 particles
per cubic metre) is taken by a LiveBed from its CSV, delivery by delivery; then, interleaved:

- python/demo_stack: the demo's chunks stacked on a new pile, the baseline of the snapshots;
- python/snapshot_save, python/snapshot_load: the live bed's pile saved to a snapshot file (written to a
  temporary file, flushed to the disk, renamed) and loaded back; the counter snapshot_bytes is its size;
- python/live_delivery: one more delivery appended to the CSV and taken by the live bed: read, checked,
  stacked, recorded, the snapshot and ledger saved, the status written (its predicted output as made
  last, the bed having grown by less than a hundredth of its capacity since);
- python/live_delivery_predicting: the same with a prediction policy that makes the predicted output afresh
  after every delivery (8 replicates continuing the feed to the bed's capacity), the worst case of a status;
- python/plain_stack_delivery: the same delivery's chunks stacked on a copy of the same pile, nothing else:
  the baseline of both;
- python/layered_demo_stack, python/layered_snapshot_save, python/layered_snapshot_load: the same for the
  demo's chunks on the layered engine at the package's resolution rule (a pile, not a live bed), the
  snapshots against the stacking.

Figures are ratios of CPU times; the wall-clock times, which include the flushes to the disk, are kept
beside them (real_time). Takes Google Benchmark's --benchmark_out, --benchmark_out_format (json) and
--benchmark_repetitions, and writes the same JSON (see interleaved.py).
"""

from __future__ import annotations

import itertools
import shutil
import tempfile
import time
from pathlib import Path

import korvex
from interleaved import Measure, interleaved, main, results
from korvex.deliveries import Delivery
from korvex.live import LiveBed, LiveSettings
from korvex.live_status import PredictionPolicy

PARTICLES_PER_M3 = 27.0
DEMO_HOURS = 120.0
SMOKE_HOURS = 2.0
SMOKE_PARTICLES_PER_M3 = 8.0


def timed(work) -> tuple[float, float]:
    cpu, wall = time.process_time(), time.perf_counter()
    work()
    return time.process_time() - cpu, time.perf_counter() - wall


def feed_lines(series: korvex.QualitySeries) -> list[str]:
    header = ",".join(["timestamp", "volume", *series.names]) + "\n"
    rows = [
        ",".join(repr(float(v)) for v in (t, volume, *values)) + "\n"
        for t, volume, values in zip(series.time_s, series.volume_m3, series.values, strict=True)
    ]
    return [header, *rows]


def run(smoke: bool, repetitions: int) -> dict:
    particles_per_m3 = SMOKE_PARTICLES_PER_M3 if smoke else PARTICLES_PER_M3
    hours = SMOKE_HOURS if smoke else DEMO_HOURS
    bed = korvex.Bed(length_m=300.0, depth_m=50.0, particles_per_m3=particles_per_m3, engine="fast")
    series = korvex.synthetic_series(hours=hours, interval_s=60.0, seed=7)
    chunks = korvex.Chevron(layers=100).chunks(series, bed)
    scratch = Path(tempfile.mkdtemp(prefix="korvex-live-bench-"))
    feed = scratch / "feed.csv"
    lines = feed_lines(series)
    feed.write_text("".join(lines))
    # The bed's capacity is what the demo's Chevron fills: 100 layers over the 120,000 m3.
    settings = LiveSettings(
        bed=bed, bulk_density_t_per_m3=1.5, plan_settings={"layers": 100}, seed=1,
        capacity_t=1.5 * series.total_volume_m3 * 1.2,
    )  # fmt: skip
    live = LiveBed.start(scratch / "bed", settings)
    live.take_file(feed)
    live.refresh_status(predict_now=True)
    stacked_m3 = live.ledger.stacked_volume_m3

    # A Python float: NumPy's scalar would write itself as np.float64(...), a line the bed refuses.
    last = float(series.time_s[-1])
    clock = itertools.count(1)

    def delivery_line() -> tuple[str, Delivery]:
        time_s = last + 60.0 * next(clock)
        values = tuple(float(v) for v in series.values[-1])
        return ",".join(repr(v) for v in (time_s, float(series.volume_m3[-1]), *values)) + "\n", Delivery(
            time_s, float(series.volume_m3[-1]), values
        )

    def append_and_take(policy: PredictionPolicy) -> Measure:
        def measure() -> tuple[float, float]:
            line, _ = delivery_line()
            with feed.open("a") as file:
                file.write(line)
            live.prediction_policy = policy
            return timed(lambda: live.take_file(feed))

        return measure

    def plain_stack() -> tuple[float, float]:
        _, delivery = delivery_line()
        pile = live.pile.copy()
        delivery_chunks, _ = live.chunks_for([delivery], live.ledger.travel_m, live.ledger.last_time_s)
        return timed(lambda: pile.stack(delivery_chunks, progress=False))

    def demo_stack() -> tuple[float, float]:
        return timed(lambda: korvex.Stockpile(bed, seed=1).stack(chunks, progress=False))

    snapshot = scratch / "demo.kvx"
    live.pile.save(snapshot)

    layered_bed = korvex.Bed(length_m=300.0, depth_m=50.0, engine="layered")
    layered_chunks = korvex.Chevron(layers=100).chunks(series, layered_bed)

    def layered_stack() -> korvex.Stockpile:
        pile = korvex.Stockpile(layered_bed, seed=1)
        pile.stack(layered_chunks, progress=False)
        return pile

    layered = layered_stack()
    layered_snapshot = scratch / "demo-layered.kvx"
    layered.save(layered_snapshot)
    layered_m3 = layered.stacked_volume_m3

    measures = {
        "python/demo_stack": demo_stack,
        "python/snapshot_save": lambda: timed(lambda: live.pile.save(snapshot)),
        "python/snapshot_load": lambda: timed(lambda: korvex.Stockpile.load(snapshot, bed, stacked_m3)),
        "python/live_delivery": append_and_take(PredictionPolicy()),
        "python/live_delivery_predicting": append_and_take(PredictionPolicy(every_deliveries=1)),
        "python/plain_stack_delivery": plain_stack,
        "python/layered_demo_stack": lambda: timed(layered_stack),
        "python/layered_snapshot_save": lambda: timed(lambda: layered.save(layered_snapshot)),
        "python/layered_snapshot_load": lambda: timed(
            lambda: korvex.Stockpile.load(layered_snapshot, layered_bed, layered_m3)
        ),
    }
    runs = interleaved(measures, 1, repetitions)
    if live.ledger.rejected:
        raise RuntimeError(f"the live bed refused {live.ledger.rejected} of the deliveries timed: see its rejects.csv")
    size = snapshot.stat().st_size
    layered_size = layered_snapshot.stat().st_size
    for entry in runs:
        if entry["name"].startswith("python/snapshot"):
            entry["snapshot_bytes"] = size
        if entry["name"].startswith("python/layered_snapshot"):
            entry["snapshot_bytes"] = layered_size
    live.close()
    shutil.rmtree(scratch)
    scene = (
        f"a live bed of {stacked_m3:.0f} m3 (the demo: {len(series)} deliveries, Chevron of 100 layers, "
        f"300 m x 50 m, {particles_per_m3:g} particles per m3); snapshot of {size / 1e6:.1f} MB; on the layered "
        f"engine ({layered_bed.cell_size_m:g} m cells) a snapshot of {layered_size / 1e6:.1f} MB"
    )
    ratios = [
        ("python/snapshot_save", "python/demo_stack"),
        ("python/snapshot_load", "python/demo_stack"),
        ("python/live_delivery", "python/plain_stack_delivery"),
        ("python/live_delivery_predicting", "python/plain_stack_delivery"),
        ("python/layered_snapshot_save", "python/layered_demo_stack"),
        ("python/layered_snapshot_load", "python/layered_demo_stack"),
    ]
    return results("live_bench.py", smoke, runs, ratios, live_scene=scene)


if __name__ == "__main__":
    main(__doc__, run)
