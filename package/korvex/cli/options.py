"""Options that several commands share: the bed's and the plans' (built from their dataclasses' fields),
the feed's, the resolution check, the runs of a cluster, and the NAME=VALUE settings of sweeps."""

from __future__ import annotations

import argparse
from dataclasses import Field, fields
from pathlib import Path
from typing import Any, get_args, get_type_hints

from ..bed import Bed, unit
from ..capacity import ON_EXCESS
from ..plans import PLANS, Chevcon, StackingPlan

# The plans `--plan` names: the stacking plans, and Chevcon, which runs a circular bed continuously.
PLAN_CHOICES: dict[str, type[StackingPlan]] = {**PLANS, "chevcon": Chevcon}


def plan_fields() -> dict[str, tuple[Field[Any], type, list[str]]]:
    """Every plan's fields by name, in the order the plans list them: the field where it first appears,
    its number type and the plans that have it."""
    found: dict[str, tuple[Field[Any], type, list[str]]] = {}
    for name, plan in PLAN_CHOICES.items():
        hints = get_type_hints(plan)
        for item in fields(plan):  # type: ignore[arg-type]
            hint = hints[item.name]
            number = int if int in (hint, *get_args(hint)) else float
            found.setdefault(item.name, (item, number, []))[2].append(name)
    return found


# Plan settings on the command line, named as the plans' fields.
PLAN_OPTIONS = tuple(plan_fields())


def option(name: str) -> str:
    return "--" + name.replace("_", "-")


def metavar(item: Field[Any]) -> str:
    return str(item.metadata.get("metavar") or unit(item).upper() or "X")


def add_bed_options(parser: argparse.ArgumentParser) -> None:
    """One option per Bed field, named, typed and explained by the field itself."""
    group = parser.add_argument_group("bed")
    for item in fields(Bed):
        text = str(item.metadata.get("help", ""))
        if isinstance(item.default, bool):
            group.add_argument(option(item.name), action="store_true", default=item.default, help=text)
            continue
        default = f" (default: {item.metadata['unset']})" if item.default is None else " (default: %(default)s)"
        if "choices" in item.metadata:
            choices = item.metadata["choices"]
            group.add_argument(option(item.name), choices=choices, default=item.default, help=f"{text}{default}")
            continue
        shown = f" [{unit(item)}]" if unit(item) else ""
        group.add_argument(
            option(item.name), metavar=metavar(item), type=float, default=item.default, help=f"{text}{shown}{default}"
        )
    group.add_argument(
        "--on-excess",
        choices=ON_EXCESS,
        default="warn",
        help="a feed above the bed's capacity at the engine's angle of repose: warn, refuse or say nothing "
        "(default: %(default)s)",
    )


def add_plan_options(parser: argparse.ArgumentParser) -> argparse._ArgumentGroup:
    """--plan and one option per field of the plans, named, typed and explained by the field itself; each
    defaults to None, so that a plan keeps its own default and refuses what it does not take. The group of
    a continuous ring's settings, for more of them."""
    stacker = parser.add_argument_group("stacker")
    stacker.add_argument(
        "--plan",
        choices=sorted(PLAN_CHOICES),
        help="default: chevron, or chevcon (continuous) on a circular bed; circular lays whole turns once",
    )
    ring = parser.add_argument_group("continuous ring (chevcon, or cone-shell on a circular bed)")
    add_plan_field_options(stacker, ring)
    return ring


def add_plan_field_options(
    stacker: argparse._ArgumentGroup, ring: argparse._ArgumentGroup, leave_out: tuple[str, ...] = ()
) -> None:
    """One option per field of the plans but those left out, each defaulting to None so that a plan keeps
    its own default and refuses what it does not take; a continuous ring's in their own group."""
    for name, (item, number, plans) in plan_fields().items():
        if name in leave_out:
            continue
        owner = f"{plans[0]}: " if len(plans) == 1 and plans[0] != "chevcon" else ""
        shown = f" [{unit(item)}]" if unit(item) else ""
        if item.default is not None:
            default = f" (default: {item.default:g})"
        else:
            default = f" (default: {item.metadata['unset']})" if "unset" in item.metadata else ""
        group = ring if item.metadata.get("ring") else stacker
        group.add_argument(
            option(name),
            metavar=metavar(item),
            type=number,
            help=f"{owner}{item.metadata.get('help', '')}{shown}{default}",
        )


def add_check_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--check-resolution",
        action="store_true",
        help="fast engine: rerun at half the cell edge (8x the time) and warn if the fair VRR moves by over 10%%",
    )


def add_feed_options(parser: argparse.ArgumentParser) -> argparse._ArgumentGroup:
    """How to read a quality series from a CSV or a workbook; the group, for more feed options."""
    feed = parser.add_argument_group("feed")
    feed.add_argument(
        "--time-column", metavar="NAME", default="timestamp", help="seconds or dates (default: %(default)s)"
    )
    feed.add_argument("--volume-column", metavar="NAME", default="volume", help="m³ per row (default: %(default)s)")
    feed.add_argument(
        "--volume-m3", metavar="M3", type=float, help="volume of every row, for a series without a volume column"
    )
    feed.add_argument(
        "--bulk-density-t-per-m3",
        metavar="T_PER_M3",
        type=float,
        help="bulk density: reads a mass column (tonnes, t or mass_t) and reports tonnes [t/m³]",
    )
    feed.add_argument(
        "--quality",
        metavar="NAME",
        action="append",
        help="a quality column (repeat for more; default: every column but time, volume and mass)",
    )
    feed.add_argument(
        "--stop-after-min",
        metavar="MIN",
        type=float,
        help="a gap between rows longer than this is a stop of the feed (default: 30, or three typical gaps)",
    )
    feed.add_argument("--sep", metavar="CHAR", default=",", help="CSV field separator (default: %(default)s)")
    feed.add_argument("--decimal", metavar="CHAR", default=".", help="CSV decimal mark (default: %(default)s)")
    feed.add_argument(
        "--date-format", metavar="FORMAT", help="strptime format of the dates, e.g. '%%d.%%m.%%Y %%H:%%M'"
    )
    order = feed.add_mutually_exclusive_group()
    order.add_argument(
        "--dayfirst", dest="dayfirst", action="store_const", const=True, help="numeric dates put the day first"
    )
    order.add_argument(
        "--monthfirst", dest="dayfirst", action="store_const", const=False, help="numeric dates put the month first"
    )
    feed.add_argument("--sheet", metavar="NAME", help="sheet of a workbook (default: the first)")
    return feed


def add_output_dir(group: argparse._ArgumentGroup) -> None:
    group.add_argument(
        "--output-dir",
        metavar="DIR",
        type=Path,
        default=Path("out"),
        help="folder for the results (default: %(default)s)",
    )


def add_cluster_options(parser: argparse.ArgumentParser, name: str) -> None:
    """The options of many runs on a cluster, shared by sweep and compare: replicates, where they run,
    what is written and the feed every run stacks."""
    runs = parser.add_argument_group("runs and where they run")
    runs.add_argument(
        "--replicates", metavar="N", type=int, default=5, help="runs of every setting (default: %(default)s)"
    )
    runs.add_argument(
        "--seed",
        type=int,
        default=0,
        help="the sweep's seed; every run's seed is derived from it (default: %(default)s)",
    )
    runs.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="a running Dask scheduler, e.g. tcp://host:8786; 'in-process' for no Dask "
        "(default: a local cluster, one worker process per core)",
    )
    runs.add_argument("--workers", metavar="N", type=int, help="worker processes of the local cluster")
    runs.add_argument("--dashboard", action="store_true", help="serve the local cluster's dashboard on port 8787")
    out = parser.add_argument_group("output")
    add_output_dir(out)
    out.add_argument("--name", default=name, help="stem of the files written (default: %(default)s)")
    out.add_argument(
        "--figure",
        choices=("vrr", "effect", "std_out", "passes"),
        default="vrr",
        help="figure to plot (default: %(default)s)",
    )
    out.add_argument(
        "--confidence",
        metavar="P",
        type=float,
        default=0.95,
        help="of the intervals over replicates (default: %(default)s)",
    )
    out.add_argument("--quiet", action="store_true", help="no progress bar and no table; print only the files written")
    feed = add_feed_options(parser)
    feed.add_argument(
        "--feed",
        metavar="CSV",
        type=Path,
        help="a quality series every run stacks (default: the synthetic raw mix of the demo, 120 h at one "
        "delivery a minute, a new realisation per replicate)",
    )


def value(text: str) -> Any:
    """A setting's value as typed: a whole number, a number, true or false, or a name."""
    for convert in (int, float):
        try:
            return convert(text)
        except ValueError:
            pass
    return {"true": True, "false": False}.get(text.lower(), text)


def setting(text: str) -> tuple[str, list[Any]]:
    """NAME=VALUE[,VALUE...] from the command line."""
    name, equals, values = text.partition("=")
    name = name.strip().replace("-", "_")
    if not equals or not name or not values.strip():
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE[,VALUE...], got {text!r}")
    return name, [value(item.strip()) for item in values.split(",")]


def plan_spec(text: str) -> dict[str, Any]:
    """KIND[:NAME=VALUE,...], e.g. windrow:rows=4,layers=20."""
    kind, _, rest = text.partition(":")
    settings: dict[str, Any] = {"plan": kind.strip()}
    for part in filter(None, (piece.strip() for piece in rest.split(","))):
        name, values = setting(part)
        settings[name] = values[0]
    return settings
