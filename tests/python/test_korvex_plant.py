import math
import re
import warnings

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("_korvex_lib")

from korvex import Bed, Chevron, QualitySeries, simulate  # noqa: E402
from test_korvex_plots import assert_png  # noqa: E402
from korvex.capacity import (  # noqa: E402
    OverCapacityWarning,
    bed_capacity,
    check_capacity,
    edge_volume,
    engine_angle_deg,
    ridge_shape,
    ridge_volume_m3,
)
from korvex.derived import add_derived  # noqa: E402
from korvex.equipment import BODY, END_CONE, Reclaimer, Stacker, feed_rate_t_per_h, slice_regions  # noqa: E402
from korvex.results import Reclaimed  # noqa: E402
from korvex.tables import (  # noqa: E402
    DateFormat,
    ReadLimits,
    read_table,
    read_workbook,
    save_workbook,
    write_workbook,
)
from korvex.twobeds import alternate, split_by_volume  # noqa: E402
from korvex.units import (  # noqa: E402
    m3_from_tonnes,
    m3_per_s_from_t_per_h,
    m_per_s_from_m_per_min,
    t_per_h_from_m3_per_s,
    tonnes_from_m3,
)


@pytest.mark.parametrize(
    ("convert", "argument", "expected"),
    [
        # 100 m3 of limestone at 1.5 t/m3 weighs 150 t, and back.
        (lambda v: tonnes_from_m3(v, 1.5), 100.0, 150.0),
        (lambda m: m3_from_tonnes(m, 1.5), 150.0, 100.0),
        # 5400 t/h at 1.5 t/m3 is 3600 m3/h, one cubic metre a second, and back.
        (lambda r: m3_per_s_from_t_per_h(r, 1.5), 5400.0, 1.0),
        (lambda r: t_per_h_from_m3_per_s(r, 1.5), 1.0, 5400.0),
        # 30 m/min is half a metre a second.
        (m_per_s_from_m_per_min, 30.0, 0.5),
    ],
    ids=["t-from-m3", "m3-from-t", "m3/s-from-t/h", "t/h-from-m3/s", "m/s-from-m/min"],
)
def test_unit_conversions_match_hand_computed_cases(convert, argument, expected):
    assert float(convert(argument)) == pytest.approx(expected)


@pytest.mark.parametrize("density", [0.0, -1.2, math.nan, math.inf])
def test_a_bulk_density_must_be_positive_and_says_its_unit(density):
    with pytest.raises(ValueError, match=r"bulk_density_t_per_m3 .* t/m³"):
        tonnes_from_m3(1.0, density)


@pytest.mark.parametrize("mass", ["tonnes", "t", "mass_t"])
def test_a_mass_column_is_the_amount_never_a_quality(mass):
    frame = pd.DataFrame({"timestamp": [0.0, 60.0, 120.0], mass: [30.0, 45.0, 15.0], "CaO": [44.0, 43.0, 45.0]})
    series = QualitySeries.from_frame(frame, bulk_density_t_per_m3=1.5)
    assert series.names == ("CaO",)
    np.testing.assert_allclose(series.volume_m3, [20.0, 30.0, 10.0])
    with pytest.raises(ValueError, match=f"{mass!r} holds tonnes"):
        QualitySeries.from_frame(frame)
    # Beside a volume column the mass is still no quality value.
    both = QualitySeries.from_frame(frame.assign(volume=[1.0, 1.0, 1.0]))
    assert both.names == ("CaO",)


def _reclaimed(volumes, values, positions=None):
    volumes = np.asarray(volumes, dtype=np.float64)
    positions = np.arange(1.0, volumes.size + 1) if positions is None else np.asarray(positions, dtype=np.float64)
    table = np.asarray(values, dtype=np.float64).reshape(volumes.size, -1)
    return Reclaimed(positions, volumes, table, tuple(f"q{k}" for k in range(table.shape[1])))


def test_reclaim_rate_turns_slices_into_time_and_hourly_composites():
    # 10, 20, 0 and 30 m3 at 1.5 t/m3 are 15, 30, 0 and 45 t; at 90 t/h they take 1/6, 1/3, 0 and 1/2 h.
    reclaimed = _reclaimed([10.0, 20.0, 0.0, 30.0], [1.0, 4.0, np.nan, 7.0])
    output = Reclaimer(rate_t_per_h=90.0).output(reclaimed, 1.5, start_h=2.0)
    np.testing.assert_allclose(output.frame["end_h"], [2 + 1 / 6, 2.5, 2.5, 3.0])
    np.testing.assert_allclose(output.frame["mass_t"], [15.0, 30.0, 0.0, 45.0])
    assert output.duration_h == pytest.approx(1.0)
    halves = output.composites(0.5)
    np.testing.assert_allclose(halves["start_h"], [2.0, 2.5])
    np.testing.assert_allclose(halves["mass_t"], [45.0, 45.0])
    # The first half hour: (15 t x 1 + 30 t x 4) / 45 t = 3.
    np.testing.assert_allclose(halves["q0"], [3.0, 7.0])
    assert output.composite_std(0.5)["q0"] == pytest.approx(2.0)
    assert output.composites(1.0)["q0"].tolist() == pytest.approx([(15 + 120 + 315) / 90])


@pytest.mark.parametrize(("setting", "value"), [("rate_t_per_h", 0.0), ("rate_t_per_h", -5.0)])
def test_reclaimer_settings_name_their_unit(setting, value):
    with pytest.raises(ValueError, match=f"{setting} .* t/h"):
        Reclaimer(**{setting: value})


def test_end_cone_slices_lie_within_the_tails():
    bed = Bed(length_m=10.0, depth_m=4.0)
    reclaimed = _reclaimed(np.ones(10), np.zeros(10))
    regions = slice_regions(reclaimed, bed, blending_tail_m=2.0)
    assert list(regions) == [END_CONE] * 2 + [BODY] * 6 + [END_CONE] * 2
    assert set(slice_regions(reclaimed, Bed(length_m=40.0, depth_m=40.0, circular=True), 2.0)) == {BODY}


def test_moduli_of_a_raw_mix_come_from_the_averaged_oxides():
    mix = pd.DataFrame({"CaO": [44.0], "SiO2": [13.5], "Al2O3": [3.2], "Fe2O3": [2.1]})
    moduli = add_derived(mix).iloc[0]
    # By hand: LSF = 4400 / (37.8 + 3.776 + 1.365) = 4400 / 42.941; SM = 13.5 / 5.3; AM = 3.2 / 2.1.
    assert moduli["LSF"] == pytest.approx(102.466, abs=1e-3)
    assert moduli["SM"] == pytest.approx(2.5472, abs=1e-4)
    assert moduli["AM"] == pytest.approx(1.5238, abs=1e-4)
    two = pd.DataFrame({"Al2O3": [2.0, 4.0], "Fe2O3": [1.0, 4.0]})
    averaged = add_derived(two.mean().to_frame().T)["AM"].iloc[0]
    assert averaged == pytest.approx(6 / 5)
    assert averaged != pytest.approx(add_derived(two)["AM"].mean())


def test_user_derived_values_and_missing_oxides():
    frame = pd.DataFrame({"CaO": [44.0, 45.0], "MgO": [1.0, 0.0]})
    result = add_derived(frame, {"CaO/MgO": lambda t: t["CaO"] / t["MgO"]})
    assert result["CaO/MgO"].iloc[0] == pytest.approx(44.0)
    # No MgO: no ratio, not infinity.
    assert math.isnan(result["CaO/MgO"].iloc[1])
    assert list(add_derived(frame).columns) == ["CaO", "MgO"]
    with pytest.raises(ValueError, match="overwrite"):
        add_derived(frame, {"CaO": lambda t: t["CaO"]})


def test_capacity_formula_by_hand():
    # 200 m x 36 m at 45 degrees: h = r = 18 m; prism 18^2 x (200 - 36) m, cones pi 18^2 18 / 3.
    capacity = bed_capacity(Bed(length_m=200.0, depth_m=36.0), 45.0)
    assert capacity.prism_m3 == pytest.approx(53136.0)
    assert capacity.cones_m3 == pytest.approx(6107.26, abs=0.01)
    # 59,243 m3 at 1.5 t/m3 is 88,865 t: 88.9 h at 1000 t/h.
    assert capacity.fill_time_h(1000.0, 1.5) == pytest.approx(88.865, abs=1e-3)


def test_a_bed_shorter_than_it_is_wide_holds_one_cone():
    # r = h = 5 m at 45 degrees: no prism, one cone of pi 25 x 5 / 3.
    capacity = bed_capacity(Bed(length_m=10.0, depth_m=40.0), 45.0)
    assert capacity.prism_m3 == 0.0
    assert capacity.volume_m3 == pytest.approx(math.pi * 125 / 3)


def test_engine_angle_falls_as_diagonal_rolling_grows():
    steep = engine_angle_deg(Bed(engine="fast", eight_neighbour_probability=0.0))
    round_ = engine_angle_deg(Bed(engine="fast", eight_neighbour_probability=1.0))
    assert 40 < round_ < steep < 50


@pytest.mark.parametrize(("engine", "probability"), [("fast", 0.0), ("fast", 0.5), ("fast", 1.0), ("layered", 1.0)])
# Only the ridge's shape matters here, not how finely its layers are resolved.
@pytest.mark.filterwarnings("ignore::korvex.ResolutionWarning")
def test_prism_and_end_cones_at_the_measured_angle_hold_what_a_ridge_holds(engine, probability):
    # Half-metre cells, so that the ridge's steps are small against its height.
    fast = {"eight_neighbour_probability": probability} if engine == "fast" else {}
    bed = Bed(length_m=80.0, depth_m=24.0, particles_per_m3=8.0, engine=engine, **fast)
    angle = engine_angle_deg(bed)
    rows = 2000
    series = QualitySeries.from_array(np.zeros(rows), volume_m3=0.6 * bed_capacity(bed).volume_m3 / rows)
    heights = simulate(series, Chevron(layers=40), bed, progress=False).heights
    shape = ridge_shape(heights)
    # The height of the triangle at the calibrated angle with this ridge's section.
    height = math.sqrt(shape.section_m2 * math.tan(math.radians(angle)))
    prism, cones = ridge_volume_m3(height, angle, shape.stacked_length_m)
    assert prism + cones == pytest.approx(heights.volume_m3, rel=0.08)
    assert cones > 0.1 * heights.volume_m3


def test_a_feed_twice_the_capacity_warns_or_raises():
    bed = Bed(length_m=200.0, depth_m=36.0)
    capacity = bed_capacity(bed, 45.0)
    with pytest.warns(OverCapacityWarning, match=r"2\.00 times what the 200 m x 36 m bed holds"):
        assert not check_capacity(2 * capacity.volume_m3, capacity, bed)
    with pytest.raises(ValueError, match="edges"):
        check_capacity(2 * capacity.volume_m3, capacity, bed, on_excess="error")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert check_capacity(capacity.volume_m3, capacity, bed)


def test_turnaround_dwell_piles_the_feed_at_the_turns():
    bed = Bed(length_m=60.0, depth_m=12.0, reclaim_angle_deg=90.0)
    series = QualitySeries.from_array(np.zeros(600), volume_m3=1.0, interval_s=6.0)
    plain = Chevron(stacker_speed_m_per_min=12.0, blending_tail_m=6.0).chunks(series, bed)
    dwelling = Chevron(stacker_speed_m_per_min=12.0, blending_tail_m=6.0, turnaround_dwell_s=60.0).chunks(series, bed)
    assert dwelling.total_volume_m3 == pytest.approx(plain.total_volume_m3)

    def at_turns(chunks):
        return float(chunks.volume[(np.abs(chunks.x - 6.0) < 1) | (np.abs(chunks.x - 54.0) < 1)].sum())

    # 48 m at 12 m/min is 4 min a pass, plus 1 min at the turn: a fifth of the feed lands at the turns.
    assert at_turns(dwelling) == pytest.approx(0.2 * series.total_volume_m3 + at_turns(plain) * 0.8, rel=0.05)
    with pytest.raises(ValueError, match="turnaround_dwell_s .* needs stacker_speed_m_per_min"):
        Chevron(layers=4, turnaround_dwell_s=30.0)


def test_stacker_makes_plans_and_the_feed_sets_its_rate():
    plan = Stacker(speed_m_per_min=10.0, turnaround_dwell_s=20.0, blending_tail_m=5.0).plan("windrow", rows=3)
    assert (plan.stacker_speed_m_per_min, plan.turnaround_dwell_s, plan.blending_tail_m, plan.rows) == (
        10.0,
        20.0,
        5.0,
        3,
    )
    # 10 m3 a minute at 1.5 t/m3 is 900 t/h.
    series = QualitySeries.from_array(np.zeros(30), volume_m3=10.0, interval_s=60.0)
    assert feed_rate_t_per_h(series, 1.5) == pytest.approx(900.0)
    with pytest.raises(ValueError, match="speed_m_per_min .* m/min"):
        Stacker(speed_m_per_min=-1.0)


def test_split_by_volume_keeps_every_cubic_metre_in_order():
    series = QualitySeries.from_array(np.arange(10.0), volume_m3=3.0, interval_s=60.0)
    portions = split_by_volume(series, 7.0)
    assert [p.total_volume_m3 for p in portions] == pytest.approx([7.0, 7.0, 7.0, 7.0, 2.0])
    times = np.concatenate([p.time_s for p in portions])
    assert np.all(np.diff(times) >= 0)
    # The second portion starts one third into delivery 2 (3 + 3 + 1 m3 went before).
    assert portions[1].time_s[0] == pytest.approx(120.0 + 20.0)
    assert portions[1].values[0, 0] == 2.0


@pytest.mark.slow
def test_two_beds_in_turn_conserve_mass_and_keep_the_output_continuous():
    bed = Bed(length_m=60.0, depth_m=12.0)
    capacity = bed_capacity(bed).volume_m3
    rng = np.random.default_rng(5)
    # 10 m3 a minute at 1.5 t/m3: 900 t/h, the reclaimer's rate too.
    series = QualitySeries.from_array(44 + rng.standard_normal(840), names=["CaO"], volume_m3=10.0, interval_s=60.0)
    beds = alternate(
        series,
        Chevron(layers=10),
        bed,
        capacity_m3=capacity,
        reclaimer=Reclaimer(rate_t_per_h=900.0),
        bulk_density_t_per_m3=1.5,
    )
    # At the layered engine's angle of repose (38°) the bed holds 1,527 m³: the 8,400 m³ fill five and a half.
    assert [turn.bed_name for turn in beds.turns] == ["A", "B", "A", "B", "A", "B"]
    mass_in = series.total_volume_m3 * 1.5
    frame = beds.output.frame
    # The layered engine lays every chunk whole: no remainder short of a particle stays in a stacker.
    assert frame["mass_t"].sum() == pytest.approx(mass_in, rel=1e-9)
    figures = beds.figures().set_index("bed")
    assert figures.loc["combined", "mass_in_t"] == pytest.approx(mass_in)
    assert figures.loc["A", "turns"] == 3 and figures.loc["B", "turns"] == 3
    # The reclaimer starts when bed A is full and never runs two beds at once; at the feed's own
    # rate it waits at most for the particle that the last bed keeps.
    starts, ends = frame["start_h"].to_numpy(), frame["end_h"].to_numpy()
    assert starts[0] == pytest.approx(capacity * 1.5 / 900.0, abs=1 / 60)
    gaps = starts[1:] - ends[:-1]
    assert gaps.min() >= -1e-9
    assert gaps.max() <= 1.5 / 900.0 + 1e-9
    assert beds.idle_h <= len(beds.turns) * 1.5 / 900.0


def _write(path, text):
    path.write_text(text, encoding="utf-8")
    return path


def test_semicolons_and_decimal_commas_read_as_numbers(tmp_path):
    path = _write(
        tmp_path / "feed.csv",
        "timestamp;tonnes;CaO;supplier\n0;30,0;44,5;north\n60;45,0;43,25;south\n120;15,0;45,0;north\n",
    )
    frame = read_table(path, sep=";", decimal=",")
    assert frame["CaO"].tolist() == [44.5, 43.25, 45.0]
    series = QualitySeries.from_frame(frame, bulk_density_t_per_m3=1.5)
    assert series.names == ("CaO",)
    np.testing.assert_allclose(series.volume_m3, [20.0, 30.0, 10.0])


@pytest.mark.parametrize(
    ("rows", "dates", "expected_day"),
    [
        # A day above 12 says day-first by itself.
        (["13.04.2026 06:00", "14.04.2026 06:00"], DateFormat(), 13),
        # Every day 12 or less: the user says so.
        (["03.04.2026 06:00", "04.04.2026 06:00"], DateFormat(dayfirst=True), 3),
        (["03.04.2026 06:00", "04.04.2026 06:00"], DateFormat(date_format="%d.%m.%Y %H:%M"), 3),
        (["04/03/2026 06:00", "04/04/2026 06:00"], DateFormat(dayfirst=False), 3),
    ],
)
def test_day_first_dates_read_right(tmp_path, rows, dates, expected_day):
    path = _write(tmp_path / "d.csv", "timestamp,volume,CaO\n" + "".join(f"{r},10,44\n" for r in rows))
    frame = read_table(path, dates=dates)
    assert frame["timestamp"].iloc[0].day == expected_day
    assert frame["timestamp"].iloc[0].month == 4
    assert QualitySeries.from_frame(frame).time_s[1] == pytest.approx(86400.0)


def test_ambiguous_dates_raise_instead_of_a_guess(tmp_path):
    path = _write(tmp_path / "d.csv", "timestamp,volume,CaO\n03.04.2026 06:00,10,44\n04.04.2026 06:00,10,45\n")
    with pytest.raises(ValueError, match="both day-first and month-first"):
        read_table(path)
    # The same from a frame the user read with pandas.
    with pytest.raises(ValueError, match="both day-first and month-first"):
        QualitySeries.from_frame(pd.read_csv(path))


@pytest.mark.parametrize(
    ("text", "place"),
    [
        # Line 4 as an editor counts it: the header, two rows, the bad row.
        ("timestamp,volume,CaO\n0,10,44\n30,10,44\n60,10,4x4\n", "line 4, column 'CaO'"),
        ("timestamp,volume,CaO\n2026-04-03 06:00,10,44\nyesterday,10,45\n", "line 3, column 'timestamp'"),
        ("timestamp,volume,CaO\n13.04.2026,10,44\n14.13.2026,10,45\n", "line 3, column 'timestamp'"),
    ],
    ids=["number", "iso-date", "day-first-date"],
)
def test_errors_name_the_line_and_the_column(tmp_path, text, place):
    with pytest.raises(ValueError, match=place):
        read_table(_write(tmp_path / "bad.csv", text))


def test_a_workbook_round_trips(tmp_path):
    slices = pd.DataFrame({"position_m": [1.0, 2.0], "volume_m3": [3.5, 4.0], "CaO": [44.1, np.nan]})
    summary = pd.DataFrame({"setting": ["bulk_density_t_per_m3"], "value": [1.5]})
    path = write_workbook(tmp_path / "study.xlsx", {"summary": summary, "slices": slices})
    back = read_workbook(path, sheet="slices", time_column=None)
    pd.testing.assert_frame_equal(back, slices, check_dtype=False)
    assert read_workbook(path, time_column=None)["setting"].tolist() == ["bulk_density_t_per_m3"]
    with pytest.raises(ValueError, match="no sheet 'output'"):
        read_workbook(path, sheet="output")


def test_workbook_input_with_dates_becomes_a_series(tmp_path):
    feed = pd.DataFrame(
        {
            "timestamp": pd.date_range("2026-04-03 06:00", periods=3, freq="h"),
            "t": [15.0, 15.0, 30.0],
            "SiO2": [13.0, 13.5, 14.0],
        }
    )
    path = write_workbook(tmp_path / "feed.xlsx", {"day 1": feed})
    series = QualitySeries.from_frame(read_table(path), bulk_density_t_per_m3=1.5)
    np.testing.assert_allclose(series.time_s, [0.0, 3600.0, 7200.0])
    np.testing.assert_allclose(series.volume_m3, [10.0, 10.0, 20.0])


@pytest.mark.parametrize(
    ("limits", "message"),
    [
        (ReadLimits(max_bytes=100), "bytes"),
        (ReadLimits(max_rows=5), "rows"),
        (ReadLimits(max_columns=2), "columns"),
        (ReadLimits(max_cells=10), "cells"),
    ],
)
@pytest.mark.parametrize("suffix", [".csv", ".xlsx"])
def test_inputs_are_bounded(tmp_path, limits, message, suffix):
    frame = pd.DataFrame({"timestamp": np.arange(20.0), "volume": 1.0, "CaO": 44.0})
    path = tmp_path / f"big{suffix}"
    if suffix == ".csv":
        frame.to_csv(path, index=False)
    else:
        write_workbook(path, {"feed": frame})
    with pytest.raises(ValueError, match=message):
        read_table(path, limits=limits)


def _feed(hours=4.0):
    # 10 m3 a minute at 1.5 t/m3: 900 t/h.
    rng = np.random.default_rng(3)
    rows = round(hours * 60)
    values = np.column_stack([44 + rng.standard_normal(rows), 13.5 + 0.3 * rng.standard_normal(rows)])
    return QualitySeries.from_array(values, names=["CaO", "SiO2"], volume_m3=10.0, interval_s=60.0)


def test_a_study_in_tonnes_with_stacker_speed_and_reclaim_rate():
    bed = Bed(length_m=80.0, depth_m=24.0)
    study = simulate(
        _feed(),
        Chevron(stacker_speed_m_per_min=7.0),
        bed,
        progress=False,
        seed=3,
        bulk_density_t_per_m3=1.5,
        reclaimer=Reclaimer(rate_t_per_h=600.0),
    )
    summary = study.summary()
    figure = {(row.figure, row.unit): row.value for row in summary.itertuples()}
    assert figure[("feed", "t")] == pytest.approx(2400 * 1.5)
    assert figure[("feed rate", "t/h")] == pytest.approx(900.0)
    # 4 h at 7 m/min over passes of 80 - 2 x 12 m: 1680 m / 56 m = 30 passes.
    assert figure[("layers (stacker passes)", "")] == pytest.approx(30.0)
    assert figure[("capacity", "m³")] == pytest.approx(bed_capacity(bed).volume_m3)
    assert figure[("fill time at the feed rate", "h")] == pytest.approx(bed_capacity(bed).volume_m3 * 1.5 / 900)
    # What was reclaimed, at 600 t/h.
    assert figure[("reclaim time", "h")] == pytest.approx(study.reclaimed.total_volume_m3 * 1.5 / 600)
    cao = study.homogenisation()[0]
    assert figure[("CaO VRR, portions of equal volume", "")] == cao.vrr
    assert figure[("CaO VRR per delivery", "")] == cao.per_delivery_vrr
    assert figure[("CaO std in, per delivery", "")] == cao.std_in_per_delivery != cao.std_in
    names = list(summary["figure"])
    assert names.index("CaO VRR, portions of equal volume") < names.index("CaO VRR per delivery")
    hourly = study.composites(1.0)
    # The reclaim time is a sum of floats: 6 h may read 6.000000000000001 h, which is six hours, not seven.
    assert len(hourly) == math.ceil(round(figure[("reclaim time", "h")], 9))
    assert hourly["mass_t"].sum() == pytest.approx(study.reclaimed.total_volume_m3 * 1.5)
    regions = study.regions().set_index("region")
    assert regions.loc[END_CONE, "volume_m3"] + regions.loc[BODY, "volume_m3"] == pytest.approx(
        regions.loc["whole bed", "volume_m3"]
    )
    # Tails of 12 m at each end, cut in 1 m slices, the cones' toes short of the bed's ends.
    assert 0 < regions.loc[END_CONE, "slices"] <= 24
    assert regions.loc[END_CONE, "slices"] + regions.loc[BODY, "slices"] == regions.loc["whole bed", "slices"]
    assert list(study.slices().columns[:3]) == ["position_m", "volume_m3", "mass_t"]


def test_a_study_warns_of_a_feed_twice_its_capacity_and_reports_the_edges():
    # The edge volume is what lies in the outermost cells, so it shrinks with the cell: 1 m cells.
    bed = Bed(length_m=60.0, depth_m=12.0, particles_per_m3=1.0)
    feed = _feed(hours=2 * bed_capacity(bed).volume_m3 / 600)
    with pytest.warns(OverCapacityWarning, match="2.00 times"):
        study = simulate(feed, Chevron(layers=10), bed, progress=False, seed=1)
    assert study.edge_volume.long_edges_m3 > 0.05 * study.reclaimed.total_volume_m3
    row = study.summary().set_index("figure").loc["volume against the long edges"]
    assert row["value"] == pytest.approx(study.edge_volume.long_edges_m3) and row["unit"] == "m³"
    with pytest.raises(ValueError, match="times what the 60 m x 12 m bed holds"):
        simulate(feed, Chevron(layers=10), bed, progress=False, on_excess="error")


def test_a_study_workbook_holds_summary_slices_and_output(tmp_path):
    mix = _feed(hours=2.0)
    oxides = QualitySeries(
        mix.time_s, mix.volume_m3, np.column_stack([mix.values, np.full(len(mix), 3.2), np.full(len(mix), 2.1)]),
        ("CaO", "SiO2", "Al2O3", "Fe2O3"),
    )
    study = simulate(
        oxides,
        Chevron(layers=8),
        Bed(length_m=60.0, depth_m=12.0),
        progress=False,
        seed=2,
        bulk_density_t_per_m3=1.5,
        reclaimer=Reclaimer(rate_t_per_h=900.0),
    )
    path = save_workbook(study, tmp_path / "study.xlsx")
    output = read_workbook(path, sheet="output", time_column=None)
    assert list(output.columns[:5]) == ["start_h", "end_h", "position_m", "volume_m3", "mass_t"]
    np.testing.assert_allclose(output["end_h"], study.output.frame["end_h"])
    hourly = read_workbook(path, sheet="composites 1 h", time_column=None)
    # The moduli of each hour come from its averaged oxides.
    expected = 100 * hourly["CaO"] / (2.8 * hourly["SiO2"] + 1.18 * 3.2 + 0.65 * 2.1)
    np.testing.assert_allclose(hourly["LSF"], expected)
    assert read_workbook(path, sheet="summary", time_column=None)["unit"].fillna("").isin(
        ["", "m³", "t", "t/m³", "t/h", "m³/h", "°", "m", "h", "min", "m/min", "s"]
    ).all()


@pytest.mark.slow
def test_the_command_line_reads_tonnes_in_european_format_and_writes_the_plant_figures(tmp_path, capsys):
    from korvex.cli import main

    # Two days of hourly deliveries of 150 t, day-first dates whose days are all 12 or less.
    rows = [
        f"{3 + k // 24:02d}.04.2026 {k % 24:02d}:00;150,0;{44 + math.sin(k / 3):.2f}".replace(".", ",", 3)
        for k in range(48)
    ]
    rows = [row.replace(",", ".", 2) for row in rows]
    path = _write(tmp_path / "feed.csv", "timestamp;tonnes;CaO\n" + "\n".join(rows) + "\n")
    assert rows[1] == f"03.04.2026 01:00;150,0;{44 + math.sin(1 / 3):.2f}".replace("44.", "44,")
    args = ["simulate", str(path), "--sep", ";", "--decimal", ",", "--dayfirst", "--bulk-density-t-per-m3", "1.5"]
    args += ["--length-m", "120", "--depth-m", "24", "--stacker-speed-m-per-min", "2"]
    args += ["--reclaim-rate-t-per-h", "300", "--output-dir", str(tmp_path / "out"), "--workbook", "--seed", "4"]
    assert main(args) == 0
    captured = capsys.readouterr()
    # No warning; a slow machine may show the progress bar there.
    assert "warning" not in captured.err
    # 47 h of feed (the last delivery flows for a typical hour) at 2 m/min over passes of 96 m: 60 passes.
    assert re.search(r"layers \(stacker passes\) +60\n", captured.out)
    for figure in ("capacity", "fill time at the feed rate", "reclaim time", "CaO std of hourly composites"):
        assert figure in captured.out
    out = tmp_path / "out"
    hourly = pd.read_csv(out / "feed-composites-1h.csv", comment="#")
    # Dated deliveries: each composite also says when on the plant's clock it starts.
    assert list(hourly.columns) == ["start", "start_h", "end_h", "mass_t", "volume_m3", "CaO"]
    # 7200 t at 300 t/h: 24 hourly composites, less what stays below a particle in the stacker.
    assert len(hourly) == 24
    assert hourly["mass_t"].sum() == pytest.approx(7200.0, abs=1.5)
    assert read_workbook(out / "feed.xlsx", sheet="run", time_column=None)["text"].str.contains("seed 4").any()
    assert_png(out / "feed-output.png")


@pytest.mark.slow
@pytest.mark.parametrize(("option", "stopped"), [("warn", False), ("error", True)])
def test_the_command_line_tells_of_a_feed_beyond_capacity(tmp_path, capsys, option, stopped):
    from korvex.cli import main

    path = _write(tmp_path / "feed.csv", "timestamp,volume,CaO\n" + "".join(f"{60 * k},10,44\n" for k in range(300)))
    args = ["simulate", str(path), "--length-m", "40", "--depth-m", "8", "--quiet", "--on-excess", option]
    args += ["--output-dir", str(tmp_path)]
    if stopped:
        with pytest.raises(SystemExit) as stop:
            main(args)
        assert stop.value.code == 2
    else:
        assert main(args) == 0
    assert "times what the 40 m x 8 m bed holds" in capsys.readouterr().err


@pytest.mark.slow
@pytest.mark.parametrize(("rate_t_per_h", "blocked"), [(900.0, False), (450.0, True)])
def test_two_beds_tell_when_the_reclaimer_falls_behind_the_feed(rate_t_per_h, blocked):
    bed = Bed(length_m=60.0, depth_m=12.0)
    series = QualitySeries.from_array(np.zeros(600), volume_m3=10.0, interval_s=60.0)
    beds = alternate(
        series,
        Chevron(layers=6),
        bed,
        capacity_m3=bed_capacity(bed).volume_m3,
        reclaimer=Reclaimer(rate_t_per_h=rate_t_per_h),
        bulk_density_t_per_m3=1.5,
    )
    # At half the feed's rate, bed A is still half full when its second filling is due.
    if blocked:
        assert beds.feed_blocked_h > 0.5
    else:
        assert beds.feed_blocked_h < 0.01


def test_a_stacker_turning_at_the_very_ends_is_warned_of_not_divided_by_zero():
    bed = Bed(length_m=100, depth_m=20)
    capacity = bed_capacity(bed, 40.0, blending_tail_m=0.0)
    assert capacity.volume_m3 == 0
    with pytest.warns(OverCapacityWarning, match="holds nothing without spilling over its ends"):
        assert not check_capacity(500.0, capacity, bed)
