"""Two straight beds in turn: one is stacked while the other is reclaimed.

The feed is cut into consecutive portions of one bed's capacity; they go to
bed A, bed B, bed A again, and so on. The reclaimer takes a bed once it is
full and the other bed is done, so the output stream is A's reclaim followed
by B's, then A's next one. If the reclaimer is faster than the feed, it waits
for the next bed to fill; the wait shows as a gap in the output's time axis
and in `idle_h`. If it is slower, the feed due on a bed still being reclaimed
is held until the bed is empty (`feed_held_h`), and every later time moves
on by as much: no bed is stacked and reclaimed at once.

The figures compare like with like, as for one bed: the output's slices with
the feed cut, in stacking order, into portions of the same volumes (see
korvex.metrics), for every quality value and the derived ones (the moduli).
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np

from . import validation
from .bed import Bed
from .capacity import OnExcess
from .composites import SHIFT_STARTS_H, Clock, shift_starts
from .derived import Derivation
from .display import figures_html, headline
from .equipment import OutputSeries, Reclaimer
from .feed import Flow
from .metrics import QualityFigures, cut, portion_figures
from .plans import StackingPlan
from .seeds import derive_seed
from .series import QualitySeries
from .study import (
    Study,
    band_figure_pairs,
    band_shares,
    check_targets,
    column_std,
    feed_composites,
    figure_rows,
    kiln_rows,
    simulate,
)
from .targets import BandFigures, TargetBand, target_bands
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
    durations = series.flow.durations_s
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
        # Each portion keeps the whole feed's threshold: a portion's own gaps would set another.
        portions.append(
            QualitySeries(
                time[keep], volume[keep], series.values[keep], series.names, stop_after_s=series.flow.stop_after_s
            )
        )
    return portions


@dataclass(frozen=True, repr=False)
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

    def __repr__(self) -> str:
        return (
            f"BedTurn(bed {self.bed_name}, turn {self.turn}: stacked {self.stacked_from_h:.4g}-"
            f"{self.stacked_until_h:.4g} h, reclaimed {self.reclaimed_from_h:.4g}-{self.reclaimed_until_h:.4g} h)"
        )


@dataclass(frozen=True, repr=False)
class TwoBeds:
    """The turns of both beds in the order they were reclaimed, and the combined output.

    seed: the seed every turn's engine seed was derived from; alternate(..., seed=beds.seed) repeats it.
    feed_held_h: hours the feed was held because the bed it was due on was still being reclaimed.
    derived: values derived from averaged quality values (by default the cement moduli).
    feed_flow: the feed's operating time and stops (see korvex.feed).
    feed: the whole feed, as it came, before it was split between the beds.
    targets: bands a value is held in; the summary gives the shares of hourly composites and of tonnes inside each, as for one bed.
    """

    turns: tuple[BedTurn, ...]
    output: OutputSeries
    bulk_density_t_per_m3: float
    seed: int = 0
    feed_held_h: float = 0.0
    derived: Mapping[str, Derivation] | None = None
    feed_flow: Flow | None = None
    feed: QualitySeries | None = None
    targets: tuple[TargetBand, ...] = ()

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
        has to stop the feed for that long, and the timeline does (`feed_held_h`).
        """
        return self.feed_held_h

    def homogenisation(self, bed: str = "combined") -> tuple[QualityFigures, ...]:
        """Fair figures of one bed ("A", "B") or of the combined stream: its slices against the feed it
        received, in stacking order, cut into portions of the same volumes."""
        turns = [turn for turn in self.turns if bed in ("combined", turn.bed_name)]
        if not turns:
            raise ValueError(f"bed must be one of {[*BED_NAMES, 'combined']} with a turn, got {bed!r}")
        series = [turn.study.series for turn in turns]
        slices = [turn.study.reclaimed for turn in turns]
        names = series[0].names
        volume_out = np.concatenate([r.volume_m3 for r in slices])
        values_out = np.concatenate([r.values for r in slices])
        full = volume_out > 0
        volume_in = np.concatenate([s.volume_m3 for s in series])
        values_in = np.concatenate([s.values for s in series])
        return portion_figures(
            names,
            cut(volume_in, values_in, volume_out[full]),
            values_out[full],
            volume_out[full],
            per_row=(values_in, volume_in, values_out, volume_out),
            derived=self.derived,
        )

    def figures(self) -> pd.DataFrame:
        """Mean and std in and out, VRR and E of every quality and derived value, per bed and combined.

        Rows: bed A, bed B, combined; "in" is the feed that went to that bed,
        cut into portions of the volumes of the slices reclaimed from it ("out").
        """
        import pandas as pd

        rows = []
        for name in (*BED_NAMES, "combined"):
            turns = [turn for turn in self.turns if name in ("combined", turn.bed_name)]
            if not turns:
                continue
            volume_in = float(sum(turn.study.series.total_volume_m3 for turn in turns))
            volume_out = float(sum(turn.study.reclaimed.total_volume_m3 for turn in turns))
            row: dict[str, object] = {
                "bed": name,
                "turns": len(turns),
                "mass_in_t": volume_in * self.bulk_density_t_per_m3,
                "mass_out_t": volume_out * self.bulk_density_t_per_m3,
            }
            row.update(_figure_columns(self.homogenisation(name)))
            rows.append(row)
        return pd.DataFrame(rows)

    def composites(self, interval_h: float = 1.0) -> pd.DataFrame:
        """The laboratory's composites of the combined output over interval_h, with the derived values, as
        Study.composites gives them for one bed."""
        return self.output.composites(interval_h)

    def composite_std(self, interval_h: float = 1.0) -> dict[str, float]:
        """The mass-weighted std of each quality and derived value over the output's composites."""
        return self.output.composite_std(interval_h)

    def _feed(self) -> QualitySeries:
        if self.feed is None:
            raise ValueError("these two beds keep no feed: make them with alternate")
        return self.feed

    def feed_composites(self, interval_h: float = 1.0) -> pd.DataFrame:
        """The feed's averages over intervals of interval_h, with the derived values (see Study.feed_composites)."""
        return feed_composites(self._feed(), self.bulk_density_t_per_m3, interval_h, self.derived, self.output.clock)

    def feed_composite_std(self, interval_h: float = 1.0) -> dict[str, float]:
        """The std of each quality and derived value over the feed's averages of interval_h, by mass."""
        frame = self.feed_composites(interval_h)
        return column_std(frame, "mass_t", tuple(self.composite_std(interval_h)))

    def target_shares(self, interval_h: float = 1.0) -> pd.DataFrame:
        """For each target band, the share of the intervals' material inside it before the beds and after
        them (see Study.target_shares)."""
        if not self.targets:
            return band_shares((), None, None, "mass_t")
        return band_shares(self.targets, self.feed_composites(interval_h), self.composites(interval_h), "mass_t")

    def band_figures(self, interval_h: float = 1.0) -> dict[str, tuple[BandFigures, BandFigures | None]]:
        """For each target band, how the feed's averages and the beds' output keep it (see Study.band_figures)."""
        if not self.targets:
            return {}
        return band_figure_pairs(self.targets, self.feed_composites(interval_h), self.composites(interval_h), "mass_t")

    def summary(self) -> pd.DataFrame:
        """The deciding figures of both beds together, numbers all, as Study.summary gives them for one:
        columns figure, value, unit."""
        import pandas as pd

        density = self.bulk_density_t_per_m3
        volume_in = float(sum(turn.study.series.total_volume_m3 for turn in self.turns))
        volume_out = float(sum(turn.study.reclaimed.total_volume_m3 for turn in self.turns))
        rows: list[tuple[str, object, str]] = [
            ("fillings", len(self.turns), ""),
            ("bulk density", density, "t/m³"),
            ("feed", volume_in * density, "t"),
            ("reclaimed", volume_out * density, "t"),
            ("feed held", self.feed_held_h, "h"),
            ("reclaimer idle", self.idle_h, "h"),
            ("reclaim time", self.output.duration_h, "h"),
            *figure_rows(self.homogenisation()),
            *kiln_rows(self, reclaimed=True),
        ]
        return pd.DataFrame(rows, columns=["figure", "value", "unit"])

    def describe(self) -> str:
        first = self.turns[0].study
        fillings = f"{len(self.turns)} filling{'' if len(self.turns) == 1 else 's'}"
        return f"two beds in turn, {fillings}; {first.describe()}"

    def __repr__(self) -> str:
        return (
            f"TwoBeds({len(self.turns)} fillings of beds A and B, {self.output.frame['mass_t'].sum():,.0f} t out "
            f"over {self.output.duration_h:.4g} h;\n  {headline(self.homogenisation())};\n"
            f"  feed held {self.feed_held_h:.3g} h, reclaimer idle {self.idle_h:.3g} h; seed {self.seed})"
        )

    def _repr_html_(self) -> str:
        return figures_html(
            "Two beds",
            [
                ("setup", self.describe()),
                *([("feed", self.feed_flow.describe())] if self.feed_flow is not None else []),
                ("output", f"{self.output.frame['mass_t'].sum():,.0f} t over {self.output.duration_h:.4g} h"),
                ("feed held", f"{self.feed_held_h:.3g} h"),
                ("reclaimer idle", f"{self.idle_h:.3g} h"),
                ("seed", str(self.seed)),
            ],
            self.homogenisation(),
        )


def _figure_columns(figures: tuple[QualityFigures, ...]) -> dict[str, float]:
    columns: dict[str, float] = {}
    for f in figures:
        columns[f"{f.name} mean in"] = f.mean_in
        columns[f"{f.name} std in"] = f.std_in
        columns[f"{f.name} mean out"] = f.mean_out
        columns[f"{f.name} std out"] = f.std_out
        columns[f"{f.name} VRR"] = f.vrr
        columns[f"{f.name} E"] = f.effect
        if f.per_delivery_vrr is not None:
            columns[f"{f.name} VRR per delivery"] = f.per_delivery_vrr
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
    seed: int | None = None,
    derived: Mapping[str, Derivation] | None = None,
    targets: Iterable[str | TargetBand] | Mapping[str, tuple[float, float]] | None = None,
    shift_starts_h: Iterable[float] = SHIFT_STARTS_H,
) -> TwoBeds:
    """Stack the feed onto beds A and B in turn, capacity_m3 each time, and reclaim them in turn.

    Both beds are alike (`bed`) and stacked by the same plan. on_excess: as in
    simulate, for a capacity_m3 above what the bed holds. seed: every turn's
    engine seed derives from it; without one a seed is drawn, and TwoBeds keeps
    it. derived, targets: as in simulate. shift_starts_h: the plant's shifts, on which the output's
    composites fall when the feed's times are dates (see korvex.composites).
    """
    import pandas as pd

    density = check_bulk_density(bulk_density_t_per_m3)
    bands = target_bands(targets)
    check_targets(bands, series, derived)
    seed = validation.draw_seed() if seed is None else validation.seed(seed)
    portions = split_by_volume(series, capacity_m3)
    # The schedule counts hours from the feed's time 0, as the clock does.
    clock = None if series.date_origin is None else Clock(series.date_origin, shift_starts(shift_starts_h))
    durations = series.flow.durations_s
    cumulative = np.cumsum(series.volume_m3)
    turns: list[BedTurn] = []
    reclaimer_free_h = 0.0
    held_h = 0.0
    # When each bed's last filling has been reclaimed, so that it can take the feed again.
    bed_free_h = dict.fromkeys(BED_NAMES, -np.inf)
    due_from_h = float(series.time_s[0]) / 3600
    for k, portion in enumerate(portions):
        name, turn = BED_NAMES[k % 2], k // 2 + 1
        turn_seed = derive_seed(seed, {"bed": name, "turn": turn}, "two beds")
        study = simulate(portion, plan, bed, progress=progress, on_excess=on_excess, seed=turn_seed, derived=derived)
        # A bed is full when its last cubic metre has flowed in, part way through a delivery.
        boundary = min(capacity_m3 * (k + 1), series.total_volume_m3)
        last = min(int(np.searchsorted(cumulative, boundary - 1e-9)), cumulative.size - 1)
        before = cumulative[last] - series.volume_m3[last]
        share = (boundary - before) / series.volume_m3[last] if series.volume_m3[last] > 0 else 1.0
        due_until_h = float(series.time_s[last] + share * durations[last]) / 3600
        # The feed waits for its bed to be emptied; everything after it waits as long.
        held_h += max(0.0, bed_free_h[name] - (due_from_h + held_h))
        stacked_from_h, stacked_until_h = due_from_h + held_h, due_until_h + held_h
        start_h = max(reclaimer_free_h, stacked_until_h)
        output = reclaimer.output(study.reclaimed, density, start_h=start_h, derived=derived, clock=clock)
        reclaimer_free_h = float(output.frame["end_h"].iloc[-1])
        bed_free_h[name] = reclaimer_free_h
        turns.append(BedTurn(name, turn, study, stacked_from_h, stacked_until_h, output))
        due_from_h = due_until_h
    frames = [turn.output.frame.assign(bed=turn.bed_name, turn=turn.turn) for turn in turns]
    combined = OutputSeries(pd.concat(frames, ignore_index=True), series.names, derived, clock)
    return TwoBeds(tuple(turns), combined, density, seed, held_h, derived, series.flow, series, bands)
