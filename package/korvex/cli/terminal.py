"""What the commands print: a study's figures with their legend and notes, its summary, the warnings of a
run or of many, and tables of many runs."""

from __future__ import annotations

import sys
import warnings
from collections.abc import Sequence
from typing import Any

from ..capacity import OverCapacityWarning
from ..derived import CEMENT_MODULI
from ..metrics import FigureWarning, QualityFigures, format_table
from ..study import ResolutionWarning, Study, simulate
from ..sweeps import warning_counts


def _legend(figures: Sequence[QualityFigures], layers: float | None) -> str:
    """One line on each figure of the table, the headline first."""
    portion = figures[0].portion_m3 if figures else None
    size = "" if portion is None else f" of about {portion:,.4g} m³"
    lines = [
        f"VRR               variance out / in on portions{size} (the slices; the feed cut into the same volumes); "
        "1 = no blending",
        "E                 std in / std out on those portions: the homogenisation effect; larger is better",
    ]
    moduli = [f.name for f in figures if f.name in CEMENT_MODULI]
    if moduli:
        lines.append(
            f"mean, std of {', '.join(moduli)}  the mean of the averaged oxides; the std the spread of the "
            "portions' own values"
        )
    if any(f.predicted_vrr is not None for f in figures):
        passes = "" if not layers else f" of {layers:.4g} passes"
        lines.append(
            f"VRR predicted     ideal layering{passes} of this very feed: every pass an equal share where the stacker is"
        )
    if any(f.per_delivery_vrr is not None for f in figures):
        lines.append(
            "VRR per delivery  variance per slice / per delivery as stacked: favours slices larger than deliveries"
        )
    return "\n".join(lines)


def figures_and_notes(
    study: Study, composite_m3: float | None = None
) -> tuple[tuple[QualityFigures, ...], list[str]]:
    """The study's figures, and what makes them rough, as lines to print rather than warnings."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", FigureWarning)
        figures = study.homogenisation(composite_m3)
    notes = [f"Note    {caught_warning.message}" for caught_warning in caught]
    return figures, notes


def print_figures(study: Study, composite_m3: float | None = None) -> tuple[QualityFigures, ...]:
    """Print the study's figures as a table, with their legend and what makes them rough; return them."""
    figures, notes = figures_and_notes(study, composite_m3)
    print(format_table(figures))
    print()
    print(_legend(figures, study.passes))
    print()
    print(*notes, sep="\n", end="\n\n" if notes else "")
    return figures


def simulate_telling(*args: Any, **settings: Any) -> Any:
    """simulate, with a warning about the bed's capacity or resolution shown on stderr, not raised."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", OverCapacityWarning)
        warnings.simplefilter("always", ResolutionWarning)
        study = simulate(*args, **settings)
    for warning in caught:
        print(f"warning: {warning.message}", file=sys.stderr)
    return study


def summary_text(study: Any) -> str:
    """The study's summary as aligned lines of figure, value and unit."""
    rows = study.summary()
    width = max(len(str(name)) for name in rows["figure"])
    lines = []
    for name, value, unit_ in rows.itertuples(index=False):
        if isinstance(value, float):
            # Tonnes and cubic metres of a plant read as whole numbers, not in powers of ten.
            shown = f"{value:,.0f}" if abs(value) >= 1e4 else f"{value:,.4g}"
        else:
            shown = f"{value:,}"
        lines.append(f"{name:<{width}}  {shown} {unit_}".rstrip())
    return "\n".join(lines)


def print_frame(frame: Any) -> None:
    import pandas as pd

    with pd.option_context("display.width", 200, "display.max_columns", 30, "display.max_rows", 200):
        print(frame.to_string())


def print_failures(failures: Any) -> None:
    """The runs of a sweep that failed, one line each."""
    for _, failure in failures.iterrows():
        print(f"failed: replicate {failure['replicate']}, seed {failure['seed']}: {failure['error']}")


def print_warnings(table: Any) -> None:
    """The runs' warnings, counted per setting, on stderr: the table's column is not where users look."""
    lines = warning_counts(table)
    if lines:
        print("warnings, per setting (the table's warning column has every message):", file=sys.stderr)
        for line in lines:
            print(f"  {line}", file=sys.stderr)
