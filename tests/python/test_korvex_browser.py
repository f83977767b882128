"""The report and the 3-D view, opened in headless Chromium with the network off."""

import io
import time

import numpy as np
import pytest
from chromium import CHROMIUM, BrowserTimeout, open_page
from matplotlib.image import imread

from korvex import Bed, Chevron, QualitySeries, simulate
from korvex.report import write_report
from korvex.views import save_view, study_view_3d, view_3d

pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed, so no page can be opened")


def pixels(page):
    """The screenshot's pixels as rows of 8-bit RGB."""
    image = imread(io.BytesIO(page.screenshot), format="png")[:, :, :3]
    return image, (image * 255).round().astype(np.uint8)


def scale_share(rgb, scale):
    """The share of pixels within a few levels of a plotly colour scale, and how many of its tenths they
    fall in: particles are drawn flat in the scale's colours, and a pile's span of values uses all of it."""
    from plotly.colors import sample_colorscale, unlabel_rgb

    path = np.array([unlabel_rgb(c) for c in sample_colorscale(scale, np.linspace(0, 1, 201))], dtype=float)
    colours, counts = np.unique(rgb.reshape(-1, 3), axis=0, return_counts=True)
    distance = np.linalg.norm(colours[:, np.newaxis, :].astype(float) - path[np.newaxis], axis=2)
    near = distance.min(axis=1) < 8
    tenths = np.unique(np.minimum(distance[near].argmin(axis=1) // 20, 9)).size
    return float(counts[near].sum() / counts.sum()), int(tenths)


@pytest.fixture(scope="module", params=["layered", "fast"])
def study(request):
    # A coarse bed: software WebGL draws its 25,000 particles (or points in the layers) in a few seconds.
    series = QualitySeries.from_array(
        np.random.default_rng(4).normal(size=(400, 2)), ("CaO", "SiO2"), interval_s=60.0, volume_m3=2.0
    )
    bed = Bed(length_m=50.0, depth_m=16.0, particles_per_m3=60.0, engine=request.param)
    return simulate(series, Chevron(layers=10), bed, seed=9, progress=False, record_particles=True)


@pytest.mark.slow
@pytest.mark.parametrize(("colour", "scale"), [("time", "Viridis"), ("CaO", "RdYlBu")])
def test_the_3d_views_canvas_wears_the_piles_colours(study, tmp_path, colour, scale):
    from plotly import colors

    scale = getattr(colors.sequential, scale, None) or getattr(colors.diverging, scale)
    figure = study_view_3d(study, colour=colour)
    # The layered engine's view draws points sampled in its layers, the fast engine's its particles.
    assert figure.data[1].name == ("layers" if study.bed.engine == "layered" else "particles")
    page = open_page(save_view(figure, tmp_path / "view.html"), tmp_path / "profile")
    assert page.errors == []
    assert "gl-container" in page.dom and "<canvas" in page.dom and 'class="slider-container"' in page.dom
    assert 'data-state="drawn"' in page.dom
    _, rgb = pixels(page)
    # The scene, left of the colour bars: its points wear the colour scale from end to end.
    share, tenths = scale_share(rgb[150:600, 100:950], scale)
    assert share > 0.02 and tenths >= 7, (share, tenths)
    # Without points the scene holds the surface's colours only.
    bare = open_page(save_view(view_3d(study.heights, bed=study.bed, title="surface"), tmp_path / "bare.html"),
                     tmp_path / "profile")
    share, _ = scale_share(pixels(bare)[1][150:600, 100:950], scale)
    assert share < 0.002, share


@pytest.mark.slow
def test_the_report_renders_its_figures_and_3d_view_without_a_network(study, tmp_path):
    from plotly.colors import sequential

    path = write_report(study, tmp_path / "report.html", reclaim_rate_m3_per_h=500.0)
    page = open_page(path, tmp_path / "profile", size=(1300, 900), scroll_to="korvex-view")
    assert page.errors == []
    assert page.dom.count('<img src="data:image/png;base64,') == 7
    assert "gl-container" in page.dom and "<canvas" in page.dom and 'data-state="drawn"' in page.dom
    share, tenths = scale_share(pixels(page)[1][100:800, 100:1000], sequential.Viridis)
    assert share > 0.02 and tenths >= 7, (share, tenths)


def test_the_error_scan_sees_a_script_that_fails(tmp_path):
    # Without this, a scan that never matches would pass every page.
    page = tmp_path / "broken.html"
    page.write_text("<!DOCTYPE html><html><body><p>x</p><script>notDefinedAnywhere();</script></body></html>")
    seen = open_page(page, tmp_path / "profile", screenshot=False)
    assert len(seen.errors) == 1 and "notDefinedAnywhere" in seen.errors[0]


@pytest.mark.slow
def test_a_figure_that_cannot_be_unpacked_says_so_and_fails_the_scan(study, tmp_path):
    path = save_view(view_3d(study.heights, bed=study.bed, title="surface"), tmp_path / "view.html")
    text = path.read_text(encoding="utf-8")
    start = text.index('class="korvex-figure"')
    start = text.index(">", start) + 1
    path.write_text(text[:start] + "bm90IGd6aXA=" + text[text.index("</script>", start):], encoding="utf-8")
    seen = open_page(path, tmp_path / "profile", screenshot=False)
    assert 'data-state="failed"' in seen.dom and "The figure could not be drawn" in seen.dom
    assert len(seen.errors) == 1 and "korvex figure korvex-view" in seen.errors[0]


@pytest.mark.slow
def test_a_page_that_never_gets_ready_fails_by_its_deadline_rather_than_hanging(tmp_path):
    # A packed figure with no loader stays undrawn for ever, as a hung page would.
    page = tmp_path / "stuck.html"
    page.write_text('<!DOCTYPE html><html><body><div id="v"></div>'
                    '<script type="application/gzip-base64" class="korvex-figure" data-target="v"></script></body></html>')
    start = time.monotonic()
    with pytest.raises(BrowserTimeout):
        open_page(page, tmp_path / "profile", deadline_s=4)
    assert time.monotonic() - start < 10
