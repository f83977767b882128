"""A target band (LSF 96 ± 2) as a plant quotes it, on every page that shows its value."""

import re

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("_korvex_lib")

from korvex.targets import TargetBand, band_figures  # noqa: E402
from conftest import TRUCK_DENSITY_T_PER_M3, truck_day, truck_study  # noqa: E402

DENSITY = TRUCK_DENSITY_T_PER_M3
LSF = TargetBand("LSF", 96.0, 2.0)


def _lsf(frame):
    """LSF by hand from averaged oxides."""
    return 100 * frame["CaO"] / (2.8 * frame["SiO2"] + 1.18 * frame["Al2O3"] + 0.65 * frame["Fe2O3"])


def _weighted_std(values, weights):
    mean = np.average(values, weights=weights)
    return float(np.sqrt(np.average((values - mean) ** 2, weights=weights)))


@pytest.mark.parametrize(
    ("values", "mass_t", "composites", "inside_composites", "inside_tonnes"),
    [
        # Two of four hours inside; the heavy ones are the inside ones, a missing value counts nowhere.
        ([95.0, 97.0, 99.0, 93.0, np.nan], [900.0, 900.0, 100.0, 900.0, 900.0], 4, 2 / 4, 1800 / 2800),
        # A part hour at a stop counts once among the hours and for its 50 t among the tonnes.
        ([96.0, 98.0, 101.0], [900.0, 900.0, 50.0], 3, 2 / 3, 1800 / 1850),
    ],
)
def test_the_share_of_hourly_composites_inside_stands_beside_the_share_of_tonnes(
    values, mass_t, composites, inside_composites, inside_tonnes
):
    kept = band_figures(LSF, values, mass_t)
    assert kept.composites == composites
    assert kept.inside_composites == pytest.approx(inside_composites)
    assert kept.inside_tonnes == pytest.approx(inside_tonnes)
    finite = np.isfinite(values)
    assert kept.std == pytest.approx(_weighted_std(np.asarray(values)[finite], np.asarray(mass_t)[finite]))


@pytest.fixture(scope="module")
def study():
    return truck_study(truck_day(), targets=["LSF=96+-2"])


def _by_hand(frame, weight="mass_t"):
    """Share of composites and of tonnes inside 96 ± 2 (in %), and the hourly std, from the oxides."""
    lsf = _lsf(frame)
    inside = (lsf - 96).abs() <= 2
    shares = 100 * inside.mean(), 100 * frame[weight][inside].sum() / frame[weight].sum()
    return (*shares, _weighted_std(lsf, frame[weight]))


def test_the_summary_gives_both_shares_in_percent_from_the_averaged_oxides(study):
    summary = study.summary().set_index("figure")
    assert not summary.index.str.contains("hours inside").any()
    for where, frame in (("before the bed", study.feed_composites(1.0)), ("after the bed", study.composites(1.0))):
        composites, tonnes, std = _by_hand(frame)
        row = summary.loc[f"LSF share of hourly composites inside 96 ± 2, {where}"]
        assert row["unit"] == "%" and row["value"] == pytest.approx(composites)
        row = summary.loc[f"LSF share of tonnes inside 96 ± 2, {where}"]
        assert row["unit"] == "%" and row["value"] == pytest.approx(tonnes)
    assert summary.loc["LSF std of hourly composites", "value"] == pytest.approx(_by_hand(study.composites(1.0))[2])
    # The two shares differ on this feed: the part hours at the ends weigh less than they count.
    after = study.band_figures()["LSF"][1]
    assert after.inside_composites != pytest.approx(after.inside_tonnes)


def test_the_plots_draw_lsf_with_its_band_and_the_hourly_figures(study, tmp_path):
    from korvex.plots import output_figure, qualities_figure, save_output_plot, save_plots, study_bands, study_hourly
    from test_korvex_plots import assert_png

    before, after = study.band_figures()["LSF"]
    figure = qualities_figure(
        study.series, study.reclaimed, footer=study.stamp, hourly=study_hourly(study), **study_bands(study)
    )
    rows = figure.axes[: 2 * 5]
    assert [axes.get_ylabel() for axes in rows[::2]] == ["CaO", "SiO2", "Al2O3", "Fe2O3", "LSF"]
    left, right = rows[8], rows[9]
    # The output's LSF is each slice's modulus of its own oxides.
    full = study.reclaimed.volume_m3 > 0
    slices = pd.DataFrame(study.reclaimed.values[full], columns=list(study.reclaimed.names))
    np.testing.assert_allclose(right.lines[0].get_ydata(), _lsf(slices))
    # Beside the deliveries, what the kiln would see: the feed's hourly LSF, of each hour's averaged oxides.
    hourly = [line for line in left.lines if line.get_label() == "hourly averages"][0].get_ydata()
    np.testing.assert_allclose(np.unique(hourly[np.isfinite(hourly)]), np.unique(_lsf(study.feed_composites(1.0))))
    for axes, kept in ((left, before), (right, after)):
        band = [patch for patch in axes.patches if patch.get_label() == "target 96 ± 2"]
        assert len(band) == 1
        low, high = band[0].get_path().get_extents(band[0].get_patch_transform()).intervaly
        assert (low, high) == pytest.approx((94.0, 98.0))
        text = axes.get_title(loc="left")
        assert f"{100 * kept.inside_composites:.0f} % of hourly composites" in text
        assert f"({100 * kept.inside_tonnes:.0f} % of tonnes)" in text and f"hourly std {kept.std:.3g}" in text
    output = output_figure(study.output, study.composites(1.0), **study_bands(study))
    assert output.axes[8].get_ylabel() == "LSF"
    assert f"{100 * after.inside_composites:.0f} % of hourly composites" in output.axes[8].get_title(loc="left")
    # On the clock: the output's time axis says when its hours start.
    assert re.search(r"h from 2026-03-0\d \d\d:\d\d", output.axes[-2].get_xlabel())
    for path in (*save_plots(study, tmp_path / "study"), save_output_plot(study, tmp_path / "output.png")):
        assert_png(path)


def test_the_report_has_the_band_table_and_the_views_speak_tonnes_and_targets(study, tmp_path):
    from korvex.report import ReportOptions, targets_section
    from korvex.views import study_view_3d

    before, after = study.band_figures()["LSF"]
    table = targets_section(study, ReportOptions()).tables[0]
    assert "share of hourly composites inside [%]" in table.columns and "share of tonnes inside [%]" in table.columns
    rows = {row[2]: row for row in table.rows}
    for where, kept in (("feed, before the bed", before), ("output, after the bed", after)):
        row = dict(zip(table.columns, rows[where], strict=True))
        share = float(row["share of hourly composites inside [%]"])
        assert share == pytest.approx(100 * kept.inside_composites, abs=0.05)
        assert float(row["share of tonnes inside [%]"]) == pytest.approx(100 * kept.inside_tonnes, abs=0.05)
        assert float(row["hourly std"]) == pytest.approx(kept.std, rel=1e-3)
    caption = study_view_3d(study).layout.sliders[0].steps[5].args[1]["title.text"]
    face = re.search(r"reclaim face at (\S+) m", caption).group(1)
    index = [f"{position:.4g}" for position in study.reclaimed.position_m].index(face)
    oxides = pd.DataFrame(study.reclaimed.values[index : index + 1], columns=list(study.reclaimed.names))
    slice_lsf = float(_lsf(oxides).iloc[0])
    assert f"({study.reclaimed.volume_m3[index] * DENSITY:.4g} t)" in caption
    assert f"LSF {slice_lsf:.4g}, {'inside' if abs(slice_lsf - 96) <= 2 else 'outside'} 96 ± 2" in caption
    notebook = study._repr_html_()
    assert f"{study.series.total_volume_m3 * DENSITY:,.1f} t" in notebook
    assert f"{100 * after.inside_composites:.0f} % of hourly composites inside" in notebook
    assert "shifts at 06:00, 14:00, 22:00" in notebook
