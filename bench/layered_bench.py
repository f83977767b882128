#!/usr/bin/env python3
"""The layered engine's speed and memory on the demo bed, against the fast engine in the same run.

The demo's feed (120 h at 1000 m3/h, 120,000 m3) in a Chevron on the 300 m x 50 m bed, stacked, reclaimed
in 1 m slices and read as heights through korvex._native, each engine at the resolution the package
chooses for it:

- python/layered_300: the layered engine, 300 layers;
- python/fast_300: the fast engine, the same feed and plan (the baseline);
- python/layered_100, python/layered_600: the layered engine at 100 and 600 layers, so that the cost per
  delivery (a chunk: one cell of the stacker's travel) shows whether the work grows faster than the
  number of deliveries. Items are deliveries (chunks) throughout.

Every run records the process's peak resident memory so far ("max_rss_mb"): an upper bound on what the
engines need, feed and chunk tables included. With --smoke: 2 h of feed and 20 layers.

Takes Google Benchmark's --benchmark_out, --benchmark_out_format (json) and --benchmark_repetitions, and
writes the same JSON (see interleaved.py).
"""

from __future__ import annotations

import resource

import korvex
from demo_bench import native
from interleaved import interleaved, main, results

DEMO_HOURS = 120.0
SMOKE_HOURS = 2.0


def run(smoke: bool, repetitions: int) -> dict:
    series = korvex.synthetic_series(hours=SMOKE_HOURS if smoke else DEMO_HOURS, interval_s=60.0, seed=7)
    layers = {"100": 4, "300": 20, "600": 40} if smoke else {"100": 100, "300": 300, "600": 600}
    beds = {engine: korvex.Bed(length_m=300.0, depth_m=50.0, engine=engine) for engine in ("layered", "fast")}
    tables = {
        "python/layered_100": (beds["layered"], korvex.Chevron(layers=layers["100"]).chunks(series, beds["layered"])),
        "python/layered_300": (beds["layered"], korvex.Chevron(layers=layers["300"]).chunks(series, beds["layered"])),
        "python/layered_600": (beds["layered"], korvex.Chevron(layers=layers["600"]).chunks(series, beds["layered"])),
        "python/fast_300": (beds["fast"], korvex.Chevron(layers=layers["300"]).chunks(series, beds["fast"])),
    }
    measures = {name: native(bed, chunks) for name, (bed, chunks) in tables.items()}
    runs = interleaved(measures, 1, repetitions)
    for entry in runs:
        deliveries = len(tables[entry["name"]][1])
        entry["deliveries"] = deliveries
        entry["items_per_second"] = deliveries / (entry["cpu_time"] / 1e3)
        entry["us_per_delivery"] = entry["cpu_time"] * 1e3 / deliveries
        entry["max_rss_mb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    cells = {engine: f"{bed.cell_size_m:.3f} m" for engine, bed in beds.items()}
    scene = (
        f"{series.volume_m3.sum():.0f} m3 in a Chevron on a 300 m x 50 m bed; cells: layered {cells['layered']}, "
        f"fast {cells['fast']}"
    )
    document = results(
        "layered_bench.py",
        smoke,
        runs,
        [("python/layered_300", "python/fast_300")],
        layered_scene=scene,
    )
    # Near 1 when the cost grows linearly with the deliveries.
    document["context"]["ratio python/layered_600 to python/layered_100"] = "us_per_delivery"
    return document


if __name__ == "__main__":
    main(__doc__, run, default_repetitions=3)
