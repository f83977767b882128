"""Composites on the plant's clock: hours and shifts where the laboratory takes them."""

from datetime import datetime

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("_korvex_lib")

from korvex import Bed, Chevron, QualitySeries, Reclaimer, SettingsError, alternate, simulate, truck_feed  # noqa: E402
from korvex.composites import Clock, time_composites  # noqa: E402
from conftest import TRUCK_DENSITY_T_PER_M3, truck_day, truck_study  # noqa: E402

DENSITY = TRUCK_DENSITY_T_PER_M3


def _steady(start_h, end_h, value=1.0):
    """One portion flowing steadily at 100 t/h from start_h to end_h."""
    return time_composites([start_h], [end_h], [100.0 * (end_h - start_h)], [[value]], ["q"], 1.0)


@pytest.mark.parametrize(
    ("interval_h", "shifts", "starts"),
    [
        # Hour 0 is 05:30: hours on the clock's whole hours, the first a half.
        (1.0, (6.0, 14.0, 22.0), ["05:00", "06:00", "07:00"]),
        (8.0, (6.0, 14.0, 22.0), ["22:00", "06:00", "14:00", "22:00"]),
        # 12 h composites never straddle a shift change.
        (12.0, (6.0, 14.0, 22.0), ["22:00", "06:00", "14:00", "18:00", "22:00"]),
        (12.0, (7.0, 19.0), ["19:00", "07:00", "19:00"]),
        (24.0, (6.0, 14.0, 22.0), ["06:00", "06:00"]),
    ],
)
def test_composites_fall_on_the_plants_hours_and_shifts(interval_h, shifts, starts):
    clock = Clock(datetime(2026, 3, 2, 5, 30), shifts)
    # 05:30 to 05:30 and on to 07:30 the next day when the composites are a day: 26 h at 100 t/h.
    span_h = 2.0 if interval_h == 1.0 else 26.0
    frame = time_composites([0.0], [span_h], [100.0 * span_h], [[3.0]], ["q"], interval_h, clock=clock)
    assert [stamp.strftime("%H:%M") for stamp in frame["start"]][: len(starts)] == starts
    # Each composite holds what flowed in it; together every tonne.
    middle = np.clip(frame["end_h"], 0, span_h) - np.clip(frame["start_h"], 0, span_h)
    np.testing.assert_allclose(frame["mass_t"], 100.0 * middle)
    assert frame["mass_t"].sum() == pytest.approx(100.0 * span_h)
    np.testing.assert_allclose(frame["q"], 3.0)
    stamps = pd.Timestamp("2026-03-02 05:30") + pd.to_timedelta(frame["start_h"], unit="h")
    assert (stamps.round("s") == frame["start"]).all()


@pytest.mark.parametrize(
    ("shifts", "message"),
    [((), "at least one"), ((14.0, 6.0), "earliest first"), ((6.0, 24.0), "before 24"), ((-1.0,), "in \\[0, 24\\]")],
)
def test_shift_starts_are_hours_of_a_day_in_order(shifts, message):
    with pytest.raises(SettingsError, match=f"shift_starts_h.*{message}|{message}.*"):
        Clock(datetime(2026, 3, 2), shifts)


def test_composites_without_a_clock_run_from_the_first_start_as_before():
    frame = _steady(0.25, 2.25)
    np.testing.assert_allclose(frame["start_h"], [0.25, 1.25])
    assert "start" not in frame.columns


@pytest.fixture(scope="module")
def dated_feed():
    return truck_day()


@pytest.mark.parametrize(
    ("settings", "first_hour", "first_shift", "reclaim_starts"),
    [
        # By default the reclaim starts when the last truck has tipped, a minute after 22:00.
        ({}, "2026-03-02 22:00", "2026-03-02 22:00", None),
        ({"reclaim_start_h": 24.0}, "2026-03-03 06:00", "2026-03-03 06:00", "2026-03-03 06:04:03"),
        (
            {"reclaim_start_h": 24.0, "shift_starts_h": (7.0, 19.0)},
            "2026-03-03 06:00",
            "2026-03-02 19:00",
            "2026-03-03 06:04:03",
        ),
    ],
)
def test_a_dated_feeds_output_composites_keep_the_shifts(dated_feed, settings, first_hour, first_shift, reclaim_starts):
    study = truck_study(dated_feed, **settings)
    assert study.series.date_origin == datetime(2026, 3, 2, 6, 4, 3)
    shift_h = 8.0 if "shift_starts_h" not in settings else 12.0
    shifts = study.composites(shift_h)
    hours = study.composites(1.0)
    assert hours["start"].iloc[0] == pd.Timestamp(first_hour)
    assert shifts["start"].iloc[0] == pd.Timestamp(first_shift)
    assert (hours["start"].dt.minute == 0).all() and (hours["start"].dt.second == 0).all()
    starts = settings.get("shift_starts_h", (6.0, 14.0, 22.0))
    assert {stamp.hour for stamp in shifts["start"]} <= {int(hour) for hour in starts}
    begin = pd.Timestamp(study.output.clock.start)
    if reclaim_starts is not None:
        assert begin == pd.Timestamp(reclaim_starts)
    else:
        assert pd.Timestamp("2026-03-02 21:59:26") < begin < pd.Timestamp("2026-03-02 22:05")
    assert hours["mass_t"].sum() == pytest.approx(dated_feed.total_volume_m3 * DENSITY, rel=1e-9)
    # The feed's first composite is the shift in which the first truck tips, at 06:04:03.
    feed = study.feed_composites(shift_h)
    assert {stamp.hour for stamp in feed["start"]} <= {int(hour) for hour in starts}
    first_end = feed["start"].iloc[0] + pd.Timedelta(hours=feed["end_h"].iloc[0] - feed["start_h"].iloc[0])
    assert feed["start"].iloc[0] <= pd.Timestamp("2026-03-02 06:04:03") < first_end


def test_a_feed_without_dates_counts_hours_from_the_reclaims_start():
    series = QualitySeries.from_array(np.linspace(40, 46, 600), names=["CaO"], volume_m3=10.0, interval_s=60.0)
    study = truck_study(series)
    assert study.output.clock is None
    hours = study.composites(1.0)
    assert hours["start_h"].iloc[0] == 0.0 and "start" not in hours.columns


def test_two_beds_composites_keep_the_shifts(dated_feed):
    beds = alternate(
        dated_feed,
        Chevron(layers=20),
        Bed(length_m=120.0, depth_m=30.0, engine="layered"),
        capacity_m3=4000.0,
        reclaimer=Reclaimer(900.0),
        bulk_density_t_per_m3=DENSITY,
    )
    shifts = beds.output.composites(8.0)
    assert {stamp.strftime("%H:%M") for stamp in shifts["start"]} <= {"06:00", "14:00", "22:00"}
    assert shifts["mass_t"].sum() == pytest.approx(dated_feed.total_volume_m3 * DENSITY, rel=1e-6)


@pytest.mark.parametrize(
    ("text", "hours"),
    [("06:00,14:00,22:00", (6.0, 14.0, 22.0)), ("7,19", (7.0, 19.0)), ("05:30, 13:30, 21:30", (5.5, 13.5, 21.5))],
)
def test_the_command_line_reads_shift_starts_as_clock_times(text, hours):
    from korvex.cli.simulate import shift_starts_option

    assert shift_starts_option(text) == hours


@pytest.mark.parametrize("text", ["24:00", "14:00,06:00", "six", "06:00:00:00"])
def test_the_command_line_refuses_shift_starts_that_are_no_days_hours(text):
    import argparse

    from korvex.cli.simulate import shift_starts_option

    with pytest.raises(argparse.ArgumentTypeError, match="shift_starts_h|--shift-starts"):
        shift_starts_option(text)


def test_the_command_line_writes_composites_on_the_stated_shifts(tmp_path, capsys):
    from korvex.cli import main

    path = tmp_path / "trucks.csv"
    truck_feed(days=1.0, seed=3).to_csv(path, index=False)
    code = main(["simulate", str(path), "--engine", "layered", "--length-m", "120", "--depth-m", "30", "--layers",
                 "40", "--seed", "1", "--bulk-density-t-per-m3", str(DENSITY), "--reclaim-rate-t-per-h", "900",
                 "--shift-starts", "07:00,19:00", "--reclaim-start-h", "24", "--sample-interval-h", "12",
                 "--output-dir", str(tmp_path), "--quiet"])
    assert code == 0
    composites = pd.read_csv(tmp_path / "trucks-composites-12h.csv", comment="#", parse_dates=["start"])
    # The reclaim starts 24 h after the first truck (06:04:03 the next day): in the night shift from 19:00.
    assert list(composites["start"].dt.strftime("%d %H:%M"))[:3] == ["02 19:00", "03 07:00", "03 19:00"]


@pytest.mark.filterwarnings("ignore::korvex.study.ResolutionWarning")
def test_a_rings_output_composites_fall_on_the_clock_and_hold_every_tonne():
    from korvex import Chevcon, simulate_ring

    ring = Bed(length_m=50.0, depth_m=50.0, circular=True, ring_radius_m=16.0, pile_width_m=12.0, particles_per_m3=1.0,
               engine="fast")
    minutes = np.arange(0.0, 150 * 3600, 60.0)
    rng = np.random.default_rng(4)
    oxides = np.column_stack([rng.normal(mean, mean / 50, minutes.size) for mean in (43.5, 14.0, 3.9, 1.95)])
    stamps = pd.Timestamp("2026-03-02 06:30") + pd.to_timedelta(minutes, unit="s")
    frame = pd.DataFrame({"timestamp": stamps, "volume": 1.0, **dict(zip(("CaO", "SiO2", "Al2O3", "Fe2O3"), oxides.T))})
    study = simulate_ring(QualitySeries.from_frame(frame), Chevcon(), ring, seed=5, bulk_density_t_per_m3=DENSITY)
    shifts = study.composites(8.0)
    assert {stamp.strftime("%H:%M") for stamp in shifts["start"]} <= {"06:00", "14:00", "22:00"}
    assert shifts["mass_t"].sum() == pytest.approx(study.output.total_volume_m3 * DENSITY)
    lsf = 100 * shifts["CaO"] / (2.8 * shifts["SiO2"] + 1.18 * shifts["Al2O3"] + 0.65 * shifts["Fe2O3"])
    np.testing.assert_allclose(shifts["LSF"], lsf)
    # The steady ring reclaims the feed's 60 m³ an hour: a full hour holds an hour's material.
    hours = study.composites(1.0)
    assert hours["mass_t"].median() == pytest.approx(60.0 * DENSITY, rel=0.05)


@pytest.mark.parametrize(
    ("settings", "message"),
    [
        ({"reclaim_start_h": -1.0}, "reclaim_start_h must lie in"),
        ({"reclaim_start_h": float("nan")}, "reclaim_start_h"),
        ({"shift_starts_h": (22.0, 6.0)}, "shift_starts_h must rise"),
    ],
)
def test_a_study_refuses_a_reclaim_start_or_shifts_it_cannot_keep(dated_feed, settings, message):
    with pytest.raises(SettingsError, match=message):
        truck_study(dated_feed, **settings)
