"""Seeds derived from settings: the same settings give the same seed in any process, on any machine."""

from __future__ import annotations

import hashlib
import json
import numbers
from collections.abc import Mapping
from typing import Any

import numpy as np

from . import validation


def derive_seed(sweep_seed: int, settings: Mapping[str, Any], purpose: str) -> int:
    """A seed for one purpose of one run: the first 8 bytes of BLAKE2b of a canonical JSON of the sweep's
    seed, the purpose and the settings, below 2**63.

    Stable across processes, machines and Python versions, unlike hash().
    """
    text = json.dumps(
        {"purpose": purpose, "settings": canonical(settings), "sweep_seed": int(sweep_seed)},
        sort_keys=True,
        separators=(",", ":"),
        allow_nan=False,
    )
    digest = hashlib.blake2b(text.encode("utf-8"), digest_size=8).digest()
    # The digest's low 63 bits, as sweeps have always taken them, so that a sweep seeded before repeats.
    return int.from_bytes(digest, "big") % 2**63


def canonical(settings: Mapping[str, Any]) -> dict[str, Any]:
    """Settings as a seed sees them: unset (None) left out, whole numbers as int (300.0 and 300 alike),
    NumPy scalars as Python's."""
    return {str(name): _canonical_value(name, value) for name, value in settings.items() if value is not None}


def _canonical_value(name: str, value: Any) -> Any:
    if isinstance(value, bool | np.bool_):
        return bool(value)
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        number = validation.real(name, value)
        return int(number) if number.is_integer() else number
    if isinstance(value, str):
        return value
    raise ValueError(f"setting {name} must be a number, a flag or a name, got {value!r}")
