#!/usr/bin/env python3
"""Runs the benchmark programs and writes their figures to bench/results/<hostname>.json.

A program is a Google Benchmark executable built under <build-dir>/bench, or a Python script in bench/
that takes the same --benchmark_* flags and writes the same JSON. Each program declares in its JSON context
which of its benchmarks is reported as a ratio to which baseline, by which metric:
"ratio <subject> to <baseline>": "cpu_time" or the name of a counter. Every figure is such a ratio of two
benchmarks measured side by side in one run, so that a busy machine slows both alike; absolute figures are
recorded next to them.

A program may also declare "spread <subject> to <baseline>": "<figure>,...", where both benchmarks report
a figure's mean over several random runs and "<figure>_sd", the standard deviation of those runs: the
results then set the difference of the two means against how far two runs of one kind lie apart, the
root mean square of their difference, sqrt(2) times the larger standard deviation.

Adding a program is one line in PROGRAMS. With --program only the programs named run, and their figures
replace those of the same programs in the results file, which keeps the others' as they were; "programs"
in the file says when each program's figures were measured, and at which commit.

With --smoke every program runs once on tiny scenes: that checks that the programs still build, run and
declare ratios between benchmarks that exist. It times nothing and writes no file unless --output is given.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import socket
import statistics
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from datetime import datetime, timezone
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent


@dataclass(frozen=True)
class Native:
    """A Google Benchmark program built from bench/CMakeLists.txt."""

    name: str
    repetitions: int | None = None  # None: the run's --repetitions
    python = False

    def command(self, build_dir: Path) -> list[str]:
        return [str(build_dir / "bench" / self.name), "--benchmark_enable_random_interleaving=true"]


@dataclass(frozen=True)
class Script:
    """A Python script in bench/ that measures through the extension modules."""

    name: str
    repetitions: int | None = None
    python = True

    def command(self, build_dir: Path) -> list[str]:
        return [sys.executable, str(BENCH / self.name)]


PROGRAMS = [
    Native("korvex_fast_bench"),
    Native("korvex_fast_figures_bench", repetitions=1),
    Native("korvex_memory_bench", repetitions=1),
    Native("korvex_detailed_bench", repetitions=3),
    Native("korvex_detailed_stack_bench", repetitions=1),
    Native("korvex_plant_scale_bench", repetitions=1),
    Script("stack_list_bench.py"),
    Script("demo_bench.py"),
    Script("sweep_bench.py", repetitions=5),
    Script("engines_bench.py", repetitions=4),
    Script("live_bench.py", repetitions=5),
    Script("layered_bench.py", repetitions=3),
]

# Keys of a Google Benchmark run that are not counters.
RUN_FIELDS = {
    "name", "family_index", "per_family_instance_index", "run_name", "run_type", "repetitions",
    "repetition_index", "threads", "iterations", "real_time", "cpu_time", "time_unit", "aggregate_name",
    "aggregate_unit", "error_occurred", "error_message", "label",
}
TO_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}


class BenchmarkFailure(RuntimeError):
    pass


def run_program(program, build_dir: Path, repetitions: int, smoke: bool) -> dict:
    with tempfile.TemporaryDirectory() as scratch:
        out = Path(scratch) / "out.json"
        command = program.command(build_dir) + [
            f"--benchmark_out={out}",
            "--benchmark_out_format=json",
            f"--benchmark_repetitions={1 if smoke else (program.repetitions or repetitions)}",
        ]
        if smoke:
            command += ["--smoke", "--benchmark_min_time=1x"]
        environment = dict(os.environ)
        environment["PYTHONPATH"] = os.pathsep.join(
            filter(None, [str(build_dir / "python"), str(ROOT / "package"), environment.get("PYTHONPATH")])
        )
        print(f"== {program.name}", flush=True)
        try:
            completed = subprocess.run(command, env=environment, check=False)
        except FileNotFoundError:
            raise BenchmarkFailure(
                f"{command[0]} not found: build with -DKORVEX_BUILD_BENCHMARKS=ON (make build does)"
            ) from None
        if completed.returncode != 0:
            raise BenchmarkFailure(f"{program.name} exited with status {completed.returncode}")
        return json.loads(out.read_text(encoding="utf-8"))


def summarise(program: str, output: dict) -> dict[str, dict]:
    """Median, fastest and slowest CPU time of every benchmark's repetitions, its counters' medians, and the
    rate of its fastest repetition."""
    runs: dict[str, list[dict]] = {}
    for run in output["benchmarks"]:
        if run.get("error_occurred"):
            raise BenchmarkFailure(f"{program}: {run['name']}: {run.get('error_message', 'failed')}")
        if run.get("run_type", "iteration") == "iteration":
            runs.setdefault(run["run_name"], []).append(run)
    summary = {}
    for name, repetitions in runs.items():
        cpu = [run["cpu_time"] * TO_MS[run["time_unit"]] for run in repetitions]
        wall = [run["real_time"] * TO_MS[run["time_unit"]] for run in repetitions]
        counters = {
            key: statistics.median(run[key] for run in repetitions)
            for key in repetitions[0]
            if key not in RUN_FIELDS and isinstance(repetitions[0][key], (int, float))
        }
        summary[name] = {
            "program": program,
            "repetitions": len(repetitions),
            "cpu_time": statistics.median(cpu),
            "cpu_time_min": min(cpu),
            "cpu_time_max": max(cpu),
            "real_time": statistics.median(wall),
            "time_unit": "ms",
            **counters,
        }
        if "items_per_second" in counters:
            fastest = repetitions[cpu.index(min(cpu))]
            summary[name]["items_per_second_fastest"] = fastest["items_per_second"]
    return summary


def declarations(kind: str, program: str, context: dict, benchmarks: dict[str, dict]):
    """(subject, baseline, value) of each "<kind> <subject> to <baseline>" key in a program's context."""
    for key, value in context.items():
        if not key.startswith(kind + " ") or " to " not in key:
            continue
        subject, baseline = key[len(kind) + 1 :].split(" to ", 1)
        for name in (subject, baseline):
            if name not in benchmarks:
                raise BenchmarkFailure(f"{program}: {key}: no benchmark {name}")
        yield subject, baseline, value


def require(program: str, benchmark: str, figures: dict, counter: str) -> float:
    if counter not in figures:
        raise BenchmarkFailure(f"{program}: {benchmark} reports no {counter}")
    return figures[counter]


def declared_ratios(program: str, context: dict, benchmarks: dict[str, dict]) -> list[dict]:
    """The ratios a program declares. Times are compared by their fastest repetitions: a busy machine only
    ever adds time, so the fastest is the least disturbed; the ratio of the medians is kept beside it."""
    ratios = []
    for subject, baseline, metric in declarations("ratio", program, context, benchmarks):
        for name in (subject, baseline):
            require(program, name, benchmarks[name], metric)
        of = benchmarks[subject]
        to = benchmarks[baseline]
        ratio = {"program": program, "subject": subject, "baseline": baseline, "metric": metric}
        if metric == "cpu_time":
            ratio["ratio"] = of["cpu_time_min"] / to["cpu_time_min"]
            ratio["ratio_of_medians"] = of["cpu_time"] / to["cpu_time"]
        else:
            ratio["ratio"] = of[metric] / to[metric]
        ratios.append(ratio)
    return ratios


def declared_spreads(program: str, context: dict, benchmarks: dict[str, dict]) -> list[dict]:
    """For each figure of each declared spread: how far the subject's mean lies from the baseline's, against
    how far two runs of one kind lie apart: the difference of two independent runs with standard deviation
    sd has a root mean square of sqrt(2) sd."""
    spreads = []
    for subject, baseline, figures in declarations("spread", program, context, benchmarks):
        for figure in figures.split(","):
            means = [require(program, name, benchmarks[name], figure) for name in (subject, baseline)]
            deviations = [require(program, name, benchmarks[name], figure + "_sd") for name in (subject, baseline)]
            difference = means[0] - means[1]
            spread = math.sqrt(2.0) * max(deviations)
            spreads.append(
                {
                    "program": program,
                    "subject": subject,
                    "baseline": baseline,
                    "figure": figure,
                    "subject_mean": means[0],
                    "baseline_mean": means[1],
                    "difference": difference,
                    "spread": spread,
                    "within_spread": abs(difference) <= spread,
                }
            )
    return spreads


def report(benchmarks: dict[str, dict], ratios: list[dict], spreads: list[dict], smoke: bool) -> None:
    if smoke:
        print(
            f"\nsmoke run: {len(benchmarks)} benchmarks ran, {len(ratios)} ratios and {len(spreads)} spreads "
            "found their benchmarks"
        )
        return
    print("\nbenchmark                          CPU ms: median (fastest-slowest)  M items/s (fastest)")
    for name, figures in benchmarks.items():
        rate = figures.get("items_per_second_fastest")
        rate_text = f"{rate / 1e6:9.3f}" if rate else ""
        print(
            f"{name:34} {figures['cpu_time']:10.1f} ({figures['cpu_time_min']:.1f}-{figures['cpu_time_max']:.1f})"
            f"  {rate_text}"
        )
    print("\nratio, same run (times: fastest repetitions; in brackets: medians)")
    for ratio in ratios:
        medians = f"  ({ratio['ratio_of_medians']:.3f})" if "ratio_of_medians" in ratio else ""
        print(f"{ratio['subject']:26} / {ratio['baseline']:26} {ratio['metric']:16} {ratio['ratio']:7.3f}{medians}")
    if spreads:
        print("\nspread, same run: difference of the means, against the typical difference of two runs of one kind")
    for spread in spreads:
        verdict = "within" if spread["within_spread"] else "OUTSIDE"
        print(
            f"{spread['subject']:26} - {spread['baseline']:26} {spread['figure']:16} "
            f"{spread['difference']:9.3f} vs {spread['spread']:7.3f}  {verdict}"
        )


def merged(earlier: dict, later: dict) -> dict:
    """`later`'s figures with those of the programs it did not run taken from `earlier`. Earlier figures
    that name no program are taken as those of the program whose benchmark they name."""
    ran = set(later["contexts"])
    program_of = {name: figures["program"] for name, figures in earlier.get("benchmarks", {}).items()}

    def kept(entry: dict) -> bool:
        return entry.get("program", program_of.get(entry["subject"])) not in ran

    result = dict(later)
    result["command"] = f"{later['command']} (in part: bench/run.py --program)"
    result["programs"] = {
        **{name: {"date": earlier.get("date"), "commit": earlier.get("commit")} for name in earlier.get("contexts", {})},
        **earlier.get("programs", {}),
        **later["programs"],
    }
    result["ratios"] = [entry for entry in earlier.get("ratios", []) if kept(entry)] + later["ratios"]
    result["spreads"] = [entry for entry in earlier.get("spreads", []) if kept(entry)] + later["spreads"]
    result["benchmarks"] = {
        **{name: figures for name, figures in earlier.get("benchmarks", {}).items() if figures["program"] not in ran},
        **later["benchmarks"],
    }
    result["contexts"] = {
        **{name: context for name, context in earlier.get("contexts", {}).items() if name not in ran},
        **later["contexts"],
    }
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build", help="CMake build directory (Release)")
    parser.add_argument("--repetitions", type=int, default=11, help="repetitions of each benchmark")
    parser.add_argument("--smoke", action="store_true", help="tiny scenes, one repetition; times nothing")
    parser.add_argument("--native-only", action="store_true", help="skip the Python scripts")
    parser.add_argument("--commit", help="the commit measured, recorded in the results")
    parser.add_argument("--output", type=Path, help="results file (default bench/results/<hostname>.json)")
    parser.add_argument(
        "--program",
        action="append",
        choices=[program.name for program in PROGRAMS],
        help="run only this program (repeatable); its figures replace its earlier ones in the results file",
    )
    args = parser.parse_args()
    selected = [program for program in PROGRAMS if not args.program or program.name in args.program]

    machine = socket.gethostname()
    benchmarks: dict[str, dict] = {}
    ratios: list[dict] = []
    spreads: list[dict] = []
    contexts: dict[str, dict] = {}
    try:
        for program in selected:
            if program.python and args.native_only:
                continue
            output = run_program(program, args.build_dir.resolve(), args.repetitions, args.smoke)
            summary = summarise(program.name, output)
            ratios += declared_ratios(program.name, output["context"], summary)
            spreads += declared_spreads(program.name, output["context"], summary)
            benchmarks.update(summary)
            contexts[program.name] = {
                k: v for k, v in output["context"].items() if not k.startswith(("ratio ", "spread "))
            }
    except BenchmarkFailure as failure:
        print(f"run.py: {failure}", file=sys.stderr)
        return 1
    report(benchmarks, ratios, spreads, args.smoke)

    output = args.output or (None if args.smoke else BENCH / "results" / f"{machine}.json")
    if output:
        output.parent.mkdir(parents=True, exist_ok=True)
        date = datetime.now(timezone.utc).isoformat(timespec="seconds")
        results = {
            "machine": machine,
            "date": date,
            "commit": args.commit,
            "command": "make bench",
            "scene": "smoke" if args.smoke else "full",
            "programs": {name: {"date": date, "commit": args.commit} for name in contexts},
            "ratios": ratios,
            "spreads": spreads,
            "benchmarks": benchmarks,
            "contexts": contexts,
        }
        if args.program and output.exists():
            results = merged(json.loads(output.read_text(encoding="utf-8")), results)
        output.write_text(json.dumps(results, indent=2) + "\n", encoding="utf-8")
        print(f"\nwrote {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
