import numpy as np
import pytest

pytest.importorskip("_korvex_lib")

from korvex import Bed, Chevron, ChunkTable, Circular, QualitySeries, Stockpile, Strata, simulate  # noqa: E402


@pytest.mark.parametrize("layers", [4, 16])
# Sixteen layers are thinner than these one-metre cells; a white feed scores the same however they are cut.
@pytest.mark.filterwarnings("ignore::korvex.ResolutionWarning")
def test_a_feed_white_at_the_scale_of_a_delivery_scores_a_fair_vrr_near_one(layers):
    # Chunks one slice long and one particle each, every one independent, and a vertical face: each slice
    # averages one chunk of every layer. Per delivery that looks like VRR ~ 1/N, but the feed cut into
    # portions of a slice's volume is just as even: the bed has nothing to average out.
    bed = Bed(length_m=300.0, depth_m=6.0, reclaim_angle_deg=90.0, particles_per_m3=1.0)
    plan = Chevron(layers=layers, blending_tail_m=3.0)
    values = np.random.default_rng(layers).standard_normal(layers * 294)
    # A bed 6 m wide holds less than these layers; the walls keep the columns straight, as wanted here.
    study = simulate(
        QualitySeries.from_array(values, volume_m3=1.0), plan, bed, progress=False, seed=layers, on_excess="ignore"
    )
    assert len(study.chunks) == values.size
    (figures,) = study.homogenisation()
    assert figures.layers == pytest.approx(layers)
    assert 0.7 < figures.vrr < 1.3
    assert 0.7 < figures.predicted_vrr < 1.3
    assert 0.7 < figures.per_delivery_vrr * layers < 1.4, f"per delivery {figures.per_delivery_vrr:.4f}"


@pytest.mark.slow
@pytest.mark.parametrize(
    ("bed", "plan"),
    [
        (Bed(length_m=80.0, depth_m=8.0, reclaim_angle_deg=90.0), Chevron(layers=1, blending_tail_m=4.0)),
        (Bed(length_m=40.0, depth_m=40.0, reclaim_angle_deg=90.0, circular=True), Circular(layers=1)),
    ],
    ids=["straight", "circular"],
)
def test_one_layer_comes_back_in_stacking_order(bed, plan):
    series = QualitySeries.from_array(np.linspace(0.0, 1.0, 1000), volume_m3=1.5)
    # 1500 m³ in one layer is more than these narrow beds hold at rest; the walls keep it in order here.
    study = simulate(series, plan, bed, progress=False, on_excess="ignore")
    full = study.reclaimed.volume_m3 > 0
    positions, ramp = study.reclaimed.position_m[full], study.reclaimed.values[full, 0]
    # The circle's seam mixes the last material with the first; look past it.
    middle = slice(len(ramp) // 10, -len(ramp) // 10)
    assert np.corrcoef(positions[middle], ramp[middle])[0, 1] > 0.98


def test_stockpile_returns_what_it_was_given():
    bed = Bed(length_m=40.0, depth_m=10.0, particles_per_m3=2.0)
    series = QualitySeries(
        np.arange(300.0), np.full(300, 2.0), np.column_stack([np.arange(300.0), np.ones(300)]), ("ramp", "one")
    )
    chunks = Chevron(layers=3).chunks(series, bed)
    pile = Stockpile(bed)
    pile.stack(chunks, progress=False)
    reclaimed = pile.reclaim()
    assert reclaimed.names == ("ramp", "one")
    assert reclaimed.total_volume_m3 == pytest.approx(600.0)
    full = reclaimed.volume_m3 > 0
    np.testing.assert_allclose(reclaimed.column("one")[full], 1.0)
    assert np.all(np.isnan(reclaimed.values[~full]))
    mean_out = np.average(reclaimed.column("ramp")[full], weights=reclaimed.volume_m3[full])
    assert mean_out == pytest.approx(149.5)
    assert pile.reclaim() is reclaimed
    with pytest.raises(RuntimeError, match="reclaimed"):
        pile.stack(chunks, progress=False)
    heights = pile.heights()
    assert heights.heights_m.shape == (round(10 / bed.cell_size_m), round(40 / bed.cell_size_m))
    assert heights.volume_m3 == pytest.approx(600.0, rel=0.01)


@pytest.mark.parametrize(
    ("second", "names", "message"),
    [
        ([0.0, 5.0, 3.0, 2.0, 1.0], ("b",), "differ"),
        ([0.0, 20.5, 3.0, 2.0, 1.0], ("a",), "off the 20 m x 6 m bed"),
        ([0.0, 5.0, -0.1, 2.0, 1.0], ("a",), "chunk 0 at x = 5 m, z = -0.1 m"),
    ],
)
def test_stockpile_refuses_chunks_it_cannot_place(second, names, message):
    pile = Stockpile(Bed(length_m=20.0, depth_m=6.0))
    pile.stack(ChunkTable(np.array([[0.0, 5.0, 3.0, 2.0, 1.0]]), ("a",)), progress=False)
    with pytest.raises(ValueError, match=message):
        pile.stack(ChunkTable(np.array([second]), names), progress=False)
    assert pile.stacked_volume_m3 == 2.0


# A few slices of a few boxes: rough figures, warned about; only the mean is checked here.
@pytest.mark.filterwarnings("ignore::korvex.metrics.FigureWarning")
def test_detailed_engine_runs_a_small_pile():
    bed = Bed(
        length_m=6.0, depth_m=6.0, particles_per_m3=1.0, engine="detailed", drop_height_m=2.0, reclaim_angle_deg=90.0
    )
    series = QualitySeries.from_array(np.linspace(1.0, 2.0, 60), volume_m3=1.0)
    study = simulate(series, Chevron(layers=2, blending_tail_m=1.0), bed, progress=False)
    assert study.reclaimed.total_volume_m3 == pytest.approx(60.0)
    (figures,) = study.homogenisation()
    assert figures.mean_out == pytest.approx(1.5)
    assert study.heights.heights_m.max() > 0


def test_strata_without_tails_fill_both_ends_of_the_bed_alike():
    # A drop lands in the cell that contains it and a slice takes what its stretch of the bed holds, so
    # the first and the last 3 m of an evenly stacked bed come out alike.
    series = QualitySeries.from_array(np.zeros(4_000), volume_m3=1.0)
    bed = Bed(length_m=100.0, depth_m=20.0, reclaim_angle_deg=90.0)
    study = simulate(series, Strata(layers=4, blending_tail_m=0.0), bed, progress=False, seed=4, on_excess="ignore")
    position, volume = study.reclaimed.position_m, study.reclaimed.volume_m3
    first, last = volume[(position > 0) & (position <= 3)].sum(), volume[position > 97].sum()
    assert first == pytest.approx(last, rel=0.1)
    assert volume.sum() == pytest.approx(4_000.0)
