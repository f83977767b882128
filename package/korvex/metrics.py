"""Homogenisation figures: how much of the input's variability the bed took out.

Every statistic is volume-weighted, so each cubic metre of material counts
once however the series or the slices cut it:

    mean = sum(v_i * q_i) / sum(v_i)
    std  = sqrt(sum(v_i * (q_i - mean)**2) / sum(v_i))

with v_i the volume and q_i the quality value of row (delivery) i of the input
or of reclaimed slice i of the output.

These figures compare portions as they are cut: the input's rows and the
output's slices. A slice larger than a delivery averages more material by its
size alone, so compare runs that cut alike.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike

if TYPE_CHECKING:
    from .results import Reclaimed
    from .series import QualitySeries


def weighted_mean_std(values: ArrayLike, volumes: ArrayLike) -> tuple[float, float]:
    """Volume-weighted mean and standard deviation (see the module's definitions).

    Rows without volume are left out: an empty slice has no value.
    """
    q = np.asarray(values, dtype=np.float64)
    v = np.asarray(volumes, dtype=np.float64)
    if q.shape != v.shape:
        raise ValueError(f"{q.shape[0] if q.ndim else 0} values for {v.shape[0] if v.ndim else 0} volumes")
    keep = v > 0
    q, v = q[keep], v[keep]
    if not v.size:
        raise ValueError("no material: every volume is zero")
    if not np.all(np.isfinite(q)):
        raise ValueError("a quality value of material with volume is not finite")
    mean = float(np.sum(v * q) / np.sum(v))
    return mean, float(np.sqrt(np.sum(v * (q - mean) ** 2) / np.sum(v)))


@dataclass(frozen=True)
class QualityFigures:
    """Homogenisation figures of one quality value.

    vrr: variance reduction ratio, output over input: VRR = std_out**2 / std_in**2.
        Smaller is better; 0.05 means the bed left 5 % of the input's variance.
    effect: homogenisation effect E = std_in / std_out (= 1 / sqrt(VRR)).
        Larger is better.
    ideal_vrr: 1 / N for N layers: the VRR of averaging N independent layers,
        which a slice through N layers of uncorrelated input would achieve.
    efficiency: ideal_vrr / vrr = std_in**2 / (N * std_out**2); 1 matches the
        ideal, below 1 falls short of it (uneven layer shares in a slice),
        above 1 beats it (material rolled along the bed, correlated input).
    """

    name: str
    mean_in: float
    std_in: float
    mean_out: float
    std_out: float
    layers: float | None = None

    @property
    def vrr(self) -> float:
        if self.std_in == 0:
            return math.nan if self.std_out == 0 else math.inf
        return (self.std_out / self.std_in) ** 2

    @property
    def effect(self) -> float:
        if self.std_out == 0:
            return math.nan if self.std_in == 0 else math.inf
        return self.std_in / self.std_out

    @property
    def ideal_vrr(self) -> float | None:
        return None if not self.layers else 1 / self.layers

    @property
    def efficiency(self) -> float | None:
        ideal = self.ideal_vrr
        if ideal is None:
            return None
        vrr = self.vrr
        return math.inf if vrr == 0 else ideal / vrr


def compare(
    names: Sequence[str],
    values_in: ArrayLike,
    volumes_in: ArrayLike,
    values_out: ArrayLike,
    volumes_out: ArrayLike,
    *,
    layers: float | None = None,
) -> tuple[QualityFigures, ...]:
    """Figures for each column of values_in (rows: deliveries) against values_out (rows: slices)."""
    table_in = np.asarray(values_in, dtype=np.float64).reshape(np.shape(volumes_in)[0], -1)
    table_out = np.asarray(values_out, dtype=np.float64).reshape(np.shape(volumes_out)[0], -1)
    if not table_in.shape[1] == table_out.shape[1] == len(names):
        raise ValueError(f"{len(names)} names for {table_in.shape[1]} input and {table_out.shape[1]} output columns")
    figures = []
    for k, name in enumerate(names):
        mean_in, std_in = weighted_mean_std(table_in[:, k], volumes_in)
        mean_out, std_out = weighted_mean_std(table_out[:, k], volumes_out)
        figures.append(QualityFigures(name, mean_in, std_in, mean_out, std_out, layers))
    return tuple(figures)


def homogenisation(
    series: QualitySeries, reclaimed: Reclaimed, *, layers: float | None = None
) -> tuple[QualityFigures, ...]:
    """Figures for every quality value of a series stacked and reclaimed."""
    if series.names != reclaimed.names:
        raise ValueError(f"input qualities {series.names} differ from the reclaimed {reclaimed.names}")
    return compare(series.names, series.values, series.volume_m3, reclaimed.values, reclaimed.volume_m3, layers=layers)


def format_table(figures: Sequence[QualityFigures]) -> str:
    """A plain-text table: one line per quality value."""
    header = ("quality", "mean in", "std in", "mean out", "std out", "VRR out/in", "E in/out")
    rows = [
        (
            f.name,
            f"{f.mean_in:.4g}",
            f"{f.std_in:.4g}",
            f"{f.mean_out:.4g}",
            f"{f.std_out:.4g}",
            f"{f.vrr:.4f}",
            f"{f.effect:.2f}",
        )
        for f in figures
    ]
    widths = [max(len(row[k]) for row in (header, *rows)) for k in range(len(header))]
    lines = [
        "  ".join(
            cell.ljust(width) if k == 0 else cell.rjust(width)
            for k, (cell, width) in enumerate(zip(row, widths, strict=True))
        )
        for row in (header, *rows)
    ]
    return "\n".join(lines)
