"""Ctrl-C in the middle of a long call leaves every pile as if the call had done exactly what it reports."""

import contextlib
import re
import signal

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _korvex_lib
from korvex import _native

STACKED = re.compile(r"the interrupted call stacked (\S+) m3")


@contextlib.contextmanager
def interrupt_after(seconds):
    """Raises KeyboardInterrupt in the main thread once, `seconds` from now, while the block runs.

    The kernel's timer sends SIGALRM even while a call holds the GIL; the handler is the test's own, so that
    a signal landing after the block does nothing."""
    armed = [True]

    def handler(signum, frame):
        if armed[0]:
            armed[0] = False
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        armed[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def stacked_by(interrupt):
    """The volume an interrupted stacking call reports it stacked."""
    notes = [STACKED.search(note) for note in getattr(interrupt, "__notes__", [])]
    found = [float(match.group(1)) for match in notes if match]
    assert len(found) == 1, getattr(interrupt, "__notes__", None)
    return found[0]


class NativeFace:
    def __init__(self):
        self.pile = _native.Simulator(length_m=2000, depth_m=200, particles_per_m3=1.0, seed=1, reclaim_step_m=10)

    def stack(self, x, volume):
        self.pile.stack(np.array([[0.0, x, 100.0, volume, 1.0]]), ["timestamp", "x", "z", "volume", "q"])

    def heights(self):
        return self.pile.heights()

    def reclaimed_m3(self):
        return self.pile.reclaim()[1].sum()


class LibFace:
    def __init__(self):
        self.pile = _korvex_lib.KorvexLib(2000, 200, 45, 1, False, 0.5, 1, 10, False, 10)

    def stack(self, x, volume):
        self.pile.stack(0.0, x, 100.0, volume, [1.0])

    def heights(self):
        return np.array(self.pile.get_heights())

    def reclaimed_m3(self):
        return sum(self.pile.reclaim()["volume"])


@pytest.mark.parametrize("face", [NativeFace, LibFace], ids=["native", "korvex_lib"])
def test_an_interrupted_chunk_leaves_nothing_pending(face):
    pile = face()
    with interrupt_after(0.2), pytest.raises(KeyboardInterrupt) as interrupted:
        pile.stack(100.0, 5e7)
    stacked = stacked_by(interrupted.value)
    # One cubic metre a cell: the heights add up to the particles on the bed.
    assert 0 < stacked < 5e7
    assert pile.heights().sum() == pytest.approx(stacked, rel=1e-6)
    # The next chunk goes where it is stacked, alone, and a reclaim returns what the bed holds.
    pile.stack(1900.0, 1.0)
    far_end = pile.heights()[:, 1800:]
    assert far_end.sum() == pytest.approx(1.0)
    assert pile.reclaimed_m3() == pytest.approx(stacked + 1.0, rel=1e-9)


ROW = ["timestamp", "x", "z", "volume", "q"]
calls = st.lists(
    st.tuples(
        st.floats(1.0, 3e5),  # volume, m³
        st.floats(2.0, 198.0),  # where along the bed or how far the reclaimer goes, m
        st.one_of(st.none(), st.floats(0.0, 0.03)),  # when Ctrl-C comes, s, if it does
    ),
    min_size=1,
    max_size=4,
)


def call_interrupted_after(delay_s, call):
    """Runs `call`, with Ctrl-C after `delay_s` if given: returns ("done", result), ("noted", stacked m³)
    for an interrupt the call noticed, or ("python", None) for one that landed in Python code."""
    if delay_s is None:
        return "done", call()
    try:
        with interrupt_after(max(delay_s, 1e-4)):
            result = call()
    except KeyboardInterrupt as interrupt:
        if any(STACKED.search(note) for note in getattr(interrupt, "__notes__", [])):
            return "noted", stacked_by(interrupt)
        return "python", None
    return "done", result


@settings(max_examples=12, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(sequence=calls, quality=st.floats(0.0, 100.0))
def test_interrupted_stacks_keep_volume_in_equal_to_volume_out(sequence, quality):
    pile = _native.Simulator(length_m=200, depth_m=40, particles_per_m3=1.0, seed=5)
    stacked_m3 = 0.0
    for volume, x, delay_s in sequence:
        placed_before = pile.heights().sum()
        outcome, value = call_interrupted_after(
            delay_s, lambda: pile.stack(np.array([[0.0, x, 20.0, volume, quality]]), ROW))
        if outcome == "noted":
            stacked_m3 += value
        elif outcome == "done" or pile.heights().sum() > placed_before:
            # One cubic metre a cell: a Ctrl-C after the call had returned leaves what it stacked.
            stacked_m3 += volume
    reclaimed = pile.reclaim()
    assert reclaimed[1].sum() == pytest.approx(stacked_m3, rel=1e-9)
    assert np.all(np.abs(reclaimed[2][reclaimed[1] > 0] - quality) <= 1e-9 * max(1.0, quality))


@settings(max_examples=12, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(sequence=calls)
def test_interrupted_ring_runs_keep_volume_in_equal_to_volume_out(sequence):
    pile = _native.Ring(length_m=60, depth_m=60, ring_radius_m=20, particles_per_m3=1.0, seed=5)
    stacked_m3, reclaimed_m3, time_s = 0.0, 0.0, 0.0
    for volume, travel_m, delay_s in sequence:
        start_m = pile.reclaimer_position_m
        table = np.array([[time_s + 1.0, 10.0, 30.0, volume / 100.0, 1.0]])
        outcome, output = call_interrupted_after(
            delay_s, lambda: pile.run(table, ROW, [time_s, time_s + 2.0], [start_m, start_m + travel_m]))
        if outcome == "python" and pile.reclaimer_position_m != start_m:
            return  # The run had returned when Ctrl-C came: its slices never reached us.
        if outcome == "done":
            stacked_m3 += table[0, 3]
            reclaimed_m3 += output[2].sum()
            time_s += 2.0
        else:
            assert pile.reclaimer_position_m == start_m
    reclaimed_m3 += pile.drain(1.0)[2].sum()
    assert pile.volume_m3 == 0.0
    assert reclaimed_m3 == pytest.approx(stacked_m3, rel=1e-9)
