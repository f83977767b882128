"""The ledger of a live bed: what it has taken from its deliveries, saved in one file with the pile.

The ledger travels as the note of the pile's snapshot, so that the pile and
the record of what made it are written by one atomic rename: after a crash
both are from the same moment. A restart loads them and goes on from the
ledger's offset, so that no delivery is skipped and none is stacked twice.

A deliveries file is recognised by content, not by name: its header line and
the hash of the last line taken, which must still stand just before
the offset. A file rewritten or replaced by another is refused rather than
read from the wrong place. Lines from standard input have no offset: the
hashes of the last lines taken let a line sent again after a restart be
skipped.

The files beside the snapshot that grow with each batch (the deliveries
taken, the rejects) are flushed before the snapshot is written and cut back
on a restart to the lengths the ledger recorded, so they too agree with the pile.
"""

from __future__ import annotations

import json
import os
from dataclasses import asdict, dataclass, field
from pathlib import Path

from .deliveries import row_hash

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


def cut_back(path: Path, length: int) -> None:
    """Cuts a file that grows with each batch back to the length the ledger recorded (a batch written
    before a crash but never recorded); creates it empty when missing."""
    with path.open("ab") as file:
        if file.tell() < length:
            raise ValueError(
                f"{path} holds {file.tell():,} bytes, fewer than the {length:,} recorded: it was cut or replaced"
            )
        file.truncate(length)
        file.flush()
        os.fsync(file.fileno())
