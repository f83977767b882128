import re

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("_korvex_lib")

from korvex.cli import main  # noqa: E402
from test_korvex_plots import assert_png  # noqa: E402


@pytest.fixture
def deliveries_csv(tmp_path):
    rng = np.random.default_rng(11)
    rows = 240
    frame = pd.DataFrame(
        {
            "timestamp": pd.date_range("2026-05-04 06:00", periods=rows, freq="5min").astype(str),
            "volume": rng.uniform(8.0, 12.0, rows),
            "CaO": 44 + rng.standard_normal(rows),
            "SiO2": 13 + 0.5 * rng.standard_normal(rows),
        }
    )
    path = tmp_path / "deliveries.csv"
    frame.to_csv(path, index=False)
    return path


@pytest.mark.slow
def test_simulate_a_quality_series_end_to_end(deliveries_csv, tmp_path, capsys):
    out = tmp_path / "results"
    code = main(
        [
            "simulate",
            str(deliveries_csv),
            "--length-m",
            "60",
            "--depth-m",
            "12",
            "--layers",
            "6",
            "--blending-tail-m",
            "6",
            "--output-dir",
            str(out),
            "--quiet",
        ]
    )
    assert code == 0
    written = capsys.readouterr().out.split()
    names = ("reclaimed.csv", "heights.png", "qualities.png", "variogram.png")
    assert written == [str(out / f"deliveries-{name}") for name in names]
    slices = pd.read_csv(out / "deliveries-reclaimed.csv", comment="#")
    assert list(slices.columns) == ["position_m", "volume_m3", "CaO", "SiO2"]
    delivered = pd.read_csv(deliveries_csv)["volume"].sum()
    # What is left below one particle (1 m3 here) waits in the stacker forever.
    assert delivered - 1 < slices["volume_m3"].sum() <= delivered + 1e-9
    full = slices["volume_m3"] > 0
    assert slices.loc[full, "CaO"].between(40, 48).all()
    assert np.all(np.diff(slices["position_m"]) == pytest.approx(1.0))
    assert_png(out / "deliveries-heights.png")
    assert_png(out / "deliveries-qualities.png")
    assert_png(out / "deliveries-variogram.png")


@pytest.mark.slow
def test_simulate_a_chunk_table_as_it_is(tmp_path, capsys):
    chunks = pd.DataFrame(
        {"x": [5.0, 10.0, 15.0], "z": [4.0, 4.0, 4.0], "volume": [30.0, 30.0, 30.0], "Fe2O3": [1.0, 2.0, 3.0]}
    )
    path = tmp_path / "chunks.csv"
    chunks.to_csv(path, index=False)
    assert (
        main(
            [
                "simulate",
                str(path),
                "--length-m",
                "20",
                "--depth-m",
                "8",
                "--reclaim-angle-deg",
                "90",
                "--output-dir",
                str(tmp_path),
            ]
        )
        == 0
    )
    report = capsys.readouterr().out
    assert "chunks as given" in report and "Fe2O3" in report and "VRR" in report
    slices = pd.read_csv(tmp_path / "chunks-reclaimed.csv", comment="#")
    assert slices["volume_m3"].sum() == pytest.approx(90.0)
    mean = np.average(slices["Fe2O3"].fillna(0), weights=slices["volume_m3"])
    assert mean == pytest.approx(2.0)


@pytest.mark.parametrize(
    ("extra", "message"),
    [
        (["--rows", "3"], "takes none of"),
        (["--plan", "circular"], "circular bed"),
        (["--layers", "2", "--stacker-speed-m-per-min", "4"], "not both"),
    ],
)
def test_simulate_explains_bad_settings(deliveries_csv, tmp_path, capsys, extra, message):
    with pytest.raises(SystemExit) as stop:
        main(["simulate", str(deliveries_csv), "--output-dir", str(tmp_path), "--quiet", *extra])
    assert stop.value.code == 2
    assert message in capsys.readouterr().err


@pytest.mark.slow
def test_demo_writes_its_plot_where_it_says(tmp_path, capsys):
    target = tmp_path / "demo" / "korvex-demo.png"
    assert main(["demo", "--output", str(target), "--layers", "20"]) == 0
    report = capsys.readouterr().out
    assert f"Plot    {target}" in report
    assert f"Report  {target.with_suffix('.html')}" in report
    assert "Cross-sections" in target.with_suffix(".html").read_text(encoding="utf-8")
    for name in ("CaO", "SiO2", "Fe2O3", "VRR", "std in", "std out"):
        assert name in report
    assert_png(target)


def demo_run(tmp_path, name, *seed):
    target = tmp_path / f"{name}.png"
    assert main(["demo", "--output", str(target), "--layers", "20", *seed]) == 0
    return target.read_bytes()


@pytest.mark.slow
def test_demo_with_a_seed_repeats_its_table_and_plot_to_the_byte(tmp_path, capsys):
    first = demo_run(tmp_path, "first", "--seed", "7")
    printed = capsys.readouterr().out.replace("first.", "")
    assert demo_run(tmp_path, "second", "--seed", "7") == first
    assert capsys.readouterr().out.replace("second.", "") == printed
    assert re.search(r"seed 7\b", printed)
    unseeded = demo_run(tmp_path, "third")
    assert unseeded != first
    assert not re.search(r"seed 7\b", capsys.readouterr().out)


@pytest.mark.slow
def test_demo_explains_every_figure_and_checks_the_prediction_against_replicates(tmp_path, capsys):
    argv = ["demo", "--output", str(tmp_path / "demo.png"), "--layers", "8", "--replicates", "2", "--engine", "fast"]
    assert main(argv) == 0
    report = capsys.readouterr().out
    header = next(line for line in report.splitlines() if line.startswith("quality"))
    assert header.index("VRR out/in") < header.index("VRR predicted") < header.index("VRR per delivery")
    for figure in ("VRR ", "E ", "VRR predicted ", "VRR per delivery "):
        assert any(line.startswith(figure) for line in report.splitlines()), figure
    checks = [line for line in report.splitlines() if "over 2 runs" in line]
    assert [line.split(":")[0].strip() for line in checks] == ["CaO", "SiO2", "Fe2O3"]
    with pytest.raises(SystemExit):
        main(["demo", "--output", str(tmp_path / "demo.png"), "--replicates", "0"])
    assert "replicates must be a whole number of at least 1" in capsys.readouterr().err


def test_the_demo_refuses_replicates_of_an_engine_that_draws_nothing(tmp_path, capsys):
    with pytest.raises(SystemExit) as stop:
        main(["demo", "--output", str(tmp_path / "demo.png"), "--replicates", "2"])
    assert stop.value.code == 2
    assert "the layered engine draws no random numbers" in capsys.readouterr().err
    assert not (tmp_path / "demo.png").exists()
