"""Notebook views: the small HTML tables that Jupyter shows for studies and results."""

from __future__ import annotations

from collections.abc import Sequence

_TABLE = """\
<table>
<caption style="text-align: left"><b>{{ caption }}</b></caption>
{% for name, value in rows %}
<tr><th style="text-align: left">{{ name }}</th><td style="text-align: left">{{ value }}</td></tr>
{% endfor %}</table>"""


def html_table(caption: str, rows: Sequence[tuple[str, str]]) -> str:
    """A two-column table of names and values, every text escaped."""
    from jinja2 import Environment

    return Environment(autoescape=True).from_string(_TABLE).render(caption=caption, rows=rows)
