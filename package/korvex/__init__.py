"""Korvex: how well a blending bed evens out the quality of bulk material.

A study in a few lines::

    import korvex
    from korvex.plots import save_plots
    from korvex.tables import save_reclaimed

    series = korvex.synthetic_series(seed=1)
    study = korvex.simulate(series, korvex.Chevron(layers=100), korvex.Bed(length_m=300, depth_m=50))
    print(korvex.format_table(study.homogenisation()))
    save_plots(study, "out/study")
    save_reclaimed(study, "out/study-reclaimed.csv")

The package stands in layers, from the ground up. A module imports only modules of the layers below
its own and those listed before it in its own layer, so that no two modules import each other and a
new module knows its place before it is written:

    0. native: _native
    1. ground: _version, errors, validation, seeds, units, dates, feed, derived, display
    2. values: bed, series, chunks, results, metrics, composites, targets
    3. plans: plans, equipment, theory, operation
    4. engine: stockpile, capacity
    5. study: study
    6. output: plots, embed, views, report, tables
    7. studies: engines, twobeds, sweeps, design, feed_correction, deliveries, ledger, live_status, live_ring, live, live_report
    8. options: cli.options, cli.feed_file, cli.terminal
    9. commands: cli.demo, cli.ring, cli.simulate, cli.report, cli.sweep, cli.compare, cli.track
    10. faces: cli, __main__, __init__

0. The compiled engines; stockpile alone drives them.
1. Korvex's own errors, checks of what users give, seeds derived from settings, units, dates as
   users write them, a feed's flow and stops, values derived from the qualities, tables for notebooks.
2. The bed's settings, the feed, the chunk tables the engine stacks, what it gives back (slices,
   heights, particles, a ring's output over time) and the figures computed from them: portions,
   composites in time, the share of hours in a target band.
3. Where the stacker lays the feed (straight beds, and rings run continuously with their schedules),
   the stacker and the reclaimer as a plant describes them, what ideal layering predicts, and what
   varies from one bed to the next in operation.
4. The one door to the native engine, and what a bed holds, measured with it.
5. A study of one bed, straight or a ring: its data and its figures, numbers all.
6. What draws and writes a study: figures (matplotlib), plotly figures packed into pages that need
   no network, views (plotly), the HTML report, and the table files read and written.
7. Several studies: the two engines side by side, two beds in turn, sweeps on a cluster, the search
   for a design that holds and its sensitivity; a live bed (or ring) followed delivery by delivery, its
   status, prediction and the feed's correction, and its status as a page.
8. What the commands share: options built from the bed's and the plans' fields, the feed's and a
   cluster's; a feed file read as those options say; what a command prints.
9. The commands, a module each: demo, simulate, report, sweep (and its search), compare, track.
10. The command line's parser and entry, and the names of this package.

Inside a function a module imports only libraries a user may lack (matplotlib, plotly, jinja2,
pandas, openpyxl, pyarrow, scipy, dask's distributed), or the modules that load them as they are
imported, so that the rest works without them; the check of a cluster's workers imports on each
worker what it checks there. No module takes a name that starts with an underscore
from another. A subpackage's modules are named with a dot (cli.demo); its __init__.py by the
subpackage's name (cli). tests/python/test_package_layers.py holds the code to these rules.
"""

from pkgutil import extend_path

# In a build tree the native module `_native` lies in build/python/korvex, beside this folder's twin on
# the path; once installed it lies in this folder.
__path__ = extend_path(__path__, __name__)

from ._version import __version__
from .bed import Bed, Engine
from .capacity import Capacity, OverCapacityWarning, bed_capacity, engine_angle_deg
from .chunks import ChunkTable
from .dates import DateFormat
from .derived import add_derived, cement_moduli
from .deliveries import Dialect
from .equipment import OutputSeries, Reclaimer, Stacker, feed_rate_t_per_h
from .errors import KorvexError, SettingsError, TableError
from .feed_correction import Component, Target
from .live import LiveBed, LiveSettings
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
from .plans import PLANS, Chevcon, Chevron, Circular, ConeShell, RingSchedule, StackingPlan, Strata, Windrow
from .results import HeightMap, Particles, Reclaimed, RingOutput
from .series import Quality, QualitySeries, as_series, synthetic_series, truck_feed
from .stockpile import RingPile, Stockpile
from .study import ResolutionWarning, RingStudy, Study, simulate, simulate_ring, stamp
from .design import Search, Sensitivity, search, sensitivity
from .operation import ENGINE_ONLY, Operation
from .sweeps import Sweep, compare_plans, read_sweep, summarise, sweep
from .tables import ReadLimits, read_table, write_workbook
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
    "Component",
    "ConeShell",
    "DateFormat",
    "Dialect",
    "ENGINE_ONLY",
    "Engine",
    "FigureWarning",
    "HeightMap",
    "KorvexError",
    "Layering",
    "LiveBed",
    "LiveSettings",
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
    "SettingsError",
    "ResolutionWarning",
    "Stacker",
    "StackingPlan",
    "Stockpile",
    "Strata",
    "Study",
    "Sweep",
    "TableError",
    "Target",
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
