"""The ledger of a live bed: what it has taken from its deliveries, saved in one file with the pile.

The ledger travels with every entry of the journal and as the note of each
checkpoint's snapshot, so that the pile and the record of what made it are
always from the same moment: after a crash a restart builds both as the last
batch acknowledged left them and goes on from the ledger's offset, so that no
delivery is skipped and none is stacked twice.

A deliveries file is recognised by content, not by name: its header line and
the hash of the last line taken, which must still stand just before
the offset. A file rewritten or replaced by another is refused rather than
read from the wrong place. Lines from standard input have no offset: the
hashes of the last lines taken let a line sent again after a restart be
skipped.

The files beside the snapshot that grow with each batch (the deliveries
taken, the rejects) are flushed before the batch is committed and cut back
on a restart to the lengths the ledger recorded, so they too agree with the pile.

A batch is committed by appending one entry to the journal: the ledger after
it and the deliveries it stacked, checksummed and flushed. The snapshot, whose
cost grows with the bed, is written only now and then as a checkpoint, after
which the journal starts empty. The engines are deterministic given the pile's
state, so a restart that loads the checkpoint and stacks the journal's
deliveries again, batch by batch, builds the pile the tracker held to the bit.
An entry cut short by a crash during its append is the only one that can fail
its checksum with nothing after it: it was never acknowledged and is dropped.
"""

from __future__ import annotations

import errno
import hashlib
import json
import os
import stat
from collections.abc import Sequence
from dataclasses import asdict, dataclass, field, fields
from pathlib import Path

from .deliveries import row_hash
from .errors import KorvexError

LEDGER_VERSION = 1
# Lines from standard input remembered, to recognise one sent again after a restart.
RECENT_LINES = 4096


@dataclass
class Ledger:
    """What a live bed has taken so far.

    offset: bytes of the deliveries file taken (through the last whole line read).
    line: the file's line number of the next line (the header is line 1).
    header, last_line_hash, last_line_bytes: the header line and what the file held where it was read.
    last_time_s: the time of the last delivery stacked; an earlier one is refused.
    travel_m: how far the stacker has travelled along its path.
    stacked_volume_m3, deliveries, rejected: what was stacked and refused.
    full: the bed has refused a delivery for want of room and takes no more.
    taken_bytes, rejects_bytes: lengths of the files of deliveries taken and refused.
    recent: hashes of the last lines taken from standard input.
    qualities: the quality columns chosen on the first lines read, when the settings name none.
    flowing_s, reclaimer_m: a ring's flowing time of the feed, and where its reclaimer's foot stands.
    reclaimed_volume_m3, slices, output_bytes: what a ring's reclaimer has cut, and the length of the
        file of its slices.
    """

    offset: int = 0
    line: int = 1
    header: str | None = None
    last_line_hash: str | None = None
    last_line_bytes: int = 0
    last_time_s: float | None = None
    travel_m: float = 0.0
    stacked_volume_m3: float = 0.0
    deliveries: int = 0
    rejected: int = 0
    full: bool = False
    taken_bytes: int = 0
    rejects_bytes: int = 0
    recent: list[str] = field(default_factory=list)
    flowing_s: float = 0.0
    reclaimer_m: float = 0.0
    reclaimed_volume_m3: float = 0.0
    slices: int = 0
    output_bytes: int = 0
    qualities: list[str] | None = None

    def to_note(self) -> bytes:
        """The ledger as the bytes kept in the snapshot's note (JSON; floats written to round-trip)."""
        return json.dumps({"version": LEDGER_VERSION, **asdict(self)}, sort_keys=True).encode()

    @classmethod
    def from_note(cls, note: bytes) -> Ledger:
        data = json.loads(note.decode())
        version = data.pop("version", None)
        if version != LEDGER_VERSION:
            raise ValueError(f"the ledger is of version {version}, not {LEDGER_VERSION}: not written by this Korvex")
        return cls(**data)

    def remember(self, line: bytes) -> None:
        """Notes a line from standard input as taken."""
        self.recent.append(row_hash(line))
        del self.recent[:-RECENT_LINES]

    def seen(self, line: bytes) -> bool:
        return row_hash(line) in self.recent

    def check_file(self, path: Path) -> None:
        """Raises ValueError unless `path` still holds, up to the offset, what this ledger took from it."""
        if self.header is None:
            return
        with path.open("rb") as file:
            header = file.readline()
            size = os.fstat(file.fileno()).st_size
            if header.decode("utf-8", errors="replace") != self.header:
                raise ValueError(
                    f"{path}: its header is not the one of the file this bed followed; a new file of "
                    "deliveries needs a new state directory"
                )
            if size < self.offset:
                raise ValueError(
                    f"{path}: {size:,} bytes, fewer than the {self.offset:,} this bed has taken from it: "
                    "the file was cut back or replaced"
                )
            if self.last_line_hash is not None:
                file.seek(self.offset - self.last_line_bytes)
                if row_hash(file.read(self.last_line_bytes)) != self.last_line_hash:
                    raise ValueError(
                        f"{path}: line {self.line - 1} is not the one this bed took from it: the file was "
                        "rewritten; a new file of deliveries needs a new state directory"
                    )


def open_regular(path: Path, flags: int) -> int:
    """A descriptor of `path`, a file of a bed's directory, opened to write: a link or anything but a regular
    file is refused, since a link planted there would have the tracker write outside its directory."""
    try:
        kind = os.lstat(path).st_mode
    except FileNotFoundError:
        kind = stat.S_IFREG
    if stat.S_ISLNK(kind) or not stat.S_ISREG(kind):
        what = "a symbolic link" if stat.S_ISLNK(kind) else "not a regular file"
        raise KorvexError(
            f"{path} is {what}: a live bed writes only regular files in its own directory; remove it and run again"
        )
    try:
        return os.open(path, flags | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644)
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise KorvexError(
                f"{path} is a symbolic link: a live bed writes only regular files in its own directory; "
                "remove it and run again"
            ) from None
        raise


def append_durably(path: Path, data: bytes) -> int:
    """Appends `data` to a regular file of the bed's directory and flushes it to the disk; returns the
    file's new length."""
    descriptor = open_regular(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(descriptor, view) :]
        os.fsync(descriptor)
        return os.lseek(descriptor, 0, os.SEEK_END)
    finally:
        os.close(descriptor)


def cut_back(path: Path, length: int) -> None:
    """Cuts a file that grows with each batch back to the length the ledger recorded (a batch written
    before a crash but never recorded); creates it empty when missing."""
    descriptor = open_regular(path, os.O_WRONLY | os.O_CREAT)
    try:
        size = os.fstat(descriptor).st_size
        if size < length:
            raise ValueError(f"{path} holds {size:,} bytes, fewer than the {length:,} recorded: it was cut or replaced")
        if size > length:
            os.ftruncate(descriptor, length)
            os.fsync(descriptor)
    finally:
        os.close(descriptor)


@dataclass(frozen=True)
class Entry:
    """One batch committed: the ledger after it (without the hashes of recent lines), the deliveries it
    stacked as rows of time, volume and quality values, and the hashes of the lines from standard input
    it took."""

    ledger: Ledger
    rows: list[list[float]]
    remembered: list[str]


def _checksum(payload: bytes) -> bytes:
    return hashlib.blake2b(payload, digest_size=8).hexdigest().encode()


def journal_entry(ledger: Ledger, rows: Sequence[Sequence[float]], remembered: Sequence[str]) -> bytes:
    """An entry of the journal as one line: its checksum, a space, and the entry as JSON (floats written to
    round-trip, so that the deliveries are stacked again exactly)."""
    data = {item.name: getattr(ledger, item.name) for item in fields(ledger) if item.name != "recent"}
    payload = json.dumps(
        {"ledger": data, "rows": [list(row) for row in rows], "remembered": list(remembered)},
        sort_keys=True,
        separators=(",", ":"),
    ).encode()
    return _checksum(payload) + b" " + payload + b"\n"


def read_journal(path: Path) -> tuple[list[Entry], int]:
    """The entries of a journal, and the length of the file they fill: an entry cut short by a crash
    during its append (the last one, incomplete or failing its checksum) is left out. A damaged entry
    with others after it was acknowledged once and is lost: refused as corrupt."""
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        return [], 0
    entries: list[Entry] = []
    start = 0
    while start < len(data):
        end = data.find(b"\n", start)
        if end < 0:
            break
        checksum, _, payload = data[start:end].partition(b" ")
        if checksum != _checksum(payload):
            if end + 1 == len(data):
                break
            raise KorvexError(
                f"{path} is corrupt at byte {start:,}: an entry acknowledged before fails its checksum; "
                "the bed cannot be rebuilt from it"
            )
        content = json.loads(payload)
        entries.append(Entry(Ledger(**content["ledger"]), content["rows"], content["remembered"]))
        start = end + 1
    return entries, start
