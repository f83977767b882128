"""The native simulators of the korvex package."""

from collections.abc import Sequence
import typing

import numpy as np
import numpy.typing as npt

Slices: typing.TypeAlias = tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]

class Simulator:
    """One stockpile on one bed, simulated by the fast, the detailed or the layered engine."""

    def __init__(
        self,
        *,
        length_m: float,
        depth_m: float,
        reclaim_angle_deg: float = 45.0,
        particles_per_m3: float = 1.0,
        circular: bool = False,
        eight_neighbour_probability: float = 0.5,
        particle_volume_factor: float = 1.0,
        drop_height_m: float = 10.0,
        engine: typing.Literal["fast", "detailed", "layered"] = "fast",
        seed: int | None = None,
        record_particles: bool = False,
        reclaim_step_m: float | None = None,
        cell_m: float | None = None,
        angle_of_repose_deg: float = 38.0,
        stream_footprint_m: float = 1.0,
        segments_per_column: int = 256,
    ) -> None: ...
    def stack(self, table: npt.ArrayLike, columns: Sequence[str]) -> None: ...
    def reclaim(self, step_m: float | None = None) -> Slices: ...
    def save(self, path: str, note: bytes = b"") -> None: ...
    @staticmethod
    def load(path: str) -> Simulator: ...
    def copy(self) -> Simulator: ...
    def surface_copy(self) -> Simulator: ...
    @property
    def note(self) -> bytes: ...
    def heights(self) -> npt.NDArray[np.float32]: ...
    def particles(self) -> dict[str, npt.NDArray[typing.Any]]: ...
    @property
    def seed(self) -> int: ...
    @property
    def engine(self) -> str: ...
    @property
    def cell_size_m(self) -> float: ...
    @property
    def reclaim_step_m(self) -> float: ...
    @property
    def quality_names(self) -> tuple[str, ...]: ...

RingSlices: typing.TypeAlias = tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
]

class Ring:
    """A circular bed run continuously on the fast engine."""

    def __init__(
        self,
        *,
        length_m: float,
        depth_m: float,
        ring_radius_m: float,
        reclaim_angle_deg: float = 45.0,
        particles_per_m3: float = 1.0,
        eight_neighbour_probability: float = 0.5,
        seed: int | None = None,
        reclaim_step_m: float | None = None,
    ) -> None: ...
    def run(
        self,
        table: npt.ArrayLike,
        columns: Sequence[str],
        reclaimer_time_s: Sequence[float] | npt.NDArray[np.float64],
        reclaimer_position_m: Sequence[float] | npt.NDArray[np.float64],
    ) -> RingSlices: ...
    def drain(self, speed_m_per_s: float) -> RingSlices: ...
    def save(self, path: str, note: bytes = b"") -> None: ...
    @staticmethod
    def load(path: str) -> Ring: ...
    def copy(self) -> Ring: ...
    @property
    def note(self) -> bytes: ...
    def heights(self) -> npt.NDArray[np.float32]: ...
    @property
    def seed(self) -> int: ...
    @property
    def cell_size_m(self) -> float: ...
    @property
    def reclaim_step_m(self) -> float: ...
    @property
    def volume_m3(self) -> float: ...
    @property
    def reclaimer_position_m(self) -> float: ...
    @property
    def quality_names(self) -> tuple[str, ...]: ...
