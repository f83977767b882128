"""What a simulation gives back: the reclaimed slices, the pile's height map, its particles or layers, and the
output of a ring run continuously."""

from __future__ import annotations

import warnings
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import NDArray

from .display import html_table
from .validation import FloatArray

if TYPE_CHECKING:
    import pandas as pd


@dataclass(frozen=True, repr=False)
class Reclaimed:
    """The reclaimed slices in reclaim order.

    position_m: where the reclaimer stood after cutting each slice (along the
        bed, or along the centre line of a circular bed); a slice holds the
        material between the previous position and this one.
    volume_m3: volume of each slice.
    values: volume-weighted average of each quality value per slice; NaN for an
        empty slice.
    """

    position_m: FloatArray
    volume_m3: FloatArray
    values: FloatArray
    names: tuple[str, ...]

    def __len__(self) -> int:
        return int(self.position_m.size)

    def summary(self) -> list[tuple[str, str]]:
        """Names and values for a short report."""
        full = int(np.count_nonzero(self.volume_m3 > 0))
        return [
            ("slices", f"{len(self)} ({full} with material)"),
            ("volume", f"{self.total_volume_m3:,.1f} m³"),
            ("qualities", ", ".join(self.names)),
        ]

    def __repr__(self) -> str:
        return f"Reclaimed({len(self)} slices, {self.total_volume_m3:,.1f} m³, qualities {', '.join(self.names)})"

    def _repr_html_(self) -> str:
        return html_table("Reclaimed", self.summary())

    @property
    def total_volume_m3(self) -> float:
        return float(self.volume_m3.sum())

    def column(self, name: str) -> FloatArray:
        return self.values[:, self.names.index(name)]

    def to_frame(self) -> pd.DataFrame:
        """The slices that hold material, one row each; an empty slice has no quality to show."""
        import pandas as pd

        full = self.volume_m3 > 0
        frame = pd.DataFrame({"position_m": self.position_m[full], "volume_m3": self.volume_m3[full]})
        for name, column in zip(self.names, self.values[full].T, strict=True):
            frame[name] = column
        return frame


@dataclass(frozen=True, repr=False)
class HeightMap:
    """Surface heights of the pile as stacked: heights_m[j, i] is the cell i along x, row j across z.

    Cell (i, j) spans i to i + 1 cells along x and j to j + 1 across z from the
    bed's corner: a chunk stacked at (x, z) lands in the cell that contains it.
    """

    heights_m: FloatArray
    cell_size_m: float

    def summary(self) -> list[tuple[str, str]]:
        """Names and values for a short report."""
        rows, columns = self.heights_m.shape
        peak = float(self.heights_m.max()) if self.heights_m.size else 0.0
        return [
            ("cells", f"{columns} along x x {rows} across z, {self.cell_size_m:.3g} m each"),
            ("highest", f"{peak:.3g} m"),
            ("volume", f"{self.volume_m3:,.1f} m³"),
        ]

    def __repr__(self) -> str:
        rows, columns = self.heights_m.shape
        return f"HeightMap({columns} x {rows} cells of {self.cell_size_m:.3g} m, {self.volume_m3:,.1f} m³)"

    def _repr_html_(self) -> str:
        return html_table("Height map", self.summary())

    @property
    def extent_m(self) -> tuple[float, float, float, float]:
        """(left, right, bottom, top) of the cells' outer edges, for matplotlib's imshow."""
        rows, columns = self.heights_m.shape
        return (0.0, columns * self.cell_size_m, 0.0, rows * self.cell_size_m)

    @property
    def cell_m(self) -> float:
        """Deprecated name of cell_size_m."""
        warnings.warn("HeightMap.cell_m is deprecated: use HeightMap.cell_size_m", DeprecationWarning, stacklevel=2)
        return self.cell_size_m

    @property
    def volume_m3(self) -> float:
        return float(self.heights_m.sum()) * self.cell_size_m**2


@dataclass(frozen=True, repr=False)
class Particles:
    """Where every particle of a pile came to rest, in the order they came to rest.

    drop_index: the order in which the particles were stacked (0 first), so that
        it stands for stacking time.
    x_m, y_m, z_m: the centre of each particle: along the bed, its height above
        the ground, and across the bed.
    values: the particle's quality values, one column per name.
    """

    drop_index: np.ndarray
    x_m: np.ndarray
    y_m: np.ndarray
    z_m: np.ndarray
    values: np.ndarray
    names: tuple[str, ...]

    def __len__(self) -> int:
        return int(self.drop_index.size)

    def __repr__(self) -> str:
        return f"Particles({len(self):,} particles, qualities {', '.join(self.names)})"

    def column(self, name: str) -> np.ndarray:
        return self.values[:, self.names.index(name)]


# The layered engine's record of a segment, besides one array per quality name.
LAYER_FIELDS = ("x_m", "z_m", "bottom_m", "top_m", "volume_m3", "delivery")


@dataclass(frozen=True, repr=False)
class Layers:
    """What the layered engine keeps of a pile: every segment of every column, as stacked.

    x_m, z_m: the centre of the segment's column, along and across the bed;
        a column is cell_size_m wide each way.
    bottom_m, top_m: the heights between which the segment lies.
    volume_m3: the volume it holds.
    delivery: the volume-weighted mean index of the deliveries (chunks, 0
        first) laid in it, so that it stands for stacking time.
    values: its volume-weighted mean quality values, one column per name.
    """

    x_m: FloatArray
    z_m: FloatArray
    bottom_m: FloatArray
    top_m: FloatArray
    volume_m3: FloatArray
    delivery: FloatArray
    values: FloatArray
    names: tuple[str, ...]
    cell_size_m: float

    @classmethod
    def of_records(cls, records: dict[str, np.ndarray], names: tuple[str, ...], cell_size_m: float) -> Layers:
        """The layers from the native simulator's records: one array per field and one per quality name."""
        count = records["x_m"].size
        values = np.column_stack([records[name] for name in names]) if names else np.empty((count, 0))
        return cls(
            *(np.asarray(records[key], dtype=np.float64) for key in LAYER_FIELDS),
            values.astype(np.float64, copy=False),
            names,
            cell_size_m,
        )

    def __len__(self) -> int:
        return int(self.x_m.size)

    def __repr__(self) -> str:
        return f"Layers({len(self):,} segments in columns of {self.cell_size_m:.3g} m, qualities {', '.join(self.names)})"

    @property
    def total_volume_m3(self) -> float:
        return float(self.volume_m3.sum())

    def column(self, name: str) -> FloatArray:
        return self.values[:, self.names.index(name)]

    def select(self, keep: NDArray[np.bool_] | NDArray[np.intp]) -> Layers:
        """The layers a mask or index array picks."""
        picked = {name: getattr(self, name)[keep] for name in (*LAYER_FIELDS, "values")}
        return replace(self, **picked)


@dataclass(frozen=True, repr=False)
class RingOutput:
    """The reclaimer's output as a time series, one slice per reclaim step of its travel.

    time_s: when the reclaimer's foot finished the slice; position_m: where, on
    the centre line (growing turn after turn); residence_s: volume-weighted mean
    time the slice's material lay on the ring, until the middle of the slice's
    time (NaN for an empty slice).
    """

    time_s: FloatArray
    position_m: FloatArray
    volume_m3: FloatArray
    values: FloatArray
    residence_s: FloatArray
    names: tuple[str, ...]

    def __len__(self) -> int:
        return int(self.time_s.size)

    def __repr__(self) -> str:
        return f"RingOutput({len(self)} slices, {self.total_volume_m3:,.1f} m³)"

    @property
    def total_volume_m3(self) -> float:
        return float(self.volume_m3.sum())

    def select(self, keep: NDArray[np.bool_]) -> RingOutput:
        return RingOutput(
            self.time_s[keep],
            self.position_m[keep],
            self.volume_m3[keep],
            self.values[keep],
            self.residence_s[keep],
            self.names,
        )

    @staticmethod
    def joined(first: RingOutput, second: RingOutput) -> RingOutput:
        return RingOutput(
            np.concatenate([first.time_s, second.time_s]),
            np.concatenate([first.position_m, second.position_m]),
            np.concatenate([first.volume_m3, second.volume_m3]),
            np.concatenate([first.values.reshape(-1, len(first.names)), second.values.reshape(-1, len(first.names))]),
            np.concatenate([first.residence_s, second.residence_s]),
            first.names,
        )

    def to_frame(self) -> pd.DataFrame:
        import pandas as pd

        frame = pd.DataFrame(
            {
                "time_s": self.time_s,
                "position_m": self.position_m,
                "volume_m3": self.volume_m3,
                "residence_s": self.residence_s,
            }
        )
        for name, column in zip(self.names, self.values.T, strict=True):
            frame[name] = column
        return frame
