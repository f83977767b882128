"""Korvex Lib for Python"""

from collections.abc import Iterable, Sequence
import typing

import numpy as np
import numpy.typing as npt

_Number: typing.TypeAlias = typing.SupportsFloat | typing.SupportsIndex

class KorvexLib:
    def __init__(
        self,
        length: _Number,
        depth: _Number,
        reclaim_angle: _Number,
        particles_per_cubic_meter: _Number,
        circular: bool,
        eight_neighbour_probability: _Number,
        particle_volume_factor: _Number,
        drop_height: _Number,
        detailed: bool,
        reclaim_increment: _Number,
        /,
    ) -> None: ...
    def stack(
        self, timestamp: _Number, x: _Number, z: _Number, volume: _Number, parameters: Iterable[_Number], /
    ) -> None: ...
    def stack_list(self, table: npt.ArrayLike | npt.NDArray[np.float64], columns: Sequence[str], /) -> None: ...
    def reclaim(self) -> dict[str, list[float]]: ...
    def get_heights(self) -> list[list[float]]: ...
