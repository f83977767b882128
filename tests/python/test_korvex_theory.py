import math
import warnings

import numpy as np
import pytest
from scipy.signal import lfilter

from korvex import Bed, Chevron, QualitySeries, Reclaimed, simulate
from korvex.metrics import FigureWarning, composites, cut, equal_portions, homogenisation
from korvex.theory import (
    Layering,
    autocovariance,
    check_prediction,
    predicted_vrr,
    variogram_by_time,
    variogram_by_volume,
)


def ar1(rows, correlation_rows, seed):
    """Unit-variance AR(1) noise that forgets its past over correlation_rows rows."""
    phi = math.exp(-1 / correlation_rows)
    return lfilter([math.sqrt(1 - phi**2)], [1, -phi], np.random.default_rng(seed).standard_normal(rows))


@pytest.mark.parametrize(
    ("volumes", "values", "portion_m3", "expected"),
    [
        # Cumulative volume 0, 1, 3, 6. [0, 2]: 1 m3 of 0 and 1 m3 of 3 -> 1.5; [2, 4]: 1 of 3, 1 of 6 -> 4.5;
        # [4, 6]: 2 of 6 -> 6.
        ([1.0, 2.0, 3.0], [0.0, 3.0, 6.0], 2.0, [1.5, 4.5, 6.0]),
        # [0, 2.5]: 1 of 0, 1.5 of 3 -> 1.8; [2.5, 5]: 0.5 of 3, 2 of 6 -> 5.4; the last 1 m3 is no whole portion.
        ([1.0, 2.0, 3.0], [0.0, 3.0, 6.0], 2.5, [1.8, 5.4]),
        # An empty slice carries no value and takes no room; one row holds four portions.
        ([2.0, 0.0, 8.0], [1.0, np.nan, 5.0], 2.0, [1.0, 5.0, 5.0, 5.0, 5.0]),
    ],
)
def test_equal_portions_by_hand(volumes, values, portion_m3, expected):
    np.testing.assert_allclose(equal_portions(volumes, values, portion_m3)[:, 0], expected)


def test_cut_into_portions_of_given_volumes():
    # [0, 1]: 1 m3 of 0; [1, 5]: 2 m3 of 3 and 2 m3 of 6 -> 4.5; the last 1 m3 is left out.
    np.testing.assert_allclose(cut([1.0, 2.0, 3.0], [0.0, 3.0, 6.0], [1.0, 4.0])[:, 0], [0.0, 4.5])
    with pytest.raises(ValueError, match="more than all the material"):
        cut([1.0, 2.0], [0.0, 1.0], [2.0, 2.0])


def test_composites_group_whole_slices():
    volume, values = composites([2.0, 2.0, 0.0, 2.0, 2.0, 2.0], [0.0, 1.0, np.nan, 2.0, 3.0, 4.0], 4.0)
    np.testing.assert_allclose(volume, [4.0, 4.0, 2.0])
    np.testing.assert_allclose(values[:, 0], [0.5, 2.5, 4.0])
    with pytest.raises(ValueError, match="smaller than a typical slice"):
        composites([2.0, 2.0, 2.0], [0.0, 1.0, 2.0], 1.0)


def test_equal_portions_keep_every_column_and_the_volume_weighted_mean():
    rng = np.random.default_rng(3)
    volumes = rng.uniform(0.1, 3.0, 500)
    values = rng.standard_normal((500, 2))
    portions = equal_portions(volumes, values, volumes.sum() / 7)
    assert portions.shape == (7, 2)
    np.testing.assert_allclose(portions.mean(axis=0), np.average(values, axis=0, weights=volumes))


@pytest.mark.parametrize(("portion_m3", "message"), [(0.0, "positive"), (7.0, "more than all the material")])
def test_equal_portions_refuse_a_portion_they_cannot_cut(portion_m3, message):
    with pytest.raises(ValueError, match=message):
        equal_portions([1.0, 2.0, 3.0], [0.0, 1.0, 2.0], portion_m3)


def test_variogram_of_known_series():
    # A ramp: (z_i - z_{i+h})**2 = h**2 for every pair, gamma(h) = h**2 / 2.
    ramp = variogram_by_volume(QualitySeries.from_array(np.arange(100.0), volume_m3=2.0), max_lag_m3=10.0)
    np.testing.assert_allclose(ramp.lag, [2.0, 4.0, 6.0, 8.0, 10.0])
    np.testing.assert_allclose(ramp.gamma[:, 0], np.arange(1, 6) ** 2 / 2, atol=1e-8)
    np.testing.assert_array_equal(ramp.pairs, 100 - np.arange(1, 6))
    # Alternating 0, 1: neighbours differ by 1 (gamma 1/2), every second portion is equal (gamma 0).
    seesaw = variogram_by_volume(QualitySeries.from_array(np.arange(40) % 2), max_lag_m3=4.0)
    np.testing.assert_allclose(seesaw.gamma[:, 0], [0.5, 0.0, 0.5, 0.0], atol=1e-12)
    assert seesaw.variance[0] == pytest.approx(0.25)


def test_variogram_by_time_skips_a_stop_of_the_feed():
    # Deliveries a minute apart with the third minute missing: portions 0, 1, 3, 4 hold 0, 1, 3, 4.
    times = np.array([0.0, 60.0, 180.0, 240.0])
    series = QualitySeries(times, np.ones(4), times / 60, ("q",))
    variogram = variogram_by_time(series, max_lag_s=180.0)
    np.testing.assert_allclose(variogram.lag, [60.0, 120.0, 180.0])
    # Lag 1: pairs (0, 1) and (3, 4); lag 2: (1, 3); lag 3: (0, 3) and (1, 4).
    np.testing.assert_array_equal(variogram.pairs, [2, 1, 2])
    np.testing.assert_allclose(variogram.gamma[:, 0], [0.5, 2.0, 4.5], atol=1e-9)


def test_variogram_of_ar1_noise_rises_as_the_model_says():
    values = ar1(40_000, 20.0, seed=1)
    variogram = variogram_by_volume(QualitySeries.from_array(values), max_lag_m3=200.0)
    expected = variogram.variance[0] * (1 - np.exp(-variogram.lag / 20.0))
    np.testing.assert_allclose(variogram.gamma[:, 0], expected, rtol=0.1)


def test_autocovariance_matches_the_direct_sum():
    z = np.random.default_rng(2).standard_normal(50)
    centred = z - z.mean()
    direct = [np.dot(centred[: 50 - h], centred[h:]) / (50 - h) for h in range(50)]
    np.testing.assert_allclose(autocovariance(z)[:, 0], direct, atol=1e-12)


def ideal_bed_vrr(values, passes, portion_m3, alternating):
    """Lay rows of 1 m3 into `passes` passes along a bed and cut it vertically into portions of portion_m3."""
    total = values.size
    layer = total / passes
    position = (np.arange(total) + 0.5) / layer
    index = np.floor(position)
    along = position - index
    along = np.where((index % 2 == 0) | (not alternating), along, 1 - along)
    count = round(total / portion_m3)
    which = np.minimum((along * count).astype(np.int64), count - 1)
    out = np.bincount(which, weights=values) / np.bincount(which)
    return out.var() / equal_portions(np.ones(total), values, portion_m3).var()


@pytest.mark.parametrize("alternating", [True, False], ids=["turning", "one-way"])
@pytest.mark.parametrize(("correlation_rows", "passes"), [(0.3, 12), (20.0, 10), (20.0, 40), (100.0, 10), (1000.0, 20)])
def test_predicted_vrr_matches_the_ideal_bed_built_from_the_data(alternating, correlation_rows, passes):
    # One feed's ideal bed is one draw; its VRR scatters by a tenth or more around the prediction.
    predicted, built = [], []
    for seed in range(4):
        values = ar1(40_000, correlation_rows, seed=seed)
        predicted.append(predicted_vrr(QualitySeries.from_array(values), Layering(passes, alternating), 100.0))
        built.append(ideal_bed_vrr(values, passes, 100.0, alternating))
    assert np.mean([p["quality"] for p in predicted]) == pytest.approx(np.mean(built), rel=0.15)


def test_one_layer_is_predicted_to_change_nothing():
    series = QualitySeries.from_array(ar1(10_000, 50.0, seed=5))
    assert predicted_vrr(series, Layering(1, True), 40.0)["quality"] == pytest.approx(1.0)


def test_prediction_refuses_a_portion_as_large_as_the_bed():
    series = QualitySeries.from_array(np.arange(10.0))
    with pytest.raises(ValueError, match="whole bed"):
        predicted_vrr(series, Layering(2, True), 10.0)


@pytest.mark.parametrize(
    ("runs", "differs", "phrase"),
    [
        ([0.30, 0.32, 0.28], True, "differ by more"),
        ([0.24, 0.20, 0.16], False, "within"),
        ([0.5], None, "one run"),
    ],
)
def test_prediction_check_judges_by_the_spread_of_the_runs(runs, differs, phrase):
    (check,) = check_prediction({"CaO": 0.2}, [{"CaO": vrr} for vrr in runs])
    assert check.differs is differs
    assert phrase in check.describe()


def slices_of(values, volumes):
    values = np.asarray(values, dtype=np.float64)
    volumes = np.asarray(volumes, dtype=np.float64)
    return Reclaimed(np.arange(values.size, dtype=np.float64), volumes, values[:, np.newaxis], ("quality",))


def test_fair_figures_of_a_bed_that_only_groups_deliveries():
    # Every slice averages eight independent deliveries of 1 m3: per delivery the bed seems to cut the
    # variance eight-fold, but the feed cut into portions of a slice's 8 m3 is just as even.
    values = np.random.default_rng(8).standard_normal(8_000)
    series = QualitySeries.from_array(values)
    slices = slices_of(values.reshape(-1, 8).mean(axis=1), np.full(1000, 8.0))
    (figures,) = homogenisation(series, slices, particle_volume_m3=1.0)
    assert figures.portion_m3 == 8.0
    assert figures.vrr == pytest.approx(1.0)
    assert figures.per_delivery_vrr == pytest.approx(1 / 8, rel=0.1)


def test_fair_figures_leave_empty_slices_out_and_cut_at_a_composite():
    series = QualitySeries.from_array([1.0, 3.0, 5.0, 7.0], volume_m3=2.0)
    slices = slices_of([np.nan, 2.0, 6.0, np.nan], [0.0, 4.0, 4.0, 0.0])
    with pytest.warns(FigureWarning, match="only 2 portions"):
        (figures,) = homogenisation(series, slices)
    assert (figures.std_in, figures.std_out) == pytest.approx((2.0, 2.0))
    with pytest.raises(ValueError, match="at least two"):
        homogenisation(series, slices, composite_m3=5.0)


@pytest.mark.parametrize(
    ("engine", "particle_volume_m3", "warning"),
    [
        ("fast", 1.0, "graininess"),
        ("detailed", 1.0, "graininess"),
        ("fast", 0.01, None),
        ("detailed", 0.01, "200 of the detailed engine's boxes, fewer than 300"),
        ("detailed", 0.001, None),
    ],
)
def test_figures_warn_of_portions_of_too_few_particles(engine, particle_volume_m3, warning):
    series = QualitySeries.from_array(np.arange(40.0))
    slices = slices_of(np.arange(20.0), np.full(20, 2.0))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        homogenisation(series, slices, particle_volume_m3=particle_volume_m3, engine=engine)
    messages = [str(w.message) for w in caught if issubclass(w.category, FigureWarning)]
    if warning is None:
        assert messages == []
    else:
        assert len(messages) == 1 and warning in messages[0]


# A bed whose slices (5 m, about 500 m3) are long against the few metres that particles roll along it, so
# that the layers alone decide what a slice holds, as the prediction assumes.
SLICED_BED = dict(length_m=2420.0, depth_m=30.0, reclaim_angle_deg=90.0, reclaim_step_m=5.0, particles_per_m3=1.0)
SLICED_ROWS = 240_000
# The layered engine takes about 5 s a seed on this bed's one thick layer, where every delivery of 1 m3 runs
# down a ridge 9 m high: the quick tier runs the fast engine's.
SLICED_ENGINES = ["fast", pytest.param("layered", marks=pytest.mark.slow)]


def sliced_bed_figures(layers, correlation_m3, seed, engine):
    series = QualitySeries.from_array(ar1(SLICED_ROWS, correlation_m3, seed), volume_m3=1.0)
    # The short tails keep the end cones small; the ridge they allow holds a little less than the feed, and
    # what spills against the edges does not matter to the slices.
    study = simulate(
        series,
        Chevron(layers=layers, blending_tail_m=10.0),
        Bed(**SLICED_BED, engine=engine),
        progress=False,
        seed=seed,
        on_excess="ignore",
    )
    (figures,) = study.homogenisation()
    return figures


@pytest.mark.parametrize("engine", SLICED_ENGINES)
def test_a_feed_slower_than_a_slice_but_faster_than_a_layer_is_blended_as_predicted(engine):
    # Correlated over three slices (1,500 m3); a layer holds 30,000 m3.
    runs = [sliced_bed_figures(8, 1_500.0, seed, engine) for seed in range(6)]
    simulated = np.mean([f.vrr for f in runs])
    predicted = np.mean([f.predicted_vrr for f in runs])
    assert simulated < 0.4
    assert simulated == pytest.approx(predicted, rel=0.25)
    assert all(f.per_delivery_vrr < f.vrr for f in runs)


@pytest.mark.parametrize("engine", SLICED_ENGINES)
def test_one_layer_changes_little(engine):
    runs = [sliced_bed_figures(1, 1_500.0, seed, engine) for seed in range(3)]
    assert all(0.7 < f.vrr < 1.3 for f in runs), [f.vrr for f in runs]
    assert all(f.predicted_vrr == pytest.approx(1.0) for f in runs)


def test_a_reclaim_face_beyond_vertical_is_refused():
    with pytest.raises(ValueError, match="reclaim_angle_deg must be above 0 ° and at most 90 °"):
        Bed(reclaim_angle_deg=120.0)


def test_a_study_reports_few_particles_per_slice():
    # One-metre cells: a 1 m slice of this small ridge holds a few of the fast engine's particles.
    bed = Bed(length_m=60.0, depth_m=4.0, reclaim_angle_deg=90.0, particles_per_m3=1.0, engine="fast")
    plan = Chevron(layers=2, blending_tail_m=2.0)
    study = simulate(QualitySeries.from_array(np.arange(100.0)), plan, bed, progress=False, seed=1)
    with pytest.warns(FigureWarning, match="graininess"):
        study.homogenisation()
    # The layered engine's slices take their share of every layer exactly, whatever its cell: no grain.
    layered = simulate(QualitySeries.from_array(np.arange(100.0)), plan, bed.with_engine("layered"),
                       progress=False, seed=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        layered.homogenisation()


def test_composites_of_a_bed_that_keeps_the_stacking_order():
    # One layer and a vertical face give the feed back in its order: composites of any size match the
    # feed's portions of the same volumes.
    bed = Bed(length_m=220.0, depth_m=12.0, reclaim_angle_deg=90.0, particles_per_m3=1.0)
    series = QualitySeries.from_array(np.linspace(0.0, 1.0, 3_000), volume_m3=2.0)
    study = simulate(series, Chevron(layers=1, blending_tail_m=6.0), bed, progress=False, seed=3)
    slice_m3 = float(np.median(study.reclaimed.volume_m3[study.reclaimed.volume_m3 > 0]))
    (figures,) = study.homogenisation(composite_m3=10 * slice_m3)
    assert figures.portion_m3 == pytest.approx(10 * slice_m3, abs=slice_m3)
    assert figures.vrr == pytest.approx(1.0, abs=0.05)
    assert figures.predicted_vrr == pytest.approx(1.0)
    frame = study.reclaimed.to_frame()
    assert (frame["volume_m3"] > 0).all() and not frame.isna().any().any()


@pytest.mark.parametrize(
    ("alternating", "passes", "expected"),
    [
        # A drift z = b u laid in N passes: a stretch of whole rows averages to z at its middle, so a portion
        # starting a fraction s = k Vo / V along the pass holds b times the mean start of its N stretches
        # (plus a constant). Forward passes start at (i + s) T, backward ones at (i + 1 - s - Vo / V) T:
        # with N even the s cancel and every portion holds the same; with N odd one forward pass is left,
        # the portions climb by b Vo / N**2 each where the feed's portions of Vo climb by b Vo, and the VRR
        # is N**-4. Passes that all run forward climb by b Vo / N: N**-2.
        (True, 4, 0.0),
        (True, 300, 0.0),
        (True, 5, 5.0**-4),
        (True, 3, 3.0**-4),
        (False, 5, 5.0**-2),
        (False, 4, 4.0**-2),
    ],
)
def test_ideal_layering_of_a_linear_drift_matches_its_closed_form(alternating, passes, expected):
    # 7,200 rows of 1 m3: layers of 7200 / N rows, portions of 600 rows, stretches of 600 / N rows, all whole.
    series = QualitySeries.from_array(np.linspace(0.0, 1.0, 7_200))
    (vrr,) = predicted_vrr(series, Layering(passes, alternating), 600.0).values()
    assert vrr >= 0.0
    assert vrr == pytest.approx(expected, rel=1e-9, abs=1e-20)


@pytest.mark.parametrize("layers", [300, 600])
def test_a_study_of_a_drifting_feed_is_predicted_no_vrr_below_zero(layers):
    series = QualitySeries.from_array(np.linspace(0.0, 1.0, 7_200))
    study = simulate(series, Chevron(layers=layers), Bed(), progress=False, seed=1)
    (figures,) = study.homogenisation()
    assert 0.0 <= figures.predicted_vrr < 1e-12
