import numpy as np
import pytest

import _korvex_lib


def fast_lib(length=10, depth=6, angle=90.0, particles_per_m3=1.0, circular=False, step=1.0):
    """A fast-engine KorvexLib; with one particle per cubic metre a cell is 1 m wide."""
    return _korvex_lib.KorvexLib(length, depth, angle, particles_per_m3, circular, 0.0, 1.0, 5.0, False, step)


def detailed_lib(length=8, depth=8, angle=90.0, particles_per_m3=1.0, step=1.0):
    """A detailed-engine KorvexLib with 1 m boxes."""
    return _korvex_lib.KorvexLib(length, depth, angle, particles_per_m3, False, 0.0, 1.0, 3.0, True, step)


def spread_table(values=((1.0, 10.0), (2.0, 20.0), (3.0, 30.0), (4.0, 40.0))):
    """One-particle chunks two cells apart on an empty fast bed: no particle has a
    lower neighbour to roll to, so every one stays in its drop column and the
    result does not depend on the engine's random walk."""
    rows = [(float(k), 2.0 * k + 1.0, 2.0, 1.0, p, q) for k, (p, q) in enumerate(values)]
    return np.array(rows, dtype=np.float64), ["timestamp", "x", "z", "volume", "p", "q"]


@pytest.fixture
def spread():
    return spread_table()


TRUCK_DENSITY_T_PER_M3 = 1.45


def truck_day():
    """One working day of a quarry's trucks (06:04 to 21:59), dated, with the four oxides."""
    from korvex import QualitySeries, truck_feed

    return QualitySeries.from_frame(truck_feed(days=1.0, seed=3), bulk_density_t_per_m3=TRUCK_DENSITY_T_PER_M3)


def truck_study(series, **settings):
    """A 120 m x 30 m layered Chevron of 40 layers, reclaimed at 900 t/h: small, quick and on the plant's units."""
    from korvex import Bed, Chevron, Reclaimer, simulate

    return simulate(
        series,
        Chevron(layers=40),
        Bed(length_m=120.0, depth_m=30.0, engine="layered"),
        progress=False,
        seed=1,
        bulk_density_t_per_m3=TRUCK_DENSITY_T_PER_M3,
        reclaimer=Reclaimer(900.0),
        **settings,
    )
