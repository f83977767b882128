import numpy as np

from korvex import HeightMap, QualitySeries, Reclaimed
from korvex.plots import heights_figure, qualities_figure, save_figure

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def assert_png(path):
    data = path.read_bytes()
    assert data.startswith(PNG_SIGNATURE)
    assert len(data) > 5000


def test_plots_are_written_as_png(tmp_path):
    rng = np.random.default_rng(0)
    heights = HeightMap(rng.uniform(0, 5, (10, 40)), 1.0)
    series = QualitySeries.from_array(rng.normal(size=(50, 2)), ("a", "b"), interval_s=60.0)
    volume = np.r_[0.0, np.full(39, 2.5)]
    values = np.where(volume[:, None] > 0, rng.normal(size=(40, 2)), np.nan)
    reclaimed = Reclaimed(np.arange(40.0), volume, values, ("a", "b"))
    assert heights.extent_m == (0.0, 40.0, 0.0, 10.0)
    written = [
        save_figure(heights_figure(heights), tmp_path / "new" / "heights.png"),
        save_figure(qualities_figure(series, reclaimed), tmp_path / "qualities.png"),
    ]
    for path in written:
        assert_png(path)
