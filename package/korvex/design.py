"""Design answers that hold in a plant: the smallest setting from which a target holds, how the result
moves around the value chosen, and whether it holds over the whole operating range.

The VRR does not fall steadily with layers or stacker speed: when a pass of
the stacker takes about as long as a turn of the quarry's faces, layers line
up with the feed's rhythm and the bed blends little. Bisection, which assumes
a steady fall, then answers by the luck of the values it happens to try. A
search instead evaluates the setting on a grid, every value over replicates
that each draw the plant's operation (korvex.operation), fits a smooth trend
of log VRR (or of the kiln's figure judged: the std of the output's
composites, the odds of a tonne outside the target band) against log setting,
and judges each value by the one-sided bound that one bed built there stays
below at the stated confidence: the trend plus the scatter of single beds
about it, and the same bound from its own draws alone, so that a resonance at
one value is not smoothed away. The answer is the smallest value of the grid
from which both bounds meet the target over all the rest of the range
searched; or none. It says, and draws, that bound.

A sensitivity view sweeps the setting finely around the value chosen, the
stacker's speed drawn no more, so that a resonance shows as a dip of E. An
operating scan covers the whole range a plant runs its stacker in, with ideal
layering of the plan's own chunks at every step, and simulates its dips.
"""

from __future__ import annotations

import math
import numbers
import textwrap
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any

import numpy as np

from . import validation
from .bed import Bed
from .capacity import bed_capacity
from .derived import Derivation
from .errors import SettingsError
from .operation import Operation
from .plans import StackingPlan
from .series import QualitySeries, as_series
from .sweeps import Kiln, build, panel_grid, summarise, sweep
from .theory import ALTERNATING_PLANS, chunk_layering_vrr

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.figure import Figure

# Values of the grid a search evaluates by default, spaced evenly on a log scale.
SEARCH_POINTS = 9
# The trend's degree in log setting: a slope and a bend.
TREND_DEGREE = 2
# Points on which a trend's bound is checked between two values of the grid.
MESH_POINTS = 400


@dataclass(frozen=True)
class Trend:
    """log VRR against log setting, fitted by least squares to each operational draw's mean.

    coefficients: of the polynomial in log setting, highest power first; inverse: (X'X)^-1;
    scatter: the residual standard deviation (one draw's mean about the trend); dof: its degrees of
    freedom.
    """

    coefficients: np.ndarray
    inverse: np.ndarray
    scatter: float
    dof: int

    @classmethod
    def fit(cls, setting: np.ndarray, vrr: np.ndarray, degree: int = TREND_DEGREE) -> Trend:
        x = np.log(np.asarray(setting, dtype=np.float64))
        y = np.log(np.asarray(vrr, dtype=np.float64))
        distinct = np.unique(x).size
        degree = min(degree, distinct - 1)
        if degree < 1 or y.size <= degree + 1:
            raise ValueError(
                f"a trend needs at least two values of the setting and more draws than terms; got {distinct} "
                f"values and {y.size} draws"
            )
        design = np.vander(x, degree + 1)
        coefficients, *_ = np.linalg.lstsq(design, y, rcond=None)
        dof = y.size - (degree + 1)
        residual = y - design @ coefficients
        scatter = float(np.sqrt(residual @ residual / dof))
        return cls(coefficients, np.linalg.inv(design.T @ design), scatter, dof)

    def log_vrr(self, setting: np.ndarray | float) -> np.ndarray:
        return np.polyval(self.coefficients, np.log(np.asarray(setting, dtype=np.float64)))

    def bounds(self, setting: np.ndarray | float, confidence: float, *, one_bed: bool) -> tuple[np.ndarray, np.ndarray]:
        """Two-sided bounds of log VRR at `confidence`: of the trend itself, or (one_bed) of a single bed
        built at the setting."""
        from scipy import stats

        x = np.log(np.atleast_1d(np.asarray(setting, dtype=np.float64)))
        rows = np.vander(x, self.coefficients.size)
        leverage = np.einsum("ij,jk,ik->i", rows, self.inverse, rows)
        spread = self.scatter * np.sqrt(leverage + (1.0 if one_bed else 0.0))
        t = stats.t.ppf(0.5 + confidence / 2, self.dof)
        middle = rows @ self.coefficients
        return middle - t * spread, middle + t * spread

    def upper(self, setting: np.ndarray | float, confidence: float) -> np.ndarray:
        """The one-sided bound of log VRR that one bed built at the setting stays below at `confidence`."""
        _, high = self.bounds(setting, 2 * confidence - 1, one_bed=True)
        return high


@dataclass(frozen=True)
class Criterion:
    """What a search judges: a figure of the sweep's table and the limit one bed must keep.

    figure: "vrr" (below the limit), "composite_std_out" (the std of the output's composites, what the
    kiln sees, below the limit) or "band_share_out" (the share of the output's tonnes inside the value's
    target band, above the limit). Every figure is judged as a positive number that a better bed makes
    smaller, on the log scale: the VRR, the std, and for a share p the odds of a tonne outside the band,
    (1 - p) / p, with p taken as (p n + 1/2) / (n + 1) over the n composites so that a run whose every
    composite lies inside has finite odds.
    """

    figure: str
    limit: float

    def __post_init__(self) -> None:
        validation.choice("figure", self.figure, tuple(CRITERIA))
        if self.figure == "band_share_out":
            validation.within("target_share", self.limit, 0, 1, open_ends=True)
        else:
            validation.positive(CRITERIA[self.figure][1], self.limit)

    def judged(self, rows: pd.DataFrame) -> np.ndarray:
        """The rows' figure as the positive number judged (smaller is better)."""
        values = rows[self.figure].to_numpy(dtype=np.float64)
        if self.figure != "band_share_out":
            return values
        count = rows["composites"].to_numpy(dtype=np.float64)
        share = (values * count + 0.5) / (count + 1)
        return (1 - share) / share

    @property
    def goal(self) -> float:
        """The limit as the number judged."""
        return self.limit if self.figure != "band_share_out" else (1 - self.limit) / self.limit

    def shown(self, judged: np.ndarray) -> np.ndarray:
        """A number judged as the figure a plant reads: E for a VRR, the std, the share."""
        judged = np.asarray(judged, dtype=np.float64)
        if self.figure == "vrr":
            return judged**-0.5
        if self.figure == "band_share_out":
            return 1 / (1 + judged)
        return judged

    @property
    def shown_column(self) -> str:
        return "effect" if self.figure == "vrr" else self.figure

    @property
    def better(self) -> str:
        """Which way the figure shown must lie: "above" or "below"."""
        return "below" if self.figure == "composite_std_out" else "above"

    @property
    def name(self) -> str:
        return CRITERIA[self.figure][0]

    def target(self, quality: str | None = None) -> str:
        if self.figure == "vrr":
            return f"VRR < {self.limit:.4g} (E > {self.limit ** -0.5:.3g})"
        sign = "<" if self.better == "below" else ">"
        return f"{self.name}{'' if quality is None else ' of ' + quality} {sign} {self.limit:.4g}"


# Each figure a search may judge: how it reads, and the name of its limit.
CRITERIA = {
    "vrr": ("E", "target_vrr"),
    "composite_std_out": ("std of the composites", "target_std"),
    "band_share_out": ("share of tonnes in the band", "target_share"),
}


def draw_means(
    table: pd.DataFrame, setting: str, quality: str, criterion: Criterion | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """The setting and the mean judged figure (the VRR by default) of each operational draw of one
    quality value, runs that failed left out."""
    criterion = Criterion("vrr", 1.0) if criterion is None else criterion
    done = table[(table["error"].isna()) & (table["quality"] == quality)]
    done = done.assign(judged=criterion.judged(done))
    done = done[np.isfinite(done["judged"])]
    draws = "operation" if "operation" in done.columns else "replicate"
    means = done.groupby([setting, draws], sort=True)["judged"].mean().reset_index()
    return means[setting].to_numpy(dtype=np.float64), means["judged"].to_numpy(dtype=np.float64)


@dataclass(frozen=True)
class Judgement:
    """One quality value's verdict on a grid: its trend, the one-sided bound of one bed at each value of
    the grid from that value's draws alone (log of the figure judged; None without two draws at a value),
    and the smallest value of the grid from which one bed's bound meets the target over the rest of the
    range (None: no value does)."""

    quality: str
    trend: Trend
    value: float | None
    grid: np.ndarray | None = None
    local: np.ndarray | None = None

    def bound(self, at: float, confidence: float) -> float:
        """The one-sided bound (log of the figure judged) that one bed built at a value of the grid stays
        below at the confidence: the larger of the trend's and of that value's own draws', as judged."""
        bound = float(self.trend.upper(at, confidence)[0])
        if self.local is not None and self.grid is not None:
            bound = max(bound, float(self.local[np.argmin(np.abs(self.grid - at))]))
        return bound


def judge(
    table: pd.DataFrame,
    setting: str,
    target_vrr: float | None = None,
    *,
    quality: str | Sequence[str] | None = None,
    confidence: float = 0.95,
    criterion: Criterion | None = None,
) -> tuple[Judgement, ...]:
    """Judge a sweep's table over `setting` (see the module), for the quality values named (one name or
    several: an oxide, or a modulus such as LSF) or for each of them; by target_vrr, or by a criterion
    (the kiln's: the std of the composites, the share of tonnes in the band)."""
    if (target_vrr is None) == (criterion is None):
        raise ValueError("give either target_vrr or a criterion")
    criterion = Criterion("vrr", target_vrr) if criterion is None else criterion  # type: ignore[arg-type]
    judged = table.loc[table["error"].isna()]
    if criterion.figure != "vrr":
        judged = judged[np.isfinite(judged[criterion.figure].to_numpy(dtype=np.float64))]
    qualities = list(dict.fromkeys(judged["quality"].dropna()))
    if quality is not None:
        named = [quality] if isinstance(quality, str) else list(dict.fromkeys(quality))
        unknown = [name for name in named if name not in qualities]
        if unknown or not named:
            raise ValueError(f"quality: no quality value {unknown or named!r} among {qualities}")
        qualities = named
    if not qualities:
        raise ValueError("no run of the search gave figures to judge")
    failed = table["error"].notna()
    if failed.any():
        where = table.loc[failed, setting].iloc[0]
        raise ValueError(f"runs failed at {setting} = {where}; see the sweep's error column")
    verdicts = []
    goal = math.log(criterion.goal)
    for name in qualities:
        values, figure = draw_means(table, setting, name, criterion)
        trend = Trend.fit(values, figure)
        grid = np.unique(values)
        mesh = np.exp(np.linspace(math.log(grid[0]), math.log(grid[-1]), MESH_POINTS))
        at = np.concatenate([mesh, grid])
        holds = np.concatenate([trend.upper(mesh, confidence), trend.upper(grid, confidence)]) < goal
        # A smooth trend runs through a resonance at one value; each value's own draws must hold too.
        local = local_upper(values, figure, confidence)
        if local is not None:
            at = np.concatenate([at, grid])
            holds = np.concatenate([holds, local < goal])
        # The smallest grid value from which every point checked further up holds.
        missing = at[~holds]
        candidates = grid if missing.size == 0 else grid[grid > missing.max()]
        verdicts.append(Judgement(name, trend, float(candidates[0]) if candidates.size else None, grid, local))
    return tuple(verdicts)


def local_upper(values: np.ndarray, judged: np.ndarray, confidence: float) -> np.ndarray | None:
    """At each value of the grid, the one-sided bound of the log of the figure judged (the VRR, say) for
    one bed from that value's draws alone, with the scatter of draws pooled over all values (None when no
    value has two draws)."""
    from scipy import stats

    grid, which, counts = np.unique(values, return_inverse=True, return_counts=True)
    y = np.log(judged)
    dof = y.size - grid.size
    if dof < 1:
        return None
    means = np.bincount(which, weights=y) / counts
    pooled = math.sqrt(float(np.sum((y - means[which]) ** 2)) / dof)
    return means + stats.t.ppf(confidence, dof) * pooled * np.sqrt(1 + 1 / counts)


@dataclass(frozen=True, repr=False)
class Search:
    """The outcome of a search over a grid.

    value: the smallest value of the grid from which the target holds at the confidence over the rest of
        the range searched, for every quality value judged (None: none does).
    judgements: each quality value's trend and answer; table: every run.
    criterion: what was judged (None: the VRR against target_vrr).
    bound: the one-sided bound that one bed built at `value` keeps at the confidence, of the quality
        value that decides, as the figure reads (E, a std, a share): what the answer is judged on.
    interval_vrr: the two-sided range one bed built at `value` stays within at the confidence, from the
        trend alone (of the quality value that decides), or None; interval_effect the same as E.
    """

    setting: str
    target_vrr: float
    confidence: float
    value: float | None
    judgements: tuple[Judgement, ...]
    table: pd.DataFrame
    stamp: str
    criterion: Criterion | None = None

    def __repr__(self) -> str:
        return f"Search({self.describe()})"

    @property
    def judged(self) -> Criterion:
        return Criterion("vrr", self.target_vrr) if self.criterion is None else self.criterion

    @property
    def grid(self) -> list[float]:
        return sorted(set(self.table[self.setting].tolist()))

    @property
    def deciding(self) -> Judgement:
        """The quality value that needs the most: the last to hold, or the first that never does."""
        never = [j for j in self.judgements if j.value is None]
        if never:
            return never[0]
        return max(self.judgements, key=lambda j: j.value)  # type: ignore[arg-type, return-value]

    @property
    def bound(self) -> float | None:
        if self.value is None:
            return None
        return float(self.judged.shown(math.exp(self.deciding.bound(self.value, self.confidence))))

    @property
    def interval_vrr(self) -> tuple[float, float] | None:
        if self.value is None:
            return None
        low, high = self.deciding.trend.bounds(self.value, self.confidence, one_bed=True)
        return float(np.exp(low[0])), float(np.exp(high[0]))

    @property
    def interval_effect(self) -> tuple[float, float] | None:
        """interval_vrr as E = 1 / sqrt(VRR)."""
        interval = self.interval_vrr
        return None if interval is None else (interval[1] ** -0.5, interval[0] ** -0.5)

    @property
    def summary(self) -> pd.DataFrame:
        return summarise(self.table, confidence=self.confidence)

    def describe(self) -> str:
        share = f"{self.confidence:.0%}"
        criterion = self.judged
        target = criterion.target(self.deciding.quality if len(self.judgements) == 1 else None)
        grid = self.grid
        if self.value is None:
            return (
                f"no {self.setting} from {grid[0]:g} to {grid[-1]:g} reaches {target} for one bed with "
                f"{share} confidence over the rest of the range; {self._never()}"
            )
        least = {"layers": "fewest", "stacker_speed_m_per_min": "slowest"}.get(self.setting, "smallest")
        quality = self.deciding.quality
        return (
            f"{least} {self.setting} from which {target} holds for one bed with {share} confidence up to "
            f"{grid[-1]:g}: {self.value:g} ({quality}: one bed's {criterion.name} {criterion.better} "
            f"{self.bound:.3g} with {share} confidence, the one-sided bound judged)"
        )

    def _never(self) -> str:
        """Which quality values hold from no value of the grid, and the best figure a draw reached for each."""
        criterion = self.judged
        parts = []
        for judgement in self.judgements:
            if judgement.value is None:
                _, judged = draw_means(self.table, self.setting, judgement.quality, criterion)
                best = float(criterion.shown(judged.min()))
                most = "at least" if criterion.better == "below" else "at most"
                parts.append(f"{judgement.quality} (mean {criterion.name} of a draw {most} {best:.3g})")
        return "never from any value: " + ", ".join(parts)

    def figure(self, *, footer: str | None = None) -> Figure:
        """The figure judged against the setting: every run, each draw's mean, the trend, the one-sided
        bound of one bed that the answer is judged on (from the trend, and from each value's own draws),
        the target and the answer; one panel per quality value judged."""
        from matplotlib.ticker import NullLocator

        from .plots import add_footer

        criterion = self.judged
        plot, axes = panel_grid(len(self.judgements))
        grid = np.asarray(self.grid, dtype=np.float64)
        mesh = np.exp(np.linspace(math.log(grid[0]), math.log(grid[-1]), 200))
        done = self.table[self.table["error"].isna()]
        share = f"{self.confidence:.0%}"
        for panel, judgement in zip(axes, self.judgements, strict=True):
            runs = done[done["quality"] == judgement.quality]
            panel.plot(runs[self.setting], runs[criterion.shown_column], ".", color="0.6", markersize=4, label="runs")
            values, judged = draw_means(self.table, self.setting, judgement.quality, criterion)
            panel.plot(values, criterion.shown(judged), "o", color="C0", markersize=4, fillstyle="none",
                       label="draws' means")
            trend = judgement.trend
            panel.plot(mesh, criterion.shown(np.exp(trend.log_vrr(mesh))), color="C0", label="trend")
            panel.plot(mesh, criterion.shown(np.exp(trend.upper(mesh, self.confidence))), color="C3",
                       linestyle="--", label=f"one bed {criterion.better}, {share} (trend)")
            if judgement.local is not None and judgement.grid is not None:
                marker = "^" if criterion.better == "below" else "v"
                panel.plot(judgement.grid, criterion.shown(np.exp(judgement.local)), marker, color="C3",
                           fillstyle="none", linestyle="none", label=f"one bed {criterion.better}, {share} (its draws)")
            panel.axhline(criterion.shown(criterion.goal), color="black", linewidth=0.8, linestyle=":",
                          label="target")
            if judgement.value is not None:
                panel.axvline(judgement.value, color="C3", linewidth=1.0, label=f"answer {judgement.value:g}")
            panel.set_xscale("log")
            # The values searched, as they were given, rather than powers of ten.
            panel.set_xticks(grid, labels=[f"{value:g}" for value in grid])
            panel.xaxis.set_minor_locator(NullLocator())
            panel.set_title(judgement.quality)
            panel.set_xlabel(self.setting)
            panel.set_ylabel(FIGURE_AXES[criterion.figure])
            panel.grid(True, which="both", alpha=0.3)
        axes[0].legend(fontsize=7)
        # The answer's sentence, wrapped to the figure's width (about 12 characters an inch at this size).
        width = int(12 * plot.get_figwidth())
        plot.suptitle(textwrap.fill(f"Search: {self.describe()}", width), fontsize=9)
        add_footer(plot, footer or self.stamp)
        return plot


# The axis of each figure judged, as a plant reads it.
FIGURE_AXES = {
    "vrr": "E, std in / std out (larger is better)",
    "composite_std_out": "std of the output's composites (smaller is better)",
    "band_share_out": "share of tonnes in the band (larger is better)",
}
def search_grid(low: float, high: float, points: int, *, whole: bool) -> list[float]:
    """`points` values from low to high, evenly spaced on a log scale; whole numbers for a count."""
    low = validation.positive("low", low)
    high = validation.positive("high", high)
    if not low < high:
        raise ValueError(f"the search needs low < high, got {low:g} to {high:g}")
    points = validation.whole("points", points, 3)
    values = np.exp(np.linspace(math.log(low), math.log(high), points))
    if whole:
        return sorted({int(round(value)) for value in values})
    return [float(f"{value:.4g}") for value in values]


def fixed_settings(settings: Mapping[str, Any] | None, varied: str) -> dict[str, Any]:
    """The settings held fixed while `varied` varies. A setting given as None is refused: a sweep would
    run it at its default (100 layers, say) and say nothing, and None is what a search that found no
    answer gives as its value."""
    fixed = dict(settings or {})
    fixed.pop(varied, None)
    unset = [name for name, value in fixed.items() if value is None]
    if unset:
        raise SettingsError(
            f"settings: {', '.join(f'{name} = None' for name in unset)} is unset, and would run at its default; "
            "give a value (a search that found no answer has the value None), or leave the setting out"
        )
    return fixed


def target_vrr_of(target_vrr: float | None, target_effect: float | None) -> float:
    """The target as a VRR, from the VRR or from E = 1 / sqrt(VRR); exactly one of them."""
    if (target_vrr is None) == (target_effect is None):
        raise ValueError("give either target_vrr or target_effect")
    if target_effect is not None:
        return validation.positive("target_effect", target_effect) ** -2
    return validation.positive("target_vrr", target_vrr)


def criterion_of(
    target_vrr: float | None,
    target_effect: float | None,
    target_std: float | None,
    target_share: float | None,
    kiln: Kiln | None,
    quality: str | Sequence[str] | None,
) -> Criterion:
    """What a search judges, from the one target given; the kiln's figures need a Kiln, one quality
    value and, for a share, that value's band among the kiln's targets."""
    targets = {"target_vrr": target_vrr, "target_effect": target_effect, "target_std": target_std,
               "target_share": target_share}
    given = [name for name, value in targets.items() if value is not None]
    if len(given) != 1:
        raise SettingsError(f"give one target of {', '.join(targets)}; got {', '.join(given) or 'none'}")
    if target_std is None and target_share is None:
        return Criterion("vrr", target_vrr_of(target_vrr, target_effect))
    if kiln is None:
        raise SettingsError(f"{given[0]} is a figure of the kiln's composites: give kiln=Kiln(bulk density, targets)")
    if not isinstance(quality, str):
        raise SettingsError(
            f"{given[0]} judges one quality value or modulus: give quality=\"LSF\", say; got {quality!r}"
        )
    if target_share is not None:
        kiln.band(quality)
        return Criterion("band_share_out", target_share)
    return Criterion("composite_std_out", target_std)  # type: ignore[arg-type]


def search(
    setting: str,
    target_vrr: float | None = None,
    low: float | None = None,
    high: float | None = None,
    *,
    target_effect: float | None = None,
    target_std: float | None = None,
    target_share: float | None = None,
    kiln: Kiln | None = None,
    values: Sequence[float] | None = None,
    points: int = SEARCH_POINTS,
    settings: Mapping[str, Any] | None = None,
    quality: str | Sequence[str] | None = None,
    confidence: float = 0.95,
    replicates: int = 6,
    operation: Operation | None = None,
    **options: Any,
) -> Search:
    """The smallest value of a setting (layers, stacker_speed_m_per_min, ...) from which a target holds
    for one bed at the confidence over the rest of the range searched, judged on the one-sided bound of
    one bed; see the module.

    The target: a VRR (target_vrr) or E (target_effect); or, with a kiln (korvex.sweeps.Kiln: the bulk
    density, the target bands, the composites' interval), the kiln's KPI of one quality value: the std
    of the output's composites (target_std, hourly by default) or the share of its tonnes inside the
    value's band (target_share, 0 to 1).
    The grid: `values`, or `points` values from low to high evenly spaced on a log scale (whole numbers
    when low and high are). quality: the quality value that must hold, or several; a plant judges its
    KPI, say "LSF" (a modulus of the portions' averaged oxides). By default every quality value and
    every modulus must hold; a modulus that varies mostly from one delivery to the next, which layers
    do not average away, may hold from no value at all, and describe() names it.
    replicates: runs per value (every Operation.engine_runs of them share an operational draw; on the
        layered engine, which draws nothing at random, every one is a draw of its own).
    settings: the other settings, fixed. options: those of sweep (feed, seed, scheduler, ...).
    """
    criterion = criterion_of(target_vrr, target_effect, target_std, target_share, kiln, quality)
    confidence = validation.within("confidence", confidence, 0.5, 1, open_ends=True)
    if values is None:
        if low is None or high is None:
            raise ValueError("give the range searched (low and high) or its values")
        whole = isinstance(low, numbers.Integral) and isinstance(high, numbers.Integral)
        grid = search_grid(low, high, points, whole=whole)
    else:
        grid = sorted({validation.positive(setting, value) for value in values})
        if len(grid) < 3:
            raise ValueError(f"a search needs at least three values of {setting}, got {grid}")
    fixed = fixed_settings(settings, setting)
    operation = Operation() if operation is None else operation
    result = sweep({**fixed, setting: grid}, replicates=replicates, operation=operation, kiln=kiln, **options)
    judgements = judge(result.table, setting, quality=quality, confidence=confidence, criterion=criterion)
    answers = [j.value for j in judgements]
    value = None if any(answer is None for answer in answers) else max(answers)  # type: ignore[type-var]
    if value is not None and float(value).is_integer() and all(float(v).is_integer() for v in grid):
        value = int(value)
    target = criterion.limit if criterion.figure == "vrr" else math.nan
    return Search(setting, target, confidence, value, judgements, result.table, result.stamp, criterion)


@dataclass(frozen=True, repr=False)
class Sensitivity:
    """A result against a setting varied finely around a chosen value: the sweep's table and summary."""

    setting: str
    chosen: float
    table: pd.DataFrame
    stamp: str
    confidence: float = 0.95

    def __repr__(self) -> str:
        values = sorted(set(self.table[self.setting]))
        return f"Sensitivity({self.setting} {values[0]:g} to {values[-1]:g} around {self.chosen:g}, {len(values)} values)"

    @property
    def summary(self) -> pd.DataFrame:
        return summarise(self.table, confidence=self.confidence)

    def effect_range(self, quality: str) -> tuple[float, float]:
        """The lowest and highest mean E over the values swept, for one quality value."""
        rows = self.summary
        effect = rows.loc[rows["quality"] == quality, "effect"].to_numpy(dtype=np.float64)
        return float(effect.min()), float(effect.max())

    def figure(
        self,
        *,
        interval_effect: tuple[float, float] | None = None,
        interval_quality: str | None = None,
        qualities: Sequence[str] | None = None,
        bound: float | None = None,
        footer: str | None = None,
    ) -> Figure:
        """E against the setting around the chosen value: every run and the mean with its interval, per
        quality value (those named in qualities, by default every one), in rows of at most three panels.
        bound: the one-sided bound of E that a search judged its answer on (Search.bound), drawn across
        the panel of interval_quality, the quality value the search judged (by default on every panel);
        interval_effect: a search's two-sided range for one bed, drawn at the chosen value."""
        from .plots import add_footer

        summary = self.summary
        done = self.table[self.table["error"].isna()]
        known = list(dict.fromkeys(summary["quality"].dropna()))
        qualities = known if qualities is None else list(qualities)
        unknown = [name for name in (*qualities, *([interval_quality] if interval_quality else [])) if name not in known]
        if unknown or not qualities:
            raise ValueError(f"qualities: no quality value {unknown or qualities!r} among {known}")
        plot, axes = panel_grid(len(qualities))
        share = f"{self.confidence:.0%}"
        for panel, quality in zip(axes, qualities, strict=True):
            runs = done[done["quality"] == quality]
            panel.plot(runs[self.setting], runs["effect"], ".", color="0.6", markersize=4, label="runs")
            rows = summary[summary["quality"] == quality].sort_values(self.setting)
            panel.plot(rows[self.setting], rows["effect"], "o-", color="C0", markersize=4, label="mean")
            if rows["effect_low"].notna().any():
                panel.fill_between(rows[self.setting], rows["effect_low"], rows["effect_high"], color="C0",
                                   alpha=0.2, label=f"mean, {share}")
            else:
                panel.text(0.02, 0.02, "one run a value: too few for an interval", transform=panel.transAxes,
                           fontsize=7, color="0.3")
            panel.axvline(self.chosen, color="C3", linewidth=1.0, label=f"chosen {self.chosen:g}")
            mine = interval_quality in (None, quality)
            if bound is not None and mine:
                panel.axhline(bound, color="C3", linestyle="--", linewidth=1.0,
                              label=f"search: one bed above, {share}")
            if interval_effect is not None and mine:
                panel.errorbar([self.chosen], [sum(interval_effect) / 2],
                               yerr=[[sum(interval_effect) / 2 - interval_effect[0]],
                                     [interval_effect[1] - sum(interval_effect) / 2]],
                               color="C3", capsize=5, linewidth=2, label="search: one bed")
            panel.set_title(quality)
            panel.set_xlabel(self.setting)
            panel.set_ylabel("E, std in / std out")
            panel.grid(True, alpha=0.3)
        # The legend goes where the search's bound is, so that it names it.
        axes[qualities.index(interval_quality) if interval_quality in qualities else 0].legend(fontsize=7)
        plot.suptitle(f"Sensitivity of E (larger is better) to {self.setting} around {self.chosen:g}", fontsize=10)
        add_footer(plot, footer or self.stamp)
        return plot


def sensitivity(
    setting: str,
    chosen: float,
    *,
    spread: float = 0.1,
    points: int = 21,
    settings: Mapping[str, Any] | None = None,
    replicates: int = 4,
    operation: Operation | None = None,
    confidence: float = 0.95,
    **options: Any,
) -> Sensitivity:
    """A result against `setting` over chosen * (1 ± spread) in `points` even steps (whole numbers for a
    count), every value over the replicates; the stacker's start and dwell are drawn, its speed is not
    (Operation(speed_spread=0, engine_runs=1) by default), so that each value is the one it says, and
    every replicate is a draw of its own.

    For a plan laid by layers, the setting speed_factor about 1 is the stacker's speed about the one that
    lays them.
    """
    chosen = validation.positive(setting, chosen)
    spread = validation.within("spread", spread, 0.0, 0.9, open_ends=True)
    points = validation.whole("points", points, 3)
    values = np.linspace(chosen * (1 - spread), chosen * (1 + spread), points)
    if isinstance(chosen, numbers.Integral) or setting == "layers":
        grid: list[float] = sorted({int(round(value)) for value in values})
    else:
        grid = [float(f"{value:.6g}") for value in values]
    fixed = fixed_settings(settings, setting)
    operation = Operation(speed_spread=0.0, engine_runs=1) if operation is None else operation
    result = sweep({**fixed, setting: grid}, replicates=replicates, operation=operation, **options)
    shown = int(chosen) if setting == "layers" else chosen
    return Sensitivity(setting, shown, result.table, result.stamp, confidence)



def planned_vrr(
    plan: StackingPlan, series: QualitySeries, bed: Bed, derived: Mapping[str, Derivation] | None = None
) -> dict[str, float]:
    """The VRR of each quality and derived value that ideal layering of the plan's own chunks on this bed
    gives, reclaimed by the bed's face (korvex.theory.chunk_layering_vrr): portions of one reclaim step of
    the bed, and a face that meets each layer over the run from the ground to the ridge's crest as it
    stood when the layer was laid. A Chevron ridge grows alike in every pass, so its crest after a share
    f of the feed stands at sqrt(f) of the last one, whose height the cross-section (the feed over the
    pass) and the angle of repose give; a vertical face runs nowhere. Plans that lay no passes along a
    straight bed are refused."""
    if not isinstance(plan, ALTERNATING_PLANS) or bed.circular:
        raise SettingsError(
            "ideal layering scans plans along a straight bed "
            f"({', '.join(kind.__name__ for kind in ALTERNATING_PLANS)}), "
            f"not {type(plan).__name__}{' on a circular bed' if bed.circular else ''}"
        )
    chunks = plan.chunks(series, bed)
    length_m = plan.pass_length_m(bed)
    total = chunks.total_volume_m3
    slope = math.tan(math.radians(bed_capacity(bed, blending_tail_m=plan.blending_tail_for(bed)).angle_deg))
    crest_m = min(math.sqrt(total / length_m * slope), bed.depth_m / 2 * slope)
    face = math.tan(math.radians(bed.reclaim_angle_deg))
    run_m = 0.0 if bed.reclaim_angle_deg >= 90 else crest_m * np.sqrt(np.cumsum(chunks.volume) / total) / face
    portion_m3 = total * bed.reclaim_step_m / length_m
    return chunk_layering_vrr(chunks, series, portion_m3, face_run_m=run_m, derived=derived)


@dataclass(frozen=True, repr=False)
class OperatingScan:
    """A plan over its whole operating range: ideal layering of its chunks at every value of a fine grid
    and several start phases (predicted: setting, start_phase_m, quality, vrr, effect), and the worst
    values simulated over replicates whose start is drawn (simulated, a Sensitivity's table).

    worst: the values simulated, the deepest dips of the predicted E of the first quality judged, deepest
        first.
    bounds: at each of them, the E that one bed stays above at the confidence, from its runs.
    """

    setting: str
    qualities: tuple[str, ...]
    predicted: pd.DataFrame
    simulated: Sensitivity
    worst: tuple[float, ...]
    bounds: dict[str, tuple[float, ...]]
    target_effect: float | None = None
    confidence: float = 0.95

    def __repr__(self) -> str:
        return f"OperatingScan({self.describe()})"

    def predicted_effect(self, quality: str) -> pd.DataFrame:
        """Per value of the grid: the mean, lowest and highest predicted E over the start phases."""
        rows = self.predicted[self.predicted["quality"] == quality]
        table = rows.groupby(self.setting)["effect"].agg(["mean", "min", "max"])
        return table.rename(columns={"mean": "effect", "min": "effect_low", "max": "effect_high"}).reset_index()

    @property
    def holds(self) -> bool | None:
        """Whether one bed keeps the target at every worst value, at the confidence, for the quality value
        judged (the first); None without a target."""
        if self.target_effect is None:
            return None
        return all(bound >= self.target_effect for bound in self.bounds[self.qualities[0]])

    def describe(self) -> str:
        values = sorted(set(self.predicted[self.setting]))
        quality = self.qualities[0]
        predicted = self.predicted_effect(quality)
        share = f"{self.confidence:.0%}"
        worst = ", ".join(f"{value:g}" for value in self.worst)
        lowest = min(self.bounds[quality])
        text = (
            f"{self.setting} {values[0]:g} to {values[-1]:g} ({len(values)} values): ideal layering of the plan's "
            f"chunks gives {quality} E {predicted['effect_low'].min():.3g} to {predicted['effect_high'].max():.3g}; "
            f"simulated at its dips {worst}, one bed's E of {quality} above {lowest:.3g} with {share} confidence"
        )
        if self.holds is None:
            return text
        verdict = "holds" if self.holds else "fails"
        return f"{text}: E > {self.target_effect:g} {verdict} over the whole range"

    def figure(self, *, footer: str | None = None) -> Figure:
        """E against the setting over the operating range, a panel per quality value: the predicted E of
        ideal layering (mean over the start phases, their range shaded), the runs simulated at the worst
        values, their means and one bed's one-sided bound, and the target."""
        from .plots import add_footer

        plot, axes = panel_grid(len(self.qualities))
        table = self.simulated.table
        done = table[table["error"].isna()]
        share = f"{self.confidence:.0%}"
        for panel, quality in zip(axes, self.qualities, strict=True):
            predicted = self.predicted_effect(quality)
            panel.plot(predicted[self.setting], predicted["effect"], color="C0", linewidth=1.0,
                       label="ideal layering of the chunks")
            panel.fill_between(predicted[self.setting], predicted["effect_low"], predicted["effect_high"],
                               color="C0", alpha=0.2, label="over start phases")
            runs = done[done["quality"] == quality]
            panel.plot(runs[self.setting], runs["effect"], ".", color="0.4", markersize=4, label="simulated runs")
            means = runs.groupby(self.setting)["effect"].mean()
            panel.plot(means.index, means.to_numpy(), "o", color="C3", markersize=5, label="simulated mean")
            panel.plot(self.worst, self.bounds[quality], "v", color="C3", fillstyle="none", markersize=7,
                       label=f"one bed above, {share}")
            if self.target_effect is not None:
                panel.axhline(self.target_effect, color="black", linewidth=0.8, linestyle=":", label="target")
            panel.set_title(quality)
            panel.set_xlabel(self.setting)
            panel.set_ylabel("E, std in / std out (larger is better)")
            panel.grid(True, alpha=0.3)
        axes[0].legend(fontsize=7)
        width = int(12 * plot.get_figwidth())
        plot.suptitle(textwrap.fill(f"Operating range: {self.describe()}", width), fontsize=9)
        add_footer(plot, footer or self.simulated.stamp)
        return plot


def operating_scan(
    setting: str,
    low: float,
    high: float,
    *,
    feed: QualitySeries | pd.DataFrame,
    points: int = 81,
    phases: int = 4,
    settings: Mapping[str, Any] | None = None,
    quality: str | Sequence[str] | None = None,
    worst: int = 3,
    replicates: int = 4,
    target_effect: float | None = None,
    confidence: float = 0.95,
    operation: Operation | None = None,
    **options: Any,
) -> OperatingScan:
    """A plan over its whole operating range (setting from low to high, stacker_speed_m_per_min say):
    ideal layering of its chunks (planned_vrr) at `points` even steps and `phases` start phases each, then
    the `worst` deepest dips of the first quality value's predicted E simulated over the replicates, the
    stacker's start and dwell drawn and its speed not, as in sensitivity. target_effect: the E that one
    bed must keep everywhere; describe() says whether it holds over the whole range.

    quality: the quality values shown, the first one judged (by default every one, the first judged).
    settings: the other settings, fixed (plan, bed). options: those of sweep (seed, scheduler, ...).
    """
    series = as_series(feed)
    low = validation.positive("low", low)
    high = validation.positive("high", high)
    if not low < high:
        raise SettingsError(f"the operating range needs low < high, got {low:g} to {high:g}")
    points = validation.whole("points", points, 3, 10_000)
    phases = validation.whole("phases", phases, 1, 64)
    worst = validation.whole("worst", worst, 1, points)
    # One bed's bound at a value needs the scatter of its runs.
    replicates = validation.whole("replicates", replicates, 2)
    confidence = validation.within("confidence", confidence, 0.5, 1, open_ends=True)
    if target_effect is not None:
        target_effect = validation.positive("target_effect", target_effect)
    fixed = fixed_settings(settings, setting)
    grid = np.linspace(low, high, points)
    values = sorted({int(round(v)) for v in grid}) if setting == "layers" else [float(f"{v:.6g}") for v in grid]
    import pandas as pd

    records = []
    for value in values:
        plan, bed, _ = build({**fixed, setting: value}, synthetic_feed=False)
        round_trip_m = plan.round_trip_m(bed)  # type: ignore[attr-defined]
        for k in range(phases):
            start_m = k / phases * round_trip_m
            phased = replace(plan, start_phase_m=plan.start_phase_m + start_m)  # type: ignore[type-var, attr-defined]
            for name, vrr in planned_vrr(phased, series, bed).items():
                records.append({setting: value, "start_phase_m": start_m, "quality": name, "vrr": vrr,
                                "effect": vrr**-0.5 if vrr > 0 else math.inf})
    predicted = pd.DataFrame.from_records(records)
    known = list(dict.fromkeys(predicted["quality"]))
    named = known if quality is None else ([quality] if isinstance(quality, str) else list(quality))
    unknown = [name for name in named if name not in known]
    if unknown or not named:
        raise SettingsError(f"quality: no quality value {unknown or named!r} among {known}")
    judged = predicted[predicted["quality"] == named[0]].groupby(setting)["effect"].min()
    dips = dips_of(judged.to_numpy(dtype=np.float64))
    chosen = [float(judged.index[i]) for i in dips[:worst]]
    if setting == "layers":
        chosen = [int(value) for value in chosen]
    operation = Operation(speed_spread=0.0, engine_runs=1) if operation is None else operation
    result = sweep({**fixed, setting: chosen}, feed=series, replicates=replicates, operation=operation, **options)
    simulated = Sensitivity(setting, chosen[0], result.table, result.stamp, confidence)
    bounds = {}
    for name in named:
        at, vrr = draw_means(result.table, setting, name)
        local = dict(zip(np.unique(at).tolist(), local_upper(at, vrr, confidence), strict=True))  # type: ignore[arg-type]
        bounds[name] = tuple(float(np.exp(-local[value] / 2)) for value in chosen)
    return OperatingScan(setting, tuple(named), predicted, simulated, tuple(chosen), bounds, target_effect, confidence)


def dips_of(effect: np.ndarray) -> list[int]:
    """Where a curve of E has its dips, deepest first: its local minima (the ends included), then the
    other values from the lowest up, so that as many are given as asked for."""
    left = np.concatenate([[np.inf], effect[:-1]])
    right = np.concatenate([effect[1:], [np.inf]])
    minima = np.flatnonzero((effect <= left) & (effect <= right))
    order = list(minima[np.argsort(effect[minima], kind="stable")])
    rest = [int(i) for i in np.argsort(effect, kind="stable") if i not in set(order)]
    return [int(i) for i in order] + rest
