"""Homogenisation figures: how much of the input's variability the bed took out.

Every statistic is volume-weighted, so each cubic metre of material counts
once however the series or the slices cut it:

    mean = sum(v_i * q_i) / sum(v_i)
    std  = sqrt(sum(v_i * (q_i - mean)**2) / sum(v_i))

with v_i the volume and q_i the quality value of portion i.

The headline figures compare portions of equal volume. The output portions
are the reclaimed slices, in reclaim order, or composites of consecutive whole
slices that the user asks for; the feed, in stacking order, is cut into
consecutive portions of the same volumes, one for each output portion, a
delivery that straddles a cut split by volume. The variance of an average falls
with the volume it averages, so only portions of one size measure the bed rather
than the size of the portions. A bed of one layer then scores VRR ~ 1, and a
feed whose every delivery is independent of the next scores VRR ~ 1 on any bed:
no bed can even out what varies within a slice.

The per-delivery figures compare the rows as they are cut: the input per
delivery, the output per slice. They are kept as secondary figures, named so.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import validation
from .derived import derived_columns, derived_of_mean
from .errors import SettingsError

if TYPE_CHECKING:
    import pandas as pd

    from .derived import Derivation
    from .results import Reclaimed
    from .series import QualitySeries

FloatArray = NDArray[np.float64]

# Below this many particles an output portion is a handful of grains: its
# variance measures the simulation's resolution, not the bed.
MIN_PARTICLES_PER_PORTION = 4
# Rigid boxes lay uneven layers: on a 20-layer Chevron the detailed engine's VRR reads about twice the
# fast engine's when an output portion holds 90 boxes, and lies within a tenth of it from 300 on
# (docs/resolution.md, "Do the engines agree?"). The fast engine's cells lay even layers at any count.
MIN_BOXES_PER_PORTION = 300
# A variance of fewer portions than this is too rough to compare beds by.
MIN_PORTIONS = 10
# A cut that misses the end of the material by this share of a portion is rounding.
_PORTION_TOLERANCE = 1e-9


class FigureWarning(UserWarning):
    """A figure was computed, but the settings behind it make it rough or misleading."""


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


def cut(volumes: ArrayLike, values: ArrayLike, portion_volumes: ArrayLike) -> FloatArray:
    """Cut material, in its order, into consecutive portions of the given volumes.

    volumes: the volume of each row (delivery or slice); values: its quality
    values, one column each; portion_volumes: the volume of each portion, in
    order. A row that straddles a cut is split by volume. The result holds each
    portion's average, one row per portion; material beyond the last portion
    is left out.

    The quality carried up to volume u along the material is piecewise linear in
    u, so each portion's content is the difference of that running sum,
    interpolated at the portion's two cuts.
    """
    v = np.asarray(volumes, dtype=np.float64)
    q = np.asarray(values, dtype=np.float64).reshape(v.shape[0], -1)
    portions = np.asarray(portion_volumes, dtype=np.float64)
    if portions.ndim != 1 or not portions.size or not np.all(np.isfinite(portions) & (portions > 0)):
        raise ValueError("portion volumes must be positive and finite, at least one of them")
    keep = v > 0
    v, q = v[keep], q[keep]
    if not np.all(np.isfinite(q)):
        raise ValueError("a quality value of material with volume is not finite")
    delivered = np.concatenate([[0.0], np.cumsum(v)])
    total = float(delivered[-1])
    cuts = np.concatenate([[0.0], np.cumsum(portions)])
    if cuts[-1] > total * (1 + _PORTION_TOLERANCE):
        raise ValueError(f"portions of {cuts[-1]:g} m³ in all are more than all the material, {total:g} m³")
    cuts = np.minimum(cuts, total)
    carried = np.vstack([np.zeros((1, q.shape[1])), np.cumsum(v[:, np.newaxis] * q, axis=0)])
    # The row each cut falls in: the last row that starts at or before it.
    row = np.clip(np.searchsorted(delivered, cuts, side="right") - 1, 0, v.size - 1)
    carried_at_cuts = carried[row] + (cuts - delivered[row])[:, np.newaxis] * q[row]
    return np.diff(carried_at_cuts, axis=0) / portions[:, np.newaxis]


def equal_portions(volumes: ArrayLike, values: ArrayLike, portion_m3: float) -> FloatArray:
    """Cut material into as many whole consecutive portions of portion_m3 as it holds (see cut)."""
    if not (math.isfinite(portion_m3) and portion_m3 > 0):
        raise ValueError(f"portion_m3 must be positive and finite, got {portion_m3} m³")
    total = float(np.sum(np.asarray(volumes, dtype=np.float64), where=np.asarray(volumes) > 0))
    count = math.floor(total / portion_m3 + _PORTION_TOLERANCE)
    if count < 1:
        raise ValueError(f"portion_m3 = {portion_m3:g} m³ is more than all the material, {total:g} m³")
    return cut(volumes, values, np.full(count, portion_m3))


def composites(volumes: ArrayLike, values: ArrayLike, composite_m3: float) -> tuple[FloatArray, FloatArray]:
    """Group consecutive whole rows (slices) into composites of about composite_m3.

    A row joins the composite in which its material starts, so each composite
    holds composite_m3 give or take a row; the last may be short. Slices are
    never split: their averages say nothing of how quality varies inside them,
    and splitting one would spread its average over two composites.
    Returns the composites' volumes and average values; empty rows are left out.
    """
    composite_m3 = validation.positive("composite_m3", composite_m3, "m³")
    v = np.asarray(volumes, dtype=np.float64)
    q = np.asarray(values, dtype=np.float64).reshape(v.shape[0], -1)
    keep = v > 0
    v, q = v[keep], q[keep]
    if not v.size:
        return v, q
    if composite_m3 < float(np.median(v)):
        raise SettingsError(
            f"composite_m3 = {composite_m3:g} m³ is smaller than a typical slice of {float(np.median(v)):g} m³; "
            "a composite is made of whole slices"
        )
    starts = np.concatenate([[0.0], np.cumsum(v)[:-1]])
    # A slice larger than a composite leaves the composites it spans without a start of their own:
    # number only those that hold one.
    _, which = np.unique(np.floor(starts / composite_m3 + _PORTION_TOLERANCE), return_inverse=True)
    volume = np.bincount(which, weights=v)
    carried = np.column_stack([np.bincount(which, weights=v * column) for column in q.T])
    return volume, carried / volume[:, np.newaxis]


@dataclass(frozen=True)
class QualityFigures:
    """Homogenisation figures of one quality value.

    mean_in, std_in, mean_out, std_out: volume-weighted statistics of the
        output portions and of the feed cut into portions of the same volumes
        (see the module); of the rows as given when portion_m3 is None. For a
        derived value (a modulus) the means are those of the averaged material
        (korvex.derived.derived_of_mean) and the stds the spread of the portions'
        own values.
    portion_m3: the median volume of the output portions.
    vrr: variance reduction ratio, output over input: VRR = std_out**2 / std_in**2.
        Smaller is better; 0.05 means the bed left 5 % of the input's variance.
    effect: homogenisation effect E = std_in / std_out (= 1 / sqrt(VRR)).
        Larger is better.
    predicted_vrr: the VRR that ideal layering of the plan would give this
        feed (see korvex.theory), or None; Study.homogenisation fills it in.
    std_in_per_delivery, std_out_per_slice, per_delivery_vrr: the same figures
        of the rows as cut: per delivery in, per slice out. They depend on the
        size of deliveries and slices as much as on the bed.
    ideal_vrr: 1 / N for N layers: the VRR of N independent portions.
    efficiency: ideal_vrr / vrr.
    """

    name: str
    mean_in: float
    std_in: float
    mean_out: float
    std_out: float
    layers: float | None = None
    portion_m3: float | None = None
    predicted_vrr: float | None = None
    std_in_per_delivery: float | None = None
    std_out_per_slice: float | None = None

    @property
    def vrr(self) -> float:
        return _variance_ratio(self.std_out, self.std_in)

    @property
    def effect(self) -> float:
        if self.std_out == 0:
            return math.nan if self.std_in == 0 else math.inf
        return self.std_in / self.std_out

    @property
    def per_delivery_vrr(self) -> float | None:
        if self.std_in_per_delivery is None or self.std_out_per_slice is None:
            return None
        return _variance_ratio(self.std_out_per_slice, self.std_in_per_delivery)

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


def _variance_ratio(std_out: float, std_in: float) -> float:
    if std_in == 0:
        return math.nan if std_out == 0 else math.inf
    return (std_out / std_in) ** 2


def compare(
    names: Sequence[str],
    values_in: ArrayLike,
    volumes_in: ArrayLike,
    values_out: ArrayLike,
    volumes_out: ArrayLike,
    *,
    layers: float | None = None,
) -> tuple[QualityFigures, ...]:
    """Figures for each column of values_in (rows as cut) against values_out (rows as cut)."""
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
    series: QualitySeries,
    reclaimed: Reclaimed,
    *,
    layers: float | None = None,
    composite_m3: float | None = None,
    particle_volume_m3: float | None = None,
    engine: str = "fast",
    derived: Mapping[str, Derivation] | None = None,
) -> tuple[QualityFigures, ...]:
    """Figures for every quality value of a series stacked and reclaimed, then for every derived value.

    composite_m3: group the slices into composites of about this volume (see
        composites); by default every slice is an output portion.
    particle_volume_m3: the simulation's particle; with it, output portions of
        fewer than MIN_PARTICLES_PER_PORTION particles raise a FigureWarning,
        and on the detailed engine (engine="detailed") fewer than MIN_BOXES_PER_PORTION.
    derived: values derived from each portion's averaged quality values (by
        default the cement moduli the oxides allow; {} for none), compared
        like the quality values: the moduli of the portions, never averaged moduli.

    Raises ValueError when the output holds fewer than two portions, and warns
    (FigureWarning) when it holds fewer than MIN_PORTIONS.
    """
    if series.names != reclaimed.names:
        raise ValueError(f"input qualities {series.names} differ from the reclaimed {reclaimed.names}")
    full = reclaimed.volume_m3 > 0
    if composite_m3 is None:
        volume_out, values_out = reclaimed.volume_m3[full], reclaimed.values[full]
    else:
        volume_out, values_out = composites(reclaimed.volume_m3, reclaimed.values, composite_m3)
    typical = float(np.median(volume_out))
    _check_portions(volume_out.size, typical, particle_volume_m3, engine)
    # What stays in the stacker (less than a particle) never reaches the output; the feed's portions
    # end where the output ends.
    values_in = cut(series.volume_m3, series.values, volume_out)
    return portion_figures(
        series.names,
        values_in,
        values_out,
        volume_out,
        layers=layers,
        per_row=(series.values, series.volume_m3, reclaimed.values, reclaimed.volume_m3),
        derived=derived,
    )


def portion_figures(
    names: tuple[str, ...],
    values_in: FloatArray,
    values_out: FloatArray,
    volume_m3: FloatArray,
    *,
    layers: float | None = None,
    per_row: tuple[ArrayLike, ArrayLike, ArrayLike, ArrayLike] | None = None,
    derived: Mapping[str, Derivation] | None = None,
) -> tuple[QualityFigures, ...]:
    """Figures of feed and output portions of the same volumes, for every quality value and then every
    derived value of the portions' averages (a derived value some portion lacks, a modulus of a portion
    without Fe2O3 say, is left out).

    per_row: the rows as cut (values and volumes in, values and volumes out), for the per-delivery figures.
    """
    extra, derived_in = derived_columns(names, values_in, derived)
    _, derived_out = derived_columns(names, values_out, derived)
    all_in = np.column_stack([values_in, derived_in])
    all_out = np.column_stack([values_out, derived_out])
    rows: tuple[FloatArray, FloatArray, FloatArray, FloatArray] | None = None
    if per_row is not None:
        rows_in, volume_rows_in, rows_out, volume_rows_out = (np.asarray(a, dtype=np.float64) for a in per_row)
        rows = (
            np.column_stack([rows_in, derived_columns(names, rows_in, derived)[1]]),
            volume_rows_in,
            np.column_stack([rows_out, derived_columns(names, rows_out, derived)[1]]),
            volume_rows_out,
        )
    portion = float(np.median(volume_m3))
    # A derived value's mean is that of the averaged material; its std the spread of the portions' own values.
    whole_in = derived_of_mean(names, values_in, volume_m3, derived)
    whole_out = derived_of_mean(names, values_out, volume_m3, derived)
    figures = []
    for k, name in enumerate((*names, *extra)):
        if k >= len(names) and not (np.isfinite(all_in[:, k]).all() and np.isfinite(all_out[:, k]).all()):
            continue
        mean_in, std_in = weighted_mean_std(all_in[:, k], volume_m3)
        mean_out, std_out = weighted_mean_std(all_out[:, k], volume_m3)
        if k >= len(names):
            mean_in, mean_out = whole_in[name], whole_out[name]
        per_delivery: dict[str, float] = {}
        if rows is not None:
            try:
                per_delivery = {
                    "std_in_per_delivery": weighted_mean_std(rows[0][:, k], rows[1])[1],
                    "std_out_per_slice": weighted_mean_std(rows[2][:, k], rows[3])[1],
                }
            except ValueError:
                # A delivery or slice without a derived value (no Fe2O3, say) has no per-row figure.
                per_delivery = {}
        figures.append(
            QualityFigures(name, mean_in, std_in, mean_out, std_out, layers, portion_m3=portion, **per_delivery)
        )
    return tuple(figures)


def _check_portions(count: int, typical_m3: float, particle_volume_m3: float | None, engine: str) -> None:
    if count < 2:
        raise ValueError(f"the output makes {count} portion of {typical_m3:g} m³: a variance needs at least two")
    if count < MIN_PORTIONS:
        warnings.warn(
            f"the output makes only {count} portions of about {typical_m3:g} m³; "
            f"their variance is rough (fewer than {MIN_PORTIONS})",
            FigureWarning,
            stacklevel=3,
        )
    if particle_volume_m3 is not None and typical_m3 < MIN_PARTICLES_PER_PORTION * particle_volume_m3:
        warnings.warn(
            f"a typical output portion of {typical_m3:g} m³ holds {typical_m3 / particle_volume_m3:.3g} particles "
            f"of {particle_volume_m3:g} m³, fewer than {MIN_PARTICLES_PER_PORTION}: the figures measure the "
            "simulation's graininess; raise particles_per_m3, the reclaim step or composite_m3",
            FigureWarning,
            stacklevel=3,
        )
    elif (
        engine == "detailed"
        and particle_volume_m3 is not None
        and typical_m3 < MIN_BOXES_PER_PORTION * particle_volume_m3
    ):
        warnings.warn(
            f"a typical output portion of {typical_m3:g} m³ holds {typical_m3 / particle_volume_m3:.3g} of the "
            f"detailed engine's boxes, fewer than {MIN_BOXES_PER_PORTION}: boxes this coarse lay uneven layers and "
            "the VRR reads high (about twice the converged figure at 90 boxes a portion); raise particles_per_m3, "
            "the reclaim step or composite_m3",
            FigureWarning,
            stacklevel=3,
        )


def figures_frame(figures: Sequence[QualityFigures]) -> pd.DataFrame:
    """The figures as a table, one row per value: the columns of format_table, numbers all."""
    import pandas as pd

    rows = [
        {
            "quality": f.name,
            "mean in": f.mean_in,
            "std in": f.std_in,
            "mean out": f.mean_out,
            "std out": f.std_out,
            "VRR": f.vrr,
            "E": f.effect,
            "VRR predicted": f.predicted_vrr,
            "VRR per delivery": f.per_delivery_vrr,
        }
        for f in figures
    ]
    return pd.DataFrame(rows)


def format_table(figures: Sequence[QualityFigures]) -> str:
    """A plain-text table: one line per quality value, the equal-portion figures first."""
    header = ["quality", "mean in", "std in", "mean out", "std out", "VRR out/in", "E in/out"]
    predicted = any(f.predicted_vrr is not None for f in figures)
    per_delivery = any(f.per_delivery_vrr is not None for f in figures)
    if predicted:
        header.append("VRR predicted")
    if per_delivery:
        header.append("VRR per delivery")
    rows = []
    for f in figures:
        row = [
            f.name,
            f"{f.mean_in:.4g}",
            f"{f.std_in:.4g}",
            f"{f.mean_out:.4g}",
            f"{f.std_out:.4g}",
            f"{f.vrr:.4f}",
            f"{f.effect:.2f}",
        ]
        if predicted:
            row.append("-" if f.predicted_vrr is None else f"{f.predicted_vrr:.4f}")
        if per_delivery:
            vrr = f.per_delivery_vrr
            row.append("-" if vrr is None else f"{vrr:.4f}")
        rows.append(row)
    widths = [max(len(row[k]) for row in (header, *rows)) for k in range(len(header))]
    lines = [
        "  ".join(
            cell.ljust(width) if k == 0 else cell.rjust(width)
            for k, (cell, width) in enumerate(zip(row, widths, strict=True))
        )
        for row in (header, *rows)
    ]
    return "\n".join(lines)


def fair_figures(
    names: tuple[str, ...],
    feed_volume_m3: ArrayLike,
    feed_values: ArrayLike,
    out_volume_m3: ArrayLike,
    out_values: ArrayLike,
    portion_m3: float,
    *,
    layers: float | None = None,
    derived: Mapping[str, Derivation] | None = None,
) -> tuple[QualityFigures, ...]:
    """QualityFigures of feed and output cut alike: the output into composites of whole consecutive
    slices of about `portion_m3`, the feed, in stacking order, into portions of the same volumes; then
    the derived values (by default the cement moduli) of those portions.

    The last composite, which may be short, is left out, and so are composites beyond the feed's volume.
    """
    portion_m3 = validation.positive("portion_m3", portion_m3, "m³")
    volume_out, means_out = composites(out_volume_m3, out_values, portion_m3)
    feed_total = float(np.sum(np.asarray(feed_volume_m3, dtype=np.float64)))
    fits = int(np.searchsorted(np.cumsum(volume_out[:-1]), feed_total * (1 + 1e-9), side="right"))
    if fits < 2:
        raise SettingsError(
            f"portions of {portion_m3:g} m³ leave fewer than two to compare ({fits}): give smaller portions "
            "or run the ring longer"
        )
    volume_out, means_out = volume_out[:fits], means_out[:fits]
    means_in = cut(feed_volume_m3, feed_values, volume_out)
    return portion_figures(names, means_in, means_out, volume_out, layers=layers, derived=derived)
