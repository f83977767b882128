"""The report and the 3-D view, opened in headless Chromium with the network off."""

import shutil
import subprocess

import numpy as np
import pytest
from matplotlib.image import imread

from korvex import Bed, Chevron, QualitySeries, simulate
from korvex.report import write_report
from korvex.views import save_view, study_view_3d

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


def open_page(page, tmp_path, *extra):
    command = [*offline_prefix(), CHROMIUM, *FLAGS, *NO_NETWORK_FLAGS, f"--user-data-dir={tmp_path / 'profile'}",
               *extra, page.as_uri()]
    return subprocess.run(command, capture_output=True, text=True, timeout=180, check=True)


def script_errors(log):
    return [line for line in log.splitlines() if "Uncaught" in line or ("CONSOLE" in line and "rror" in line)]


def screenshot_colours(page, tmp_path, size):
    shot = tmp_path / f"{page.stem}.png"
    run = open_page(page, tmp_path, f"--screenshot={shot}", f"--window-size={size}")
    image = imread(shot)[:, :, :3]
    pixels = (image.reshape(-1, 3) * 255).astype(np.uint8)
    distinct = np.unique(pixels, axis=0).shape[0]
    coloured = float(np.mean(np.any(pixels < 235, axis=1)))
    return run, image, distinct, coloured


def simulated(engine=None):
    series = QualitySeries.from_array(
        np.random.default_rng(4).normal(size=(400, 2)), ("CaO", "SiO2"), interval_s=60.0, volume_m3=2.0
    )
    return simulate(series, Chevron(layers=10), Bed(length_m=50.0, depth_m=16.0, engine=engine), seed=9,
                    progress=False, record_particles=True)


@pytest.fixture(scope="module")
def study():
    return simulated()


@pytest.mark.slow
@pytest.mark.parametrize("engine", ["layered", "fast"])
def test_the_3d_view_renders_its_canvas_without_a_network(engine, tmp_path):
    # The layered engine's view draws points sampled in its layers, the fast engine's its particles.
    figure = study_view_3d(simulated(engine))
    assert figure.data[1].name == ("layers" if engine == "layered" else "particles")
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


@pytest.mark.slow
def test_the_report_renders_its_figures_and_3d_view_without_a_network(study, tmp_path):
    page = write_report(study, tmp_path / "report.html", reclaim_rate_m3_per_h=500.0)
    dom = open_page(page, tmp_path, "--dump-dom")
    assert "gl-container" in dom.stdout and "<canvas" in dom.stdout
    assert dom.stdout.count('<img src="data:image/png;base64,') == 7
    assert script_errors(dom.stderr) == []
    run, image, distinct, coloured = screenshot_colours(page, tmp_path, "1300,2600")
    assert script_errors(run.stderr) == []
    assert distinct > 500 and coloured > 0.1, (distinct, coloured)


def test_the_error_scan_sees_a_script_that_fails(tmp_path):
    # Without this, a scan that never matches would pass every page.
    page = tmp_path / "broken.html"
    page.write_text("<!DOCTYPE html><html><body><p>x</p><script>notDefinedAnywhere();</script></body></html>")
    errors = script_errors(open_page(page, tmp_path, "--dump-dom").stderr)
    assert len(errors) == 1 and "notDefinedAnywhere" in errors[0]
