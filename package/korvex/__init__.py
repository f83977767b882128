"""Korvex: how well a blending bed evens out the quality of bulk material.

A study in a few lines::

    import korvex

    series = korvex.synthetic_series(seed=1)
    study = korvex.simulate(series, korvex.Chevron(layers=100), korvex.Bed(length_m=300, depth_m=50))
    print(korvex.format_table(study.homogenisation()))
    study.save_plots("out/study")
    study.save_reclaimed("out/study-reclaimed.csv")
"""

from pkgutil import extend_path

# In a build tree the native module `_native` lies in build/python/korvex, beside this folder's twin on
# the path; once installed it lies in this folder.
__path__ = extend_path(__path__, __name__)

from ._version import __version__
from .bed import Bed, Engine
from .chunks import ChunkTable
from .metrics import QualityFigures, compare, format_table, homogenisation, weighted_mean_std
from .plans import PLANS, Chevron, Circular, ConeShell, StackingPlan, Strata, Windrow
from .results import HeightMap, Particles, Reclaimed
from .series import Quality, QualitySeries, as_series, synthetic_series
from .stockpile import Stockpile
from .study import Study, simulate, stamp
from .sweeps import Search, Sweep, compare_plans, read_sweep, search, summarise, sweep

__all__ = [
    "__version__",
    "PLANS",
    "Particles",
    "Bed",
    "Chevron",
    "ChunkTable",
    "Circular",
    "ConeShell",
    "Engine",
    "HeightMap",
    "Quality",
    "QualityFigures",
    "QualitySeries",
    "Reclaimed",
    "Search",
    "StackingPlan",
    "Stockpile",
    "Strata",
    "Study",
    "Sweep",
    "Windrow",
    "as_series",
    "compare",
    "compare_plans",
    "format_table",
    "homogenisation",
    "read_sweep",
    "search",
    "simulate",
    "stamp",
    "summarise",
    "sweep",
    "synthetic_series",
    "weighted_mean_std",
]
