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
from .capacity import Capacity, OverCapacityWarning, bed_capacity, engine_angle_deg
from .chunks import ChunkTable
from .derived import add_derived, cement_moduli
from .equipment import OutputSeries, Reclaimer, Stacker, feed_rate_t_per_h
from .metrics import (
    FigureWarning,
    QualityFigures,
    compare,
    composites,
    cut,
    format_table,
    homogenisation,
    weighted_mean_std,
)
from .plans import PLANS, Chevron, Circular, ConeShell, StackingPlan, Strata, Windrow
from .results import HeightMap, Particles, Reclaimed
from .ring import Chevcon, RingOutput, RingSchedule, RingStudy, simulate_ring
from .series import Quality, QualitySeries, as_series, synthetic_series, truck_feed
from .stockpile import RingPile, Stockpile
from .study import ResolutionWarning, Study, simulate, stamp
from .design import Search, Sensitivity, search, sensitivity
from .operation import ENGINE_ONLY, Operation
from .sweeps import Sweep, compare_plans, read_sweep, summarise, sweep
from .tables import DateFormat, ReadLimits, read_table, write_workbook
from .theory import Layering, Variogram, check_prediction, predicted_vrr, variogram_by_time, variogram_by_volume
from .twobeds import TwoBeds, alternate

__all__ = [
    "__version__",
    "Bed",
    "Capacity",
    "Chevcon",
    "Chevron",
    "ChunkTable",
    "Circular",
    "ConeShell",
    "DateFormat",
    "ENGINE_ONLY",
    "Engine",
    "FigureWarning",
    "HeightMap",
    "Layering",
    "Operation",
    "OutputSeries",
    "OverCapacityWarning",
    "PLANS",
    "Particles",
    "Quality",
    "QualityFigures",
    "QualitySeries",
    "ReadLimits",
    "Reclaimed",
    "Reclaimer",
    "RingOutput",
    "RingPile",
    "RingSchedule",
    "RingStudy",
    "Search",
    "Sensitivity",
    "ResolutionWarning",
    "Stacker",
    "StackingPlan",
    "Stockpile",
    "Strata",
    "Study",
    "Sweep",
    "TwoBeds",
    "Variogram",
    "Windrow",
    "add_derived",
    "alternate",
    "as_series",
    "bed_capacity",
    "cement_moduli",
    "check_prediction",
    "compare",
    "compare_plans",
    "composites",
    "cut",
    "engine_angle_deg",
    "feed_rate_t_per_h",
    "format_table",
    "homogenisation",
    "predicted_vrr",
    "read_sweep",
    "read_table",
    "search",
    "sensitivity",
    "simulate",
    "simulate_ring",
    "stamp",
    "summarise",
    "sweep",
    "synthetic_series",
    "truck_feed",
    "variogram_by_time",
    "variogram_by_volume",
    "weighted_mean_std",
    "write_workbook",
]
