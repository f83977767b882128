"""Circular beds run continuously: the ring plans, the engine that interleaves stacking and reclaiming,
and the figures of the output."""

import math

import numpy as np
import pandas as pd
import pytest

from korvex import Bed, Chevcon, ConeShell, QualitySeries, simulate, simulate_ring, synthetic_series
from korvex.cli import main
from korvex.study import RingStudy

# These rings lay hundreds of layers on cells of a metre, to run in a blink: what they test (mass, lag,
# phases, geometry) does not hang on resolving the layers, which a ring warns of as a straight bed does.
pytestmark = pytest.mark.filterwarnings("ignore::korvex.study.ResolutionWarning")

# A small ring: centre line 100.5 m, a pile 12 m wide, so 6 m high at the fast engine's 45 degrees.
RING = Bed(length_m=50.0, depth_m=50.0, circular=True, ring_radius_m=16.0, pile_width_m=12.0, particles_per_m3=1.0)
# One cubic metre a minute, a particle each: the ramp advances 1.67 m an hour, a turn in about 60 h.
MINUTE_S = 60.0


def feed(hours: float, value, *, seed: int = 0) -> QualitySeries:
    """A delivery of 1 m³ a minute, its quality value(t) (t in hours), or white noise when value is None."""
    time = np.arange(0.0, hours * 3600, MINUTE_S)
    if value is None:
        values = np.random.default_rng(seed).normal(40.0, 2.0, time.size)
    else:
        values = np.array([value(t / 3600) for t in time], dtype=np.float64)
    return QualitySeries(time, np.ones(time.size), values[:, None], ("CaO",))


def steady(study: RingStudy):
    return study.part(RingStudy.STEADY)


@pytest.mark.parametrize("angle", [45.0, 90.0])
def test_ring_conserves_mass_over_several_turns_and_ends_empty(angle):
    bed = Bed(**{**RING.__dict__, "reclaim_angle_deg": angle})
    series = feed(250, lambda t: 40.0 + math.sin(t))
    study = simulate_ring(series, Chevcon(), bed, seed=5)
    assert (study.output.position_m[-1] - study.output.position_m[0]) / bed.centre_line_m > 3.5
    # Less than a particle may wait to be cut when the feed ends.
    assert study.output.total_volume_m3 == pytest.approx(series.total_volume_m3, abs=1.0)
    full = study.output.volume_m3 > 0
    mean_out = np.average(study.output.values[full, 0], weights=study.output.volume_m3[full])
    assert mean_out == pytest.approx(np.average(series.values[:, 0], weights=series.volume_m3), abs=0.01)
    assert set(study.phase) == {RingStudy.STARTUP, RingStudy.STEADY, RingStudy.RUNOUT}
    assert np.all(np.diff(study.output.time_s) >= 0)
    assert np.all(study.stock_m3 >= -1.0)


def test_steady_output_mean_equals_the_feeds_and_comes_at_the_feed_rate():
    series = feed(250, None, seed=2)
    study = simulate_ring(series, Chevcon(), RING, seed=3)
    part = steady(study)
    full = part.volume_m3 > 0
    assert full.all()
    mean_out = np.average(part.values[:, 0], weights=part.volume_m3)
    figures = study.figures(RingStudy.STEADY)
    # The steady output's mean is the feed's within the error of a mean of that many independent portions.
    assert mean_out == pytest.approx(40.0, abs=4 * 2.0 / math.sqrt(part.total_volume_m3))
    rate = part.total_volume_m3 / (part.time_s[-1] - part.time_s[0]) * 3600
    assert rate == pytest.approx(60.0, rel=0.02)
    slice_s = RING.reclaim_step_m / study.schedule.advance_m_per_s
    assert figures.mean_residence_h * 3600 == pytest.approx(study.schedule.predicted_residence_s(45.0), abs=slice_s)


@pytest.mark.parametrize("angle", [90.0, 45.0])
def test_a_step_in_the_feed_reaches_the_output_after_the_geometric_lag(angle):
    bed = Bed(**{**RING.__dict__, "reclaim_angle_deg": angle})
    step_h = 120.0
    study = simulate_ring(feed(200, lambda t: float(t >= step_h)), Chevcon(), bed, seed=11)
    part = steady(study)
    assert part.values[0, 0] == 0.0 and part.values[-1, 0] == pytest.approx(1.0)
    # The mean delay of a step response: the integral of what is still missing of the new feed.
    start = np.maximum(np.concatenate([[part.time_s[0]], part.time_s[:-1]]), step_h * 3600)
    delay = np.sum((1.0 - part.values[:, 0]) * np.clip(part.time_s - start, 0.0, None))
    slice_s = bed.reclaim_step_m / study.schedule.advance_m_per_s
    assert delay == pytest.approx(study.schedule.predicted_residence_s(angle), abs=slice_s)


def test_white_feed_gives_a_fair_vrr_near_one():
    # Every delivery is one chunk of one particle (the stacker slews 10 m a minute), so no particle mixes
    # the remainder of one delivery with the next; slices of a quarter cell hold 9 m³, portions ten of them.
    bed = Bed(**{**RING.__dict__, "reclaim_step_m": 0.25})
    study = simulate_ring(feed(600, None, seed=7), Chevcon(chunk_length_m=10.0), bed, seed=8, portion_m3=90.0)
    (figures,) = study.homogenisation()
    assert 0.7 < figures.vrr < 1.4
    assert figures.portion_m3 == pytest.approx(90.0, rel=0.1)


def test_ramp_blends_a_correlated_feed():
    series = synthetic_series(hours=250, interval_s=MINUTE_S, flow_m3_per_h=60.0, seed=4)
    bed = Bed(**{**RING.__dict__, "reclaim_step_m": 0.25})
    study = simulate_ring(series, Chevcon(), bed, seed=4)
    assert study.portion_size_m3 == pytest.approx(10 * 9.0, rel=0.05)
    # The feed drifts too, and a ring passes a drift slower than its residence on.
    for figures in study.homogenisation():
        assert figures.vrr < 0.5, figures.name
    assert study.schedule.layers == pytest.approx(10.0 / (60.0 / 36.0 / 60.0), rel=1e-9)
    assert study.schedule.ramp_cost_m3 == pytest.approx(study.schedule.ramp_m * 36.0 / 2)


def test_cone_shell_cones_reach_the_set_height():
    plan = ConeShell(cone_step_m=12.0, cone_height_m=4.0)
    series = feed(8, lambda t: 1.0)
    study = simulate_ring(series, plan, RING, seed=1)
    cones = int(series.total_volume_m3 // (math.pi * 4.0**3 / 3))
    schedule = study.schedule
    chunks = schedule.chunks
    along = (math.pi - np.arctan2(chunks.z - 25.0, chunks.x - 25.0)) * RING.circle_radius_m
    stations = np.unique(np.round(along, 6))
    assert len(stations) == cones + 1
    assert np.allclose(np.diff(stations), 12.0)
    # Whole cones the reclaimer's face has not reached when the feed ends.
    reached = schedule.reclaimer_position_m[-1] + schedule.face_lead_m + 4.0
    standing = [a for a in stations[:cones] if a > reached]
    assert len(standing) >= 2
    heights = study.heights.heights_m
    cell = study.heights.cell_size_m
    for a in standing:
        angle = math.pi - a / RING.circle_radius_m
        i = int((25.0 + RING.circle_radius_m * math.cos(angle)) // cell)
        j = int((25.0 + RING.circle_radius_m * math.sin(angle)) // cell)
        assert heights[j - 2 : j + 3, i - 2 : i + 3].max() == pytest.approx(4.0, abs=1.0)


def run_kind(step, seeds):
    series = feed(130, None, seed=21)
    out = []
    for seed in seeds:
        study = simulate_ring(series, Chevcon(slew_step_m=step), RING, seed=seed, portion_m3=60.0)
        heights = study.heights.heights_m
        out.append(
            (np.count_nonzero(heights), heights[heights > 0].mean(), heights.max(), study.homogenisation()[0].vrr)
        )
    return np.array(out)


def test_a_slew_step_of_one_cell_gives_the_pile_of_a_continuous_slew():
    continuous = run_kind(None, [1, 2, 3, 4])
    stepped = run_kind(RING.cell_size_m, [5, 6, 7, 8])
    for k, name in enumerate(["footprint", "mean height", "highest point", "VRR"]):
        within = [continuous[:, k], stepped[:, k]]
        spread = math.sqrt(np.mean([np.var(runs) * 2 for runs in within]))
        assert abs(continuous[:, k].mean() - stepped[:, k].mean()) <= max(spread, 1e-9), name


def test_stops_and_slew_steps_move_the_stacker_as_set():
    plan = Chevcon(ramp_length_m=20.0, slew_speed_m_per_min=2.0, stop_s=300.0, slew_step_m=4.0)
    offset = plan._offset_m(np.arange(0.0, 2400.0, 60.0), 20.0, 2.0 / 60)
    assert set(np.round(offset, 9)) <= {0.0, 4.0, 8.0, 12.0, 16.0, 20.0}
    # Out in 600 s, five minutes at the front, back in 600 s, five minutes at the tail.
    assert offset[10] == offset[14] == 20.0
    assert offset[25] == offset[29] == 0.0
    assert Chevcon(slew_speed_deg_per_min=6.0).slew_m_per_s(RING) == pytest.approx(math.radians(6.0) * 16.0 / 60)
    # A point stays on the ramp for 20 m / (1/36 m/min) = 720 min and gets a layer every 15 min.
    assert plan.schedule(feed(10, lambda t: 1.0), RING).layers == pytest.approx(720.0 / 15.0)


@pytest.mark.parametrize(
    ("make", "bed", "message"),
    [
        (lambda: Chevcon(ramp_length_m=10.0, ramp_sector_deg=30.0), RING, "not both"),
        (lambda: Chevcon(slew_speed_deg_per_min=1.0, slew_speed_m_per_min=1.0), RING, "not both"),
        (lambda: Chevcon(), Bed(length_m=50.0, depth_m=50.0), "circular bed"),
        (lambda: Chevcon(ramp_sector_deg=300.0), RING, "do not fit"),
        (lambda: Chevcon(reclaimer_lag_m=10.0), RING, "into the ramp"),
        (lambda: Chevcon(stop_s=-1.0), RING, "stop_s"),
        (lambda: Chevcon(advance_m_per_min=0.001), RING, "wider than pile_width_m"),
        (lambda: Chevcon(slew_speed_m_per_min=0.01), RING, "less than one layer"),
        (lambda: ConeShell(cone_height_m=9.0), RING, "wider than half the pile"),
        (lambda: ConeShell(cone_height_m=2.0), Bed(length_m=50.0, depth_m=50.0), "circular bed"),
    ],
)
def test_ring_plans_refuse_what_they_cannot_run(make, bed, message):
    with pytest.raises(ValueError, match=message):
        make().schedule(feed(10, lambda t: 1.0), bed)


@pytest.mark.parametrize(
    ("settings", "message"),
    [
        ({"ring_radius_m": 10.0}, "circular=True"),
        ({"circular": True, "ring_radius_m": 30.0}, "outside"),
        ({"circular": True, "ring_radius_m": 20.0, "pile_width_m": 12.0}, "does not fit"),
        ({"circular": True, "pile_width_m": -1.0}, "pile_width_m"),
    ],
)
def test_bed_checks_the_ring_geometry(settings, message):
    with pytest.raises(ValueError, match=message):
        Bed(length_m=50.0, depth_m=50.0, **settings)
    assert RING.ring_width_m == 12.0 and Bed(length_m=40.0, depth_m=60.0, circular=True).ring_width_m == 10.0


@pytest.mark.slow
def test_simulate_circular_runs_chevcon_on_the_demo_feed(tmp_path, capsys):
    assert main(["simulate", "--circular", "--seed", "3", "--output-dir", str(tmp_path)]) == 0
    report = capsys.readouterr().out
    assert "Chevcon" in report and "start-up" in report and "steady" in report and "VRR" in report
    assert (tmp_path / "demo-ring.png").stat().st_size > 0
    assert (tmp_path / "demo-output.png").stat().st_size > 0


@pytest.mark.parametrize("plan", [Chevcon(), ConeShell(cone_height_m=3.0)], ids=["chevcon", "cone-shell"])
def test_single_pass_simulate_sends_ring_plans_to_simulate_ring(plan):
    with pytest.raises(ValueError, match="simulate_ring"):
        simulate(feed(10, lambda t: 1.0), plan, RING)


def test_native_ring_seeded_runs_repeat_and_refuse_a_bad_schedule():
    from korvex import _native

    schedule = Chevcon().schedule(feed(80, None, seed=1), RING)

    def run(seed):
        ring = _native.Ring(length_m=50.0, depth_m=50.0, ring_radius_m=16.0, particles_per_m3=1.0, seed=seed)
        return ring.run(schedule.chunks.data, schedule.chunks.columns, schedule.reclaimer_time_s,
                        schedule.reclaimer_position_m)

    first, again = run(9), run(9)
    for a, b in zip(first, again, strict=True):
        np.testing.assert_array_equal(a, b)
    ring = _native.Ring(length_m=50.0, depth_m=50.0, ring_radius_m=16.0, particles_per_m3=1.0, seed=1)
    with pytest.raises(ValueError, match="goes back"):
        ring.run(schedule.chunks.data, schedule.chunks.columns, [0.0, 1.0], [5.0, 1.0])
    with pytest.raises(ValueError, match="ring_radius_m"):
        _native.Ring(length_m=50.0, depth_m=50.0, ring_radius_m=30.0)
    assert ring.volume_m3 == 0.0


def test_cone_shell_runs_round_and_round_with_the_residence_the_geometry_predicts():
    bed = Bed(**{**RING.__dict__, "reclaim_angle_deg": 90.0})
    series = feed(250, lambda t: 40.0 + math.sin(t))
    study = simulate_ring(series, ConeShell(cone_step_m=6.0, cone_height_m=4.0), bed, seed=2)
    assert study.output.total_volume_m3 == pytest.approx(series.total_volume_m3, abs=1.0)
    figures = study.figures(RingStudy.STEADY)
    slice_h = bed.reclaim_step_m / study.schedule.advance_m_per_s / 3600
    assert figures.mean_residence_h == pytest.approx(study.schedule.predicted_residence_s(90.0) / 3600, abs=slice_h)
    assert study.passes is None


@pytest.fixture
def feed_csv(tmp_path):
    path = tmp_path / "feed.csv"
    feed(150, lambda t: 40.0 + math.sin(t)).to_frame().to_csv(path, index=False)
    return path


def test_simulate_runs_a_csv_round_a_ring_and_writes_the_phases(feed_csv, tmp_path, capsys):
    ring = ["--circular", "--length-m", "50", "--depth-m", "50", "--ring-radius-m", "16", "--pile-width-m", "12"]
    args = ["simulate", str(feed_csv), "--seed", "1", "--output-dir", str(tmp_path), "--quiet", *ring]
    assert main([*args, "--ramp-length-m", "15", "--stop-s", "30"]) == 0
    written = pd.read_csv(tmp_path / "feed-reclaimed.csv", comment="#")
    assert set(written["phase"]) == {"start-up", "steady", "run-out"}
    assert written["volume_m3"].sum() == pytest.approx(150 * 60, abs=1.0)
    capsys.readouterr()


@pytest.mark.parametrize(
    ("extra", "message"),
    [
        (["--portion-m3", "50"], "ring run continuously"),
        (["--circular", "--plan", "chevron"], "straight bed"),
        (["--circular", "--plan", "chevcon", "--rows", "3"], "takes none of"),
        (["--circular", "--composite-m3", "500"], "not for a ring"),
        # The ring's reclaimer follows the stacker at the feed's 90 t/h; it cannot take 50.
        (["--circular", "--reclaim-rate-t-per-h", "50", "--bulk-density-t-per-m3", "1.5"], "cannot take less"),
    ],
)
def test_simulate_explains_ring_settings_it_cannot_use(feed_csv, tmp_path, capsys, extra, message):
    with pytest.raises(SystemExit) as stop:
        main(["simulate", str(feed_csv), "--output-dir", str(tmp_path), "--quiet", *extra])
    assert stop.value.code == 2
    assert message in capsys.readouterr().err


def test_stock_and_ramp_agree_with_the_residence_and_the_geometry():
    study = simulate_ring(feed(250, None, seed=2), Chevcon(), RING, seed=3)
    schedule = study.schedule
    figures = study.figures(RingStudy.STEADY)
    # In steady state the stock is the reclaim rate times the residence (Little's law).
    assert study.mean_stock_m3 == pytest.approx(study.reclaim_rate_m3_per_h * figures.mean_residence_h, rel=0.02)
    # The ramp as the feed ended, up to the front's run-out, holds what its cost says is missing from it.
    heights, cell = study.heights.heights_m, study.heights.cell_size_m
    j, i = np.indices(heights.shape)
    along = (math.pi - np.arctan2((j + 0.5) * cell - 25.0, (i + 0.5) * cell - 25.0)) * RING.circle_radius_m
    length = RING.centre_line_m
    front = (schedule.reclaimer_position_m[-1] + schedule.lag_m) % length
    behind = (along - front + length / 2) % length - length / 2
    on_ramp = (behind > -schedule.ramp_m) & (behind <= schedule.pile_height_m)
    assert heights[on_ramp].sum() * cell**2 == pytest.approx(schedule.ramp_cost_m3, rel=0.15)


@pytest.mark.parametrize(
    "plan",
    [Chevcon(ramp_sector_deg=30, slew_speed_m_per_min=5), ConeShell(cone_height_m=4.0)],
    ids=["chevcon", "cones"],
)
def test_the_reclaimers_path_never_goes_back_in_time(plan):
    # Each delivery's start plus its gap rounds past the next delivery's time for some of these.
    bed = Bed(length_m=150.0, depth_m=150.0, circular=True, ring_radius_m=60.0, pile_width_m=30.0)
    rng = np.random.default_rng(13)
    for _ in range(200):
        time = np.sort(np.round(rng.uniform(0, 60000, rng.integers(2, 6)), 1))
        if np.any(np.diff(time) == 0):
            continue
        series = QualitySeries(time, np.full(time.size, 100.0), rng.normal(40, 1, (time.size, 1)), ("CaO",))
        assert np.all(np.diff(plan.schedule(series, bed).reclaimer_time_s) >= 0)
    series = QualitySeries([14434.9, 32696.8], [100.0, 100.0], [[1.0], [2.0]], ("CaO",))
    study = simulate_ring(series, plan, bed, seed=1)
    assert study.output.total_volume_m3 == pytest.approx(200.0)


# A ring 40 m round its centre with a pile 30 m wide: material must stay 25 to 55 m from the centre.
WIDE_RING = Bed(length_m=120.0, depth_m=120.0, circular=True, ring_radius_m=40.0, pile_width_m=30.0)


@pytest.mark.parametrize(
    "plan",
    [
        ConeShell(cone_step_m=4.0, cone_height_m=12.0),
        ConeShell(cone_step_m=2.0, cone_height_m=12.0),
        ConeShell(cone_step_m=4.0, cone_volume_m3=560.0),
    ],
    ids=["height-step-4", "height-step-2", "volume"],
)
def test_overlapping_cones_stand_as_high_as_the_schedule_says_and_inside_the_ring(plan):
    study = simulate_ring(synthetic_series(hours=40, seed=1), plan, WIDE_RING, seed=1)
    heights, cell = study.heights.heights_m, study.heights.cell_size_m
    assert heights.max() == pytest.approx(study.schedule.pile_height_m, abs=2 * cell)
    if plan.cone_height_m is not None:
        assert study.schedule.pile_height_m == plan.cone_height_m
    rows, columns = np.nonzero(heights)
    centre = WIDE_RING.length_m / 2
    radius = np.hypot((columns + 0.5) * cell - centre, (rows + 0.5) * cell - centre)
    assert radius.min() > 25.0 - 2 * cell
    assert radius.max() < 55.0 + 2 * cell


def test_cones_of_a_volume_that_overlap_past_the_pile_width_are_refused():
    # Alone such a cone stands 6.6 m high; a metre apart they pile a ridge about 17 m high.
    with pytest.raises(ValueError, match="cone_volume_m3 of 300 m³ every 1 m piles cones over 15 m high"):
        ConeShell(cone_step_m=1.0, cone_volume_m3=300.0).schedule(synthetic_series(hours=10, seed=1), WIDE_RING)
