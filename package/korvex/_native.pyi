"""The native simulators of the korvex package."""

from collections.abc import Sequence
import typing

import numpy as np
import numpy.typing as npt

class ParameterCountError(RuntimeError):
    """Material whose count of quality values differs from the count the pile has fixed."""

class SettingDescription(typing.TypedDict):
    name: str
    unit: str
    default: float | int | None
    default_rule: str
    lowest: float
    lowest_included: bool
    highest: float
    highest_included: bool
    whole: bool
    engines: tuple[str, ...]
    help: str

def settings_description() -> list[SettingDescription]:
    """Every setting of every engine: name, unit, default (None: by default_rule), limits, help and the
    engines ("fast", "detailed", "layered", "ring") that read it."""

def settings_problems(engine: str, settings: dict[str, float], *, ring: bool = False) -> list[str]:
    """What the engine finds wrong with the settings given by name; empty when all are usable."""

def defaults() -> dict[str, typing.Any]:
    """The default of every setting that has one of its own, the shape and the engine, by keyword."""

def limits() -> dict[str, int | float]:
    """What any pile may ask for: "max_cells", "max_seed", "minimum_box_size_m", "max_slices_per_reach",
    "highest_drop_m", "lowest_repose_deg", "highest_repose_deg", "max_memory_bytes"."""

def rule_particles_per_m3(
    *, engine: str, length_m: float, depth_m: float, stream_footprint_m: float | None = None
) -> float:
    """The resolution an engine takes when given no particles_per_m3."""

def cell_size_m(
    *,
    engine: typing.Literal["fast", "detailed", "layered"] = "fast",
    particles_per_m3: float | None = None,
    particle_volume_factor: float | None = None,
    length_m: float | None = None,
    depth_m: float | None = None,
    stream_footprint_m: float | None = None,
) -> float:
    """Edge of a height-map cell in single precision, as the engine computes it from these settings."""

def is_vertical_face(reclaim_angle_deg: float) -> bool:
    """Whether the engines take a reclaim face of this angle as vertical."""

def geometry(
    *,
    length_m: float = 300.0,
    depth_m: float = 50.0,
    reclaim_angle_deg: float | None = None,
    particles_per_m3: float | None = None,
    circular: bool = False,
    eight_neighbour_probability: float | None = None,
    particle_volume_factor: float | None = None,
    drop_height_m: float | None = None,
    fall_height_m: float | None = None,
    engine: typing.Literal["fast", "detailed", "layered"] = "fast",
    reclaim_step_m: float | None = None,
    cell_size_m: float | None = None,
    angle_of_repose_deg: float | None = None,
    stream_footprint_m: float | None = None,
    segments_per_column: int | None = None,
    qualities: int = 0,
) -> dict[str, typing.Any]:
    """What a Simulator of these settings is built on, with "memory_bytes" the layered engine's bed may take
    with `qualities` quality values (None on the other engines); ValueError naming every bad setting, and a
    layered bed beyond limits()["max_memory_bytes"]."""

def draw_seed() -> int:
    """A fresh seed from the operating system's entropy."""

Slices: typing.TypeAlias = tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]

class Simulator:
    """One stockpile on one bed, simulated by the fast, the detailed or the layered engine."""

    def __init__(
        self,
        *,
        length_m: float,
        depth_m: float,
        reclaim_angle_deg: float | None = None,
        particles_per_m3: float | None = None,
        circular: bool = False,
        eight_neighbour_probability: float | None = None,
        particle_volume_factor: float | None = None,
        drop_height_m: float | None = None,
        fall_height_m: float | None = None,
        engine: typing.Literal["fast", "detailed", "layered"] = "fast",
        seed: int | None = None,
        record_particles: bool = False,
        reclaim_step_m: float | None = None,
        cell_size_m: float | None = None,
        angle_of_repose_deg: float | None = None,
        stream_footprint_m: float | None = None,
        segments_per_column: int | None = None,
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
    def layers(self) -> dict[str, npt.NDArray[np.float64]]:
        """The layered engine's segments still in the pile: "x_m", "z_m", "bottom_m", "top_m", "volume_m3",
        "delivery" and one array per quality name; RuntimeError on the other engines."""
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
        ring_radius_m: float | None = None,
        reclaim_angle_deg: float | None = None,
        particles_per_m3: float | None = None,
        eight_neighbour_probability: float | None = None,
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
