"""Plotly figures in self-contained pages: plotly.js and each figure travel inside the page, compressed.

Debian's plotly.js alone takes 8.6 MB, most of a page's 10 MB; gzip brings it to
about 2.6 MB, and a figure's data (particles' coordinates and colours) to about a
third. The page carries both base64-encoded; a small script (templates/plotly-loader.js)
unpacks them in the browser with DecompressionStream, loads plotly.js from a
blob URL and draws each figure. Nothing is fetched, so a page opens from a mail
attachment or a folder with no network.

Each figure's packed script records how far it got in data-state: "drawing",
then "drawn" or "failed" (and the figure's element says why).
"""

from __future__ import annotations

import base64
import functools
import gzip
import html
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import plotly.graph_objects as go

LOADER = Path(__file__).parent / "templates" / "plotly-loader.js"
# The id of the packed plotly.js that the loader looks for.
PLOTLYJS_ID = "korvex-plotlyjs"


def pack(text: str) -> str:
    """text gzip-compressed and base64-encoded; without a time stamp, so that a page repeats byte for byte."""
    return base64.b64encode(gzip.compress(text.encode("utf-8"), compresslevel=9, mtime=0)).decode("ascii")


@functools.cache
def packed_plotlyjs() -> str:
    """plotly's JavaScript as a page carries it."""
    from plotly.offline import get_plotlyjs

    return pack(get_plotlyjs())


@functools.cache
def _loader() -> str:
    return LOADER.read_text(encoding="utf-8")


def figure_markup(figure: go.Figure, div_id: str, *, include_plotlyjs: bool = True) -> str:
    """The markup that draws figure into an element of id div_id: the element, the packed figure, plotly.js
    (unless the page carries it already) and the loader."""
    height = int(figure.layout.height or 700)
    element = html.escape(div_id)
    parts = [
        f'<div id="{element}" class="korvex-figure-view" style="height:{height}px; width:100%;">'
        '<p class="korvex-figure-note">Unpacking the figure...</p></div>',
        f'<script type="application/gzip-base64" class="korvex-figure" data-target="{element}">'
        f"{pack(figure.to_json())}</script>",
    ]
    if include_plotlyjs:
        parts.append(f'<script type="application/gzip-base64" id="{PLOTLYJS_ID}">{packed_plotlyjs()}</script>')
    parts.append(f"<script>\n{_loader()}</script>")
    return "\n".join(parts) + "\n"


def figure_page(figure: go.Figure, title: str, div_id: str = "korvex-figure") -> str:
    """A whole HTML page holding one figure; title is plain text."""
    return (
        f'<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n<title>{html.escape(title)}</title>\n'
        f"</head>\n<body>\n{figure_markup(figure, div_id)}</body>\n</html>\n"
    )
