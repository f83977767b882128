"""The status of a live bed at any moment: what it holds, how fast it fills, and what it will deliver.

Written after each batch to status.json and status.csv in the bed's state
directory (see live.py); `python -m korvex track status` prints it.

- Stacked: tonnes and volume, deliveries, passes of the stacker, fill fraction.
- Rate: the feed's mass over the time it flowed in its last RATE_DELIVERIES
  deliveries (gaps longer than max_gap_s are stops and left out); the time to
  full is the room left at that rate.
- Quality so far: volume-weighted mean and standard deviation over the
  deliveries stacked, of each quality and of LSF, SM and AM where the oxides
  are there: a modulus's mean is the modulus of the averaged oxides (never a
  mean of ratios), its std the spread of the deliveries' own moduli.
- Predicted output: the bed is filled to its capacity by replicate
  continuations of the feed and reclaimed; each replicate's slices give an
  output mean and standard deviation. A continuation keeps the rhythm of the
  last RECENT_DELIVERIES deliveries (their gaps and volumes, repeated in
  order), and its quality values are a circular block bootstrap of theirs:
  blocks of BLOCK_DELIVERIES consecutive deliveries drawn with replacement.
  The interval is the 5th to 95th percentile over the replicates: the spread
  a feed like the recent one would give, not the error of the model. Its cost
  grows with the room left (a continuation is stacked particle by particle), so
  it is made again by a PredictionPolicy, not after every delivery; the status
  states the policy and how old the prediction it shows is.
"""

from __future__ import annotations

import json
import os
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .derived import CEMENT_MODULI
from .ledger import open_regular
from .metrics import weighted_mean_std
from .tables import csv_field
from .validation import positive, whole

if TYPE_CHECKING:
    from .series import QualitySeries

STATUS_JSON = "status.json"
STATUS_CSV = "status.csv"
RATE_DELIVERIES = 50
RECENT_DELIVERIES = 200
BLOCK_DELIVERIES = 10
REPLICATES = 8
# By default a prediction is made again once the bed has grown by this share of its capacity.
PREDICT_EVERY = 0.01
INTERVAL = (5.0, 95.0)
# What the status's "mean ± std" of the deliveries (or slices) says.
SPREAD_NOTE = (
    "mean ± std by volume; ± is the spread of the {rows} own values; LSF, SM and AM are those of the "
    "averaged oxides"
)


@dataclass(frozen=True)
class Prediction:
    """The output of the bed reclaimed when full, over replicate continuations of its feed.

    figures: per quality (and modulus), the output's mean and std: the median
        over the replicates and the INTERVAL percentiles.
    stacked_m3, deliveries: what the bed held when the prediction was made;
    made_at: when it was made (seconds since the epoch, wall clock).
    """

    method: str
    replicates: int
    stacked_m3: float
    remaining_m3: float
    figures: dict[str, dict[str, float]]
    deliveries: int = 0
    made_at: float = field(default_factory=time.time)


@dataclass(frozen=True)
class PredictionPolicy:
    """When the predicted output is made again: once the bed has grown by every_share of its capacity
    since the last one, or every_deliveries deliveries have been stacked since, or every_s seconds (wall
    clock) have passed and something was stacked since; and always once the bed is full. None leaves a
    rule out; every_deliveries=1 makes it after every batch."""

    every_share: float | None = PREDICT_EVERY
    every_deliveries: int | None = None
    every_s: float | None = None

    def __post_init__(self) -> None:
        if self.every_share is not None:
            positive("every_share", self.every_share, "of the capacity")
        if self.every_deliveries is not None:
            whole("every_deliveries", self.every_deliveries, 1)
        if self.every_s is not None:
            positive("every_s", self.every_s, "s")

    def due(
        self, last: Prediction | None, stacked_m3: float, deliveries: int, capacity_m3: float, full: bool
    ) -> bool:
        if last is None:
            return True
        if deliveries == last.deliveries and stacked_m3 == last.stacked_m3:
            return False
        if full and last.remaining_m3 > 0:
            return True
        return (
            (self.every_share is not None and stacked_m3 - last.stacked_m3 >= self.every_share * capacity_m3)
            or (self.every_deliveries is not None and deliveries - last.deliveries >= self.every_deliveries)
            or (self.every_s is not None and time.time() - last.made_at >= self.every_s)
        )

    def describe(self) -> str:
        rules = []
        if self.every_share is not None:
            rules.append(f"the bed has grown by {100 * self.every_share:g} % of its capacity")
        if self.every_deliveries is not None:
            rules.append(f"{self.every_deliveries} deliveries have been stacked")
        if self.every_s is not None:
            rules.append(f"{self.every_s:g} s have passed")
        made = "made again once " + " or ".join(rules) + " since the last one, and" if rules else "made"
        return f"{made} when the bed becomes full"


def prediction_age(prediction: Prediction, deliveries: int, stacked_m3: float, density_t_per_m3: float) -> dict:
    """How old a prediction is: the deliveries and tonnes stacked since it was made, and its age in seconds."""
    return {
        "made_at_deliveries": prediction.deliveries,
        "made_at_stacked_t": prediction.stacked_m3 * density_t_per_m3,
        "age_deliveries": deliveries - prediction.deliveries,
        "age_t": (stacked_m3 - prediction.stacked_m3) * density_t_per_m3,
        "age_s": max(time.time() - prediction.made_at, 0.0),
    }


def quality_so_far(taken: QualitySeries) -> dict[str, dict[str, float]]:
    """Mean and std of each quality and modulus over the deliveries stacked, weighted by volume."""
    return mean_std(with_moduli(taken.values, taken.names), taken.volume_m3)


def with_moduli(values: np.ndarray, names: Sequence[str]) -> dict[str, np.ndarray]:
    """The quality columns by name, and the cement moduli their oxides allow, each from a row's own oxides."""
    columns = {name: values[:, k] for k, name in enumerate(names)}
    with np.errstate(divide="ignore", invalid="ignore"):
        for name, (function, needs) in CEMENT_MODULI.items():
            if set(needs) <= set(columns) and name not in columns:
                columns[name] = np.asarray(function(columns), dtype=np.float64)  # type: ignore[arg-type]
    return columns


def mean_std(columns: dict[str, np.ndarray], volume: np.ndarray) -> dict[str, dict[str, float]]:
    """Volume-weighted mean and std of each column; a modulus's mean is that of the averaged oxides, its
    std the spread of the rows' own moduli (see korvex.derived)."""
    figures = {}
    for name, column in columns.items():
        keep = np.isfinite(column) & (volume > 0)
        if keep.any():
            mean, std = weighted_mean_std(column[keep], volume[keep])
            figures[name] = {"mean": mean, "std": std}
    means = {name: figure["mean"] for name, figure in figures.items()}
    for name, (function, needs) in CEMENT_MODULI.items():
        if name in figures and set(needs) <= set(means):
            with np.errstate(divide="ignore", invalid="ignore"):
                whole = float(function(means))  # type: ignore[arg-type]
            if np.isfinite(whole):
                figures[name]["mean"] = whole
            else:
                del figures[name]
    return figures


def feed_rate_m3_per_s(taken: QualitySeries, max_gap_s: float) -> float | None:
    """The recent feed rate: volume over flowing time of the last deliveries; None without two."""
    time = taken.time_s[-RATE_DELIVERIES:]
    volume = taken.volume_m3[-RATE_DELIVERIES:]
    flowing_s = float(np.minimum(np.diff(time), max_gap_s).sum()) if time.size > 1 else 0.0
    if flowing_s <= 0:
        return None
    # The first delivery's material flowed before the window opened.
    return float(volume[1:].sum()) / flowing_s


def continuation_schedule(taken: QualitySeries, remaining_m3: float) -> tuple[np.ndarray, np.ndarray]:
    """Times and volumes of the rest of the feed: the recent deliveries' rhythm (gaps and volumes, in
    order) repeated until the bed is full, the last one cut to fit."""
    time = taken.time_s[-RECENT_DELIVERIES:]
    volume = taken.volume_m3[-RECENT_DELIVERIES:]
    gaps = np.diff(time) if time.size > 1 else np.zeros(1)
    count = max(1, time.size - 1)
    # The recent pattern of (gap before, volume), deliveries 1 .. n - 1 (the first has no gap inside it).
    pattern_gap = gaps[:count]
    pattern_volume = volume[-count:]
    repeats = int(np.ceil(remaining_m3 / pattern_volume.sum()))
    volumes = np.tile(pattern_volume, repeats)
    cumulative = np.cumsum(volumes)
    used = int(np.searchsorted(cumulative, remaining_m3 * (1 - 1e-12))) + 1
    volumes = volumes[:used].copy()
    volumes[-1] -= cumulative[used - 1] - remaining_m3
    times = float(taken.time_s[-1]) + np.cumsum(np.tile(pattern_gap, repeats)[:used])
    return times, volumes


def bootstrap_values(taken: QualitySeries, rows: int, rng: np.random.Generator) -> np.ndarray:
    """`rows` quality rows drawn as whole blocks of consecutive recent deliveries, with replacement (a
    circular block bootstrap)."""
    values = taken.values[-RECENT_DELIVERIES:]
    block = min(BLOCK_DELIVERIES, len(values))
    # Blocks wrap round the end of the window, so that every recent delivery is drawn as often as any other.
    starts = rng.integers(len(values), size=-(-rows // block))
    picked = ((starts[:, np.newaxis] + np.arange(block)) % len(values)).ravel()[:rows]
    return values[picked]


def status_rows(report: dict[str, Any]) -> list[tuple[str, str, Any]]:
    """The status as long rows (figure, quality, value), the shape of status.csv."""
    rows: list[tuple[str, str, Any]] = [
        (key, "", value) for key, value in report.items() if key not in ("quality", "prediction")
    ]
    for name, figures in report["quality"].items():
        rows += [(figure, name, value) for figure, value in figures.items()]
    if report["prediction"] is not None:
        for name, figures in report["prediction"]["quality"].items():
            rows += [(f"predicted_{figure}", name, value) for figure, value in figures.items()]
    return rows


def write_status(directory: Path, report: dict[str, Any]) -> None:
    """Replaces status.json and status.csv, each by a rename, so that a reader never sees half of one."""
    text = json.dumps(report, indent=2, allow_nan=False)
    # Quality names come from the plant's file: quoted and neutralised like every CSV Korvex writes.
    rows = [f"{figure},{csv_field(name, ',')},{_cell(value)}" for figure, name, value in status_rows(report)]
    lines = ["figure,quality,value", *rows]
    for name, content in ((STATUS_JSON, text + "\n"), (STATUS_CSV, "\n".join(lines) + "\n")):
        temporary = directory / f".{name}.tmp"
        descriptor = open_regular(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        with os.fdopen(descriptor, "w", encoding="utf-8") as file:
            file.write(content)
        temporary.replace(directory / name)


def _cell(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return str(value).lower()
    return repr(value) if isinstance(value, float) else str(value)


def format_status(report: dict[str, Any]) -> str:
    """The status as a short text for a terminal."""
    if report.get("continuous"):
        lines = [
            f"stacked    {report['stacked_t']:,.0f} t, {report['deliveries']} deliveries, {report['passes']:.1f} "
            f"crossings of the ramp; {report['rejected']} lines refused",
            f"reclaimed  {report['reclaimed_t']:,.0f} t in {report['slices']} slices; {report['on_ring_t']:,.0f} t "
            f"on the ring, the reclaimer at {report['reclaimer_m']:,.1f} m",
        ]
    else:
        lines = [
            f"stacked    {report['stacked_t']:,.0f} t of {report['capacity_t']:,.0f} t "
            f"({100 * report['fill_fraction']:.1f} %), {report['deliveries']} deliveries, "
            f"{report['passes']:.1f} passes; {report['rejected']} lines refused",
        ]
    if report["full"]:
        lines.append("the bed is FULL and takes no more")
    if report["rate_t_per_h"] is not None:
        full = "" if report["time_to_full_h"] is None else f"; full in {report['time_to_full_h']:.1f} h"
        lines.append(f"rate       {report['rate_t_per_h']:,.0f} t/h{full}")
    prediction = report["prediction"]
    if report.get("continuous") and report["quality"]:
        output = report["output_quality"]
        lines.append(f"{'':10} {'stacked':>18} {'reclaimed':>20}")
        for name, figures in report["quality"].items():
            line = f"{name:10} {figures['mean']:9.3f} ± {figures['std']:<6.3f}"
            if name in output:
                line += f"  {output[name]['mean']:9.3f} ± {output[name]['std']:<6.3f}"
            lines.append(line)
        lines.append(SPREAD_NOTE.format(rows="deliveries' and the slices'"))
    elif report["quality"]:
        lines.append(f"{'':10} {'so far':>18} {'predicted output mean':>30} {'predicted output std':>30}")
        for name, figures in report["quality"].items():
            line = f"{name:10} {figures['mean']:9.3f} ± {figures['std']:<6.3f}"
            if prediction is not None and name in prediction["quality"]:
                p = prediction["quality"][name]
                line += (
                    f"  {p['mean']:9.3f} [{p['mean_low']:.3f}, {p['mean_high']:.3f}]"
                    f"  {p['std']:9.3f} [{p['std_low']:.3f}, {p['std_high']:.3f}]"
                )
            lines.append(line)
        lines.append(SPREAD_NOTE.format(rows="deliveries'"))
        if prediction is not None:
            lines.append(f"prediction: {prediction['method']}")
            lines.append(
                f"made {prediction['age_deliveries']} deliveries ({prediction['age_t']:,.0f} t) and "
                f"{prediction['age_s']:.0f} s ago; {prediction['policy']}"
            )
    return "\n".join(lines)


