"""Any sequence of calls keeps the pile sound: what is stacked comes out again, whole and unmixed."""

import pytest

from conftest import detailed_lib, fast_lib

ENGINES = pytest.mark.parametrize("make", [fast_lib, detailed_lib], ids=["fast", "detailed"])


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
