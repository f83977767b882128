"""The status of a live bed as one self-contained HTML page, made by the report's machinery.

The page is made from the bed's files as the tracker last wrote them (its
status, checkpoint and journal, settings and rejects), without taking its lock, so that it
can be made while a tracker runs. Quality names and rejected lines come from
the plant's file: the report's template escapes them.
"""

from __future__ import annotations

import csv
import json
from collections import deque
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from .live import REJECTS_FILE, SETTINGS_FILE, LiveSettings, acknowledged_state, bed_correction
from .live_status import STATUS_JSON
from .plots import heights_figure
from .report import ReportSection, Table, figure_image, number, write_page
from .study import stamp
from .tables import from_text

# Rejected lines shown on the page, the latest; rejects.csv holds them all.
SHOWN_REJECTS = 20


def _stacked_section(report: dict[str, Any]) -> ReportSection:
    rate = report["rate_t_per_h"]
    rows = [["stacked [t]", _tonnes(report["stacked_t"])], ["deliveries stacked", number(report["deliveries"])]]
    if report.get("continuous"):
        rows += [
            ["reclaimed [t]", _tonnes(report["reclaimed_t"])],
            ["on the ring [t]", _tonnes(report["on_ring_t"])],
            ["slices reclaimed", number(report["slices"])],
            ["crossings of the ramp", number(report["passes"])],
            ["feed rate [t/h]", number(rate)],
        ]
    else:
        rows += [
            ["capacity [t]", _tonnes(report["capacity_t"])],
            ["fill fraction [%]", number(100 * report["fill_fraction"])],
            ["passes of the stacker", number(report["passes"])],
            ["feed rate [t/h]", number(rate)],
            ["time to full [h]", number(report["time_to_full_h"])],
        ]
    rows.append(["lines refused", number(report["rejected"])])
    notes = ["The bed is full and takes no more."] if report["full"] else []
    if rate is None:
        notes.append("The feed rate needs two deliveries or more.")
    return ReportSection("Stacked", notes=notes, tables=(Table(["figure", "value"], rows),))


def _tonnes(value: float | None) -> str:
    return "" if value is None else number(round(value))


def _interval(figures: dict[str, float], figure: str) -> str:
    return f"{number(figures[figure])} [{number(figures[figure + '_low'])}, {number(figures[figure + '_high'])}]"


def _quality_section(report: dict[str, Any]) -> ReportSection:
    if not report["quality"]:
        return ReportSection("Quality", notes=("No delivery has been stacked yet.",))
    if report.get("continuous"):
        output = report["output_quality"]
        rows = [
            [name, number(f["mean"]), number(f["std"]), *(number(output.get(name, {}).get(k)) for k in ("mean", "std"))]
            for name, f in report["quality"].items()
        ]
        columns = ["quality", "stacked mean", "stacked std", "reclaimed mean", "reclaimed std"]
        notes = (
            "Volume-weighted over the deliveries stacked and over the slices the reclaimer has cut so far. LSF, "
            "SM and AM: the mean is that of the averaged oxides, the std the spread of the deliveries' (slices') "
            "own moduli. A ring run continuously has no predicted output.",
        )
        return ReportSection("Quality stacked and reclaimed so far", notes=notes, tables=(Table(columns, rows),))
    prediction = report["prediction"]
    predicted = prediction["quality"] if prediction is not None else {}
    rows = []
    for name, figures in report["quality"].items():
        row = [name, number(figures["mean"]), number(figures["std"])]
        if name in predicted:
            row += [_interval(predicted[name], "mean"), _interval(predicted[name], "std")]
        else:
            row += ["", ""]
        rows.append(row)
    columns = ["quality", "mean so far", "std so far", "predicted output mean", "predicted output std"]
    notes = [
        "So far: volume-weighted over the deliveries stacked. LSF, SM and AM: the mean is that of the averaged "
        "oxides, the std the spread of the deliveries' own moduli."
    ]
    if prediction is None:
        notes.append("No predicted output yet (the tracker runs without replicates, or has stacked nothing).")
    else:
        notes += [
            "Predicted output: the bed reclaimed when full, the median over the replicates and their interval "
            f"[low, high]; made from {prediction['method']}.",
            f"Made {prediction['age_deliveries']} deliveries ({prediction['age_t']:,.0f} t) and "
            f"{prediction['age_s']:.0f} s before this status; {prediction['policy']}.",
        ]
    return ReportSection("Quality so far and predicted output", notes=notes, tables=(Table(columns, rows),))


def _correction_section(directory: Path, targets: Sequence[str], components: Sequence[str]) -> ReportSection:
    return ReportSection("Feed correction", notes=bed_correction(directory, targets, components))


def _rejects_section(directory: Path, report: dict[str, Any]) -> ReportSection:
    count = report["rejected"]
    if count == 0:
        return ReportSection("Lines refused", notes=("No line has been refused.",))
    with (directory / REJECTS_FILE).open(encoding="utf-8", newline="") as file:
        rows = deque(csv.reader(file), maxlen=SHOWN_REJECTS + 1)
    latest = [[from_text(cell) for cell in row] for row in rows if row and row[0] != "line"][-SHOWN_REJECTS:]
    notes = [f"Lines refused: {count:,}; the latest {len(latest)} below, every one in {REJECTS_FILE}."]
    return ReportSection("Lines refused", notes=notes, tables=(Table(["line", "reason", "text"], latest),))


def _heights_section(directory: Path, settings: LiveSettings, footer: str) -> ReportSection:
    pile, _ = acknowledged_state(directory, settings)
    what = "ring now" if settings.continuous else "bed as stacked so far"
    figure = heights_figure(pile.heights(), footer=footer, title=f"Heights of the {what}")
    return ReportSection(f"The {what}", images=(figure_image(figure, f"heights of the {what}"),))


def live_report(
    directory: str | Path, path: str | Path, targets: Sequence[str] = (), components: Sequence[str] = ()
) -> Path:
    """Write the status of the live bed in `directory` as one self-contained HTML page; return its path.

    targets ("LSF=96+-1", ...) add the feed correction, and components
    ("high:CaO=52,SiO2=4,...") the mix to feed.
    """
    directory = Path(directory)
    if not (directory / STATUS_JSON).exists():
        raise ValueError(f"{directory} holds no status yet: run the tracker there first")
    settings = LiveSettings.from_json((directory / SETTINGS_FILE).read_text(encoding="utf-8"))
    report = json.loads((directory / STATUS_JSON).read_text(encoding="utf-8"))
    footer = f"{stamp(settings.bed.engine, settings.seed)}; status after {report['deliveries']:,} deliveries"
    sections = [_stacked_section(report), _quality_section(report)]
    if targets:
        sections.append(_correction_section(directory, targets, components))
    sections += [_rejects_section(directory, report), _heights_section(directory, settings, footer)]
    return write_page(path, f"Korvex live bed: {directory.name}", footer, sections)
