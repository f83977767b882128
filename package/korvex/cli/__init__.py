"""The command line: python -m korvex demo | simulate | report | sweep | compare | track.

Each command lives in a module of its own, which adds its parser and runs it; the options several share
(the bed's and the plans', built from their dataclasses, the feed's, a cluster's) lie in options.
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence

from ..errors import KorvexError
from .compare import add_compare_command
from .demo import add_demo_command
from .feed_file import read_csv
from .options import add_bed_options
from .report import add_report_command
from .simulate import add_simulate_command
from .sweep import add_sweep_command
from .track import add_track_command

__all__ = ["build_parser", "main", "read_csv"]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m korvex", description="Simulate how a blending bed homogenises bulk material."
    )
    commands = parser.add_subparsers(dest="command", required=True)
    add_demo_command(commands)
    add_simulate_command(commands)
    add_report_command(commands)
    add_sweep_command(commands)
    add_compare_command(commands)
    add_track_command(commands, add_bed_options)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        code: int = args.run(args)
    except (KorvexError, ValueError, OSError) as error:
        parser.exit(2, f"{parser.prog}: error: {str(error).strip()}\n")
    except KeyboardInterrupt:
        parser.exit(130, f"{parser.prog}: interrupted\n")
    return code
