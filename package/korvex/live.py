"""A live bed: a bed followed delivery by delivery while it is built, that survives any restart.

A LiveBed lives in a state directory:

    bed.json      the settings it was started with (bed, stacker, plan, density, dialect, seed)
    state.kvx     the last checkpoint: the pile's snapshot, with the ledger as its note (see ledger.py)
    journal.kvj   every batch committed since the checkpoint: the ledger after it and its deliveries
    taken.csv     every delivery stacked: time, volume, quality values
    rejects.csv   every line refused, with its line number and reason
    status.json, status.csv   the status after the last batch (see live_status.py)

Each batch of new lines is read, checked, stacked as one table, recorded in
taken.csv and rejects.csv (flushed to the disk), and then committed by one
entry appended to the journal. The snapshot, whose size grows with the bed, is
written only as a checkpoint, once stacking the journal's deliveries again
would cost a restart replay_budget_s of CPU. A process killed at any moment
restarts from the checkpoint, stacks the journal's batches again, cuts the two
files back to what its ledger recorded and takes the same lines again: the
pile comes out the same to the bit, whatever the moments of the kills.

Deliveries are placed as the plan lays them: the stacker travels along its
path in step with the volume delivered (a layer count spread over the bed's
capacity) or with time (a stacker speed; a gap between deliveries longer than
max_gap_s is a stop of the feed, during which it waits).

A circular bed in continuous operation (plan "chevcon") is a live ring (see
live_ring.py): its reclaimer runs while it is stacked, the slices it cuts are
recorded in output.csv like the deliveries in taken.csv, and it is never full.
"""

from __future__ import annotations

import csv
import fcntl
import json
import math
import os
import time
from collections import deque
from collections.abc import Iterable, Sequence
from dataclasses import asdict, dataclass, field, replace
from pathlib import Path
from typing import Any

import numpy as np

from . import validation
from .bed import Bed
from .capacity import bed_capacity
from .chunks import ChunkTable
from .deliveries import (
    LONG_LINE_KEPT,
    MAX_LINE_BYTES,
    Delivery,
    Dialect,
    Line,
    LongLine,
    RowReader,
    complete_lines,
    recognised_by,
    row_hash,
    shown,
)
from .equipment import Stacker
from .feed_correction import Component, Target, correction_lines
from .errors import BusyError, KorvexError, SettingsError
from .ledger import RECENT_LINES, Entry, Ledger, append_durably, cut_back, journal_entry, open_regular, read_journal
from .live_ring import OUTPUT_FILE, RingFeed, extended, output_header, output_rows, read_output
from .live_status import (
    BLOCK_DELIVERIES,
    INTERVAL,
    RECENT_DELIVERIES,
    REPLICATES,
    STATUS_JSON,
    Prediction,
    PredictionPolicy,
    bootstrap_values,
    continuation_schedule,
    feed_rate_m3_per_s,
    mean_std,
    prediction_age,
    quality_so_far,
    with_moduli,
    write_status,
)
from .plans import StackingPlan, TravellingPlan
from .results import Reclaimed, RingOutput
from .series import QualitySeries
from .stockpile import RingPile, Stockpile
from .tables import csv_field, from_text
from .units import SECONDS_PER_HOUR, check_bulk_density
from .validation import FloatArray

SETTINGS_FILE = "bed.json"
STATE_FILE = "state.kvx"
TAKEN_FILE = "taken.csv"
REJECTS_FILE = "rejects.csv"
LOCK_FILE = "lock"
JOURNAL_FILE = "journal.kvj"
# The steepest slope at which a capacity given is still possible.
STEEPEST_DEG = 89.0
# CPU seconds of stacking that a restart may have to repeat from the journal before a checkpoint is written:
# with the load of the snapshot and the imports, a restart stays within 2 s.
REPLAY_BUDGET_S = 0.5
# Most bytes of journal a restart reads, whatever the stacking cost.
JOURNAL_MAX_BYTES = 32 * 1024 * 1024
# Most bytes of new lines taken in one batch: a long backlog is taken in several.
BATCH_BYTES = 4 * 1024 * 1024
# Notes kept for the caller to print (a volume column departing from the mass, text columns left out).
KEPT_NOTES = 1000


@dataclass(frozen=True)
class LiveSettings:
    """How a live bed is built.

    plan, plan_settings: a travelling plan of PLANS (chevron, windrow, strata,
        circular) and its settings (layers, ...), with the stacker's speed,
        dwell and tail; or "chevcon" on a circular bed, run continuously, with
        Chevcon's settings (advance_m_per_min among them).
    capacity_t: what the bed takes before it is full; by default its capacity
        at the engine's angle of repose (capacity.bed_capacity). A ring run
        continuously has none.
    max_gap_s: a longer gap between deliveries is a stop of the feed.
    header: the deliveries' header line, for lines on standard input.
    """

    bed: Bed
    bulk_density_t_per_m3: float
    stacker: Stacker = field(default_factory=Stacker)
    plan: str = "chevron"
    plan_settings: dict[str, Any] = field(default_factory=dict)
    dialect: Dialect = field(default_factory=Dialect)
    seed: int = 0
    capacity_t: float | None = None
    max_gap_s: float = 1800.0
    header: str | None = None

    def __post_init__(self) -> None:
        check_bulk_density(self.bulk_density_t_per_m3)
        validation.seed(self.seed)
        validation.positive("max_gap_s", self.max_gap_s, "s")
        if self.capacity_t is not None:
            validation.positive("capacity_t", self.capacity_t, "t")
            # No material stands steeper: more would spill over the bed's edges, and the prediction would
            # stack it delivery by delivery.
            most_t = bed_capacity(self.bed, STEEPEST_DEG).volume_m3 * self.bulk_density_t_per_m3
            if self.capacity_t > most_t:
                raise SettingsError(
                    f"capacity_t must be at most {most_t:,.0f} t, what the bed would hold at a slope of "
                    f"{STEEPEST_DEG:g}°, got {self.capacity_t:g} t"
                )
        if self.bed.engine == "detailed":
            raise ValueError(
                "a live bed runs on the fast or layered engine: the detailed engine's piles cannot be saved"
            )
        if self.continuous:
            if self.capacity_t is not None:
                raise ValueError("a ring run continuously is never full: give no capacity_t")
            self.ring_feed()
        else:
            self.stacking_plan()

    @property
    def continuous(self) -> bool:
        """A circular bed run continuously, its reclaimer running while it is stacked."""
        return self.plan == "chevcon"

    def ring_feed(self) -> RingFeed:
        return RingFeed.of(self.plan_settings, self.bed)

    def stacking_plan(self) -> TravellingPlan:
        plan = self.stacker.plan(self.plan, **self.plan_settings)
        if not isinstance(plan, TravellingPlan):
            raise ValueError(
                f"a live bed follows a travelling plan (chevron, windrow, strata, circular), not {self.plan!r}"
            )
        return plan

    def capacity_m3(self) -> float:
        if self.continuous:
            return math.inf
        if self.capacity_t is not None:
            return self.capacity_t / self.bulk_density_t_per_m3
        tail = self.stacker.blending_tail_m
        return bed_capacity(self.bed, blending_tail_m=None if self.bed.circular else tail).volume_m3

    def to_json(self) -> str:
        return json.dumps(asdict(self), indent=2, sort_keys=True)

    @classmethod
    def from_json(cls, text: str) -> LiveSettings:
        data = json.loads(text)
        dialect = data["dialect"]
        if dialect.get("qualities") is not None:
            dialect["qualities"] = tuple(dialect["qualities"])
        return cls(
            **{
                **data,
                "bed": Bed.from_fields(data["bed"]),
                "stacker": Stacker(**data["stacker"]),
                "dialect": Dialect(**dialect),
            }
        )


@dataclass(frozen=True)
class Stacked:
    """Where a batch left the stacker: its travel along a straight bed's path, or a ring's flowing time
    and reclaimer, with the slices cut."""

    travel_m: float
    flowing_s: float = 0.0
    reclaimer_m: float = 0.0
    output: RingOutput | None = None


@dataclass(frozen=True)
class Batch:
    """What one batch did: deliveries stacked and lines refused (line number and reason)."""

    stacked: int
    rejected: list[tuple[int, str]]


def _append_durably(path: Path, text: str) -> int:
    """Appends `text` and flushes it to the disk; returns the file's new length."""
    return append_durably(path, text.encode("utf-8"))


def _emptied(path: Path) -> None:
    os.close(open_regular(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC))


class LiveBed:
    """A bed followed delivery by delivery in a state directory. Create one with start or open."""

    def __init__(
        self, directory: Path, settings: LiveSettings, pile: Stockpile | RingPile, ledger: Ledger, lock: int
    ) -> None:
        self.directory = directory
        self.settings = settings
        self.pile = pile
        self.ledger = ledger
        self._lock = lock
        self._ring = settings.ring_feed() if settings.continuous else None
        self._plan: StackingPlan = self._ring.plan if self._ring is not None else settings.stacking_plan()
        self.capacity_m3 = settings.capacity_m3()
        # Replicate continuations of the feed behind the predicted output in each status; 0 for none.
        self.status_replicates = REPLICATES
        self.prediction_policy = PredictionPolicy()
        # A checkpoint is written once stacking the journal's batches again would take this much CPU.
        self.replay_budget_s = REPLAY_BUDGET_S
        # What the journal holds since the checkpoint: the CPU time its batches took to stack, and its length.
        self._replay_s = 0.0
        self._journal_bytes = 0
        self._prediction: Prediction | None = None
        # The deliveries stacked and a ring's slices, kept in step with taken.csv and output.csv so that a
        # status need not read them again.
        self._taken: QualitySeries | None = None
        self._output: RingOutput | None = None
        self._reader: RowReader | None = None
        header = ledger.header if ledger.header is not None else settings.header
        if header is not None:
            self._reader = RowReader(header, settings.dialect, settings.bulk_density_t_per_m3, ledger.qualities)
        # What reading said beside refusing, for the caller to print: take_notes empties it.
        self._notes: deque[str] = deque(maxlen=KEPT_NOTES)

    # -- starting and resuming ------------------------------------------------------------------

    @classmethod
    def start(cls, directory: str | Path, settings: LiveSettings) -> LiveBed:
        """A new live bed in `directory` (created if missing); ValueError if it holds a bed already."""
        directory = Path(directory)
        directory.mkdir(parents=True, exist_ok=True)
        lock = _lock(directory)
        try:
            # The snapshot is written last: a directory without one holds at most a start cut short.
            if (directory / STATE_FILE).exists():
                raise ValueError(f"{directory} holds a live bed already: resume it, or start in an empty directory")
            _refuse_lost_snapshot(directory)
            pile: Stockpile | RingPile
            if settings.continuous:
                pile = RingPile(settings.bed, seed=settings.seed)
            else:
                # Fixed once: the capacity at the engine's angle of repose takes a simulation to measure.
                settings = replace(settings, capacity_t=settings.capacity_m3() * settings.bulk_density_t_per_m3)
                pile = Stockpile(settings.bed, seed=settings.seed)
            names = settings.dialect.qualities
            if settings.header is not None:
                names = RowReader(settings.header, settings.dialect, settings.bulk_density_t_per_m3).qualities
            ledger = Ledger()
            bed = cls(directory, settings, pile, ledger, lock)
            grown = (SETTINGS_FILE, TAKEN_FILE, REJECTS_FILE, JOURNAL_FILE)
            for name in grown + ((OUTPUT_FILE,) if settings.continuous else ()):
                _emptied(directory / name)
            _append_durably(directory / SETTINGS_FILE, settings.to_json())
            if names:
                bed._write_headers(names)
            bed.ledger.rejects_bytes = _append_durably(directory / REJECTS_FILE, "line,reason,text\n")
            bed._write_checkpoint()
            return bed
        except BaseException:
            os.close(lock)
            raise

    @classmethod
    def open(cls, directory: str | Path) -> LiveBed:
        """The live bed in `directory`, as its last snapshot left it."""
        directory = Path(directory)
        if not (directory / STATE_FILE).exists():
            raise ValueError(f"{directory} holds no live bed ({STATE_FILE} is missing): start one there")
        lock = _lock(directory)
        try:
            settings = LiveSettings.from_json((directory / SETTINGS_FILE).read_text())
            pile, ledger = load_state(directory / STATE_FILE, settings)
            # Temporary files of saves cut short by a crash; the lock keeps any other writer away.
            for stale in directory.glob(f"{STATE_FILE}.tmp-*"):
                stale.unlink()
            bed = cls(directory, settings, pile, ledger, lock)
            bed._settle()
            return bed
        except BaseException:
            os.close(lock)
            raise

    @classmethod
    def start_or_open(cls, directory: str | Path, settings: LiveSettings) -> LiveBed:
        """Resume the bed in `directory`, or start one there with `settings`."""
        if (Path(directory) / STATE_FILE).exists():
            return cls.open(directory)
        return cls.start(directory, settings)

    def checkpoint(self) -> None:
        """Writes the snapshot if the journal holds anything since the last one, so that a restart replays
        nothing; the tracker does so when it stops of itself."""
        if self._journal_bytes:
            self._write_checkpoint()

    def close(self) -> None:
        if self._lock >= 0:
            os.close(self._lock)
            self._lock = -1

    def __enter__(self) -> LiveBed:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    # -- taking deliveries ----------------------------------------------------------------------

    def take_file(self, path: str | Path) -> int:
        """Takes every whole new line of the deliveries file, in batches; returns the lines read."""
        path = Path(path)
        self.ledger.check_file(path)
        read = 0
        with path.open("rb") as file:
            if self.ledger.header is None:
                header = file.readline(MAX_LINE_BYTES + 1)
                if len(header) > MAX_LINE_BYTES:
                    raise ValueError(
                        f"{path}: the header line is longer than the {MAX_LINE_BYTES:,} bytes a line may have"
                    )
                if not header.endswith(b"\n"):
                    return 0
                self._adopt_header(header)
            while True:
                file.seek(self.ledger.offset)
                data = file.read(BATCH_BYTES)
                lines: list[Line] = list(complete_lines(data))
                if not lines:
                    if len(data) < BATCH_BYTES:
                        return read
                    # One line longer than a whole batch: refuse it and go past it, once it is whole.
                    long = _long_line(file, self.ledger.offset)
                    if long is None:
                        return read
                    lines = [long]
                self._take(lines, str(path))
                read += len(lines)

    def take_lines(self, lines: Iterable[Line | str], source: str = "<stdin>") -> Batch:
        """Takes lines from standard input or any stream (see deliveries.stream_line); the first ever is the
        header unless the settings name one. A line already taken (sent again after a restart) is skipped."""
        encoded = [line.encode() if isinstance(line, str) else line for line in lines]
        encoded = [line if isinstance(line, LongLine) or line.endswith(b"\n") else line + b"\n" for line in encoded]
        if self._reader is None and encoded:
            first = encoded.pop(0)
            if isinstance(first, LongLine):
                raise ValueError(
                    f"{source}: the header line is longer than the {MAX_LINE_BYTES:,} bytes a line may have"
                )
            self._adopt_header(first, advance=False)
        header = self.ledger.header
        fresh = [
            line
            for line in encoded
            if not self.ledger.seen(recognised_by(line)) and shown(line).decode(errors="replace") != header
        ]
        return self._take(fresh, source, remember=True)

    def _adopt_header(self, header: bytes, *, advance: bool = True) -> None:
        try:
            text = header.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError("the header line is not UTF-8 text") from None
        density = self.settings.bulk_density_t_per_m3
        self._reader = RowReader(text, self.settings.dialect, density, self.ledger.qualities)
        self.ledger.header = text
        if advance:
            self.ledger.offset = len(header)
            self.ledger.line = 2

    def _write_headers(self, names: Sequence[str]) -> None:
        self.ledger.taken_bytes = _append_durably(self.directory / TAKEN_FILE, _taken_header(names))
        if self._ring is not None:
            self.ledger.output_bytes = _append_durably(self.directory / OUTPUT_FILE, output_header(names))

    def _reader_or_header(self) -> RowReader:
        if self._reader is None:
            raise ValueError("no header line has been read yet: the first line must name the columns")
        return self._reader

    def take_notes(self) -> list[str]:
        """What reading said since the last call beside the lines it refused: the columns left out as text,
        a volume column that departs from the weighed mass."""
        notes = list(self._notes)
        self._notes.clear()
        return notes

    def name_qualities(self, names: Sequence[str]) -> None:
        """Reads the quality columns `names`, on a bed resumed before it chose its own; ValueError if the
        bed reads others."""
        chosen = self._reader.qualities if self._reader is not None else self.settings.dialect.qualities
        if chosen is not None:
            if tuple(names) != tuple(chosen):
                raise ValueError(
                    f"the bed in {self.directory} reads the quality columns {list(chosen)}, not {list(names)}: "
                    "a bed keeps its columns; start one in a new state directory to read others"
                )
            return
        self.ledger.qualities = list(names)
        if self._reader is not None:
            header = self.ledger.header if self.ledger.header is not None else self.settings.header
            assert header is not None
            self._reader = RowReader(header, self.settings.dialect, self.settings.bulk_density_t_per_m3, names)

    def _choose_columns(self, reader: RowReader, lines: Sequence[Line]) -> None:
        """Chooses the quality columns on the first lines (see RowReader.settle), once for the bed, and
        heads taken.csv with them. Checked on every batch, so that a batch cut short before taken.csv was
        headed (a failed write, a reload) heads it on the next."""
        if reader.qualities is None and not self.ledger.full:
            left_out = reader.settle(lines)
            if left_out and reader.qualities is not None:
                self._notes.append(
                    f"the columns {', '.join(map(repr, left_out))} hold no numbers and are left out, as simulate "
                    f"leaves them out; the qualities are {', '.join(map(repr, reader.qualities))}"
                )
        if reader.qualities is None:
            return
        self.ledger.qualities = list(reader.qualities)
        if self.ledger.taken_bytes == 0:
            self._write_headers(reader.qualities)

    def _take(self, lines: Sequence[Line], source: str, *, remember: bool = False) -> Batch:
        if not lines:
            return Batch(0, [])
        reader = self._reader_or_header()
        ledger = self.ledger
        self._choose_columns(reader, lines)
        accepted: list[Delivery] = []
        accepted_lines: list[int] = []
        rejected: list[tuple[int, str, bytes]] = []
        stacked = ledger.stacked_volume_m3
        last_time = ledger.last_time_s
        full = ledger.full
        line_number = ledger.line
        read = [] if full else reader.read_lines(lines, line_number, source)
        for k, line in enumerate(lines):
            reason = None
            delivery = None
            if full:
                reason = "the bed is full and takes no more"
            else:
                item = read[k]
                if isinstance(item, str):
                    reason = item
                else:
                    delivery = item
            if delivery is not None:
                if last_time is not None and delivery.time_s < last_time:
                    reason = f"its time {delivery.time_s:g} s is earlier than the last stacked, {last_time:g} s"
                elif self._ring is None and stacked + delivery.volume_m3 > self.capacity_m3 * (1 + 1e-9):
                    full = True
                    reason = (
                        f"the bed is full: {delivery.volume_m3:g} m³ more would make "
                        f"{stacked + delivery.volume_m3:g} m³, "
                        f"over its capacity of {self.capacity_m3:g} m³"
                    )
                else:
                    accepted.append(delivery)
                    accepted_lines.append(line_number)
                    stacked += delivery.volume_m3
                    last_time = delivery.time_s
            if reason is not None:
                rejected.append((line_number, reason, shown(line)))
            line_number += 1
        try:
            stacked_now = self._stack(accepted)
            self._record(accepted, rejected, stacked_now.output)
        except BaseException:
            # The pile may hold part of the batch: go back to the last snapshot, which does not.
            self._reload()
            raise
        self._taken = _extended(self._taken, accepted, self.quality_names)
        if stacked_now.output is not None:
            self._output = extended(self._output, stacked_now.output)
            ledger.flowing_s = stacked_now.flowing_s
            ledger.reclaimer_m = stacked_now.reclaimer_m
            ledger.reclaimed_volume_m3 += stacked_now.output.total_volume_m3
            ledger.slices += len(stacked_now.output)
        ledger.travel_m = stacked_now.travel_m
        ledger.stacked_volume_m3 = stacked
        ledger.last_time_s = last_time
        ledger.full = full
        ledger.deliveries += len(accepted)
        ledger.rejected += len(rejected)
        ledger.line = line_number
        if remember:
            for line in lines:
                ledger.remember(recognised_by(line))
        else:
            ledger.offset += sum(len(line) for line in lines)
            ledger.last_line_hash = row_hash(recognised_by(lines[-1]))
            ledger.last_line_bytes = len(recognised_by(lines[-1]))
        self._commit(accepted, [row_hash(recognised_by(line)) for line in lines] if remember else [])
        departures = reader.departures(accepted, accepted_lines)
        if departures is not None:
            self._notes.append(departures)
        self.refresh_status()
        return Batch(len(accepted), [(number, reason) for number, reason, _ in rejected])

    def refresh_status(self, *, predict_now: bool = False) -> dict[str, Any]:
        """Computes the status (see live_status) and writes status.json and status.csv. The predicted
        output is made again when asked, or when the prediction policy says it is due."""
        taken = self._taken
        ledger = self.ledger
        due = self.prediction_policy.due(
            self._prediction, ledger.stacked_volume_m3, ledger.deliveries, self.capacity_m3, self.full
        )
        if taken is not None and self._ring is None and self.status_replicates > 0 and (due or predict_now):
            self._prediction = predict(self, taken, self.status_replicates)
        report = status(self, taken, self._prediction)
        write_status(self.directory, report)
        return report

    def _stack(self, deliveries: Sequence[Delivery]) -> Stacked:
        """Stacks the deliveries where the plan lays them (a ring's reclaimer running meanwhile), counting
        the CPU time that a restart spends to stack them again from the journal."""
        started = time.process_time()
        try:
            return self._lay(deliveries)
        finally:
            self._replay_s += time.process_time() - started

    def _lay(self, deliveries: Sequence[Delivery]) -> Stacked:
        ledger = self.ledger
        if self._ring is not None:
            assert isinstance(self.pile, RingPile)
            run = self._ring.run(
                self.pile,
                deliveries,
                self.quality_names,
                ledger.last_time_s,
                ledger.flowing_s,
                ledger.reclaimer_m,
                self.settings.max_gap_s,
            )
            return Stacked(ledger.travel_m, run.flowing_s, run.reclaimer_m, run.output)
        if not deliveries:
            return Stacked(ledger.travel_m)
        assert isinstance(self.pile, Stockpile)
        chunks, travel = self.chunks_for(deliveries, ledger.travel_m, ledger.last_time_s)
        self.pile.stack(chunks, progress=False)
        return Stacked(travel)

    def chunks_for(
        self,
        deliveries: Sequence[Delivery],
        travel_m: float,
        last_time_s: float | None,
        names: Sequence[str] | None = None,
    ) -> tuple[ChunkTable, float]:
        """The chunks that lay `deliveries` after the stacker has travelled travel_m and the delivery of
        last_time_s was stacked, and the travel after them. Computed one delivery after another, so that
        deliveries taken in other batches land exactly where they would have. names: of the deliveries'
        values, by default the bed's quality names."""
        total = self._plan.layered_travel_m(self.settings.bed)
        speed_m_per_s = (self._plan.stacker_speed_m_per_min or 0.0) / 60
        count = len(deliveries)
        start, end, duration = np.empty(count), np.empty(count), np.empty(count)
        for k, delivery in enumerate(deliveries):
            gap = 0.0 if last_time_s is None else min(delivery.time_s - last_time_s, self.settings.max_gap_s)
            step = delivery.volume_m3 / self.capacity_m3 * total if total is not None else speed_m_per_s * gap
            start[k] = travel_m
            travel_m = travel_m + step
            end[k] = travel_m
            duration[k] = gap
            last_time_s = delivery.time_s
        names = tuple(self.quality_names if names is None else names)
        series = QualitySeries(
            np.array([d.time_s for d in deliveries]),
            np.array([d.volume_m3 for d in deliveries]),
            np.array([d.values for d in deliveries]).reshape(count, len(names)),
            names,
        )
        return self._plan.chunks_along(series, self.settings.bed, start, end, duration), travel_m

    def _record(
        self,
        accepted: Sequence[Delivery],
        rejected: Sequence[tuple[int, str, bytes]],
        output: RingOutput | None,
    ) -> None:
        if accepted:
            rows = "".join(
                ",".join(repr(value) for value in (d.time_s, d.volume_m3, *d.values)) + "\n" for d in accepted
            )
            self.ledger.taken_bytes = _append_durably(self.directory / TAKEN_FILE, rows)
        if rejected:
            rows = "".join(
                f"{number},{_quoted(reason)},{_quoted(line.decode('utf-8', errors='replace').rstrip())}\n"
                for number, reason, line in rejected
            )
            self.ledger.rejects_bytes = _append_durably(self.directory / REJECTS_FILE, rows)
        if output is not None and len(output):
            self.ledger.output_bytes = _append_durably(self.directory / OUTPUT_FILE, output_rows(output))

    def _commit(self, accepted: Sequence[Delivery], remembered: Sequence[str]) -> None:
        """Appends the batch to the journal, and writes a checkpoint when a restart would replay too much."""
        rows = [[d.time_s, d.volume_m3, *d.values] for d in accepted]
        try:
            self._journal_bytes = append_durably(
                self.directory / JOURNAL_FILE, journal_entry(self.ledger, rows, remembered)
            )
        except BaseException:
            # Not acknowledged: the pile and the ledger go back to what the journal holds.
            self._reload()
            raise
        if self._replay_s >= self.replay_budget_s or self._journal_bytes >= JOURNAL_MAX_BYTES:
            self._write_checkpoint()

    def _write_checkpoint(self) -> None:
        # The journal is emptied only after the snapshot's rename: a crash in between leaves entries that
        # the snapshot holds already, which a restart passes over.
        self.pile.save(self.directory / STATE_FILE, self.ledger.to_note())
        _emptied(self.directory / JOURNAL_FILE)
        self._replay_s = 0.0
        self._journal_bytes = 0

    def _reload(self) -> None:
        self.pile, self.ledger = load_state(self.directory / STATE_FILE, self.settings)
        self._settle()

    def _settle(self) -> None:
        """Brings the checkpoint just loaded up to the last batch committed: stacks again the journal's
        batches after it, drops an entry cut short, and cuts the files back to what the ledger recorded."""
        journal = self.directory / JOURNAL_FILE
        entries, length = read_journal(journal)
        self._replay(entries)
        cut_back(journal, length)
        self._journal_bytes = length
        cut_back(self.directory / TAKEN_FILE, self.ledger.taken_bytes)
        cut_back(self.directory / REJECTS_FILE, self.ledger.rejects_bytes)
        if self._ring is not None:
            cut_back(self.directory / OUTPUT_FILE, self.ledger.output_bytes)
        self._taken = read_taken(self.directory / TAKEN_FILE)
        self._output = read_output(self.directory / OUTPUT_FILE)

    def _replay(self, entries: Sequence[Entry]) -> None:
        """Stacks the journal's batches after the checkpoint again, in memory."""
        self._replay_s = 0.0
        for entry in entries:
            # Entries before a crash between a checkpoint and the journal's emptying are in the checkpoint.
            if entry.ledger.line <= self.ledger.line:
                continue
            # The checkpoint may precede the header or the choice of quality columns that the entry records.
            unread = self._reader is None or self._reader.qualities is None
            if unread and entry.ledger.header is not None:
                self._reader = RowReader(
                    entry.ledger.header,
                    self.settings.dialect,
                    self.settings.bulk_density_t_per_m3,
                    entry.ledger.qualities,
                )
            self._stack([Delivery(row[0], row[1], tuple(row[2:])) for row in entry.rows])
            recent = (self.ledger.recent + entry.remembered)[-RECENT_LINES:]
            self.ledger = replace(entry.ledger, recent=recent)
        if isinstance(self.pile, Stockpile):
            self.pile.stacked_volume_m3 = self.ledger.stacked_volume_m3

    # -- reading ----------------------------------------------------------------------------------

    @property
    def quality_names(self) -> tuple[str, ...]:
        """The quality columns read; none before the first lines were."""
        return self._reader_or_header().qualities or ()

    @property
    def full(self) -> bool:
        return self.ledger.full

    def taken(self) -> QualitySeries | None:
        """Every delivery stacked so far, as a series; None before the first."""
        return self._taken

    def output(self) -> RingOutput | None:
        """A ring's slices cut so far; None before the first (and on a straight bed)."""
        return self._output

    def passes(self) -> float:
        """The stacker's passes along its path, or over a ring's ramp."""
        if self._ring is not None:
            return self._ring.crossings(self.ledger.flowing_s)
        assert isinstance(self._plan, TravellingPlan)
        return self.ledger.travel_m / self._plan.pass_length_m(self.settings.bed)


@dataclass(frozen=True)
class BedChemistry:
    """What a live bed holds and has room for, for feed correction (see feed_correction).

    stacked: the mass-weighted mean of each quality over the deliveries stacked;
    recent: the same over the last deliveries, the rest's chemistry where a target does not decide it.
    """

    names: tuple[str, ...]
    stacked_t: float
    stacked: np.ndarray
    remaining_t: float
    recent: np.ndarray


def bed_chemistry(directory: str | Path, recent_deliveries: int = RECENT_DELIVERIES) -> BedChemistry:
    """The chemistry of the live bed in `directory` from its files, without taking its lock: it can be
    read while a tracker runs, as of the tracker's last batch."""
    directory = Path(directory)
    settings = LiveSettings.from_json((directory / SETTINGS_FILE).read_text())
    if settings.continuous:
        raise ValueError(
            f"the bed in {directory} is a ring run continuously: it has no end for whole-bed targets to be met at"
        )
    report = json.loads((directory / STATUS_JSON).read_text())
    # taken.csv may hold rows past the last batch the journal acknowledged (a tracker that died before it
    # committed them); the status is written after the commit and counts only those acknowledged.
    taken = read_taken(directory / TAKEN_FILE, report["deliveries"])
    if taken is None:
        raise ValueError(f"the bed in {directory} holds no delivery yet")
    density = settings.bulk_density_t_per_m3
    volume = taken.volume_m3
    stacked = np.average(taken.values, axis=0, weights=volume)
    recent = np.average(taken.values[-recent_deliveries:], axis=0, weights=volume[-recent_deliveries:])
    remaining_t = 0.0 if report["full"] else report["capacity_t"] - float(volume.sum()) * density
    return BedChemistry(taken.names, float(volume.sum()) * density, stacked, remaining_t, recent)


def bed_correction(directory: str | Path, targets: Sequence[str], components: Sequence[str] = ()) -> list[str]:
    """The feed correction of the live bed in `directory` in words (see feed_correction.correction_lines),
    for targets ("LSF=96+-1") and components ("high:CaO=52,SiO2=4,...")."""
    bed = bed_chemistry(directory)
    return correction_lines(
        list(bed.names),
        bed.stacked_t,
        bed.stacked,
        bed.remaining_t,
        bed.recent,
        [Target.parse(text) for text in targets],
        [Component.parse(text) for text in components],
    )


def acknowledged_state(directory: Path, settings: LiveSettings) -> tuple[Stockpile | RingPile, Ledger]:
    """The pile (or ring) and the ledger as the last batch acknowledged left them: the checkpoint with the
    journal's batches stacked again. Takes no lock and writes nothing, so that it can be read while a
    tracker runs (a checkpoint written meanwhile gives the state of a moment before)."""
    pile, ledger = load_state(directory / STATE_FILE, settings)
    bed = LiveBed(directory, settings, pile, ledger, -1)
    bed._replay(read_journal(directory / JOURNAL_FILE)[0])
    return bed.pile, bed.ledger


def load_state(path: Path, settings: LiveSettings) -> tuple[Stockpile | RingPile, Ledger]:
    """The pile (or ring) a live bed's snapshot holds, and the ledger saved with it."""
    if settings.continuous:
        ring, note = RingPile.load(path, settings.bed)
        return ring, Ledger.from_note(note)
    pile, note = Stockpile.load(path, settings.bed, 0.0)
    ledger = Ledger.from_note(note)
    pile.stacked_volume_m3 = ledger.stacked_volume_m3
    return pile, ledger


def _taken_header(names: Sequence[str]) -> str:
    # Quoted where needed and neutralised: a plant's quality name may hold a comma, a quote or a formula.
    return ",".join(csv_field(name, ",") for name in ("time_s", "volume_m3", *names)) + "\n"


def _quoted(text: str) -> str:
    """Text of a plant's line or a reason, neutralised and always quoted."""
    field = csv_field(text, ",")
    return field if field.startswith('"') else '"' + field + '"'


def _refuse_lost_snapshot(directory: Path) -> None:
    """Refuses to start a bed over the files of one whose snapshot is gone: the deliveries it acknowledged
    would be lost, and a feed replaced since would be taken from its start as if it were the same."""
    for name in (TAKEN_FILE, REJECTS_FILE, OUTPUT_FILE, JOURNAL_FILE):
        path = directory / name
        # A link is refused where the file is written.
        if path.is_symlink() or not path.is_file():
            continue
        with path.open("rb") as file:
            lines = sum(1 for _ in zip(range(2), file))
        if lines > (0 if name == JOURNAL_FILE else 1):
            raise KorvexError(
                f"{directory} holds the record of a live bed ({name}) but not its snapshot {STATE_FILE}: the "
                "deliveries it acknowledged cannot be rebuilt from a feed, which may be another file now; "
                f"restore {STATE_FILE}, or start the bed in a new directory"
            )


def _extended(
    taken: QualitySeries | None, deliveries: Sequence[Delivery], names: Sequence[str]
) -> QualitySeries | None:
    if not deliveries:
        return taken
    time_s = np.array([d.time_s for d in deliveries])
    volume_m3 = np.array([d.volume_m3 for d in deliveries])
    values = np.array([d.values for d in deliveries]).reshape(len(deliveries), len(names))
    if taken is not None:
        time_s = np.concatenate([taken.time_s, time_s])
        volume_m3 = np.concatenate([taken.volume_m3, volume_m3])
        values = np.vstack([taken.values, values])
    return QualitySeries(time_s, volume_m3, values, tuple(names))


def read_taken(path: Path, deliveries: int | None = None) -> QualitySeries | None:
    """The deliveries a live bed has stacked, from its taken.csv (the first `deliveries` of them, those
    its ledger acknowledged, when given); None when there are none yet."""
    with path.open(encoding="utf-8") as file:
        header = [from_text(name) for name in next(csv.reader([file.readline().rstrip("\n")]), [])]
        rows = file.read().splitlines()[:deliveries]
    if not header or not rows:
        return None
    table = np.loadtxt(rows, delimiter=",", ndmin=2)
    return QualitySeries(table[:, 0], table[:, 1], table[:, 2:], tuple(header[2:]))


def _long_line(file: io.BufferedReader, offset: int) -> LongLine | None:
    """The line at `offset`, too long for a batch, known by its length and ends once its line break has
    been written; None before. Read a batch at a time, never whole."""
    file.seek(offset)
    head = file.read(LONG_LINE_KEPT)
    tail = head
    while block := file.read(BATCH_BYTES):
        end = block.find(b"\n")
        if end >= 0:
            tail = (tail + block[: end + 1])[-LONG_LINE_KEPT:]
            return LongLine(file.tell() - len(block) + end + 1 - offset, head, tail)
        tail = (tail + block)[-LONG_LINE_KEPT:]
    return None


def _lock(directory: Path) -> int:
    """Takes the directory's lock, so that two trackers never write one bed; released when the process
    ends, however it ends."""
    if not os.access(directory, os.W_OK):
        raise PermissionError(
            f"{directory} is read-only: a live bed must record what it stacks there; nothing was taken"
        )
    descriptor = open_regular(directory / LOCK_FILE, os.O_RDWR | os.O_CREAT)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(descriptor)
        raise BusyError(f"another tracker is following the bed in {directory}: one tracker follows a bed") from None
    return descriptor


def _padded(reclaimed: Reclaimed, count: int) -> tuple[FloatArray, FloatArray]:
    """The volumes and values of `reclaimed` over `count` slices, those it did not cut empty."""
    extra = count - len(reclaimed)
    volume = np.pad(reclaimed.volume_m3, (0, extra))
    values = np.pad(reclaimed.values, ((0, extra), (0, 0)), constant_values=np.nan)
    return volume, values


def predict(bed: LiveBed, taken: QualitySeries, replicates: int = REPLICATES) -> Prediction:
    """The predicted output of `bed` reclaimed when full (see the module's description).

    The replicates differ only in their quality values, so they are stacked together in one run, one
    set of quality columns each, on a copy of the bed's surface without its material; each replicate's
    output adds its columns to what the bed holds now, slice by slice.
    """
    remaining = 0.0 if bed.full else max(bed.capacity_m3 - bed.ledger.stacked_volume_m3, 0.0)
    now = bed.pile.copy().reclaim()
    names = now.names
    if remaining <= 0:
        outputs = [now.values]
        volume = now.volume_m3
    else:
        rng = np.random.default_rng([bed.settings.seed, bed.ledger.deliveries])
        times, volumes = continuation_schedule(taken, remaining)
        values = np.hstack([bootstrap_values(taken, len(times), rng) for _ in range(replicates)])
        labels = tuple(f"{name} {r}" for r in range(replicates) for name in names)
        rest = [Delivery(float(t), float(v), tuple(row)) for t, v, row in zip(times, volumes, values, strict=True)]
        chunks, _ = bed.chunks_for(rest, bed.ledger.travel_m, bed.ledger.last_time_s, labels)
        surface = bed.pile.surface_copy()
        surface.stack(chunks, progress=False)
        added = surface.reclaim()
        # The layered engine's reclaimer stops where the material it holds ends, so the copy holding the rest
        # of the feed may cut more slices, or fewer, than the bed as it stands: the slices beyond the
        # shorter one's end are empty in it.
        count = max(len(added), len(now))
        common = min(len(added), len(now))
        if not np.array_equal(added.position_m[:common], now.position_m[:common]):
            raise RuntimeError("the copies of the bed cut their slices at different positions")
        now_volume, now_values = _padded(now, count)
        added_volume, added_values = _padded(added, count)
        volume = now_volume + added_volume
        with np.errstate(invalid="ignore", divide="ignore"):
            weight_now = np.where(volume > 0, now_volume / volume, 0.0)[:, np.newaxis]
        outputs = []
        for r in range(replicates):
            part = np.nan_to_num(added_values[:, r * len(names) : (r + 1) * len(names)])
            outputs.append(np.nan_to_num(now_values) * weight_now + part * (1 - weight_now))
    summaries = [mean_std(with_moduli(output, names), volume) for output in outputs]
    low, high = INTERVAL
    figures: dict[str, dict[str, float]] = {}
    for name in summaries[0]:
        row: dict[str, float] = {}
        for figure in ("mean", "std"):
            samples = np.array([summary[name][figure] for summary in summaries if name in summary])
            row[figure] = float(np.median(samples))
            row[f"{figure}_low"], row[f"{figure}_high"] = (float(v) for v in np.percentile(samples, [low, high]))
        figures[name] = row
    method = (
        f"the recent deliveries' rhythm repeated to fill {remaining:,.0f} m³, their quality a circular block "
        f"bootstrap of the last {min(RECENT_DELIVERIES, len(taken))} deliveries in blocks of "
        f"{min(BLOCK_DELIVERIES, len(taken))}; {len(outputs)} replicates, {low:g}-{high:g} % interval"
        if remaining > 0
        else "the bed as it stands: nothing is left to stack"
    )
    return Prediction(
        method, len(outputs), bed.ledger.stacked_volume_m3, remaining, figures, bed.ledger.deliveries
    )


def status(bed: LiveBed, taken: QualitySeries | None, prediction: Prediction | None) -> dict[str, Any]:
    """The status of `bed` now, as a JSON-ready dict, with a prediction made earlier or now."""
    density = bed.settings.bulk_density_t_per_m3
    ledger = bed.ledger
    ring = bed.settings.continuous
    result: dict[str, Any] = {
        "deliveries": ledger.deliveries,
        "rejected": ledger.rejected,
        "last_time_s": ledger.last_time_s,
        "stacked_m3": ledger.stacked_volume_m3,
        "stacked_t": ledger.stacked_volume_m3 * density,
        "capacity_t": None if ring else bed.capacity_m3 * density,
        "fill_fraction": None if ring else ledger.stacked_volume_m3 / bed.capacity_m3,
        "passes": bed.passes(),
        "full": ledger.full,
        "rate_t_per_h": None,
        "time_to_full_h": None,
        "quality": {},
        "prediction": None,
    }
    if ring:
        assert isinstance(bed.pile, RingPile)
        output = bed.output()
        result |= {
            "continuous": True,
            "reclaimed_t": ledger.reclaimed_volume_m3 * density,
            "on_ring_t": bed.pile.volume_m3 * density,
            "slices": ledger.slices,
            "reclaimer_m": ledger.reclaimer_m,
            "output_quality": (
                {} if output is None else mean_std(with_moduli(output.values, output.names), output.volume_m3)
            ),
        }
    if taken is None:
        return result
    rate = feed_rate_m3_per_s(taken, bed.settings.max_gap_s)
    if rate is not None:
        result["rate_t_per_h"] = rate * density * SECONDS_PER_HOUR
        if not ring:
            left = 0.0 if ledger.full else bed.capacity_m3 - ledger.stacked_volume_m3
            result["time_to_full_h"] = left / rate / SECONDS_PER_HOUR
    result["quality"] = quality_so_far(taken)
    if prediction is not None:
        result["prediction"] = {
            "method": prediction.method,
            "replicates": prediction.replicates,
            "policy": bed.prediction_policy.describe(),
            **prediction_age(prediction, ledger.deliveries, ledger.stacked_volume_m3, density),
            "remaining_m3": prediction.remaining_m3,
            "quality": prediction.figures,
        }
    return result
