import inspect
import math

import numpy as np
import pytest

import _korvex_lib
from conftest import detailed_lib, fast_lib, spread_table


def test_module_has_its_docstring_and_one_class():
    assert _korvex_lib.__doc__ == "Korvex Lib for Python"
    public = {name for name in dir(_korvex_lib) if not name.startswith("__")}
    assert public == {"KorvexLib"}


def test_class_exposes_exactly_five_members():
    own = [name for name, _ in inspect.getmembers(_korvex_lib.KorvexLib) if name in _korvex_lib.KorvexLib.__dict__]
    assert sorted(m for m in own if not m.startswith("_") or m == "__init__") == sorted(
        ["__init__", "stack", "stack_list", "reclaim", "get_heights"]
    )


@pytest.mark.parametrize(
    "call",
    [
        lambda: _korvex_lib.KorvexLib(10, 6, 90, 1, False, 0, 1, 5, False),
        lambda: _korvex_lib.KorvexLib(length=10),
        lambda: fast_lib().stack(0.0, 1.0, 1.0, 1.0, parameters=[1.0]),
        lambda: fast_lib().stack(0.0, 1.0, 1.0, 1.0, ["a"]),
        lambda: fast_lib().stack(0.0, "1", 1.0, 1.0, [1.0]),
        lambda: fast_lib().stack_list(np.zeros((1, 3)), ["x", "z", 3]),
        lambda: fast_lib().stack_list([["a", "b", "c"]], ["x", "z", "volume"]),
        lambda: fast_lib().reclaim(1.0),
    ],
    ids=["nine-arguments", "keyword-init", "keyword-stack", "string-value", "string-x", "non-string-name",
         "non-numeric-table", "reclaim-argument"],
)
def test_unconvertible_calls_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_ints_and_numpy_bools_convert():
    lib = _korvex_lib.KorvexLib(10, 6, 90, 1, 0, 0, 1, 5, np.False_, 1)
    lib.stack(0, 3, 2, 1, (7,))
    result = lib.reclaim()
    assert sum(result["volume"]) == 1.0


def test_stack_accepts_any_sequence_of_values():
    lib = fast_lib()
    lib.stack(0.0, 3.0, 2.0, 1.0, (v for v in [1.0, 2.0]))
    lib.stack(0.0, 5.0, 2.0, 1.0, np.array([3.0, 4.0]))
    assert sum(lib.reclaim()["volume"]) == 2.0


def reclaimed(table, names):
    lib = fast_lib()
    lib.stack_list(table, names)
    return lib.reclaim()


def test_stack_list_reads_columns_by_name(spread):
    table, names = spread
    result = reclaimed(table, names)
    assert list(result) == ["x", "volume", "p", "q"]
    assert all(len(values) == len(result["x"]) for values in result.values())
    # Each particle stays in its column, and a vertical face reclaims column k
    # in the call at position k + 1.
    taken = {round(x): (v, p, q) for x, v, p, q in zip(result["x"], result["volume"], result["p"], result["q"])
             if v > 0}
    assert taken == {2: (1.0, 1.0, 10.0), 4: (1.0, 2.0, 20.0), 6: (1.0, 3.0, 30.0), 8: (1.0, 4.0, 40.0)}


@pytest.mark.parametrize(
    "layout",
    ["reordered", "transposed-view", "integer", "extra-trailing-column", "fortran-order"],
)
def test_stack_list_gives_the_same_pile_whatever_the_layout(spread, layout):
    table, names = spread
    expected = reclaimed(table, names)
    if layout == "reordered":
        order = [3, 4, 1, 2, 5, 0]
        table, names = table[:, order], [names[i] for i in order]
    elif layout == "transposed-view":
        table = np.ascontiguousarray(table.T).T
        assert not table.flags.c_contiguous
    elif layout == "integer":
        table = table.astype(np.int64)
    elif layout == "extra-trailing-column":
        table = np.hstack([table, np.full((len(table), 1), np.nan)])
    else:
        table = np.asfortranarray(table)
    assert reclaimed(table, names) == expected


def test_stack_list_of_an_empty_table_stacks_nothing():
    lib = fast_lib()
    lib.stack_list(np.zeros((0, 4)), ["x", "z", "volume", "p"])
    result = lib.reclaim()
    assert sum(result["volume"]) == 0.0
    assert list(result) == ["x", "volume", "p"]


@pytest.mark.parametrize("shape", [(4,), (2, 2, 4)])
def test_stack_list_rejects_other_than_two_dimensions(shape):
    lib = fast_lib()
    with pytest.raises(ValueError, match=rf"^array has incorrect number of dimensions: {len(shape)}; expected 2$"):
        lib.stack_list(np.zeros(shape), ["x", "z", "volume", "p"])


def test_stack_alone_reclaims_to_position_and_volume_only():
    lib = fast_lib()
    lib.stack(0.0, 3.0, 2.0, 1.0, [5.0])
    assert list(lib.reclaim()) == ["x", "volume"]


def test_timestamps_do_not_matter(spread):
    table, names = spread
    other = table.copy()
    other[:, 0] = [1e9, -5.0, np.nan, 0.0]
    assert reclaimed(other, names) == reclaimed(table, names)


def test_reclaim_positions_grow_in_single_precision():
    lib = fast_lib(length=1, depth=1, particles_per_m3=1000.0, step=0.1)
    x = lib.reclaim()["x"]
    assert x[:4] == [0.0, 0.10000000149011612, 0.20000000298023224, 0.30000001192092896]


def test_heights_are_rows_along_z_of_cells_along_x(spread):
    table, names = spread
    lib = fast_lib(length=10, depth=6)
    lib.stack_list(table, names)
    heights = lib.get_heights()
    assert len(heights) == 6 and all(len(row) == 10 for row in heights)
    # Chunk k sits at x = 2k + 1, z = 2 in cells of 1 m.
    raised = {(i, j) for j, row in enumerate(heights) for i, h in enumerate(row) if h > 0}
    assert raised == {(1, 2), (3, 2), (5, 2), (7, 2)}
    assert heights[2][1] == 1.0


def test_two_materials_reclaim_to_averages_that_add_up():
    lib = fast_lib(length=20, depth=8, angle=40.0, particles_per_m3=8.0, step=0.5)
    rng = np.random.default_rng(7)
    rows = []
    for k in range(200):
        material = k % 2
        rows.append((k, rng.uniform(3, 17), rng.uniform(2, 6), 0.25, 10.0 if material else 50.0, 1.0 + material))
    table = np.array(rows)
    lib.stack_list(table, ["timestamp", "x", "z", "volume", "p", "q"])
    result = lib.reclaim()
    volumes = np.array(result["volume"])
    assert volumes.sum() == pytest.approx(50.0, rel=1e-12)
    for name, expected in [("p", 30.0), ("q", 1.5)]:
        assert np.dot(volumes, result[name]) / volumes.sum() == pytest.approx(expected, rel=1e-12)
        averages = np.array(result[name])[volumes > 0]
        assert averages.min() >= min(table[:, 4 if name == "p" else 5]) - 1e-9


def test_detailed_engine_starts_empty():
    lib = detailed_lib(length=4, depth=3)
    assert lib.reclaim() == {"x": [], "volume": []}
    heights = lib.get_heights()
    assert len(heights) == 4 and all(len(row) == 5 and not any(row) for row in heights)


def test_duplicate_quality_names_keep_the_later_column_in_the_first_place():
    lib = fast_lib()
    lib.stack_list(np.array([[3.0, 2.0, 1.0, 1.0, 2.0]]), ["x", "z", "volume", "p", "p"])
    result = lib.reclaim()
    assert list(result) == ["x", "volume", "p"]
    assert math.isclose(sum(v * p for v, p in zip(result["volume"], result["p"])), 2.0)


def test_detailed_pile_from_a_table_comes_back_whole_and_shows_in_the_heights():
    lib = detailed_lib(length=10, depth=10, angle=60.0, step=0.5)
    # Boxes are thrown from 5 m short of the stacking position in z and carried onto the pile.
    rows = [(k, 4.0 + (k % 3), 8.0, 1.0, 10.0 + k, 1.0) for k in range(12)]
    lib.stack_list(np.array(rows), ["timestamp", "x", "z", "volume", "p", "q"])
    heights = np.array(lib.get_heights())
    assert np.all(heights >= 0) and np.count_nonzero(heights) >= 3
    result = lib.reclaim()
    volumes = np.array(result["volume"])
    assert volumes.sum() == pytest.approx(12.0)
    assert np.dot(volumes, result["p"]) == pytest.approx(sum(10.0 + k for k in range(12)))
    assert np.dot(volumes, result["q"]) == pytest.approx(12.0)
