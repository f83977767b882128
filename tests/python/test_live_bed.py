"""A live bed: each delivery stacked once whatever the batches and restarts, rejects with reasons, a full
bed that says so, a file that is not the one followed refused, errors that lose nothing."""

import errno
import json

import numpy as np
import pytest

import korvex
from korvex import live as live_module
from korvex.deliveries import Dialect
from korvex.live import LiveBed, LiveSettings
from korvex.live_status import PredictionPolicy

HEADER = "timestamp;tonnes;CaO;SiO2;Al2O3;Fe2O3\n"


def rows(count, seed=1, start=0):
    """Truck deliveries every ten minutes in a European dialect (semicolons, decimal commas)."""
    rng = np.random.default_rng(seed)
    lines = []
    for k in range(start, start + count):
        oxides = (44 + rng.normal(), 14 + 0.3 * rng.normal(), 3.2, 2.0 + 0.05 * rng.normal())
        values = (600 * k, 30 + 10 * rng.random(), *oxides)
        lines.append(";".join(f"{v:.3f}".replace(".", ",") for v in values) + "\n")
    return lines


def settings(**changes):
    values = dict(
        bed=korvex.Bed(length_m=60, depth_m=20, particles_per_m3=8),
        bulk_density_t_per_m3=1.5,
        plan_settings={"layers": 30},
        dialect=Dialect(sep=";", decimal=","),
        seed=5,
    )
    return LiveSettings(**(values | changes))


def start(tmp_path, name="state", **changes):
    bed = LiveBed.start(tmp_path / name, settings(**changes))
    bed.status_replicates = 0
    return bed


# A ring run continuously whose reclaimer, following the trucks' 140 m³/h round a 75 m centre line, starts
# after some 15 of them.
RING = dict(
    bed=korvex.Bed(length_m=40, depth_m=40, circular=True, ring_radius_m=12, pile_width_m=8, particles_per_m3=8),
    plan="chevcon",
    plan_settings={"advance_m_per_min": 0.15},
)


def on(engine):
    """The settings' bed on `engine`."""
    return {"bed": korvex.Bed(length_m=60, depth_m=20, particles_per_m3=8, engine=engine)}


ENGINES = ["fast", "layered"]
KINDS = {engine: on(engine) for engine in ENGINES} | {"ring": RING}


def state_of(bed):
    """Everything the bed's pile (or ring, and what its reclaimer cut) holds, to compare to the bit."""
    if bed.settings.continuous:
        output = bed.output()
        assert len(output) > 20 and bed.pile.volume_m3 > 0
        return [bed.pile.heights().heights_m, output.time_s, output.position_m, output.volume_m3, output.values,
                output.residence_s]  # fmt: skip
    copy = bed.pile.copy()
    heights = copy.heights().heights_m
    reclaimed = copy.reclaim()
    return [heights, reclaimed.position_m, reclaimed.volume_m3, reclaimed.values]


def assert_same(a, b):
    for x, y in zip(a, b, strict=True):
        assert np.asarray(x).tobytes() == np.asarray(y).tobytes()


@pytest.fixture
def feed(tmp_path):
    path = tmp_path / "feed.csv"
    path.write_text(HEADER + "".join(rows(60)))
    return path


@pytest.mark.parametrize("kind", KINDS)
def test_batches_and_restarts_stack_every_delivery_once_to_the_bit(tmp_path, feed, kind):
    with start(tmp_path, "whole", **KINDS[kind]) as whole:
        assert whole.take_file(feed) == 60
        assert whole.take_file(feed) == 0
        expected = state_of(whole)
    lines = feed.read_text().splitlines(keepends=True)
    growing = tmp_path / "growing.csv"
    growing.write_text(lines[0] + "".join(lines[1:20]) + lines[20][:7])
    with start(tmp_path, "parts", **KINDS[kind]) as parts:
        assert parts.take_file(growing) == 19
    # The half-written line waits; a restart goes on from the ledger.
    with growing.open("a") as file:
        file.write(lines[20][7:] + "".join(lines[21:]))
    with LiveBed.open(tmp_path / "parts") as parts:
        parts.status_replicates = 0
        assert parts.take_file(growing) == 41
        assert parts.ledger.deliveries == 60
        assert_same(state_of(parts), expected)
    for name in ("state.kvx", "taken.csv", "output.csv" if kind == "ring" else "rejects.csv"):
        assert (tmp_path / "parts" / name).read_bytes() == (tmp_path / "whole" / name).read_bytes(), name


def test_a_bed_whose_quality_names_hold_commas_and_quotes_resumes(tmp_path):
    path = tmp_path / "feed.csv"
    path.write_text(HEADER.replace("Fe2O3", 'Fe2O3, "total"') + "".join(rows(4)))
    with start(tmp_path) as bed:
        bed.take_file(path)
        names = bed.quality_names
    with LiveBed.open(tmp_path / "state") as bed:
        assert bed.taken().names == names == ("CaO", "SiO2", "Al2O3", 'Fe2O3, "total"')
        assert len(bed.taken()) == 4


def test_unreadable_and_late_rows_go_to_the_rejects_and_the_bed_goes_on(tmp_path):
    good = rows(6)
    path = tmp_path / "feed.csv"
    path.write_text(HEADER + good[0] + "now;1;2;3;4;5\n" + good[2] + good[1] + "600;;44;14;3;2\n" + good[3])
    with start(tmp_path) as bed:
        bed.take_file(path)
        assert bed.ledger.deliveries == 3 and bed.ledger.rejected == 3
    rejects = (tmp_path / "state" / "rejects.csv").read_text().splitlines()
    assert rejects[0] == "line,reason,text"
    assert [line.split(",")[0] for line in rejects[1:]] == ["3", "5", "6"]
    assert "'now' is neither a number of seconds nor a date" in rejects[1]
    assert "earlier than the last stacked, 1200 s" in rejects[2]
    assert "column 'tonnes': '' is not a number" in rejects[3]


def test_a_full_bed_says_so_and_takes_no_more(tmp_path, feed):
    with start(tmp_path, capacity_t=500.0) as bed:
        bed.take_file(feed)
        assert bed.full and bed.ledger.stacked_volume_m3 * 1.5 <= 500.0
        assert 10 < bed.ledger.deliveries < 20 and bed.ledger.deliveries + bed.ledger.rejected == 60
        report = bed.refresh_status()
    assert report["full"] and report["time_to_full_h"] == 0.0
    rejects = (tmp_path / "state" / "rejects.csv").read_text()
    assert "the bed is full: " in rejects and "the bed is full and takes no more" in rejects


@pytest.mark.parametrize("change", ["header", "rewritten", "shrunk"])
def test_a_file_that_is_not_the_one_followed_is_refused(tmp_path, feed, change):
    with start(tmp_path) as bed:
        bed.take_file(feed)
        text = feed.read_text()
        if change == "header":
            feed.write_text(text.replace("tonnes", "t", 1))
        elif change == "rewritten":
            feed.write_text(HEADER + "".join(rows(60, seed=2)))
        else:
            feed.write_text(text[: len(text) // 2])
        with pytest.raises(ValueError, match="header is not|was rewritten|cut back or replaced"):
            bed.take_file(feed)
        assert bed.ledger.deliveries == 60


def test_lines_sent_again_on_standard_input_after_a_restart_are_skipped(tmp_path):
    lines = [HEADER, *rows(12)]
    with start(tmp_path, "whole") as whole:
        whole.take_lines(lines)
        expected = state_of(whole)
    with start(tmp_path, "again") as again:
        again.take_lines(lines[:8])
    with LiveBed.open(tmp_path / "again") as again:
        again.status_replicates = 0
        # A sender that starts over after the restart: header and the first lines once more.
        again.take_lines(lines)
        assert again.ledger.deliveries == 12 and again.ledger.rejected == 0
        assert_same(state_of(again), expected)


# Where the disk fills up: writing the batch's rows, appending its journal entry (neither acknowledged), or
# writing a checkpoint after the journal acknowledged the batch.
@pytest.mark.parametrize(("failing", "acknowledged"), [("_append_durably", 30), ("journal", 30), ("save", 60)])
def test_a_disk_that_fills_up_loses_nothing_already_stacked(tmp_path, feed, monkeypatch, failing, acknowledged):
    lines = feed.read_text().splitlines(keepends=True)
    with start(tmp_path, "whole") as whole:
        whole.take_file(feed)
        expected = state_of(whole)
    partial = tmp_path / "partial.csv"
    partial.write_text("".join(lines[:31]))
    with start(tmp_path) as bed:
        bed.take_file(partial)
    with partial.open("a") as file:
        file.write("".join(lines[31:]))
    append = live_module.append_durably

    def full(*args, **kwargs):
        if failing == "journal" and args[0].name != "journal.kvj":
            return append(*args, **kwargs)
        raise OSError(errno.ENOSPC, "No space left on device")

    targets = {"_append_durably": live_module, "journal": live_module, "save": live_module.Stockpile}
    with LiveBed.open(tmp_path / "state") as bed:
        bed.replay_budget_s = 0.0
        monkeypatch.setattr(targets[failing], "append_durably" if failing == "journal" else failing, full)
        with pytest.raises(OSError) as raised:
            bed.take_file(partial)
        assert raised.value.errno == errno.ENOSPC
    monkeypatch.undo()
    with LiveBed.open(tmp_path / "state") as bed:
        assert bed.ledger.deliveries == acknowledged
        bed.status_replicates = 0
        bed.take_file(partial)
        assert_same(state_of(bed), expected)


def test_two_trackers_never_follow_one_bed(tmp_path):
    with start(tmp_path):
        with pytest.raises(RuntimeError, match="another tracker"):
            LiveBed.open(tmp_path / "state")
    with pytest.raises(ValueError, match="holds a live bed already"):
        LiveBed.start(tmp_path / "state", settings())


@pytest.mark.parametrize("engine", ENGINES)
def test_the_status_tells_the_fill_the_quality_and_the_predicted_output(tmp_path, feed, engine):
    with start(tmp_path, **on(engine)) as bed:
        bed.status_replicates = 4
        bed.take_file(feed)
        report = json.loads((tmp_path / "state" / "status.json").read_text())
        taken = bed.taken()
    stacked_t = float(taken.volume_m3.sum()) * 1.5
    assert report["deliveries"] == 60 and report["stacked_t"] == pytest.approx(stacked_t)
    assert report["fill_fraction"] == pytest.approx(stacked_t / report["capacity_t"])
    # Trucks of 30 to 40 t every ten minutes: about 210 t/h.
    assert 180 < report["rate_t_per_h"] < 240
    oxides = taken.values.mean(axis=0)
    assert report["quality"]["CaO"]["mean"] == pytest.approx(np.average(taken.values[:, 0], weights=taken.volume_m3))
    assert report["quality"]["SM"]["mean"] == pytest.approx(oxides[1] / (oxides[2] + oxides[3]), rel=0.01)
    predicted = report["prediction"]["quality"]["LSF"]
    assert predicted["mean_low"] <= predicted["mean"] <= predicted["mean_high"]
    # The bed blends: its output varies far less than the deliveries.
    assert predicted["std_high"] < report["quality"]["LSF"]["std"] / 2
    assert "block bootstrap" in report["prediction"]["method"]
    csv = (tmp_path / "state" / "status.csv").read_text().splitlines()
    assert csv[0] == "figure,quality,value" and "predicted_mean_low,LSF," in "\n".join(csv)


@pytest.mark.parametrize(
    ("policy", "made_at"),
    [
        (PredictionPolicy(every_share=None, every_deliveries=3), [1, 1, 1, 4, 4, 4, 7]),
        # Two trucks of 30 to 40 t grow the bed's 2,900 t by more than 2 %, one does not.
        (PredictionPolicy(every_share=0.02), [1, 1, 3, 3, 5, 5, 7]),
        (PredictionPolicy(every_share=None), [1] * 7),
    ],
)
def test_the_prediction_is_made_again_as_its_policy_says_and_the_status_says_how_old_it_is(
    tmp_path, policy, made_at
):
    lines = rows(7)
    with start(tmp_path, capacity_t=2900.0) as bed:
        bed.status_replicates = 2
        bed.prediction_policy = policy
        seen = []
        for count in range(1, 8):
            bed.take_lines(([HEADER] if count == 1 else []) + lines[count - 1 : count])
            report = json.loads((tmp_path / "state" / "status.json").read_text())
            prediction = report["prediction"]
            seen.append(prediction["made_at_deliveries"])
            assert prediction["age_deliveries"] == count - prediction["made_at_deliveries"]
            assert prediction["age_t"] == pytest.approx(report["stacked_t"] - prediction["made_at_stacked_t"])
            assert prediction["policy"] == policy.describe()
    assert seen == made_at


def test_the_command_line_starts_resumes_tells_and_corrects(tmp_path, feed, capsys):
    from korvex.cli import main

    lines = feed.read_text().splitlines(keepends=True)
    growing = tmp_path / "growing.csv"
    growing.write_text("".join(lines[:31]))
    run = ["track", "run", str(tmp_path / "state"), "--feed", str(growing), "--sep", ";", "--decimal", ",",
           "--bulk-density-t-per-m3", "1.5", "--length-m", "60", "--depth-m", "20", "--particles-per-m3", "8",
           "--layers", "30", "--replicates", "2", "--quiet"]  # fmt: skip
    assert main(run) == 0
    growing.write_text("".join(lines))
    assert main(run) == 0
    assert main(["track", "status", str(tmp_path / "state")]) == 0
    shown = capsys.readouterr().out
    assert "60 deliveries" in shown and "predicted output mean" in shown
    components = ["--component", "high:CaO=50,SiO2=5,Al2O3=1,Fe2O3=0.5",
                  "--component", "low:CaO=35,SiO2=20,Al2O3=4,Fe2O3=2.5"]  # fmt: skip
    assert main(["track", "correct", str(tmp_path / "state"), "--target", "LSF=96+-1", *components]) == 0
    shown = capsys.readouterr().out
    assert "LSF 96 ± 1: the rest must average LSF" in shown and "reachable: feed high" in shown


def test_a_live_ring_tells_what_was_reclaimed_and_keeps_the_mass(tmp_path, feed):
    from korvex.live_report import live_report

    with start(tmp_path, **RING) as bed:
        bed.take_file(feed)
        report = bed.refresh_status()
        output = bed.output()
    assert report["continuous"] and report["capacity_t"] is None and report["prediction"] is None
    assert report["slices"] == len(output) and report["reclaimed_t"] == pytest.approx(output.total_volume_m3 * 1.5)
    # What was stacked is on the ring or reclaimed, but for less than a particle not yet on the ring.
    assert report["reclaimed_t"] + report["on_ring_t"] == pytest.approx(report["stacked_t"], abs=1.5 / 8)
    assert 0 < report["reclaimed_t"] < report["stacked_t"]
    # The ring blends: what it delivers varies far less than the trucks.
    assert report["output_quality"]["LSF"]["std"] < report["quality"]["LSF"]["std"] / 2
    html = live_report(tmp_path / "state", tmp_path / "ring.html").read_text()
    assert f"<td>{round(report['reclaimed_t']):,}</td>" in html and "alt=\"heights of the ring now\"" in html
    with pytest.raises(ValueError, match="no end for whole-bed targets"):
        live_module.bed_chemistry(tmp_path / "state")


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        (RING | {"plan_settings": {}}, "a live ring needs advance_m_per_min"),
        (RING | {"bed": korvex.Bed(length_m=40, depth_m=40, particles_per_m3=8)}, "needs a circular bed"),
        (RING | {"capacity_t": 500.0}, "never full: give no capacity_t"),
        (RING | {"plan_settings": {"advance_m_per_min": 20.0}}, "does not outrun the ramp's advance"),
    ],
)
def test_a_live_ring_refuses_what_it_cannot_run(changes, message):
    with pytest.raises(ValueError, match=message):
        settings(**changes)


def test_the_detailed_engine_cannot_run_live():
    with pytest.raises(ValueError, match="the detailed engine's piles cannot be saved"):
        settings(**on("detailed"))


@pytest.mark.parametrize(
    ("stamp", "dialect", "seconds"),
    [
        ("01.05.2026 06:10", Dialect(sep=";", decimal=",", dayfirst=True), 1_777_615_800.0),
        ("2026-05-01T08:10:00+02:00", Dialect(sep=";", decimal=","), 1_777_615_800.0),
        ("600,5", Dialect(sep=";", decimal=","), 600.5),
    ],
)
def test_a_delivery_is_timed_by_its_date_or_its_seconds(stamp, dialect, seconds):
    from korvex.deliveries import RowReader

    reader = RowReader("timestamp;tonnes;CaO\n", dialect, 1.5)
    delivery = reader.read(f"{stamp};30;44,5\n".encode(), 2, "feed.csv")
    assert delivery.time_s == seconds and delivery.volume_m3 == 20.0 and delivery.values == (44.5,)


LONG = "1200;30;" + "4" * (5 * 1024 * 1024) + ";14;3,2;2\n"


@pytest.mark.parametrize(
    ("bad", "reason"),
    [
        ("1200;30;1e308;14;3,2;2\n", "column 'CaO': 1e+308 is beyond the 1e+15 in magnitude"),
        ("1200;30;1e309;14;3,2;2\n", "column 'CaO': '1e309' is not a finite number"),
        (LONG, f"the line is {len(LONG):,} bytes, more than the 65,536 taken"),
    ],
    ids=["outsized", "overflowing", "longer-than-a-batch"],
)
def test_one_bad_line_goes_to_the_rejects_and_the_feed_goes_on(tmp_path, bad, reason):
    good = rows(6)
    path = tmp_path / "feed.csv"
    path.write_text(HEADER + "".join(good[:2]) + bad + "".join(good[2:4]))
    with start(tmp_path) as bed:
        assert bed.take_file(path) == 5
    with path.open("a") as file:
        file.write("".join(good[4:]))
    # Resumed, the bed still recognises the file past the refused line.
    with LiveBed.open(tmp_path / "state") as bed:
        bed.status_replicates = 0
        assert bed.take_file(path) == 2
        assert (bed.ledger.deliveries, bed.ledger.rejected) == (6, 1)
    [reject] = (tmp_path / "state" / "rejects.csv").read_text().splitlines()[1:]
    assert reject.startswith("4,") and reason in reject and len(reject) < 1000


def test_a_line_longer_than_a_batch_on_standard_input_is_refused_and_the_lines_after_it_taken(tmp_path):
    import subprocess
    import sys

    good = rows(4)
    lines = HEADER + "".join(good[:2]) + LONG + "".join(good[2:])
    run = [sys.executable, "-m", "korvex", "track", "run", str(tmp_path / "state"), "--feed", "-", "--sep", ";",
           "--decimal", ",", "--bulk-density-t-per-m3", "1.5", "--length-m", "60", "--depth-m", "20",
           "--layers", "30", "--replicates", "0", "--quiet"]  # fmt: skip
    subprocess.run(run, input=lines.encode(), check=True)
    with LiveBed.open(tmp_path / "state") as bed:
        assert (bed.ledger.deliveries, bed.ledger.rejected) == (4, 1)
    [reject] = (tmp_path / "state" / "rejects.csv").read_text().splitlines()[1:]
    assert reject.startswith(f'3,"the line is {len(LONG):,} bytes') and len(reject) < 1000


@pytest.mark.parametrize(
    ("header", "message"),
    [
        ('timestamp;tonnes;"Ca\rO"\n', "names the column 'Ca\\rO', which holds a line break"),
        ("timestamp;tonnes;" + "x" * 70_000 + "\n", "the header line is longer than the 65,536 bytes"),
    ],
    ids=["carriage-return", "long"],
)
def test_a_header_that_cannot_be_read_back_is_refused_and_the_bed_takes_the_mended_file(
    tmp_path, capsys, header, message
):
    from korvex.cli import main

    path = tmp_path / "feed.csv"
    path.write_bytes(header.encode() + b"0;30;44\n")
    run = ["track", "run", str(tmp_path / "state"), "--feed", str(path), "--sep", ";", "--decimal", ",",
           "--bulk-density-t-per-m3", "1.5", "--length-m", "60", "--depth-m", "20", "--layers", "30",
           "--replicates", "0", "--quiet"]  # fmt: skip
    with pytest.raises(SystemExit) as stop:
        main(run)
    assert stop.value.code == 2 and message in capsys.readouterr().err
    path.write_text("timestamp;tonnes;CaO\n0;30;44\n")
    assert main(run) == 0 and main(run) == 0
    with LiveBed.open(tmp_path / "state") as bed:
        assert bed.quality_names == ("CaO",) and bed.ledger.deliveries == 1


@pytest.mark.parametrize(
    ("sep", "decimal"), [(",", "."), (";", ",")], ids=["comma", "semicolon-and-decimal-comma"]
)
def test_the_live_bed_reads_a_plant_file_as_simulate_does(tmp_path, sep, decimal):
    """Excel's "CSV UTF-8" (a byte-order mark), text columns, and a weighbridge mass beside a volume made at
    another density: the deliveries taken are the series simulate reads, to the bit."""
    from korvex.cli import read_csv
    from korvex.units import DensityWarning

    rng = np.random.default_rng(3)
    lines = [sep.join(["timestamp", "tonnes", "volume", "truck", "face", "CaO", "SiO2"])]
    for k in range(30):
        tonnes = round(25 + 5 * rng.random(), 1)
        cells = [600 * k, tonnes, round(tonnes / 1.437, 3), f"T{k % 4}", "north", 44 + rng.normal(), 14.0]
        lines.append(sep.join(str(cell).replace(".", decimal) for cell in cells))
    path = tmp_path / "plant.csv"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8-sig")
    with pytest.warns(DensityWarning, match=r"\+4\.\d\d% against"):
        read = read_csv(path, sep=sep, decimal=decimal, bulk_density_t_per_m3=1.5)
    with start(tmp_path, dialect=Dialect(sep=sep, decimal=decimal)) as bed:
        assert bed.take_file(path) == 30 and bed.ledger.rejected == 0
        taken = bed.taken()
        notes = bed.take_notes()
    assert taken.names == read.names == ("CaO", "SiO2")
    for name in ("time_s", "volume_m3", "values"):
        assert getattr(taken, name).tobytes() == getattr(read, name).tobytes(), name
    assert "'truck', 'face' hold no numbers and are left out" in notes[0]
    assert "beyond the 1% tolerance in line 2, line 3, line 4 and 27 more, which imply 1.437 t/m³" in notes[1]


def test_first_lines_without_numbers_choose_no_columns_and_go_to_the_rejects(tmp_path):
    good = rows(3)
    with start(tmp_path) as bed:
        bed.take_lines([HEADER])
        for line in ["0;30;n/a;;n/a;n/a\n", "0;30;\n", *good]:
            bed.take_lines([line])
        assert bed.quality_names == ("CaO", "SiO2", "Al2O3", "Fe2O3")
        assert (bed.ledger.deliveries, bed.ledger.rejected) == (3, 2)
    rejects = (tmp_path / "state" / "rejects.csv").read_text()
    assert "column 'CaO': 'n/a' is not a number" in rejects and "3 fields where the header names 6" in rejects


def test_a_bed_resumed_before_its_first_delivery_takes_the_columns_named_and_keeps_them(tmp_path, capsys):
    from korvex.cli import main

    path = tmp_path / "feed.csv"
    path.write_text("timestamp;tonnes;truck;CaO;SiO2;MgO\n")
    run = ["track", "run", str(tmp_path / "state"), "--feed", str(path), "--sep", ";", "--decimal", ",",
           "--bulk-density-t-per-m3", "1.5", "--length-m", "60", "--depth-m", "20", "--layers", "30",
           "--replicates", "0", "--quiet"]  # fmt: skip
    named = ["--quality", "CaO", "--quality", "SiO2"]
    assert main(run) == 0 and main(run + named) == 0
    assert capsys.readouterr() == ("", "")
    with path.open("a") as file:
        file.write("0;30;T1;44,1;14;1\n600;28;T2;44,3;14,1;1\n")
    assert main(run + named) == 0
    with pytest.raises(SystemExit) as stop:
        main(run + ["--quality", "CaO"])
    assert stop.value.code == 2
    assert "reads the quality columns ['CaO', 'SiO2'], not ['CaO']" in capsys.readouterr().err
    with LiveBed.open(tmp_path / "state") as bed:
        assert bed.taken().names == ("CaO", "SiO2") and len(bed.taken()) == 2


@pytest.mark.parametrize("kind", ["bed", "ring"])
def test_a_bed_resumed_before_its_first_delivery_or_slice_resumes_without_a_word(tmp_path, kind):
    path = tmp_path / "feed.csv"
    # A bed that has refused every line so far; a ring whose reclaimer has not reached its first slice.
    path.write_text(HEADER + ("".join(rows(3)) if kind == "ring" else "broken;line\n"))
    changes = RING if kind == "ring" else {}
    with start(tmp_path, **changes) as bed:
        bed.take_file(path)
    # Warnings are errors here: NumPy's "loadtxt: input contained no data" was printed on every resume.
    with LiveBed.open(tmp_path / "state") as bed:
        assert bed.output() is None and (bed.taken() is None) == (kind == "bed")


def test_the_correction_counts_only_the_deliveries_the_ledger_acknowledged(tmp_path, feed, monkeypatch):
    lines = feed.read_text().splitlines(keepends=True)
    growing = tmp_path / "growing.csv"
    growing.write_text("".join(lines[:31]))
    with start(tmp_path) as bed:
        bed.take_file(growing)
        acknowledged_t = bed.ledger.stacked_volume_m3 * 1.5
        growing.write_text("".join(lines))

        append = live_module.append_durably

        def full(*args, **kwargs):
            if args[0].name != "journal.kvj":
                return append(*args, **kwargs)
            raise OSError(errno.ENOSPC, "No space left on device")

        # The journal's entry fails and the tracker dies before it cuts taken.csv back.
        monkeypatch.setattr(live_module, "append_durably", full)
        monkeypatch.setattr(LiveBed, "_reload", lambda self: None)
        with pytest.raises(OSError):
            bed.take_file(growing)
    # taken.csv holds the batch never committed until the bed is resumed; the correction must not count it.
    assert len((tmp_path / "state" / "taken.csv").read_text().splitlines()) == 61
    chemistry = live_module.bed_chemistry(tmp_path / "state")
    assert chemistry.stacked_t == pytest.approx(acknowledged_t, rel=1e-12)
    [said, *_] = live_module.bed_correction(tmp_path / "state", ["CaO=44+-1"])
    assert said.startswith(f"stacked {acknowledged_t:,.0f} t;")


def test_a_feed_timed_in_seconds_is_read_without_pandas():
    """pandas costs a restarted tracker half a second of imports; only dates need it."""
    import subprocess
    import sys

    code = (
        "import sys; sys.modules['pandas'] = None\n"
        "from korvex.deliveries import Dialect, RowReader\n"
        "reader = RowReader('timestamp;tonnes;truck;CaO\\n', Dialect(sep=';', decimal=','), 1.5)\n"
        "print(reader.read_lines([b'600;30;T1;44,5\\n', b'660;30;T2;1e308\\n'], 2, 'feed.csv'))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "Delivery(time_s=600.0, volume_m3=20.0, values=(44.5,)," in done.stdout and "1e+308 is beyond" in done.stdout


@pytest.mark.parametrize("changes", [{}, RING], ids=["layered bed", "ring"])
def test_settings_written_with_every_engines_settings_are_read_back(tmp_path, changes):
    """A bed.json written before each engine's settings were its own holds the other engines' too."""
    written = json.loads(settings(**changes).to_json())
    carried = {"eight_neighbour_probability": 1.0, "particle_volume_factor": 1.0, "drop_height_m": 5.0}
    carried |= {"angle_of_repose_deg": 38.0, "stream_footprint_m": 1.0, "segments_per_column": 256}
    uses = {written["bed"]["engine"], *(("ring",) if written["bed"]["circular"] else ())}
    others = {name for name in carried if not uses & set(korvex.bed.SETTINGS[name]["engines"])}
    written["bed"] |= {name: carried[name] for name in others}
    read = LiveSettings.from_json(json.dumps(written))
    assert read.bed == settings(**changes).bed
