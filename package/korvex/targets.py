"""Target bands: the range a plant holds a value in (LSF 96 ± 2, say), and how often it is held.

The kiln sees the hourly averages of what the bed delivers. How often they lie
inside the band, before the bed (the feed's hourly averages) and after it (the
output's hourly composites), says what the bed is worth in the plant's own
terms. Plants quote the share of hourly composites inside, each hour counting
once; beside it stands the share of tonnes inside, each hour counting with its
mass (an hour the feed stood half of counts half), and the hourly standard
deviation of the value, by mass. A modulus's composites are the modulus of
their averaged oxides (korvex.derived.add_derived), never averaged ratios.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable, Mapping
from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike

from .metrics import weighted_mean_std

# Possessive quantifiers: a run of digits is never split between two of them and retried, which made a long
# run cost time quadratic in its length.
_NUMBER = r"[-+]?(?:\d++(?:\.\d*+)?|\.\d++)(?:[eE][-+]?\d++)?"
# "LSF=96+-2", "LSF = 96 ± 2", "CaO=43.5+/-0.3".
_BAND = re.compile(rf"\s*+([^=\s]++)\s*+=\s*+({_NUMBER})\s*+(?:\+-|±|\+/-)\s*+({_NUMBER})\s*+")
# Far more than any band a plant writes; a longer text is refused before it is read, and echoed shortened.
MAX_BAND_CHARS = 200


def parse_band(text: str) -> tuple[str, float, float] | None:
    """The name, value and tolerance of a band written NAME=VALUE+-TOLERANCE (or with ± or +/-); None
    when the text is not written so, or is longer than MAX_BAND_CHARS. The callers say what they
    expected, each in its own terms, quoting the text with band_text."""
    if len(text) > MAX_BAND_CHARS:
        return None
    match = _BAND.fullmatch(text)
    if match is None:
        return None
    return match.group(1), float(match.group(2)), float(match.group(3))


def band_text(text: str) -> str:
    """The text of a refused band as a message quotes it: whole, or its start and its length when it is
    longer than a band can be."""
    if len(text) <= MAX_BAND_CHARS:
        return repr(text)
    return f"{text[:40]!r}... ({len(text):,} characters, more than the {MAX_BAND_CHARS} a band may have)"


@dataclass(frozen=True)
class TargetBand:
    """A value held within target ± tolerance."""

    name: str
    target: float
    tolerance: float

    def __post_init__(self) -> None:
        if not math.isfinite(self.target):
            raise ValueError(f"the target of {self.name} must be finite, got {self.target}")
        if not (math.isfinite(self.tolerance) and self.tolerance > 0):
            raise ValueError(f"the tolerance of {self.name} must be positive and finite, got {self.tolerance}")

    @classmethod
    def parse(cls, text: str) -> TargetBand:
        """A band written NAME=TARGET+-TOLERANCE (or with ±)."""
        band = parse_band(text)
        if band is None:
            raise ValueError(f"a target band reads NAME=TARGET+-TOLERANCE, e.g. LSF=96+-2; got {band_text(text)}")
        return cls(*band)

    def describe(self) -> str:
        return f"{self.target:g} ± {self.tolerance:g}"

    def share_inside(self, values: ArrayLike, weights: ArrayLike) -> float:
        """The weighted share of values inside the band (its edges included)."""
        v = np.asarray(values, dtype=np.float64)
        w = np.asarray(weights, dtype=np.float64)
        keep = (w > 0) & np.isfinite(v)
        if not np.any(keep):
            return math.nan
        inside = np.abs(v[keep] - self.target) <= self.tolerance
        return float(np.sum(w[keep] * inside) / np.sum(w[keep]))


@dataclass(frozen=True)
class BandFigures:
    """How a stream's composites keep a band.

    composites: how many composites have the value; inside_composites and inside_tonnes: the share of
    them, and of their mass, inside the band (fractions of 1); std: the composites' standard deviation
    of the value, weighted by mass.
    """

    band: TargetBand
    composites: int
    inside_composites: float
    inside_tonnes: float
    std: float


def band_figures(band: TargetBand, values: ArrayLike, mass_t: ArrayLike) -> BandFigures:
    """The band's figures over composites of the given values and masses (NaN where a value is missing)."""
    v = np.asarray(values, dtype=np.float64)
    w = np.asarray(mass_t, dtype=np.float64)
    keep = (w > 0) & np.isfinite(v)
    if not np.any(keep):
        return BandFigures(band, 0, math.nan, math.nan, math.nan)
    return BandFigures(
        band,
        int(keep.sum()),
        band.share_inside(v[keep], np.ones(int(keep.sum()))),
        band.share_inside(v[keep], w[keep]),
        weighted_mean_std(v[keep], w[keep])[1],
    )


def target_bands(
    targets: Iterable[str | TargetBand] | Mapping[str, tuple[float, float]] | None,
) -> tuple[TargetBand, ...]:
    """Bands from texts ("LSF=96+-2"), TargetBands, or a mapping of name to (target, tolerance)."""
    if targets is None:
        return ()
    if isinstance(targets, Mapping):
        return tuple(TargetBand(str(name), float(t), float(tol)) for name, (t, tol) in targets.items())
    return tuple(band if isinstance(band, TargetBand) else TargetBand.parse(str(band)) for band in targets)
