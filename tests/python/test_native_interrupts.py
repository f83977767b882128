"""Ctrl-C in the middle of a long call leaves every pile as if the call had done exactly what it reports."""

import contextlib
import re
import signal

import numpy as np
import pytest

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
        self.pile = _native.Simulator(length_m=2000, depth_m=200, seed=1, reclaim_step_m=10)

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
