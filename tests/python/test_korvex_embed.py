"""Figures packed into self-contained pages: what the page carries unpacks to plotly.js and the figure."""

import base64
import gzip
import json
import re

import pytest

pytest.importorskip("plotly")

import plotly.graph_objects as go  # noqa: E402
from plotly.offline import get_plotlyjs  # noqa: E402

from korvex.embed import figure_page, pack  # noqa: E402


def packed_scripts(page):
    return dict(re.findall(r'<script type="application/gzip-base64" ([^>]*)>([^<]*)</script>', page))


def unpack(text):
    return gzip.decompress(base64.b64decode(text)).decode("utf-8")


def test_a_page_carries_plotlyjs_and_its_figure_packed_and_repeats():
    figure = go.Figure(go.Scatter3d(x=[1, 2], y=[3, 4], z=[5, 6], mode="markers", name="</script><b>x</b>"))
    page = figure_page(figure, "A <pile> & its layers", "view-1")
    scripts = packed_scripts(page)
    assert unpack(scripts['class="korvex-figure" data-target="view-1"']) == figure.to_json()
    assert unpack(scripts['id="korvex-plotlyjs"']) == get_plotlyjs()
    assert json.loads(unpack(scripts['class="korvex-figure" data-target="view-1"']))["data"][0]["name"] == (
        "</script><b>x</b>"
    )
    # Nothing is fetched, no text of the figure reaches the markup unescaped, and plotly.js shrinks.
    assert re.search(r"<script[^>]*\bsrc=", page) is None and "<b>x</b>" not in page
    assert "<title>A &lt;pile&gt; &amp; its layers</title>" in page
    assert len(page) < 0.35 * len(get_plotlyjs())
    # A page made twice is the same to the byte: no time stamp in the gzip header.
    assert figure_page(figure, "A <pile> & its layers", "view-1") == page
    assert pack("x") == pack("x")
