"""Korvex: how well a blending bed evens out the quality of bulk material.

A study in a few lines::

    import korvex

    series = korvex.synthetic_series(seed=1)
    study = korvex.simulate(series, korvex.Chevron(layers=100), korvex.Bed(length_m=300, depth_m=50))
    print(korvex.format_table(study.homogenisation()))
    study.save_plots("out/study")
    study.save_reclaimed("out/study-reclaimed.csv")
"""

from ._version import __version__
from .bed import Bed, Engine
from .capacity import Capacity, OverCapacityWarning, bed_capacity, engine_angle_deg
from .chunks import ChunkTable
from .derived import add_derived, cement_moduli
from .equipment import OutputSeries, Reclaimer, Stacker, feed_rate_t_per_h
from .metrics import QualityFigures, compare, format_table, homogenisation, weighted_mean_std
from .plans import PLANS, Chevron, Circular, ConeShell, StackingPlan, Strata, Windrow
from .results import HeightMap, Reclaimed
from .series import Quality, QualitySeries, as_series, synthetic_series
from .stockpile import Stockpile
from .study import Study, simulate, stamp
from .tables import DateFormat, ReadLimits, read_table, write_workbook
from .twobeds import TwoBeds, alternate

__all__ = [
    "__version__",
    "PLANS",
    "Bed",
    "Capacity",
    "Chevron",
    "ChunkTable",
    "Circular",
    "ConeShell",
    "DateFormat",
    "Engine",
    "HeightMap",
    "OutputSeries",
    "OverCapacityWarning",
    "Quality",
    "QualityFigures",
    "QualitySeries",
    "ReadLimits",
    "Reclaimed",
    "Reclaimer",
    "StackingPlan",
    "Stacker",
    "Stockpile",
    "Strata",
    "Study",
    "TwoBeds",
    "Windrow",
    "add_derived",
    "alternate",
    "as_series",
    "bed_capacity",
    "cement_moduli",
    "compare",
    "engine_angle_deg",
    "feed_rate_t_per_h",
    "format_table",
    "homogenisation",
    "read_table",
    "simulate",
    "stamp",
    "synthetic_series",
    "weighted_mean_std",
    "write_workbook",
]
