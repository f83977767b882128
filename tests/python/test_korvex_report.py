import base64
import re

from dataclasses import dataclass

import numpy as np
import pandas as pd
import pytest
from matplotlib.figure import Figure

from korvex import Bed, Chevron, QualityFigures, QualitySeries, Study, plots, simulate
from korvex.cli import main
from korvex.report import STUDY_SECTIONS, comparison_report
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


def test_a_study_report_is_one_page_with_every_section(tmp_path):
    study = small_study()
    page = study.report(tmp_path / "report.html", reclaim_rate_m3_per_h=600.0).read_text(encoding="utf-8")
    for heading in ("Settings", "Homogenisation", "Input and output", "Variogram of the feed", "Pile as stacked",
                    "Cross-sections", "3-D view"):
        assert f"<h2>{heading}</h2>" in page
    assert len(STUDY_SECTIONS) == 7
    assert f"seed={study.seed}" in page and study.stamp in page
    # Heights, qualities, four cross-sections; the variogram is not part of this build.
    assert len(embedded_pngs(page)) == 6
    assert "give a reclaim rate" not in page
    figures = study.homogenisation()
    assert f"<td>{figures[0].vrr:.4f}</td>" in page and f"<td>{figures[0].effect:.2f}</td>" in page
    assert 'class="plotly-graph-div"' in page
    assert re.search(r"<script[^>]*\bsrc=", page) is None
    assert len(page.encode()) < MAX_HTML_BYTES


@dataclass(frozen=True)
class FairFigures(QualityFigures):
    """Figures as a build with fair portions and a prediction gives them."""

    portion_m3: float | None = None
    predicted_vrr: float | None = None


def test_the_report_takes_the_figures_a_build_offers(tmp_path, monkeypatch):
    study = small_study(record_particles=False)
    figures = tuple(FairFigures(**vars(f), portion_m3=42.0, predicted_vrr=0.0123) for f in study.homogenisation())
    monkeypatch.setattr(Study, "homogenisation", lambda self: figures)
    drawn = []

    def variogram_figure(*variograms, footer=None):
        drawn.append((variograms, footer))
        return Figure(figsize=(3, 2))

    monkeypatch.setattr(Study, "variograms", lambda self: ("by volume", None), raising=False)
    monkeypatch.setattr(plots, "variogram_figure", variogram_figure, raising=False)
    page = study.report(tmp_path / "r.html").read_text(encoding="utf-8")
    assert "<th>predicted VRR</th>" in page and "<td>0.0123</td>" in page
    assert "equal portions of 42 m³" in page
    assert drawn == [(("by volume", None), study.stamp)]
    assert "not part of this build" not in page
    assert len(embedded_pngs(page)) == 3


def test_a_report_without_particles_says_how_to_get_them(tmp_path):
    page = small_study(record_particles=False).report(tmp_path / "r.html").read_text(encoding="utf-8")
    assert "record_particles=True" in page and "give a reclaim rate" in page
    assert len(embedded_pngs(page)) == 2


def test_names_from_user_files_are_escaped_in_the_study_report(tmp_path):
    study = small_study(names=(HOSTILE, "SiO2"))
    page = study.report(tmp_path / "r.html", colour="SiO2").read_text(encoding="utf-8")
    assert HOSTILE not in page
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in page
    with pytest.raises(ValueError, match="colour must be one of"):
        study.report(tmp_path / "other.html", colour="MgO")


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
                 "--reclaim-rate-m3-per-h", "500"]) == 0
    assert str(tmp_path / "page.html") in capsys.readouterr().out.split()
    page = (tmp_path / "page.html").read_text(encoding="utf-8")
    assert "Cross-sections" in page and "seed 3" in page
