"""The mean LSF, SM and AM of material are those of its weighed oxides, and every page that states one
gives the same figure for the same material: checked by hand on a truck feed of the package's own."""

import json
import re
import warnings
from types import SimpleNamespace

import numpy as np
import pytest

import korvex
from korvex.cli import main
from korvex.metrics import format_table
from korvex.report import ReportOptions, figures_section, number

DENSITY = 1.45
OXIDES = ["CaO", "SiO2", "Al2O3", "Fe2O3"]
BED = {"length_m": 120.0, "depth_m": 30.0}
LAYERS = 30


def by_hand(oxides):
    cao, si, al, fe = oxides
    return {"LSF": 100 * cao / (2.8 * si + 1.18 * al + 0.65 * fe), "SM": si / (al + fe), "AM": al / fe}


@pytest.fixture(scope="module")
def trucks():
    return korvex.truck_feed(days=1.0, seed=3)


@pytest.fixture(scope="module")
def weighed(trucks):
    """The moduli of the feed's oxides averaged by the weighbridge's tonnes."""
    return by_hand(np.average(trucks[OXIDES].to_numpy(), axis=0, weights=trucks["tonnes"].to_numpy()))


@pytest.fixture(scope="module")
def study(trucks):
    feed = korvex.QualitySeries.from_frame(trucks, bulk_density_t_per_m3=DENSITY)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return korvex.simulate(
            feed, korvex.Chevron(layers=LAYERS), korvex.Bed(**BED), seed=4, reclaimer=korvex.Reclaimer(900.0),
            bulk_density_t_per_m3=DENSITY, targets=["LSF=96+-2"],
        )  # fmt: skip


def test_the_feed_s_mean_moduli_are_those_of_its_weighed_oxides_not_means_of_ratios(trucks, weighed, study):
    ratios = by_hand(trucks[OXIDES].to_numpy().T)
    # The premise: a truck's own LSF averaged by tonnes misses the material's LSF by far more than rounding.
    assert abs(np.average(ratios["LSF"], weights=trucks["tonnes"]) - weighed["LSF"]) > 0.05
    figures = {f.name: f for f in study.homogenisation()}
    for name, value in weighed.items():
        # The engine conserves what it is given: what comes out is the material that went in.
        assert figures[name].mean_in == pytest.approx(value, rel=1e-9), name
        assert figures[name].mean_out == pytest.approx(value, rel=1e-9), name


@pytest.fixture(scope="module")
def live_state(trucks, tmp_path_factory):
    folder = tmp_path_factory.mktemp("live")
    feed = folder / "trucks.csv"
    trucks.to_csv(feed, index=False)
    run = ["track", "run", str(folder / "state"), "--feed", str(feed), "--bulk-density-t-per-m3", str(DENSITY),
           "--length-m", str(BED["length_m"]), "--depth-m", str(BED["depth_m"]), "--layers", str(LAYERS),
           "--replicates", "0", "--quiet"]  # fmt: skip
    assert main(run) == 0
    return folder / "state"


def _table_cell(text, name, column):
    """A cell of the plain-text figures table: the row of `name`, the column headed `column`."""
    lines = text.splitlines()
    header = re.split(r"\s{2,}", lines[0].strip())
    row = next(re.split(r"\s{2,}", line.strip()) for line in lines[1:] if line.split()[0] == name)
    return row[header.index(column)]


def _printed(capsys, argv):
    assert main(argv) == 0
    return capsys.readouterr().out


def _html_cell(page, name):
    return re.search(rf"<tr><td[^>]*>{name}</td><td[^>]*>([^<]*)</td>", page).group(1)


def _status_html(sources):
    page = sources.state.parent / "status.html"
    _printed(sources.capsys, ["track", "status", str(sources.state), "--html", str(page)])
    return page.read_text(encoding="utf-8")


def _status_csv(state):
    lines = (state / "status.csv").read_text().splitlines()
    return next(line.split(",")[2] for line in lines if line.startswith("mean,LSF,"))


def _correction(sources):
    text = _printed(sources.capsys, ["track", "correct", str(sources.state), "--target", "LSF=96+-2"])
    return re.search(r"the bed holds LSF (\S+) so far", text).group(1)


def _workbook_figure(sources):
    from korvex.tables import read_workbook, save_workbook

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        path = save_workbook(sources.study, sources.state.parent / "study.xlsx")
    return read_workbook(path, sheet="figures", time_column=None).set_index("quality").loc["LSF", "mean in"]


def _report_cell(study):
    row = [f.name for f in study.homogenisation()].index("LSF")
    return figures_section(study, ReportOptions()).tables[0].rows[row][1]


# Each place as (what it says of the feed's LSF, the format it says it in; None for a number in full).
PLACES = {
    "simulate's table, mean in": lambda src: (
        _table_cell(format_table(src.study.homogenisation()), "LSF", "mean in"), "{:.4g}"),
    "simulate's table, mean out": lambda src: (
        _table_cell(format_table(src.study.homogenisation()), "LSF", "mean out"), "{:.4g}"),
    "report": lambda src: (_report_cell(src.study), "number"),
    "workbook, figures": lambda src: (_workbook_figure(src), None),
    "workbook, the whole bed": lambda src: (src.study.regions().set_index("region").loc["whole bed", "LSF"], None),
    "notebook view": lambda src: (_html_cell(src.study._repr_html_(), "LSF"), "{:.4g}"),
    "two beds, combined": lambda src: (src.twobeds.figures().set_index("bed").loc["combined", "LSF mean in"], None),
    "live status, JSON": lambda src: (
        json.loads(_printed(src.capsys, ["track", "status", str(src.state), "--json"]))["quality"]["LSF"]["mean"],
        None),
    "live status, CSV": lambda src: (_status_csv(src.state), None),
    "live status, text": lambda src: (
        re.search(r"^LSF\s+(\S+) ±", _printed(src.capsys, ["track", "status", str(src.state)]), re.M).group(1),
        "{:.3f}"),
    "live status, HTML": lambda src: (re.search(r"<tr><td>LSF</td><td>([^<]*)</td>", _status_html(src)).group(1),
                                      "number"),
    "feed correction": lambda src: (_correction(src), "{:.3f}"),
}  # fmt: skip


@pytest.fixture(scope="module")
def twobeds(trucks):
    feed = korvex.QualitySeries.from_frame(trucks, bulk_density_t_per_m3=DENSITY)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return korvex.alternate(
            feed, korvex.Chevron(layers=LAYERS), korvex.Bed(**BED), capacity_m3=feed.total_volume_m3 / 2 + 1,
            reclaimer=korvex.Reclaimer(900.0), bulk_density_t_per_m3=DENSITY, seed=4,
        )  # fmt: skip


@pytest.mark.parametrize("place", PLACES)
def test_every_place_gives_the_lsf_of_the_weighed_oxides(place, weighed, study, twobeds, live_state, capsys):
    sources = SimpleNamespace(study=study, twobeds=twobeds, state=live_state, capsys=capsys)
    said, digits = PLACES[place](sources)
    if digits is None:
        assert float(said) == pytest.approx(weighed["LSF"], rel=1e-9)
    else:
        assert said == (number(weighed["LSF"]) if digits == "number" else digits.format(weighed["LSF"]))


def test_two_beds_composites_carry_the_moduli_of_their_averaged_oxides(twobeds):
    composites = twobeds.output.composites(8.0)
    assert len(composites) >= 2
    for name, values in by_hand(composites[OXIDES].to_numpy().T).items():
        assert composites[name].to_numpy() == pytest.approx(values, rel=1e-12), name


@pytest.fixture(scope="module")
def one_filling(trucks):
    """Two beds whose first bed takes the whole feed, and the one-bed study of that same filling."""
    from korvex.seeds import derive_seed

    feed = korvex.QualitySeries.from_frame(trucks, bulk_density_t_per_m3=DENSITY)
    settings = dict(reclaimer=korvex.Reclaimer(900.0), bulk_density_t_per_m3=DENSITY, targets=["LSF=96+-2"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        beds = korvex.alternate(feed, korvex.Chevron(layers=LAYERS), korvex.Bed(**BED),
                                capacity_m3=feed.total_volume_m3 * 1.01, seed=4, **settings)  # fmt: skip
        one = korvex.simulate(feed, korvex.Chevron(layers=LAYERS), korvex.Bed(**BED),
                              seed=derive_seed(4, {"bed": "A", "turn": 1}, "two beds"), **settings)  # fmt: skip
    assert len(beds.turns) == 1
    return beds, one


@pytest.mark.parametrize(
    "figure",
    [
        # Two beds reclaim from the end of their stacking, one bed from hour 0: the composites' hours differ.
        lambda study: study.composites(8.0).drop(columns=["start_h", "end_h"]),
        lambda study: study.composite_std(1.0),
        lambda study: study.feed_composite_std(8.0),
        lambda study: study.target_shares(1.0),
        lambda study: study.summary().set_index("figure").loc[
            [row for row in study.summary()["figure"] if "std of" in row or "inside" in row]],
    ],
    ids=["composites", "hourly std", "feed's shift std", "band shares", "summary's kiln rows"],
)
def test_two_beds_give_the_figures_of_one_bed(one_filling, figure):
    import pandas as pd

    beds, one = one_filling
    mine, theirs = figure(beds), figure(one)
    if isinstance(mine, pd.DataFrame):
        pd.testing.assert_frame_equal(mine.reset_index(drop=True), theirs.reset_index(drop=True))
    else:
        assert mine == pytest.approx(theirs, rel=1e-12)


def test_two_beds_moduli_figures_are_one_bed_s(one_filling):
    beds, one = one_filling
    for mine, theirs in zip(beds.homogenisation(), one.homogenisation(), strict=True):
        assert (mine.name, mine.mean_in, mine.std_in, mine.mean_out, mine.std_out) == pytest.approx(
            (theirs.name, theirs.mean_in, theirs.std_in, theirs.mean_out, theirs.std_out), rel=1e-12)


def test_the_command_line_runs_two_beds_as_the_package_does(trucks, twobeds, tmp_path, capsys):
    feed = tmp_path / "trucks.csv"
    trucks.to_csv(feed, index=False)
    capacity_t = (twobeds.feed.total_volume_m3 / 2 + 1) * DENSITY
    argv = ["simulate", str(feed), "--beds", "2", "--capacity-t", repr(capacity_t), "--bulk-density-t-per-m3",
            str(DENSITY), "--reclaim-rate-t-per-h", "900", "--length-m", str(BED["length_m"]), "--depth-m",
            str(BED["depth_m"]), "--layers", str(LAYERS), "--seed", "4", "--target", "LSF=96+-2",
            "--output-dir", str(tmp_path), "--workbook"]  # fmt: skip
    assert main(argv) == 0
    shown = capsys.readouterr().out
    for bed in ("both beds", "bed A", "bed B"):
        assert f"\n{bed}\n" in shown
    lsf = next(f for f in twobeds.homogenisation() if f.name == "LSF")
    assert _table_cell(shown.split("both beds\n")[1], "LSF", "mean out") == f"{lsf.mean_out:.4g}"
    assert "LSF share of hourly composites inside 96 ± 2, after the bed" in shown
    composites = pd_read(tmp_path / "trucks-two-beds-composites-8-h.csv")
    assert composites["LSF"].to_numpy() == pytest.approx(twobeds.composites(8.0)["LSF"].to_numpy(), rel=1e-12)
    assert (tmp_path / "trucks-two-beds.xlsx").stat().st_size > 0


def pd_read(path):
    import pandas as pd

    return pd.read_csv(path, comment="#", float_precision="round_trip")


@pytest.mark.parametrize(
    ("extra", "message"),
    [
        (["--bulk-density-t-per-m3", "1.45"], "--beds 2 needs --reclaim-rate-t-per-h and --bulk-density-t-per-m3"),
        (["--bulk-density-t-per-m3", "1.45", "--reclaim-rate-t-per-h", "900", "--report", "r.html"],
         r"--beds 2 takes none of \['--report'\]"),
        (["--bulk-density-t-per-m3", "1.45", "--reclaim-rate-t-per-h", "900", "--capacity-t", "0"],
         "capacity_t must be positive"),
    ],
)  # fmt: skip
def test_two_beds_on_the_command_line_refuse_what_they_cannot_do(trucks, tmp_path, capsys, extra, message):
    feed = tmp_path / "trucks.csv"
    trucks.to_csv(feed, index=False)
    with pytest.raises(SystemExit) as stopped:
        main(["simulate", str(feed), "--beds", "2", "--output-dir", str(tmp_path), *extra])
    assert stopped.value.code == 2
    assert re.search(message, capsys.readouterr().err)


def test_a_modulus_s_std_is_said_to_be_the_spread_of_the_portions(study, live_state, capsys):
    from korvex.cli.terminal import print_figures

    print_figures(study)
    legend = capsys.readouterr().out
    notes = " ".join(figures_section(study, ReportOptions()).notes)
    status = _printed(capsys, ["track", "status", str(live_state)])
    for text in (legend, notes):
        assert "LSF, SM, AM" in text and "the spread of the portions' own values" in text
    assert "± is the spread of the deliveries' own values; LSF, SM and AM are those of the averaged oxides" in status
