"""The package's native face: keyword settings, seeds, NumPy results, particle records, threads."""

import os
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

from korvex import _native

COLUMNS = ["timestamp", "x", "z", "volume", "CaO", "SiO2"]
ENGINES = ["fast", "detailed"]


def settings(engine):
    if engine == "fast":
        return dict(length_m=30, depth_m=12, particles_per_m3=8, engine="fast")
    return dict(length_m=10, depth_m=8, particles_per_m3=1, drop_height_m=3, engine="detailed")


def feed(engine, seed=0):
    """A stacker passing to and fro along the centre line, with noisy quality values."""
    rng = np.random.default_rng(seed)
    chunks, length = (120, 30.0) if engine == "fast" else (24, 10.0)
    x = np.abs(((np.arange(chunks) * 0.37) % 2.0) - 1.0) * (length - 2) + 1
    volume = np.full(chunks, 4.0 if engine == "fast" else 2.0)
    return np.column_stack([np.arange(chunks), x, np.full(chunks, 4.0), volume,
                            42 + rng.normal(size=chunks), 13 + rng.normal(size=chunks)])


def run(engine, seed):
    simulator = _native.Simulator(seed=seed, record_particles=True, **settings(engine))
    simulator.stack(feed(engine), COLUMNS)
    heights = simulator.heights()
    particles = simulator.particles()
    return (heights, particles, *simulator.reclaim())


def assert_identical(first, second):
    for a, b in zip(first, second, strict=True):
        if isinstance(a, dict):
            assert a.keys() == b.keys()
            for key in a:
                np.testing.assert_array_equal(a[key], b[key])
        else:
            np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("engine", ENGINES)
def test_results_are_numpy_arrays_that_add_up(engine):
    simulator = _native.Simulator(seed=3, **settings(engine))
    table = feed(engine)
    simulator.stack(table, COLUMNS)
    assert simulator.quality_names == ("CaO", "SiO2")
    heights = simulator.heights()
    assert heights.dtype == np.float32 and heights.ndim == 2
    position, volume, values = simulator.reclaim()
    assert position.shape == volume.shape == (values.shape[0],) and values.shape[1] == 2
    assert np.all(np.diff(position) > 0)
    assert volume.sum() == pytest.approx(table[:, 3].sum())
    full = volume > 0
    assert np.all(np.isnan(values[~full]))
    mean = np.average(values[full], axis=0, weights=volume[full])
    np.testing.assert_allclose(mean, np.average(table[:, 4:], axis=0, weights=table[:, 3]), rtol=1e-12)
    assert all(part.size == 0 for part in simulator.reclaim())


@pytest.mark.parametrize("engine", ENGINES)
def test_same_seed_repeats_to_the_bit_and_another_seed_differs(engine):
    first = run(engine, 1234)
    assert_identical(first, run(engine, 1234))
    assert not np.array_equal(first[0], run(engine, 1235)[0])


@pytest.mark.parametrize("engine", ENGINES)
def test_same_seed_repeats_to_the_bit_in_another_process(engine, tmp_path):
    script = (
        "import numpy as np, sys\n"
        f"sys.path[:0] = {sys.path!r}\n"
        "from test_native import run\n"
        f"heights, particles, position, volume, values = run({engine!r}, 99)\n"
        f"np.savez({str(tmp_path / 'out.npz')!r}, heights=heights, position=position, volume=volume, values=values,"
        " **{'p_' + k: v for k, v in particles.items()})\n"
    )
    subprocess.run([sys.executable, "-c", script], check=True, cwd=os.path.dirname(__file__))
    saved = np.load(tmp_path / "out.npz")
    heights, particles, position, volume, values = run(engine, 99)
    assert_identical((heights, position, volume, values),
                     (saved["heights"], saved["position"], saved["volume"], saved["values"]))
    for key, column in particles.items():
        np.testing.assert_array_equal(column, saved["p_" + key])


@pytest.mark.parametrize("engine", ENGINES)
def test_two_threads_at_once_give_what_one_after_the_other_gives(engine):
    seeds = (5, 6)
    sequential = [run(engine, seed) for seed in seeds]
    parallel = [None, None]

    def work(k):
        parallel[k] = run(engine, seeds[k])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for expected, got in zip(sequential, parallel, strict=True):
        assert_identical(expected, got)


def test_an_unseeded_simulator_draws_a_seed_that_repeats_its_run():
    simulator = _native.Simulator(**settings("fast"))
    simulator.stack(feed("fast"), COLUMNS)
    again = _native.Simulator(seed=simulator.seed, **settings("fast"))
    again.stack(feed("fast"), COLUMNS)
    np.testing.assert_array_equal(simulator.heights(), again.heights())
    assert _native.Simulator(**settings("fast")).seed != simulator.seed


@pytest.mark.parametrize("engine", ENGINES)
def test_particle_records_carry_drop_order_position_and_quality(engine):
    simulator = _native.Simulator(seed=8, record_particles=True, **settings(engine))
    table = feed(engine)
    simulator.stack(table, COLUMNS)
    particles = simulator.particles()
    count = int(round(table[:, 3].sum() * settings(engine)["particles_per_m3"]))
    assert sorted(particles["drop_index"]) == list(range(count))
    assert particles["x_m"].dtype == np.float32 and particles["values"].shape == (count, 2)
    # Each chunk holds a whole number of particles, so the drop index says which chunk a particle came from.
    per_chunk = count // len(table)
    np.testing.assert_allclose(particles["values"], table[particles["drop_index"] // per_chunk, 4:], rtol=1e-6)
    heights = simulator.heights()
    cell = simulator.cell_size_m
    # Cell i spans i to i + 1 cell edges from the bed's origin.
    i = np.clip(np.floor(particles["x_m"] / cell).astype(int), 0, heights.shape[1] - 1)
    j = np.clip(np.floor(particles["z_m"] / cell).astype(int), 0, heights.shape[0] - 1)
    # No particle rests above the surface over it (the detailed surface is the highest centre in a cell).
    assert np.all(particles["y_m"] <= heights[j, i] + cell)


def test_particles_must_be_asked_for():
    with pytest.raises(RuntimeError, match="record_particles=True"):
        _native.Simulator(**settings("fast")).particles()


@pytest.mark.parametrize(
    ("change", "message"),
    [
        ({"engine": "quick"}, "engine must be"),
        ({"particles_per_m3": 0.0}, "particles_per_m3"),
        ({"reclaim_step_m": -1.0}, "reclaimIncrement"),
    ],
)
def test_bad_settings_are_refused_with_their_name(change, message):
    with pytest.raises(ValueError, match=message):
        _native.Simulator(**(settings("fast") | change))


def test_settings_are_keyword_only():
    with pytest.raises(TypeError):
        _native.Simulator(30, 12)


def test_ctrl_c_interrupts_a_long_stack():
    script = (
        "import os, signal, threading, numpy as np\n"
        "from korvex import _native\n"
        "simulator = _native.Simulator(length_m=1000, depth_m=1000, engine='fast', particles_per_m3=1.0, seed=1)\n"
        "threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()\n"
        "try:\n"
        "    simulator.stack(np.array([[0, 500, 500, 2e8, 1.0]]), ['timestamp', 'x', 'z', 'volume', 'q'])\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted')\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.stdout.strip() == "interrupted", result.stderr


def test_reads_while_another_thread_stacks_see_one_consistent_pile():
    simulator = _native.Simulator(seed=2, record_particles=True, **settings("fast"))
    table = feed("fast")
    done = threading.Event()

    def stack_repeatedly():
        for _ in range(40):
            simulator.stack(table, COLUMNS)
        done.set()

    thread = threading.Thread(target=stack_repeatedly)
    thread.start()
    reads = 0
    while not done.is_set():
        particles = simulator.particles()
        count = len(particles["drop_index"])
        assert all(len(column) == count for column in particles.values())
        assert simulator.quality_names in ((), ("CaO", "SiO2"))
        assert simulator.heights().shape == (24, 60)
        reads += 1
    thread.join()
    assert reads > 0
    assert len(simulator.particles()["drop_index"]) == 40 * 3840


def test_a_table_changed_while_it_is_stacked_is_stacked_as_it_was_checked():
    """A signal handler, run by the call's own look for Ctrl-C with the GIL taken back, changes the last
    row midway: the call stacks what it checked, a copy."""
    rows = 4000
    table = np.column_stack([np.arange(rows), np.full(rows, 15.0), np.full(rows, 6.0), np.full(rows, 30.0),
                             np.full(rows, 42.0), np.full(rows, 13.0)])

    def meddle(signum, frame):
        table[-1, 3] = 1e9  # more than the bed holds

    simulator = _native.Simulator(seed=4, **settings("fast"))
    previous = signal.signal(signal.SIGALRM, meddle)
    signal.setitimer(signal.ITIMER_REAL, 0.01)
    try:
        simulator.stack(table, COLUMNS)
        stacked = rows * 30.0
    except ValueError as refusal:
        # The signal came before the call began: the change was seen by the checks.
        assert "nothing was stacked" in str(refusal)
        stacked = 0.0
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert table[-1, 3] == 1e9
    assert simulator.reclaim()[1].sum() == pytest.approx(stacked)


def huge(volume_m3):
    return np.array([[0.0, 50.0, 50.0, volume_m3, 1.0, 2.0]])


@pytest.mark.parametrize(
    ("make", "stack"),
    [
        # 8e8 particles in the log, about 26 GB.
        (lambda: _native.Simulator(length_m=1000, depth_m=1000, particles_per_m3=8, record_particles=True),
         lambda pile: pile.stack(huge(1e8), COLUMNS)),
        # 5e7 boxes with their bodies.
        (lambda: _native.Simulator(length_m=300, depth_m=300, engine="detailed"),
         lambda pile: pile.stack(huge(5e7), COLUMNS)),
        # 2e8 cubes on a ring, each with its time and values.
        (lambda: _native.Ring(length_m=100, depth_m=100, ring_radius_m=40, particles_per_m3=1000),
         lambda pile: pile.run(huge(2e5), COLUMNS, [0.0], [0.0])),
    ],
    ids=["particle-log", "detailed-bodies", "ring-cubes"],
)
def test_a_request_beyond_the_memory_bound_is_refused_up_front(make, stack):
    pile = make()
    with pytest.raises(ValueError, match=r"about [0-9.e+]+ GB, more than the 4.29497 GB bound"):
        stack(pile)
    assert not pile.heights().any()
