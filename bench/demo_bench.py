#!/usr/bin/env python3
"""The package's demo at the resolution of studies, through both native faces, in one process.

The demo's chunks (120 h of feed at 1000 m3/h, 120,000 m3, a Chevron of 100 layers on a 300 m x 50 m bed)
at 27 particles per cubic metre, cells of a third of a metre, stacked, reclaimed and read as heights:

- python/demo_native: korvex._native.Simulator with a seed, whose fast engine draws split draws of its own;
- python/demo_korvex_lib: _korvex_lib.KorvexLib, whose fast engine draws from the process-wide Mersenne
  Twister sources; both walk the same descent.

Takes Google Benchmark's --benchmark_out, --benchmark_out_format (json) and --benchmark_repetitions, and
writes the same JSON (see interleaved.py).
"""

from __future__ import annotations

import time

import _korvex_lib
import korvex
from interleaved import Measure, interleaved, main, results
from korvex import _native
from korvex.stockpile import native_settings

# The settings of _korvex_lib.KorvexLib in its order of arguments, before the engine and the reclaim step.
POSITIONAL = (
    "length_m",
    "depth_m",
    "reclaim_angle_deg",
    "particles_per_m3",
    "circular",
    "eight_neighbour_probability",
    "particle_volume_factor",
    "drop_height_m",
)

PARTICLES_PER_M3 = 27.0
DEMO_HOURS = 120.0
SMOKE_HOURS = 2.0
SMOKE_PARTICLES_PER_M3 = 8.0


def native(bed: korvex.Bed, chunks: korvex.ChunkTable) -> Measure:
    def measure() -> tuple[float, float]:
        cpu, wall = time.process_time(), time.perf_counter()
        simulator = _native.Simulator(seed=1, **native_settings(bed))
        simulator.stack(chunks.data, chunks.columns)
        simulator.reclaim()
        simulator.heights()
        return time.process_time() - cpu, time.perf_counter() - wall

    return measure


def korvex_lib(bed: korvex.Bed, chunks: korvex.ChunkTable) -> Measure:
    def measure() -> tuple[float, float]:
        cpu, wall = time.process_time(), time.perf_counter()
        # The fixed module takes the detailed engine's settings too, whatever the engine; the fast bed has none.
        settings = _native.defaults() | native_settings(bed)
        lib = _korvex_lib.KorvexLib(
            *(settings[name] for name in POSITIONAL[:8]), settings["engine"] == "detailed", settings["reclaim_step_m"]
        )
        lib.stack_list(chunks.data, chunks.columns)
        lib.reclaim()
        lib.get_heights()
        return time.process_time() - cpu, time.perf_counter() - wall

    return measure


def run(smoke: bool, repetitions: int) -> dict:
    particles_per_m3 = SMOKE_PARTICLES_PER_M3 if smoke else PARTICLES_PER_M3
    bed = korvex.Bed(length_m=300.0, depth_m=50.0, particles_per_m3=particles_per_m3, engine="fast")
    series = korvex.synthetic_series(hours=SMOKE_HOURS if smoke else DEMO_HOURS, interval_s=60.0, seed=7)
    chunks = korvex.Chevron(layers=100).chunks(series, bed)
    measures = {"python/demo_native": native(bed, chunks), "python/demo_korvex_lib": korvex_lib(bed, chunks)}
    particles = round(chunks.total_volume_m3 * particles_per_m3)
    scene = (
        f"{chunks.total_volume_m3:.0f} m3 in a Chevron of 100 layers on a 300 m x 50 m bed, "
        f"{particles_per_m3:g} particles per m3 (cells of {bed.cell_size_m:.3f} m), {len(chunks)} chunks"
    )
    runs = interleaved(measures, particles, repetitions)
    return results(
        "demo_bench.py", smoke, runs, [("python/demo_native", "python/demo_korvex_lib")], demo_scene=scene
    )


if __name__ == "__main__":
    main(__doc__, run)
