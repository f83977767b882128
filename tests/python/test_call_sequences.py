"""Any sequence of calls keeps the pile sound: what is stacked comes out again, whole and unmixed."""

import numpy as np
import pytest

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


def test_the_remainder_keeps_its_quality_in_the_last_slice():
    lib = fast_lib()
    lib.stack_list(*table([[0.0, 2.0, 3.0, 2.25, 4.0]]))
    lib.stack_list(*table([[0.0, 2.0, 3.0, 0.25, 8.0]]))
    result = lib.reclaim()
    volumes, q = np.array(result["volume"]), np.array(result["q"])
    # Whole particles at 4.0 and 5.6 (two cubes cut from the first chunk, then one mixed of both), the rest
    # a quarter of particle of the mixture.
    assert volumes.sum() == pytest.approx(2.5)
    assert (volumes * q).sum() == pytest.approx(2.25 * 4.0 + 0.25 * 8.0)
    assert q[-1] > 4.0


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
