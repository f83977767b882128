#!/usr/bin/env python3
"""stack_list from Python against stacking the same particles natively, in one process.

The stacker scene of the fast-engine tests (from _korvex_bench) is stacked three ways, in a shuffled order
on every repetition so that a busy machine slows all three alike:

- python/stack_list: KorvexLib.stack_list with the scene's table, one particle per row;
- python/native_stack_path: the same rows stacked from C++ straight through the simulator's stack call,
  one chunk per row, which is what stack_list does once it has read and checked a row;
- python/native_placement: a particle placed at each row's position, without the stack call.

Takes Google Benchmark's --benchmark_out, --benchmark_out_format (json) and --benchmark_repetitions, and
writes the same JSON (see interleaved.py).
"""

from __future__ import annotations

import time
from collections.abc import Callable

import _korvex_bench
import _korvex_lib
from interleaved import interleaved, main, results


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
    measures = {name: (lambda measure=measure: measure(scene, smoke)) for name, measure in MEASURES.items()}
    return results("stack_list_bench.py", smoke, interleaved(measures, scene["particles"], repetitions), RATIOS)


if __name__ == "__main__":
    main(__doc__, run)
