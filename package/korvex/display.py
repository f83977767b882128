"""Notebook views: the small HTML tables that Jupyter shows for studies and results."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Protocol


class Figures(Protocol):
    """What a view shows of one quality's homogenisation figures (korvex.metrics.QualityFigures has it)."""

    @property
    def name(self) -> str: ...
    @property
    def mean_in(self) -> float: ...
    @property
    def std_in(self) -> float: ...
    @property
    def mean_out(self) -> float: ...
    @property
    def std_out(self) -> float: ...
    @property
    def vrr(self) -> float: ...
    @property
    def effect(self) -> float: ...

_TABLE = """\
<table>
<caption style="text-align: left"><b>{{ caption }}</b></caption>
{% for name, value in rows %}
<tr><th style="text-align: left">{{ name }}</th><td style="text-align: left">{{ value }}</td></tr>
{% endfor %}</table>"""

_GRID = """\
<table>
<tr>{% for name in header %}<th>{{ name }}</th>{% endfor %}</tr>
{% for row in rows %}
<tr>{% for cell in row %}<td style="text-align: right">{{ cell }}</td>{% endfor %}</tr>
{% endfor %}</table>"""

FIGURE_HEADER = ("value", "mean in", "std in", "mean out", "std out", "VRR", "E")


def _render(template: str, **values: object) -> str:
    from jinja2 import Environment

    return Environment(autoescape=True).from_string(template).render(**values)


def html_table(caption: str, rows: Sequence[tuple[str, str]]) -> str:
    """A two-column table of names and values, every text escaped."""
    return _render(_TABLE, caption=caption, rows=rows)


def grid_html(header: Sequence[str], rows: Sequence[Sequence[object]]) -> str:
    """A table with a header row, every cell escaped."""
    return _render(_GRID, header=header, rows=rows)


def figures_html(caption: str, rows: Sequence[tuple[str, str]], figures: Sequence[Figures]) -> str:
    """The names-and-values table, then the headline figures (mean and std in and out, VRR, E) of every value;
    a modulus's mean is that of the averaged oxides, its std the spread of the portions' own moduli."""
    table = [
        (f.name, f"{f.mean_in:.4g}", f"{f.std_in:.4g}", f"{f.mean_out:.4g}", f"{f.std_out:.4g}", f"{f.vrr:.4f}",
         f"{f.effect:.2f}")
        for f in figures
    ]
    return html_table(caption, rows) + grid_html(FIGURE_HEADER, table)


def headline(figures: Sequence[Figures], shown: int = 4) -> str:
    """VRR and E of the first few values, for a one-line repr."""
    text = ", ".join(f"{f.name} {f.vrr:.3g} (E {f.effect:.3g})" for f in figures[:shown])
    more = len(figures) - shown
    return f"VRR {text}" + (f" and {more} more" if more > 0 else "")
