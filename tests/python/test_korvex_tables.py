"""Files users hand us and files we write: read as they are, written so that they read back as they were."""

import io
import zipfile

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("_korvex_lib")

import korvex  # noqa: E402
from korvex import Bed, Chevron, QualitySeries, read_sweep, read_table, write_workbook  # noqa: E402
from korvex.tables import from_text, write_csv  # noqa: E402

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
    path = odd_study().save_workbook(tmp_path / "study.xlsx")
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
    for save, expected in ((study.save_reclaimed, study.slices()), (study.save_output, study.output.frame)):
        back = pd.read_csv(save(tmp_path / "out.csv"), comment="#", float_precision="round_trip")
        assert [from_text(name) for name in back.columns] == list(expected.columns)
        np.testing.assert_array_equal(back.to_numpy(dtype=float), expected.to_numpy(dtype=float))


def test_a_sweep_table_with_odd_quality_names_reads_back_equal(tmp_path):
    from korvex.sweeps import COLUMN_TYPES, FIGURES, save_table

    rows = 4
    table = pd.DataFrame({"plan": ["chevron", "-windrow", "chevron", "@strata"], "layers": [2, 4, 6, 8]})
    table["replicate"], table["seed"], table["feed_seed"] = range(rows), [9, 8, 7, 6], [1, None, 3, 4]
    table["quality"] = [FORMULAS[0], "CaO#1", "SiO2", "a,b"]
    rng = np.random.default_rng(3)
    for name in (*FIGURES, "passes", "slices", "stacked_m3", "reclaimed_m3", "run_time_s"):
        table[name] = rng.normal(size=rows) / 3
    table["slices"] = [1, 2, None, 4]
    table["warning"], table["error"] = [None, "=1+1", None, "bad # run"], [None] * rows
    table = table.astype(COLUMN_TYPES)
    csv_path, parquet_path = save_table(table, tmp_path / "sweep", stamp="korvex test")
    pd.testing.assert_frame_equal(read_sweep(csv_path), table)
    pd.testing.assert_frame_equal(read_sweep(csv_path), read_sweep(parquet_path))
