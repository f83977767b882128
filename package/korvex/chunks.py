"""Chunk tables: the rows that the native simulator stacks, one chunk of material each."""

from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import numpy as np

from . import validation
from .errors import TableError
from .series import ROLE_COLUMNS, QualitySeries, seconds_column
from .units import MASS_COLUMNS
from .validation import FloatArray, float_array, where

if TYPE_CHECKING:
    import pandas as pd

    from .bed import Bed


@dataclass(frozen=True, repr=False)
class ChunkTable:
    """Chunks in stacking order: columns timestamp, x, z, volume, then the quality values.

    first_line: the line of the file that row 0 came from, if any; messages
        about a chunk then name its line.
    """

    data: FloatArray
    quality_names: tuple[str, ...]
    first_line: int | None = field(default=None, compare=False, repr=False)

    def __post_init__(self) -> None:
        data = float_array(self.data, "chunk table")
        names = tuple(str(name) for name in self.quality_names)
        if data.ndim != 2 or data.shape[1] != len(ROLE_COLUMNS) + len(names):
            raise TableError(
                f"a chunk table with {len(names)} quality values needs {len(ROLE_COLUMNS) + len(names)} columns, "
                f"got shape {data.shape}"
            )
        if any(name in ROLE_COLUMNS for name in names) or len(set(names)) != len(names):
            raise TableError(f"quality names must be unique and not one of {ROLE_COLUMNS}, got {names}")
        if data.shape[0]:
            validation.finite_rows(data, "a chunk value", self.first_line)
            negative = data[:, 3] < 0
            if np.any(negative):
                raise TableError(f"chunk volume is negative in {where(int(np.argmax(negative)), self.first_line)}")
        object.__setattr__(self, "data", np.ascontiguousarray(data))
        object.__setattr__(self, "quality_names", names)

    def __len__(self) -> int:
        return int(self.data.shape[0])

    def __repr__(self) -> str:
        names = ", ".join(self.quality_names) or "none"
        return f"ChunkTable({len(self)} chunks, {self.total_volume_m3:,.1f} m³, qualities {names})"

    @property
    def columns(self) -> list[str]:
        return [*ROLE_COLUMNS, *self.quality_names]

    @property
    def timestamp(self) -> FloatArray:
        return self.data[:, 0]

    @property
    def x(self) -> FloatArray:
        return self.data[:, 1]

    @property
    def z(self) -> FloatArray:
        return self.data[:, 2]

    @property
    def volume(self) -> FloatArray:
        return self.data[:, 3]

    @property
    def values(self) -> FloatArray:
        return self.data[:, len(ROLE_COLUMNS) :]

    @property
    def total_volume_m3(self) -> float:
        return float(self.volume.sum())

    def batches(self, count: int) -> Iterator[FloatArray]:
        """The rows in at most `count` consecutive blocks of nearly equal length."""
        yield from np.array_split(self.data, max(1, min(count, len(self))))

    def check_on(self, bed: Bed) -> None:
        """Refuse chunks that lie off the bed: the engine would pile them against the nearest edge without a word."""
        off = (self.x < 0) | (self.x > bed.length_m) | (self.z < 0) | (self.z > bed.depth_m)
        if off.any():
            row = int(np.argmax(off))
            label = f"chunk {row}" if self.first_line is None else f"chunk in {where(row, self.first_line)}"
            raise TableError(
                f"{label} at x = {self.x[row]:g} m, z = {self.z[row]:g} m lies off the "
                f"{bed.length_m:g} m x {bed.depth_m:g} m bed ({int(off.sum())} chunks in all)"
            )

    def to_series(self) -> QualitySeries:
        """The chunks as a quality series, in stacking order (for metrics and plots)."""
        return QualitySeries(self.timestamp, self.volume, self.values, self.quality_names, self.first_line)

    def to_frame(self) -> pd.DataFrame:
        import pandas as pd

        return pd.DataFrame(self.data, columns=self.columns)

    @classmethod
    def from_frame(cls, frame: pd.DataFrame, *, first_line: int | None = None) -> ChunkTable:
        """A chunk table from columns x, z, volume, an optional timestamp, and quality columns.

        Every other column that holds numbers is a quality value; a cell in one
        that is no number is an error. first_line: the file line of the table's
        first row, for messages.
        """
        columns = [str(column) for column in frame.columns]
        frame = frame.set_axis(columns, axis="columns")
        missing = [name for name in ("x", "z", "volume") if name not in columns]
        if missing:
            raise TableError(f"a table of chunks needs the columns x, z and volume; {missing} missing from {columns}")
        rows = len(frame)
        if rows == 0:
            raise TableError(f"the table has columns {columns} but no rows")
        qualities = [
            name
            for name in columns
            if name not in ROLE_COLUMNS and name not in MASS_COLUMNS and validation.holds_numbers(frame[name])
        ]
        data = np.empty((rows, len(ROLE_COLUMNS) + len(qualities)))
        if "timestamp" in columns:
            data[:, 0] = seconds_column(frame["timestamp"], "timestamp", first_line)
        else:
            data[:, 0] = np.arange(rows)
        for k, name in enumerate([*ROLE_COLUMNS[1:], *qualities], start=1):
            data[:, k] = validation.numeric_column(frame[name], name, first_line)
        return cls(data, tuple(qualities), first_line)
