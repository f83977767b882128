"""Sections and 3-D views drawn from the layered engine's layers."""

import numpy as np
import pytest
from matplotlib.collections import PolyCollection

from korvex import Bed
from korvex.chunks import ChunkTable
from korvex.results import HeightMap, Layers
from korvex.views import cut_layers, delivery_hours, sample_layers, section_figure, view_3d

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
                   layers.values, layers.names, layers.cell_m)
    count = 1000
    layer, x, y, z = sample_layers(heavy, count, seed=3)
    shares = np.bincount(layer, minlength=len(heavy))
    expected = count * volume / volume.sum()
    assert np.all(np.abs(shares - expected) <= 1)
    # Each point lies inside its layer's box.
    assert np.all(np.abs(x - heavy.x_m[layer]) <= 0.5) and np.all(np.abs(z - heavy.z_m[layer]) <= 0.5)
    assert np.all((y >= heavy.bottom_m[layer]) & (y <= heavy.top_m[layer]))


def test_the_3d_view_draws_points_in_the_layers_coloured_as_their_layer():
    layers = grid_layers()
    heights = np.zeros((2, 3))
    for i, j, top in zip((layers.x_m - 0.5).astype(int), (layers.z_m - 0.5).astype(int), layers.top_m, strict=True):
        heights[j, i] = max(heights[j, i], top)
    from korvex.results import HeightMap

    figure = view_3d(HeightMap(heights, 1.0), bed=BED, layers=layers, colour="q", max_particles=400)
    points = figure.data[1]
    assert (points.type, points.name, len(points.x)) == ("scatter3d", "layers", 400)
    # A point's colour is its layer's q, whose tens and hundreds name the column the point lies in.
    codes = np.asarray(points.marker.color).astype(int)
    assert np.all(np.abs(np.asarray(points.x) - (codes // 100 + 0.5)) <= 0.5 + 0.005)
    assert "400 points drawn in the 15 layers of the pile" in figure.layout.annotations[0].text
    with pytest.raises(ValueError, match="not both"):
        view_3d(HeightMap(heights, 1.0), bed=BED, layers=layers, particles=layers)
