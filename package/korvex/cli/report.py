"""python -m korvex report: as simulate, and one self-contained HTML page of the study beside its files."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from .simulate import add_study_options, run_simulate


def add_report_command(commands: Any) -> None:
    report = commands.add_parser(
        "report",
        help="as simulate, and write one self-contained HTML page: figures, plots, cross-sections, a 3-D view",
    )
    add_study_options(report)
    report.add_argument(
        "--report", metavar="PATH", type=Path, help="the page to write (default: DIR/INPUT-report.html)"
    )
    # Two beds in turn have no one study to report on.
    report.set_defaults(run=run_report, beds=1, capacity_t=None)


def run_report(args: argparse.Namespace) -> int:
    # The demo ring, run without a file, has no name to give a page and writes none unless asked.
    if args.input is not None and args.report is None:
        args.report = args.output_dir / f"{args.input.stem}-report.html"
    return run_simulate(args)
