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

Beds of few thick layers, where every delivery runs down a long face, each against the fast engine on the
same chunks' feed (so that the ratio of CPU times is the ratio per tonne): 60 h of the demo feed logged
every 3.6 s (60,000 rows of 1 m3):

- python/thick_layered_chevron_1, python/thick_fast_chevron_1: a Chevron of one layer on a 600 m x 50 m
  bed, a ridge 9 m high laid in one pass;
- python/thick_layered_cone_shell, python/thick_fast_cone_shell: a Cone-shell plan on the 300 m x 50 m
  bed, cones 5 m apart, each built to its height before the stacker moves on.

Every run records the process's peak resident memory so far ("max_rss_mb"): an upper bound on what the
engines need, feed and chunk tables included. With --smoke: 2 h of feed and 20 layers, and the thick
beds 2 h of feed on beds of 60 m.

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
THICK_HOURS = 60.0
# One cubic metre a row at the demo's flow: small deliveries, each of which still runs down the whole face.
THICK_INTERVAL_S = 3.6


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
    tables |= thick_tables(smoke)
    measures = {name: native(bed, chunks) for name, (bed, chunks) in tables.items()}
    runs = interleaved(measures, 1, repetitions)
    for entry in runs:
        chunks = tables[entry["name"]][1]
        deliveries = len(chunks)
        entry["deliveries"] = deliveries
        entry["items_per_second"] = deliveries / (entry["cpu_time"] / 1e3)
        entry["us_per_delivery"] = entry["cpu_time"] * 1e3 / deliveries
        entry["us_per_m3"] = entry["cpu_time"] * 1e3 / chunks.total_volume_m3
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
        [
            ("python/layered_300", "python/fast_300"),
            ("python/thick_layered_chevron_1", "python/thick_fast_chevron_1"),
            ("python/thick_layered_cone_shell", "python/thick_fast_cone_shell"),
        ],
        layered_scene=scene,
        thick_scene=(
            f"{THICK_HOURS if not smoke else SMOKE_HOURS:g} h of the demo feed in rows of 1 m3: a Chevron of one "
            "layer on a 600 m x 50 m bed, a Cone-shell plan (cones 5 m apart) on the 300 m x 50 m bed; beds of "
            "60 m with --smoke"
        ),
    )
    # Near 1 when the cost grows linearly with the deliveries.
    document["context"]["ratio python/layered_600 to python/layered_100"] = "us_per_delivery"
    return document


def thick_tables(smoke: bool) -> dict[str, tuple[korvex.Bed, korvex.ChunkTable]]:
    """The beds of few thick layers, on each engine at the package's resolution for it."""
    series = korvex.synthetic_series(
        hours=SMOKE_HOURS if smoke else THICK_HOURS, interval_s=THICK_INTERVAL_S, seed=7
    )
    scenes = {
        "chevron_1": (korvex.Chevron(layers=1), 60.0 if smoke else 600.0),
        "cone_shell": (korvex.ConeShell(), 60.0 if smoke else 300.0),
    }
    tables = {}
    for scene, (plan, length_m) in scenes.items():
        for engine in ("layered", "fast"):
            bed = korvex.Bed(length_m=length_m, depth_m=50.0, engine=engine)
            tables[f"python/thick_{engine}_{scene}"] = (bed, plan.chunks(series, bed))
    return tables


if __name__ == "__main__":
    main(__doc__, run, default_repetitions=3)
