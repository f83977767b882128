"""The layered engine through both of the package's faces: deterministic, conserving, settings with units."""

import numpy as np
import pytest

import korvex
from korvex import _native
from korvex.stockpile import native_settings

COLUMNS = ["timestamp", "x", "z", "volume", "CaO", "SiO2"]


def chevron_feed(passes=6, chunks_per_pass=60, seed=0):
    """A stacker going to and fro along the centre line of a 30 m x 12 m bed, noisy quality values."""
    rng = np.random.default_rng(seed)
    along = np.linspace(4.0, 26.0, chunks_per_pass)
    x = np.concatenate([along if p % 2 == 0 else along[::-1] for p in range(passes)])
    count = x.size
    return np.column_stack([np.arange(count), x, np.full(count, 6.0), np.full(count, 1.5),
                            42 + rng.normal(size=count), 13 + rng.normal(size=count)])


def layered(**extra):
    return _native.Simulator(length_m=30, depth_m=12, engine="layered", cell_size_m=0.5, **extra)


def test_runs_with_different_seeds_give_identical_results():
    results = []
    for seed in (1, 2):
        simulator = layered(seed=seed)
        simulator.stack(chevron_feed(), COLUMNS)
        results.append((simulator.heights(), *simulator.reclaim(step_m=0.7)))
    for first, second in zip(*results, strict=True):
        np.testing.assert_array_equal(first, second)


@pytest.mark.parametrize("angle", [30.0, 45.0, 90.0])
def test_every_total_comes_out_as_it_went_in(angle):
    table = chevron_feed()
    simulator = layered(reclaim_angle_deg=angle, segments_per_column=8)
    simulator.stack(table, COLUMNS)
    _, volume, values = simulator.reclaim()
    assert volume.sum() == pytest.approx(table[:, 3].sum(), rel=1e-12)
    full = volume > 0
    totals = (values[full] * volume[full, None]).sum(axis=0)
    np.testing.assert_allclose(totals, (table[:, 4:] * table[:, 3:4]).sum(axis=0), rtol=1e-12)


def test_the_ridge_stands_at_the_angle_of_repose_it_is_given():
    steep, flat = layered(angle_of_repose_deg=40.0), layered(angle_of_repose_deg=30.0)
    for simulator in (steep, flat):
        simulator.stack(chevron_feed(), COLUMNS)
    # Same volume: the steeper material stands higher on a narrower base.
    assert steep.heights().max() > flat.heights().max()
    assert np.count_nonzero(steep.heights()) < np.count_nonzero(flat.heights())
    section = steep.heights()[:, 30].astype(float)  # across the body, 15 m along
    rises = np.abs(np.diff(section))[(section[1:] > 0) & (section[:-1] > 0)]
    # Never steeper than the angle of repose; low on the flanks, where the stream's cones meet the section
    # nearly head on, at it.
    assert rises.max() <= np.tan(np.radians(40.0)) * 0.5 * (1 + 1e-6)
    assert rises.max() == pytest.approx(np.tan(np.radians(40.0)) * 0.5, rel=0.01)


@pytest.mark.parametrize(
    "setting, value, message",
    [
        ("angle_of_repose_deg", 95.0, "angle_of_repose_deg"),
        # A denormal angle passed a check for > 0 and divided by tan 0 when the bed's capacity was worked out.
        ("angle_of_repose_deg", 5e-324, "angle_of_repose_deg must be at least 15 ° and at most 70 °"),
        ("stream_footprint_m", -1.0, "stream_footprint_m"),
        ("segments_per_column", 1, "segments_per_column"),
        ("record_particles", True, "layers, not particles"),
        ("circular", True, "circular"),
    ],
)
def test_settings_it_cannot_work_with_are_refused_by_name(setting, value, message):
    with pytest.raises(ValueError, match=message):
        layered(**{setting: value})


def test_the_package_simulates_a_bed_on_the_layered_engine():
    bed = korvex.Bed(length_m=60, depth_m=16, engine="layered", particles_per_m3=8, angle_of_repose_deg=36.0)
    handed = native_settings(bed)
    assert (handed["particles_per_m3"], handed["angle_of_repose_deg"], handed["segments_per_column"]) == (8, 36.0, 256)
    assert bed.cell_size_m == 0.5
    series = korvex.synthetic_series(hours=2, interval_s=60, seed=3)
    study = korvex.simulate(series, korvex.Chevron(layers=20), bed, progress=False, seed=3)
    assert study.reclaimed.volume_m3.sum() == pytest.approx(series.volume_m3.sum(), rel=1e-9)
    assert study.angle_of_repose_deg == 36.0
    again = korvex.simulate(series, korvex.Chevron(layers=20), bed, progress=False, seed=4)
    assert again.homogenisation()[0].vrr == study.homogenisation()[0].vrr
    with pytest.raises(ValueError, match="straight beds"):
        korvex.Bed(engine="layered", circular=True)


def test_layers_hold_every_segment_and_every_total_until_reclaimed():
    table = chevron_feed()
    simulator = layered(segments_per_column=8)
    simulator.stack(table, COLUMNS)
    layers = simulator.layers()
    assert list(layers) == ["x_m", "z_m", "bottom_m", "top_m", "volume_m3", "delivery", "CaO", "SiO2"]
    assert len({array.size for array in layers.values()}) == 1 and layers["x_m"].size > 1000
    volume = layers["volume_m3"]
    assert volume.sum() == pytest.approx(table[:, 3].sum(), rel=1e-12)
    for k, name in enumerate(("CaO", "SiO2")):
        assert (layers[name] * volume).sum() == pytest.approx((table[:, 4 + k] * table[:, 3]).sum(), rel=1e-12)
    assert (layers["delivery"] * volume).sum() == pytest.approx((np.arange(len(table)) * table[:, 3]).sum(), rel=1e-12)
    assert layers["delivery"].min() >= 0 and layers["delivery"].max() <= len(table) - 1
    # Within a column the segments are listed from the ground up, each starting where the one below ends, and
    # the highest ends at the column's height.
    assert np.all(layers["top_m"] > layers["bottom_m"])
    same_column = (layers["x_m"][1:] == layers["x_m"][:-1]) & (layers["z_m"][1:] == layers["z_m"][:-1])
    np.testing.assert_allclose(layers["bottom_m"][1:][same_column], layers["top_m"][:-1][same_column], atol=1e-12)
    heights = simulator.heights()
    column = np.round(layers["x_m"] / 0.5 - 0.5).astype(int)
    row = np.round(layers["z_m"] / 0.5 - 0.5).astype(int)
    last = np.append(~same_column, True)
    np.testing.assert_allclose(layers["top_m"][last], heights[row[last], column[last]], rtol=1e-6)
    simulator.reclaim()
    assert all(array.size == 0 for array in simulator.layers().values())


@pytest.mark.parametrize("engine", ["fast", "detailed"])
def test_layers_are_refused_by_the_engines_that_keep_none(engine):
    simulator = _native.Simulator(length_m=8, depth_m=8, engine=engine, seed=1)
    with pytest.raises(RuntimeError, match=f"pile of the {engine} engine keeps no layers"):
        simulator.layers()


def test_a_quality_named_as_a_layer_array_is_refused_by_name():
    simulator = layered()
    simulator.stack(chevron_feed(passes=1), ["timestamp", "x", "z", "volume", "top_m", "SiO2"])
    with pytest.raises(ValueError, match='"top_m" has the name of one of the layers'):
        simulator.layers()


def test_a_layered_stockpile_saved_and_loaded_goes_on_alike_and_only_on_its_own_engine(tmp_path):
    bed = korvex.Bed(length_m=30, depth_m=12, engine="layered", particles_per_m3=8)
    pile = korvex.Stockpile(bed, seed=1)
    chunks = korvex.ChunkTable(chevron_feed(passes=2), COLUMNS[4:])
    pile.stack(chunks, progress=False)
    pile.save(tmp_path / "bed.kvx", b"note")
    loaded, note = korvex.Stockpile.load(tmp_path / "bed.kvx", bed, pile.stacked_volume_m3)
    assert note == b"note"
    for each in (pile, loaded):
        each.stack(korvex.ChunkTable(chevron_feed(passes=2, seed=1), COLUMNS[4:]), progress=False)
    np.testing.assert_array_equal(loaded.reclaim().values, pile.reclaim().values)
    fast_bed = korvex.Bed(length_m=30, depth_m=12, particles_per_m3=8, engine="fast")
    with pytest.raises(ValueError, match="layered engine, not one of this bed's fast"):
        korvex.Stockpile.load(tmp_path / "bed.kvx", fast_bed, 0.0)


def test_the_bed_refuses_an_angle_of_repose_no_bulk_material_stands_at():
    with pytest.raises(korvex.SettingsError, match=r"angle_of_repose_deg must be at least 15 ° and at most 70 °, got 5e-324 °"):
        korvex.Bed(angle_of_repose_deg=5e-324)
    assert korvex.Bed(angle_of_repose_deg=15).angle_of_repose_deg == 15


MEMORY_BOUND = r"may take about [\d.e+]+ GB, more than the 4.29497 GB bound"


@pytest.mark.parametrize(
    "build",
    [
        # A stream of 1 cm made cells of 1 cm: 1.5e8 of them, about 12 GB before the first delivery.
        pytest.param(lambda: korvex.Stockpile(korvex.Bed(stream_footprint_m=0.01)), id="bed"),
        pytest.param(
            lambda: _native.Simulator(length_m=16384, depth_m=16384, engine="layered", cell_size_m=1), id="simulator"
        ),
        pytest.param(lambda: _native.geometry(engine="layered", cell_size_m=1.0, qualities=3000), id="geometry"),
    ],
)
def test_a_bed_beyond_the_memory_bound_is_refused_before_it_is_built(build):
    with pytest.raises(ValueError, match=MEMORY_BOUND):
        build()


def test_more_quality_values_than_the_bed_has_room_for_are_refused_before_any_is_stacked():
    pile = _native.Simulator(length_m=2, depth_m=2, engine="layered", cell_size_m=0.02)
    columns = ["timestamp", "x", "z", "volume", *(f"q{k}" for k in range(1000))]
    with pytest.raises(ValueError, match="1000 quality values each, " + MEMORY_BOUND + ".*nothing was stacked"):
        pile.stack(np.ones((3, len(columns))), columns)
    feed = chevron_feed(passes=1)
    feed[:, 1:3] = 1.0
    pile.stack(feed, COLUMNS)
    assert pile.quality_names == ("CaO", "SiO2")
    assert pile.reclaim()[1].sum() == pytest.approx(feed[:, 3].sum())


@pytest.mark.parametrize(
    "bed",
    [
        # Smaller than a cell of the layered engine's default 0.5 m.
        dict(length_m=0.2, depth_m=0.2, cell_size_m=0.1, stream_footprint_m=0.1),
        # Within the memory bound on its own 2 m cells, beyond it on 0.5 m cells.
        dict(length_m=2000, depth_m=1000, cell_size_m=2.0, segments_per_column=16),
    ],
    ids=["small", "coarse"],
)
def test_a_reclaim_step_is_checked_on_the_beds_own_cells(bed):
    pile = _native.Simulator(engine="layered", **bed)
    pile.stack(np.array([[0.0, bed["length_m"] / 2, bed["depth_m"] / 2, 0.001, 1.0]]), ["timestamp", "x", "z", "volume", "q"])
    assert pile.reclaim(0.1)[1].sum() == pytest.approx(0.001)
