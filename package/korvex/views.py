"""Views into a pile: vertical cross-sections (matplotlib) and an interactive 3-D view (plotly).

A cross-section shows what lies in a vertical plane, across the bed at some x or
along it at some z, coloured by stacking time or by a quality value: a Chevron's
layers show as stripes, a Windrow's as rows of ridges, a Cone-shell's as shells.
The layered engine keeps every layer of every column, so its sections draw each
layer of the columns the plane cuts as a band, from its bottom to its top. The
fast engine's particles sit in cells and levels, so its sections are drawn as a
grid of cells; the detailed engine's boxes are drawn where their centres came to
rest.
"""

from __future__ import annotations

import html
import math
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .derived import derived_columns
from .embed import figure_markup, figure_page, packed_plotlyjs
from .plots import add_footer, bed_aspect

if TYPE_CHECKING:
    import plotly.graph_objects as go
    from matplotlib.figure import Figure

    from collections.abc import Mapping, Sequence

    from .bed import Bed
    from .chunks import ChunkTable
    from .derived import Derivation
    from .results import HeightMap, Layers, Particles, Reclaimed
    from .study import Study
    from .targets import TargetBand
    from .validation import FloatArray

# Colour by stacking time: the name a caller gives instead of a quality value's.
TIME = "time"
TIME_COLOURS = "viridis"
QUALITY_COLOURS = "RdYlBu_r"

# A self-contained page must stay small enough to mail and open quickly.
MAX_HTML_BYTES = 10_000_000
# Particles drawn in a 3-D view at most: as many as a browser still turns smoothly. The page carries them
# compressed (korvex.embed), 6 to 8 bytes each on a plant's bed; the budget allows 10.
MAX_VIEW_PARTICLES = 250_000
VIEW_BYTES_PER_PARTICLE = 10
# Room in a 3-D view's page for the markup around its figure and the note on how its points were chosen.
VIEW_MARKUP_BYTES = 10_000
# Reclaim positions on the 3-D view's slider at most.
MAX_FACE_STEPS = 40
# A slice the slider stops at holds at least this share of the median slice.
FULL_SLICE_SHARE = 0.5
# Height-map cells along either side of a 3-D surface at most.
MAX_SURFACE_CELLS = 300
# Heights at which the 3-D view looks for where the reclaim face leaves the pile.
FACE_LEVELS = 48
# Room above a layered section's highest layer, as a share of its height.
HEADROOM = 0.05


def stacking_hours(particles: Particles, chunks: ChunkTable, particle_volume_m3: float) -> FloatArray:
    """When each particle was stacked, in hours from the first chunk.

    The engine gathers the material of consecutive chunks and drops a particle
    each time a whole particle's volume has come in, so particle k falls in the
    chunk whose material completes (k + 1) particle volumes.
    """
    delivered = np.cumsum(chunks.volume)
    # Single-precision volumes in the engine: a completed particle may fall a hair short of the sum.
    wanted = (particles.drop_index.astype(np.float64) + 1) * particle_volume_m3 * (1 - 1e-6)
    chunk = np.minimum(np.searchsorted(delivered, wanted), len(chunks) - 1)
    time = chunks.timestamp
    return (time[chunk] - time[0]) / 3600


def delivery_hours(delivery: FloatArray, chunks: ChunkTable) -> FloatArray:
    """When material of a mean delivery index was stacked, in hours from the first chunk.

    The layered engine numbers the chunks that carry material (0 first) and
    keeps each layer's volume-weighted mean number, which falls between the
    times of the chunks laid in it.
    """
    laid = chunks.timestamp[chunks.volume > 0]
    return (np.interp(delivery, np.arange(laid.size), laid) - chunks.timestamp[0]) / 3600


@dataclass(frozen=True)
class _Plane:
    """A vertical plane through the pile: along the bed at z = at_m (horizontal axis x), or across it at
    x = at_m (horizontal axis z)."""

    along: bool
    at_m: float

    @property
    def title(self) -> str:
        if self.along:
            return f"Section along the bed at z = {self.at_m:.4g} m"
        return f"Section across the bed at x = {self.at_m:.4g} m"


@dataclass(frozen=True)
class Section(_Plane):
    """The particles in a vertical slab through the pile.

    along: True for a section along the bed (at z = at_m, horizontal axis x),
        False for one across it (at x = at_m, horizontal axis z).
    horizontal_m, height_m: each particle's centre in the section's plane.
    colour: what each particle is coloured by, described by colour_label.
    thickness_m: the slab's thickness, centred on at_m.
    """

    horizontal_m: FloatArray
    height_m: FloatArray
    colour: FloatArray
    colour_label: str
    cell_size_m: float
    thickness_m: float
    extent_m: float
    gridded: bool

    def __len__(self) -> int:
        return int(self.horizontal_m.size)

    @property
    def top_m(self) -> float:
        return float(self.height_m.max()) + self.cell_size_m if len(self) else self.cell_size_m


@dataclass(frozen=True)
class LayerSection(_Plane):
    """The layers of the row (or column) of cells a vertical plane passes through.

    start_m: where each layer's column begins along the section's horizontal
        axis; it spans cell_size_m from there.
    bottom_m, top_m: the heights between which each layer lies.
    colour: what each layer is coloured by, described by colour_label.
    """

    start_m: FloatArray
    bottom_m: FloatArray
    top_m: FloatArray
    colour: FloatArray
    colour_label: str
    cell_size_m: float
    extent_m: float

    def __len__(self) -> int:
        return int(self.start_m.size)

    def polygons(self) -> np.ndarray:
        """Each layer as the corners of its band, layers x 4 x 2 (horizontal, height)."""
        start, end = self.start_m, self.start_m + self.cell_size_m
        return np.stack(
            [np.column_stack(corner) for corner in ((start, self.bottom_m), (end, self.bottom_m), (end, self.top_m),
                                                     (start, self.top_m))],
            axis=1,
        )


def _colour(record: Particles | Layers, colour: str, time_h: FloatArray | None) -> tuple[FloatArray, str]:
    if colour == TIME:
        if time_h is not None:
            return np.asarray(time_h, dtype=np.float64), "stacking time [h]"
        if hasattr(record, "delivery"):
            return record.delivery, "stacking order [delivery index]"
        return record.drop_index.astype(np.float64), "stacking order [particle drop index]"
    if colour not in record.names:
        raise ValueError(f"colour must be {TIME!r} or one of the quality values {record.names}, got {colour!r}")
    return record.column(colour).astype(np.float64), colour


def _plane(bed: Bed, x_m: float | None, z_m: float | None) -> tuple[bool, float, float]:
    """Whether a section runs along the bed, where, and the bed's extent across the plane."""
    if (x_m is None) == (z_m is None):
        raise ValueError("give x_m for a section across the bed or z_m for one along it, not both")
    along = z_m is not None
    at = float(z_m if along else x_m)  # type: ignore[arg-type]
    limit = bed.depth_m if along else bed.length_m
    if not 0 <= at <= limit:
        name = "z_m" if along else "x_m"
        raise ValueError(f"{name} = {at:g} m lies outside the bed, which spans 0 to {limit:g} m")
    return along, at, limit


def _cells_cut(across_m: FloatArray, at_m: float, limit_m: float, cell_size_m: float) -> np.ndarray:
    """Which of the points at across_m lie in the row of cells the plane at at_m cuts.

    Cells span from the bed's corner, one cell each; a plane on the bed's far
    edge cuts the last row.
    """
    target = min(math.floor(at_m / cell_size_m), max(math.ceil(limit_m / cell_size_m) - 1, 0))
    return np.floor(across_m / cell_size_m) == target


def cut_section(
    particles: Particles,
    bed: Bed,
    *,
    x_m: float | None = None,
    z_m: float | None = None,
    colour: str = TIME,
    time_h: FloatArray | None = None,
    thickness_m: float | None = None,
) -> Section:
    """The particles in a vertical slab across the bed at x_m, or along it at z_m (give one).

    colour: TIME or a quality value's name; time_h: each particle's stacking
    time (see stacking_hours), else time is shown as the drop index.
    thickness_m: the slab's thickness, one cell (or box) by default, so that
    each particle of the fast engine's grid falls into exactly one section.
    """
    along, at, limit = _plane(bed, x_m, z_m)
    cell = bed.cell_size_m
    thickness = cell if thickness_m is None else float(thickness_m)
    if not thickness > 0:
        raise ValueError(f"thickness_m must be positive, got {thickness_m} m")
    values, label = _colour(particles, colour, time_h)
    across = particles.z_m if along else particles.x_m
    gridded = bed.engine == "fast"
    if gridded and thickness_m is None:
        keep = _cells_cut(across, at, limit, cell)
    else:
        keep = np.abs(across - at) <= thickness / 2
    horizontal = (particles.x_m if along else particles.z_m)[keep]
    return Section(
        along=along,
        at_m=at,
        horizontal_m=horizontal.astype(np.float64),
        height_m=particles.y_m[keep].astype(np.float64),
        colour=values[keep],
        colour_label=label,
        cell_size_m=cell,
        thickness_m=thickness,
        extent_m=bed.length_m if along else bed.depth_m,
        gridded=gridded,
    )


def cut_layers(
    layers: Layers,
    bed: Bed,
    *,
    x_m: float | None = None,
    z_m: float | None = None,
    colour: str = TIME,
    time_h: FloatArray | None = None,
) -> LayerSection:
    """The layers of the cells a vertical plane across the bed at x_m, or along it at z_m, passes through
    (give one).

    colour: TIME or a quality value's name; time_h: each layer's stacking time
    (see delivery_hours), else time is shown as the mean delivery index.
    """
    along, at, limit = _plane(bed, x_m, z_m)
    values, label = _colour(layers, colour, time_h)
    keep = _cells_cut(layers.z_m if along else layers.x_m, at, limit, layers.cell_size_m)
    centre = (layers.x_m if along else layers.z_m)[keep]
    return LayerSection(
        along=along,
        at_m=at,
        start_m=centre - layers.cell_size_m / 2,
        bottom_m=layers.bottom_m[keep],
        top_m=layers.top_m[keep],
        colour=values[keep],
        colour_label=label,
        cell_size_m=layers.cell_size_m,
        extent_m=bed.length_m if along else bed.depth_m,
    )


def _cells(section: Section) -> tuple[FloatArray, FloatArray, np.ndarray]:
    """Cell edges and a masked grid of mean colours for a section of the fast engine."""
    cell = section.cell_size_m
    column = np.floor(section.horizontal_m / cell).astype(np.int64)
    level = np.floor(section.height_m / cell).astype(np.int64)
    columns = int(column.max()) + 1
    levels = int(level.max()) + 1
    flat = level * columns + column
    sums = np.bincount(flat, weights=section.colour, minlength=levels * columns)
    counts = np.bincount(flat, minlength=levels * columns)
    with np.errstate(invalid="ignore", divide="ignore"):
        grid = np.ma.masked_invalid((sums / counts).reshape(levels, columns))
    x_edges = np.arange(columns + 1) * cell
    y_edges = np.arange(levels + 1) * cell
    return x_edges, y_edges, grid


def section_figure(
    section: Section | LayerSection,
    *,
    title: str | None = None,
    footer: str | None = None,
    colour_map: str | None = None,
) -> Figure:
    """A section with metre axes and a colour bar; tall enough to read however long the bed is.

    A section much wider than it is high is drawn with its heights stretched,
    and the axis says by how much.
    """
    from matplotlib.collections import PatchCollection, PolyCollection
    from matplotlib.figure import Figure
    from matplotlib.patches import Rectangle

    cmap = colour_map or (TIME_COLOURS if section.colour_label.startswith("stacking") else QUALITY_COLOURS)
    layered = isinstance(section, LayerSection)
    if layered:
        top = float(section.top_m.max()) * (1 + HEADROOM) if len(section) else section.cell_size_m
    else:
        top = section.top_m
    stretch, width_in, plot_height_in = bed_aspect(section.extent_m, top)
    figure = Figure(figsize=(width_in + 1.6, plot_height_in + 1.3), layout="constrained")
    axes = figure.add_subplot()
    mappable: Any = None
    if not len(section):
        what = "layers" if layered else "particles"
        axes.text(0.5, 0.5, f"no {what} in this section", ha="center", va="center", transform=axes.transAxes)
    elif isinstance(section, LayerSection):
        # Bands that meet edge to edge: unsmoothed, so that no seam shows between them.
        mappable = PolyCollection(section.polygons(), cmap=cmap, linewidths=0, antialiaseds=False)
        mappable.set_array(section.colour)
        axes.add_collection(mappable)
    elif section.gridded:
        x_edges, y_edges, grid = _cells(section)
        mappable = axes.pcolormesh(x_edges, y_edges, grid, cmap=cmap, shading="flat")
    else:
        half = section.cell_size_m / 2
        boxes = [
            Rectangle((h - half, y - half), section.cell_size_m, section.cell_size_m)
            for h, y in zip(section.horizontal_m, section.height_m, strict=True)
        ]
        mappable = PatchCollection(boxes, cmap=cmap, edgecolor="face", linewidth=0.2)
        mappable.set_array(section.colour)
        axes.add_collection(mappable)
    axes.set_xlim(0, section.extent_m)
    axes.set_ylim(0, top)
    axes.set_aspect(stretch)
    axes.set_xlabel(f"{'x along' if section.along else 'z across'} the bed [m]")
    drawn = "" if stretch == 1 else f", drawn {stretch:.3g}x taller"
    axes.set_ylabel(f"height [m]{drawn}")
    if isinstance(section, LayerSection):
        detail = f"cells of {section.cell_size_m:.3g} m, {len(section):,} layers"
    else:
        slab = "one cell" if section.gridded else f"{section.thickness_m:.3g} m"
        detail = f"slab {slab} thick, {len(section):,} particles"
    axes.set_title(title or f"{section.title} ({detail})")
    if mappable is not None:
        # An inset keeps the bar as tall as the section, which its aspect may make flat.
        figure.colorbar(mappable, cax=axes.inset_axes((1.015, 0.0, 0.02, 1.0)), label=section.colour_label)
    add_footer(figure, footer)
    return figure


def _downsampled(heights: HeightMap) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Cell centres along x and z and the heights, every n-th cell when the grid is large."""
    rows, columns = heights.heights_m.shape
    step = max(1, math.ceil(max(rows, columns) / MAX_SURFACE_CELLS))
    grid = heights.heights_m[::step, ::step]
    x = (np.arange(0, columns, step) + 0.5) * heights.cell_size_m
    z = (np.arange(0, rows, step) + 0.5) * heights.cell_size_m
    return x, z, grid


def _face(heights: HeightMap, position_m: float, reclaim_angle_deg: float) -> tuple[FloatArray, FloatArray, FloatArray]:
    """The reclaim face at position_m where it cuts the pile: for each row across the bed, the face's
    foot and the point where it meets the pile's surface, as x, z and height (2 x rows each).

    Material at height y is taken once x - y / tan(angle) lies below the
    reclaimer's position, so the face leans over the material not yet taken.
    """
    x_cells, z_cells, grid = _downsampled(heights)
    spacing = float(x_cells[1] - x_cells[0]) if x_cells.size > 1 else heights.cell_size_m
    edge = heights.heights_m.shape[1] * heights.cell_size_m
    levels = np.linspace(0.0, max(float(grid.max()), heights.cell_size_m), FACE_LEVELS)[:, None]
    lean = 0.0 if abs(90.0 - reclaim_angle_deg) < 0.01 else 1 / math.tan(math.radians(reclaim_angle_deg))
    x = np.broadcast_to(position_m + levels * lean, (levels.size, z_cells.size))
    column = np.clip(np.floor(x / spacing).astype(np.int64), 0, x_cells.size - 1)
    surface = grid[np.arange(z_cells.size), column]
    on_bed = (x >= 0) & (x <= edge)
    # The face reaches up to the highest level still inside the pile.
    inside = np.where(on_bed & (levels <= surface), levels, 0.0)
    top = inside.max(axis=0)
    return (
        np.vstack([np.full(z_cells.size, position_m), position_m + top * lean]),
        np.vstack([z_cells, z_cells]),
        np.vstack([np.zeros(z_cells.size), top]),
    )


def _face_mesh(x: FloatArray, z: FloatArray, y: FloatArray) -> dict[str, np.ndarray]:
    """Mesh3d arguments for a face given as its foot (row 0) and its top (row 1): two triangles a row."""
    count = x.shape[1]
    foot = np.arange(count - 1)
    head = foot + count
    return {
        "x": np.round(x.ravel(), 2),
        "y": np.round(z.ravel(), 2),
        "z": np.round(y.ravel(), 2),
        "i": np.concatenate([foot, foot + 1]),
        "j": np.concatenate([foot + 1, head + 1]),
        "k": np.concatenate([head, head]),
    }


@dataclass(frozen=True)
class SliceWords:
    """What a slice's caption says beyond its volume: its tonnes at the bulk density, and the target bands'
    values (a modulus from the slice's averaged oxides, see korvex.derived) with whether each is inside."""

    bulk_density_t_per_m3: float | None = None
    targets: Sequence[TargetBand] = ()
    derived: Mapping[str, Derivation] | None = None


def _slice_text(reclaimed: Reclaimed, index: int, words: SliceWords = SliceWords()) -> str:
    start = reclaimed.position_m[index - 1] if index > 0 else reclaimed.position_m[index]
    end = reclaimed.position_m[index]
    averages = ", ".join(
        f"{html.escape(name)} {value:.4g}" for name, value in zip(reclaimed.names, reclaimed.values[index], strict=True)
    )
    amount = f"{reclaimed.volume_m3[index]:.4g} m³"
    if words.bulk_density_t_per_m3 is not None:
        amount += f" ({reclaimed.volume_m3[index] * words.bulk_density_t_per_m3:.4g} t)"
    held = []
    if words.targets:
        row = reclaimed.values[index : index + 1]
        names, table = derived_columns(reclaimed.names, row, words.derived)
        values = dict(zip((*reclaimed.names, *names), np.concatenate([row[0], table[0]]), strict=True))
        for band in words.targets:
            value = values.get(band.name, math.nan)
            where = "inside" if abs(value - band.target) <= band.tolerance else "outside"
            held.append(f"{html.escape(band.name)} {value:.4g}, {where} {html.escape(band.describe())}")
    targets = "" if not held else "; target " + "; ".join(held)
    return f"reclaim face at {end:.4g} m: slice {start:.4g} to {end:.4g} m, {amount}, average {averages}{targets}"


def particle_budget(other_bytes: int) -> int:
    """How many particles a page can draw and stay under MAX_HTML_BYTES beside plotly's JavaScript
    (compressed, see korvex.embed) and other_bytes of everything else."""
    room = MAX_HTML_BYTES - len(packed_plotlyjs()) - other_bytes
    return int(np.clip(room // VIEW_BYTES_PER_PARTICLE, 0, MAX_VIEW_PARTICLES))


@dataclass(frozen=True)
class _Points:
    """Points a 3-D view draws inside the pile: where, their colour and what it means, and a note for the
    reader on how they were chosen (empty when every one is drawn)."""

    x_m: FloatArray
    y_m: FloatArray
    z_m: FloatArray
    colour: FloatArray
    colour_label: str
    name: str
    note: str


def cut_open(particles: Particles, bed: Bed, count: int, seed: int) -> tuple[np.ndarray, str | None]:
    """Which particles a 3-D view draws, at most `count`, and a note on the choice (None: all of them).

    A straight bed is cut open along its centre line: the half nearer the viewer is left out, and of
    the other half the particles nearest the cut come first, so that the cut shows the layers as a
    section does. A circular bed's particles are sampled at random (seed).
    """
    total = len(particles)
    if bed.circular:
        if total <= count:
            return np.arange(total), None
        chosen = np.sort(np.random.default_rng(seed).choice(total, count, replace=False))
        return chosen, f"{count:,} of {total:,} particles drawn, sampled at random to keep the page small"
    behind = np.flatnonzero(particles.z_m >= bed.depth_m / 2)
    if behind.size > count:
        nearest = np.argsort(particles.z_m[behind], kind="stable")[:count]
        behind = np.sort(behind[nearest])
    deepest = float(particles.z_m[behind].max()) if behind.size else bed.depth_m / 2
    return behind, (
        f"cut open along the centre line: {behind.size:,} of {total:,} particles drawn, those from "
        f"z = {bed.depth_m / 2:.3g} to {deepest:.3g} m"
    )


def _particle_points(
    particles: Particles, bed: Bed, colour: str, time_h: FloatArray | None, budget: int, seed: int
) -> _Points:
    """The particles a 3-D view draws: a straight bed's cut open along its centre line (cut_open)."""
    values, label = _colour(particles, colour, time_h)
    chosen, note = cut_open(particles, bed, budget, seed)
    return _Points(
        particles.x_m[chosen], particles.y_m[chosen], particles.z_m[chosen], values[chosen], label, "particles",
        note or "",
    )


def sample_layers(layers: Layers, count: int, seed: int) -> tuple[np.ndarray, FloatArray, FloatArray, FloatArray]:
    """count points in the layers, each layer's share in proportion to its volume: which layer each
    point lies in, and its x, height and z, placed at random (seed) within the layer's box.

    The shares are drawn systematically along the layers' running volume, so
    that a layer holding a k-th of the volume gets count / k points, give or
    take one, and a layer of less than a point's worth gets one or none.
    """
    rng = np.random.default_rng(seed)
    running = np.cumsum(layers.volume_m3)
    # A page with no room left asks for no points.
    at = (np.arange(count) + rng.random()) * (running[-1] / max(count, 1))
    layer = np.minimum(np.searchsorted(running, at, side="right"), len(layers) - 1)
    half = layers.cell_size_m / 2
    x = layers.x_m[layer] + rng.uniform(-half, half, count)
    z = layers.z_m[layer] + rng.uniform(-half, half, count)
    bottom = layers.bottom_m[layer]
    y = bottom + rng.random(count) * (layers.top_m[layer] - bottom)
    return layer, x, y, z


def _open_cut_m(bed: Bed, cell_size_m: float) -> float:
    """Where a 3-D view cuts a layered pile open: the near edge of the row of cells on the bed's centre line."""
    return math.floor(bed.depth_m / 2 / cell_size_m) * cell_size_m


def _layer_points(
    layers: Layers, bed: Bed, colour: str, time_h: FloatArray | None, budget: int, seed: int
) -> _Points:
    """budget points on the face of a cut along the bed's centre line, sampled in the layers of the row of
    cells behind it in proportion to their volume, each coloured as its layer.

    Points spread through the whole pile would show the colours of every depth
    at once; on the cut they show the layers as a section does.
    """
    values, label = _colour(layers, colour, time_h)
    cut_m = _open_cut_m(bed, layers.cell_size_m)
    row = np.flatnonzero(_cells_cut(layers.z_m, cut_m + layers.cell_size_m / 2, bed.depth_m, layers.cell_size_m))
    note = f"the pile cut open along its centre line (z = {cut_m:.4g} m): "
    if not row.size:
        return _Points(*np.empty((4, 0)), label, "layers", note + "no layers on the cut")
    layer, x, y, _ = sample_layers(layers.select(row), budget, seed)
    note += f"{budget:,} points drawn in its {row.size:,} layers, in proportion to their volume"
    return _Points(x, y, np.full(budget, cut_m), values[row[layer]], label, "layers", note)


def view_3d(
    heights: HeightMap,
    *,
    bed: Bed,
    particles: Particles | None = None,
    reclaimed: Reclaimed | None = None,
    colour: str = TIME,
    time_h: FloatArray | None = None,
    max_particles: int | None = None,
    title: str = "",
    seed: int = 0,
    layers: Layers | None = None,
    other_bytes: int = 0,
    words: SliceWords = SliceWords(),
) -> go.Figure:
    """The pile in 3-D: its surface, optionally its particles or layers, and a reclaim face on a slider.

    particles: drawn coloured by colour (TIME or a quality value), cut open
    along a straight bed's centre line (see cut_open) to at most max_particles
    (by default what a page has room for beside the rest of the view and
    other_bytes of everything else); the view says which it draws.
    layers: the layered engine's layers (give them or particles): the pile is
    cut open along its centre line, and max_particles points on the cut,
    sampled in the layers behind it in proportion to their volume, show them
    each in its layer's colour.
    time_h: each particle's (or layer's) stacking time, for colour TIME.
    reclaimed: the slices; a slider moves the reclaim face from slice to slice
    and the title shows the average of the slice it cuts (straight beds), in the plant's units and with
    its target bands as words say (SliceWords).
    """
    import plotly.graph_objects as go

    if particles is not None and layers is not None:
        raise ValueError("give particles or layers, not both")
    x_cells, z_cells, grid = _downsampled(heights)
    peak = max(float(grid.max()), heights.cell_size_m)
    inside = particles if particles is not None else layers
    shown = grid
    if layers is not None and len(layers):
        # The layers are drawn on a cut along the centre line: the surface in front of it would veil them.
        shown = np.where((z_cells < _open_cut_m(bed, layers.cell_size_m))[:, np.newaxis], np.nan, grid)
    elif particles is not None and len(particles) and not bed.circular:
        # The particles are cut open along the centre line (cut_open): so is the surface, which would
        # otherwise veil the cut and its colours.
        shown = np.where((z_cells < bed.depth_m / 2)[:, np.newaxis], np.nan, grid)
    traces: list[go.BaseTraceType] = [
        go.Surface(
            x=x_cells,
            y=z_cells,
            z=shown,
            colorscale="Earth",
            name="pile surface",
            showlegend=True,
            opacity=0.35 if inside is not None else 1.0,
            colorbar={"title": {"text": "height [m]"}, "x": 1.0, "len": 0.45, "y": 0.8},
        )
    ]
    notes = []
    draws_points = inside is not None and len(inside) > 0
    # The points go second, so that every slider step can keep them visible beside its own face.
    base = 2 if draws_points else 1
    faces = []
    steps = []
    heading = html.escape(title)
    if reclaimed is not None and not bed.circular:
        taken = reclaimed.volume_m3[reclaimed.volume_m3 > 0]
        # The slider's positions, the first one included, cut whole slices, not the slivers at the bed's ends.
        typical = float(np.median(taken)) if taken.size else 0.0
        full = np.flatnonzero(reclaimed.volume_m3 >= FULL_SLICE_SHARE * typical)
        picks = full[np.unique(np.linspace(0, full.size - 1, min(MAX_FACE_STEPS, full.size)).astype(np.int64))]
        for number, index in enumerate(picks):
            face = _face(heights, float(reclaimed.position_m[index]), bed.reclaim_angle_deg)
            faces.append(
                go.Mesh3d(
                    **_face_mesh(*face), color="crimson", opacity=0.8, name="reclaim face", visible=number == 0
                )
            )
            visible = [True] * base + [k == number for k in range(picks.size)]
            steps.append(
                {
                    "method": "update",
                    "label": f"{reclaimed.position_m[index]:.0f}",
                    "args": [
                        {"visible": visible},
                        {"title.text": f"{heading}<br>{_slice_text(reclaimed, index, words)}"},
                    ],
                }
            )
    elif reclaimed is not None:
        notes.append("the reclaim face is drawn for straight beds only")
    first = steps[0]["args"][1]["title.text"] if steps else heading
    length, depth = bed.length_m, bed.depth_m
    figure = go.Figure([*traces, *faces])
    stretch = max(1.0, round(0.25 * length / peak))
    if stretch != 1:
        notes.append(f"heights drawn {stretch:.2g}x")
    figure.update_layout(
        title={"text": first, "font": {"size": 13}},
        scene={
            # Short titles: the depth's and the height's axes meet at the corner nearest the viewer, and
            # longer titles there run into each other.
            "xaxis": {"title": {"text": "x along the bed [m]"}},
            "yaxis": {"title": {"text": "z [m]"}},
            "zaxis": {"title": {"text": "height [m]"}},
            # From the front left corner, a little above: the bed's length runs across the screen.
            "camera": {"eye": {"x": -0.6, "y": -1.9, "z": 0.9}},
            "aspectmode": "manual",
            "aspectratio": {"x": 2.0, "y": 2.0 * max(depth / length, 0.2), "z": 2.0 * peak * stretch / length},
        },
        legend={"x": 0.0, "y": 1.0},
        margin={"l": 0, "r": 0, "t": 60, "b": 0},
        height=700,
    )
    if steps:
        figure.update_layout(
            sliders=[
                {"active": 0, "currentvalue": {"prefix": "reclaim position [m]: "}, "steps": steps, "pad": {"t": 10}}
            ]
        )
    if draws_points:
        # The points fill what room the page leaves beside everything else the view draws.
        if max_particles is None:
            max_particles = particle_budget(other_bytes + len(figure.to_json()) + VIEW_MARKUP_BYTES)
        if particles is not None:
            points = _particle_points(particles, bed, colour, time_h, max_particles, seed)
        else:
            points = _layer_points(layers, bed, colour, time_h, max_particles, seed)  # type: ignore[arg-type]
        if points.note:
            notes.append(points.note)
        marker = {
            "size": 2,
            "color": np.round(points.colour.astype(np.float64), 4),
            "colorscale": "Viridis" if colour == TIME else "RdYlBu",
            "reversescale": colour != TIME,
            "colorbar": {"title": {"text": html.escape(points.colour_label)}, "x": 1.0, "len": 0.45, "y": 0.25},
        }
        # In double precision: a single-precision number is written with all its digits, twice the bytes.
        scatter = go.Scatter3d(
            x=np.round(points.x_m.astype(np.float64), 2),
            y=np.round(points.z_m.astype(np.float64), 2),
            z=np.round(points.y_m.astype(np.float64), 2),
            mode="markers",
            name=points.name,
            marker=marker,
        )
        figure = go.Figure([*traces, scatter, *faces], layout=figure.layout)
    if notes:
        figure.add_annotation(
            text=html.escape("; ".join(notes)),
            showarrow=False,
            xref="paper",
            yref="paper",
            x=0.0,
            y=0.0,
            xanchor="left",
            font={"size": 11},
        )
    return figure


def view_html(figure: go.Figure, *, full_html: bool = True) -> str:
    """The figure as HTML with plotly's JavaScript and the figure inside, compressed (see korvex.embed),
    so that it opens without a network."""
    if not full_html:
        return figure_markup(figure, "korvex-view")
    # The figure's title is escaped for plotly already; the page's title is plain text.
    title = html.unescape(str(figure.layout.title.text or "Korvex 3-D view").split("<br>")[0])
    return figure_page(figure, title, "korvex-view")


def save_view(figure: go.Figure, path: str | Path) -> Path:
    """Write a 3-D view as one self-contained HTML file; refuses to write one of MAX_HTML_BYTES or more."""
    text = view_html(figure).encode("utf-8")
    if len(text) >= MAX_HTML_BYTES:
        raise ValueError(
            f"the 3-D view takes {len(text) / 1e6:.1f} MB, more than the {MAX_HTML_BYTES / 1e6:g} MB a page may; "
            "draw fewer particles"
        )
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(text)
    return path


def _particles(study: Study) -> Particles:
    if study.particles is None:
        raise ValueError("this study kept no particles: simulate(..., record_particles=True)")
    return study.particles


def particle_hours(study: Study) -> FloatArray:
    """When each recorded particle was stacked, in hours from the first chunk."""
    return stacking_hours(_particles(study), study.chunks, study.bed.particle_volume_m3)


def layer_hours(study: Study) -> FloatArray:
    """When each recorded layer was stacked (its mean delivery's time), in hours from the first chunk."""
    if study.layers is None:
        raise ValueError("this study kept no layers: simulate(..., record_particles=True) on the layered engine")
    return delivery_hours(study.layers.delivery, study.chunks)


def cross_section(study: Study, *, x_m: float | None = None, z_m: float | None = None, colour: str = "time") -> Figure:
    """A vertical section across the bed at x_m or along it at z_m, coloured by stacking time or a quality value:
    the layers it cuts on the layered engine, the particles in a slab one cell thick on the others."""
    section: Section | LayerSection
    if study.layers is not None:
        section = cut_layers(study.layers, study.bed, x_m=x_m, z_m=z_m, colour=colour, time_h=layer_hours(study))
    else:
        section = cut_section(
            _particles(study), study.bed, x_m=x_m, z_m=z_m, colour=colour, time_h=particle_hours(study)
        )
    return section_figure(section, footer=study.stamp)


def study_view_3d(
    study: Study, *, colour: str = "time", max_particles: int | None = None, other_bytes: int = 0
) -> go.Figure:
    """The pile in 3-D (plotly): its surface, its particles or layers when recorded, the reclaim face on a slider.

    other_bytes: what the rest of the page the view goes into takes, so that
    the points drawn (at most max_particles) keep it under MAX_HTML_BYTES.
    Save it with korvex.views.save_view(figure, path).
    """
    if study.layers is not None:
        time_h = layer_hours(study)
    else:
        time_h = None if study.particles is None else particle_hours(study)
    return view_3d(
        study.heights,
        bed=study.bed,
        particles=study.particles,
        layers=study.layers,
        reclaimed=study.reclaimed,
        colour=colour,
        time_h=time_h,
        max_particles=max_particles,
        title=study.describe(),
        seed=study.seed,
        other_bytes=other_bytes,
        words=SliceWords(study.bulk_density_t_per_m3, study.targets, study.derived),
    )
