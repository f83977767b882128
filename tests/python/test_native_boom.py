"""The package's native face: a boom that follows the pile, as a keyword setting."""

import numpy as np
import pytest

from korvex import _native


def detailed(**settings):
    return _native.Simulator(
        length_m=10, depth_m=10, engine="detailed", drop_height_m=2, seed=3, record_particles=True, **settings
    )


def column_of(boxes: int) -> np.ndarray:
    """One box after another onto the middle of the bed."""
    return np.array([[k, 5.0, 5.0, 1.0, 40.0 + k] for k in range(boxes)], dtype=float)


@pytest.mark.parametrize("fall_height_m", [None, 0.5, 3.0])
def test_a_pile_stacked_from_a_following_boom_settles_on_the_bed(fall_height_m):
    simulator = detailed(fall_height_m=fall_height_m)
    simulator.stack(column_of(6), ["timestamp", "x", "z", "volume", "CaO"])
    particles = simulator.particles()
    assert particles["y_m"].size == 6
    assert np.all(particles["y_m"] > 0.0)
    assert simulator.heights().max() > 0.0
    _, volume, _ = simulator.reclaim()
    assert volume.sum() == pytest.approx(6.0)


@pytest.mark.parametrize("fall_height_m", [-1.0, float("nan"), float("inf")])
def test_a_fall_height_no_boom_can_keep_is_refused(fall_height_m):
    with pytest.raises(ValueError, match="fall_height_m"):
        detailed(fall_height_m=fall_height_m)
