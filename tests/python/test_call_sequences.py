"""Any sequence of calls keeps the pile sound: what is stacked comes out again, whole and unmixed."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import detailed_lib, fast_lib

ENGINES = pytest.mark.parametrize("make", [fast_lib, detailed_lib], ids=["fast", "detailed"])


def table(rows, names=("timestamp", "x", "z", "volume", "q")):
    return np.array(rows, dtype=np.float64), list(names)


@ENGINES
@pytest.mark.parametrize("first", ["empty pile", "stacked pile"])
def test_a_reclaim_takes_what_was_stacked_after_an_earlier_reclaim(make, first):
    lib = make()
    if first == "stacked pile":
        lib.stack(0.0, 3.0, 3.0, 2.0, [1.0])
    lib.reclaim()
    lib.stack(0.0, 5.0, 3.0, 4.0, [7.0])
    result = lib.reclaim()
    assert sum(result["volume"]) == pytest.approx(4.0)
    assert lib.reclaim() == {"x": [], "volume": []}


@ENGINES
@pytest.mark.parametrize(
    ("chunks", "particles_per_m3", "volume"),
    [([0.1] * 10, 1.0, 1.0), ([2.5], 1.0, 2.5), ([0.3], 1.0, 0.3), ([0.7, 0.4], 2.0, 1.1)],
)
def test_the_remainder_smaller_than_a_particle_is_reclaimed_too(make, chunks, particles_per_m3, volume):
    lib = make(particles_per_m3=particles_per_m3)
    for k, chunk in enumerate(chunks):
        lib.stack(0.0, 3.0, 3.0, chunk, [float(k % 2) * 10.0])
    result = lib.reclaim()
    volumes = np.array(result["volume"])
    assert volumes.sum() == pytest.approx(volume, rel=1e-12)
    assert lib.reclaim() == {"x": [], "volume": []}


def test_the_remainder_keeps_its_quality_in_the_last_slice_with_material():
    lib = fast_lib()
    lib.stack_list(*table([[0.0, 2.0, 3.0, 2.25, 4.0]]))
    lib.stack_list(*table([[0.0, 2.0, 3.0, 0.25, 8.0]]))
    result = lib.reclaim()
    volumes, q = np.array(result["volume"]), np.array(result["q"])
    # Whole particles at 4.0 and 5.6 (two cubes cut from the first chunk, then one mixed of both), the rest
    # a quarter of particle of the mixture.
    assert volumes.sum() == pytest.approx(2.5)
    assert (volumes * q).sum() == pytest.approx(2.25 * 4.0 + 0.25 * 8.0)
    full = volumes > 0
    assert q[full][-1] > 4.0
    # Empty slices at the far end stay empty.
    assert not full[-1]


def no_quality_table():
    return table([[0.0, 3.0, 3.0, 2.0]], ("timestamp", "x", "z", "volume"))


@ENGINES
@pytest.mark.parametrize(
    ("first", "second"),
    [
        (lambda lib: lib.stack_list(*no_quality_table()), lambda lib: lib.stack_list(*table([[0, 5, 3, 2, 10]]))),
        (lambda lib: lib.stack(0.0, 3.0, 3.0, 2.0, []), lambda lib: lib.stack_list(*table([[0, 5, 3, 2, 10]]))),
        (lambda lib: lib.stack(0.0, 3.0, 3.0, 2.0, []), lambda lib: lib.stack(0.0, 5.0, 3.0, 2.0, [10.0])),
        (lambda lib: lib.stack(0.0, 3.0, 3.0, 2.0, [10.0]), lambda lib: lib.stack(0.0, 5.0, 3.0, 2.0, [])),
        (lambda lib: lib.stack(0.0, 3.0, 3.0, 0.5, []), lambda lib: lib.stack(0.0, 5.0, 3.0, 2.0, [10.0])),
    ],
    ids=["table-table", "stack-table", "stack-stack", "values-none", "remainder-only"],
)
def test_material_must_bring_the_quality_count_the_pile_has_for_its_whole_life(make, first, second):
    lib = make()
    first(lib)
    before = lib.get_heights()
    with pytest.raises(RuntimeError, match="invalid parameter count"):
        second(lib)
    assert lib.get_heights() == before
    first_result = lib.reclaim()
    assert "q" not in first_result
    # Reclaiming empties the pile but the count stays fixed.
    with pytest.raises(RuntimeError, match="invalid parameter count"):
        second(lib)
    assert sum(lib.reclaim()["volume"]) == 0.0


# --- property: random sequences of calls -----------------------------------------------------------------

NAMES = ["timestamp", "x", "z", "volume", "a", "b"]


def row_strategy(max_volume):
    return st.tuples(
        st.just(0.0),
        st.floats(-5.0, 25.0),
        st.floats(-5.0, 15.0),
        st.floats(0.0, max_volume),
        st.floats(-1e3, 1e3),
        st.floats(0.0, 1.0),
    )


def call_strategy(max_rows, max_volume):
    rows = st.lists(row_strategy(max_volume), min_size=0, max_size=max_rows)
    return st.one_of(
        st.tuples(st.just("stack"), row_strategy(max_volume)),
        st.tuples(st.just("stack_list"), rows),
        st.tuples(st.just("reclaim"), st.none()),
        st.tuples(st.just("get_heights"), st.none()),
    )


def run_sequence(lib, calls):
    """Drives `lib` through `calls`; returns the rows stacked and the slices reclaimed over all reclaims."""
    stacked, reclaimed = [], []
    for name, argument in calls:
        if name == "stack":
            lib.stack(argument[0], argument[1], argument[2], argument[3], list(argument[4:]))
            stacked.append(argument)
        elif name == "stack_list":
            lib.stack_list(np.array(argument, dtype=np.float64).reshape(-1, len(NAMES)), NAMES)
            stacked.extend(argument)
        elif name == "reclaim":
            reclaimed.append(lib.reclaim())
        else:
            heights = np.array(lib.get_heights())
            assert np.all(np.isfinite(heights)) and np.all(heights >= 0)
    reclaimed.append(lib.reclaim())
    return np.array(stacked, dtype=np.float64).reshape(-1, len(NAMES)), reclaimed


def check_sequence(lib, calls):
    stacked, reclaims = run_sequence(lib, calls)
    volume_in = stacked[:, 3].sum()
    volume_out = sum(sum(result["volume"]) for result in reclaims)
    assert volume_out == pytest.approx(volume_in, rel=1e-9, abs=1e-9)
    if len(stacked) == 0:
        return
    for name, column in [("a", 4), ("b", 5)]:
        low, high = stacked[:, column].min(), stacked[:, column].max()
        tolerance = 1e-9 * max(1.0, abs(low), abs(high))
        for result in reclaims:
            if name not in result:
                continue
            volumes = np.array(result["volume"])
            averages = np.array(result[name])[volumes > 1e-9]
            assert np.all(averages >= low - tolerance) and np.all(averages <= high + tolerance)
    assert all(math.isfinite(v) for result in reclaims for values in result.values() for v in values)


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(calls=st.lists(call_strategy(max_rows=12, max_volume=6.0), max_size=8), circular=st.booleans(),
       angle=st.floats(-30.0, 200.0))
def test_fast_engine_any_call_sequence_conserves_volume(calls, circular, angle):
    check_sequence(fast_lib(length=20, depth=10, angle=angle, particles_per_m3=2.0, circular=circular,
                            step=0.5), calls)


@settings(max_examples=8, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(calls=st.lists(call_strategy(max_rows=2, max_volume=1.5), max_size=4), angle=st.floats(10.0, 170.0))
def test_detailed_engine_any_call_sequence_conserves_volume(calls, angle):
    check_sequence(detailed_lib(length=12, depth=8, angle=angle, particles_per_m3=2.0, step=0.5), calls)


def call_with_other_count():
    row = st.tuples(st.just(0.0), st.floats(0, 9), st.floats(0, 5), st.floats(0, 3.0), st.just(1.0))
    return st.tuples(st.just("stack"), row)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(calls=st.lists(st.one_of(call_strategy(max_rows=3, max_volume=3.0), call_with_other_count()), max_size=8))
def test_calls_that_fail_raise_only_documented_errors_and_lose_nothing(calls):
    lib = fast_lib()
    accepted, reclaimed = 0.0, 0.0
    for name, argument in calls:
        try:
            if name == "stack":
                lib.stack(argument[0], argument[1], argument[2], argument[3], list(argument[4:]))
                accepted += argument[3]
            elif name == "stack_list":
                lib.stack_list(np.array(argument, dtype=np.float64).reshape(-1, len(NAMES)), NAMES)
                accepted += sum(row[3] for row in argument)
            elif name == "reclaim":
                reclaimed += sum(lib.reclaim()["volume"])
            else:
                lib.get_heights()
        except RuntimeError as error:
            assert "invalid parameter count" in str(error)
    reclaimed += sum(lib.reclaim()["volume"])
    assert reclaimed == pytest.approx(accepted, rel=1e-9, abs=1e-9)
