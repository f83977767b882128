"""When the feed flows and when it stands: stops read from the deliveries' time stamps.

A delivery's material flows onto the bed until the next delivery arrives. A
gap longer than `stop_after_s` is no longer a pause between two trucks but a
stop of the feed (a night, a breakdown): the delivery before it flows for a
typical gap, and the stacker waits for the rest of the stop.

The default, 30 minutes, lies far above the gaps of a truck feed (a 25-30 t
truck every 1.5 to 3 minutes at 600-1,000 t/h) and below any stop a plant
plans (a shift change, a night). A series sampled more sparsely than that
(one row an hour, say) would make every gap a stop: by default the threshold
is then three typical gaps instead.

The feed rate is the mass delivered over the operating time, the sum of the
flowing durations; stops do not dilute it. Straight beds, rings and two beds
take the durations from here.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike

from . import validation
from .validation import FloatArray

# A gap between deliveries longer than this is a stop of the feed.
DEFAULT_STOP_AFTER_S = 1800.0
# For a sparse series, a stop is a gap longer than this many typical gaps.
SPARSE_STOP_GAPS = 3.0


def stop_threshold_s(time_s: ArrayLike, stop_after_s: float | None = None) -> float:
    """The gap from which the feed counts as stopped: stop_after_s, or by default the larger of
    DEFAULT_STOP_AFTER_S and SPARSE_STOP_GAPS typical (median) gaps."""
    if stop_after_s is not None:
        return validation.positive("stop_after_s", stop_after_s, "s")
    gaps = np.diff(np.asarray(time_s, dtype=np.float64))
    typical = float(np.median(gaps)) if gaps.size else 0.0
    return max(DEFAULT_STOP_AFTER_S, SPARSE_STOP_GAPS * typical)


@dataclass(frozen=True)
class Flow:
    """How long each delivery flows, and the stops between them.

    durations_s: each delivery's flowing time (its gap to the next, or a
        typical gap before a stop and for the last delivery).
    stop_after_s: the threshold that was applied.
    stops: how many gaps were stops; stopped_s: the time the feed stood.
    """

    durations_s: FloatArray
    stop_after_s: float
    stops: int
    stopped_s: float

    @property
    def operating_s(self) -> float:
        return float(self.durations_s.sum())

    @property
    def operating_h(self) -> float:
        return self.operating_s / 3600

    @property
    def stopped_h(self) -> float:
        return self.stopped_s / 3600

    def rate_per_h(self, amount: float) -> float:
        """An amount delivered (m³ or t) per operating hour."""
        if self.operating_s <= 0:
            raise ValueError("the feed arrives all at one instant: it has no rate")
        return float(amount) / self.operating_h

    def describe(self) -> str:
        if not self.stops:
            return f"{self.operating_h:.4g} h operating, no stop (gaps over {self.stop_after_s / 60:.4g} min)"
        return (
            f"{self.operating_h:.4g} h operating, {self.stops} stop{'s' if self.stops != 1 else ''} "
            f"of {self.stopped_h:.4g} h in all (gaps over {self.stop_after_s / 60:.4g} min)"
        )


def flow(time_s: ArrayLike, stop_after_s: float | None = None) -> Flow:
    """Each delivery's flowing time, and the stops, of deliveries at time_s (see the module)."""
    time = np.asarray(time_s, dtype=np.float64)
    threshold = stop_threshold_s(time, stop_after_s)
    gaps = np.diff(time)
    stop = gaps > threshold
    running = gaps[~stop]
    # A gap of a stop, and the last delivery, flow like a typical delivery does.
    if running.size:
        typical = float(np.median(running))
    else:
        typical = min(float(np.median(gaps)) if gaps.size else 0.0, threshold)
    durations = np.append(np.where(stop, typical, gaps), typical)
    stopped = float(np.sum(gaps[stop] - typical))
    return Flow(durations, threshold, int(stop.sum()), stopped)


def summary_rows(flow: Flow, volume_m3: float, bulk_density_t_per_m3: float | None) -> list[tuple[str, float, str]]:
    """The feed's operating time, stops and rate as rows of figure, value and unit, for every summary."""
    rows = [
        ("feed operating time", flow.operating_h, "h"),
        ("feed stops", float(flow.stops), ""),
        ("feed stopped", flow.stopped_h, "h"),
        ("feed stop threshold", flow.stop_after_s / 60, "min"),
    ]
    if flow.operating_s > 0:
        rows.append(("feed rate", flow.rate_per_h(volume_m3), "m³/h"))
        if bulk_density_t_per_m3 is not None:
            rows.append(("feed rate", flow.rate_per_h(volume_m3 * bulk_density_t_per_m3), "t/h"))
    return rows
