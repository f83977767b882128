import base64
import gzip
import re

import numpy as np
import pandas as pd
import pytest
from matplotlib.figure import Figure

from korvex import Bed, Chevron, QualitySeries, Reclaimer, simulate
from korvex.cli import main
from korvex.report import STUDY_SECTIONS, comparison_report, write_report
from korvex.views import MAX_HTML_BYTES

HOSTILE = "<script>alert(1)</script>"
PNG_URI = re.compile(r'src="data:image/png;base64,([A-Za-z0-9+/=]+)"')


def small_study(names=("CaO", "SiO2"), record_particles=True):
    series = QualitySeries.from_array(
        np.random.default_rng(2).normal(size=(300, len(names))), names, interval_s=60.0, volume_m3=2.0
    )
    return simulate(series, Chevron(layers=8), Bed(length_m=40.0, depth_m=16.0), seed=11, progress=False,
                    record_particles=record_particles)


def embedded_pngs(page):
    images = [base64.b64decode(data) for data in PNG_URI.findall(page)]
    assert all(image.startswith(b"\x89PNG\r\n\x1a\n") for image in images)
    return images


@pytest.mark.slow
def test_a_study_report_is_one_page_with_every_section(tmp_path):
    study = small_study()
    page = write_report(study, tmp_path / "report.html", reclaim_rate_m3_per_h=600.0).read_text(encoding="utf-8")
    for heading in ("Settings", "Homogenisation", "Input and output", "Variogram of the feed", "Pile as stacked",
                    "Cross-sections", "3-D view"):
        assert f"<h2>{heading}</h2>" in page
    # The eighth, the target bands, stands only in a study with targets (tests/python/test_plant_band.py).
    assert len(STUDY_SECTIONS) == 8
    assert f"seed={study.seed}" in page and study.stamp in page
    # Qualities, variogram, heights and four cross-sections.
    assert len(embedded_pngs(page)) == 7
    assert "give a reclaimer or a reclaim rate" not in page
    figures = study.homogenisation()
    assert f"<td>{figures[0].vrr:.4f}</td>" in page and f"<td>{figures[0].effect:.2f}</td>" in page
    assert 'class="korvex-figure"' in page
    assert re.search(r"<script[^>]*\bsrc=", page) is None
    assert len(page.encode()) < MAX_HTML_BYTES


@pytest.mark.slow
def test_the_report_shows_the_fair_and_predicted_figures_and_the_output_in_time(tmp_path):
    series = QualitySeries.from_array(
        np.random.default_rng(5).normal(size=(300, 1)), ("CaO",), interval_s=60.0, volume_m3=2.0
    )
    study = simulate(series, Chevron(layers=8), Bed(length_m=40.0, depth_m=16.0), seed=11, progress=False,
                     bulk_density_t_per_m3=1.5, reclaimer=Reclaimer(900.0))
    (figure,) = study.homogenisation()
    page = write_report(study, tmp_path / "r.html").read_text(encoding="utf-8")
    assert "<th>predicted VRR</th>" in page and f"<td>{figure.predicted_vrr:.4g}</td>" in page
    assert "<th>VRR per delivery</th>" in page and f"<td>{figure.per_delivery_vrr:.4g}</td>" in page
    assert f"equal portions of {figure.portion_m3:.4g} m³" in page
    # The reclaimer puts the output in time; qualities, composites, variogram and heights are drawn.
    assert "give a reclaimer" not in page and "No predicted VRR" not in page
    assert "hourly composites" in page
    assert len(embedded_pngs(page)) == 4
    np.testing.assert_allclose(study.output_time_h()[-1], study.reclaimed.total_volume_m3 * 1.5 / 900.0,
                               rtol=0.01)


@pytest.mark.slow
def test_a_study_of_chunks_as_given_says_it_has_no_prediction(tmp_path):
    study = small_study(record_particles=False)
    chunks = simulate(study.chunks, None, study.bed, seed=2, progress=False)
    page = write_report(chunks, tmp_path / "r.html").read_text(encoding="utf-8")
    assert "No predicted VRR" in page and "<th>predicted VRR</th>" not in page


@pytest.mark.slow
def test_a_report_without_particles_says_how_to_get_them(tmp_path):
    page = write_report(small_study(record_particles=False), tmp_path / "r.html").read_text(encoding="utf-8")
    assert "record_particles=True" in page and "give a reclaimer or a reclaim rate" in page
    assert len(embedded_pngs(page)) == 3


@pytest.mark.slow
def test_names_from_user_files_are_escaped_in_the_study_report(tmp_path):
    study = small_study(names=(HOSTILE, "SiO2"))
    page = write_report(study, tmp_path / "r.html", colour="SiO2").read_text(encoding="utf-8")
    assert HOSTILE not in page
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in page
    with pytest.raises(ValueError, match="colour must be one of"):
        write_report(study, tmp_path / "other.html", colour="MgO")


def test_a_comparison_page_shows_its_table_escaped_and_its_figure(tmp_path):
    table = pd.DataFrame({"plan": ["Chevron", "Windrow"], HOSTILE: [0.0123456, 0.5], "layers": [100, 20]})
    figure = Figure(figsize=(4, 3))
    figure.add_subplot().plot([1, 2], [0.0123, 0.5])
    path = comparison_report(tmp_path / "sweep.html", table, figure, notes=[f"note {HOSTILE}"], stamp="korvex test")
    page = path.read_text(encoding="utf-8")
    assert HOSTILE not in page
    assert page.count("&lt;script&gt;alert(1)&lt;/script&gt;") == 2
    assert "<td>0.01235</td>" in page and "<td>Windrow</td>" in page and "<td>100</td>" in page
    assert len(embedded_pngs(page)) == 1


@pytest.mark.slow
def test_the_command_line_writes_the_report(tmp_path, capsys):
    csv = tmp_path / "feed.csv"
    pd.DataFrame({"timestamp": np.arange(200) * 60.0, "volume": 2.0, "CaO": np.sin(np.arange(200) / 9)}).to_csv(
        csv, index=False
    )
    common = ["--output-dir", str(tmp_path / "out"), "--quiet", "--seed", "3", "--length-m", "40", "--depth-m", "16"]
    assert main(["report", str(csv), *common]) == 0
    written = capsys.readouterr().out.split()
    assert str(tmp_path / "out" / "feed-report.html") in written
    assert main(["simulate", str(csv), *common, "--report", str(tmp_path / "page.html"),
                 "--bulk-density-t-per-m3", "1.5", "--reclaim-rate-t-per-h", "700"]) == 0
    assert str(tmp_path / "page.html") in capsys.readouterr().out.split()
    page = (tmp_path / "page.html").read_text(encoding="utf-8")
    assert "Cross-sections" in page and "seed 3" in page and "give a reclaimer" not in page


@pytest.mark.slow
def test_the_report_of_a_plant_sized_bed_draws_a_quarter_million_particles_within_its_budget(tmp_path):
    # A plant's bed records over a million particles; plotly.js once took all the room a page has.
    series = QualitySeries.from_array(
        np.random.default_rng(2).normal(40, 2, size=(2000, 1)), ("CaO",), interval_s=60.0, volume_m3=12.0
    )
    study = simulate(series, Chevron(layers=30), Bed(length_m=200.0, depth_m=40.0, engine="fast"), seed=3, progress=False,
                     record_particles=True, bulk_density_t_per_m3=1.45)
    assert len(study.particles) > 1_000_000
    path = write_report(study, tmp_path / "report.html", reclaim_rate_m3_per_h=700.0)
    assert path.stat().st_size < MAX_HTML_BYTES
    packed = re.search(r'<script type="application/gzip-base64" class="korvex-figure"[^>]*>([^<]*)<', path.read_text())
    view = gzip.decompress(base64.b64decode(packed.group(1))).decode("utf-8")
    assert f"250,000 of {len(study.particles):,} particles drawn" in view


@pytest.mark.parametrize(
    ("bed", "shown", "left_out"),
    [
        (Bed(length_m=40.0, depth_m=16.0), {"bed: engine": "layered", "bed: angle_of_repose_deg": "38",
                                             "bed: cell_size_m": "0.32"},
         ("bed: eight_neighbour_probability", "bed: drop_height_m", "bed: ring_radius_m")),
        (Bed(length_m=40.0, depth_m=16.0, engine="fast", particles_per_m3=1.0),
         {"bed: engine": "fast", "bed: eight_neighbour_probability": "1", "bed: particles_per_m3": "1"},
         ("bed: angle_of_repose_deg", "bed: segments_per_column", "bed: drop_height_m")),
    ],
)
# A coarse fast-engine grid under 100 thin layers: this test reads the settings, not the figures.
@pytest.mark.filterwarnings("ignore::korvex.study.ResolutionWarning")
def test_the_settings_are_those_the_engine_used_with_the_values_it_used(bed, shown, left_out):
    from korvex.report import ReportOptions, settings_section

    series = QualitySeries.from_array(np.random.default_rng(3).normal(size=(120, 1)), ("CaO",), interval_s=60.0,
                                      volume_m3=2.0)
    study = simulate(series, Chevron(), bed, seed=1, progress=False)
    (table,) = settings_section(study, ReportOptions()).tables
    rows = dict(table.rows)
    assert rows["plan: layers"] == "100"
    assert {name: rows[name] for name in shown} == shown
    assert not set(left_out) & set(rows)
    assert "default" not in rows.values()
