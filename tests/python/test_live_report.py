"""The status of a live bed as an HTML page: every figure of the status on it, and the plant's column names
and refused lines escaped."""

import json
import re

import pytest

from korvex.cli import main
from korvex.report import number

HOSTILE = "<script>alert('name')</script>"
HEADER = f"timestamp;tonnes;CaO;SiO2;Al2O3;Fe2O3;{HOSTILE}\n"
RUN = ["--sep", ";", "--decimal", ",", "--bulk-density-t-per-m3", "1.5", "--length-m", "60", "--depth-m", "20",
       "--particles-per-m3", "8", "--layers", "30", "--replicates", "2", "--quiet"]  # fmt: skip
COMPONENTS = ["--component", "high:CaO=50,SiO2=5,Al2O3=1,Fe2O3=0.5",
              "--component", "low:CaO=35,SiO2=20,Al2O3=4,Fe2O3=2.5"]  # fmt: skip


@pytest.fixture
def state(tmp_path):
    from test_live_bed import rows

    lines = [line.rstrip("\n") + ";1,5\n" for line in rows(40)]
    lines.insert(7, "<img src=x onerror=alert(1)>;1;2\n")
    feed = tmp_path / "feed.csv"
    feed.write_text(HEADER + "".join(lines))
    assert main(["track", "run", str(tmp_path / "state"), "--feed", str(feed), *RUN]) == 0
    return tmp_path / "state"


def test_the_status_page_shows_every_figure_and_escapes_what_the_plant_wrote(state, tmp_path, capsys):
    page = tmp_path / "status.html"
    assert main(["track", "status", str(state), "--html", str(page), "--target", "LSF=96+-1", *COMPONENTS]) == 0
    html = page.read_text(encoding="utf-8")
    report = json.loads((state / "status.json").read_text())
    for figure in ("stacked_t", "capacity_t"):
        assert f"<td>{number(round(report[figure]))}</td>" in html, figure
    for figure in ("deliveries", "passes", "rate_t_per_h", "time_to_full_h"):
        assert f"<td>{number(report[figure])}</td>" in html, figure
    assert f"<td>{number(100 * report['fill_fraction'])}</td>" in html
    assert report["rejected"] == 1 and "<td>1</td>" in html
    for name in ("CaO", "LSF", "SM", "AM"):
        so_far, predicted = report["quality"][name], report["prediction"]["quality"][name]
        cells = [number(so_far["mean"]), number(so_far["std"]), number(predicted["mean"]),
                 number(predicted["mean_low"]), number(predicted["std_high"])]  # fmt: skip
        row = re.search(rf"<tr><td>{name}</td>(.*?)</tr>", html).group(1)
        assert all(cell in row for cell in cells), (name, row)
    assert "the rest must average LSF" in html and "reachable: feed high" in html
    assert report["prediction"]["policy"] in html
    assert html.count('<img src="data:image/png;base64,') == 1
    # The plant's names and lines are text on the page, never markup.
    assert "<script>alert" not in html and "<img src=x" not in html
    assert "&lt;script&gt;alert(&#39;name&#39;)&lt;/script&gt;" in html and "&lt;img src=x onerror" in html


@pytest.mark.parametrize(
    ("extra", "message"),
    [(["--target", "LSF=96+-1"], "go with --html"), (["--html", "x.html", *COMPONENTS], "--component needs --target")],
)
def test_the_status_page_options_go_together(state, extra, message, capsys):
    with pytest.raises(SystemExit):
        main(["track", "status", str(state), *extra])
    assert message in capsys.readouterr().err
