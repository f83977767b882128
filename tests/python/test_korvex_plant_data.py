"""A plant's own data: a truck feed with gaps and night stops, columns in tonnes and m³, the cement moduli."""

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("_korvex_lib")

from korvex import Bed, Chevron, QualitySeries  # noqa: E402
from korvex.equipment import feed_rate_t_per_h  # noqa: E402
from korvex.feed import DEFAULT_STOP_AFTER_S, flow  # noqa: E402

DENSITY = 1.45
OXIDES = ("CaO", "SiO2", "Al2O3", "Fe2O3")


def truck_feed(days=2, operating_h=16.0, seed=1, stop_after_s=None):
    """Trucks of 25-30 t every 1.2-2.4 min for operating_h a day, then a night stop; four oxides.

    Returns the series, its mass in tonnes and its operating hours as built (the last truck flows for
    a typical gap, as the reader assumes)."""
    rng = np.random.default_rng(seed)
    times, masses = [], []
    for day in range(days):
        t = day * 86400.0
        end = t + operating_h * 3600
        while t < end:
            times.append(t)
            masses.append(rng.uniform(25.0, 30.0))
            t += rng.uniform(72.0, 144.0)
    time = np.array(times)
    rows = time.size
    step = np.repeat(np.arange(days), np.diff(np.searchsorted(time, np.arange(days + 1) * 86400.0)))
    oxides = np.column_stack(
        [
            44.0 + 1.5 * rng.standard_normal(rows) + 0.8 * step,
            13.5 + 0.6 * rng.standard_normal(rows),
            3.3 + 0.2 * rng.standard_normal(rows),
            2.2 + 0.15 * rng.standard_normal(rows),
        ]
    )
    mass = np.array(masses)
    series = QualitySeries(time, mass / DENSITY, oxides, OXIDES, stop_after_s=stop_after_s)
    return series, float(mass.sum())


def operating_hours(series):
    """Operating hours counted by hand: every gap within a day, and one typical gap for each day's last truck."""
    gaps = np.diff(series.time_s)
    running = gaps[gaps < 3600]
    days = int(np.sum(gaps >= 3600)) + 1
    return (running.sum() + days * np.median(running)) / 3600


def test_a_truck_feed_is_read_at_its_own_rate_with_its_night_stops():
    series, mass_t = truck_feed(days=3)
    rate = mass_t / operating_hours(series)
    # Trucks of 27.5 t every 1.8 min on average: about 900 t/h.
    assert 850 < rate < 1000
    assert feed_rate_t_per_h(series, DENSITY) == pytest.approx(rate, rel=1e-9)
    assert (series.flow.stops, series.flow.stop_after_s) == (2, DEFAULT_STOP_AFTER_S)
    assert series.flow.stopped_h == pytest.approx(2 * 8.0, abs=0.1)
    # A stacker at 20 m/min lays one pass of 200 m per 10 operating minutes.
    bed = Bed(length_m=250.0, depth_m=45.0)
    plan = Chevron(stacker_speed_m_per_min=20.0, blending_tail_m=25.0)
    assert plan.passes(series, bed) == pytest.approx(operating_hours(series) * 60 * 20 / 200, rel=1e-9)


@pytest.mark.parametrize(
    ("gaps_s", "stop_after_s", "stops", "durations_s"),
    [
        # A regular feed: no stop; the last row flows a typical gap.
        ([60, 60, 60], None, 0, [60, 60, 60, 60]),
        # A gap of 2 h among 60 s gaps: a stop, its row flows a typical gap.
        ([60, 7200, 60], None, 1, [60, 60, 60, 60]),
        # Hourly samples are no stops by default...
        ([3600, 3600, 3600], None, 0, [3600] * 4),
        # ... but are when the threshold says so; then every row flows the threshold's length.
        ([3600, 3600], 600.0, 2, [600, 600, 600]),
        # Trucks at uneven gaps all flow their own gap: a gap above the median is no stop.
        ([60, 200, 90, 1500], None, 0, [60, 200, 90, 1500, 145]),
    ],
)
def test_gaps_longer_than_the_threshold_are_stops(gaps_s, stop_after_s, stops, durations_s):
    read = flow(np.concatenate([[0.0], np.cumsum(gaps_s)]), stop_after_s)
    assert read.stops == stops
    np.testing.assert_allclose(read.durations_s, durations_s)
    assert read.operating_s + read.stopped_s == pytest.approx(sum(gaps_s) + durations_s[-1])


def test_the_stop_threshold_is_a_checked_setting():
    with pytest.raises(ValueError, match="stop_after_s .* s"):
        QualitySeries(np.arange(3.0), np.ones(3), np.ones(3), ("CaO",), stop_after_s=-5.0)
    frame = pd.DataFrame({"timestamp": [0.0, 60.0, 4000.0], "volume": 1.0, "CaO": 44.0})
    assert QualitySeries.from_frame(frame, stop_after_s=100.0).flow.stops == 1
    assert QualitySeries.from_frame(frame).flow.stops == 0
