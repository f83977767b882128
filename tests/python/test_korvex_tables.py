"""Files users hand us and files we write: read as they are, written so that they read back as they were."""

import io
import zipfile

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("_korvex_lib")

import korvex  # noqa: E402
from korvex import Bed, Chevron, QualitySeries, read_sweep, read_table, write_workbook  # noqa: E402
from korvex.tables import from_text, save_output, save_reclaimed, save_workbook, write_csv  # noqa: E402

STAMPS = ["2026-01-01 00:00", "2026-01-01 00:10", "2026-01-01 00:20"]
FORMULAS = ['=HYPERLINK("http://example.com","open")', "+1+1", "-2+3", "@SUM(A1)"]


def odd_study():
    """A small study whose quality names hold a formula and a comment mark, and whose floats use every digit."""
    rng = np.random.default_rng(7)
    names = (FORMULAS[0], "CaO#1", "SiO2")
    series = QualitySeries(np.arange(120) * 60.0, rng.uniform(1, 2, 120), rng.normal(40, 3, (120, 3)), names)
    return korvex.simulate(
        series,
        Chevron(layers=5),
        Bed(length_m=60, depth_m=12),
        progress=False,
        seed=1,
        bulk_density_t_per_m3=1.5,
        reclaimer=korvex.Reclaimer(500.0),
    )


def test_text_cells_that_start_like_formulas_are_written_as_text_into_workbooks(tmp_path):
    table = pd.DataFrame({name: [1.5, 2.5] for name in FORMULAS})
    table["note"] = FORMULAS[:2]
    path = write_workbook(tmp_path / "book.xlsx", {"notes": table})
    with zipfile.ZipFile(path) as archive:
        assert not any(b"<f>" in archive.read(name) for name in archive.namelist())
    back = read_table(path)
    assert list(back.columns) == [*FORMULAS, "note"]
    assert list(back["note"]) == FORMULAS[:2]


def test_a_studys_workbook_holds_no_formula(tmp_path):
    path = save_workbook(odd_study(), tmp_path / "study.xlsx")
    with zipfile.ZipFile(path) as archive:
        sheets = [name for name in archive.namelist() if name.startswith("xl/worksheets/")]
        assert len(sheets) >= 5
        assert not any(b"<f>" in archive.read(name) for name in sheets)


def test_csv_text_is_neutralised_quoted_and_read_back_as_it_was(tmp_path):
    table = pd.DataFrame({"plan": [*FORMULAS, "a # b"], "x": [0.1 + 0.2, -1e-300, 1 / 3, np.nan, 7.0]})
    table[FORMULAS[0]] = 1.0
    path = write_csv(tmp_path / "t.csv", table, comments=["made # here"])
    header = path.read_text().splitlines()[1]
    assert not any(field.startswith(tuple("=+-@")) for field in header.replace('"', "").split(","))
    back = pd.read_csv(path, comment="#", float_precision="round_trip")
    assert [from_text(name) for name in back.columns] == list(table.columns)
    assert [from_text(cell) for cell in back["plan"]] == list(table["plan"])
    np.testing.assert_array_equal(back["x"].to_numpy(), table["x"].to_numpy())


def test_a_studys_csv_reads_back_every_column_and_every_digit(tmp_path):
    study = odd_study()
    for save, expected in ((save_reclaimed, study.slices()), (save_output, study.output.frame)):
        back = pd.read_csv(save(study, tmp_path / "out.csv"), comment="#", float_precision="round_trip")
        assert [from_text(name) for name in back.columns] == list(expected.columns)
        np.testing.assert_array_equal(back.to_numpy(dtype=float), expected.to_numpy(dtype=float))


def test_a_sweep_table_with_odd_quality_names_reads_back_equal(tmp_path):
    from korvex.sweeps import COLUMN_TYPES, DRAWN, FIGURES, save_table

    rows = 4
    table = pd.DataFrame({"plan": ["chevron", "-windrow", "chevron", "@strata"], "layers": [2, 4, 6, 8]})
    table["replicate"], table["seed"], table["feed_seed"] = range(rows), [9, 8, 7, 6], [1, None, 3, 4]
    table["operation"], table["operation_seed"] = [0, 0, 1, 1], [5, 5, None, None]
    table["quality"] = [FORMULAS[0], "CaO#1", "SiO2", "a,b"]
    rng = np.random.default_rng(3)
    for name in (*FIGURES, *DRAWN, "passes", "slices", "stacked_m3", "reclaimed_m3", "run_time_s"):
        table[name] = rng.normal(size=rows) / 3
    table["slices"] = [1, 2, None, 4]
    table["warning"], table["error"] = [None, "=1+1", None, "bad # run"], [None] * rows
    table = table.astype(COLUMN_TYPES)
    csv_path, parquet_path = save_table(table, tmp_path / "sweep", stamp="korvex test")
    pd.testing.assert_frame_equal(read_sweep(csv_path), table)
    pd.testing.assert_frame_equal(read_sweep(csv_path), read_sweep(parquet_path))


def feed_book(path, rows=200, compression=zipfile.ZIP_DEFLATED):
    """A workbook of `rows` deliveries a minute apart."""
    from openpyxl import Workbook

    book = Workbook()
    sheet = book.active
    sheet.append(["timestamp", "volume", "CaO"])
    for k in range(rows):
        sheet.append([60 * k, 1.0, 44.0 + k % 3])
    book.save(path)
    if compression != zipfile.ZIP_DEFLATED:
        with zipfile.ZipFile(path) as source:
            parts = {item.filename: source.read(item.filename) for item in source.infolist()}
        with zipfile.ZipFile(path, "w", compression) as archive:
            for name, data in parts.items():
                archive.writestr(name, data)
    return path


def rewrite_part(path, part, change):
    with zipfile.ZipFile(path) as source:
        parts = {item.filename: source.read(item.filename) for item in source.infolist()}
    parts[part] = change(parts[part])
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in parts.items():
            archive.writestr(name, data)
    return path


def short_dimension(tmp_path):
    path = feed_book(tmp_path / "feed.xlsx")
    sheet = "xl/worksheets/sheet1.xml"
    rewrite_part(path, sheet, lambda xml: xml.replace(b'<dimension ref="A1:C201"/>', b'<dimension ref="A1:C101"/>'))
    return len(read_table(path))


def durations(tmp_path):
    frame = pd.DataFrame({"timestamp": pd.to_timedelta([0, 3, 9], unit="min"), "volume": 1.0, "CaO": [1, 2, 3]})
    return QualitySeries.from_frame(frame).time_s.tolist()


def clock_change(tmp_path):
    path = tmp_path / "feed.csv"
    stamps = ["2026-10-25T01:30+02:00", "2026-10-25T02:30+02:00", "2026-10-25T02:30+01:00", "2026-10-25T03:30+01:00"]
    path.write_text("timestamp,volume,CaO\n" + "".join(f"{stamp},1,44\n" for stamp in stamps))
    return QualitySeries.from_frame(read_table(path)).time_s.tolist()


def named_dates(tmp_path):
    frame = pd.DataFrame({"date": STAMPS, "volume": 1.0, "CaO": [1, 2, 3]})
    numbered = QualitySeries.from_frame(frame, time_column=None).time_s.tolist()
    return numbered, QualitySeries.from_frame(frame, time_column="date").time_s.tolist()


def every_digit(tmp_path):
    values = np.random.default_rng(5).normal(size=500) * 1e3
    path = tmp_path / "feed.csv"
    path.write_text("timestamp,volume,CaO\n" + "".join(f"{k},1,{float(v)!r}\n" for k, v in enumerate(values)))
    text_frame = pd.DataFrame({"volume": ["1"] * 3, "CaO": [repr(float(v)) for v in values[:3]]})
    from_text = QualitySeries.from_frame(text_frame).values[:, 0]
    return bool(np.all(read_table(path)["CaO"].to_numpy() == values) and np.all(from_text == values[:3]))


@pytest.mark.parametrize(
    ("read", "expected"),
    [
        (short_dimension, 200),
        (durations, [0.0, 180.0, 540.0]),
        (clock_change, [0.0, 3600.0, 7200.0, 10800.0]),
        (named_dates, ([0.0, 1.0, 2.0], [0.0, 600.0, 1200.0])),
        (every_digit, True),
    ],
    ids=["sheet-says-fewer-rows", "timedelta-column", "clock-change", "dates-named", "every-digit"],
)
def test_files_are_read_as_they_hold(tmp_path, read, expected):
    assert read(tmp_path) == expected


def longer_row(tmp_path):
    path = tmp_path / "feed.csv"
    path.write_text("timestamp,volume,CaO\n0,1,44,7\n60,1,45,8\n")
    read_table(path)


def unnamed_dates(tmp_path):
    QualitySeries.from_frame(pd.DataFrame({"date": pd.to_datetime(STAMPS), "volume": 1.0, "CaO": [1, 2, 3]}))


def unnamed_text_dates(tmp_path):
    QualitySeries.from_frame(pd.DataFrame({"date": STAMPS, "volume": 1.0, "CaO": [1, 2, 3], "lot": ["a", "b", "c"]}))


def bad_crc(tmp_path):
    path = feed_book(tmp_path / "feed.xlsx", compression=zipfile.ZIP_STORED)
    data = bytearray(path.read_bytes())
    cell = data.index(b"<v>44</v>")
    data[cell + 4] = ord("5")
    path.write_bytes(bytes(data))
    read_table(path)


@pytest.mark.parametrize(
    ("read", "message"),
    [
        (longer_row, "line 2 has 4 fields, more than the 3 of the header"),
        (unnamed_dates, "column 'date' holds dates or times"),
        (unnamed_text_dates, "column 'date' holds dates or times"),
        (bad_crc, "not a readable Excel workbook: Bad CRC-32"),
    ],
    ids=["row-longer-than-header", "date-column-not-named", "text-dates-not-named", "bad-crc"],
)
def test_files_that_do_not_read_as_they_stand_are_refused(tmp_path, read, message):
    with pytest.raises(korvex.TableError, match=message):
        read(tmp_path)
