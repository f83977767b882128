"""Bad input gets a clear error before anything changes, and the object stays usable."""

import math

import numpy as np
import pytest

import _korvex_lib
from conftest import detailed_lib, fast_lib, spread_table

NAN = math.nan
INF = math.inf

# length, depth, angle, particles per m3, circular, eight-neighbour probability,
# particle volume factor, drop height, detailed, reclaim step
GOOD = (10.0, 6.0, 90.0, 1.0, False, 0.5, 1.0, 5.0, False, 1.0)


def settings(**changes):
    names = ["length", "depth", "angle", "ppm3", "circular", "p8", "factor", "drop", "detailed", "step"]
    values = dict(zip(names, GOOD))
    values.update(changes)
    return [values[name] for name in names]


@pytest.mark.parametrize(
    ("changes", "message"),
    [
        ({"ppm3": 0.0}, "particlesPerCubicMeter"),
        ({"ppm3": -1.0}, "particlesPerCubicMeter"),
        ({"ppm3": NAN}, "particlesPerCubicMeter"),
        ({"ppm3": INF}, "particlesPerCubicMeter"),
        ({"length": NAN}, "length"),
        ({"depth": INF}, "depth"),
        ({"angle": NAN}, "reclaimAngle"),
        ({"length": 0.2}, "length"),
        ({"depth": 0.0}, "depth"),
        ({"length": -5.0}, "length"),
        ({"p8": NAN}, "eightNeighbourProbability"),
        ({"step": 0.0}, "reclaimIncrement"),
        ({"step": -1.0}, "reclaimIncrement"),
        ({"step": NAN}, "reclaimIncrement"),
        ({"step": INF}, "reclaimIncrement"),
        ({"length": 300.0, "step": 1e-6}, "reclaimIncrement"),
        ({"length": 70000.0, "depth": 70000.0}, "2\\^28"),
        ({"detailed": True, "factor": 0.0}, "particleVolumeFactor"),
        ({"detailed": True, "factor": NAN}, "particleVolumeFactor"),
        ({"detailed": True, "drop": INF}, "dropHeight"),
        ({"detailed": True, "ppm3": 0.0}, "particlesPerCubicMeter"),
        ({"detailed": True, "step": 0.0}, "reclaimIncrement"),
        # boxes of 1e10 m would wait 2^64 ms between drops; 1 mm boxes are below the physics' tolerances
        ({"detailed": True, "factor": 1e30}, "particle size .* larger than the bed's shorter side of 6"),
        ({"detailed": True, "factor": 1e6}, "particle size .* larger than the bed's shorter side"),
        ({"detailed": True, "ppm3": 1e9, "length": 0.5, "depth": 0.5}, "particle size .* 0.001.* m is below"),
        ({"detailed": True, "ppm3": 1e5}, "particle size .* is below the 0.05"),
        ({"detailed": True, "length": 1e7}, "particle size .* single precision"),
    ],
)
def test_constructor_rejects_settings_no_engine_can_use(changes, message):
    with pytest.raises(ValueError, match=message):
        _korvex_lib.KorvexLib(*settings(**changes))


@pytest.mark.parametrize("angle", [-90.0, 0.0, 45.0, 89.995, 135.0, 180.0, 400.0])
@pytest.mark.parametrize("detailed", [False, True])
def test_any_finite_angle_is_accepted(angle, detailed):
    lib = _korvex_lib.KorvexLib(*settings(angle=angle, detailed=detailed))
    lib.stack(0.0, 5.0, 3.0, 1.0, [1.0])
    assert sum(lib.reclaim()["volume"]) == pytest.approx(1.0)


def pile_after(calls):
    """Reclaim result and heights of a fast bed after the given calls, failed ones skipped."""
    lib = fast_lib()
    for call in calls:
        try:
            call(lib)
        except ValueError:
            pass
    return lib.get_heights(), lib.reclaim()


def good_calls():
    table, names = spread_table()
    return [lambda lib: lib.stack_list(table[:2], names), lambda lib: lib.stack_list(table[2:], names)]


def stack_row(row, names=("timestamp", "x", "z", "volume", "p", "q")):
    return lambda lib: lib.stack_list(np.array([row], dtype=np.float64), list(names))


def table_with_bad_middle_row(bad):
    table, names = spread_table()
    table = table.copy()
    table[2] = bad
    return lambda lib: lib.stack_list(table, names)


@pytest.mark.parametrize(
    ("bad_call", "message"),
    [
        (lambda lib: lib.stack(0.0, 3.0, 2.0, INF, [1.0, 2.0]), "volume"),
        (lambda lib: lib.stack(0.0, 3.0, 2.0, NAN, [1.0, 2.0]), "volume"),
        (lambda lib: lib.stack(0.0, 3.0, 2.0, -1.0, [1.0, 2.0]), "volume"),
        (lambda lib: lib.stack(0.0, NAN, 2.0, 1.0, [1.0, 2.0]), "position"),
        (lambda lib: lib.stack(0.0, 3.0, INF, 1.0, [1.0, 2.0]), "position"),
        (lambda lib: lib.stack(0.0, 3.0, 2.0, 1.0, [NAN, 2.0]), "quality"),
        (lambda lib: lib.stack(0.0, 3.0, 2.0, 1e200, [1e200, 2.0]), "quality"),
        # more than a bed of 10 x 6 m holds 1 km high
        (lambda lib: lib.stack(0.0, 3.0, 2.0, 1e300, [1.0, 2.0]), "more than the 60000.* m3 this bed can hold"),
        (lambda lib: lib.stack(0.0, 3.0, 2.0, 60001.0, [1.0, 2.0]), "bed can hold"),
        (stack_row([0.0, 3.0, 2.0, 1e12, 1.0, 2.0]), "bed can hold"),
        (table_with_bad_middle_row([0.0, 5.0, 2.0, 6e4, 1.0, 2.0]), "bed can hold"),
        # finite values whose sums over the bed would not be
        (lambda lib: lib.stack(0.0, 3.0, 2.0, 1.0, [1.7e308, 2.0]), "quality value"),
        (table_with_bad_middle_row([0.0, 5.0, 2.0, 1.0, 1e305, 2.0]), "row 2: quality value \"p\""),
        (stack_row([0.0, 3.0, 2.0, INF, 1.0, 2.0]), "row 0: volume"),
        (stack_row([0.0, 1e300, 2.0, 1.0, 1.0, 2.0]), "row 0: x and z"),
        (table_with_bad_middle_row([0.0, 5.0, 2.0, 1.0, NAN, 2.0]), "row 2: quality value \"p\""),
        (table_with_bad_middle_row([0.0, 5.0, 2.0, -3.0, 1.0, 2.0]), "row 2: volume"),
        (stack_row([0.0, 3.0, 2.0, 1.0, 1.0, 2.0], ["timestamp", "x", "volume", "p", "q"]), "no \"z\" column"),
        (stack_row([0.0, 3.0, 2.0, 1.0, 1.0, 2.0], ["timestamp", "z", "volume", "p", "q"]), "no \"x\" column"),
        (stack_row([0.0, 3.0, 2.0, 1.0, 1.0, 2.0], ["timestamp", "x", "z", "p", "q"]), "no \"volume\" column"),
        (stack_row([0.0, 3.0, 2.0, 1.0], ["timestamp", "x", "z", "volume", "p", "q"]), "6 column names"),
        (stack_row([0.0, 3.0, 2.0, 1.0, 1.0, 2.0], ["timestamp", "x", "z", "volume", "q", "p"]), "differ"),
        (stack_row([0.0, 3.0, 2.0, 1.0, 1.0], ["timestamp", "x", "z", "volume", "p"]), "differ"),
    ],
)
def test_bad_chunks_are_rejected_and_change_nothing(bad_call, message):
    good = good_calls()
    with pytest.raises(ValueError, match=message):
        lib = fast_lib()
        good[0](lib)
        bad_call(lib)
    # The same object goes on as if the bad call had never been made.
    assert pile_after([good[0], bad_call, good[1]]) == pile_after(good)


def test_a_failed_first_table_fixes_no_names():
    table, names = spread_table()
    lib = fast_lib()
    with pytest.raises(ValueError):
        lib.stack_list(np.zeros((1, 6, 1)), ["x", "z", "volume", "a", "b", "c"])
    with pytest.raises(ValueError):
        lib.stack_list(table[:, :5], ["x", "z", "volume", "r", "s", "t"])
    lib.stack_list(table, names)
    assert list(lib.reclaim()) == ["x", "volume", "p", "q"]


def test_repeated_tables_with_the_same_columns_keep_one_name_each():
    lib = fast_lib()
    for call in good_calls():
        call(lib)
    result = lib.reclaim()
    assert list(result) == ["x", "volume", "p", "q"]
    assert sum(result["volume"]) == 4.0


def test_a_parameter_count_that_differs_from_the_piles_is_a_runtime_error():
    lib = fast_lib()
    lib.stack(0.0, 3.0, 2.0, 1.0, [1.0, 2.0])
    with pytest.raises(RuntimeError, match="invalid parameter count"):
        lib.stack(0.0, 5.0, 2.0, 1.0, [1.0])
    assert sum(lib.reclaim()["volume"]) == 1.0


@pytest.mark.parametrize("make", [fast_lib, detailed_lib], ids=["fast", "detailed"])
def test_a_second_reclaim_returns_an_empty_result(make):
    lib = make()
    lib.stack(0.0, 3.0, 3.0, 2.0, [1.0])
    first = lib.reclaim()
    assert sum(first["volume"]) == pytest.approx(2.0)
    assert lib.reclaim() == {"x": [], "volume": []}


@pytest.mark.parametrize("make", [fast_lib, detailed_lib], ids=["fast", "detailed"])
@pytest.mark.parametrize("x, z", [(-1e30, 3.0), (1e30, -1e30), (3.0e38, 3.0e38), (-5.0, 1e9)])
def test_drops_far_outside_the_pile_land_on_its_edge(make, x, z):
    lib = make()
    lib.stack(0.0, x, z, 1.0, [4.0])
    heights = lib.get_heights()
    assert all(math.isfinite(h) and h >= 0 for row in heights for h in row)
    result = lib.reclaim()
    assert sum(result["volume"]) == pytest.approx(1.0)


@pytest.mark.parametrize("make", [fast_lib, detailed_lib], ids=["fast", "detailed"])
def test_room_is_what_the_pile_holds_so_far(make):
    lib = make(length=8, depth=8)
    lib.stack(0.0, 4.0, 4.0, 2.0, [1.0])
    with pytest.raises(ValueError, match="bring the pile to 64002"):
        lib.stack(0.0, 4.0, 4.0, 64000.0, [1.0])
    assert sum(lib.reclaim()["volume"]) == pytest.approx(2.0)


def test_values_that_overflow_when_summed_are_refused():
    # Two rows of 1 m3 make one particle of 2 m3, whose sum would be infinite.
    lib = fast_lib(particles_per_m3=0.5, length=20, depth=12)
    rows = np.array([[0.0, 5.0, 3.0, 1.0, 1.7e308], [0.0, 5.0, 3.0, 1.0, 1.7e308]])
    with pytest.raises(ValueError, match="row 0: quality value \"q\""):
        lib.stack_list(rows, ["timestamp", "x", "z", "volume", "q"])
    assert sum(lib.reclaim()["volume"]) == 0.0


def test_a_table_that_would_fill_a_column_is_refused_before_any_row():
    # One column of a 1 x 1 m pile: 2^31 + 5 particles would overflow its count.
    lib = _korvex_lib.KorvexLib(1.0, 1.0, 90.0, 1.0, False, 0.5, 1.0, 5.0, False, 1.0)
    rows = np.array([[0.0, 0.5, 0.5, 3.0, 1.0], [0.0, 0.5, 0.5, 2.0**31 + 2.0, 1.0]])
    with pytest.raises(ValueError, match="bed can hold"):
        lib.stack_list(rows, ["timestamp", "x", "z", "volume", "q"])
    assert sum(lib.reclaim()["volume"]) == 0.0


def test_a_column_count_limit_binds_where_the_bed_is_of_tiny_cells():
    # Cells of 2.2e-7 m: a km-high 1 x 1 cell bed would hold 4.6e9 particles, a column only 2^31 - 1.
    lib = _korvex_lib.KorvexLib(2.2e-7, 2.2e-7, 90.0, 1e20, False, 0.5, 1.0, 5.0, False, 1e-7)
    with pytest.raises(ValueError, match="bed can hold"):
        lib.stack(0.0, 0.0, 0.0, 2.2e-11, [1.0])
