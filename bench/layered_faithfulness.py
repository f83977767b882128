#!/usr/bin/env python3
"""Is the layered engine faithful? Its fair VRR against ideal layering, and against the detailed engine.

ideal: the demo's 300 m x 50 m bed, Chevron, 45 degree face, 1 m slices, 120 h of one AR(1) quality (std 1)
with correlation times 0.1, 0.5 and 2 h, at 100 and 300 layers. The body's fair VRR (the slices of
bench/layered_convergence.py's body, a further run-out of the pile from each turn: there what the stacker
lays while it turns runs down the ridge's end and flanks) is set against the VRR that ideal layering of the same feed by the
same plan gives the same portions (korvex.theory.predicted_vrr: every pass lays an equal share of the
feed where the stacker is), and against the VRR of the very chunks the engine stacked had each stayed
where it was dropped, cut into the same slices by a vertical face.

A vertical face (--reclaim-angle-deg 90) compares like with like: ideal layering knows no inclined face,
and an inclined one averages along the bed as well, which lowers the VRR of feeds that vary over a
stretch of the bed shorter than the face's run.

detailed: the scene of bench/engines_bench.py (40 m x 12 m, 20 Chevron layers between 4 m tails, 375 m3,
27 particles per m3: boxes and cells of a third of a metre) with each of FEEDS, seeded feeds of one quality
and different character (AR(1) of three correlation times, white noise, a drift, a periodic swing, trucks
of constant quality), on the detailed engine with --seeds seeds and on the layered engine (which draws
nothing) at the angle of repose measured on that feed's detailed ridges. The fair VRR is taken on
composites of whole slices holding at least 600 boxes each and set against ideal layering of the same feed
by the same plan in portions of that volume (korvex.theory.predicted_vrr). Per feed: layered / detailed,
the detailed runs' own spread, layered / ideal and detailed / ideal; over the feeds the geometric mean of
layered / detailed with its 95 % interval (Student t on the logarithms). The ridges' crest line (centroid
across the bed), crest height (mean over the body) and base width (footprint over the body's length) are
compared too. With --smoke: the tiny scene of engines_bench.py, one seed, three feeds; it checks that the
part runs.

spread: how far one delivery runs along the bed. The demo's 300 m x 50 m bed, Chevron, 120 h at 1,000
m3/h, on the layered engine at the package's resolution; a tracer marks one chunk (what the engine lays as
one delivery, one cell of the stacker's travel) mid-bed in a pass a quarter, half and three quarters of the
way up, and one feed row (a minute of feed, several chunks) in the middle pass. The pile's layers after
stacking give where the tracer lies: its extent along the bed holding the middle 90 % of it, over the
whole width and in bands across the bed (the crest, the flanks' middle, their feet), against the stacker's
travel while it was delivered.

    tools/in-env python3 bench/layered_faithfulness.py --part ideal --seeds 2
    tools/in-env python3 bench/layered_faithfulness.py --part detailed --seeds 2
    tools/in-env python3 bench/layered_faithfulness.py --part spread --layers 100 300
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from pathlib import Path

import numpy as np

import korvex
from korvex.capacity import measured_angle_deg, ridge_shape
from korvex.engines import pile_shape
from korvex.metrics import homogenisation
from korvex.results import Reclaimed
from korvex.theory import Layering, predicted_vrr

from engines_bench import scene as engines_scene
from layered_convergence import body
from resolution import BED_DEPTH_M, BED_LENGTH_M, HOURS, INTERVAL_S, interval

CORRELATION_TIMES_H = (0.1, 0.5, 2.0)
LAYERS = (100, 300)
BOXES_PER_PORTION = 600
# The smoke scene holds about 800 boxes.
SMOKE_BOXES_PER_PORTION = 100
PARTICLES_PER_M3 = 27.0


def where_dropped(study: korvex.Study) -> Reclaimed:
    """The study's slices as a vertical face would cut its chunks had each stayed where the stacker dropped
    it: ideal layering of the very chunks the engine stacked, turns and dwells included."""
    position = study.reclaimed.position_m
    edges = np.concatenate([[position[0] - (position[1] - position[0])], position])
    chunks = study.chunks
    slice_of = np.clip(np.searchsorted(edges, chunks.x, side="left") - 1, 0, position.size - 1)
    volume = np.bincount(slice_of, weights=chunks.volume, minlength=position.size)
    totals = np.column_stack(
        [np.bincount(slice_of, weights=chunks.volume * column, minlength=position.size) for column in chunks.values.T]
    )
    with np.errstate(invalid="ignore", divide="ignore"):
        values = totals / volume[:, np.newaxis]
    return Reclaimed(position, volume, values, chunks.quality_names)


def ideal(seeds: list[int], layers_list: list[int], reclaim_angle_deg: float) -> dict:
    runs: dict = {}
    for tau in CORRELATION_TIMES_H:
        for layers in layers_list:
            key = f"tau {tau:g} h, {layers} layers"
            runs[key] = []
            for seed in seeds:
                series = korvex.synthetic_series(
                    hours=HOURS,
                    interval_s=INTERVAL_S,
                    qualities={"q": korvex.Quality(0.0, 1.0)},
                    correlation_time_h=tau,
                    seed=seed,
                )
                bed = korvex.Bed(
                    length_m=BED_LENGTH_M, depth_m=BED_DEPTH_M, engine="layered", reclaim_angle_deg=reclaim_angle_deg
                )
                plan = korvex.Chevron(layers=layers)
                study = korvex.simulate(series, plan, bed, progress=False, seed=seed)
                inner_slices = body(study, beyond_runout=True)
                inner = homogenisation(series, inner_slices, layers=study.passes)[0]
                whole = study.homogenisation()[0]
                layering = Layering.of(plan, series, bed)
                laid_where_dropped = where_dropped(study)
                in_body = np.isin(laid_where_dropped.position_m, inner_slices.position_m)
                runs[key].append(
                    {
                        "body_vrr": inner.vrr,
                        "whole_vrr": whole.vrr,
                        "ideal_vrr_body_portion": predicted_vrr(series, layering, inner.portion_m3)["q"],
                        "ideal_vrr_whole_portion": predicted_vrr(series, layering, whole.portion_m3)["q"],
                        "chunks_vrr_body": homogenisation(
                            series,
                            Reclaimed(
                                laid_where_dropped.position_m[in_body],
                                laid_where_dropped.volume_m3[in_body],
                                laid_where_dropped.values[in_body],
                                laid_where_dropped.names,
                            ),
                            layers=study.passes,
                        )[0].vrr,
                    }
                )
            first = runs[key][-1]
            print(key, {name: round(value, 6) for name, value in first.items()}, flush=True)
    return runs


def ridge(study: korvex.Study) -> dict:
    shape = pile_shape(study.heights)
    body_shape = ridge_shape(study.heights)
    footprint_body = np.count_nonzero(study.heights.heights_m > 0, axis=0) * study.heights.cell_size_m
    return {
        "centre_z_m": shape.centre_z_m,
        "crest_m": body_shape.height_m,
        "base_width_m": float(np.median(footprint_body[footprint_body > 0.5 * footprint_body.max()])),
        "angle_deg": measured_angle_deg(study.heights),
    }


FEEDS = (
    "AR(1) 0.05 h, seed 3",
    "AR(1) 0.05 h, seed 4",
    "AR(1) 0.02 h, seed 5",
    "AR(1) 0.2 h, seed 6",
    "white noise",
    "drift",
    "periodic, 4 min",
    "trucks",
)
SMOKE_FEEDS = ("AR(1) 0.05 h, seed 3", "drift", "trucks")
TRUCK_MEAN_S = 40.0
PERIOD_S = 240.0


def agreement_feed(name: str, base: korvex.QualitySeries) -> korvex.QualitySeries:
    """One of FEEDS on the rows of the scene's own feed (its times and volumes), quality "q" of about unit
    spread. The first is the scene's feed itself."""
    hours = float(base.time_s[-1] - base.time_s[0] + (base.time_s[1] - base.time_s[0])) / 3600
    interval_s = float(base.time_s[1] - base.time_s[0])
    if name.startswith("AR(1)"):
        tau_h, seed = name.removeprefix("AR(1) ").split(" h, seed ")
        return korvex.synthetic_series(
            hours=hours,
            interval_s=interval_s,
            qualities={"q": korvex.Quality(0.0, 1.0)},
            correlation_time_h=float(tau_h),
            seed=int(seed),
        )
    rng = np.random.default_rng(FEEDS.index(name))
    elapsed_s = base.time_s - base.time_s[0]
    noise = rng.standard_normal(elapsed_s.size)
    if name == "white noise":
        values = noise
    elif name == "drift":
        values = elapsed_s / elapsed_s[-1] + 0.1 * noise
    elif name == "periodic, 4 min":
        values = np.sin(2 * math.pi * elapsed_s / PERIOD_S) + 0.2 * noise
    elif name == "trucks":
        # Trucks of one quality each, arriving with scattered gaps; the analysis scatters a little.
        arrivals = np.cumsum(rng.gamma(4.0, TRUCK_MEAN_S / 4.0, size=elapsed_s.size + 1))
        truck = np.searchsorted(arrivals, elapsed_s, side="right")
        values = rng.standard_normal(truck.max() + 1)[truck] + 0.1 * noise
    else:
        raise ValueError(f"no feed named {name!r}")
    return korvex.QualitySeries(base.time_s, base.volume_m3, values, ("q",))


def detailed(seeds: list[int], smoke: bool, written: Path) -> dict:
    base, plan, bed = engines_scene(smoke, PARTICLES_PER_M3)
    composite_m3 = (SMOKE_BOXES_PER_PORTION if smoke else BOXES_PER_PORTION) / PARTICLES_PER_M3
    feeds: dict = {}
    for name in SMOKE_FEEDS if smoke else FEEDS:
        series = agreement_feed(name, base)
        on_detailed = korvex.Bed(bed.length_m, bed.depth_m, particles_per_m3=PARTICLES_PER_M3, engine="detailed")
        runs = []
        for seed in seeds:
            study = korvex.simulate(series, plan, on_detailed, progress=False, seed=seed, on_excess="ignore")
            runs.append({"seed": seed, "vrr": study.homogenisation(composite_m3)[0].vrr, **ridge(study)})
        angle = float(np.mean([run["angle_deg"] for run in runs]))
        on_layered = korvex.Bed(
            bed.length_m, bed.depth_m, particles_per_m3=PARTICLES_PER_M3, engine="layered", angle_of_repose_deg=angle
        )
        study = korvex.simulate(series, plan, on_layered, progress=False, on_excess="ignore")
        feeds[name] = {
            "detailed": runs,
            "layered": {"angle_of_repose_deg": angle, "vrr": study.homogenisation(composite_m3)[0].vrr, **ridge(study)},
            "ideal_vrr": predicted_vrr(series, Layering.of(plan, series, bed), composite_m3)["q"],
        }
        print(name, json.dumps(feeds[name]), flush=True)
        # The detailed runs take minutes each: what is done is kept should the rest be cut short.
        written.write_text(json.dumps({"seeds": seeds, "feeds so far": feeds}, indent=2) + "\n", encoding="utf-8")
    return {"box_m": on_detailed.cell_size_m, "composite_m3": composite_m3, "feeds": feeds}


def agreement(feeds: dict) -> dict:
    """Per feed the ratios of fair VRR; over the feeds the geometric mean of layered / detailed with its 95 %
    interval."""
    rows = {}
    for name, feed in feeds.items():
        detailed_vrr = np.array([run["vrr"] for run in feed["detailed"]])
        mean = float(detailed_vrr.mean())
        rows[name] = {
            "detailed_vrr": mean,
            "detailed_spread": float(detailed_vrr.max() / detailed_vrr.min()),
            "layered_vrr": feed["layered"]["vrr"],
            "ideal_vrr": feed["ideal_vrr"],
            "layered_to_detailed": feed["layered"]["vrr"] / mean,
            "layered_to_ideal": feed["layered"]["vrr"] / feed["ideal_vrr"],
            "detailed_to_ideal": mean / feed["ideal_vrr"],
        }
    logs = np.log([row["layered_to_detailed"] for row in rows.values()])
    centre, half = interval(logs)
    return {
        "per_feed": rows,
        "geometric_mean": math.exp(centre),
        "interval_95": [math.exp(centre - half), math.exp(centre + half)],
        "range": [float(np.exp(logs.min())), float(np.exp(logs.max()))],
    }


# Where across the bed the tracer is measured: distance from the centre line as a share of the tracer's own
# reach across the bed.
BANDS = {"crest": (0.0, 0.2), "flanks' middle": (0.4, 0.6), "flanks' feet": (0.8, 1.01)}


def weighted_extent(x: np.ndarray, weight: np.ndarray, cell_m: float) -> float:
    """The length along the bed that holds the middle 90 % of the weight, each column's share spread evenly
    over its cell."""
    centres, where = np.unique(x, return_inverse=True)
    share = np.cumsum(np.bincount(where, weights=weight)) / weight.sum()
    edges = np.column_stack([centres - cell_m / 2, centres + cell_m / 2]).ravel()
    reached = np.column_stack([np.concatenate([[0.0], share[:-1]]), share]).ravel()
    return float(np.interp(0.95, reached, edges) - np.interp(0.05, reached, edges))


def spread(layers_list: list[int], smoke: bool) -> dict:
    hours, length_m, depth_m = (2.0, 60.0, 20.0) if smoke else (HOURS, BED_LENGTH_M, BED_DEPTH_M)
    plain = korvex.synthetic_series(hours=hours, interval_s=INTERVAL_S, qualities={"q": korvex.Quality(0.0, 1.0)}, seed=1)
    # Each row's index rides along as a value, so that the chunks cut from one row can be found.
    series = korvex.QualitySeries(
        plain.time_s, plain.volume_m3, np.column_stack([plain.values, np.arange(len(plain.time_s))]), ("q", "row")
    )
    bed = korvex.Bed(length_m=length_m, depth_m=depth_m, engine="layered")
    cell_m = bed.cell_size_m
    results: dict = {"cell_m": cell_m, "angle_of_repose_deg": bed.angle_of_repose_deg, "layers": {}}
    for layers in layers_list:
        chunks = korvex.Chevron(layers=layers).chunks(series, bed)
        x, row = chunks.x, chunks.values[:, 1]
        candidates = np.flatnonzero(np.abs(x - length_m / 2) <= cell_m / 2)
        tracers: dict[str, np.ndarray] = {}
        for share in (0.25, 0.5, 0.75):
            chunk = candidates[min(int(share * candidates.size), candidates.size - 1)]
            tracers[f"one chunk, {share:.0%} up"] = np.arange(len(chunks)) == chunk
        tracers["one feed row, 50% up"] = row == row[candidates[candidates.size // 2]]
        marks = np.column_stack([chunks.data[:, :-1], *(mask.astype(np.float64) for mask in tracers.values())])
        study = korvex.simulate(
            korvex.ChunkTable(marks, ("q", *tracers)), bed=bed, progress=False, record_particles=True
        )
        laid = study.layers
        entry: dict = {}
        for name, mask in tracers.items():
            weight = laid.volume_m3 * laid.values[:, laid.names.index(name)]
            holding = weight > 0
            across = np.abs(laid.z_m - float(chunks.z[mask].mean()))
            reach = float(across[holding].max()) + cell_m / 2
            bands = {}
            for band, (inner, outer) in BANDS.items():
                inside = holding & (across >= inner * reach) & (across < outer * reach)
                bands[band] = weighted_extent(laid.x_m[inside], weight[inside], cell_m) if inside.any() else math.nan
            entry[name] = {
                "chunks": int(mask.sum()),
                "volume_m3": float(chunks.volume[mask].sum()),
                "travel_m": float(x[mask].max() - x[mask].min()) + cell_m,
                "reach_across_m": reach,
                "extent_90_m": weighted_extent(laid.x_m[holding], weight[holding], cell_m),
                "extent_90_by_band_m": bands,
            }
            print(layers, name, json.dumps(entry[name]), flush=True)
        results["layers"][str(layers)] = entry
    return results


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--part", choices=["ideal", "detailed", "spread"], required=True)
    parser.add_argument("--seeds", type=int, default=2)
    parser.add_argument("--layers", nargs="+", type=int, default=list(LAYERS))
    parser.add_argument(
        "--reclaim-angle-deg",
        type=float,
        default=45.0,
        help="ideal: the face's slope; ideal layering knows only a vertical one (90), which averages nothing "
        "along the bed (default: %(default)s)",
    )
    parser.add_argument("--smoke", action="store_true", help="detailed, spread: tiny scenes, one seed; checks that it runs")
    parser.add_argument("--output", type=Path)
    args = parser.parse_args()
    seeds = list(range(1, (1 if args.smoke else args.seeds) + 1))
    suffix = f"-{args.reclaim_angle_deg:g}deg" if args.part == "ideal" else ""
    output = args.output or Path(__file__).parent / "results" / f"layered-{args.part}{suffix}.json"
    settings: dict = {"seeds": seeds}
    if args.part == "ideal":
        settings["reclaim_angle_deg"] = args.reclaim_angle_deg
        runs = ideal(seeds, args.layers, args.reclaim_angle_deg)
        print(
            "| AR(1) correlation time, layers | body fair VRR | ideal layering | body / ideal | chunks where dropped "
            "| body / chunks where dropped | whole fair VRR | whole / ideal |"
        )
        print("|---|---|---|---|---|---|---|---|")
        for key, entries in runs.items():
            mean = {name: float(np.mean([e[name] for e in entries])) for name in entries[0]}
            print(
                f"| {key} | {mean['body_vrr']:.5f} | {mean['ideal_vrr_body_portion']:.5f} | "
                f"{mean['body_vrr'] / mean['ideal_vrr_body_portion']:.2f} | {mean['chunks_vrr_body']:.5f} | "
                f"{mean['body_vrr'] / mean['chunks_vrr_body']:.2f} | {mean['whole_vrr']:.5f} | "
                f"{mean['whole_vrr'] / mean['ideal_vrr_whole_portion']:.2f} |"
            )
    elif args.part == "detailed":
        output.parent.mkdir(parents=True, exist_ok=True)
        runs = detailed(seeds, args.smoke, output)
        runs["agreement"] = found = agreement(runs["feeds"])
        print(f"boxes of {runs['box_m']:.3f} m, composites of {runs['composite_m3']:.1f} m3, seeds {seeds}")
        print("| feed | detailed fair VRR (seeds' max / min) | layered | ideal layering | layered / detailed | "
              "layered / ideal | detailed / ideal |")
        print("|---|---|---|---|---|---|---|")
        for name, row in found["per_feed"].items():
            print(
                f"| {name} | {row['detailed_vrr']:.5f} ({row['detailed_spread']:.2f}) | {row['layered_vrr']:.5f} | "
                f"{row['ideal_vrr']:.5f} | {row['layered_to_detailed']:.2f} | {row['layered_to_ideal']:.2f} | "
                f"{row['detailed_to_ideal']:.2f} |"
            )
        low, high = found["interval_95"]
        print(
            f"layered / detailed over {len(found['per_feed'])} feeds: {found['range'][0]:.2f}-{found['range'][1]:.2f}, "
            f"geometric mean {found['geometric_mean']:.2f}, 95 % interval {low:.2f}-{high:.2f}"
        )
        print("| engine | crest line | crest height | base width | angle |")
        print("|---|---|---|---|---|")
        shapes = {
            "detailed": [run for feed in runs["feeds"].values() for run in feed["detailed"]],
            "layered": [feed["layered"] for feed in runs["feeds"].values()],
        }
        for engine, entries in shapes.items():
            mean = {name: float(np.mean([e[name] for e in entries])) for name in ("centre_z_m", "crest_m", "base_width_m", "angle_deg")}
            print(
                f"| {engine} | {mean['centre_z_m']:.2f} m | {mean['crest_m']:.2f} m | {mean['base_width_m']:.2f} m | "
                f"{mean['angle_deg']:.1f} deg |"
            )
    else:
        runs = spread(args.layers, args.smoke)
        settings = {}
        print(f"cells of {runs['cell_m']:g} m, angle of repose {runs['angle_of_repose_deg']:g} deg")
        print("| layers | tracer | volume | stacker's travel | reach across | middle 90 % along the bed | crest | "
              "flanks' middle | flanks' feet |")
        print("|---|---|---|---|---|---|---|---|---|")
        for layers, entry in runs["layers"].items():
            for name, tracer in entry.items():
                bands = tracer["extent_90_by_band_m"]
                print(
                    f"| {layers} | {name} | {tracer['volume_m3']:.1f} m3 | {tracer['travel_m']:.2f} m | "
                    f"{tracer['reach_across_m']:.1f} m | {tracer['extent_90_m']:.2f} m | "
                    + " | ".join(f"{bands[band]:.2f} m" for band in BANDS)
                    + " |"
                )
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(json.dumps({**settings, "runs": runs}, indent=2) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
