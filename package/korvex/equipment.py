"""The stacker and the reclaimer: plans in their settings, the output as a time series.

A reclaimer taking rate_t_per_h turns the slices into a stream in time: a
slice of mass m_t takes m_t / rate_t_per_h hours. The laboratory samples that
stream in composites (hourly, per shift); the figure quoted is the standard
deviation of the composites, each weighted by its mass.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

from . import validation
from .bed import Bed
from .composites import Clock, time_composites
from .derived import Derivation, add_derived, derived_columns
from .errors import SettingsError
from .metrics import weighted_mean_std
from .plans import PLANS, StackingPlan
from .series import QualitySeries
from .units import check_bulk_density
from .validation import positive

if TYPE_CHECKING:
    import pandas as pd

    from .results import Reclaimed
    from .validation import FloatArray

SHIFT_H = 8.0
END_CONE = "end cones"
BODY = "body"
WHOLE = "whole bed"


def _check(name: str, value: float | None, unit: str, *, zero: bool = False) -> None:
    if value is None:
        return
    if zero:
        validation.non_negative(name, value, unit)
    else:
        validation.positive(name, value, unit)


@dataclass(frozen=True)
class Stacker:
    """The stacker as a plant describes it; `plan` turns it into a stacking plan.

    speed_m_per_min: travel speed; None lets the plan's layer count set it.
    turnaround_dwell_s: time it stands at each end while the feed runs on.
    fall_height_m: height of the boom's discharge above the pile, kept for
        the detailed engine (which for now throws from the bed's drop_height_m).
    blending_tail_m: length at each end where it turns and the end cones lie
        (by default half the bed's depth).
    The stacking rate is not a setting: it is the feed's own rate
    (`feed_rate_t_per_h`).
    """

    speed_m_per_min: float | None = None
    turnaround_dwell_s: float = 0.0
    fall_height_m: float | None = None
    blending_tail_m: float | None = None

    def __post_init__(self) -> None:
        _check("speed_m_per_min", self.speed_m_per_min, "m/min")
        _check("turnaround_dwell_s", self.turnaround_dwell_s, "s", zero=True)
        _check("fall_height_m", self.fall_height_m, "m")
        _check("blending_tail_m", self.blending_tail_m, "m", zero=True)

    def plan(self, name: str = "chevron", **settings: Any) -> StackingPlan:
        """The named plan (see PLANS) with this stacker's speed, dwell and tail, and further settings."""
        if name not in PLANS:
            raise SettingsError(f"plan must be one of {sorted(PLANS)}, got {name!r}")
        own: dict[str, Any] = {}
        if self.speed_m_per_min is not None:
            own["stacker_speed_m_per_min"] = self.speed_m_per_min
        if self.turnaround_dwell_s:
            own["turnaround_dwell_s"] = self.turnaround_dwell_s
        if self.blending_tail_m is not None:
            own["blending_tail_m"] = self.blending_tail_m
        try:
            return PLANS[name](**own, **settings)
        except TypeError:
            raise SettingsError(f"the {name} plan takes none of {sorted({**own, **settings})}") from None


def feed_rate_t_per_h(series: QualitySeries, bulk_density_t_per_m3: float) -> float:
    """The feed's mean rate while it flows (stops of the feed left out, see korvex.feed), in t/h."""
    return series.flow.rate_per_h(series.total_volume_m3 * check_bulk_density(bulk_density_t_per_m3))


@dataclass(frozen=True)
class Reclaimer:
    """A reclaimer that takes rate_t_per_h from the face, slice after slice."""

    rate_t_per_h: float

    def __post_init__(self) -> None:
        _check("rate_t_per_h", self.rate_t_per_h, "t/h")

    def output(
        self,
        reclaimed: Reclaimed,
        bulk_density_t_per_m3: float,
        *,
        start_h: float = 0.0,
        derived: Mapping[str, Derivation] | None = None,
        clock: Clock | None = None,
    ) -> OutputSeries:
        """The slices as a stream in time, starting at start_h; derived: as in OutputSeries; clock: where its
        hours fall on the plant's clock, for composites that keep the plant's hours and shifts (see
        korvex.composites)."""
        import pandas as pd

        mass = reclaimed.volume_m3 * check_bulk_density(bulk_density_t_per_m3)
        end = start_h + np.cumsum(mass) / self.rate_t_per_h
        span_h = float(end[-1] - start_h) if end.size else 0.0
        if not span_h <= validation.MAX_SPAN_H:
            raise SettingsError(
                f"reclaiming {float(mass.sum()):.4g} t at rate_t_per_h of {self.rate_t_per_h:g} t/h takes "
                f"{span_h:.3g} h, more than the {validation.MAX_SPAN_H:g} h an output series may span"
            )
        frame = pd.DataFrame(
            {
                "start_h": np.concatenate([[start_h], end[:-1]]),
                "end_h": end,
                "position_m": reclaimed.position_m,
                "volume_m3": reclaimed.volume_m3,
                "mass_t": mass,
            }
        )
        for name, column in zip(reclaimed.names, reclaimed.values.T, strict=True):
            frame[name] = column
        return OutputSeries(frame, reclaimed.names, derived, clock)


def reclaim_hours(reclaimed: Reclaimed, reclaim_rate_m3_per_h: float) -> FloatArray:
    """The middle of each slice's reclaim in hours from its start, for a reclaimer taking reclaim_rate_m3_per_h."""
    rate = positive("reclaim_rate_m3_per_h", reclaim_rate_m3_per_h, "m³/h")
    end = np.cumsum(reclaimed.volume_m3) / rate
    return end - reclaimed.volume_m3 / rate / 2


@dataclass(frozen=True, repr=False)
class OutputSeries:
    """The reclaimed stream in time: one row per slice with start_h, end_h, position_m, volume_m3, mass_t
    and the quality values.

    derived: the values its composites derive from their averaged quality values (by default the cement
    moduli the oxides allow; {} for none). clock: where its hours fall on the plant's clock, if known.
    """

    frame: pd.DataFrame
    names: tuple[str, ...]
    derived: Mapping[str, Derivation] | None = None
    clock: Clock | None = None

    def __repr__(self) -> str:
        return (
            f"OutputSeries({len(self.frame)} slices, {self.frame['mass_t'].sum():,.1f} t over "
            f"{self.duration_h:.4g} h; {', '.join(self.names)})"
        )

    @property
    def duration_h(self) -> float:
        return float(self.frame["end_h"].iloc[-1] - self.frame["start_h"].iloc[0]) if len(self.frame) else 0.0

    def composites(self, interval_h: float = 1.0) -> pd.DataFrame:
        """Mass-weighted composites as the laboratory samples them: on the plant's hours and shifts when
        the stream has a clock, else over consecutive intervals from the start of the reclaim; a slice
        reclaimed across a boundary counts in each interval in proportion (see korvex.composites).
        Columns: start (with a clock), start_h, end_h, mass_t, volume_m3, the averaged quality values and
        the values derived from them (LSF, SM, AM of each composite's averaged oxides, say).
        """
        _check("interval_h", interval_h, "h")
        validation.within("interval_h", interval_h, 0, validation.MAX_SPAN_H, "h")
        validation.row_count(
            self.duration_h / interval_h,
            f"composites of {interval_h:g} h over {self.duration_h:g} h",
            validation.MAX_ROWS,
        )
        frame = self.frame
        if not (frame["mass_t"] > 0).any():
            raise SettingsError("no material was reclaimed")
        composites = time_composites(
            frame["start_h"],
            frame["end_h"],
            frame["mass_t"],
            frame[list(self.names)].to_numpy(dtype=np.float64),
            self.names,
            interval_h,
            origin_h=None if self.clock is not None else float(frame["start_h"].iloc[0]),
            volume_m3=frame["volume_m3"],
            clock=self.clock,
        )
        return add_derived(composites, self.derived)

    def composite_std(self, interval_h: float = 1.0) -> dict[str, float]:
        """The mass-weighted std of each quality and derived value over the composites of interval_h: what
        the kiln sees after the bed (a composite without a derived value, without Fe2O3 say, left out)."""
        composites = self.composites(interval_h)
        mass = composites["mass_t"].to_numpy()
        values = composites[list(self.names)].to_numpy(dtype=np.float64)
        extra = derived_columns(self.names, values[:1], self.derived)[0]
        stds = {}
        for name in (*self.names, *extra):
            column = composites[name].to_numpy(dtype=np.float64)
            keep = np.isfinite(column)
            stds[name] = weighted_mean_std(column[keep], mass[keep])[1] if keep.any() else math.nan
        return stds


def slice_regions(reclaimed: Reclaimed, bed: Bed, blending_tail_m: float | None) -> np.ndarray:
    """END_CONE or BODY for every slice: end-cone slices are those taken while the
    reclaimer stands within the blending tail at either end of a straight bed.

    A circular bed, or a plan without tails, has a body only.
    """
    regions = np.full(len(reclaimed), BODY, dtype=object)
    if bed.circular or not blending_tail_m:
        return regions
    middle = reclaimed.position_m - bed.reclaim_step_m / 2
    regions[(middle < blending_tail_m) | (middle > bed.length_m - blending_tail_m)] = END_CONE
    return regions


def region_figures(
    reclaimed: Reclaimed, regions: np.ndarray, bulk_density_t_per_m3: float | None = None
) -> pd.DataFrame:
    """Mean and std of every quality value over the end cones, the body and the whole bed.

    Rows: region; columns: slices, volume_m3 (and mass_t with a density), then
    "<quality> mean" and "<quality> std" (volume-weighted over the slices).
    """
    import pandas as pd

    rows = []
    for region in (END_CONE, BODY, WHOLE):
        mask = (regions == region if region != WHOLE else np.ones(len(reclaimed), dtype=bool)) & (
            reclaimed.volume_m3 > 0
        )
        if not mask.any():
            continue
        row: dict[str, Any] = {
            "region": region,
            "slices": int(mask.sum()),
            "volume_m3": float(reclaimed.volume_m3[mask].sum()),
        }
        if bulk_density_t_per_m3 is not None:
            row["mass_t"] = row["volume_m3"] * check_bulk_density(bulk_density_t_per_m3)
        for k, name in enumerate(reclaimed.names):
            mean, std = weighted_mean_std(reclaimed.values[mask, k], reclaimed.volume_m3[mask])
            row[f"{name} mean"] = mean
            row[f"{name} std"] = std
        rows.append(row)
    return pd.DataFrame(rows)
