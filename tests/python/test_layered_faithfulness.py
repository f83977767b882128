"""The study behind the layered engine's page runs on tiny scenes and writes figures that hang together."""

import json
import math
import subprocess
import sys
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "bench" / "layered_faithfulness.py"


def run(tmp_path: Path, part: str, *extra: str) -> dict:
    output = tmp_path / f"{part}.json"
    subprocess.run(
        [sys.executable, str(SCRIPT), "--part", part, "--smoke", "--output", str(output), *extra],
        check=True,
        capture_output=True,
    )
    return json.loads(output.read_text(encoding="utf-8"))["runs"]


@pytest.mark.slow
def test_the_agreement_of_the_engines_is_tabulated_per_feed(tmp_path):
    runs = run(tmp_path, "detailed")
    found = runs["agreement"]
    assert set(found["per_feed"]) == set(runs["feeds"]) and len(runs["feeds"]) == 3
    for name, row in found["per_feed"].items():
        detailed = [entry["vrr"] for entry in runs["feeds"][name]["detailed"]]
        assert row["layered_to_detailed"] == pytest.approx(runs["feeds"][name]["layered"]["vrr"] / detailed[0])
        assert all(math.isfinite(value) and value > 0 for value in row.values())
    low, high = found["interval_95"]
    assert found["range"][0] <= found["geometric_mean"] <= found["range"][1]
    assert low < found["geometric_mean"] < high


@pytest.mark.slow
def test_a_tracer_lies_at_least_as_far_along_the_bed_as_the_stacker_carried_it(tmp_path):
    tracers = run(tmp_path, "spread", "--layers", "20")["layers"]["20"]
    assert tracers["one feed row, 50% up"]["chunks"] > 1
    for tracer in tracers.values():
        # Evenly over the travel the middle 90 % would span 0.9 of it; running down the flanks only widens it.
        assert tracer["extent_90_m"] >= 0.9 * tracer["travel_m"] - 1e-9
