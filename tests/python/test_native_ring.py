"""The native ring: a run that is refused or interrupted changes nothing, and what is stacked comes out."""

import numpy as np
import pytest

from korvex import _native
from test_native_interrupts import interrupt_after

COLUMNS = ["timestamp", "x", "z", "volume", "q"]
RADIUS_M = 16.0


def ring(seed=3):
    return _native.Ring(length_m=50.0, depth_m=50.0, ring_radius_m=RADIUS_M, particles_per_m3=1.0, seed=seed)


def feed(rows=80, volume_m3=1.5, start_s=0.0):
    """A stacker going round the centre line, one row a second."""
    t = start_s + np.arange(rows, dtype=np.float64)
    angle = np.pi - t * 0.05
    x = 25.0 + RADIUS_M * np.cos(angle)
    z = 25.0 + RADIUS_M * np.sin(angle)
    return np.column_stack([t, x, z, np.full(rows, volume_m3), 40.0 + np.sin(t)])


def state(pile):
    return pile.volume_m3, pile.reclaimer_position_m, pile.heights().copy()


def outputs_volume(*outputs):
    return sum(output[2].sum() for output in outputs)


def assert_same_state(first, second):
    assert first[:2] == second[:2]
    np.testing.assert_array_equal(first[2], second[2])


def bad_row(change):
    table = feed()
    if change == "quality":
        table[60, 4] = 1e305
    else:
        table[60, 3] = 4e6  # more than the 2.5e6 m³ the area holds
    return table


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda pile: pile.run(bad_row("quality"), COLUMNS, [0.0, 80.0], [0.0, 60.0]), "quality value"),
        (lambda pile: pile.run(bad_row("volume"), COLUMNS, [0.0, 80.0], [0.0, 60.0]), "can hold"),
        (lambda pile: pile.run(feed(), COLUMNS, [0.0, 80.0], [0.0, 3e7]), "slices"),
        (lambda pile: pile.run(feed(), COLUMNS, [0.0, 80.0], [0.0, 1e19]), "slices"),
        (lambda pile: pile.run(feed(), COLUMNS, [0.0, 80.0], [0.0, 1e20]), "slices"),
    ],
    ids=["quality-in-row-60", "volume-in-row-60", "span-3e7-m", "span-1e19-m", "span-1e20-m"],
)
def test_a_refused_run_leaves_the_ring_as_it_was(call, message):
    pile, untouched = ring(), ring()
    for each in (pile, untouched):
        each.run(feed(40), COLUMNS, [0.0, 40.0], [0.0, 20.0])
    before = state(pile)
    with pytest.raises(ValueError, match=message):
        call(pile)
    assert_same_state(state(pile), before)
    # Its random sources are as they were too: the next run gives what it gives on a ring never refused.
    follow = (feed(40, start_s=40.0), COLUMNS, [40.0, 80.0], [20.0, 40.0])
    for got, expected in zip(pile.run(*follow), untouched.run(*follow), strict=True):
        np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("where", ["stacking", "cutting"])
def test_an_interrupted_run_leaves_the_ring_as_it_was(where):
    pile = ring()
    pile.run(feed(40), COLUMNS, [0.0, 40.0], [0.0, 20.0])
    before = state(pile)
    if where == "stacking":
        # Millions of particles into one chunk, the reclaimer standing still.
        args = (feed(1, volume_m3=2e6, start_s=40.0), COLUMNS, [40.0, 41.0], [20.0, 20.0])
    else:
        # A million slices, each walking the whole ring.
        args = (feed(1, start_s=40.0), COLUMNS, [40.0, 1e6], [20.0, 1e6])
    with interrupt_after(0.2), pytest.raises(KeyboardInterrupt):
        pile.run(*args)
    assert_same_state(state(pile), before)


def test_a_schedule_starting_ahead_of_the_reclaimer_takes_out_what_it_passes():
    pile = ring()
    first = pile.run(feed(80), COLUMNS, [0.0, 1.0], [0.0, 1.0])
    second = pile.run(np.empty((0, 5)), COLUMNS, [1000.0, 1001.0], [30.0, 31.0])
    # The reclaimer went round more than once on its way to the schedule's start.
    assert second[0][0] == 1000.0 and second[1][0] == 30.0 and second[2][0] > 0
    rest = pile.drain(1.0)
    assert outputs_volume(first, second, rest) == pytest.approx(120.0, rel=1e-12)
    assert pile.volume_m3 == 0.0
