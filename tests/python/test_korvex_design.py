"""Searches that do not assume the VRR falls steadily, the trend's bands, and the sensitivity view."""

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("_korvex_lib")

from korvex import (  # noqa: E402
    Bed,
    Chevron,
    QualitySeries,
    Reclaimer,
    SettingsError,
    search,
    sensitivity,
    simulate,
    synthetic_series,
    truck_feed,
)
from korvex.design import Criterion, Search, Sensitivity, Trend, judge, operating_scan  # noqa: E402
from korvex.equipment import feed_rate_t_per_h  # noqa: E402
from korvex.operation import Operation  # noqa: E402
from korvex.sweeps import IN_PROCESS, Kiln, expand, plan_runs, sweep  # noqa: E402
from test_korvex_plots import assert_png  # noqa: E402

GRID = [10, 14, 20, 28, 40, 56, 80, 113, 160]
# Cells of 0.25 m, not the rule's 0.067 m on a 10 m deep bed: a 60th of the particles per run, and these
# tests judge the views and searches, not the engine's resolution.
SMALL = {"length_m": 40, "depth_m": 10, "hours": 0.75, "particles_per_m3": 64}


def grid_table(resonance=None, *, draws=4, scatter=0.1, seed=0):
    """A sweep's table over layers whose VRR falls as 2 / layers, scattered from draw to draw; at
    `resonance` layers the feed's rhythm makes it six times worse."""
    rng = np.random.default_rng(seed)
    rows = []
    for layers in GRID:
        for draw in range(draws):
            vrr = 2.0 / layers * np.exp(scatter * rng.standard_normal()) * (6.0 if layers == resonance else 1.0)
            rows.append({"layers": layers, "replicate": draw, "operation": draw, "quality": "CaO", "vrr": vrr,
                         "error": None})
    return pd.DataFrame(rows)


@pytest.mark.parametrize(
    ("resonance", "target_vrr", "answers"),
    [
        # 2 / layers < 0.05 from 40 layers on; the scatter asks for the next value.
        (None, 0.05, {56}),
        # A resonance at 80 layers misses the target: no value below it is an answer, as bisection's could
        # be; the trend's scatter grows with it, so the answer may lie further up.
        (80, 0.05, {113, 160}),
        # A resonance at the end of the range leaves no value from which the target holds over the rest.
        (160, 0.05, {None}),
        (None, 1e-4, {None}),
    ],
)
def test_a_search_answers_from_where_the_target_holds_over_the_rest_of_the_range(resonance, target_vrr, answers):
    (verdict,) = judge(grid_table(resonance), "layers", target_vrr)
    assert verdict.value in answers


def test_a_search_judges_the_figures_it_is_asked_for_and_names_those_that_never_hold():
    # A modulus of truck-to-truck scatter, say, that no layer count in the range brings to the target.
    table = pd.concat([grid_table(seed=0), grid_table(160, seed=1).assign(quality="AM")], ignore_index=True)
    (cao,) = judge(table, "layers", 0.05, quality=["CaO"])
    assert (cao.quality, cao.value) == ("CaO", 56)
    both = judge(table, "layers", 0.05, quality=("CaO", "AM"))
    assert [(j.quality, j.value) for j in both] == [("CaO", 56), ("AM", None)]
    with pytest.raises(ValueError, match=r"quality: no quality value \['LSF'\] among \['CaO', 'AM'\]"):
        judge(table, "layers", 0.05, quality=["CaO", "LSF"])
    said = Search("layers", 0.05, 0.95, None, both, table, "stamp").describe()
    assert said.startswith("no layers from 10 to 160 reaches") and "never from any value: AM (mean E of a draw" in said
    assert "CaO (" not in said


def test_the_trend_and_its_band_for_one_bed():
    rng = np.random.default_rng(1)
    layers = np.repeat(np.array(GRID, dtype=float), 5)
    vrr = 2.0 / layers * np.exp(0.2 * rng.standard_normal(layers.size))
    trend = Trend.fit(layers, vrr)
    assert trend.coefficients[-2] == pytest.approx(-1.0, abs=0.15)
    assert trend.scatter == pytest.approx(0.2, rel=0.2)
    # Beds built later at 30 layers fall inside the one-bed band about 95 % of the time; the trend's own
    # band is narrower and holds far fewer of them.
    fresh = np.log(2.0 / 30 * np.exp(0.2 * rng.standard_normal(4000)))
    low, high = trend.bounds(30.0, 0.95, one_bed=True)
    assert 0.92 < np.mean((fresh > low) & (fresh < high)) < 0.98
    low, high = trend.bounds(30.0, 0.95, one_bed=False)
    assert np.mean((fresh > low) & (fresh < high)) < 0.6
    assert np.mean(fresh < trend.upper(30.0, 0.95)) == pytest.approx(0.95, abs=0.03)
    with pytest.raises(ValueError, match="at least two values of the setting"):
        Trend.fit(np.full(4, 10.0), np.full(4, 0.1))


def test_a_sensitivity_view_holds_the_speed_it_names(tmp_path):
    view = sensitivity(
        "speed_factor", 1.0, spread=0.05, points=3, settings={"layers": 3, **SMALL}, replicates=2, seed=1,
        scheduler=IN_PROCESS, progress=False,
    )
    assert sorted(set(view.table["speed_factor"])) == [0.95, 1.0, 1.05]
    # The speed is the setting's; the stacker's start is still drawn.
    assert view.table["drawn_speed_factor"].isna().all() and view.table["drawn_start_phase_m"].notna().all()
    low, high = view.effect_range("CaO")
    assert 0 < low <= high
    figure = view.figure(interval_effect=(low, high))
    assert [panel.get_title() for panel in figure.axes] == ["CaO", "SiO2", "Fe2O3"]
    # A search's interval belongs to the quality value it judged: drawn on that panel alone.
    chosen = view.figure(interval_effect=(low, high), interval_quality="CaO", qualities=["SiO2", "CaO"])
    assert [panel.get_title() for panel in chosen.axes] == ["SiO2", "CaO"]
    assert [len(panel.containers) for panel in chosen.axes] == [0, 1]
    with pytest.raises(ValueError, match=r"qualities: no quality value \['LSF'\]"):
        view.figure(interval_effect=(low, high), interval_quality="LSF")
    path = tmp_path / "sensitivity.png"
    figure.savefig(path)
    assert_png(path)
    layers = sensitivity("layers", 20, spread=0.1, points=5, settings=SMALL, replicates=1, seed=1,
                         scheduler=IN_PROCESS, progress=False)
    assert sorted(set(layers.table["layers"])) == [18, 19, 20, 21, 22]


@pytest.mark.slow
def test_the_truck_feed_search_answers_alike_over_seeds_and_its_bound_holds_the_speeds_around_it():
    feed = QualitySeries.from_frame(truck_feed(seed=1), bulk_density_t_per_m3=1.45)
    bed = {"length_m": 250, "depth_m": 45}
    options = {"feed": feed, "scheduler": IN_PROCESS, "progress": False}
    found = [
        # Judged on LSF, the kiln's KPI. SM and AM of this feed vary almost only from truck to truck, which
        # no layer count averages away: judged on every figure, no value in the range holds (see the docs).
        search("layers", None, 20, 160, target_effect=5, quality="LSF", points=9, settings=bed, replicates=6,
               seed=seed, **options)
        for seed in (1, 2, 3)
    ]
    answers = {one.value for one in found}
    # Six distinct beds a value: the seeds' answers lie on neighbouring values of the grid at most.
    assert None not in answers, [one.describe() for one in found]
    places = sorted(found[0].grid.index(answer) for answer in answers)
    assert places[-1] - places[0] <= 1, [one.describe() for one in found]
    chosen = max(found, key=lambda one: one.value)
    assert chosen.deciding.quality == "LSF" and "(LSF: one bed's E above" in chosen.describe()
    around = sensitivity("speed_factor", 1.0, spread=0.05, points=11, settings={**bed, "layers": chosen.value},
                         replicates=4, seed=1, **options)
    least, _ = around.effect_range("LSF")
    # The bound the answer is judged on holds for the speeds around it.
    assert chosen.bound <= least, (least, chosen.bound)


@pytest.mark.parametrize(
    ("engine", "draws"),
    [
        # The layered engine draws nothing at random: a second engine seed on one draw would repeat it.
        ("layered", [0, 1, 2, 3, 4, 5]),
        ("fast", [0, 0, 1, 1, 2, 2]),
    ],
)
def test_replicates_on_an_engine_without_chance_are_draws_of_their_own(engine, draws):
    runs = plan_runs(expand({"layers": 20, "engine": engine, **SMALL}), replicates=6, seed=1, synthetic_feed=True,
                     operation=Operation())
    assert [run.operation for run in runs] == draws
    assert len({run.operation_seed for run in runs}) == len(set(draws))


def test_six_replicates_on_the_layered_engine_give_six_beds():
    table = sweep({"layers": 20, **SMALL}, replicates=6, seed=1, scheduler=IN_PROCESS, progress=False).table
    assert table.loc[table["quality"] == "CaO", "vrr"].nunique() == 6


@pytest.mark.parametrize("run", [sensitivity, search])
def test_a_setting_left_unset_is_refused_rather_than_run_at_its_default(run):
    # What a search that found no answer hands on as its value.
    arguments = ("speed_factor", 1.0) if run is sensitivity else ("speed_factor", 0.05, 0.9, 1.1)
    with pytest.raises(SettingsError, match=r"settings: layers = None is unset, and would run at its default"):
        run(*arguments, settings={"layers": None, **SMALL}, scheduler=IN_PROCESS, progress=False)


def kiln_table(figure, *, seed=0):
    """A sweep's table of the kiln's figures over layers: the composites' std falls as 4 / sqrt(layers), the
    share of tonnes in the band climbs as 1 - 2 / layers, each scattered from draw to draw."""
    rng = np.random.default_rng(seed)
    rows = []
    for layers in GRID:
        for draw in range(4):
            noise = np.exp(0.1 * rng.standard_normal())
            value = 4 / np.sqrt(layers) * noise if figure == "composite_std_out" else 1 - 2 / layers * noise
            rows.append({"layers": layers, "replicate": draw, "operation": draw, "quality": "LSF", "vrr": 0.1,
                         figure: value, "composites": 48, "error": None})
    return pd.DataFrame(rows)


@pytest.mark.parametrize(
    ("figure", "limit", "answers"),
    [
        # 4 / sqrt(layers) < 0.6 from 44 layers on, 0.5 from 64: the scatter asks for the next value or two.
        ("composite_std_out", 0.6, {56, 80}),
        ("composite_std_out", 0.5, {80, 113}),
        # 1 - 2 / layers > 0.95 from 40 layers on; 48 composites a run blur a share near 1.
        ("band_share_out", 0.95, {56, 80}),
        ("band_share_out", 0.999, {None}),
    ],
)
def test_a_search_judges_the_kilns_figures(figure, limit, answers):
    criterion = Criterion(figure, limit)
    (verdict,) = judge(kiln_table(figure), "layers", quality="LSF", criterion=criterion)
    assert verdict.value in answers
    search = Search("layers", np.nan, 0.95, verdict.value, (verdict,), kiln_table(figure), "stamp", criterion)
    said = search.describe()
    if verdict.value is None:
        assert said.startswith(f"no layers from 10 to 160 reaches {criterion.name} of LSF")
        return
    # The bound judged, read as the figure: a std below the limit, a share above it.
    assert (search.bound < limit) if figure == "composite_std_out" else (search.bound > limit)
    assert f"{criterion.better} {search.bound:.3g} with 95% confidence, the one-sided bound judged" in said


def test_a_search_says_and_draws_the_one_sided_bound_it_is_judged_on(tmp_path):
    table = grid_table().assign(effect=lambda rows: rows["vrr"] ** -0.5)
    (verdict,) = judge(table, "layers", 0.05)
    found = Search("layers", 0.05, 0.95, verdict.value, (verdict,), table, "stamp")
    # The answer holds where one bed's one-sided bound of log VRR, the larger of the trend's and the value's
    # own draws', lies below the target: that bound is what the search says, as E.
    own = verdict.local[list(verdict.grid).index(verdict.value)]
    bound = max(verdict.trend.upper(verdict.value, 0.95)[0], own)
    assert found.bound == pytest.approx(np.exp(-bound / 2))
    assert found.bound > 0.05**-0.5
    assert f"one bed's E above {found.bound:.3g} with 95% confidence, the one-sided bound judged" in found.describe()
    figure = found.figure()
    (panel,) = figure.axes
    labels = [line.get_label() for line in panel.get_lines()]
    assert "one bed above, 95% (trend)" in labels and "one bed above, 95% (its draws)" in labels
    # No two-sided band of one bed beside the bound that decides.
    assert not panel.collections
    path = tmp_path / "search.png"
    figure.savefig(path)
    assert_png(path)


def test_a_sweep_with_a_kiln_tabulates_what_the_study_gives_the_kiln():
    kiln = Kiln(1.5, ("CaO=44+-0.5",), interval_h=0.1)
    table = sweep({"layers": 6, **SMALL}, replicates=1, seed=2, kiln=kiln, scheduler=IN_PROCESS, progress=False).table
    run = table.iloc[0]
    feed = synthetic_series(hours=0.75, seed=int(run["feed_seed"]))
    bed = Bed(length_m=40, depth_m=10, particles_per_m3=64)
    plan = Chevron(layers=6, start_phase_m=run["drawn_start_phase_m"], speed_factor=run["drawn_speed_factor"])
    rate = feed_rate_t_per_h(feed, 1.5)
    study = simulate(feed, plan, bed, progress=False, seed=int(run["seed"]), bulk_density_t_per_m3=1.5,
                     on_excess="ignore",
                     reclaimer=Reclaimer(rate), targets=["CaO=44+-0.5"])
    cao = table.set_index("quality").loc["CaO"]
    assert cao["composite_std_out"] == pytest.approx(study.composite_std(0.1)["CaO"])
    assert cao["band_share_out"] == pytest.approx(study.target_shares(0.1)["after"].iloc[0])
    assert np.isnan(table.set_index("quality").loc["SiO2", "band_share_out"])
    with pytest.raises(SettingsError, match=r"targets: no band for LSF among \['CaO=44 ± 0.5'\]"):
        search("layers", low=2, high=8, target_share=0.9, quality="LSF", kiln=kiln, settings=SMALL)


def test_the_sensitivity_figure_lays_seven_panels_out_in_rows(tmp_path):
    rng = np.random.default_rng(3)
    names = ["CaO", "SiO2", "Al2O3", "Fe2O3", "LSF", "SM", "AM"]
    rows = [{"feed": "feed", "speed_factor": speed, "replicate": k, "operation": k, "quality": name,
             "vrr": vrr, "effect": vrr**-0.5, "std_in": 1.0, "std_out": vrr**0.5, "predicted_vrr": np.nan,
             "passes": 90.0, "error": None}
            for speed in (0.95, 1.0, 1.05) for k in range(2) for name in names
            for vrr in [0.01 * np.exp(rng.standard_normal())]]
    view = Sensitivity("speed_factor", 1.0, pd.DataFrame(rows), "stamp")
    figure = view.figure(bound=5.0, interval_quality="LSF")
    shown = [panel for panel in figure.axes if panel.get_visible()]
    assert len(shown) == 7
    columns = {round(panel.get_position().x0, 3) for panel in shown}
    rows_ = {round(panel.get_position().y0, 3) for panel in shown}
    assert (len(columns), len(rows_)) == (3, 3)
    width, height = figure.get_size_inches()
    assert width <= 14 and height <= 13
    # Intervals of E over two draws stay above zero.
    assert (view.summary["effect_low"] > 0).all()
    path = tmp_path / "sensitivity.png"
    figure.savefig(path)
    assert_png(path)


def test_the_operating_scan_finds_the_speed_at_which_the_stacker_resonates_with_the_feed(tmp_path):
    # A feed of period p on a bed whose stacker runs L = 100 m a pass: at speed v a round trip takes 2 L / v,
    # and where that is p every forward pass lays the same phase of the feed at each point, and every backward
    # pass too; the layers add up instead of cancelling. So the resonance lies at v = 2 L / p, here 10 m/min.
    length_m, depth_m = 120.0, 20.0
    pass_m = length_m - depth_m  # Chevron's tails: half the depth at each end
    period_s = 2 * pass_m / 10.0 * 60
    resonant = 2 * pass_m / (period_s / 60)
    time_s = np.arange(600) * 60.0
    feed = QualitySeries(time_s, np.full(time_s.size, 10.0), np.sin(2 * np.pi * time_s / period_s)[:, None], ("q",))
    scan = operating_scan(
        "stacker_speed_m_per_min", 8, 12.5, feed=feed, points=46, worst=1, replicates=2, target_effect=5,
        settings={"length_m": length_m, "depth_m": depth_m, "particles_per_m3": 1}, seed=1, scheduler=IN_PROCESS,
        progress=False,
    )
    # Within one step of the scan, 0.1 m/min.
    assert scan.worst[0] == pytest.approx(resonant, abs=0.1 + 1e-9)
    predicted = scan.predicted_effect("q")
    simulated = scan.simulated.table.query("quality == 'q'")["effect"]
    # The engine confirms the dip: a bed there blends less than half as well as the range's typical speed.
    assert simulated.mean() < predicted["effect"].median() / 2
    assert scan.holds is False and "E > 5 fails over the whole range" in scan.describe()
    path = tmp_path / "scan.png"
    scan.figure().savefig(path)
    assert_png(path)
