"""One settings model: the package's Bed, korvex._native and the engines agree on defaults, limits and cells."""

import math
import re
from dataclasses import fields

import numpy as np
import pytest

import _korvex_lib
from korvex import Bed, validation
from korvex import _native
from korvex.errors import SettingsError


@pytest.mark.parametrize("engine", ["fast", "detailed", "layered"])
def test_bed_defaults_are_the_native_defaults(engine):
    bed = Bed(engine=engine)
    defaults = _native.defaults()
    assert set(defaults) <= {field for field in Bed.__dataclass_fields__}
    readers = {entry["name"]: entry["engines"] for entry in _native.settings_description()}
    for name, value in defaults.items():
        if name != "engine":
            # a setting the engine does not read is left unset
            assert getattr(bed, name) == (value if name not in readers or engine in readers[name] else None), name
    # The package's engine for a straight bed is the layered one; the native face keeps the fast engine, which
    # a circular bed gets.
    assert (Bed().engine, defaults["engine"]) == ("layered", "fast")
    assert Bed(length_m=40.0, depth_m=40.0, circular=True).engine == defaults["engine"]
    # the resolution is the engines' rule, one particle per m³ on the detailed engine
    assert bed.particles_per_m3 is None
    assert Bed(engine="detailed").resolution_per_m3 == 1.0
    # the calibrated eight-neighbour probability and the face the fast engine's piles rest at
    assert (defaults["eight_neighbour_probability"], defaults["reclaim_angle_deg"]) == (1.0, 45.0)


def stacked(simulator):
    table = np.array([[0.0, 5.0 + k % 7, 4.0, 3.0, float(k)] for k in range(40)])
    simulator.stack(table, ["timestamp", "x", "z", "volume", "q"])
    return simulator.heights()


def test_simulator_keywords_default_to_the_native_defaults():
    fast = {entry["name"] for entry in _native.settings_description() if "fast" in entry["engines"]}
    defaults = {name: value for name, value in _native.defaults().items() if name in fast - {"length_m", "depth_m"}}
    implicit = _native.Simulator(length_m=12.0, depth_m=8.0, seed=7)
    explicit = _native.Simulator(length_m=12.0, depth_m=8.0, seed=7, **defaults)
    np.testing.assert_array_equal(stacked(implicit), stacked(explicit))
    # and the defaults matter: another eight-neighbour probability walks otherwise
    other = _native.Simulator(length_m=12.0, depth_m=8.0, seed=7, **{**defaults, "eight_neighbour_probability": 0.0})
    assert not np.array_equal(stacked(implicit), stacked(other))


@pytest.mark.parametrize("engine", ["fast", "detailed"])
@pytest.mark.parametrize("particles_per_m3", [0.3, 3.0, 27.0, 1000 / 7])
def test_bed_cells_are_the_engines_cells(engine, particles_per_m3):
    factor = {"particle_volume_factor": 1.5} if engine == "detailed" else {}
    bed = Bed(length_m=40.0, depth_m=20.0, engine=engine, particles_per_m3=particles_per_m3, **factor)
    simulator = _native.Simulator(
        length_m=40.0, depth_m=20.0, engine=engine, particles_per_m3=particles_per_m3, **factor
    )
    assert bed.cell_size_m == simulator.cell_size_m
    geometry = _native.geometry(length_m=40.0, depth_m=20.0, engine=engine, particles_per_m3=particles_per_m3, **factor)
    assert geometry["cell_size_m"] == simulator.cell_size_m


def test_geometry_follows_from_the_cell():
    geometry = _native.geometry(length_m=10.0, depth_m=4.0, particles_per_m3=8.0, circular=True, reclaim_angle_deg=90.0)
    assert (geometry["cell_size_m"], geometry["columns"], geometry["rows"], geometry["slice_count"]) == (0.5, 20, 8, 13)
    assert geometry["vertical_face"] and math.isinf(geometry["face_slope"])
    assert geometry["circle_length_m"] == pytest.approx(2 * math.pi, rel=1e-7)
    assert _native.is_vertical_face(89.995) and not _native.is_vertical_face(89.98)


def test_layered_geometry_is_the_layered_simulators_grid():
    settings = {"length_m": 10.0, "depth_m": 4.0, "engine": "layered", "cell_size_m": 0.4}
    geometry = _native.geometry(**settings)
    simulator = _native.Simulator(**settings)
    assert (geometry["columns"], geometry["rows"]) == (25, 10)
    assert simulator.heights().shape == (geometry["rows"], geometry["columns"])
    assert geometry["cell_size_m"] == simulator.cell_size_m == geometry["reclaim_step_m"]
    with pytest.raises(ValueError) as raised:
        _native.geometry(**{**settings, "circular": True, "angle_of_repose_deg": 95.0})
    assert "circular" in str(raised.value) and "angle_of_repose_deg" in str(raised.value)


@pytest.mark.parametrize("setting", ["drop_height_m", "fall_height_m"])
def test_the_detailed_engine_refuses_drops_above_the_highest(setting):
    highest = _native.limits()["highest_drop_m"]
    _native.geometry(engine="detailed", **{setting: highest})
    with pytest.raises(ValueError, match=f"{setting} must be .* at most {highest:g} m, got {highest + 1.0:g} m"):
        _native.geometry(engine="detailed", **{setting: highest + 1.0})


def test_geometry_names_every_bad_setting_with_its_value_and_unit():
    with pytest.raises(ValueError) as raised:
        _native.geometry(
            length_m=math.nan, particles_per_m3=-1.0, eight_neighbour_probability=math.nan, reclaim_step_m=0.0
        )
    message = str(raised.value)
    for part in (
        "length_m must be at least 0.01 m and at most 1000000 m, got nan m",
        "particles_per_m3 must be at least 1e-12 1/m³ and at most 1000000000000 1/m³, got -1 1/m³",
        "eight_neighbour_probability must be at least 0 and at most 1, got nan",
        "reclaimIncrement must be positive and finite, got 0 m",
    ):
        assert part in message


def test_limits_are_the_packages_limits():
    limits = _native.limits()
    assert validation.MAX_CELLS == limits["max_cells"] == 2**28
    assert validation.SEED_LIMIT == limits["max_seed"] + 1 == 2**64
    with pytest.raises(ValueError, match="cells"):
        _native.Simulator(length_m=20000.0, depth_m=20000.0, particles_per_m3=1.0)


@pytest.mark.parametrize("seed", [0, 2**63, 2**64 - 1])
def test_every_unsigned_64_bit_seed_is_taken_and_kept(seed):
    assert validation.seed(seed) == seed
    assert _native.Simulator(length_m=5.0, depth_m=5.0, seed=seed).seed == seed


def test_seeds_beyond_64_bits_are_refused():
    with pytest.raises(ValueError, match="seed"):
        validation.seed(2**64)


def test_drawn_seeds_differ_and_lie_in_range():
    seeds = {validation.draw_seed() for _ in range(4)}
    assert len(seeds) > 1
    assert all(0 <= seed < validation.SEED_LIMIT for seed in seeds)


def test_korvex_lib_still_raises_a_plain_runtime_error_for_the_parameter_count():
    assert issubclass(_native.ParameterCountError, RuntimeError)
    lib = _korvex_lib.KorvexLib(10.0, 6.0, 90.0, 1.0, False, 0.5, 1.0, 5.0, False, 1.0)
    lib.stack(0.0, 3.0, 2.0, 1.0, [1.0])
    with pytest.raises(RuntimeError, match="^invalid parameter count$") as raised:
        lib.stack(0.0, 3.0, 2.0, 1.0, [1.0, 2.0])
    assert type(raised.value) is RuntimeError


# Every setting of every engine, as the engines declare it.
DESCRIPTION = {entry["name"]: entry for entry in _native.settings_description()}
STRAIGHT = ("fast", "detailed", "layered")
OWN = [
    (name, engine)
    for name, entry in DESCRIPTION.items()
    for engine in STRAIGHT
    if engine in entry["engines"] and entry["default"] is not None
]
# The ring's radius is a circular bed's, which the bed refuses by its shape before any engine looks.
OTHERS = [
    (name, engine)
    for name, entry in DESCRIPTION.items()
    for engine in STRAIGHT
    if engine not in entry["engines"] and name != "ring_radius_m"
]
# A value each setting takes: its default, or one inside its limits.
USABLE = {"fall_height_m": 1.0, "cell_size_m": 0.5, "particles_per_m3": 1.0}


def usable(name):
    return USABLE.get(name, DESCRIPTION[name]["default"])


def bed_from_command_line(*options):
    """The bed `simulate` builds from its options, as it builds it."""
    from korvex.cli import build_parser

    args = build_parser().parse_args(["simulate", "in.csv", *options])
    return Bed(**{item.name: getattr(args, item.name) for item in fields(Bed)})


def small_stack(simulator):
    table = np.array([[float(k), 3.0 + k % 3, 3.0, 1.0, float(k)] for k in range(8)])
    simulator.stack(table, ["timestamp", "x", "z", "volume", "q"])
    return simulator.heights()


def test_every_setting_of_the_bed_is_described_but_the_layered_cell_and_the_booms_fall():
    # The bed sets the layered cell through particles_per_m3; the fall height is the stacker's.
    assert set(DESCRIPTION) - set(Bed.__dataclass_fields__) == {"cell_size_m", "fall_height_m"}
    for entry in DESCRIPTION.values():
        assert entry["help"] and (entry["default"] is None) == bool(entry["default_rule"]), entry["name"]


@pytest.mark.parametrize(("name", "engine"), OWN, ids=[f"{engine}-{name}" for name, engine in OWN])
def test_a_setting_left_out_has_the_one_default_on_every_face(name, engine):
    default = DESCRIPTION[name]["default"]
    assert getattr(Bed(engine=engine), name) == default
    assert getattr(bed_from_command_line("--engine", engine), name) == default
    if name in ("length_m", "depth_m"):
        assert _native.geometry(engine=engine) == _native.geometry(engine=engine, **{name: default})
        return
    bed = {"length_m": 6.0, "depth_m": 6.0, "engine": engine, "seed": 3}
    left_out = small_stack(_native.Simulator(**bed))
    np.testing.assert_array_equal(left_out, small_stack(_native.Simulator(**bed, **{name: default})))


@pytest.mark.parametrize("engine", STRAIGHT)
def test_the_cell_left_to_the_rule_is_one_cell_on_every_face(engine):
    simulator = _native.Simulator(length_m=30, depth_m=10, engine=engine)
    bed = Bed(length_m=30, depth_m=10, engine=engine)
    command_line = bed_from_command_line("--engine", engine, "--length-m", "30", "--depth-m", "10")
    assert bed.cell_size_m == command_line.cell_size_m == simulator.cell_size_m
    assert simulator.cell_size_m == _native.geometry(length_m=30, depth_m=10, engine=engine)["cell_size_m"]
    expected = {"fast": 10 / 150, "detailed": 1.0, "layered": 10 / 50}[engine]
    assert simulator.cell_size_m == pytest.approx(expected, rel=1e-6)


@pytest.mark.parametrize(("name", "engine"), OTHERS, ids=[f"{engine}-{name}" for name, engine in OTHERS])
def test_a_setting_of_another_engine_is_refused_naming_the_engine_and_the_setting(name, engine, capsys):
    from korvex.cli import main

    message = f"{name} is not a setting of the {engine} engine"
    with pytest.raises(ValueError, match=message):
        _native.Simulator(length_m=30, depth_m=12, engine=engine, **{name: usable(name)})
    if name not in Bed.__dataclass_fields__:
        return
    with pytest.raises(SettingsError, match=message):
        Bed(engine=engine, **{name: usable(name)})
    with pytest.raises(SystemExit):
        main(["simulate", "in.csv", "--engine", engine, "--" + name.replace("_", "-"), str(usable(name))])
    assert message in capsys.readouterr().err


BEYOND = [
    (name, value)
    for name, entry in DESCRIPTION.items()
    if name != "ring_radius_m"
    for value in (
        entry["lowest"] - 1 if entry["lowest_included"] else entry["lowest"],
        entry["highest"] + 1 if entry["highest_included"] else entry["highest"],
    )
    if math.isfinite(value)
] + [
    # A length whose 0 means none, given as a denormal: it passed a check for > 0.
    (name, 1e-320)
    for name, entry in DESCRIPTION.items()
    if entry["unit"] == "m" and entry["lowest"] == 0 and entry["lowest_included"]
]


@pytest.mark.parametrize(("name", "value"), BEYOND, ids=[f"{name}-{value:g}" for name, value in BEYOND])
def test_a_value_beyond_its_limits_is_refused_once_by_name_value_and_unit(name, value):
    engine = next(engine for engine in STRAIGHT if engine in DESCRIPTION[name]["engines"])
    unit = DESCRIPTION[name]["unit"]
    shown = f"{value:.0f}" if value == int(value) else f"{value}"
    expected = f"{name} must be [^;]*, got {re.escape(shown)}{' ' + unit if unit else ''}(;|$)"
    settings = {"length_m": 30, "depth_m": 12, "engine": engine} | {name: value}
    with pytest.raises(ValueError, match=expected):
        _native.Simulator(**settings)
    if name in Bed.__dataclass_fields__:
        with pytest.raises(SettingsError, match=expected):
            Bed(**settings)


def test_a_layered_pile_reclaims_at_a_step_of_its_own_small_cell():
    simulator = _native.Simulator(
        length_m=0.2, depth_m=0.2, engine="layered", cell_size_m=0.1, stream_footprint_m=0.1
    )
    simulator.stack(np.array([[0.0, 0.1, 0.1, 0.001, 1.0]]), ["timestamp", "x", "z", "volume", "q"])
    _, volume_m3, _ = simulator.reclaim(0.1)
    assert volume_m3.sum() == pytest.approx(0.001, rel=1e-9)


def test_the_docs_settings_table_is_the_description():
    from pathlib import Path

    from korvex.bed import settings_table

    text = (Path(__file__).parents[2] / "docs" / "native.md").read_text(encoding="utf-8")
    start = text.index("\n", text.index("<!-- settings table:")) + 1
    assert text[start : text.index("<!-- end of the settings table -->")] == settings_table()


def test_a_bed_moved_to_another_engine_leaves_the_old_engines_settings_behind():
    fast = Bed(engine="fast", eight_neighbour_probability=0.5, reclaim_angle_deg=60.0)
    layered = fast.with_engine("layered", angle_of_repose_deg=30.0)
    assert (layered.eight_neighbour_probability, layered.angle_of_repose_deg) == (None, 30.0)
    assert layered.reclaim_angle_deg == 60.0
    again = layered.with_engine("fast")
    assert (again.eight_neighbour_probability, again.angle_of_repose_deg) == (1.0, None)
