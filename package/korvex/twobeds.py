"""Two straight beds in turn: one is stacked while the other is reclaimed.

The feed is cut into consecutive portions of one bed's capacity; they go to
bed A, bed B, bed A again, and so on. The reclaimer takes a bed once it is
full and the other bed is done, so the output stream is A's reclaim followed
by B's, then A's next one. If the reclaimer is faster than the feed, it waits
for the next bed to fill; the wait shows as a gap in the output's time axis
and in `idle_h`.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from .bed import Bed
from .capacity import OnExcess
from .equipment import OutputSeries, Reclaimer
from .metrics import QualityFigures, compare
from .plans import StackingPlan, flow_durations
from .series import QualitySeries
from .study import Study, simulate
from .units import check_bulk_density

if TYPE_CHECKING:
    import pandas as pd

BED_NAMES = ("A", "B")


def split_by_volume(series: QualitySeries, portion_m3: float) -> list[QualitySeries]:
    """Consecutive portions of portion_m3 each (the last one the rest).

    A delivery that straddles a boundary is split in proportion to its volume;
    its second part starts as far into the delivery's flow as the first part
    took.
    """
    if not portion_m3 > 0:
        raise ValueError(f"portion_m3 must be positive, got {portion_m3} m³")
    total = series.total_volume_m3
    edges = np.arange(1, int(np.ceil(total / portion_m3 - 1e-9))) * portion_m3
    cumulative = np.concatenate([[0.0], np.cumsum(series.volume_m3)])
    durations = flow_durations(series.time_s)
    portions = []
    bounds = np.concatenate([[0.0], edges, [total]])
    for low, high in zip(bounds[:-1], bounds[1:], strict=True):
        start = np.clip(low, cumulative[:-1], cumulative[1:])
        end = np.clip(high, cumulative[:-1], cumulative[1:])
        volume = end - start
        keep = volume > 0
        # How far into each delivery's flow this portion begins.
        delivered = np.divide(
            start - cumulative[:-1], series.volume_m3, out=np.zeros_like(start), where=series.volume_m3 > 0
        )
        time = series.time_s + delivered * durations
        portions.append(QualitySeries(time[keep], volume[keep], series.values[keep], series.names))
    return portions


@dataclass(frozen=True)
class BedTurn:
    """One filling and emptying of one bed."""

    bed_name: str
    turn: int
    study: Study
    stacked_from_h: float
    stacked_until_h: float
    output: OutputSeries

    @property
    def reclaimed_from_h(self) -> float:
        return float(self.output.frame["start_h"].iloc[0])

    @property
    def reclaimed_until_h(self) -> float:
        return float(self.output.frame["end_h"].iloc[-1])


@dataclass(frozen=True)
class TwoBeds:
    """The turns of both beds in the order they were reclaimed, and the combined output."""

    turns: tuple[BedTurn, ...]
    output: OutputSeries
    bulk_density_t_per_m3: float

    @property
    def idle_h(self) -> float:
        """Hours the reclaimer waited for a bed to fill after the first bed was full."""
        gaps = [
            later.reclaimed_from_h - earlier.reclaimed_until_h
            for earlier, later in zip(self.turns[:-1], self.turns[1:], strict=True)
        ]
        return float(sum(max(0.0, gap) for gap in gaps))

    @property
    def feed_blocked_h(self) -> float:
        """Hours in which the feed was due on a bed whose last filling was still being reclaimed.

        Zero when the reclaimer keeps up with the feed; otherwise a real plant
        would have to stop the feed for that long, and the times here are too
        early by as much.
        """
        blocked = [
            later.stacked_from_h - earlier.reclaimed_until_h
            for earlier, later in zip(self.turns[:-2], self.turns[2:], strict=True)
        ]
        return float(sum(max(0.0, -gap) for gap in blocked))

    def figures(self) -> pd.DataFrame:
        """Mean and std in and out of every quality value, per bed and for the combined stream.

        Rows: bed A, bed B, combined; "in" is the feed that went to that bed
        (per delivery), "out" the slices reclaimed from it.
        """
        import pandas as pd

        rows = []
        for name in (*BED_NAMES, "combined"):
            turns = [turn for turn in self.turns if name in ("combined", turn.bed_name)]
            if not turns:
                continue
            series = [turn.study.series for turn in turns]
            slices = [turn.study.reclaimed for turn in turns]
            figures = compare(
                series[0].names,
                np.concatenate([s.values for s in series]),
                np.concatenate([s.volume_m3 for s in series]),
                np.concatenate([r.values for r in slices]),
                np.concatenate([r.volume_m3 for r in slices]),
            )
            volume_in = float(sum(s.total_volume_m3 for s in series))
            volume_out = float(sum(r.total_volume_m3 for r in slices))
            row: dict[str, object] = {
                "bed": name,
                "turns": len(turns),
                "mass_in_t": volume_in * self.bulk_density_t_per_m3,
                "mass_out_t": volume_out * self.bulk_density_t_per_m3,
            }
            row.update(_figure_columns(figures))
            rows.append(row)
        return pd.DataFrame(rows)


def _figure_columns(figures: tuple[QualityFigures, ...]) -> dict[str, float]:
    columns: dict[str, float] = {}
    for f in figures:
        columns[f"{f.name} mean in"] = f.mean_in
        columns[f"{f.name} std in"] = f.std_in
        columns[f"{f.name} mean out"] = f.mean_out
        columns[f"{f.name} std out"] = f.std_out
        columns[f"{f.name} VRR"] = f.vrr
    return columns


def alternate(
    series: QualitySeries,
    plan: StackingPlan,
    bed: Bed,
    *,
    capacity_m3: float,
    reclaimer: Reclaimer,
    bulk_density_t_per_m3: float,
    progress: bool = False,
    on_excess: OnExcess = "warn",
) -> TwoBeds:
    """Stack the feed onto beds A and B in turn, capacity_m3 each time, and reclaim them in turn.

    Both beds are alike (`bed`) and stacked by the same plan. on_excess: as in
    simulate, for a capacity_m3 above what the bed holds.
    """
    import pandas as pd

    density = check_bulk_density(bulk_density_t_per_m3)
    portions = split_by_volume(series, capacity_m3)
    durations = flow_durations(series.time_s)
    cumulative = np.cumsum(series.volume_m3)
    turns: list[BedTurn] = []
    reclaimer_free_h = 0.0
    stacked_from_h = float(series.time_s[0]) / 3600
    for k, portion in enumerate(portions):
        study = simulate(portion, plan, bed, progress=progress, on_excess=on_excess)
        # A bed is full when its last cubic metre has flowed in, part way through a delivery.
        boundary = min(capacity_m3 * (k + 1), series.total_volume_m3)
        last = min(int(np.searchsorted(cumulative, boundary - 1e-9)), cumulative.size - 1)
        before = cumulative[last] - series.volume_m3[last]
        share = (boundary - before) / series.volume_m3[last] if series.volume_m3[last] > 0 else 1.0
        stacked_until_h = float(series.time_s[last] + share * durations[last]) / 3600
        start_h = max(reclaimer_free_h, stacked_until_h)
        output = reclaimer.output(study.reclaimed, density, start_h=start_h)
        reclaimer_free_h = float(output.frame["end_h"].iloc[-1])
        turns.append(BedTurn(BED_NAMES[k % 2], k // 2 + 1, study, stacked_from_h, stacked_until_h, output))
        stacked_from_h = stacked_until_h
    frames = [turn.output.frame.assign(bed=turn.bed_name, turn=turn.turn) for turn in turns]
    combined = OutputSeries(pd.concat(frames, ignore_index=True), series.names)
    return TwoBeds(tuple(turns), combined, density)
