import math

import numpy as np
import pandas as pd
import pytest

from korvex import (
    Bed,
    Quality,
    QualityFigures,
    QualitySeries,
    compare,
    format_table,
    synthetic_series,
    weighted_mean_std,
)
from korvex.stockpile import native_settings


@pytest.mark.parametrize(
    ("values", "volumes", "mean", "std"),
    [
        # mean = (1 + 2 + 2 * 3) / 4 = 2.25; variance = (1.5625 + 0.0625 + 2 * 0.5625) / 4 = 0.6875
        ([1.0, 2.0, 3.0], [1.0, 1.0, 2.0], 2.25, math.sqrt(0.6875)),
        # An empty slice (volume 0, no value) is no material.
        ([4.0, np.nan, 8.0], [3.0, 0.0, 1.0], 5.0, math.sqrt(3.0)),
        ([7.0], [0.5], 7.0, 0.0),
    ],
)
def test_weighted_mean_and_std_by_hand(values, volumes, mean, std):
    got_mean, got_std = weighted_mean_std(values, volumes)
    assert got_mean == pytest.approx(mean)
    assert got_std == pytest.approx(std)


def test_weighted_statistics_refuse_no_material_and_missing_values():
    with pytest.raises(ValueError, match="no material"):
        weighted_mean_std([1.0, 2.0], [0.0, 0.0])
    with pytest.raises(ValueError, match="not finite"):
        weighted_mean_std([1.0, np.nan], [1.0, 1.0])


def test_compare_gives_vrr_effect_and_efficiency():
    # In: 0 and 4 in equal volumes (std 2). Out: 1 and 3 in volumes 1 and 3 (mean 2.5, std sqrt(0.75)).
    (figures,) = compare(["q"], [0.0, 4.0], [5.0, 5.0], [1.0, 3.0], [1.0, 3.0], layers=4)
    assert (figures.mean_in, figures.std_in) == pytest.approx((2.0, 2.0))
    assert (figures.mean_out, figures.std_out) == pytest.approx((2.5, math.sqrt(0.75)))
    assert figures.vrr == pytest.approx(0.75 / 4)
    assert figures.effect == pytest.approx(2 / math.sqrt(0.75))
    assert figures.ideal_vrr == pytest.approx(0.25)
    assert figures.efficiency == pytest.approx(0.25 / (0.75 / 4))


@pytest.mark.parametrize(
    ("std_in", "std_out", "vrr", "effect"),
    [(0.0, 0.0, math.nan, math.nan), (1.0, 0.0, 0.0, math.inf), (0.0, 1.0, math.inf, 0.0)],
)
def test_figures_of_constant_material(std_in, std_out, vrr, effect):
    figures = QualityFigures("q", 1.0, std_in, 1.0, std_out, layers=None)
    assert figures.vrr == pytest.approx(vrr, nan_ok=True)
    assert figures.effect == pytest.approx(effect, nan_ok=True)
    assert figures.efficiency is None


def test_format_table_lists_every_quality():
    text = format_table(compare(["CaO", "SiO2"], [[1.0, 2.0], [3.0, 5.0]], [1.0, 1.0], [[2.0, 3.5]], [2.0]))
    lines = text.splitlines()
    assert lines[0].split()[:2] == ["quality", "mean"]
    assert lines[1].split()[0] == "CaO" and lines[2].split()[0] == "SiO2"
    assert "VRR out/in" in lines[0]


def test_synthetic_series_is_reproducible_correlated_and_drifts():
    qualities = {"a": Quality(10.0, 1.0, drift_per_h=0.5), "b": Quality(0.0, 2.0)}
    kwargs = dict(hours=400.0, interval_s=600.0, qualities=qualities, correlation=-0.8, correlation_time_h=2.0)
    series = synthetic_series(seed=5, **kwargs)
    np.testing.assert_array_equal(series.values, synthetic_series(seed=5, **kwargs).values)
    assert not np.array_equal(series.values, synthetic_series(seed=6, **kwargs).values)
    assert len(series) == 2400
    assert series.volume_m3 == pytest.approx(np.full(2400, 1000.0 / 6))
    hours = series.time_s / 3600
    slope, _ = np.polyfit(hours, series.column("a"), 1)
    assert slope == pytest.approx(0.5, abs=0.05)
    b = series.column("b")
    assert b.std() == pytest.approx(2.0, rel=0.2)
    # Ten minutes apart with a two-hour correlation time: lag-one correlation exp(-1/12).
    assert np.corrcoef(b[:-1], b[1:])[0, 1] == pytest.approx(math.exp(-1 / 12), abs=0.03)
    detrended_a = series.column("a") - 0.5 * hours
    assert np.corrcoef(detrended_a, b)[0, 1] == pytest.approx(-0.8, abs=0.1)


def test_synthetic_series_rejects_an_impossible_correlation():
    with pytest.raises(ValueError, match="positive definite"):
        synthetic_series(qualities={"a": Quality(0, 1), "b": Quality(0, 1), "c": Quality(0, 1)}, correlation=-0.9)


def test_series_from_a_frame_with_dates_text_and_a_volume_column():
    frame = pd.DataFrame(
        {
            "timestamp": ["2026-03-01 06:00", "2026-03-01 06:15", "2026-03-01 07:00"],
            "supplier": ["north", "south", "north"],
            "volume": [10.0, 20.0, 30.0],
            "CaO": [44.0, 45.0, 43.5],
        }
    )
    series = QualitySeries.from_frame(frame)
    np.testing.assert_array_equal(series.time_s, [0.0, 900.0, 3600.0])
    assert series.names == ("CaO",)
    assert series.total_volume_m3 == 60.0
    with pytest.raises(ValueError, match="volume"):
        QualitySeries.from_frame(frame.drop(columns="volume"))
    assert QualitySeries.from_frame(frame.drop(columns="volume"), volume_m3=2.0).total_volume_m3 == 6.0


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (dict(time_s=[0.0, 2.0, 1.0]), "backwards"),
        (dict(volume_m3=[1.0, -1.0, 1.0]), "negative"),
        (dict(values=[1.0, np.nan, 2.0]), "row 1"),
        (dict(names=("x",)), "cannot be quality values"),
        (dict(volume_m3=[0.0, 0.0, 0.0]), "some volume"),
    ],
)
def test_series_refuses_bad_rows(change, message):
    fields = dict(time_s=[0.0, 1.0, 2.0], volume_m3=[1.0, 1.0, 1.0], values=[1.0, 2.0, 3.0], names=("q",))
    with pytest.raises(ValueError, match=message):
        QualitySeries(**(fields | change))


def test_bed_hands_its_settings_to_the_engine_in_order():
    bed = Bed(
        length_m=120.0,
        depth_m=40.0,
        reclaim_angle_deg=38.0,
        particles_per_m3=8.0,
        circular=True,
        engine="detailed",
        eight_neighbour_probability=0.25,
        particle_volume_factor=2.0,
        drop_height_m=4.0,
        reclaim_step_m=0.5,
    )
    assert native_settings(bed) == {
        "length_m": 120.0,
        "depth_m": 40.0,
        "reclaim_angle_deg": 38.0,
        "particles_per_m3": 8.0,
        "circular": True,
        "eight_neighbour_probability": 0.25,
        "particle_volume_factor": 2.0,
        "drop_height_m": 4.0,
        "engine": "detailed",
        "reclaim_step_m": 0.5,
    }
    assert Bed(particles_per_m3=8.0).cell_size_m == pytest.approx(0.5)
    # The slice length no longer follows the cell: 1 m unless given.
    assert native_settings(Bed(particles_per_m3=8.0))["reclaim_step_m"] == 1.0
    assert bed.cell_size_m == pytest.approx((2.0 / 8.0) ** (1 / 3), rel=1e-6)
    assert bed.centre_line_m == pytest.approx(2 * math.pi * 10.0)


@pytest.mark.parametrize(
    ("settings", "message"),
    [
        (dict(length_m=0.0), "length_m"),
        (dict(reclaim_angle_deg=0.0), "reclaim_angle_deg"),
        (dict(reclaim_angle_deg=180.0), "reclaim_angle_deg"),
        (dict(reclaim_angle_deg=120.0), r"reclaim_angle_deg must be above 0 ° and at most 90 °, got 120 °"),
        (dict(reclaim_angle_deg=-10.0), "reclaim_angle_deg"),
        (dict(length_m=20.0, reclaim_step_m=25.0), "reclaim_step_m of 25 m is longer than the 20 m"),
        (dict(particles_per_m3=-1.0), "particles_per_m3"),
        (dict(eight_neighbour_probability=1.5), "eight_neighbour"),
        (dict(engine="quick"), "engine"),
        (dict(reclaim_step_m=0.0), "reclaim_step_m"),
        (dict(length_m=3.0, particles_per_m3=0.01), "smaller than one cell"),
    ],
)
def test_bed_refuses_settings_the_engines_cannot_use(settings, message):
    with pytest.raises(ValueError, match=message):
        Bed(**settings)
