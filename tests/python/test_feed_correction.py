"""Feed correction against hand calculations: what the rest of a bed must average, and the mix of two
components that brings the whole bed onto its LSF target."""

import pytest

from korvex.errors import SettingsError
from korvex.feed_correction import Component, Target, correction_lines, mix, rest_needs
from korvex.targets import TargetBand

OXIDES = ["CaO", "SiO2", "Al2O3", "Fe2O3"]
STACKED_T, REMAINING_T = 1000.0, 3000.0
STACKED = [42.0, 14.0, 3.5, 2.2]
RECENT = [43.0, 14.5, 3.4, 2.1]
HIGH = Component("high-grade", {"CaO": 50.0, "SiO2": 5.0, "Al2O3": 1.0, "Fe2O3": 0.5})
LOW = Component("low-grade", {"CaO": 35.0, "SiO2": 20.0, "Al2O3": 4.0, "Fe2O3": 2.5})


def lsf_denominator(si, al, fe):
    return 2.8 * si + 1.18 * al + 0.65 * fe


@pytest.mark.parametrize("text", ["LSF=96+-1", "LSF = 96 ± 1", "LSF=96+/-1"])
def test_targets_read_as_plants_write_them(text):
    assert Target.parse(text) == Target("LSF", 96.0, 1.0)


@pytest.mark.parametrize(
    ("text", "band"),
    [
        ("CaO = 43.5 +/- 0.3", ("CaO", 43.5, 0.3)),
        ("LSF=1e2±.5", ("LSF", 100.0, 0.5)),
        ("SM=-2+-1E-1", ("SM", -2, 0.1)),
    ],
)
def test_a_target_and_a_target_band_read_one_notation(text, band):
    target, target_band = Target.parse(text), TargetBand.parse(text)
    assert (target.name, target.value, target.tolerance) == band
    assert (target_band.name, target_band.target, target_band.tolerance) == band


@pytest.mark.parametrize("text", ["LSF 96", "LSF=96", "LSF=9e+-1", "=96+-1", "LSF=96+-", "LSF=96+-1 2"])
def test_a_target_and_a_target_band_refuse_the_same_texts_each_in_its_own_words(text):
    with pytest.raises(ValueError, match=r"a target reads NAME=VALUE\+-TOLERANCE"):
        Target.parse(text)
    with pytest.raises(ValueError, match=r"a target band reads NAME=TARGET\+-TOLERANCE"):
        TargetBand.parse(text)


def test_the_rest_must_make_up_what_the_stacked_material_misses():
    oxide, lsf = rest_needs(
        OXIDES, STACKED_T, STACKED, REMAINING_T, RECENT, [Target("CaO", 43.0, 0.5), Target("LSF", 96.0, 1.0)]
    )
    # By hand: 4000 t at 43 % CaO, of which 1000 t brought 42 %.
    assert oxide.oxide_value == pytest.approx((4000 * 43.0 - 1000 * 42.0) / 3000, abs=1e-9)
    ends = ((4000 * 42.5 - 42000) / 3000, (4000 * 43.5 - 42000) / 3000)
    assert (oxide.oxide_low, oxide.oxide_high) == pytest.approx(ends)
    # By hand: 100 CaO = 96 D over the whole bed, the rest's SiO2, Al2O3 and Fe2O3 those of the recent feed.
    d_stacked, d_rest = lsf_denominator(*STACKED[1:]), lsf_denominator(*RECENT[1:])
    cao = (96.0 * (1000 * d_stacked + 3000 * d_rest) - 100 * 1000 * 42.0) / (100 * 3000)
    assert lsf.oxide == "CaO" and lsf.oxide_value == pytest.approx(cao, abs=1e-9)
    assert lsf.rest_value == pytest.approx(100 * cao / d_rest, abs=1e-9)
    assert lsf.rest_low < lsf.rest_value < lsf.rest_high and lsf.reachable


def test_an_impossible_rest_is_not_reachable():
    (need,) = rest_needs(OXIDES, STACKED_T, STACKED, 10.0, RECENT, [Target("CaO", 55.0, 0.5)])
    assert need.oxide_value > 100 and not need.reachable


def test_two_components_meet_an_lsf_target_as_the_hand_calculation_does():
    target = 96.0
    result = mix(OXIDES, STACKED_T, STACKED, REMAINING_T, [HIGH, LOW], [Target("LSF", target, 1.0)])
    # By hand, p the high grade's share:
    # 100 (M_s CaO_s + M_r (35 + 15 p)) = L (M_s D_s + M_r (D_low + p (D_high - D_low))).
    d_stacked = lsf_denominator(*STACKED[1:])
    d_high, d_low = lsf_denominator(5.0, 1.0, 0.5), lsf_denominator(20.0, 4.0, 2.5)
    p = (target * (STACKED_T * d_stacked + REMAINING_T * d_low) - 100 * (STACKED_T * 42.0 + REMAINING_T * 35.0)) / (
        REMAINING_T * (100 * 15.0 + target * (d_low - d_high))
    )
    assert 0 < p < 1
    assert result.shares["high-grade"] == pytest.approx(p, abs=1e-6)
    assert result.shares["low-grade"] == pytest.approx(1 - p, abs=1e-6)
    assert result.bed["LSF"] == pytest.approx(target, abs=1e-6) and result.reachable
    assert result.describe().startswith("reachable: feed high-grade")


def test_a_target_out_of_reach_says_unreachable_and_gives_the_best_mix():
    # The stacked material's SM is 2.46 and the components' 3.33 and 3.08: a whole bed of SM 5 is out of reach,
    # and all low grade comes nearest (whole bed 2.94 against 2.84 with all high grade).
    result = mix(OXIDES, STACKED_T, STACKED, REMAINING_T, [HIGH, LOW], [Target("SM", 5.0, 0.1)])
    assert not result.reachable
    assert result.shares["low-grade"] == pytest.approx(1.0, abs=1e-6)
    assert result.bed["SM"] == pytest.approx((14000 + 60000) / (5700 + 19500), abs=1e-6)
    assert result.describe().startswith("unreachable: the best that can be done")


def test_components_must_name_the_bed_s_qualities():
    with pytest.raises(ValueError, match="not among the bed's qualities"):
        sand = Component("sand", {"SiO2": 95, "MgO": 1})
        mix(OXIDES, STACKED_T, STACKED, REMAINING_T, [HIGH, sand], [Target("LSF", 96, 1)])


def test_the_correction_in_words_translates_a_modulus_into_its_oxide_and_an_oxide_not_at_all():
    targets = [Target("CaO", 43.0, 0.5), Target("LSF", 96.0, 1.0)]
    room, oxide, lsf = correction_lines(OXIDES, STACKED_T, STACKED, REMAINING_T, RECENT, targets)
    assert room == "stacked 1,000 t; room for 3,000 t more"
    assert oxide == (
        "CaO 43 ± 0.5: the rest must average CaO 43.333 [42.667, 44.000]: reachable; the bed holds CaO 42.000 so far"
    )
    assert lsf.startswith("LSF 96 ± 1: the rest must average LSF ") and ", that is CaO " in lsf


@pytest.mark.parametrize("parse", [Target.parse, TargetBand.parse])
def test_a_long_run_of_digits_is_refused_at_once_and_quoted_short(parse):
    # Read digit by digit with backtracking, 30,000 digits took half a minute.
    text = "LSF=" + "1" * 30_000 + "x"
    with pytest.raises(ValueError, match=r"\(30,005 characters, more than the 200 a band may have\)") as refused:
        parse(text)
    assert len(str(refused.value)) < 300


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: Target("LSF", 96.0, 1e-300), r"target LSF: tolerance 1e-300 must lie in \[1e-06, 1e\+06\]"),
        (lambda: Target.parse("CaO=1e300+-1"), r"target CaO: value 1e\+300 must lie in"),
        (lambda: Component.parse("lime:CaO=nan,SiO2=2"), r"component lime: CaO of nan % must lie in \[0, 100\] %"),
        (lambda: Component.parse("lime:CaO=52,SiO2=inf"), r"component lime: SiO2 of inf %"),
        (lambda: Component.parse("lime:CaO=52,CaO=40"), r"component lime names \['CaO'\] more than once"),
        (
            lambda: mix(OXIDES, STACKED_T, STACKED, REMAINING_T, [HIGH, HIGH, LOW], [Target("LSF", 96, 1)]),
            r"components \['high-grade'\] are given more than once",
        ),
        (
            lambda: correction_lines(OXIDES, STACKED_T, [42, 14, 0, 0], REMAINING_T, [43, 14.5, 0, 0],
                                     [Target.parse("SM=2.5+-0.1")]),
            r"target SM: the recent feed holds no Al2O3 \+ Fe2O3, so it has no SM",
        ),
        (
            lambda: mix(OXIDES, 0.0, [0, 0, 0, 0], REMAINING_T,
                        [Component.parse("a:CaO=50,SiO2=5"), Component.parse("b:CaO=35,SiO2=20")],
                        [Target("SM", 2.5, 0.1)]),
            r"target SM: the components hold no Al2O3 \+ Fe2O3",
        ),
    ],
)
def test_the_correction_refuses_what_it_cannot_answer_naming_it(make, message):
    with pytest.raises(SettingsError, match=message):
        make()

