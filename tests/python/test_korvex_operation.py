"""What varies between beds in a plant: the truck feed, the stacker's start and speed, the feed's
bootstrap, replicates that draw them, and the split of a result's spread into operation's and the engine's."""

import re

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("_korvex_lib")

from korvex import (  # noqa: E402
    ENGINE_ONLY,
    Bed,
    Chevron,
    Operation,
    QualitySeries,
    Windrow,
    cement_moduli,
    add_derived,
    sweep,
    synthetic_series,
    truck_feed,
)
from korvex.operation import block_rows, bootstrap_feed, variance_components  # noqa: E402
from korvex.sweeps import IN_PROCESS  # noqa: E402

# Cells of 0.25 m, not the rule's 0.067 m on a 10 m deep bed: a 60th of the particles per run, and these
# tests judge what operation draws, not the engine's resolution.
SMALL_BED = {"length_m": 40, "depth_m": 10, "particles_per_m3": 64}
SMALL = {**SMALL_BED, "hours": 0.75}


def test_the_truck_feed_has_trucks_gaps_night_stops_two_faces_and_a_step():
    frame = truck_feed(days=3, rate_t_per_h=930, seed=7)
    assert list(frame.columns) == ["timestamp", "tonnes", "CaO", "SiO2", "Al2O3", "Fe2O3"]
    assert frame["tonnes"].between(25, 30).all()
    gaps_h = frame["timestamp"].diff().dt.total_seconds().dropna().to_numpy() / 3600
    nights = gaps_h > 4
    # Two nights between three days of 16 operating hours, each stop about 8 h long.
    assert nights.sum() == 2 and np.allclose(gaps_h[nights], 8, atol=0.2)
    operating_h = gaps_h[~nights].sum()
    assert operating_h == pytest.approx(48, abs=0.5)
    assert frame["tonnes"].sum() / operating_h == pytest.approx(930, rel=0.05)
    # Trucks do not come like clockwork.
    assert np.std(gaps_h[~nights]) > 0.3 * np.mean(gaps_h[~nights])
    lsf = add_derived(frame.drop(columns="timestamp"), cement_moduli(frame))["LSF"]
    assert 90 < lsf.mean() < 110 and lsf.std() > 5
    # Two faces: the limestone-rich trucks and the others fall into two groups of CaO.
    cao = frame["CaO"].to_numpy()
    assert np.histogram(cao, bins=[0, 44.5, 100])[0].min() > 0.25 * cao.size
    # The step: the second face brings less limestone in the second half.
    halves = np.array_split(cao, 2)
    assert np.percentile(halves[1], 10) < np.percentile(halves[0], 10) - 0.3
    pd.testing.assert_frame_equal(frame, truck_feed(days=3, rate_t_per_h=930, seed=7))
    assert not frame.equals(truck_feed(days=3, rate_t_per_h=930, seed=8))


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"truck_t": (30, 25)}, "truck_t must run from the lightest to the heaviest truck"),
        ({"operating_h": (22, 6)}, "operating_h must open before it closes"),
        ({"rate_t_per_h": 0}, "rate_t_per_h must be positive, got 0 t/h"),
        ({"days": 1e9}, "more than"),
    ],
)
def test_the_truck_feed_refuses_what_makes_no_sense(options, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        truck_feed(**options)


def test_the_stackers_start_and_speed_move_its_path():
    series = synthetic_series(hours=1, seed=1)
    bed = Bed(length_m=40, depth_m=10)
    plain = Chevron(layers=4).chunks(series, bed).x
    pass_m = Chevron().round_trip_m(bed) / 2
    reversed_start = Chevron(layers=4, start_phase_m=pass_m).chunks(series, bed).x
    # A pass on, the stacker starts at the far end heading back: the path mirrored about the middle.
    np.testing.assert_allclose(reversed_start, bed.length_m - plain, atol=1e-9)
    whole_trip = Chevron(layers=4, start_phase_m=2 * pass_m).chunks(series, bed).x
    np.testing.assert_allclose(whole_trip, plain, atol=1e-9)
    faster = Chevron(layers=20, speed_factor=1.05)
    assert faster.passes(series, bed) == pytest.approx(21.0)
    assert "speed x1.05" in faster.describe(series, bed)
    by_speed = Chevron(stacker_speed_m_per_min=2.0)
    assert Chevron(stacker_speed_m_per_min=2.0, speed_factor=0.9).passes(series, bed) == pytest.approx(
        0.9 * by_speed.passes(series, bed)
    )
    with pytest.raises(ValueError, match="speed_factor must be positive, got 0"):
        Chevron(speed_factor=0)
    with pytest.raises(ValueError, match="start_phase_m must be zero or positive, got -1 m"):
        Windrow(start_phase_m=-1)


def test_variance_components_recover_known_spreads():
    rng = np.random.default_rng(3)
    draws, per_draw = 400, 2
    groups = np.repeat(np.arange(draws), per_draw)
    values = 5 + rng.normal(0, 1.0, draws)[groups] + rng.normal(0, 0.2, groups.size)
    split = variance_components(values, groups)
    assert split.operation_sd == pytest.approx(1.0, rel=0.1)
    assert split.engine_sd == pytest.approx(0.2, rel=0.1)
    # Groups of unequal size, as five replicates in pairs make.
    uneven = variance_components(values[:-1], groups[:-1])
    assert uneven.operation_sd == pytest.approx(1.0, rel=0.1)
    # One run per draw cannot tell the engine from operation; one draw cannot show operation's share.
    alone = variance_components(values[::2], groups[::2])
    assert np.isnan(alone.operation_sd) and np.isnan(alone.engine_sd)
    single = variance_components([1.0, 1.2, 0.9], [0, 0, 0])
    assert np.isnan(single.operation_sd) and single.engine_sd == pytest.approx(np.std([1.0, 1.2, 0.9], ddof=1))


def test_a_bootstrap_of_the_feed_keeps_its_rows_in_blocks_as_long_as_its_correlation():
    slow = synthetic_series(hours=24, interval_s=60, correlation_time_h=2.0, seed=2)
    quick = synthetic_series(hours=24, interval_s=60, correlation_time_h=0.1, seed=2)
    assert block_rows(slow) > 3 * block_rows(quick) >= 3
    block = block_rows(slow)
    drawn = bootstrap_feed(slow, np.random.default_rng(5))
    assert len(drawn) == len(slow) and drawn.names == slow.names
    assert np.all(np.diff(drawn.time_s) >= 0)
    # Every row is a row of the feed, and within a block consecutive rows follow each other as before.
    index = np.array([np.flatnonzero((slow.values == row).all(axis=1))[0] for row in drawn.values])
    steps = np.diff(index)
    assert np.mean(steps == 1) > 1 - 1.5 / block
    assert not np.array_equal(index, np.arange(len(slow)))


def test_replicates_draw_the_stackers_operation_in_pairs_that_share_it():
    # On the fast engine, which scatters from seed to seed; the layered engine's replicates are draws of their own.
    grid = [{"plan": "chevron", "layers": 3, **SMALL}, {"plan": "windrow", "rows": 2, "layers": 3, **SMALL}]
    fast = [{**settings, "engine": "fast", "particles_per_m3": 27} for settings in grid]
    result = sweep(fast, replicates=4, seed=5, scheduler=IN_PROCESS, progress=False)
    runs = result.table.drop_duplicates(["plan", "replicate"])
    assert runs["operation"].tolist() == [0, 0, 1, 1] * 2
    # A pair shares the draw and the feed and differs in the engine's seed; plans of a replicate share it all
    # but the engine's seed and the start, which is a share of each plan's own round trip.
    per_draw = runs.groupby("operation")
    assert (per_draw[["operation_seed", "feed_seed", "drawn_speed_factor"]].nunique() == 1).all().all()
    assert runs["seed"].nunique() == 8
    assert runs["drawn_speed_factor"].between(0.97, 1.03).all() and runs["drawn_speed_factor"].nunique() == 2
    assert runs["drawn_dwell_s"].isna().all()
    summary = result.summary()
    assert {"vrr_sd_operation", "vrr_sd_engine", "effect_sd_operation", "effect_sd_engine"} <= set(summary.columns)
    assert (summary["vrr_sd_operation"] > summary["vrr_sd_engine"]).all() and (summary["vrr_sd_engine"] > 0).all()
    # The layered engine draws nothing: a pair on one draw would repeat to the bit, so every replicate draws.
    layered = sweep(grid, replicates=4, seed=5, scheduler=IN_PROCESS, progress=False).table
    runs = layered.drop_duplicates(["plan", "replicate"])
    assert runs["operation"].tolist() == [0, 1, 2, 3] * 2
    assert (layered.groupby(["plan", "quality"])["vrr"].nunique() == 4).all()


def test_intervals_that_draw_operation_are_wider_than_the_engines_alone():
    # The fast engine: the layered one's intervals from the engine alone have no width at all.
    grid = {"layers": 4, **SMALL_BED, "engine": "fast"}
    options = {"replicates": 6, "seed": 2, "scheduler": IN_PROCESS, "progress": False}
    feed = synthetic_series(hours=0.75, seed=4)
    engine = sweep(grid, feed=feed, operation=ENGINE_ONLY, **options)
    plant = sweep(grid, feed=feed, **options)
    assert engine.table["operation"].tolist() == sorted(engine.table["operation"].tolist())
    engine_width = engine.summary().eval("vrr_high - vrr_low")
    plant_width = plant.summary().eval("vrr_high - vrr_low")
    assert (plant_width > 3 * engine_width).all()
    # Drawing the feed too: a bootstrap per draw, the same within a draw.
    drawn = sweep(grid, feed=feed, operation=Operation(feed=True), **options).table
    mean_in = drawn.groupby(["operation", "quality"])["mean_in"].agg(np.ptp)
    assert (mean_in < 1e-9).all()
    assert drawn.groupby("quality")["mean_in"].agg(lambda means: means.round(9).nunique()).eq(3).all()


def test_a_generated_feed_is_a_fresh_realisation_per_draw_when_asked():
    def trucks(seed):
        return QualitySeries.from_frame(truck_feed(days=0.1, seed=seed), bulk_density_t_per_m3=1.45)

    options = {"replicates": 4, "seed": 1, "scheduler": IN_PROCESS, "progress": False}
    grid = {"layers": 3, **SMALL_BED}
    fixed = sweep(grid, feed=trucks, **options).table
    fresh = sweep(grid, feed=trucks, operation=Operation(feed=True), **options).table
    # Four replicates on the layered engine are four draws, each a realisation of its own.
    assert fixed["feed_seed"].nunique() == 1 and fresh["feed_seed"].nunique() == 4
    assert set(fixed["feed"]) == {"generated feed"}
    # The oxides' means in follow the feed alone; the moduli, formed per portion, follow the slices too.
    oxides = fresh[fresh["quality"].isin(["CaO", "SiO2", "Al2O3", "Fe2O3"])]
    assert oxides.groupby("quality")["mean_in"].agg(lambda means: means.round(9).nunique()).eq(4).all()
