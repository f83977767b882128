"""Snapshots of the native simulators: a loaded snapshot goes on to the bit, and bad files are refused."""

import os

import numpy as np
import pytest

from korvex import _native

COLUMNS = ["timestamp", "x", "z", "volume", "CaO", "SiO2"]


def feed(rows, seed, start=0.0):
    """A stacker running to and fro with a pending remainder after every chunk (volumes not whole particles)."""
    rng = np.random.default_rng(seed)
    time = start + np.arange(rows, dtype=float)
    x = 1 + np.abs(((time * 0.37) % 2.0) - 1.0) * 26
    volume = 2.3 + rng.random(rows)
    qualities = [42 + rng.normal(size=rows), 13 + rng.normal(size=rows)]
    return np.column_stack([time, x, np.full(rows, 5.0), volume, *qualities])


def ring_feed(rows, seed, start=0.0):
    table = feed(rows, seed, start)
    angle = table[:, 0] * 0.05
    table[:, 1] = 15 + 5 * np.cos(angle)
    table[:, 2] = 15 + 5 * np.sin(angle)
    return table


def new_simulator():
    return _native.Simulator(length_m=30, depth_m=12, particles_per_m3=8, seed=7, record_particles=True)


def new_layered():
    return _native.Simulator(length_m=30, depth_m=12, engine="layered", cell_size_m=0.5, segments_per_column=16, seed=7)


def new_ring():
    return _native.Ring(length_m=30, depth_m=30, ring_radius_m=5, particles_per_m3=4, seed=7)


def ring_schedule(start, end):
    return [start, end], [start * 0.1, end * 0.1]


def finish_simulator(simulator):
    """Stacks the rest of the plan, then reads everything the pile can tell."""
    simulator.stack(feed(150, seed=2, start=150), COLUMNS)
    heights = simulator.heights()
    particles = simulator.particles()
    return [heights, *particles.values(), *simulator.reclaim(0.5)]


def finish_layered(simulator):
    """Stacks the rest of the plan, then reads the surface, the layers and the slices: the small segment bound
    makes the columns merge all the while."""
    simulator.stack(feed(150, seed=2, start=150), COLUMNS)
    return [simulator.heights(), *simulator.layers().values(), *simulator.reclaim(0.5)]


def finish_ring(ring):
    first = ring.run(ring_feed(150, seed=2, start=150), COLUMNS, *ring_schedule(150, 300))
    return [ring.heights(), *first, *ring.drain(0.2)]


CASES = {
    "fast": (new_simulator, _native.Simulator, lambda s: s.stack(feed(150, seed=1), COLUMNS), finish_simulator),
    "layered": (new_layered, _native.Simulator, lambda s: s.stack(feed(150, seed=1), COLUMNS), finish_layered),
    "ring": (
        new_ring, _native.Ring, lambda r: r.run(ring_feed(150, seed=1), COLUMNS, *ring_schedule(0, 150)), finish_ring
    ),
}


def assert_bit_identical(first, second):
    assert len(first) == len(second)
    for a, b in zip(first, second, strict=True):
        a, b = np.asarray(a), np.asarray(b)
        assert a.dtype == b.dtype and a.shape == b.shape
        assert a.tobytes() == b.tobytes()


@pytest.fixture(params=sorted(CASES))
def case(request):
    return CASES[request.param]


@pytest.fixture
def saved(case, tmp_path):
    make, kind, begin, finish = case
    path = tmp_path / "pile.kvx"
    pile = make()
    begin(pile)
    pile.save(str(path), note=b"ledger 1")
    return path, pile, kind, finish


def test_a_loaded_snapshot_goes_on_to_the_bit(saved):
    path, pile, kind, finish = saved
    loaded = kind.load(str(path))
    assert loaded.note == b"ledger 1"
    assert loaded.quality_names == pile.quality_names and loaded.seed == pile.seed
    assert getattr(loaded, "engine", None) == getattr(pile, "engine", None)
    assert_bit_identical(finish(loaded), finish(pile))


def test_a_copy_goes_on_alike_and_apart(saved):
    path, pile, kind, finish = saved
    copy = pile.copy()
    assert_bit_identical(finish(copy), finish(pile))


def test_saving_again_replaces_the_file_whole_and_leaves_no_temporary(saved):
    path, pile, kind, finish = saved
    pile.save(str(path), note=b"ledger 2")
    assert kind.load(str(path)).note == b"ledger 2"
    assert os.listdir(path.parent) == [path.name]


def _resealed(data):
    """The file with its checksum written again, as a writer of its (changed) header would: 64-bit FNV-1a
    over the words after the mark, then the odd bytes, then the length."""
    body = data[8:-8]
    prime, mask = 0x100000001B3, 2**64 - 1
    digest = 0xCBF29CE484222325
    whole = len(body) // 8 * 8
    for at in range(0, whole, 8):
        digest = ((digest ^ int.from_bytes(body[at : at + 8], "little")) * prime) & mask
    for byte in body[whole:]:
        digest = ((digest ^ byte) * prime) & mask
    digest = ((digest ^ len(body)) * prime) & mask
    return data[:-8] + digest.to_bytes(8, "little")


def _flipped(data, at, bit):
    flipped = bytearray(data)
    flipped[at] ^= bit
    return bytes(flipped)


def _damage(kind, data):
    if kind == "truncated":
        return data[: len(data) // 2]
    if kind == "corrupt":
        flipped = bytearray(data)
        flipped[len(data) // 2] ^= 0x10
        return bytes(flipped)
    if kind == "foreign":
        return b"timestamp;x;z;volume\n" + data[20:]
    if kind == "newer":
        return _resealed(data[:8] + (99).to_bytes(4, "little") + data[12:])
    if kind == "version bit":
        return _flipped(data, 9, 0x10)
    if kind == "length bit":
        return _flipped(data, 28, 0x01)
    if kind == "empty":
        return b""
    raise AssertionError(kind)


@pytest.mark.parametrize(
    ("damage", "message"),
    [
        ("truncated", "snapshot is truncated"),
        ("empty", "snapshot is truncated: 0 bytes"),
        ("corrupt", "snapshot is corrupt: its checksum does not match"),
        ("foreign", "not a Korvex snapshot"),
        ("newer", "snapshot format version 99 is newer than this Korvex reads"),
        ("version bit", "snapshot is corrupt: its header does not match its checksum"),
        ("length bit", "snapshot is corrupt: its header does not match its checksum"),
    ],
)
def test_a_damaged_file_is_refused_saying_how(saved, damage, message):
    path, pile, kind, finish = saved
    path.write_bytes(_damage(damage, path.read_bytes()))
    with pytest.raises(ValueError, match=message):
        kind.load(str(path))


def test_a_snapshot_of_the_other_kind_is_refused(saved):
    path, pile, kind, finish = saved
    other = _native.Ring if kind is _native.Simulator else _native.Simulator
    with pytest.raises(ValueError, match="snapshot holds a"):
        other.load(str(path))


def test_the_detailed_engine_refuses_to_be_saved(tmp_path):
    simulator = _native.Simulator(length_m=8, depth_m=8, engine="detailed", seed=1)
    with pytest.raises(RuntimeError, match="detailed engine cannot be saved"):
        simulator.save(str(tmp_path / "pile.kvx"))
    assert not list(tmp_path.iterdir())


def test_a_layered_surface_copy_lands_alike_and_holds_only_what_it_stacks_next():
    pile = new_layered()
    pile.stack(feed(150, seed=1), COLUMNS)
    surface = pile.surface_copy()
    assert surface.engine == pile.engine and surface.quality_names == ()
    rest = feed(60, seed=2, start=150)
    marked = rest[:, :5]
    surface.stack(marked, ["timestamp", "x", "z", "volume", "Marker"])
    pile.stack(rest, COLUMNS)
    np.testing.assert_array_equal(surface.heights(), pile.heights())
    _, volume, values = surface.reclaim(0.5)
    assert volume.sum() == pytest.approx(rest[:, 3].sum(), rel=1e-9)
    full = volume > 0
    assert (values[full, 0] * volume[full]).sum() == pytest.approx((rest[:, 3] * rest[:, 4]).sum(), rel=1e-9)


def test_a_missing_file_or_directory_is_an_os_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        _native.Simulator.load(str(tmp_path / "none.kvx"))
    with pytest.raises(FileNotFoundError, match="previous .* is kept"):
        new_simulator().save(str(tmp_path / "no" / "pile.kvx"))


@pytest.mark.parametrize(
    ("length_m", "message"),
    [
        # A small file whose settings say 8192 m x 8192 m (2^28 cells of 0.5 m) made the loader build the grid.
        (8192.0, r"snapshot holds settings no pile is built from: a layered bed of 16384 x 16384 cells"),
        (60.0, r"snapshot is corrupt: a grid of 60 x 24 cells where its settings make 120 x 120"),
    ],
)
def test_a_layered_snapshot_whose_settings_make_another_grid_is_refused_before_it_is_built(tmp_path, length_m, message):
    path = tmp_path / "pile.kvx"
    pile = new_layered()
    pile.stack(feed(20, seed=1), COLUMNS)
    pile.save(str(path), note=b"")
    data = path.read_bytes()
    # The payload begins with the bed's length and depth in single precision, after the 32-byte header.
    extent = np.array([length_m, length_m], dtype="<f4").tobytes()
    path.write_bytes(_resealed(data[:32] + extent + data[40:]))
    with pytest.raises(ValueError, match=message):
        _native.Simulator.load(str(path))
