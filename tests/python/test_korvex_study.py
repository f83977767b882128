"""Seeds, stamps and short views of a study."""

import tomllib
from dataclasses import fields
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("_korvex_lib")

import korvex  # noqa: E402
from korvex import Bed, Chevron, ChunkTable, HeightMap, QualitySeries, Reclaimed, simulate  # noqa: E402
from korvex.cli import build_parser, main  # noqa: E402
from korvex.plots import study_figure  # noqa: E402
from korvex.tables import save_reclaimed  # noqa: E402

BED = Bed(length_m=40.0, depth_m=8.0, reclaim_angle_deg=90.0, particles_per_m3=1.0)
PLAN = Chevron(layers=3, blending_tail_m=4.0)


def small_study(**settings):
    series = QualitySeries.from_array(np.random.default_rng(2).normal(44.0, 1.0, 300), names=["CaO"])
    return simulate(series, PLAN, BED, progress=False, **settings)


def test_version_is_the_projects():
    project = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]
    assert korvex.__version__ == project["version"]


@pytest.mark.parametrize("seed", [123, 2**53 + 1, 8797578492828126701, 2**63 - 1])
def test_a_study_keeps_the_seed_it_was_given(seed):
    # Seeds above 2**53 do not survive a float: the stamp would name a seed that repeats nothing.
    assert small_study(seed=seed).seed == seed


def test_a_study_keeps_the_seed_it_drew():
    drawn = [small_study().seed for _ in range(2)]
    assert all(0 <= seed < 2**64 for seed in drawn)
    assert drawn[0] != drawn[1]


def test_every_file_a_study_writes_carries_its_stamp(tmp_path):
    study = small_study(seed=77)
    assert study.stamp == f"korvex {korvex.__version__}, engine layered, seed 77"
    csv = save_reclaimed(study, tmp_path / "slices.csv")
    first, second, header = csv.read_text().splitlines()[:3]
    assert first == f"# {study.stamp}"
    assert second == f"# {study.describe()}"
    assert header == "position_m,volume_m3,CaO"
    for figure in (study_figure(study),):
        assert study.stamp in [text.get_text() for text in figure.texts]


@pytest.mark.slow
def test_the_command_line_seeds_and_stamps_its_results(tmp_path, capsys):
    path = tmp_path / "feed.csv"
    rows = [f"{60 * k},5,{44 + np.sin(k / 7):.3f}" for k in range(200)]
    path.write_text("\n".join(["timestamp,volume,CaO", *rows]) + "\n")
    args = ["simulate", str(path), "--output-dir", str(tmp_path), "--length-m", "40", "--depth-m", "8"]
    assert main([*args, "--quiet", "--seed", "5"]) == 0
    assert (tmp_path / "feed-reclaimed.csv").read_text().startswith(
        f"# korvex {korvex.__version__}, engine layered, seed 5\n"
    )
    capsys.readouterr()
    assert main(args) == 0
    assert "(drawn; --seed repeats this run)" in capsys.readouterr().out


@pytest.mark.slow
def test_demo_seed_drives_the_feed_and_is_reported(tmp_path, capsys):
    assert main(["demo", "--output", str(tmp_path / "demo.png"), "--layers", "5", "--seed", "11"]) == 0
    report = capsys.readouterr().out
    assert "(synthetic, seed 11)" in report
    assert f"Run     korvex {korvex.__version__}, engine layered, seed 11" in report


def test_short_views_of_a_study_and_its_results():
    study = small_study(seed=9)
    text = repr(study)
    assert len(text) < 300 and "seed 9" in text and "300 deliveries" in text
    assert repr(study.reclaimed).startswith(f"Reclaimed({len(study.reclaimed)} slices")
    assert repr(study.heights).startswith("HeightMap(40 x 8 cells of 1 m")
    assert repr(study.series) == "QualitySeries(300 rows over 0.08306 h, 300.0 m³, qualities CaO)"
    assert repr(study.chunks).startswith(f"ChunkTable({len(study.chunks)} chunks, 300.0 m³")
    html = study._repr_html_()
    assert "<table>" in html and study.stamp in html


def test_html_views_escape_what_they_show():
    reclaimed = Reclaimed(np.array([1.0]), np.array([2.0]), np.array([[3.0]]), ("<b>CaO</b>",))
    html = reclaimed._repr_html_()
    assert "&lt;b&gt;CaO&lt;/b&gt;" in html and "<b>CaO</b>" not in html
    assert "2.0 m³" in HeightMap(np.full((2, 2), 0.5), 1.0)._repr_html_()


def test_every_bed_field_is_a_command_line_option_with_its_default():
    args = build_parser().parse_args(["simulate", "in.csv"])
    assert Bed(**{item.name: getattr(args, item.name) for item in fields(Bed)}) == Bed()
    changed = build_parser().parse_args(
        ["simulate", "in.csv", "--circular", "--engine", "detailed", "--reclaim-step-m", "2", "--drop-height-m", "3"]
    )
    assert (changed.circular, changed.engine, changed.reclaim_step_m, changed.drop_height_m) == (
        True,
        "detailed",
        2.0,
        3.0,
    )


@pytest.mark.parametrize(("rows", "count"), [(5, 200), (1000, 200), (1, 1)])
def test_batches_cover_every_row_once_in_order(rows, count):
    table = ChunkTable(np.column_stack([np.arange(rows), np.ones((rows, 3))]), ())
    batches = list(table.batches(count))
    assert len(batches) == min(rows, count)
    np.testing.assert_array_equal(np.concatenate(batches), table.data)
