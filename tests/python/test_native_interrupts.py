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


LAYERED_COLUMNS = ["timestamp", "x", "z", "volume", "CaO", "SiO2"]


def layered_table(rows, length_m, depth_m, rng):
    """Deliveries along the whole bed, each of its own volume and qualities."""
    return np.column_stack([
        np.arange(rows, dtype=float),
        rng.uniform(1.0, length_m - 1.0, rows),
        rng.uniform(0.2 * depth_m, 0.8 * depth_m, rows),
        rng.uniform(1.0, 50.0, rows),
        rng.normal(42.0, 1.0, rows),
        rng.normal(13.0, 1.0, rows),
    ])


def table_totals(table):
    """Volume and each quality's volume-weighted total of a table's rows."""
    volume = table[:, 3]
    return np.array([volume.sum(), (volume * table[:, 4]).sum(), (volume * table[:, 5]).sum()])


def held_totals(pile):
    """The same totals of what a layered pile's segments hold."""
    layers = pile.layers()
    if not pile.quality_names:
        return np.zeros(3)
    volume = layers["volume_m3"]
    return np.array([volume.sum(), (volume * layers["CaO"]).sum(), (volume * layers["SiO2"]).sum()])


def slice_totals(slices):
    _, volume, values = slices
    taken = volume > 0
    return np.array([volume.sum(), *(volume[taken] * values[taken].T).sum(axis=1)])


def test_an_interrupted_layered_reclaim_takes_nothing():
    pile = _native.Simulator(length_m=1000, depth_m=60, engine="layered", cell_size_m=0.5)
    table = layered_table(1200, 1000, 60, np.random.default_rng(3))
    table[:, 3] = 150.0
    pile.stack(table, LAYERED_COLUMNS)
    held = held_totals(pile)
    # The reclaim takes some tenths of a second and looks for Ctrl-C every 1,024 of its 240,000 columns.
    with interrupt_after(0.02), pytest.raises(KeyboardInterrupt):
        pile.reclaim()
    np.testing.assert_array_equal(held_totals(pile), held)
    np.testing.assert_allclose(slice_totals(pile.reclaim()), table_totals(table), rtol=1e-9)


def test_an_interrupted_layered_stack_notes_the_volume_it_laid():
    pile = _native.Simulator(length_m=120, depth_m=30, engine="layered", cell_size_m=0.25)
    table = layered_table(20000, 120, 30, np.random.default_rng(4))
    with interrupt_after(0.2), pytest.raises(KeyboardInterrupt) as interrupted:
        pile.stack(table, LAYERED_COLUMNS)
    stacked = stacked_by(interrupted.value)
    # Deliveries are laid whole: the note names the volume of the rows before the interrupted one.
    laid = int(np.searchsorted(np.cumsum(table[:, 3]), stacked * (1 - 1e-12)))
    assert 0 < laid < len(table)
    assert stacked == pytest.approx(table[: laid + 1, 3].sum(), rel=1e-12)
    np.testing.assert_allclose(held_totals(pile), table_totals(table[: laid + 1]), rtol=1e-9)


layered_calls = st.lists(
    st.tuples(
        st.sampled_from(["stack", "reclaim"]),
        st.integers(1, 1500),  # rows of a stacked table
        st.one_of(st.none(), st.floats(0.0, 0.06)),  # when Ctrl-C comes, s, if it does
    ),
    min_size=1,
    max_size=5,
)


@pytest.mark.slow
@settings(max_examples=12, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(sequence=layered_calls, seed=st.integers(0, 2**32 - 1))
def test_interrupted_layered_stacks_and_reclaims_keep_volume_and_every_quality(sequence, seed):
    rng = np.random.default_rng(seed)
    pile = _native.Simulator(length_m=120, depth_m=30, engine="layered", cell_size_m=0.5)
    stacked, reclaimed = np.zeros(3), np.zeros(3)
    for call, rows, delay_s in sequence:
        before = held_totals(pile)
        if call == "stack":
            table = layered_table(rows, 120, 30, rng)
            outcome, value = call_interrupted_after(delay_s, lambda: pile.stack(table, LAYERED_COLUMNS))
            if outcome == "noted":
                laid = int(np.searchsorted(np.cumsum(table[:, 3]), value * (1 - 1e-12))) + 1 if value > 0 else 0
                assert value == pytest.approx(table[:laid, 3].sum(), rel=1e-12, abs=0)
                added = table_totals(table[:laid])
            elif outcome == "done" or held_totals(pile)[0] > before[0]:
                added = table_totals(table)  # a Ctrl-C after the call had returned leaves all it laid
            else:
                added = np.zeros(3)
            stacked += added
            np.testing.assert_allclose(held_totals(pile), before + added, rtol=1e-9, atol=1e-9 * stacked[0])
        else:
            outcome, slices = call_interrupted_after(delay_s, pile.reclaim)
            if outcome == "done":
                reclaimed += slice_totals(slices)
            elif held_totals(pile)[0] == 0.0 and before[0] > 0.0:
                reclaimed += before  # the reclaim had returned when Ctrl-C came: its slices never reached us
            else:
                np.testing.assert_array_equal(held_totals(pile), before)
    reclaimed += slice_totals(pile.reclaim())
    np.testing.assert_allclose(reclaimed, stacked, rtol=1e-9, atol=1e-9 * max(stacked[0], 1.0))
