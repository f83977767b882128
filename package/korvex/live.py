"""A live bed: a bed followed delivery by delivery while it is built, that survives any restart.

A LiveBed lives in a state directory:

    bed.json      the settings it was started with (bed, stacker, plan, density, dialect, seed)
    state.kvx     the pile's snapshot, with the ledger as its note (see ledger.py)
    taken.csv     every delivery stacked: time, volume, quality values
    rejects.csv   every line refused, with its line number and reason
    status.json, status.csv   the status after the last batch (see live_status.py)

Each batch of new lines is read, checked, stacked as one table, recorded in
taken.csv and rejects.csv (flushed to the disk), and then the snapshot with
the ledger replaces the previous one by one atomic rename. A process killed
at any moment restarts from the last snapshot, cuts the two files back to what
its ledger recorded and takes the same lines again: the pile comes out the
same to the bit, whatever the moments of the kills.

Deliveries are placed as the plan lays them: the stacker travels along its
path in step with the volume delivered (a layer count spread over the bed's
capacity) or with time (a stacker speed; a gap between deliveries longer than
max_gap_s is a stop of the feed, during which it waits).
"""

from __future__ import annotations

import fcntl
import json
import os
from collections.abc import Iterable, Sequence
from dataclasses import asdict, dataclass, field, replace
from pathlib import Path
from typing import Any

import numpy as np

from . import validation
from .bed import Bed
from .capacity import bed_capacity
from .chunks import ChunkTable
from .deliveries import MAX_LINE_BYTES, Delivery, Dialect, RowReader, complete_lines, row_hash
from .equipment import Stacker
from .ledger import Ledger, cut_back
from .live_status import (
    BLOCK_DELIVERIES,
    INTERVAL,
    PREDICT_EVERY,
    RECENT_DELIVERIES,
    REPLICATES,
    STATUS_JSON,
    Prediction,
    bootstrap_values,
    continuation_schedule,
    feed_rate_m3_per_s,
    mean_std,
    quality_so_far,
    with_moduli,
    write_status,
)
from .plans import TravellingPlan
from .results import Reclaimed
from .series import QualitySeries
from .stockpile import Stockpile
from .units import SECONDS_PER_HOUR, check_bulk_density
from .validation import FloatArray

SETTINGS_FILE = "bed.json"
STATE_FILE = "state.kvx"
TAKEN_FILE = "taken.csv"
REJECTS_FILE = "rejects.csv"
LOCK_FILE = "lock"
# Most bytes of new lines taken in one batch: a long backlog is taken in several.
BATCH_BYTES = 4 * 1024 * 1024


@dataclass(frozen=True)
class LiveSettings:
    """How a live bed is built.

    plan, plan_settings: a travelling plan of PLANS (chevron, windrow, strata,
        circular) and its settings (layers, ...), with the stacker's speed,
        dwell and tail.
    capacity_t: what the bed takes before it is full; by default its capacity
        at the engine's angle of repose (capacity.bed_capacity).
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
        if self.bed.engine == "detailed":
            raise ValueError(
                "a live bed runs on the fast or layered engine: the detailed engine's piles cannot be saved"
            )
        self.stacking_plan()

    def stacking_plan(self) -> TravellingPlan:
        plan = self.stacker.plan(self.plan, **self.plan_settings)
        if not isinstance(plan, TravellingPlan):
            raise ValueError(
                f"a live bed follows a travelling plan (chevron, windrow, strata, circular), not {self.plan!r}"
            )
        return plan

    def capacity_m3(self) -> float:
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
                "bed": Bed(**data["bed"]),
                "stacker": Stacker(**data["stacker"]),
                "dialect": Dialect(**dialect),
            }
        )


@dataclass(frozen=True)
class Batch:
    """What one batch did: deliveries stacked and lines refused (line number and reason)."""

    stacked: int
    rejected: list[tuple[int, str]]


def _append_durably(path: Path, text: str) -> int:
    """Appends `text` and flushes it to the disk; returns the file's new length."""
    with path.open("a", encoding="utf-8", newline="") as file:
        file.write(text)
        file.flush()
        os.fsync(file.fileno())
        return file.tell()


def _csv_field(text: str) -> str:
    return '"' + text.replace('"', '""') + '"'


class LiveBed:
    """A bed followed delivery by delivery in a state directory. Create one with start or open."""

    def __init__(self, directory: Path, settings: LiveSettings, pile: Stockpile, ledger: Ledger, lock: int) -> None:
        self.directory = directory
        self.settings = settings
        self.pile = pile
        self.ledger = ledger
        self._lock = lock
        self._plan = settings.stacking_plan()
        self.capacity_m3 = settings.capacity_m3()
        # Replicate continuations of the feed behind the predicted output in each status; 0 for none.
        self.status_replicates = REPLICATES
        self._prediction: Prediction | None = None
        self._reader: RowReader | None = None
        header = ledger.header if ledger.header is not None else settings.header
        if header is not None:
            self._reader = RowReader(header, settings.dialect, settings.bulk_density_t_per_m3)

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
            # Fixed once: the capacity at the engine's angle of repose takes a simulation to measure.
            settings = replace(settings, capacity_t=settings.capacity_m3() * settings.bulk_density_t_per_m3)
            names = settings.dialect.qualities
            if settings.header is not None:
                names = RowReader(settings.header, settings.dialect, settings.bulk_density_t_per_m3).qualities
            pile = Stockpile(settings.bed, seed=settings.seed)
            ledger = Ledger()
            bed = cls(directory, settings, pile, ledger, lock)
            for name in (SETTINGS_FILE, TAKEN_FILE, REJECTS_FILE):
                (directory / name).write_bytes(b"")
            _append_durably(directory / SETTINGS_FILE, settings.to_json())
            if names:
                bed.ledger.taken_bytes = _append_durably(directory / TAKEN_FILE, _taken_header(names))
            bed.ledger.rejects_bytes = _append_durably(directory / REJECTS_FILE, "line,reason,text\n")
            bed._save()
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
            pile, note = Stockpile.load(directory / STATE_FILE, settings.bed, 0.0)
            ledger = Ledger.from_note(note)
            pile.stacked_volume_m3 = ledger.stacked_volume_m3
            # Temporary files of saves cut short by a crash; the lock keeps any other writer away.
            for stale in directory.glob(f"{STATE_FILE}.tmp-*"):
                stale.unlink()
            cut_back(directory / TAKEN_FILE, ledger.taken_bytes)
            cut_back(directory / REJECTS_FILE, ledger.rejects_bytes)
            return cls(directory, settings, pile, ledger, lock)
        except BaseException:
            os.close(lock)
            raise

    @classmethod
    def start_or_open(cls, directory: str | Path, settings: LiveSettings) -> LiveBed:
        """Resume the bed in `directory`, or start one there with `settings`."""
        if (Path(directory) / STATE_FILE).exists():
            return cls.open(directory)
        return cls.start(directory, settings)

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
                if not header.endswith(b"\n"):
                    return 0
                self._adopt_header(header)
            while True:
                file.seek(self.ledger.offset)
                data = file.read(BATCH_BYTES)
                lines = complete_lines(data)
                if not lines:
                    if len(data) >= BATCH_BYTES:
                        # One line longer than a whole batch: refuse it and go past it.
                        end = data.find(b"\n")
                        if end < 0:
                            return read
                        lines = [data[: end + 1]]
                    else:
                        return read
                self._take(lines, str(path))
                read += len(lines)

    def take_lines(self, lines: Iterable[bytes | str], source: str = "<stdin>") -> Batch:
        """Takes lines from standard input or any stream; the first ever is the header unless the
        settings name one. A line already taken (sent again after a restart) is skipped."""
        encoded = [line.encode() if isinstance(line, str) else line for line in lines]
        encoded = [line if line.endswith(b"\n") else line + b"\n" for line in encoded]
        if self._reader is None and encoded:
            self._adopt_header(encoded.pop(0), advance=False)
        header = self.ledger.header
        fresh = [line for line in encoded if not self.ledger.seen(line) and line.decode(errors="replace") != header]
        return self._take(fresh, source, remember=True)

    def _adopt_header(self, header: bytes, *, advance: bool = True) -> None:
        text = header.decode("utf-8", errors="strict")
        self._reader = RowReader(text, self.settings.dialect, self.settings.bulk_density_t_per_m3)
        self.ledger.header = text
        if advance:
            self.ledger.offset = len(header)
            self.ledger.line = 2
        if self.ledger.taken_bytes == 0:
            header = _taken_header(self._reader.qualities)
            self.ledger.taken_bytes = _append_durably(self.directory / TAKEN_FILE, header)

    def _reader_or_header(self) -> RowReader:
        if self._reader is None:
            raise ValueError("no header line has been read yet: the first line must name the columns")
        return self._reader

    def _take(self, lines: Sequence[bytes], source: str, *, remember: bool = False) -> Batch:
        if not lines:
            return Batch(0, [])
        reader = self._reader_or_header()
        ledger = self.ledger
        accepted: list[Delivery] = []
        rejected: list[tuple[int, str, bytes]] = []
        stacked = ledger.stacked_volume_m3
        last_time = ledger.last_time_s
        full = ledger.full
        line_number = ledger.line
        for line in lines:
            reason = None
            delivery = None
            if full:
                reason = "the bed is full and takes no more"
            else:
                try:
                    delivery = reader.read(line, line_number, source)
                except ValueError as error:
                    reason = str(error)
            if delivery is not None:
                if last_time is not None and delivery.time_s < last_time:
                    reason = f"its time {delivery.time_s:g} s is earlier than the last stacked, {last_time:g} s"
                elif stacked + delivery.volume_m3 > self.capacity_m3 * (1 + 1e-9):
                    full = True
                    reason = (
                        f"the bed is full: {delivery.volume_m3:g} m³ more would make "
                        f"{stacked + delivery.volume_m3:g} m³, "
                        f"over its capacity of {self.capacity_m3:g} m³"
                    )
                else:
                    accepted.append(delivery)
                    stacked += delivery.volume_m3
                    last_time = delivery.time_s
            if reason is not None:
                rejected.append((line_number, reason, line))
            line_number += 1
        try:
            travel = self._stack(accepted)
            self._record(accepted, rejected)
        except BaseException:
            # The pile may hold part of the batch: go back to the last snapshot, which does not.
            self._reload()
            raise
        ledger.travel_m = travel
        ledger.stacked_volume_m3 = stacked
        ledger.last_time_s = last_time
        ledger.full = full
        ledger.deliveries += len(accepted)
        ledger.rejected += len(rejected)
        ledger.line = line_number
        if remember:
            for line in lines:
                ledger.remember(line)
        else:
            ledger.offset += sum(len(line) for line in lines)
            ledger.last_line_hash = row_hash(lines[-1])
            ledger.last_line_bytes = len(lines[-1])
        self._save()
        self.refresh_status()
        return Batch(len(accepted), [(number, reason) for number, reason, _ in rejected])

    def refresh_status(self, *, predict_now: bool = False) -> dict[str, Any]:
        """Computes the status (see live_status) and writes status.json and status.csv. The predicted
        output is made again when asked, or once the bed has grown by PREDICT_EVERY of its capacity or
        become full since the last one."""
        taken = self.taken()
        last = self._prediction
        stale = (
            last is None
            or self.ledger.stacked_volume_m3 - last.stacked_m3 >= PREDICT_EVERY * self.capacity_m3
            or (self.full and last.remaining_m3 > 0)
        )
        if taken is not None and self.status_replicates > 0 and (stale or predict_now):
            self._prediction = predict(self, taken, self.status_replicates)
        report = status(self, taken, self._prediction)
        write_status(self.directory, report)
        return report

    def _stack(self, deliveries: Sequence[Delivery]) -> float:
        """Stacks the deliveries where the plan lays them; returns the stacker's travel after them."""
        if not deliveries:
            return self.ledger.travel_m
        chunks, travel = self.chunks_for(deliveries, self.ledger.travel_m, self.ledger.last_time_s)
        self.pile.stack(chunks, progress=False)
        return travel

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

    def _record(self, accepted: Sequence[Delivery], rejected: Sequence[tuple[int, str, bytes]]) -> None:
        if accepted:
            rows = "".join(
                ",".join(repr(value) for value in (d.time_s, d.volume_m3, *d.values)) + "\n" for d in accepted
            )
            self.ledger.taken_bytes = _append_durably(self.directory / TAKEN_FILE, rows)
        if rejected:
            rows = "".join(
                f"{number},{_csv_field(reason)},{_csv_field(line.decode('utf-8', errors='replace').rstrip())}\n"
                for number, reason, line in rejected
            )
            self.ledger.rejects_bytes = _append_durably(self.directory / REJECTS_FILE, rows)

    def _save(self) -> None:
        self.pile.save(self.directory / STATE_FILE, self.ledger.to_note())

    def _reload(self) -> None:
        pile, note = Stockpile.load(self.directory / STATE_FILE, self.settings.bed, 0.0)
        self.ledger = Ledger.from_note(note)
        pile.stacked_volume_m3 = self.ledger.stacked_volume_m3
        self.pile = pile

    # -- reading ----------------------------------------------------------------------------------

    @property
    def quality_names(self) -> tuple[str, ...]:
        return self._reader_or_header().qualities

    @property
    def full(self) -> bool:
        return self.ledger.full

    def taken(self) -> QualitySeries | None:
        """Every delivery stacked so far, as a series; None before the first."""
        return read_taken(self.directory / TAKEN_FILE)

    def pass_length_m(self) -> float:
        return self._plan.pass_length_m(self.settings.bed)


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
    report = json.loads((directory / STATUS_JSON).read_text())
    taken = read_taken(directory / TAKEN_FILE)
    if taken is None:
        raise ValueError(f"the bed in {directory} holds no delivery yet")
    density = settings.bulk_density_t_per_m3
    volume = taken.volume_m3
    stacked = np.average(taken.values, axis=0, weights=volume)
    recent = np.average(taken.values[-recent_deliveries:], axis=0, weights=volume[-recent_deliveries:])
    remaining_t = 0.0 if report["full"] else report["capacity_t"] - float(volume.sum()) * density
    return BedChemistry(taken.names, float(volume.sum()) * density, stacked, remaining_t, recent)


def _taken_header(names: Sequence[str]) -> str:
    return ",".join(["time_s", "volume_m3", *names]) + "\n"


def read_taken(path: Path) -> QualitySeries | None:
    """The deliveries a live bed has stacked, from its taken.csv; None when there are none yet."""
    with path.open(encoding="utf-8") as file:
        header = file.readline().rstrip("\n").split(",")
        table = np.loadtxt(file, delimiter=",", ndmin=2) if header != [""] else np.empty((0, 0))
    if table.size == 0:
        return None
    return QualitySeries(table[:, 0], table[:, 1], table[:, 2:], tuple(header[2:]))


def _lock(directory: Path) -> int:
    """Takes the directory's lock, so that two trackers never write one bed; released when the process
    ends, however it ends."""
    if not os.access(directory, os.W_OK):
        raise PermissionError(
            f"{directory} is read-only: a live bed must record what it stacks there; nothing was taken"
        )
    descriptor = os.open(directory / LOCK_FILE, os.O_RDWR | os.O_CREAT, 0o644)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(descriptor)
        raise RuntimeError(f"another tracker is following the bed in {directory}") from None
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
    return Prediction(method, len(outputs), bed.ledger.stacked_volume_m3, remaining, figures)


def status(bed: LiveBed, taken: QualitySeries | None, prediction: Prediction | None) -> dict[str, Any]:
    """The status of `bed` now, as a JSON-ready dict, with a prediction made earlier or now."""
    density = bed.settings.bulk_density_t_per_m3
    ledger = bed.ledger
    result: dict[str, Any] = {
        "deliveries": ledger.deliveries,
        "rejected": ledger.rejected,
        "last_time_s": ledger.last_time_s,
        "stacked_m3": ledger.stacked_volume_m3,
        "stacked_t": ledger.stacked_volume_m3 * density,
        "capacity_t": bed.capacity_m3 * density,
        "fill_fraction": ledger.stacked_volume_m3 / bed.capacity_m3,
        "passes": ledger.travel_m / bed.pass_length_m(),
        "full": ledger.full,
        "rate_t_per_h": None,
        "time_to_full_h": None,
        "quality": {},
        "prediction": None,
    }
    if taken is None:
        return result
    rate = feed_rate_m3_per_s(taken, bed.settings.max_gap_s)
    if rate is not None:
        result["rate_t_per_h"] = rate * density * SECONDS_PER_HOUR
        left = 0.0 if ledger.full else bed.capacity_m3 - ledger.stacked_volume_m3
        result["time_to_full_h"] = left / rate / SECONDS_PER_HOUR
    result["quality"] = quality_so_far(taken)
    if prediction is not None:
        result["prediction"] = {
            "method": prediction.method,
            "replicates": prediction.replicates,
            "made_at_stacked_t": prediction.stacked_m3 * density,
            "remaining_m3": prediction.remaining_m3,
            "quality": prediction.figures,
        }
    return result
