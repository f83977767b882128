"""Sweeps: many studies at once, each repeated over seeds, run as independent tasks on a Dask cluster.

A bed is designed by comparing runs: layer counts, stacker speeds, bed lengths,
plans, engines. A sweep takes a grid (or a list) of study settings, repeats
every setting over replicates, runs each study as one task (on a LocalCluster of
this machine by default, on any Dask scheduler when given one) and gathers one
tidy table: a row per run and quality value.

Settings are flat names: "plan" (a key of korvex.PLANS) and the plan's fields
(layers, stacker_speed_m_per_min, rows, ...), the Bed's fields (length_m,
engine, ...), and, for the synthetic feed, the arguments of synthetic_series
(hours, interval_s, flow_m3_per_h, correlation_time_h) and feed_seed.

Seeds: every run's engine seed is a stable hash (BLAKE2b of a canonical JSON) of
the sweep's seed, the run's settings and its replicate number, so the table is
the same whatever the number of workers and the order in which runs finish, and
the same setting gets the same seed in any sweep with the same seed.

Operation: a replicate also redraws what varies between beds in a plant (see
korvex.operation): the stacker's start, speed and dwell, and the feed when
asked. Every `engine_runs` consecutive replicates share one operational draw,
so that summaries split the spread into operation's and the engine's; on the
layered engine, which draws nothing at random, every replicate is a draw of
its own. The
draw's seed, and the synthetic feed's, are hashed from the sweep's seed, the
feed's settings and the draw's number only: every plan of one replicate sees
the same stacker start and the same feed, so plans are compared on equal terms.
"""

from __future__ import annotations

import itertools
import json
import math
import numbers
import os
import re
import sys
import time
import warnings
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, fields
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
from tqdm import tqdm

from . import validation
from ._version import __version__
from .bed import Bed
from .display import grid_html, html_table
from .equipment import Reclaimer, feed_rate_t_per_h
from .errors import SettingsError
from .operation import Operation, bootstrap_feed, variance_components
from .plans import PLANS, StackingPlan
from .seeds import canonical, derive_seed
from .series import QualitySeries, as_series, synthetic_series
from .study import Study, simulate
from .tables import from_text, write_csv
from .targets import TargetBand, target_bands
from .units import check_bulk_density

if TYPE_CHECKING:
    import pandas as pd
    from distributed import Client
    from matplotlib.figure import Figure

# The arguments of synthetic_series that a sweep may vary; feed_seed fixes the feed's random numbers.
FEED_SETTINGS = ("hours", "interval_s", "flow_m3_per_h", "correlation_time_h", "feed_seed")
BED_SETTINGS = tuple(item.name for item in fields(Bed))
# The figures a sweep tabulates per run and quality value, in the table's order.
FIGURES = ("vrr", "effect", "mean_in", "std_in", "mean_out", "std_out", "predicted_vrr")
# What the kiln sees of each value, with a Kiln given (NaN without): the std of the composites of the
# feed and of the output over its interval, and the share of their tonnes inside the value's target band.
KILN_FIGURES = ("composite_std_in", "composite_std_out", "band_share_in", "band_share_out")
RUN_FIGURES = ("passes", "slices", "stacked_m3", "reclaimed_m3")
# What a run's operational draw gave the stacker (NaN: not drawn, or a plan without a travelling stacker).
DRAWN = ("drawn_start_phase_m", "drawn_speed_factor", "drawn_dwell_s")
_DRAWN_FIELDS = dict(zip(("start_phase_m", "speed_factor", "turnaround_dwell_s"), DRAWN, strict=True))
# Columns between the settings and the figures.
RUN_COLUMNS = ("replicate", "seed", "feed_seed", "operation", "operation_seed")
# Types of the table's columns after the settings; nullable where a failed run or a given feed leaves a gap.
COLUMN_TYPES: dict[str, str] = {
    "replicate": "int64",
    "seed": "int64",
    "feed_seed": "Int64",
    "operation": "int64",
    "operation_seed": "Int64",
    "quality": "string",
    **dict.fromkeys(FIGURES, "float64"),
    "passes": "float64",
    "slices": "Int64",
    "stacked_m3": "float64",
    "reclaimed_m3": "float64",
    **dict.fromkeys(DRAWN, "float64"),
    "run_time_s": "float64",
    "warning": "string",
    "error": "string",
}
# The kiln's columns, and how many composites of the output a run's figures are taken over.
KILN_TYPES: dict[str, str] = {**dict.fromkeys(KILN_FIGURES, "float64"), "composites": "Int64"}
# scheduler= value (and --scheduler) that runs every study in this process, without Dask.
IN_PROCESS = "in-process"
SYNTHETIC = "synthetic"
# How long a sweep waits for a cluster without workers to get one.
WORKERS_WAIT_S = 60.0
# Engines whose result the engine's seed does not move.
DETERMINISTIC_ENGINES = ("layered",)
# Upper bound of runs in one sweep: each is a task and a few table rows.
MAX_RUNS = 100_000


@dataclass(frozen=True)
class Kiln:
    """What a sweep measures in the kiln's terms besides the VRR: the output reclaimed at
    reclaim_rate_t_per_h (by default the feed's rate while it flows) and cut into composites of
    interval_h, and the target bands ("LSF=96+-2", read by korvex.targets) whose shares of tonnes it counts.
    """

    bulk_density_t_per_m3: float
    targets: tuple[TargetBand, ...] = ()
    reclaim_rate_t_per_h: float | None = None
    interval_h: float = 1.0

    def __post_init__(self) -> None:
        check_bulk_density(self.bulk_density_t_per_m3)
        object.__setattr__(self, "targets", target_bands(self.targets))
        if self.reclaim_rate_t_per_h is not None:
            validation.positive("reclaim_rate_t_per_h", self.reclaim_rate_t_per_h, "t/h")
        validation.positive("interval_h", self.interval_h, "h")

    def band(self, name: str) -> TargetBand:
        """The target band of a value; SettingsError naming the bands given when it has none."""
        for band in self.targets:
            if band.name == name:
                return band
        bands = [f"{band.name}={band.describe()}" for band in self.targets] or "none given"
        raise SettingsError(f"targets: no band for {name} among {bands}; give one as {name}=VALUE+-TOLERANCE")

    def options(self, series: QualitySeries) -> dict[str, Any]:
        """simulate's options that give a study these figures."""
        rate = self.reclaim_rate_t_per_h
        if rate is None:
            rate = feed_rate_t_per_h(series, self.bulk_density_t_per_m3)
        return {"bulk_density_t_per_m3": self.bulk_density_t_per_m3, "reclaimer": Reclaimer(rate),
                "targets": self.targets}

    def figures(self, study: Study) -> tuple[dict[str, dict[str, float]], int]:
        """Each value's KILN_FIGURES, and the number of the output's composites."""
        before = study.feed_composite_std(self.interval_h)
        after = study.composite_std(self.interval_h)
        shares = study.target_shares(self.interval_h).set_index("value")
        figures = {
            name: {
                "composite_std_in": before[name],
                "composite_std_out": after[name],
                "band_share_in": float(shares.loc[name, "before"]) if name in shares.index else math.nan,
                "band_share_out": float(shares.loc[name, "after"]) if name in shares.index else math.nan,
            }
            for name in after
        }
        return figures, len(study.composites(self.interval_h))


# A feed a sweep stacks: a series, or a generator of realisations (seed -> series).
Feed = QualitySeries | Callable[[int], QualitySeries]


@dataclass(frozen=True)
class Run:
    """One study of a sweep: its place in the table, its settings, replicate and seeds.

    operation: the number of its operational draw; operation_seed: the draw's seed (None: nothing drawn).
    """

    index: int
    settings: dict[str, Any]
    replicate: int
    seed: int
    feed_seed: int | None
    operation: int = 0
    operation_seed: int | None = None


def _plan_kind(settings: Mapping[str, Any]) -> str:
    default = "circular" if settings.get("circular") else "chevron"
    return str(settings.get("plan", default))


def build(settings: Mapping[str, Any], *, synthetic_feed: bool) -> tuple[StackingPlan, Bed, dict[str, Any]]:
    """The plan, the bed and the synthetic feed's arguments that a run's settings describe.

    Raises ValueError for a setting that no part takes, naming it and the plan.
    """
    kind = _plan_kind(settings)
    validation.choice("plan", kind, tuple(PLANS))
    plan_type = PLANS[kind]
    plan_fields = {item.name for item in fields(plan_type)}  # type: ignore[arg-type]
    plan_settings: dict[str, Any] = {}
    bed_settings: dict[str, Any] = {}
    feed_settings: dict[str, Any] = {}
    for name, value in settings.items():
        if name == "plan" or value is None:
            continue
        if name in plan_fields:
            plan_settings[name] = value
        elif name in BED_SETTINGS:
            bed_settings[name] = value
        elif name in FEED_SETTINGS and synthetic_feed:
            feed_settings[name] = value
        elif name in FEED_SETTINGS:
            raise ValueError(f"setting {name} = {value!r} is for the synthetic feed; this sweep has a feed of its own")
        else:
            known = sorted({*plan_fields, *BED_SETTINGS, *(FEED_SETTINGS if synthetic_feed else ())})
            raise ValueError(f"the {kind} plan takes no setting {name} (= {value!r}); settings: {', '.join(known)}")
    return plan_type(**plan_settings), Bed(**bed_settings), feed_settings


def expand(grid: Mapping[str, Any] | Sequence[Mapping[str, Any]]) -> list[dict[str, Any]]:
    """The settings of a grid: every combination of its values, the first name varying slowest.

    A value that is a list or tuple is an axis; anything else is fixed. A sequence of grids is expanded
    one after the other (for plans that take different settings).
    """
    grids = [grid] if isinstance(grid, Mapping) else list(grid)
    combinations: list[dict[str, Any]] = []
    for one in grids:
        names = list(one)
        axes = [list(value) if isinstance(value, list | tuple) else [value] for value in one.values()]
        for name, axis in zip(names, axes, strict=True):
            if not axis:
                raise ValueError(f"setting {name} has an empty list of values")
        # Counted before it is built: a few long axes multiply into more settings than memory holds.
        count = len(combinations) + math.prod(len(axis) for axis in axes)
        if count > MAX_RUNS:
            raise ValueError(
                f"the grid has {count:,} combinations of settings, more than the {MAX_RUNS:,} a sweep takes"
            )
        combinations += [dict(zip(names, values, strict=True)) for values in itertools.product(*axes)]
    return combinations


def plan_runs(
    settings: Sequence[Mapping[str, Any]],
    *,
    replicates: int | Sequence[int],
    seed: int,
    synthetic_feed: bool,
    operation: Operation | None = None,
    generated_feed: bool = False,
) -> list[Run]:
    """Every setting repeated over the replicates, with derived seeds; every setting checked first.

    operation: what a replicate redraws (Operation() by default). generated_feed: the feed is a
    generator of realisations, which gets a seed per draw when the operation draws the feed and one
    seed for the sweep otherwise.
    """
    operation = Operation() if operation is None else operation
    if isinstance(replicates, numbers.Integral):
        replicates = range(validation.whole("replicates", replicates, 1))
    replicate_numbers = [validation.whole("replicate", number, 0) for number in replicates]
    if not replicate_numbers:
        raise ValueError("give at least one replicate")
    if len(set(replicate_numbers)) != len(replicate_numbers):
        raise ValueError(f"replicate numbers repeat: {replicate_numbers}")
    total = len(settings) * len(replicate_numbers)
    if total > MAX_RUNS:
        raise ValueError(
            f"{len(settings)} settings x {len(replicate_numbers)} replicates are {total:,} runs, "
            f"more than the {MAX_RUNS:,} a sweep takes"
        )
    runs = []
    for one in settings:
        # The plan is always named, so that the table says which plan made each row.
        settings_ = canonical({"plan": _plan_kind(one), **one})
        try:
            _, bed, _ = build(settings_, synthetic_feed=synthetic_feed)
        except (TypeError, ValueError) as error:
            raise ValueError(f"settings {settings_}: {error}") from None
        # An engine that draws nothing at random gives the same bed for every engine seed: each of its
        # replicates is an operational draw of its own, or runs would repeat one another.
        engine_runs = 1 if bed.engine in DETERMINISTIC_ENGINES else operation.engine_runs
        feed_part = {name: value for name, value in settings_.items() if name in FEED_SETTINGS}
        for replicate in replicate_numbers:
            engine_seed = derive_seed(seed, {**settings_, "replicate": replicate}, "engine")
            draw = replicate // engine_runs
            if generated_feed:
                feed_seed = derive_seed(seed, {"replicate": draw if operation.feed else 0}, "feed")
            elif not synthetic_feed:
                feed_seed = None
            elif "feed_seed" in settings_:
                feed_seed = validation.seed(settings_["feed_seed"])
            else:
                # A synthetic feed is a fresh realisation for every draw.
                feed_seed = derive_seed(seed, {**feed_part, "replicate": draw}, "feed")
            drawing = operation.varies or (operation.feed and not synthetic_feed and not generated_feed)
            operation_seed = derive_seed(seed, {"operation": draw}, "operation") if drawing else None
            runs.append(Run(len(runs), settings_, replicate, engine_seed, feed_seed, draw, operation_seed))
    return runs


def quality_figures(study: Study) -> list[dict[str, Any]]:
    """What a sweep tabulates of each quality value of a study.

    vrr, effect and the std are what Study.homogenisation() reports: portions of equal volume in and out.
    predicted_vrr is what ideal layering of the plan gives this feed (korvex.theory; None for
    plans it cannot predict).
    """
    return [
        {
            "quality": figures.name,
            "vrr": figures.vrr,
            "effect": figures.effect,
            "mean_in": figures.mean_in,
            "std_in": figures.std_in,
            "mean_out": figures.mean_out,
            "std_out": figures.std_out,
            "predicted_vrr": figures.predicted_vrr,
        }
        for figures in study.homogenisation()
    ]


def run_study(
    run: Run, feed: Feed | None, operation: Operation | None = None, kiln: Kiln | None = None
) -> list[dict[str, Any]]:
    """One run of a sweep, as its rows of the table: one per quality value, or one with the error.

    The task that every worker runs. A run that raises is a result of the sweep, not its end. Warnings
    (a feed above the bed's capacity, figures of few portions) are recorded with the run, so that the
    table does not depend on how the process running it treats warnings.
    """
    started = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        rows = _study_rows(run, feed, Operation() if operation is None else operation, simulate, kiln)
    said = "; ".join(dict.fromkeys(f"{w.category.__name__}: {w.message}" for w in caught)) or None
    elapsed = time.perf_counter() - started
    return [{"run": run.index, **row, "warning": said, "run_time_s": elapsed} for row in rows]


def _study_rows(
    run: Run, feed: Feed | None, operation: Operation, simulate: Any, kiln: Kiln | None = None
) -> list[dict[str, Any]]:
    try:
        plan, bed, feed_settings = build(run.settings, synthetic_feed=feed is None)
        drawn: dict[str, float] = {}
        rng = None if run.operation_seed is None else np.random.default_rng(run.operation_seed)
        if rng is not None and operation.varies:
            plan, drawn = operation.draw_plan(plan, bed, rng)
        if feed is None:
            feed_settings.pop("feed_seed", None)
            feed = synthetic_series(**feed_settings, seed=run.feed_seed)
        elif not isinstance(feed, QualitySeries):
            feed = as_series(feed(run.feed_seed))
        elif rng is not None and operation.feed:
            feed = bootstrap_feed(feed, rng)
        study = simulate(feed, plan, bed, progress=False, seed=run.seed, **({} if kiln is None else kiln.options(feed)))
        kiln_figures, composites = ({}, None) if kiln is None else kiln.figures(study)
        passes = study.passes
        extra = {
            "passes": math.nan if passes is None else passes,
            "slices": int(np.count_nonzero(study.reclaimed.volume_m3 > 0)),
            "stacked_m3": study.chunks.total_volume_m3,
            "reclaimed_m3": study.reclaimed.total_volume_m3,
            "composites": composites,
            **{column: drawn.get(name, math.nan) for name, column in _DRAWN_FIELDS.items()},
        }
        rows = [
            {**figures, **kiln_figures.get(figures["quality"], {}), **extra, "error": None}
            for figures in quality_figures(study)
        ]
    except Exception as error:  # noqa: BLE001 - recorded in the table, which is what a sweep is for
        rows = [{"error": describe_error(error)}]
    return rows


def describe_error(error: BaseException) -> str:
    return f"{type(error).__name__}: {error}".strip()


@contextmanager
def connect(
    scheduler: str | Client | None = None, *, workers: int | None = None, dashboard: bool = False
) -> Iterator[Client | None]:
    """A Dask client for a sweep, closed afterwards if made here.

    scheduler: None for a LocalCluster on this machine (one single-threaded worker process per core,
    or `workers`), an address such as "tcp://host:8786" for a running cluster, a Client (left open),
    or "in-process" for no Dask at all (yields None).
    """
    if scheduler == IN_PROCESS:
        yield None
        return
    from distributed import Client, LocalCluster

    if isinstance(scheduler, Client):
        yield scheduler
        return
    if scheduler is None:
        if "__mp_main__" in sys.modules and sys.modules["__main__"] is not sys.modules["__mp_main__"]:
            # A worker process being started imports the script that starts the cluster: unguarded, the
            # script would start a cluster inside every worker, and the first cluster would wait for ever.
            raise RuntimeError(
                "a local cluster's worker process imported the script that starts the cluster; put the "
                "script's work under `if __name__ == \"__main__\":`"
            )
        count = validation.whole("workers", workers, 1) if workers is not None else _cores()
        with (
            LocalCluster(
                n_workers=count,
                threads_per_worker=1,
                processes=True,
                dashboard_address=":8787" if dashboard else None,
                # Without a dashboard the scheduler still serves its health checks, by default on the
                # dashboard's port: on any free port instead, so that a second cluster on the machine
                # neither collides with the first nor warns about it.
                scheduler_kwargs=None if dashboard else {"dashboard_address": "127.0.0.1:0"},
            ) as cluster,
            Client(cluster) as client,
        ):
            yield client
        return
    if workers is not None:
        raise ValueError("workers is the size of a local cluster; a running cluster at a scheduler has its own")
    with Client(str(scheduler)) as client:
        yield client


def check_workers(client: Client) -> None:
    """Refuse a cluster whose workers would not give this package's results: none within
    WORKERS_WAIT_S (the sweep would wait for ever), or workers that cannot import korvex and its native
    module, or that run another version of it."""

    # Runs on each worker, which resolves these imports against its own installation of the package.
    def version() -> str:
        from ._native import Simulator  # noqa: F401 - every run needs the native module
        from ._version import __version__ as installed

        return installed

    try:
        client.wait_for_workers(1, timeout=WORKERS_WAIT_S)
    except TimeoutError:
        raise ValueError(
            f"the cluster at {client.scheduler.address} has no workers after {WORKERS_WAIT_S:g} s; start some with "
            "`dask worker ADDRESS`"
        ) from None
    try:
        versions = client.run(version)
    except ImportError as error:
        raise ValueError(
            f"a worker of the cluster cannot import korvex ({error}); install the package on every worker"
        ) from None
    other = sorted({found for found in versions.values() if found != __version__})
    if other:
        raise ValueError(
            f"workers of the cluster run korvex {', '.join(other)}, this is {__version__}: the results would not "
            "repeat; install one version everywhere"
        )


def _cores() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def execute(
    runs: Sequence[Run],
    feed: Feed | None,
    client: Client | None,
    *,
    progress: bool,
    operation: Operation | None = None,
    kiln: Kiln | None = None,
) -> list[dict]:
    """The rows of every run, in run order, whichever order they finish in."""
    results: dict[int, list[dict[str, Any]]] = {}
    with tqdm(total=len(runs), unit="run", desc="sweep", disable=not progress) as bar:
        if client is None:
            for run in runs:
                results[run.index] = run_study(run, feed, operation, kiln)
                bar.update()
        else:
            from distributed import as_completed

            check_workers(client)
            # A series is data, shipped once to every worker; a generator goes with each task.
            shipped = client.scatter(feed, broadcast=True, hash=False) if isinstance(feed, QualitySeries) else None
            task_feed = feed if shipped is None else shipped
            futures = {client.submit(run_study, run, task_feed, operation, kiln, pure=False): run for run in runs}
            try:
                for future in as_completed(futures):
                    run = futures[future]
                    try:
                        results[run.index] = future.result()
                    except Exception as error:  # noqa: BLE001 - a worker lost with its task, say
                        lost = {"run": run.index, "error": describe_error(error), "run_time_s": math.nan}
                        results[run.index] = [lost]
                    bar.update()
            finally:
                # Interrupted, the sweep leaves no task behind on a cluster that others share.
                client.cancel([*futures, *([] if shipped is None else [shipped])])
    return [row for run in runs for row in results[run.index]]


def _stamp(seed: int) -> str:
    return f"korvex {__version__}, sweep seed {seed}"


def tabulate(runs: Sequence[Run], rows: Sequence[Mapping[str, Any]], feed_name: str, seed: int) -> pd.DataFrame:
    """The tidy table: settings, replicate and seeds, then the figures; one row per run and quality value."""
    import pandas as pd

    setting_names = ["feed", *dict.fromkeys(name for run in runs for name in run.settings)]
    described = {
        run.index: {
            "feed": feed_name,
            **{name: run.settings.get(name) for name in setting_names[1:]},
            "replicate": run.replicate,
            "seed": run.seed,
            "feed_seed": run.feed_seed,
            "operation": run.operation,
            "operation_seed": run.operation_seed,
        }
        for run in runs
    }
    records = [{**described[row["run"]], "quality": None, **row} for row in rows]
    columns = [
        *setting_names, *RUN_COLUMNS, "quality", *FIGURES, *KILN_TYPES, *RUN_FIGURES, *DRAWN, "run_time_s", "warning",
        "error", "run",
    ]
    table = pd.DataFrame.from_records(records, columns=columns)
    table = table.drop(columns="run").astype({**COLUMN_TYPES, **KILN_TYPES})
    table.attrs["korvex"] = _stamp(seed)
    return table


def setting_columns(table: pd.DataFrame) -> list[str]:
    """The settings' columns of a sweep's table: every column before the replicate number."""
    columns = list(table.columns)
    return columns[: columns.index("replicate")]


@dataclass(frozen=True, repr=False)
class Sweep:
    """A finished sweep: its table, its seed, and summaries, figures and files made from them."""

    table: pd.DataFrame
    seed: int

    def __repr__(self) -> str:
        failed = int(self.table["error"].notna().sum())
        runs = len(self.table.drop_duplicates(["seed", "replicate"]))
        done = self.table[self.table["error"].isna()]
        ranges = [
            f"{quality} {rows['vrr'].min():.3g} to {rows['vrr'].max():.3g}"
            for quality, rows in list(done.groupby("quality", sort=False))[:4]
        ]
        spread = f";\n  VRR over the runs: {', '.join(ranges)}" if ranges else ""
        return f"Sweep({runs} runs, {failed} failed{spread};\n  sweep seed {self.seed})"

    def _repr_html_(self) -> str:
        summary = self.summary()
        failed = int(self.table["error"].notna().sum())
        caption = html_table(
            "Sweep", [("runs", f"{len(self.table.drop_duplicates(['seed', 'replicate']))}, {failed} failed"),
                      ("made by", self.stamp)]
        )
        if "vrr" not in summary.columns:
            return caption
        varying = varying_columns(summary, summary_settings(summary))
        header = [*varying, "quality", "runs", "VRR", "VRR interval", "E"]
        rows = [
            [*(row[name] for name in varying), row["quality"], row["runs"], f"{row['vrr']:.4f}",
             f"{row['vrr_low']:.4f} to {row['vrr_high']:.4f}", f"{row['effect']:.2f}"]
            for _, row in summary[summary["runs"] > 0].iterrows()
        ]
        return caption + grid_html(header, rows)

    @property
    def stamp(self) -> str:
        return _stamp(self.seed)

    @property
    def failures(self) -> pd.DataFrame:
        """The runs that raised, with their settings and errors."""
        return self.table[self.table["error"].notna()]

    def summary(self, *, confidence: float = 0.95) -> pd.DataFrame:
        """Mean and interval over the replicates of every setting; see summarise."""
        return summarise(self.table, confidence=confidence)

    def figure(
        self, x: str, *, figure: str = "vrr", target_vrr: float | None = None, confidence: float = 0.95
    ) -> Figure:
        """The figure against setting x, one line per plan; see sweep_figure."""
        summary = self.summary(confidence=confidence)
        return sweep_figure(summary, x, figure=figure, target_vrr=target_vrr, footer=self.stamp)

    def save(self, prefix: str | Path) -> tuple[Path, Path]:
        """Write PREFIX.csv (below a comment line with the stamp) and PREFIX.parquet; return their paths."""
        return save_table(self.table, prefix, stamp=self.stamp)


def sweep(
    grid: Mapping[str, Any] | Sequence[Mapping[str, Any]] | None = None,
    *,
    runs: Sequence[Mapping[str, Any]] | None = None,
    feed: QualitySeries | pd.DataFrame | Callable[[int], QualitySeries] | None = None,
    feed_name: str | None = None,
    replicates: int | Sequence[int] = 5,
    seed: int = 0,
    operation: Operation | None = None,
    kiln: Kiln | None = None,
    scheduler: str | Client | None = None,
    workers: int | None = None,
    dashboard: bool = False,
    progress: bool = True,
) -> Sweep:
    """Run every combination of a grid of settings (or every entry of `runs`), each over the replicates.

    grid: setting name -> a value or a list of values, e.g. {"plan": "chevron", "layers": [10, 20, 40]};
        or a list of such grids. runs: instead, an explicit list of settings.
    feed: the quality series every run stacks (shipped to the workers as data); or a generator of
        realisations, seed -> series (such as a truck_feed read with its density); None for the
        synthetic raw mix, whose settings (FEED_SETTINGS) may then vary in the grid. feed_name: its name
        in the table.
    replicates: how many replicates (numbered from 0), or their numbers.
    seed: the sweep's seed, from which every run's seeds are derived (see the module).
    operation: what a replicate redraws besides the engine's seed (korvex.operation.Operation(), the
        stacker's start, speed and dwell, by default; ENGINE_ONLY for the engine's seed alone).
    kiln: also tabulate what the kiln sees (KILN_FIGURES): the composites' std and the shares of tonnes
        in the target bands.
    scheduler, workers, dashboard: where it runs (see connect).

    Returns a Sweep whose table has one row per run and quality value, in the order of the settings and
    replicates; a run that raised has a single row with its error.
    """
    if (grid is None) == (runs is None):
        raise ValueError("give either a grid or a list of runs")
    settings = expand(grid) if grid is not None else [dict(one) for one in runs or ()]
    if not settings:
        raise ValueError("the sweep has no settings to run")
    seed = validation.seed(seed)
    operation = Operation() if operation is None else operation
    generated = callable(feed) and not hasattr(feed, "columns")
    source: Feed | None = None if feed is None else (feed if generated else as_series(feed))  # type: ignore[arg-type]
    planned = plan_runs(
        settings, replicates=replicates, seed=seed, synthetic_feed=feed is None, operation=operation,
        generated_feed=generated,
    )
    name = feed_name or (SYNTHETIC if feed is None else "generated feed" if generated else "feed")
    with connect(scheduler, workers=workers, dashboard=dashboard) as client:
        rows = execute(planned, source, client, progress=progress, operation=operation, kiln=kiln)
    return Sweep(tabulate(planned, rows, name, seed), seed)


# The figures whose spread a summary splits into operation's and the engine's.
SPLIT_FIGURES = ("vrr", "effect")


def summarise(table: pd.DataFrame, *, confidence: float = 0.95) -> pd.DataFrame:
    """Mean and two-sided interval over the replicates of every setting and quality value.

    Columns: the settings, quality, runs (that gave figures), draws (the operational draws among them),
    failed, and for each figure its mean, FIGURE_low and FIGURE_high. Runs that share an operational
    draw are not independent: with two draws or more, the interval is that of the draws' means; with
    one, that of the runs. Every figure tabulated is positive (a VRR, E, a standard deviation, a count of
    layers), and so is its interval: it is the t-interval of the mean on the log scale, the mean times and
    divided by the same factor (see positive_interval); a share of tonnes in a band (with a Kiln) stays
    between 0 and 1 on the logit scale. Fewer than two give no interval (NaN), which
    comparison_table says in words. For the VRR and E, FIGURE_sd_operation and FIGURE_sd_engine split
    one run's spread into what operation and the engine contribute (korvex.operation.variance_components).
    """
    import pandas as pd

    confidence = validation.within("confidence", confidence, 0, 1, open_ends=True)
    keys = setting_columns(table)
    figures = ["vrr", "effect", "std_in", "std_out", "predicted_vrr", "passes"]
    figures += [name for name in KILN_FIGURES if name in table.columns and table[name].notna().any()]
    draws = table["operation"] if "operation" in table.columns else table["replicate"]
    records = []
    for group_key, group in table.groupby(keys, dropna=False, sort=False):
        settings = dict(zip(keys, group_key if isinstance(group_key, tuple) else (group_key,), strict=True))
        failed = int(group.loc[group["error"].notna(), "replicate"].nunique())
        done = group[group["error"].isna()]
        for quality, rows in done.groupby("quality", sort=False):
            groups = draws.loc[rows.index].to_numpy()
            record = {**settings, "quality": quality, "runs": len(rows), "draws": int(np.unique(groups).size),
                      "failed": failed}
            for figure in figures:
                values = rows[figure].to_numpy(dtype=np.float64)
                finite = np.isfinite(values)
                mean = float(values[finite].mean()) if finite.any() else math.nan
                low, high = _nested_interval(values[finite], groups[finite], confidence,
                                             share=figure.startswith("band_share"))
                record.update({figure: mean, f"{figure}_low": low, f"{figure}_high": high})
                if figure in SPLIT_FIGURES:
                    split = variance_components(values, groups)
                    record.update({f"{figure}_sd_operation": split.operation_sd, f"{figure}_sd_engine": split.engine_sd})
            records.append(record)
        if done.empty:
            records.append({**settings, "quality": pd.NA, "runs": 0, "draws": 0, "failed": failed})
    summary = pd.DataFrame.from_records(records)
    summary.attrs.update(table.attrs)
    summary.attrs["confidence"] = confidence
    return summary


def _nested_interval(
    values: np.ndarray, groups: np.ndarray, confidence: float, *, share: bool = False
) -> tuple[float, float]:
    """The interval of the mean of runs grouped by operational draw: over the draws' means when there
    are two draws or more, centred on the mean of the runs."""
    labels, which = np.unique(groups, return_inverse=True)
    if labels.size < 2 or labels.size == values.size:
        return positive_interval(values, confidence, share=share)
    means = np.bincount(which, weights=values) / np.bincount(which)
    return positive_interval(means, confidence, centre=float(values.mean()), share=share)


def positive_interval(
    values: np.ndarray, confidence: float, *, centre: float | None = None, share: bool = False
) -> tuple[float, float]:
    """The two-sided t-interval of the mean of positive values, taken on the log scale: the mean (or
    centre) divided and multiplied by exp(t * the standard error of the values' logarithms). A linear
    t-interval of a few scattered VRRs reaches below zero, which no VRR does. share: values between 0 and
    1, taken on the logit scale alike, so that the interval stays between them. Values off that scale (a
    standard deviation of nought, a share of one) get the linear t-interval; fewer than two, none (NaN)."""
    from scipy import stats
    from scipy.special import expit, logit

    if values.size < 2:
        return math.nan, math.nan
    mean = float(values.mean()) if centre is None else centre
    scaled = bool(np.all((values > 0) & (values < 1))) if share else bool(np.all(values > 0))
    forward = logit if share else np.log
    error = float(stats.sem(forward(values) if scaled else values))
    if error == 0:
        return mean, mean
    half = float(stats.t.ppf(0.5 + confidence / 2, values.size - 1)) * error
    if not scaled:
        return mean - half, mean + half
    if share:
        return float(expit(logit(mean) - half)), float(expit(logit(mean) + half))
    return mean * math.exp(-half), mean * math.exp(half)


def save_table(table: pd.DataFrame, prefix: str | Path, *, stamp: str) -> tuple[Path, Path]:
    """Write PREFIX.csv, below a comment line with the stamp, and PREFIX.parquet with the stamp in its
    metadata; return their paths. read_sweep reads either back as it was."""
    prefix = Path(prefix)
    prefix.parent.mkdir(parents=True, exist_ok=True)
    csv_path = write_csv(prefix.with_name(prefix.name + ".csv"), table, comments=(stamp,))
    parquet_path = prefix.with_name(prefix.name + ".parquet")
    table.to_parquet(parquet_path, engine="pyarrow", index=False)
    return csv_path, parquet_path


def read_sweep(path: str | Path) -> pd.DataFrame:
    """A sweep's table from its CSV or Parquet file, with the column types it was written with."""
    import pandas as pd

    path = Path(path)
    if path.suffix == ".parquet":
        return pd.read_parquet(path, engine="pyarrow")
    # A sweep written before a column was added lacks it; type the columns the file has.
    present = set(pd.read_csv(path, comment="#", nrows=0).columns)
    types = {name: kind for name, kind in {**COLUMN_TYPES, **KILN_TYPES, "feed": object}.items() if name in present}
    table = pd.read_csv(path, comment="#", float_precision="round_trip", dtype=types)
    table = table.rename(columns=from_text)
    for name in table.columns:
        if table[name].dtype in (object, "string"):
            table[name] = table[name].map(from_text, na_action="ignore").astype(table[name].dtype)
    for name in setting_columns(table):
        if table[name].dtype == object:
            table[name] = table[name].astype(object).where(table[name].notna(), None)
    return table


# The label of the only line of a sweep that varies nothing but x.
ONE_LINE = "simulated"
FIGURE_NAMES = {"vrr": "VRR", "effect": "E", "std_in": "std in", "std_out": "std out", "passes": "layers laid"}
FIGURE_LABELS = {
    "vrr": "VRR, variance out / in (smaller is better)",
    "effect": "E, std in / std out (larger is better)",
    "std_in": "std in",
    "std_out": "std out",
    "passes": "layers laid",
}


def summary_settings(summary: pd.DataFrame) -> list[str]:
    """The settings' columns of a summary: every column before the quality value."""
    columns = list(summary.columns)
    return columns[: columns.index("quality")]


# The warnings a run recorded, as "Category: message" joined by "; " (messages may hold "; " themselves).
_WARNING = re.compile(r"(?:^|; )(\w+Warning): ")
# How much of a warning's first message a console line shows.
WARNING_EXAMPLE_CHARS = 200


def warning_counts(table: pd.DataFrame) -> list[str]:
    """One line per setting and kind of warning: in how many of the setting's runs it was raised, with its
    first message; the settings that vary name the setting. Empty when no run warned."""
    if "warning" not in table.columns:
        return []
    keys = setting_columns(table)
    runs = table.drop_duplicates([*keys, "replicate"])
    varying = varying_columns(runs, keys)
    lines = []
    for _, group in runs.groupby(keys, dropna=False, sort=False):
        label = run_label(group.iloc[0], varying) or "every run"
        runs_with: dict[str, int] = {}
        first: dict[str, str] = {}
        for said in group["warning"].dropna():
            found = [(m.start(1), m.group(1)) for m in _WARNING.finditer(said)]
            ends = [start for start, _ in found[1:]] + [len(said) + 2]
            for (start, kind), end in zip(found, ends, strict=True):
                first.setdefault(kind, said[start + len(kind) + 2 : end - 2])
            for kind in dict.fromkeys(kind for _, kind in found):
                runs_with[kind] = runs_with.get(kind, 0) + 1
        for kind, count in runs_with.items():
            example = first[kind]
            if len(example) > WARNING_EXAMPLE_CHARS:
                example = example[:WARNING_EXAMPLE_CHARS] + "..."
            lines.append(f"{label}: {kind} in {count} of {len(group)} runs, e.g. {example}")
    return lines


def varying_columns(frame: pd.DataFrame, columns: Sequence[str]) -> list[str]:
    return [name for name in columns if frame[name].astype(object).nunique(dropna=False) > 1]


def run_label(row: Mapping[str, Any], names: Sequence[str]) -> str:
    """A line's or a plan's name in a legend or a table: the plan by itself, other settings as name=value."""
    parts = []
    for name in names:
        value = row[name]
        if value is None or (isinstance(value, float) and math.isnan(value)):
            continue
        if isinstance(value, float) and value.is_integer():
            value = int(value)
        parts.append(str(value) if name == "plan" else f"{name}={value}")
    return ", ".join(parts) or "all runs"


def summary_lines(summary: pd.DataFrame, x: str) -> list[tuple[str, pd.DataFrame]]:
    """The summary split into lines over x: one per combination of the other settings that vary."""
    others = varying_columns(summary, [name for name in summary_settings(summary) if name != x])
    if not others:
        return [(ONE_LINE, summary)]
    lines = []
    for _, rows in summary.groupby(others, dropna=False, sort=False):
        lines.append((run_label(rows.iloc[0], others), rows))
    return lines


def sweep_figure(
    summary: pd.DataFrame,
    x: str,
    *,
    figure: str = "vrr",
    target_vrr: float | None = None,
    footer: str | None = None,
) -> Figure:
    """A figure of the summary against setting x: one panel per quality value, one line per plan (or
    combination of the other settings that vary), the mean with its interval shaded; beside the VRR, the
    predicted VRR dashed, and a target VRR if given. Log scales for the VRR, and for x when it spans a
    factor of 8 or more; an interval reaching down to zero is cut at a third of the smallest mean."""
    from matplotlib.ticker import NullLocator

    from .plots import add_footer

    if x not in summary_settings(summary):
        raise ValueError(f"x must be a setting of the sweep ({', '.join(summary_settings(summary))}), got {x!r}")
    if figure not in FIGURE_LABELS:
        raise ValueError(f"figure must be one of {', '.join(FIGURE_LABELS)}, got {figure!r}")
    done = summary[summary["runs"] > 0]
    if done.empty:
        raise ValueError("no run of the sweep gave figures to plot")
    qualities = list(dict.fromkeys(done["quality"]))
    plot, axes = panel_grid(len(qualities))
    lines = summary_lines(done, x)
    values = done[x].to_numpy()
    numeric = np.issubdtype(np.asarray(values).dtype, np.number)
    for panel, quality in zip(axes, qualities, strict=True):
        for k, (label, rows) in enumerate(lines):
            rows = rows[rows["quality"] == quality].sort_values(x)
            colour = f"C{k % 10}"
            panel.plot(rows[x], rows[figure], marker="o", color=colour, label=label)
            panel.fill_between(rows[x], rows[f"{figure}_low"], rows[f"{figure}_high"], color=colour, alpha=0.2)
            if figure == "vrr" and rows["predicted_vrr"].notna().any():
                named = "predicted" if label == ONE_LINE else f"{label}, predicted"
                panel.plot(rows[x], rows["predicted_vrr"], linestyle="--", color=colour, label=named)
        if figure == "vrr" and target_vrr is not None:
            panel.axhline(target_vrr, color="black", linewidth=0.8, linestyle=":", label=f"target {target_vrr:g}")
        if done.loc[done["quality"] == quality, f"{figure}_low"].isna().all():
            panel.text(0.02, 0.02, "one run a value: too few for an interval", transform=panel.transAxes,
                       fontsize=7, color="0.3")
        panel.set_title(str(quality))
        panel.set_xlabel(x)
        panel.grid(True, which="both", alpha=0.3)
        if figure == "vrr":
            panel.set_yscale("log")
            means = done.loc[done["quality"] == quality, figure].to_numpy(dtype=np.float64)
            highs = done.loc[done["quality"] == quality, f"{figure}_high"].to_numpy(dtype=np.float64)
            tops = [*means, *highs[np.isfinite(highs)], *([] if target_vrr is None else [target_vrr])]
            if np.any(means > 0):
                panel.set_ylim(np.min(means[means > 0]) / 3, max(tops) * 1.5)
        if numeric and np.all(values > 0) and values.max() >= 8 * values.min():
            panel.set_xscale("log")
            # The values swept, written as they were given, rather than powers of ten.
            ticks = sorted(set(values.tolist()))
            panel.set_xticks(ticks, labels=[f"{tick:g}" for tick in ticks])
            panel.xaxis.set_minor_locator(NullLocator())
    for panel in axes:
        panel.set_ylabel(FIGURE_LABELS[figure])
    axes[-1].legend(fontsize=8)
    share = summary.attrs.get("confidence", 0.95)
    plot.suptitle(f"{FIGURE_NAMES[figure]} against {x}: mean over replicates, {share:.0%} interval shaded")
    add_footer(plot, footer or summary.attrs.get("korvex"))
    return plot


# Panels side by side at most, so that each is read at the size of a page's column.
PANEL_COLUMNS = 3
PANEL_SIZE_IN = (4.4, 3.6)


def panel_grid(count: int) -> tuple[Figure, list[Any]]:
    """A figure of `count` panels in rows of at most PANEL_COLUMNS, each readable at its printed size."""
    from matplotlib.figure import Figure

    rows = math.ceil(count / PANEL_COLUMNS)
    # As many panels in each row as the rows need: four make two rows of two, not three and one.
    columns = math.ceil(count / rows)
    plot = Figure(figsize=(PANEL_SIZE_IN[0] * columns + 0.6, PANEL_SIZE_IN[1] * rows + 1.0), layout="constrained")
    axes = plot.subplots(rows, columns, squeeze=False).ravel()
    for spare in axes[count:]:
        spare.remove()
    return plot, list(axes[:count])


# How many plans a comparison lays side by side: two at least, and no more than a table and a legend hold.
COMPARE_PLANS = (2, 6)


def plan_settings(plan: str | Mapping[str, Any]) -> dict[str, Any]:
    """A plan for a comparison: its kind ("windrow") or its settings ({"plan": "windrow", "rows": 4})."""
    if isinstance(plan, str):
        return {"plan": plan}
    settings = dict(plan)
    if "plan" not in settings:
        raise ValueError(f"a plan's settings must name the plan (plan=...), got {settings}")
    return settings


def compare_plans(
    plans: Sequence[str | Mapping[str, Any]], settings: Mapping[str, Any] | None = None, **options: Any
) -> Sweep:
    """Two to six plans on the same feed and bed (settings: fixed settings for all), each over the
    replicates: a sweep whose runs are the plans. options: those of sweep (feed, replicates, seed,
    scheduler, ...). See comparison_table and comparison_figure."""
    return sweep(runs=comparison_runs(plans, settings), **options)


def comparison_runs(
    plans: Sequence[str | Mapping[str, Any]], settings: Mapping[str, Any] | None = None
) -> list[dict[str, Any]]:
    """The settings of each plan of a comparison, with the fixed settings; refuses too few or too many
    plans, a plan given twice and a fixed setting with several values."""
    low, high = COMPARE_PLANS
    if not low <= len(plans) <= high:
        raise ValueError(f"compare takes {low} to {high} plans, got {len(plans)}")
    fixed = dict(settings or {})
    for name, value in fixed.items():
        if isinstance(value, list | tuple):
            raise ValueError(f"setting {name} of a comparison takes one value, got {value!r}")
    runs = [{**fixed, **plan_settings(plan)} for plan in plans]
    labels = [json.dumps(canonical(run), sort_keys=True) for run in runs]
    if len(set(labels)) != len(labels):
        raise ValueError("two of the plans compared are the same")
    return runs


def _plan_labels(summary: pd.DataFrame) -> list[str]:
    settings = summary_settings(summary)
    varying = varying_columns(summary, settings)
    names = ["plan", *(name for name in varying if name != "plan")] if "plan" in settings else varying
    return [run_label(row, names) for _, row in summary.iterrows()]


def comparison_table(summary: pd.DataFrame, figures: Sequence[str] = ("vrr", "effect")) -> pd.DataFrame:
    """The plans side by side: a row per quality value and figure, a column per plan, each cell the mean
    and its interval over the replicates as text, and for the VRR and E the spread of one bed that
    operation and the engine contribute (standard deviations), where the sweep could tell them apart."""
    import pandas as pd

    done = summary[summary["runs"] > 0].assign(label=_plan_labels(summary[summary["runs"] > 0]))
    cells: dict[tuple[str, str], dict[str, str]] = {}
    for _, row in done.iterrows():
        for figure in figures:
            low, high = row[f"{figure}_low"], row[f"{figure}_high"]
            interval = f" [{low:.4g}, {high:.4g}]" if not math.isnan(low) else " [too few runs for an interval]"
            split = _split_text(row, figure)
            cells.setdefault((row["quality"], figure), {})[row["label"]] = f"{row[figure]:.4g}{interval}{split}"
    table = pd.DataFrame.from_dict(cells, orient="index")
    table.index = pd.MultiIndex.from_tuples(table.index, names=["quality", "figure"])
    return table.reindex(columns=list(dict.fromkeys(done["label"])))


def _split_text(row: Mapping[str, Any], figure: str) -> str:
    """' (operation ±a, engine ±b)' for a figure whose spread the summary split; '' where it could not."""
    parts = [
        f"{source} ±{row[f'{figure}_sd_{source}']:.2g}"
        for source in ("operation", "engine")
        if not _missing(row.get(f"{figure}_sd_{source}"))
    ]
    return f" ({', '.join(parts)})" if parts else ""


def _missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def comparison_figure(summary: pd.DataFrame, *, figure: str = "vrr", footer: str | None = None) -> Figure:
    """The plans side by side: for each quality value a group of bars, one per plan, with the interval."""
    from matplotlib.figure import Figure

    from .plots import add_footer

    if figure not in FIGURE_LABELS:
        raise ValueError(f"figure must be one of {', '.join(FIGURE_LABELS)}, got {figure!r}")
    done = summary[summary["runs"] > 0]
    if done.empty:
        raise ValueError("no run of the comparison gave figures to plot")
    done = done.assign(label=_plan_labels(done))
    qualities = list(dict.fromkeys(done["quality"]))
    labels = list(dict.fromkeys(done["label"]))
    plot = Figure(figsize=(min(12.0, max(6.0, 0.8 * len(qualities) * len(labels) + 2.0)), 4.6), layout="constrained")
    axes = plot.add_subplot()
    width = 0.8 / len(labels)
    for k, label in enumerate(labels):
        rows = done[done["label"] == label].set_index("quality").reindex(qualities)
        means = rows[figure].to_numpy(dtype=np.float64)
        below = means - rows[f"{figure}_low"].to_numpy(dtype=np.float64)
        above = rows[f"{figure}_high"].to_numpy(dtype=np.float64) - means
        errors = np.nan_to_num(np.vstack([below, above]))
        axes.bar(np.arange(len(qualities)) + (k - (len(labels) - 1) / 2) * width, means, width,
                 yerr=errors, capsize=3, color=f"C{k % 10}", label=label)
    axes.set_xticks(np.arange(len(qualities)), qualities)
    axes.set_ylabel(FIGURE_LABELS[figure])
    if figure == "vrr":
        axes.set_yscale("log")
    axes.grid(True, axis="y", which="both", alpha=0.3)
    axes.legend(fontsize=8)
    share = summary.attrs.get("confidence", 0.95)
    axes.set_title(f"{FIGURE_NAMES[figure]} by plan: mean over replicates with its {share:.0%} interval")
    add_footer(plot, footer or summary.attrs.get("korvex"))
    return plot


def reaches(summary: pd.DataFrame, target_vrr: float, quality: str | None = None) -> bool:
    """Whether the upper end of the VRR's interval lies below the target, for the quality value given or
    for every one. A run that failed stops the search: the setting cannot be judged."""
    failed = summary["failed"] > 0
    if failed.any():
        raise ValueError(f"runs failed at {summary.loc[failed, summary_settings(summary)].iloc[0].to_dict()}; "
                         "see the sweep's error column")
    rows = summary if quality is None else summary[summary["quality"] == quality]
    if rows.empty:
        raise ValueError(f"no quality value {quality!r} among {sorted(set(summary['quality']))}")
    return bool((rows["vrr_high"] < target_vrr).all())
