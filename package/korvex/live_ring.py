"""A ring followed live: a circular bed in continuous operation, stacked delivery by delivery while its
reclaimer runs.

The stacker slews over a ramp that advances round the ring at a set rate
(Chevcon's advance_m_per_min: a live ring cannot wait for the whole feed's
mean rate), and the reclaimer follows the front reclaimer_lag_m behind at the
same rate. Both move with the feed's flowing time: a delivery flows over the
gap since the one before (a gap longer than max_gap_s is a stop of the feed,
during which both wait), as on a straight live bed.

Each delivery is run on the ring on its own: its chunks, and the reclaimer's
way from where the last one left it to where this one leaves it, cut into
slices of the bed's reclaim step (the last one shorter). What a delivery does
thus depends only on the ring and the ledger before it, never on how the
deliveries were grouped into batches, so that a restart, which takes a batch
again with whatever has arrived since, builds the same ring to the bit.
"""

from __future__ import annotations

import csv
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .bed import Bed
from .deliveries import Delivery
from .errors import SettingsError
from .plans import Chevcon
from .results import RingOutput
from .series import QualitySeries
from .stockpile import RingPile
from .tables import csv_field, from_text

OUTPUT_FILE = "output.csv"
OUTPUT_COLUMNS = ("time_s", "position_m", "volume_m3", "residence_s")


@dataclass(frozen=True)
class RingRun:
    """What running deliveries on a ring left: the slices cut, and the feed's flowing time and the
    reclaimer's position after them."""

    output: RingOutput
    flowing_s: float
    reclaimer_m: float


@dataclass(frozen=True)
class RingFeed:
    """How a live ring lays each delivery, and where its reclaimer goes meanwhile."""

    plan: Chevcon
    bed: Bed
    advance_m_per_s: float
    lag_m: float

    @classmethod
    def of(cls, plan_settings: dict, bed: Bed) -> RingFeed:
        """The feed of a Chevcon with plan_settings (advance_m_per_min among them) round `bed`."""
        if not bed.circular:
            raise SettingsError("a live ring needs a circular bed (Bed(circular=True))")
        try:
            plan = Chevcon(**plan_settings)
        except TypeError:
            raise SettingsError(f"the chevcon plan takes none of {sorted(plan_settings)}") from None
        if plan.advance_m_per_min is None:
            raise SettingsError(
                "a live ring needs advance_m_per_min: the ramp's advance cannot wait for the mean rate of a "
                "feed that has not come yet"
            )
        advance = plan.advance_m_per_min / 60
        # The full pile, a ridge as high as half its width, is the highest face the reclaimer meets.
        lag, _ = plan.lag_m(bed, advance, bed.ring_width_m / 2)
        return cls(plan, bed, advance, lag)

    def crossings(self, flowing_s: float) -> float:
        """How often the stacker has crossed the ramp after flowing_s seconds of feed."""
        return flowing_s * self.plan.slew_m_per_s(self.bed) / self.plan.ramp_m(self.bed)

    def run(
        self,
        ring: RingPile,
        deliveries: Sequence[Delivery],
        names: Sequence[str],
        last_time_s: float | None,
        flowing_s: float,
        reclaimer_m: float,
        max_gap_s: float,
    ) -> RingRun:
        """Runs the deliveries on `ring` one by one, after the delivery of last_time_s, flowing_s
        seconds of feed and with the reclaimer at reclaimer_m."""
        outputs = []
        for delivery in deliveries:
            gap = 0.0 if last_time_s is None else min(delivery.time_s - last_time_s, max_gap_s)
            start_s = delivery.time_s - gap
            series = QualitySeries(
                np.array([start_s]), np.array([delivery.volume_m3]), np.array([delivery.values]), tuple(names)
            )
            chunks = self.plan.laid(series, np.array([flowing_s]), np.array([gap]), self.bed, self.advance_m_per_s)
            flow = np.array([flowing_s, flowing_s + gap])
            ends = self.plan.reclaimer_m(flow, self.bed, self.advance_m_per_s, self.lag_m)
            # Waiting at the start until its way gets there, and never going back.
            positions = np.maximum(ends, reclaimer_m)
            outputs.append(ring.run_along(chunks, np.array([start_s, delivery.time_s]), positions))
            flowing_s += gap
            reclaimer_m = float(positions[-1])
            last_time_s = delivery.time_s
        return RingRun(_joined(outputs, names), flowing_s, reclaimer_m)


def _joined(outputs: Sequence[RingOutput], names: Sequence[str]) -> RingOutput:
    count = len(names)
    return RingOutput(
        np.concatenate([np.empty(0), *(o.time_s for o in outputs)]),
        np.concatenate([np.empty(0), *(o.position_m for o in outputs)]),
        np.concatenate([np.empty(0), *(o.volume_m3 for o in outputs)]),
        np.concatenate([np.empty((0, count)), *(o.values.reshape(len(o), count) for o in outputs)]),
        np.concatenate([np.empty(0), *(o.residence_s for o in outputs)]),
        tuple(names),
    )


def output_header(names: Sequence[str]) -> str:
    # The plant's quality names, quoted and neutralised as in taken.csv.
    return ",".join(csv_field(name, ",") for name in (*OUTPUT_COLUMNS, *names)) + "\n"


def output_rows(output: RingOutput) -> str:
    """The slices as lines of output.csv, every number written to read back to the bit."""
    columns = np.column_stack([output.time_s, output.position_m, output.volume_m3, output.residence_s, output.values])
    return "".join(",".join(repr(float(v)) for v in row) + "\n" for row in columns)


def read_output(path: Path) -> RingOutput | None:
    """The slices a live ring has cut, from its output.csv; None before the first."""
    if not path.exists():
        return None
    with path.open(encoding="utf-8") as file:
        header = [from_text(name) for name in next(csv.reader([file.readline().rstrip("\n")]), [])]
        rows = file.read().splitlines()
    if not header or not rows:
        return None
    table = np.loadtxt(rows, delimiter=",", ndmin=2)
    return RingOutput(table[:, 0], table[:, 1], table[:, 2], table[:, 4:], table[:, 3], tuple(header[4:]))


def extended(output: RingOutput | None, more: RingOutput) -> RingOutput | None:
    if len(more) == 0:
        return output
    return more if output is None else RingOutput.joined(output, more)
