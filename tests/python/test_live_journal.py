"""A live bed's journal and checkpoints, and what it refuses to write: a restart replays the batches the journal
acknowledged to the bit, drops an append cut short and refuses a damaged record; a bed whose snapshot is lost is
not rebuilt from a feed; no file is written through a link; its CSV files are neutralised; its options bounded."""

import csv

import pytest
from test_live_bed import HEADER, KINDS, assert_same, rows, start, state_of

from korvex.cli import main
from korvex.errors import KorvexError
from korvex.live import LiveBed, acknowledged_state, load_state
from korvex.live_report import live_report

BATCHES = (0, 12, 25, 40)


def taken_in_batches(bed, feed, lines, batches=BATCHES):
    """Takes the lines of the feed in batches ending after each count of `batches` and at the end."""
    for end in (*batches[1:], len(lines) - 1):
        feed.write_text("".join(lines[: end + 1]))
        bed.take_file(feed)


def whole_bed(tmp_path, kind, lines):
    feed = tmp_path / "whole.csv"
    with start(tmp_path, "whole", **KINDS[kind]) as whole:
        taken_in_batches(whole, feed, lines)
        whole.checkpoint()
        return state_of(whole)


# What a crash may leave in the journal: nothing amiss; its last entry cut short during the append (at two
# places); or entries that the checkpoint already holds, when it came between the snapshot's rename and the
# journal's emptying.
DAMAGES = ["none", "torn-early", "torn-late", "stale"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("damage", DAMAGES)
def test_a_restart_replays_the_journal_to_the_bit(tmp_path, kind, damage):
    lines = [HEADER, *rows(60)]
    expected = whole_bed(tmp_path, kind, lines)
    feed = tmp_path / "feed.csv"
    state = tmp_path / "state"
    journal = state / "journal.kvj"
    with start(tmp_path, **KINDS[kind]) as bed:
        bed.replay_budget_s = 60.0
        taken_in_batches(bed, feed, lines[:41])
        entries = journal.read_bytes().splitlines(keepends=True)
        assert len(entries) == 3
        if damage == "stale":
            bed.checkpoint()
            assert journal.read_bytes() == b""
            journal.write_bytes(b"".join(entries))
    acknowledged = {"none": 40, "torn-early": 25, "torn-late": 25, "stale": 40}[damage]
    if damage.startswith("torn"):
        last = entries[-1]
        journal.write_bytes(b"".join(entries[:-1]) + last[: 10 if damage == "torn-early" else len(last) - 2])
    with LiveBed.open(state) as bed:
        bed.status_replicates = 0
        assert bed.ledger.deliveries == acknowledged
        assert len(bed.taken()) == acknowledged
        taken_in_batches(bed, feed, lines, (0, 40))
        bed.checkpoint()
        assert_same(state_of(bed), expected)
    assert journal.read_bytes() == b""
    names = ("state.kvx", "taken.csv", "rejects.csv") + (("output.csv",) if kind == "ring" else ())
    for name in names:
        assert (state / name).read_bytes() == (tmp_path / "whole" / name).read_bytes(), name


def test_a_snapshot_is_written_only_as_a_checkpoint(tmp_path):
    lines = [HEADER, *rows(40)]
    feed = tmp_path / "feed.csv"
    snapshot = tmp_path / "state" / "state.kvx"
    with start(tmp_path) as bed:
        bed.replay_budget_s = 60.0
        first = snapshot.read_bytes()
        taken_in_batches(bed, feed, lines, (0, 10, 20, 30))
        assert snapshot.read_bytes() == first
        assert len((tmp_path / "state" / "journal.kvj").read_bytes().splitlines()) == 4
        bed.replay_budget_s = 0.0
        feed.write_text("".join(lines) + "".join(rows(1, start=40)))
        bed.take_file(feed)
        assert snapshot.read_bytes() != first
        assert (tmp_path / "state" / "journal.kvj").read_bytes() == b""


@pytest.mark.parametrize("kind", KINDS)
def test_a_reader_without_the_lock_sees_what_the_journal_acknowledged(tmp_path, kind):
    with start(tmp_path, **KINDS[kind]) as bed:
        bed.replay_budget_s = 60.0
        taken_in_batches(bed, tmp_path / "feed.csv", [HEADER, *rows(30)], (0, 10, 20))
        pile, ledger = acknowledged_state(tmp_path / "state", bed.settings)
        assert ledger == bed.ledger
        assert pile.heights().heights_m.tobytes() == bed.pile.heights().heights_m.tobytes()
        checkpoint, _ = load_state(tmp_path / "state" / "state.kvx", bed.settings)
        assert checkpoint.heights().heights_m.tobytes() != bed.pile.heights().heights_m.tobytes()


def test_a_journal_damaged_before_its_end_is_refused(tmp_path):
    lines = [HEADER, *rows(30)]
    with start(tmp_path) as bed:
        bed.replay_budget_s = 60.0
        taken_in_batches(bed, tmp_path / "feed.csv", lines, (0, 10, 20))
    journal = tmp_path / "state" / "journal.kvj"
    data = bytearray(journal.read_bytes())
    data[40] ^= 1
    journal.write_bytes(bytes(data))
    with pytest.raises(KorvexError, match="corrupt at byte 0"):
        LiveBed.open(tmp_path / "state")


def run_options(tmp_path, feed):
    return ["track", "run", str(tmp_path / "state"), "--feed", str(feed), "--sep", ";", "--decimal", ",",
            "--bulk-density-t-per-m3", "1.5", "--length-m", "60", "--depth-m", "20", "--particles-per-m3", "8",
            "--layers", "30", "--replicates", "0", "--quiet"]  # fmt: skip


def refused(capsys, argv, *words):
    """Runs the command line and checks that it exits 2 with one line holding `words`."""
    with pytest.raises(SystemExit) as raised:
        main(argv)
    error = capsys.readouterr().err
    assert raised.value.code == 2, error
    assert error.count("\n") == 1 and "Traceback" not in error, error
    for word in words:
        assert word in error, error


@pytest.mark.parametrize("lost", ["taken", "rejects-only"])
def test_a_bed_whose_snapshot_is_lost_is_not_rebuilt_from_another_feed(tmp_path, capsys, lost):
    feed = tmp_path / "feed.csv"
    feed.write_text(HEADER + ("".join(rows(30)) if lost == "taken" else "broken;line\n"))
    assert main(run_options(tmp_path, feed)) == 0
    (tmp_path / "state" / "state.kvx").unlink()
    taken = (tmp_path / "state" / "taken.csv").read_bytes()
    feed.write_text(HEADER + "".join(rows(5, seed=9, start=100)))
    refused(capsys, run_options(tmp_path, feed), "state.kvx", "not its snapshot")
    assert (tmp_path / "state" / "taken.csv").read_bytes() == taken


# Files a bed writes, and whether the link is planted before it starts or between two runs.
LINKED = [("start", "bed.json"), ("start", "taken.csv"), ("start", "rejects.csv"), ("start", "journal.kvj"),
          ("start", "lock"), ("open", "taken.csv"), ("open", "journal.kvj"), ("open", ".status.csv.tmp")]  # fmt: skip


@pytest.mark.parametrize(("stage", "name"), LINKED)
def test_no_file_is_written_through_a_link(tmp_path, capsys, stage, name):
    feed = tmp_path / "feed.csv"
    feed.write_text(HEADER + "".join(rows(10)))
    victim = tmp_path / "victim.txt"
    victim.write_text("precious\n")
    state = tmp_path / "state"
    if stage == "open":
        assert main(run_options(tmp_path, feed)) == 0
        with feed.open("a") as file:
            file.write("".join(rows(5, start=10)))
        if (state / name).exists():
            (state / name).unlink()
    else:
        state.mkdir()
    (state / name).symlink_to(victim)
    refused(capsys, run_options(tmp_path, feed), name, "symbolic link")
    assert victim.read_text() == "precious\n"


def test_the_beds_csv_files_are_neutralised(tmp_path):
    feed = tmp_path / "feed.csv"
    names = ["a,b", "=HYPERLINK(1)", "+SUM(2)"]
    feed.write_text(f"timestamp;tonnes;{';'.join(names)}\n0;30;1;2;3\n=600;30;1;2;3\n1200;30;1;2;3\n")
    with start(tmp_path) as bed:
        bed.take_file(feed)
    state = tmp_path / "state"
    with (state / "status.csv").open(newline="") as file:
        status = list(csv.reader(file))
    assert all(len(row) == 3 for row in status), status
    assert {row[1] for row in status if row[0] == "mean"} == {"a,b", "'=HYPERLINK(1)", "'+SUM(2)"}
    with (state / "taken.csv").open(newline="") as file:
        assert next(csv.reader(file)) == ["time_s", "volume_m3", "a,b", "'=HYPERLINK(1)", "'+SUM(2)"]
    with (state / "rejects.csv").open(newline="") as file:
        assert [row[2] for row in csv.reader(file)][1:] == ["'=600;30;1;2;3"]
    with LiveBed.open(state) as bed:
        assert bed.taken().names == tuple(names)
    # The page shows the plant's line as it was.
    html = live_report(state, tmp_path / "page.html").read_text()
    assert "<td>=600;30;1;2;3</td>" in html and "<td>&#39;=600" not in html


@pytest.mark.parametrize(
    ("option", "value", "shown"),
    [("--poll-s", "inf", "--poll-s must be finite, got inf s"),
     ("--poll-s", "1e308", "--poll-s must lie in [0, 86400] s, got 1e+308 s"),
     ("--idle-exit-s", "nan", "--idle-exit-s must be finite, got nan s"),
     ("--stream-footprint-m", "1e-320", "stream_footprint_m must be 0 or at least 0.01 m, got 1e-320 m"),
     ("--replicates", "-1", "--replicates must be a whole number of at least 0 and at most 100, got -1"),
     ("--capacity-t", "1e308", "what the bed would hold at a slope of 89°, got 1e+308 t")],
)  # fmt: skip
def test_a_numeric_option_out_of_bounds_is_refused_in_one_line(tmp_path, capsys, option, value, shown):
    feed = tmp_path / "feed.csv"
    feed.write_text(HEADER + "".join(rows(3)))
    refused(capsys, [*run_options(tmp_path, feed), "--follow", option, value], shown)
    assert not (tmp_path / "state" / "state.kvx").exists()


def test_a_second_tracker_is_refused_in_one_line(tmp_path, capsys):
    feed = tmp_path / "feed.csv"
    feed.write_text(HEADER + "".join(rows(3)))
    with start(tmp_path):
        refused(capsys, run_options(tmp_path, feed), "another tracker")
