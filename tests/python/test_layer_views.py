"""Sections and 3-D views drawn from the layered engine's layers."""

import numpy as np
import pytest
from matplotlib.collections import PolyCollection

from korvex import Bed, Chevron, QualitySeries, simulate
from korvex.chunks import ChunkTable
from korvex.results import HeightMap, Layers
from korvex.stockpile import Stockpile
from korvex.views import cut_layers, delivery_hours, layer_hours, sample_layers, section_figure, view_3d

BED = Bed(length_m=3.0, depth_m=2.0, particles_per_m3=1.0)


def grid_layers():
    """Three columns along x by two across z of 1 m, column (i, j) holding i + j + 1 layers of 0.5 m whose
    q counts up from the ground, each holding the volume of its 1 m x 1 m x 0.5 m box."""
    rows = []
    for i in range(3):
        for j in range(2):
            for k in range(i + j + 1):
                rows.append((i + 0.5, j + 0.5, 0.5 * k, 0.5 * (k + 1), 0.5, 10.0 * i + k, 100 * i + 10 * j + k))
    x, z, bottom, top, volume, delivery, q = np.array(rows).T
    return Layers(x, z, bottom, top, volume, delivery, q[:, None], ("q",), 1.0)


@pytest.mark.parametrize(
    ("place", "columns"),
    [({"x_m": 0.2}, {(0, 0), (0, 1)}), ({"x_m": 3.0}, {(2, 0), (2, 1)}), ({"z_m": 1.5}, {(0, 1), (1, 1), (2, 1)})],
)
def test_a_section_holds_every_layer_of_the_cells_its_plane_cuts(place, columns):
    layers = grid_layers()
    section = cut_layers(layers, BED, colour="q", **place)
    expected = sum(i + j + 1 for i, j in columns)
    assert len(section) == expected
    # q names each layer's column and level: the section shows exactly those of the cut columns.
    codes = section.colour.astype(int)
    assert {(code // 100, code // 10 % 10) for code in codes} == columns
    along = "z_m" in place
    np.testing.assert_array_equal(section.start_m, np.floor((codes // 100 if along else codes // 10 % 10)))
    np.testing.assert_array_equal(section.top_m - section.bottom_m, 0.5)


def test_every_layer_falls_into_one_section_across_and_one_along():
    layers = grid_layers()
    across = [len(cut_layers(layers, BED, x_m=x)) for x in (0.5, 1.5, 2.5)]
    along = [len(cut_layers(layers, BED, z_m=z)) for z in (0.5, 1.5)]
    assert sum(across) == sum(along) == len(layers)
    assert across == [3, 5, 7]


def test_a_layer_section_is_drawn_as_one_band_a_layer_from_its_bottom_to_its_top():
    layers = grid_layers()
    hours = np.linspace(0.0, 2.0, len(layers))
    section = cut_layers(layers, BED, z_m=0.5, time_h=hours)
    figure = section_figure(section, footer="stamp")
    figure.canvas.draw()
    (axes,) = figure.axes
    (bands,) = [item for item in axes.collections if isinstance(item, PolyCollection)]
    corners = np.array([path.vertices[:4] for path in bands.get_paths()])
    assert corners.shape == (len(section), 4, 2)
    np.testing.assert_allclose(corners[:, :, 1].min(axis=1), section.bottom_m)
    np.testing.assert_allclose(corners[:, :, 1].max(axis=1), section.top_m)
    np.testing.assert_allclose(corners[:, :, 0].max(axis=1) - corners[:, :, 0].min(axis=1), 1.0)
    np.testing.assert_array_equal(bands.get_array(), section.colour)
    (bar,) = axes.child_axes
    assert bar.get_ylabel() == "stacking time [h]"
    assert "6 layers" in axes.get_title()


def test_a_layer_s_mean_delivery_reads_as_the_time_of_its_chunks():
    # The engine numbers only chunks that carry material.
    chunks = ChunkTable(
        np.array([[0.0, 1, 1, 1.0, 0], [1800, 1, 1, 0.0, 0], [3600, 1, 1, 1.0, 0], [7200, 1, 1, 1.0, 0]]), ("q",)
    )
    np.testing.assert_allclose(delivery_hours(np.array([0.0, 1.0, 1.5, 2.0]), chunks), [0.0, 1.0, 1.5, 2.0])


def test_points_are_sampled_in_the_layers_in_proportion_to_their_volume():
    layers = grid_layers()
    volume = np.where(np.arange(len(layers)) == 4, 30.0, 1.0)
    heavy = Layers(layers.x_m, layers.z_m, layers.bottom_m, layers.top_m, volume, layers.delivery,
                   layers.values, layers.names, layers.cell_size_m)
    count = 1000
    layer, x, y, z = sample_layers(heavy, count, seed=3)
    shares = np.bincount(layer, minlength=len(heavy))
    expected = count * volume / volume.sum()
    assert np.all(np.abs(shares - expected) <= 1)
    # Each point lies inside its layer's box.
    assert np.all(np.abs(x - heavy.x_m[layer]) <= 0.5) and np.all(np.abs(z - heavy.z_m[layer]) <= 0.5)
    assert np.all((y >= heavy.bottom_m[layer]) & (y <= heavy.top_m[layer]))


def test_the_3d_view_cuts_the_pile_open_along_its_centre_line_and_draws_the_layers_there():
    layers = grid_layers()
    heights = np.zeros((2, 3))
    for i, j, top in zip((layers.x_m - 0.5).astype(int), (layers.z_m - 0.5).astype(int), layers.top_m, strict=True):
        heights[j, i] = max(heights[j, i], top)
    figure = view_3d(HeightMap(heights, 1.0), bed=BED, layers=layers, colour="q", max_particles=450)
    surface, points = figure.data[:2]
    assert (points.type, points.name, len(points.x)) == ("scatter3d", "layers", 450)
    # The cut runs at z = 1 m, the near edge of the row on the centre line; the surface in front is left out.
    np.testing.assert_array_equal(points.y, 1.0)
    assert np.isnan(np.asarray(surface.z, dtype=float)[0]).all() and np.isfinite(surface.z[1]).all()
    # A point wears its layer's q, which names the layer's column (hundreds), row (tens) and level (ones): each of
    # the nine layers of row 1 gets its share of the points, and every point lies in its layer.
    codes = np.asarray(points.marker.color).astype(int)
    assert set(codes // 10 % 10) == {1}
    assert np.all(np.abs(np.bincount(np.unique(codes, return_inverse=True)[1]) - 450 / 9) <= 1)
    assert np.unique(codes).size == 9
    assert np.all(np.abs(np.asarray(points.x) - (codes // 100 + 0.5)) <= 0.5 + 0.005)
    level = codes % 10
    assert np.all((np.asarray(points.z) >= 0.5 * level - 0.005) & (np.asarray(points.z) <= 0.5 * level + 0.505))
    assert "450 points drawn in its 9 layers" in figure.layout.annotations[0].text
    with pytest.raises(ValueError, match="not both"):
        view_3d(HeightMap(heights, 1.0), bed=BED, layers=layers, particles=layers)


@pytest.fixture(scope="module")
def chevron_study():
    series = QualitySeries.from_array(
        np.random.default_rng(2).normal(size=(300, 2)), ("CaO", "SiO2"), interval_s=60.0, volume_m3=2.0
    )
    return simulate(series, Chevron(layers=8), Bed(length_m=40.0, depth_m=16.0), seed=11, progress=False,
                    record_particles=True)


def test_a_layered_study_records_its_layers_as_stacked_and_sections_show_them_in_stacking_order(chevron_study):
    study = chevron_study
    layers = study.layers
    assert study.particles is None and study.bed.engine == "layered"
    assert layers.total_volume_m3 == pytest.approx(study.chunks.total_volume_m3, rel=1e-9)
    assert layers.names == ("CaO", "SiO2") and layers.cell_size_m == pytest.approx(study.bed.cell_size_m)
    hours = layer_hours(study)
    chunk_hours = (study.chunks.timestamp - study.chunks.timestamp[0]) / 3600
    assert 0 <= hours.min() and hours.max() <= chunk_hours[-1]
    section = cut_layers(layers, study.bed, x_m=20.0, time_h=hours)
    assert len(section) > 50
    # On a ridge that only grows, each column's layers were laid from the ground up: in every column of the
    # section, the higher layer is the later one.
    for start in np.unique(section.start_m):
        column = section.start_m == start
        order = np.argsort(section.bottom_m[column])
        assert np.all(np.diff(section.colour[column][order]) >= -1e-9)
    with pytest.raises(ValueError, match="keeps layers, not particles"):
        Stockpile(study.bed, seed=1, record_particles=True).particles()
