import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from korvex import Bed, Chevron, ChunkTable, Circular, ConeShell, QualitySeries, Strata, Windrow

STRAIGHT = Bed(length_m=60.0, depth_m=10.0, particles_per_m3=1.0)
ROUND = Bed(length_m=40.0, depth_m=30.0, circular=True)

PLANS = [
    (Chevron(layers=5), STRAIGHT),
    (Chevron(stacker_speed_m_per_min=3.0, blending_tail_m=0.0), STRAIGHT),
    (Windrow(layers=3, rows=3), STRAIGHT),
    (Windrow(stacker_speed_m_per_min=7.0, rows=2, chunk_length_m=2.5), STRAIGHT),
    (ConeShell(cone_step_m=4.0), STRAIGHT),
    (Strata(layers=2, lane_spacing_m=3.0), STRAIGHT),
    (Circular(layers=3), ROUND),
    (Circular(stacker_speed_m_per_min=11.0), ROUND),
]


def uneven_series(rows: int = 200, seed: int = 3) -> QualitySeries:
    rng = np.random.default_rng(seed)
    time = np.cumsum(rng.uniform(10, 90, rows))
    volume = rng.uniform(0.0, 5.0, rows)
    values = rng.normal([40.0, 12.0], [2.0, 1.0], (rows, 2))
    return QualitySeries(time, volume, values, ("CaO", "SiO2"))


def assert_on_bed(table: ChunkTable, bed: Bed) -> None:
    assert np.all((table.x >= 0) & (table.x <= bed.length_m))
    assert np.all((table.z >= 0) & (table.z <= bed.depth_m))


@pytest.mark.parametrize(
    ("plan", "bed"), PLANS, ids=[f"{type(plan).__name__}-{k}" for k, (plan, _) in enumerate(PLANS)]
)
def test_plans_keep_volume_and_stay_on_the_bed(plan, bed):
    series = uneven_series()
    table = plan.chunks(series, bed)
    assert table.total_volume_m3 == pytest.approx(series.total_volume_m3, rel=1e-12)
    assert_on_bed(table, bed)
    assert table.columns == ["timestamp", "x", "z", "volume", "CaO", "SiO2"]
    # Every chunk carries its delivery's quality, in delivery order.
    for k, name in enumerate(series.names):
        assert np.all(np.isin(table.values[:, k], series.column(name)))
    assert np.all(np.diff(table.timestamp) >= 0)


@pytest.mark.slow
@settings(max_examples=60, deadline=None)
@given(
    volumes=st.lists(st.floats(0.0, 50.0), min_size=1, max_size=40).filter(lambda v: sum(v) > 0),
    length=st.floats(5.0, 200.0),
    depth=st.floats(2.0, 60.0),
    layers=st.integers(1, 30),
    tail=st.floats(0.0, 0.49),
)
def test_chevron_volume_and_positions_hold_for_any_delivery_pattern(volumes, length, depth, layers, tail):
    bed = Bed(length_m=length, depth_m=depth)
    series = QualitySeries.from_array(np.arange(len(volumes), dtype=float), volume_m3=volumes)
    table = Chevron(layers=layers, blending_tail_m=tail * length).chunks(series, bed)
    assert table.total_volume_m3 == pytest.approx(sum(volumes), rel=1e-9)
    assert_on_bed(table, bed)
    # No chunk spans more than one cell of travel.
    assert len(table) <= len(volumes) + layers * (length - 2 * tail * length) / bed.cell_size_m + layers + 1


def test_chevron_runs_end_to_end_and_back_with_one_chunk_per_cell():
    bed = Bed(length_m=24.0, depth_m=8.0, particles_per_m3=1.0)
    series = QualitySeries.from_array(np.arange(40.0))
    table = Chevron(layers=2, blending_tail_m=2.0).chunks(series, bed)
    # 20 m between the tails, 2 passes, 40 deliveries: each delivery is one 1 m chunk.
    assert len(table) == 40
    np.testing.assert_allclose(table.x[:20], np.arange(20) + 2.5)
    np.testing.assert_allclose(table.x[20:], 22 - np.arange(20) - 0.5)
    np.testing.assert_allclose(table.z, 4.0)


@pytest.mark.parametrize("stop_s", [0.0, 7200.0])
def test_stacker_speed_follows_the_clock_while_material_flows(stop_s):
    bed = Bed(length_m=100.0, depth_m=10.0, particles_per_m3=1.0)
    # Ten minutes of deliveries at 2 m/min: 20 m of travel, whatever the volumes;
    # during a stop of the feed the stacker waits.
    time = np.arange(0.0, 600.0, 60.0) + np.where(np.arange(10) >= 5, stop_s, 0.0)
    series = QualitySeries(time, np.linspace(1, 10, 10), np.zeros(10), ("q",))
    plan = Chevron(stacker_speed_m_per_min=2.0, blending_tail_m=5.0)
    table = plan.chunks(series, bed)
    assert table.x.min() == pytest.approx(5.5)
    assert table.x.max() == pytest.approx(24.5)
    assert plan.passes(series, bed) == pytest.approx(20 / 90)


def test_windrows_lie_side_by_side_then_in_the_valleys():
    bed = Bed(length_m=30.0, depth_m=12.0)
    series = QualitySeries.from_array(np.zeros(600))
    plan = Windrow(layers=2, rows=3, blending_tail_m=5.0)
    table = plan.chunks(series, bed)
    lanes_in_order = table.z[np.r_[True, np.diff(table.z) != 0]]
    np.testing.assert_allclose(lanes_in_order, [2.0, 6.0, 10.0, 4.0, 8.0])
    assert plan.passes(series, bed) == pytest.approx(5)


def test_strata_cover_the_width_in_every_layer():
    bed = Bed(length_m=30.0, depth_m=12.0)
    series = QualitySeries.from_array(np.zeros(600))
    table = Strata(layers=2, lane_spacing_m=4.0, blending_tail_m=5.0).chunks(series, bed)
    lanes_in_order = table.z[np.r_[True, np.diff(table.z) != 0]]
    # The second layer starts in the lane where the first ended and crosses back.
    np.testing.assert_allclose(lanes_in_order, [2.0, 6.0, 10.0, 6.0, 2.0])


def test_cone_shell_builds_equal_cones_one_after_another():
    bed = Bed(length_m=50.0, depth_m=10.0)
    series = uneven_series(rows=300)
    table = ConeShell(cone_step_m=10.0, blending_tail_m=5.0).chunks(series, bed)
    stations = np.unique(table.x)
    np.testing.assert_allclose(stations, [5.0, 15.0, 25.0, 35.0, 45.0])
    assert np.all(np.diff(table.x) >= 0)
    shares = [table.volume[table.x == x].sum() for x in stations]
    np.testing.assert_allclose(shares, series.total_volume_m3 / 5)


def test_circular_plan_follows_the_centre_line_in_reclaim_direction():
    series = QualitySeries.from_array(np.zeros(400))
    table = Circular(layers=1).chunks(series, ROUND)
    dx, dz = table.x - 20.0, table.z - 15.0
    np.testing.assert_allclose(np.hypot(dx, dz), ROUND.circle_radius_m)
    angle = np.unwrap(np.arctan2(dz, dx))
    assert angle[0] == pytest.approx(np.pi, abs=0.05)
    assert np.all(np.diff(angle) < 0)
    assert angle[-1] == pytest.approx(-np.pi, abs=0.05)


@pytest.mark.parametrize(
    ("make", "bed", "message"),
    [
        (lambda: Chevron(), ROUND, "straight bed"),
        (lambda: Circular(), STRAIGHT, "circular bed"),
        (lambda: Chevron(blending_tail_m=30.0), STRAIGHT, "no room"),
        (lambda: ConeShell(blending_tail_m=31.0), STRAIGHT, "longer than the bed"),
        (lambda: Chevron(layers=3, stacker_speed_m_per_min=1.0), STRAIGHT, "not both"),
        (lambda: Windrow(layers=0), STRAIGHT, "at least 1"),
        (lambda: Strata(lane_spacing_m=-1.0), STRAIGHT, "lane_spacing_m"),
    ],
)
def test_plans_refuse_what_they_cannot_stack(make, bed, message):
    with pytest.raises(ValueError, match=message):
        make().chunks(uneven_series(), bed)


def test_chunk_table_round_trips_through_a_frame():
    table = Chevron(layers=2).chunks(uneven_series(rows=20), STRAIGHT)
    again = ChunkTable.from_frame(table.to_frame())
    np.testing.assert_array_equal(again.data, table.data)
    assert again.quality_names == table.quality_names
    batches = list(table.batches(3))
    assert len(batches) == 3
    np.testing.assert_array_equal(np.vstack(batches), table.data)
