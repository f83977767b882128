import re

import numpy as np
import pytest
from scipy.stats import spearmanr

from korvex import Bed, Chevron, Particles, QualitySeries, Reclaimed, simulate
from korvex.chunks import ChunkTable
from korvex.equipment import reclaim_hours
from korvex.plots import bed_aspect, break_gaps, heights_figure, qualities_figure
from korvex.results import HeightMap
from korvex.views import (
    MAX_HTML_BYTES,
    TIME,
    cut_section,
    save_view,
    section_figure,
    stacking_hours,
    view_3d,
)

LAYERS = 4


@pytest.fixture(scope="module")
def detailed_chevron():
    """200 boxes of the detailed engine, stacked Chevron-style in LAYERS passes along 12 m."""
    bed = Bed(length_m=16.0, depth_m=10.0, engine="detailed", particles_per_m3=1.0)
    series = QualitySeries.from_array(np.linspace(0.0, 1.0, 200)[:, None], ("q",), interval_s=60.0, volume_m3=1.0)
    plan = Chevron(layers=LAYERS, blending_tail_m=2.0)
    return simulate(series, plan, bed, seed=5, progress=False, record_particles=True)


@pytest.fixture(scope="module")
def fast_chevron():
    bed = Bed(length_m=60.0, depth_m=20.0, particles_per_m3=1.0, engine="fast")
    series = QualitySeries.from_array(
        np.random.default_rng(1).normal(size=(600, 2)), ("CaO", "SiO2"), interval_s=60.0, volume_m3=3.0
    )
    return simulate(series, Chevron(layers=12), bed, seed=3, progress=False, record_particles=True)


def test_a_vertical_line_through_a_chevron_ridge_crosses_its_layers_in_stacking_order(detailed_chevron):
    study = detailed_chevron
    bed = study.bed
    hours = stacking_hours(study.particles, study.chunks, bed.particle_volume_m3)
    section = cut_section(study.particles, bed, x_m=bed.length_m / 2, time_h=hours, thickness_m=4.0)
    assert section.colour_label == "stacking time [h]"
    # Boxes are thrown at the stacking line and come to rest around it: the ridge's middle is where they lie.
    ridge_m = np.median(study.particles.z_m)
    line = np.abs(section.horizontal_m - ridge_m) <= 1.5
    heights, times = section.height_m[line], section.colour[line]
    assert line.sum() >= 2 * LAYERS
    layer = np.minimum((times / (study.series.duration_s / 3600) * LAYERS).astype(int), LAYERS - 1)
    # Every layer lies over the one before: the mean height of the bands climbs layer by layer.
    assert set(layer) == set(range(LAYERS))
    means = [heights[layer == k].mean() for k in range(LAYERS)]
    assert np.all(np.diff(means) > 0), means
    assert spearmanr(heights, times).statistic > 0.7


def test_stacking_hours_follow_the_chunk_that_completes_each_particle():
    chunks = ChunkTable(np.array([[0.0, 1, 1, 2.5, 0], [3600, 1, 1, 2.5, 0], [7200, 1, 1, 2.5, 0]]), ("q",))
    particles = Particles(np.arange(7), *np.zeros((3, 7)), np.zeros((7, 1)), ("q",))
    np.testing.assert_array_equal(stacking_hours(particles, chunks, 1.0), [0, 0, 1, 1, 1, 2, 2])


def test_the_fast_engine_puts_every_particle_into_exactly_one_section_of_each_kind(fast_chevron):
    study = fast_chevron
    bed, particles = study.bed, study.particles
    assert len(particles) == pytest.approx(study.series.total_volume_m3, abs=1)
    across = sum(len(cut_section(particles, bed, x_m=x)) for x in np.arange(0, bed.length_m, bed.cell_size_m))
    along = sum(len(cut_section(particles, bed, z_m=z)) for z in np.arange(0.3, bed.depth_m, bed.cell_size_m))
    assert across == along == len(particles)
    # Cell 10 spans 10 m to 11 m across the bed; a plane on the far edge cuts the last cell.
    middle = cut_section(particles, bed, z_m=bed.depth_m / 2, colour="SiO2")
    np.testing.assert_array_equal(middle.colour, particles.column("SiO2")[particles.z_m == 10.5])
    assert len(cut_section(particles, bed, x_m=bed.length_m)) == np.count_nonzero(particles.x_m == 59.5)
    # Cells stack from the ground up, one particle a level.
    levels = np.rint(middle.height_m / bed.cell_size_m - 0.5)
    for column in np.unique(middle.horizontal_m):
        stack = np.sort(levels[middle.horizontal_m == column])
        np.testing.assert_array_equal(stack, np.arange(stack.size))


@pytest.mark.parametrize(
    ("place", "colour", "message"),
    [
        ({"x_m": 3.0, "z_m": 4.0}, TIME, "not both"),
        ({}, TIME, "not both"),
        ({"x_m": 61.0}, TIME, "x_m = 61 m lies outside"),
        ({"z_m": -1.0}, TIME, "z_m = -1 m lies outside"),
        ({"x_m": 3.0}, "MgO", "one of the quality values"),
    ],
)
def test_a_section_refuses_a_bad_place_or_colour(fast_chevron, place, colour, message):
    with pytest.raises(ValueError, match=message):
        cut_section(fast_chevron.particles, fast_chevron.bed, colour=colour, **place)


@pytest.mark.parametrize("engine", ["fast", "detailed"])
def test_section_figures_have_metre_axes_a_colour_bar_and_a_readable_shape(fast_chevron, detailed_chevron, engine):
    study = fast_chevron if engine == "fast" else detailed_chevron
    bed = study.bed
    section = cut_section(study.particles, bed, z_m=bed.depth_m / 2, thickness_m=None if engine == "fast" else 2.0)
    figure = section_figure(section, footer=study.stamp)
    figure.canvas.draw()
    (axes,) = figure.axes
    (bar,) = axes.child_axes
    assert axes.get_xlabel().endswith("[m]") and axes.get_ylabel().startswith("height [m]")
    assert bar.get_ylabel() == "stacking order [particle drop index]"
    box = axes.get_window_extent()
    assert box.height / box.width > 0.15


@pytest.mark.parametrize(
    ("time", "expected_gaps"),
    [
        (np.arange(10.0), 0),
        (np.r_[np.arange(5.0), 50 + np.arange(5.0)], 1),
        (np.r_[np.arange(4.0), 40 + np.arange(4.0), 400 + np.arange(4.0)], 2),
    ],
)
def test_stops_of_the_feed_break_the_line(time, expected_gaps):
    t, v = break_gaps(time, time * 2)
    assert np.isnan(t).sum() == np.isnan(v).sum() == expected_gaps
    assert t.size == time.size + expected_gaps
    np.testing.assert_array_equal(t[~np.isnan(t)], time)


@pytest.mark.parametrize(("length_m", "depth_m", "stretched"), [(1000.0, 20.0, True), (100.0, 60.0, False)])
def test_a_long_thin_bed_is_drawn_readably(length_m, depth_m, stretched):
    stretch, width_in, height_in = bed_aspect(length_m, depth_m)
    assert (stretch > 1) == stretched
    heights = HeightMap(np.random.default_rng(0).uniform(0, 3, (int(depth_m), int(length_m))), 1.0)
    figure = heights_figure(heights)
    figure.canvas.draw()
    box = figure.axes[0].get_window_extent()
    figure_box = figure.bbox
    # The image fills the figure's width and most of its height: no strip in white space.
    assert box.width > 0.7 * figure_box.width
    assert box.height > 0.4 * figure_box.height
    assert ("drawn" in figure.axes[0].get_ylabel()) == stretched


def test_the_qualities_figure_names_its_vrr_and_e_and_shows_the_output_in_time(fast_chevron):
    study = fast_chevron
    time = study.series.time_s.copy()
    time[300:] += 12 * 3600  # a night without feed
    series = QualitySeries(time, study.series.volume_m3, study.series.values, study.series.names)
    hours = reclaim_hours(study.reclaimed, 900.0)
    assert hours[-1] == pytest.approx(study.reclaimed.total_volume_m3 / 900, rel=0.01)
    figure = qualities_figure(series, study.reclaimed, output_time_h=hours, figures=study.homogenisation())
    basis = figure.get_supxlabel()
    portion = study.homogenisation()[0].portion_m3
    assert "VRR = variance out / variance in" in basis and f"equal portions of {portion:.4g} m³" in basis
    first = study.homogenisation()[0]
    left, right = figure.axes[:2]
    assert right.get_title(loc="right") == f"CaO: VRR {first.vrr:.4f}, E {first.effect:.2f}"
    assert right.get_xlabel() == "" and figure.axes[-1].get_xlabel() == "reclaim time [h]"
    assert np.isnan(left.lines[0].get_xdata()).sum() == 1
    with pytest.raises(ValueError, match="reclaim_rate_m3_per_h must be positive"):
        reclaim_hours(study.reclaimed, 0.0)


def test_the_3d_view_samples_particles_above_its_limit_and_stays_small(fast_chevron, tmp_path):
    study = fast_chevron
    figure = view_3d(study.heights, bed=study.bed, particles=study.particles, reclaimed=study.reclaimed,
                     max_particles=500, title=study.describe())
    kinds = [trace.type for trace in figure.data]
    assert kinds[:2] == ["surface", "scatter3d"] and set(kinds[2:]) == {"mesh3d"}
    assert len(figure.data[1].x) == 500
    assert f"500 of {len(study.particles):,} particles drawn" in figure.layout.annotations[0].text
    # Cut open along the centre line: of the far half, those nearest the cut, and the surface cut alike.
    half = study.bed.depth_m / 2
    drawn = np.asarray(figure.data[1].y)
    behind = study.particles.z_m[study.particles.z_m >= half]
    assert drawn.min() >= round(half, 2) and drawn.max() <= round(np.sort(behind)[500], 2)
    rows = np.asarray(figure.data[0].y) < half
    assert np.isnan(np.asarray(figure.data[0].z, dtype=float)[rows]).all()
    steps = figure.layout.sliders[0].steps
    assert len(steps) == len(kinds) - 2
    # The slider opens on a whole slice, not on the sliver at the bed's end.
    volumes = study.reclaimed.volume_m3
    first = int(np.flatnonzero(np.round(study.reclaimed.position_m).astype(int) == int(steps[0].label))[0])
    assert volumes[first] >= 0.5 * np.median(volumes[volumes > 0]) and volumes[0] < volumes[first]
    # Each step shows the surface, the particles and its own face only, and the slice's averages.
    for number, step in enumerate(steps):
        assert step.args[0]["visible"] == [True, True] + [k == number for k in range(len(steps))]
        assert "CaO" in step.args[1]["title.text"] and "m³" in step.args[1]["title.text"]
    path = save_view(figure, tmp_path / "view.html")
    assert path.stat().st_size < MAX_HTML_BYTES
    page = path.read_text(encoding="utf-8")
    # plotly.js is inside the page: no script comes from elsewhere.
    assert re.search(r"<script[^>]*\bsrc=", page) is None and "Plotly.newPlot" in page
