"""Feed correction: what the rest of a bed must bring to hit whole-bed targets, and how to mix it.

Oxides are mass %, and a bed's oxide is the mass-weighted mean of what it
holds, so with M_s tonnes stacked at oxides s and M_r tonnes still to come at
oxides r the whole bed holds (M_s s + M_r r) / (M_s + M_r). An oxide target t
needs the rest to average r = ((M_s + M_r) t - M_s s) / M_r.

The moduli are ratios, but each target is a linear condition on the oxides,
additive over material:

    LSF = L  <=>  100 CaO - L (2.8 SiO2 + 1.18 Al2O3 + 0.65 Fe2O3) = 0
    SM  = S  <=>  SiO2 - S (Al2O3 + Fe2O3) = 0
    AM  = A  <=>  Al2O3 - A Fe2O3 = 0

so the rest must make up the stacked material's excess. Given the rest's other
oxides (by default the recent feed's), the one oxide each modulus leans on
(CaO, SiO2, Al2O3) follows. Given two or more components with their chemistry,
the shares to feed next solve a small constrained least-squares problem
(SciPy's SLSQP): shares between their bounds, summing to one, each target's
deviation counted in units of its tolerance. Where no mix meets every target
within its tolerance, the result says "unreachable" and gives the best mix.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

import numpy as np

from .errors import SettingsError
from .targets import band_text, parse_band

OXIDES = ("CaO", "SiO2", "Al2O3", "Fe2O3")
TARGET_LIMIT = 1e6
TOLERANCE_LOW = 1e-6
# Per modulus: its coefficients on (CaO, SiO2, Al2O3, Fe2O3) in numerator and denominator, and the oxide it
# leans on.
_MODULI: dict[str, tuple[tuple[float, ...], tuple[float, ...], str]] = {
    "LSF": ((100.0, 0.0, 0.0, 0.0), (0.0, 2.8, 1.18, 0.65), "CaO"),
    "SM": ((0.0, 1.0, 0.0, 0.0), (0.0, 0.0, 1.0, 1.0), "SiO2"),
    "AM": ((0.0, 0.0, 1.0, 0.0), (0.0, 0.0, 0.0, 1.0), "Al2O3"),
}


@dataclass(frozen=True)
class Target:
    """A whole-bed target: a modulus (LSF, SM, AM) or an oxide, its value and its tolerance (±)."""

    name: str
    value: float
    tolerance: float

    def __post_init__(self) -> None:
        if not (math.isfinite(self.value) and math.isfinite(self.tolerance) and self.tolerance > 0):
            raise SettingsError(
                f"target {self.name}: value {self.value} and tolerance {self.tolerance} must be finite, "
                "the tolerance positive"
            )
        # A miss is counted in tolerances and squared: bounds keep that sum a float, and no analysis of
        # an oxide (mass %) or a modulus resolves a millionth.
        if abs(self.value) > TARGET_LIMIT:
            raise SettingsError(
                f"target {self.name}: value {self.value:g} must lie in [-{TARGET_LIMIT:g}, {TARGET_LIMIT:g}]"
            )
        if not TOLERANCE_LOW <= self.tolerance <= TARGET_LIMIT:
            raise SettingsError(
                f"target {self.name}: tolerance {self.tolerance:g} must lie in [{TOLERANCE_LOW:g}, {TARGET_LIMIT:g}]"
            )

    @classmethod
    def parse(cls, text: str) -> Target:
        """A target written as "LSF=96+-1" (or "LSF=96±1"; "CaO=43.5+-0.3")."""
        band = parse_band(text)
        if band is None:
            raise SettingsError(f"a target reads NAME=VALUE+-TOLERANCE, e.g. LSF=96+-1, got {band_text(text)}")
        return cls(*band)

    def row(self, oxides: Sequence[str]) -> tuple[np.ndarray, float, np.ndarray | None]:
        """The target as a linear condition a . x = b on material of `oxides`, and the denominator's
        coefficients d (for a modulus), such that the modulus misses by (a . x - b) / (d . x)."""
        if self.name in _MODULI:
            numerator, denominator, _ = _MODULI[self.name]
            missing = [
                name for k, name in enumerate(OXIDES) if name not in oxides and (numerator[k] or denominator[k])
            ]
            if missing:
                raise ValueError(f"target {self.name} needs the oxides {missing}")
            a = np.zeros(len(oxides))
            d = np.zeros(len(oxides))
            for k, name in enumerate(OXIDES):
                if name in oxides:
                    a[oxides.index(name)] += numerator[k] - self.value * denominator[k]
                    d[oxides.index(name)] += denominator[k]
            return a, 0.0, d
        if self.name not in oxides:
            raise ValueError(f"target {self.name} is neither LSF, SM, AM nor one of the qualities {list(oxides)}")
        a = np.zeros(len(oxides))
        a[oxides.index(self.name)] = 1.0
        return a, self.value, None


def _no_modulus(name: str, material_holds: str) -> SettingsError:
    """The refusal of a modulus target for material whose modulus has a zero denominator."""
    _, denominator, _ = _MODULI[name]
    oxides = " + ".join(oxide for oxide, k in zip(OXIDES, denominator, strict=True) if k)
    return SettingsError(
        f"target {name}: {material_holds} no {oxides}, so it has no {name} and the target cannot be corrected"
    )


def value_of(name: str, oxides: Sequence[str], x: np.ndarray) -> float:
    """The modulus or oxide `name` of material with the averages x."""
    if name in _MODULI:
        numerator, denominator, _ = _MODULI[name]
        index = [oxides.index(oxide) for oxide in OXIDES if oxide in oxides]
        pick = [OXIDES.index(oxides[i]) for i in index]
        top = sum(numerator[k] * x[i] for i, k in zip(index, pick, strict=True))
        bottom = sum(denominator[k] * x[i] for i, k in zip(index, pick, strict=True))
        return top / bottom if bottom else math.nan
    return float(x[oxides.index(name)])


@dataclass(frozen=True)
class RestNeed:
    """What the rest of the bed must average for one target.

    rest_value, rest_low, rest_high: the rest's modulus (or oxide) for the
        target's value and the two ends of its tolerance.
    oxide, oxide_value, oxide_low, oxide_high: the oxide that carries it,
        the rest's other oxides held at their given averages.
    reachable: the oxide is between 0 and what 100 % leaves beside the others.
    """

    target: Target
    rest_value: float
    rest_low: float
    rest_high: float
    oxide: str
    oxide_value: float
    oxide_low: float
    oxide_high: float
    reachable: bool


def rest_needs(
    oxides: Sequence[str],
    stacked_t: float,
    stacked: Sequence[float],
    remaining_t: float,
    rest_like: Sequence[float],
    targets: Sequence[Target],
) -> list[RestNeed]:
    """For each target, what the remaining_t tonnes must average so that the whole bed hits it.

    stacked: the oxides averaged over the stacked_t tonnes on the bed;
    rest_like: the rest's oxides where the target does not decide them (the recent feed's, say).
    """
    if not remaining_t > 0:
        raise ValueError(f"the bed has no room left ({remaining_t:g} t): nothing can correct it")
    s = np.asarray(stacked, dtype=np.float64)
    like = np.asarray(rest_like, dtype=np.float64)
    needs = []
    for target in targets:
        oxide = _MODULI[target.name][2] if target.name in _MODULI else target.name
        k = list(oxides).index(oxide) if oxide in oxides else None
        if k is None:
            raise ValueError(f"target {target.name} needs the oxide {oxide}")
        _, _, d = target.row(oxides)
        if d is not None and not d @ like > 0:
            raise _no_modulus(target.name, "the recent feed holds")
        ends = []
        for value in (target.value, target.value - target.tolerance, target.value + target.tolerance):
            a, b, _ = Target(target.name, value, target.tolerance).row(oxides)
            # a . (M_s s + M_r r) = b (M_s + M_r), solved for r_k with the rest's other oxides as given.
            others = like.copy()
            others[k] = 0.0
            total = stacked_t + remaining_t
            needed = (b * total - stacked_t * (a @ s) - remaining_t * (a @ others)) / (remaining_t * a[k])
            rest = others.copy()
            rest[k] = needed
            ends.append((value_of(target.name, oxides, rest), needed))
        (rest_value, oxide_value), (low_v, low_o), (high_v, high_o) = ends
        room = 100.0 - float(np.sum(like) - like[k])
        reachable = 0.0 <= oxide_value <= room
        needs.append(
            RestNeed(target, rest_value, min(low_v, high_v), max(low_v, high_v), oxide, oxide_value,
                     min(low_o, high_o), max(low_o, high_o), reachable)
        )
    return needs


@dataclass(frozen=True)
class Component:
    """A material to feed: its name, its oxides (mass %), and the bounds of its share of the rest."""

    name: str
    oxides: Mapping[str, float]
    min_share: float = 0.0
    max_share: float = 1.0

    def __post_init__(self) -> None:
        if not 0.0 <= self.min_share <= self.max_share <= 1.0:
            raise SettingsError(f"component {self.name}: shares must satisfy 0 <= min <= max <= 1")
        for oxide, value in self.oxides.items():
            if not (math.isfinite(value) and 0.0 <= value <= 100.0):
                raise SettingsError(f"component {self.name}: {oxide} of {value} % must lie in [0, 100] %")

    @classmethod
    def parse(cls, text: str) -> Component:
        """A component written as "limestone:CaO=52,SiO2=4,Al2O3=1,Fe2O3=0.5"."""
        name, _, rest = text.partition(":")
        try:
            pairs = [(key.strip(), float(value)) for key, value in (item.split("=") for item in rest.split(","))]
        except ValueError:
            raise SettingsError(
                f"a component reads NAME:OXIDE=VALUE,..., e.g. sand:SiO2=95,CaO=1, got {text!r}"
            ) from None
        oxides = dict(pairs)
        if len(oxides) < len(pairs):
            twice = sorted({key for key, _ in pairs if sum(key == other for other, _ in pairs) > 1})
            raise SettingsError(f"component {name.strip()} names {twice} more than once, in {text!r}")
        return cls(name.strip(), oxides)


@dataclass(frozen=True)
class Mix:
    """The shares of the components to feed for the rest of the bed, and what the whole bed then holds.

    reachable: every target is met within its tolerance; otherwise the shares
        are the best that can be done (the least squared misses, each in units
        of its tolerance).
    bed: per target, the whole bed's value with these shares.
    """

    shares: dict[str, float]
    bed: dict[str, float]
    reachable: bool
    rest: dict[str, float] = field(default_factory=dict)

    def describe(self) -> str:
        shares = ", ".join(f"{name} {100 * share:.1f} %" for name, share in self.shares.items())
        bed = ", ".join(f"{name} {value:.3f}" for name, value in self.bed.items())
        verdict = "reachable" if self.reachable else "unreachable: the best that can be done"
        return f"{verdict}: feed {shares}; the whole bed then holds {bed}"


def mix(
    oxides: Sequence[str],
    stacked_t: float,
    stacked: Sequence[float],
    remaining_t: float,
    components: Sequence[Component],
    targets: Sequence[Target],
) -> Mix:
    """The shares of `components` that bring the whole bed nearest its targets (see the module)."""
    from scipy.optimize import minimize

    if len(components) < 2:
        raise SettingsError("a mix needs two or more components")
    names = [c.name for c in components]
    if len(set(names)) < len(names):
        twice = sorted({name for name in names if names.count(name) > 1})
        raise SettingsError(f"components {twice} are given more than once: name each component once")
    if not remaining_t > 0:
        raise ValueError(f"the bed has no room left ({remaining_t:g} t): nothing can correct it")
    if not targets:
        raise ValueError("give at least one target")
    oxides = list(oxides)
    unknown = sorted({name for c in components for name in c.oxides} - set(oxides))
    if unknown:
        raise ValueError(f"the components name {unknown}, which are not among the bed's qualities {oxides}")
    # Columns: the components' oxides; an oxide a component does not name is 0 in it.
    chemistry = np.array([[c.oxides.get(name, 0.0) for c in components] for name in oxides])
    s = np.asarray(stacked, dtype=np.float64)
    total = stacked_t + remaining_t
    # Each target's miss as a linear function of the shares, in units of its tolerance: a modulus misses by
    # (a . x - b) / (d . x), with d . x taken at the stacked material's (or the components' mean).
    rows, offsets = [], []
    reference = s if stacked_t > 0 else chemistry.mean(axis=1)
    for target in targets:
        a, b, d = target.row(oxides)
        if d is not None and not d @ reference > 0:
            raise _no_modulus(target.name, "the stacked material holds" if stacked_t > 0 else "the components hold")
        scale = target.tolerance * (float(d @ reference) if d is not None else 1.0)
        rows.append(remaining_t * (a @ chemistry) / total / scale)
        offsets.append((b * total - stacked_t * (a @ s)) / total / scale)
    A, y = np.array(rows), np.array(offsets)
    bounds = [(c.min_share, c.max_share) for c in components]
    if sum(low for low, _ in bounds) > 1 or sum(high for _, high in bounds) < 1:
        raise ValueError("the components' share bounds cannot add up to one")
    start = np.clip(np.full(len(components), 1 / len(components)), *np.array(bounds).T)
    result = minimize(
        lambda p: float(np.sum((A @ p - y) ** 2)),
        start,
        jac=lambda p: 2 * A.T @ (A @ p - y),
        bounds=bounds,
        constraints=[{"type": "eq", "fun": lambda p: np.sum(p) - 1.0, "jac": lambda p: np.ones_like(p)}],
        method="SLSQP",
        options={"ftol": 1e-16, "maxiter": 500},
    )
    low_bounds, high_bounds = np.array(bounds).T

    def whole_bed(p: np.ndarray) -> tuple[np.ndarray, dict[str, float]]:
        rest = chemistry @ np.clip(p, low_bounds, high_bounds)
        whole = (stacked_t * s + remaining_t * rest) / total
        return rest, {target.name: value_of(target.name, oxides, whole) for target in targets}

    def met(bed: dict[str, float]) -> bool:
        # A hair beyond the band absorbs the solver's rounding at a target met exactly at its edge.
        return all(abs(bed[t.name] - t.value) <= t.tolerance * (1 + 1e-9) for t in targets)

    shares = result.x
    rest, bed = whole_bed(shares)
    if not met(bed):
        # Out of reach: the linear misses weigh a modulus by the stacked material's denominator; the best
        # mix is the one whose whole bed misses least in the moduli themselves.
        def misses(p: np.ndarray) -> float:
            values = whole_bed(p)[1]
            return float(sum(((values[t.name] - t.value) / t.tolerance) ** 2 for t in targets))

        refined = minimize(
            misses,
            shares,
            bounds=bounds,
            constraints=[{"type": "eq", "fun": lambda p: np.sum(p) - 1.0}],
            method="SLSQP",
            options={"ftol": 1e-14, "maxiter": 500},
        )
        if misses(refined.x) < misses(shares):
            shares = refined.x
            rest, bed = whole_bed(shares)
    shares = np.clip(shares, low_bounds, high_bounds)
    reachable = met(bed)
    return Mix(
        {c.name: float(p) for c, p in zip(components, shares, strict=True)},
        bed,
        reachable,
        {name: float(v) for name, v in zip(oxides, rest, strict=True)},
    )


def correction_lines(
    oxides: Sequence[str],
    stacked_t: float,
    stacked: Sequence[float],
    remaining_t: float,
    recent: Sequence[float],
    targets: Sequence[Target],
    components: Sequence[Component] = (),
) -> list[str]:
    """The feed correction in words: the bed's room, what the rest must average for each target, and the
    mix of `components` (when two or more are given)."""
    lines = [f"stacked {stacked_t:,.0f} t; room for {remaining_t:,.0f} t more"]
    for need in rest_needs(oxides, stacked_t, stacked, remaining_t, recent, targets):
        target = need.target
        verdict = "reachable" if need.reachable else "UNREACHABLE"
        # A modulus is said again as the one oxide that moves it; an oxide needs no translation.
        oxide = (
            f", that is {need.oxide} {need.oxide_value:.3f} [{need.oxide_low:.3f}, {need.oxide_high:.3f}] with "
            "the recent feed's other oxides"
            if need.oxide != target.name
            else ""
        )
        # The bed's own figure, of its averaged oxides, as every page gives it.
        now = value_of(target.name, list(oxides), np.asarray(stacked, dtype=np.float64))
        held = f"; the bed holds {target.name} {now:.3f} so far" if stacked_t > 0 and math.isfinite(now) else ""
        lines.append(
            f"{target.name} {target.value:g} ± {target.tolerance:g}: the rest must average {target.name} "
            f"{need.rest_value:.3f} [{need.rest_low:.3f}, {need.rest_high:.3f}]{oxide}: {verdict}{held}"
        )
    if components:
        lines.append(mix(oxides, stacked_t, stacked, remaining_t, components, targets).describe())
    return lines
