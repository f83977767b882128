"""Bad input to the package and the command line: a clear message, exit status 2, no traceback."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pytest.importorskip("_korvex_lib")

import korvex  # noqa: E402
from korvex import Bed, Chevron, ConeShell, QualitySeries, Windrow, as_series, synthetic_series  # noqa: E402
from korvex import validation  # noqa: E402
from korvex.cli import main  # noqa: E402

GOOD_ROWS = [f"{60 * k},10,{44 + (k % 5) * 0.3:.1f},{13 + (k % 3) * 0.2:.1f}" for k in range(40)]


def csv_text(rows=GOOD_ROWS, header="timestamp,volume,CaO,SiO2"):
    return "\n".join([header, *rows]) + "\n"


def replaced(line, text):
    """The good rows with the row on file line `line` (header is line 1) replaced."""
    rows = list(GOOD_ROWS)
    rows[line - 2] = text
    return csv_text(rows)


SMALL_BED = ["--length-m", "60", "--depth-m", "12", "--blending-tail-m", "6", "--layers", "4"]
CHUNKS = "x,z,volume,Fe2O3\n5,4,3,1.0\n70,4,3,2.0\n15,4,3,3.0\n"


@pytest.mark.parametrize(
    ("content", "extra", "message"),
    [
        (replaced(5, "240,10,abc,13.2"), [], "line 5, column 'CaO': 'abc' is not a number"),
        (replaced(7, "360,10,44.2,"), [], "missing or not finite in line 7"),
        (replaced(4, ""), [], "missing or not finite in line 4"),
        (replaced(9, "10,10,44.0,13.0"), [], "time_s goes backwards at line 9"),
        (replaced(3, "60,-4,44.0,13.0"), [], "volume_m3 is negative in line 3"),
        (replaced(6, "300,ten,44.0,13.0"), [], "line 6, column 'volume': 'ten' is not a number"),
        ("timestamp,volume,CaO\n", [], "no rows"),
        ("", [], "No columns"),
        (
            "timestamp,volume,CaO\n2026-05-04 06:00,10,44\nsoon,10,45\n",
            [],
            "line 3, column 'timestamp': 'soon' is neither a number of seconds nor a date",
        ),
        (
            CHUNKS.replace("70,", "7,").replace("3.0", "x"),
            ["--length-m", "20", "--depth-m", "8"],
            "line 4, column 'Fe2O3': 'x' is not a number",
        ),
        (CHUNKS, ["--length-m", "20", "--depth-m", "8"], "chunk in line 3 at x = 70 m"),
        (
            CHUNKS.replace("70,4,3,", "7,4,1e12,"),
            ["--length-m", "20", "--depth-m", "8", "--particles-per-m3", "1"],
            "more than the 160000 m3 this bed can hold",
        ),
        (
            CHUNKS.replace("70,4,3,", "7,4,1e12,"),
            ["--length-m", "20", "--depth-m", "8", "--particles-per-m3", "1", "--engine", "fast"],
            "1e+12 particles",
        ),
        (csv_text(), ["--chunk-length-m", "1e-9"], "give a longer chunk_length_m"),
        (csv_text(), ["--layers", "1000000000"], "lay fewer layers"),
        (csv_text(), ["--length-m", "nan"], "length_m must be finite, got nan m"),
        (csv_text(), ["--particles-per-m3", "1e9"], "more than the 268,435,456 allowed"),
        (csv_text(), ["--reclaim-angle-deg", "120"], "reclaim_angle_deg must be above 0 ° and at most 90 °"),
        (csv_text(), ["--seed", "-1"], "seed must be a whole number"),
        (csv_text(), ["--volume-m3", "0", "--volume-column", "none"], "volume_m3 must be positive, got 0.0 m³"),
        (csv_text(), ["--quality", "MgO"], "no quality column ['MgO']"),
        (csv_text(header="timestamp,volume,CaO,CaO"), [], "line 1 names the column 'CaO' more than once"),
        (replaced(8, "420,10,44.0,13.0,7"), [], "Expected 4 fields in line 8, saw 5"),
        ("timestamp,volume,CaO\n0,1,2\nlater,1,3\n", [], "line 3, column 'timestamp': 'later' is not a number"),
        ("CaO," * 2000 + "volume\n", [], "line 1 names 2,001 columns, more than the 1,000 allowed"),
        (b"\xff\xfe\x00binary".decode("latin-1"), [], "can't decode"),
        (replaced(4, "120,10,1e308,13.0"), [], "line 4, column 'CaO': 1e+308 is beyond the 1e+15 in magnitude"),
        ('timestamp,volume,"Ca\rO"\n0,10,44\n', [], "line 1 names the column 'Ca\\rO', which holds a line break"),
    ],
    ids=[
        "text-in-quality",
        "empty-cell",
        "blank-line",
        "time-backwards",
        "negative-volume",
        "text-in-volume",
        "header-only",
        "empty-file",
        "text-in-dates",
        "text-in-chunk-quality",
        "chunk-off-bed",
        "endless-volume",
        "endless-volume-fast",
        "tiny-chunks",
        "billion-layers",
        "nan-length",
        "fine-grid",
        "flat-angle",
        "negative-seed",
        "zero-volume",
        "unknown-quality",
        "duplicate-column",
        "extra-field",
        "text-in-seconds",
        "too-many-columns",
        "not-utf8",
        "outsized-quality",
        "line-break-in-name",
    ],
)
def test_simulate_refuses_bad_input_with_a_message_and_status_2(tmp_path, capsys, content, extra, message):
    path = tmp_path / "input.csv"
    path.write_text(content, encoding="latin-1")
    args = ["simulate", str(path), "--output-dir", str(tmp_path / "out"), "--quiet"]
    plan = [] if content.startswith("x,") or "--length-m" in extra else SMALL_BED
    with pytest.raises(SystemExit) as stop:
        main([*args, *plan, *extra])
    assert stop.value.code == 2
    err = capsys.readouterr().err
    assert message in err
    assert "Traceback" not in err
    assert not (tmp_path / "out").exists()


def test_a_file_longer_than_allowed_is_refused_before_it_is_used(tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(validation, "MAX_ROWS", 30)
    path = tmp_path / "long.csv"
    path.write_text(csv_text())
    with pytest.raises(SystemExit) as stop:
        main(["simulate", str(path), "--output-dir", str(tmp_path), "--quiet", *SMALL_BED])
    assert stop.value.code == 2
    assert f"{path}: the file would have 31 rows, more than the 30 allowed" in capsys.readouterr().err


def test_a_column_of_text_is_no_quality_and_quality_options_choose(tmp_path, capsys):
    path = tmp_path / "samples.csv"
    rows = [f"{row},S-{k:03d}" for k, row in enumerate(GOOD_ROWS)]
    path.write_text(csv_text(rows, header="timestamp,volume,CaO,SiO2,sample"))
    args = ["simulate", str(path), "--output-dir", str(tmp_path), "--quiet", *SMALL_BED, "--seed", "3"]
    assert main(args) == 0
    assert (tmp_path / "samples-reclaimed.csv").read_text().splitlines()[2] == "position_m,volume_m3,CaO,SiO2"
    assert main([*args, "--quality", "SiO2"]) == 0
    assert (tmp_path / "samples-reclaimed.csv").read_text().splitlines()[2] == "position_m,volume_m3,SiO2"
    with pytest.raises(SystemExit):
        main([*args, "--quality", "sample"])
    assert "line 2, column 'sample': 'S-000' is not a number" in capsys.readouterr().err


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: Chevron(layers=math.inf), "layers must be finite, got inf"),
        (lambda: Chevron(layers=2.5), "layers must be a whole number of at least 1 and at most 1,000,000,000, got 2.5"),
        (lambda: Windrow(rows=True), "rows must be a number, got True"),
        (lambda: Chevron(stacker_speed_m_per_min=-1.0), "stacker_speed_m_per_min must be positive, got -1.0 m/min"),
        (lambda: ConeShell(cone_step_m=math.nan), "cone_step_m must be finite, got nan m"),
        (lambda: synthetic_series(hours=math.inf), "hours must be finite, got inf h"),
        (lambda: synthetic_series(hours=1e9), "more than the 10,000,000 allowed"),
        (lambda: as_series(5.0), "got the single number 5.0"),
        (lambda: as_series(np.zeros((2, 2, 2))), "got shape (2, 2, 2)"),
        (lambda: Bed(circular="no"), "circular must be True or False, got 'no'"),
        (lambda: Bed(length_m="300"), "length_m must be a number, got '300' m"),
        (lambda: Bed(engine="quick"), "engine must be one of fast, detailed, layered; got 'quick'"),
        (lambda: Bed(engine="fast", eight_neighbour_probability=1.5), "eight_neighbour_probability must be at least 0 and at most 1, got 1.5"),
        (lambda: Bed(reclaim_step_m=0.0), "reclaim_step_m must be positive, got 0.0 m"),
        (lambda: Bed(segments_per_column=1e308), "segments_per_column must be a whole number at least 2 and at most 10000000, got 1e+308"),
        (lambda: Bed(engine="layered", circular=True), "circular beds and rings run on the fast engine"),
        (lambda: korvex.simulate([1.0, 2.0], seed=2**64), "seed must be a whole number of at least 0"),
        (
            lambda: QualitySeries.from_frame(pd.DataFrame({"volume": [1.0, 1.0], "CaO": [44.0, "x"]})),
            "row 1, column 'CaO': 'x' is not a number",
        ),
    ],
)
def test_settings_are_refused_at_the_boundary_naming_setting_value_and_unit(make, message):
    with pytest.raises(korvex.KorvexError) as error:
        make()
    assert message in str(error.value)
    # Korvex's own errors are still ValueErrors, for callers that catch those.
    assert isinstance(error.value, (korvex.SettingsError, korvex.TableError))
    assert isinstance(error.value, ValueError)


def test_the_chunk_bound_counts_every_layer():
    series = synthetic_series(hours=1, seed=1)
    # 250 m of travel per layer in 1 m pieces: 2.5e7 chunks for 100 000 layers.
    metre_cells = Bed(particles_per_m3=1.0)
    assert len(Chevron(layers=3).chunks(series, metre_cells)) >= 3 * 250
    with pytest.raises(ValueError, match="about 2.5e"):
        Chevron(layers=100_000).chunks(series, metre_cells)


@pytest.mark.parametrize("volume_m3", [1.0, 0.5, 1e-9])
def test_a_feed_of_about_one_particle_gives_a_study_not_a_crash(volume_m3):
    feed = QualitySeries([0.0], [volume_m3], [[44.0]], ("CaO",))
    study = korvex.simulate(feed, Chevron(layers=8), Bed(particles_per_m3=1.0), progress=False, seed=1)
    assert study.reclaimed.total_volume_m3 == pytest.approx(volume_m3, rel=1e-9)


@pytest.mark.parametrize(
    ("extra", "message"),
    [
        (["--particles-per-m3", "1e308"], "particles_per_m3 must be at least 1e-12 1/m³ and at most 1000000000000 1/m³, got 1e+308 1/m³"),
        (["--length-m", "5e-324"], "length_m must be at least 0.01 m and at most 1000000 m, got 5e-324 m"),
        (["--chunk-length-m", "1e308"], None),
        (["--reclaim-rate-t-per-h", "1e-300", "--bulk-density-t-per-m3", "1.5"], "more than the 1e+06 h"),
        (["--plan", "strata", "--lane-spacing-m", "5e-324"], "lane_spacing_m of 4.94066e-324 m lays"),
        (["--reclaim-step-m", "1e-12"], "more than the 1,000,000 slices allowed"),
    ],
    ids=["particles", "length", "chunk", "reclaim-rate", "lane-spacing", "reclaim-step"],
)
def test_extreme_options_are_refused_or_run_never_a_traceback(tmp_path, capsys, extra, message):
    path = tmp_path / "input.csv"
    path.write_text(csv_text())
    args = ["simulate", str(path), "--output-dir", str(tmp_path / "out"), "--quiet"]
    # The last of an option given twice counts.
    if message is None:
        assert main([*args, *SMALL_BED, *extra]) == 0
        return
    with pytest.raises(SystemExit) as stop:
        main([*args, *SMALL_BED, *extra])
    assert stop.value.code == 2
    err = capsys.readouterr().err
    assert message in err
    assert "Traceback" not in err


# Values at and beyond the ends of every range a setting could have, and values of the wrong kind.
EXTREMES = [0.0, -0.0, 5e-324, 1e-300, 1e-12, 1e-3, 0.5, 7.0, 1e9, 1e15, 1e308, -1.0, -1e308]
EXTREMES += [math.inf, -math.inf, math.nan, 2**63, 2**64, True, "3"]
TINY_FEED = QualitySeries(np.arange(10) * 60.0, np.full(10, 1.0), np.linspace(40, 45, 10)[:, None], ("CaO",))
STRAIGHT = {"length_m": 60.0, "depth_m": 12.0, "particles_per_m3": 8.0}
ROUND = {"length_m": 60.0, "depth_m": 60.0, "circular": True, "particles_per_m3": 1.0}
RING_SETTINGS = {"circular", "ring_radius_m", "pile_width_m"}


def bed_run(name, value):
    bed = Bed(**{**(ROUND if name in RING_SETTINGS else STRAIGHT), name: value})
    if bed.circular:
        return korvex.simulate_ring(TINY_FEED, korvex.Chevcon(), bed, seed=1)
    return korvex.simulate(TINY_FEED, Chevron(layers=2), bed, progress=False, seed=1)


def plan_run(kind, name, value):
    plan = kind(**{name: value})
    if kind is korvex.Chevcon or (kind is ConeShell and name in ("cone_height_m", "cone_volume_m3")):
        return korvex.simulate_ring(TINY_FEED, plan, Bed(**ROUND), seed=1)
    bed = Bed(**(ROUND if kind is korvex.Circular else STRAIGHT))
    return korvex.simulate(TINY_FEED, plan, bed, progress=False, seed=1)


def plant_run(rate_t_per_h=500.0, density_t_per_m3=1.5, interval_h=1.0):
    reclaimer = korvex.Reclaimer(rate_t_per_h)
    study = korvex.simulate(
        TINY_FEED, Chevron(layers=2), Bed(**STRAIGHT), progress=False, seed=1,
        bulk_density_t_per_m3=density_t_per_m3, reclaimer=reclaimer,
    )
    return study.composites(interval_h), study.summary()


def setting_runs():
    """Every public setting, as (name, a run that takes one value of it)."""
    from dataclasses import fields

    runs = [(f"Bed.{item.name}", lambda v, n=item.name: bed_run(n, v)) for item in fields(Bed)]
    for kind in (Chevron, Windrow, korvex.Strata, korvex.Circular, ConeShell, korvex.Chevcon):
        runs += [
            (f"{kind.__name__}.{item.name}", lambda v, k=kind, n=item.name: plan_run(k, n, v)) for item in fields(kind)
        ]
    runs += [
        ("Reclaimer.rate_t_per_h", lambda v: plant_run(rate_t_per_h=v)),
        ("bulk_density_t_per_m3", lambda v: plant_run(density_t_per_m3=v)),
        ("composites interval_h", lambda v: plant_run(interval_h=v)),
        ("composites composite_m3", lambda v: korvex.composites([1.0, 2.0, 1e-3], [[1.0], [2.0], [3.0]], v)),
        ("synthetic_series.hours", lambda v: synthetic_series(hours=v, interval_s=600, seed=1)),
        ("synthetic_series.seed", lambda v: synthetic_series(hours=0.1, seed=v)),
    ]
    for name in ("interval_s", "flow_m3_per_h", "correlation_time_h", "correlation"):
        runs.append((f"synthetic_series.{name}", lambda v, n=name: synthetic_series(hours=0.05, seed=1, **{n: v})))
    return runs


SETTING_RUNS = setting_runs()


@pytest.mark.slow
@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(run=st.sampled_from(SETTING_RUNS), value=st.sampled_from(EXTREMES) | st.floats())
def test_every_setting_at_its_extremes_gives_a_korvex_error_or_a_sound_result(run, value):
    name, call = run
    with warnings.catch_warnings():
        # Warnings about capacity, resolution or rough figures are answers too.
        warnings.simplefilter("ignore")
        try:
            call(value)
        except korvex.KorvexError as error:
            assert isinstance(error, ValueError)
            assert str(error)
