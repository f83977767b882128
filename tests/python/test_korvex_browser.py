"""The report and the 3-D view, opened in headless Chromium with the network off."""

import shutil
import subprocess

import numpy as np
import pytest
from matplotlib.image import imread

from korvex import Bed, Chevron, QualitySeries, simulate
from korvex.views import save_view, stacking_hours, view_3d

CHROMIUM = shutil.which("chromium")
pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed, so no page can be opened")

FLAGS = [
    "--headless",
    "--no-sandbox",
    "--disable-dev-shm-usage",
    "--use-gl=swiftshader",
    "--enable-unsafe-swiftshader",
    "--hide-scrollbars",
    "--virtual-time-budget=20000",
    "--enable-logging=stderr",
    "--v=0",
]
# Should a network namespace be out of reach, no name resolves and every request goes to a closed port.
NO_NETWORK_FLAGS = ["--proxy-server=127.0.0.1:9", "--host-resolver-rules=MAP * ~NOTFOUND"]


def offline_prefix():
    """unshare -n where this machine allows a process its own, empty network namespace."""
    unshare = shutil.which("unshare")
    if unshare and subprocess.run([unshare, "-n", "true"], capture_output=True).returncode == 0:
        return [unshare, "-n"]
    return []


def open_page(page, tmp_path, *extra, anchor=""):
    command = [*offline_prefix(), CHROMIUM, *FLAGS, *NO_NETWORK_FLAGS, f"--user-data-dir={tmp_path / 'profile'}",
               *extra, page.as_uri() + anchor]
    return subprocess.run(command, capture_output=True, text=True, timeout=600, check=True)


def script_errors(log):
    return [line for line in log.splitlines() if "Uncaught" in line or ("CONSOLE" in line and "rror" in line)]


def screenshot_colours(page, tmp_path, size, anchor=""):
    shot = tmp_path / f"{page.stem}.png"
    run = open_page(page, tmp_path, f"--screenshot={shot}", f"--window-size={size}", anchor=anchor)
    image = imread(shot)[:, :, :3]
    pixels = (image.reshape(-1, 3) * 255).astype(np.uint8)
    distinct = np.unique(pixels, axis=0).shape[0]
    coloured = float(np.mean(np.any(pixels < 235, axis=1)))
    return run, image, distinct, coloured


@pytest.fixture(scope="module")
def study():
    series = QualitySeries.from_array(
        np.random.default_rng(4).normal(size=(400, 2)), ("CaO", "SiO2"), interval_s=60.0, volume_m3=2.0
    )
    return simulate(series, Chevron(layers=10), Bed(length_m=50.0, depth_m=16.0), seed=9, progress=False,
                    record_particles=True)


def test_the_3d_view_renders_its_canvas_without_a_network(study, tmp_path):
    hours = stacking_hours(study.particles, study.chunks, study.bed.particle_volume_m3)
    figure = view_3d(study.heights, bed=study.bed, particles=study.particles, reclaimed=study.reclaimed,
                     time_h=hours, title=study.describe())
    page = save_view(figure, tmp_path / "view.html")
    dom = open_page(page, tmp_path, "--dump-dom")
    assert "gl-container" in dom.stdout and "<canvas" in dom.stdout
    assert 'class="slider-container"' in dom.stdout
    assert script_errors(dom.stderr) == []
    run, image, distinct, coloured = screenshot_colours(page, tmp_path, "1200,800")
    assert script_errors(run.stderr) == []
    # The pile and its particles fill the scene with many colours, not a blank page with a message.
    assert distinct > 500 and coloured > 0.1, (distinct, coloured)
    middle = image[200:600, 200:1000].reshape(-1, 3)
    assert np.unique(middle, axis=0).shape[0] > 200


def test_the_report_renders_its_figures_and_3d_view_without_a_network(study, tmp_path):
    page = study.report(tmp_path / "report.html", reclaim_rate_m3_per_h=500.0)
    dom = open_page(page, tmp_path, "--dump-dom")
    assert "gl-container" in dom.stdout and "<canvas" in dom.stdout
    assert dom.stdout.count('<img src="data:image/png;base64,') == 7
    assert script_errors(dom.stderr) == []
    run, image, distinct, coloured = screenshot_colours(page, tmp_path, "1300,2600")
    assert script_errors(run.stderr) == []
    assert distinct > 500 and coloured > 0.1, (distinct, coloured)


def scale_share(pixels, scale):
    """The share of pixels within a few levels of a plotly colour scale, and in how many of its tenths
    they fall: particles are drawn in the scale's colours, flat, at every point of it."""
    from plotly.colors import sample_colorscale, unlabel_rgb

    path = np.array([unlabel_rgb(c) for c in sample_colorscale(scale, np.linspace(0, 1, 201))], dtype=float)
    distance = np.linalg.norm(pixels[:, None, :].astype(float) - path[None, :, :], axis=2)
    near = distance.min(axis=1) < 8
    tenths = np.unique(np.minimum(distance[near].argmin(axis=1) // 20, 9)).size
    return float(near.mean()), int(tenths)


@pytest.mark.parametrize("colour", ["CaO", "time"])
def test_the_3d_views_canvas_shows_the_piles_colours(study, tmp_path, colour):
    from plotly.colors import diverging, sequential

    page = save_view(study.view_3d(colour=colour), tmp_path / "view.html")
    run, image, _, _ = screenshot_colours(page, tmp_path, "1200,800")
    assert script_errors(run.stderr) == []
    scale = diverging.RdYlBu if colour == "CaO" else sequential.Viridis
    # The scene, left of the colour bars: its particles wear the colour scale from end to end.
    scene = (image[150:600, 100:950].reshape(-1, 3) * 255).astype(np.uint8)
    share, tenths = scale_share(scene, scale)
    assert share > 0.02 and tenths >= 7, (share, tenths)
    # Without particles the scene holds the surface's colours only.
    bare = save_view(view_3d(study.heights, bed=study.bed, title="surface"), tmp_path / "bare.html")
    _, image, _, _ = screenshot_colours(bare, tmp_path, "1200,800")
    share, tenths = scale_share((image[150:600, 100:950].reshape(-1, 3) * 255).astype(np.uint8), scale)
    assert share < 0.002, (share, tenths)


@pytest.mark.slow
def test_the_reports_3d_view_shows_the_pile_of_a_plant_sized_bed(tmp_path):
    # A plant's bed records about a million particles: the page draws a quarter of a million, cut open.
    series = QualitySeries.from_array(
        np.random.default_rng(2).normal(40, 2, size=(2000, 1)), ("CaO",), interval_s=60.0, volume_m3=12.0
    )
    study = simulate(series, Chevron(layers=30), Bed(length_m=200.0, depth_m=40.0), seed=3, progress=False,
                     record_particles=True, bulk_density_t_per_m3=1.45)
    page = study.report(tmp_path / "report.html", reclaim_rate_m3_per_h=700.0)
    assert page.stat().st_size < 10_000_000
    text = page.read_text(encoding="utf-8")
    assert "<td>1.45 t/m³</td>" in text and "<td>700 m³/h</td>" in text
    from plotly.colors import sequential

    run, image, _, _ = screenshot_colours(page, tmp_path, "1300,900", anchor="#section-7")
    assert script_errors(run.stderr) == []
    scene = (image[150:750, 100:1000].reshape(-1, 3) * 255).astype(np.uint8)
    share, tenths = scale_share(scene, sequential.Viridis)
    assert share > 0.02 and tenths >= 7, (share, tenths)


def test_the_error_scan_sees_a_script_that_fails(tmp_path):
    # Without this, a scan that never matches would pass every page.
    page = tmp_path / "broken.html"
    page.write_text("<!DOCTYPE html><html><body><p>x</p><script>notDefinedAnywhere();</script></body></html>")
    errors = script_errors(open_page(page, tmp_path, "--dump-dom").stderr)
    assert len(errors) == 1 and "notDefinedAnywhere" in errors[0]
