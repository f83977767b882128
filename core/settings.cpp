#include "core/settings.h"

#include "core/setting_descriptions.h"

#include <algorithm>
#include <cmath>
#include <format>
#include <numbers>
#include <string>
#include <string_view>
#include <utility>

namespace korvex {

namespace {

/// Collects what is wrong with a set of settings, each with its value and unit.
class Problems {
public:
    void add(std::string problem) { list.push_back(std::move(problem)); }

    void requireFinite(float value, const char* name, const char* unit) {
        if (!std::isfinite(value)) {
            add(std::format("{} must be finite, got {}{}", name, value, unit));
        }
    }

    bool empty() const { return list.empty(); }
    std::vector<std::string> take() { return std::move(list); }

private:
    std::vector<std::string> list;
};

/// The settings both kinds of pile share with the fast engine; true when the particle volume is usable.
bool checkCommon(const KorvexConfiguration& configuration, Problems& problems) {
    problems.requireFinite(configuration.length, "length", " m");
    problems.requireFinite(configuration.depth, "depth", " m");
    problems.requireFinite(configuration.reclaimAngle, "reclaimAngle", " degrees");
    const float perCubicMetre = configuration.particlesPerCubicMeter;
    const bool usable = perCubicMetre > 0.0f && std::isfinite(perCubicMetre);
    if (!usable) {
        problems.add(
            std::format("particlesPerCubicMeter must be positive and finite, got {} per m3", perCubicMetre));
    }
    return usable;
}

void checkEightNeighbourProbability(float probability, Problems& problems) {
    if (std::isnan(probability)) {
        problems.add("eightNeighbourProbability must be a number, got NaN");
    }
}

/// Cells of `cellSize` along an extent, rounded to the nearest, at least one; nothing when there is none.
std::optional<double> gridCellsAlong(float extent, float size, const char* setting, const char* cell,
                                     Problems& problems) {
    if (!std::isfinite(extent)) {
        return std::nullopt;
    }
    const double cells = std::trunc(static_cast<double>(extent / size) + 0.5);
    if (!(cells >= 1.0)) {
        problems.add(std::format("{} of {} m gives no {}: it must be at least half a cell of {} m", setting,
                                 extent, cell, size));
        return std::nullopt;
    }
    return cells;
}

/// Records the grid's cells, or the problem when it has more than the limit.
bool fitGrid(double columns, double rows, float length, float depth, float size, std::uint32_t& width,
             std::uint32_t& height, Problems& problems) {
    if (columns * rows > static_cast<double>(Limits::maxCells)) {
        problems.add(std::format("length x depth of {} m x {} m gives {:.4g} cells of {} m, more than the {} "
                                 "(2^28) a pile may have: choose a smaller pile or fewer particles per "
                                 "cubic metre",
                                 length, depth, columns * rows, size, Limits::maxCells));
        return false;
    }
    width = static_cast<std::uint32_t>(columns);
    height = static_cast<std::uint32_t>(rows);
    return true;
}

void checkFastGrid(PileGeometry& geometry, Problems& problems) {
    const KorvexConfiguration& configuration = geometry.configuration;
    const float size = geometry.cellSize;
    const auto columns = gridCellsAlong(configuration.length, size, "length", "column", problems);
    const auto rows = gridCellsAlong(configuration.depth, size, "depth", "row", problems);
    if (!columns || !rows ||
        !fitGrid(*columns, *rows, configuration.length, configuration.depth, size, geometry.columns,
                 geometry.rows, problems)) {
        return;
    }
    geometry.sliceCount = geometry.columns;
    if (configuration.circular) {
        // Half a cell along both extents already gives a circle of more than half a cell; the check keeps
        // the slice index's wrap-around from ever dividing by zero.
        const double cells = geometry.circleLength / size + 0.5;
        if (!(cells >= 1.0)) {
            problems.add(std::format("circular pile of centre line {} m gives no slice: it must be at least "
                                     "half a cell of {} m",
                                     geometry.circleLength, size));
            return;
        }
        geometry.sliceCount = static_cast<std::size_t>(cells);
    }
}

/// The detailed engine's boxes: positive and finite, resolved by the physics, no wider than the bed, and
/// resolved by single precision wherever they may be thrown.
void checkBoxes(PileGeometry& geometry, Problems& problems) {
    const KorvexConfiguration& configuration = geometry.configuration;
    const float size = geometry.cellSize;
    if (!(size > 0.0f) || !std::isfinite(size) || !std::isfinite(1.0f / size)) {
        problems.add(std::format("particleVolumeFactor / particlesPerCubicMeter gives no usable particle "
                                 "size ({} / {})",
                                 configuration.particleVolumeFactor, configuration.particlesPerCubicMeter));
        return;
    }
    const std::string setting =
        std::format("particle size (particleVolumeFactor / particlesPerCubicMeter)^(1/3) of {:g} m", size);
    if (size < Limits::minimumBoxSizeM) {
        problems.add(std::format("{} is below the {:g} m the physics resolves: lower "
                                 "particlesPerCubicMeter or raise particleVolumeFactor",
                                 setting, Limits::minimumBoxSizeM));
    }
    const float shorterSide = std::min(configuration.length, configuration.depth);
    if (size > shorterSide) {
        problems.add(std::format("{} is larger than the bed's shorter side of {:g} m (length and depth)",
                                 setting, shorterSide));
    }
    // Boxes are dropped up to one bed length beyond the bed; there their positions must still resolve a box
    // to a small fraction of its edge.
    const float farthest = 2.0f * std::max(configuration.length, configuration.depth);
    const float resolution = std::nextafter(farthest, std::numeric_limits<float>::infinity()) - farthest;
    if (size < 64.0f * resolution) {
        problems.add(std::format("{} is too small for positions {:g} m from the origin, which single "
                                 "precision resolves to {:g} m: use larger boxes or a smaller bed",
                                 setting, farthest, resolution));
    }
    if (!std::isfinite(configuration.length) || !std::isfinite(configuration.depth)) {
        return;
    }
    // One cell per box size plus one, so that a box centred on the far edge has a cell. A negative extent
    // still gets one cell, so that every clamped index stays inside the grid.
    const auto cellsAlong = [size](float extent) {
        return std::max(std::trunc(static_cast<double>(extent / size) + 0.5) + 1.0, 1.0);
    };
    fitGrid(cellsAlong(configuration.length), cellsAlong(configuration.depth), configuration.length,
            configuration.depth, size, geometry.columns, geometry.rows, problems);
}

void checkDetailedSettings(const KorvexConfiguration& configuration, Problems& problems) {
    const float factor = configuration.particleVolumeFactor;
    if (!(factor > 0.0f) || !std::isfinite(factor)) {
        problems.add(std::format("particleVolumeFactor must be positive and finite, got {}", factor));
    }
    problems.requireFinite(configuration.dropHeight, "dropHeight", " m");
    const std::optional<float>& fall = configuration.fallHeight;
    if (fall && (!(*fall >= 0.0f) || !std::isfinite(*fall))) {
        problems.add(std::format("fallHeight must be finite and not negative, got {} m", *fall));
    }
    // A box that has not come to rest when it is frozen would stay hanging in the air.
    for (const auto& [setting, height] : {std::pair{"dropHeight", configuration.dropHeight},
                                          std::pair{"fallHeight", fall.value_or(0.0f)}}) {
        if (std::isfinite(height) && height > Limits::highestDropM) {
            problems.add(std::format("{} of {:g} m is above the {:g} m from which a box lands and comes to rest "
                                     "before the engine freezes it, {:g} s after its drop, wherever it is",
                                     setting, height, Limits::highestDropM,
                                     static_cast<double>(Limits::freezeAgeMs) / 1000.0));
        }
    }
}

/// What is wrong with `value` of the described setting `name`, added to `problems`.
void checkDescribed(std::string_view name, double value, Problems& problems) {
    if (auto problem = settingProblem(*describedSetting(name), value)) {
        problems.add(std::move(*problem));
    }
}

/// The layered engine's own settings (`layered`, its cell resolved) and the straight bed with a face rising
/// into the pile that it serves; true when the cell is usable.
bool checkLayeredSettings(const PileSettings& settings, const LayeredSettings& layered, Problems& problems) {
    for (std::string& problem : layeredSettingsProblems(layered)) {
        problems.add(std::move(problem));
    }
    const KorvexConfiguration& configuration = settings.configuration;
    if (configuration.circular) {
        problems.add("circular is not served by the layered engine: it simulates straight beds");
    }
    if (std::isfinite(configuration.reclaimAngle)) {
        checkDescribed("reclaim_angle_deg", configuration.reclaimAngle, problems);
    }
    if (settings.logParticles) {
        problems.add("logParticles: the layered engine keeps layers, not particles");
    }
    const double cell = *layered.cell_m;
    return cell > 0.0 && std::isfinite(cell);
}

/// The layered engine's grid of cell_m cells, rounded to the nearest in double precision as the engine lays
/// its deliveries, and the memory it may take before a quality value is known.
void checkLayeredGrid(PileGeometry& geometry, const LayeredSettings& layered, Problems& problems) {
    const KorvexConfiguration& configuration = geometry.configuration;
    const double cell_m = *layered.cell_m;
    const auto cellsAlong = [&](float extent, const char* setting) -> std::optional<double> {
        if (!std::isfinite(extent)) {
            return std::nullopt;
        }
        const double cells = std::trunc(static_cast<double>(extent) / cell_m + 0.5);
        if (!(cells >= 1.0)) {
            problems.add(std::format("{} of {:g} m gives no cell: it must be at least half a cell of {:g} m",
                                     setting, extent, cell_m));
            return std::nullopt;
        }
        return cells;
    };
    const auto columns = cellsAlong(configuration.length, "length");
    const auto rows = cellsAlong(configuration.depth, "depth");
    if (columns && rows &&
        fitGrid(*columns, *rows, configuration.length, configuration.depth, geometry.cellSize, geometry.columns,
                geometry.rows, problems)) {
        if (auto problem = layeredMemoryProblem(geometry.columns, geometry.rows, layered, 0)) {
            problems.add(std::move(*problem));
        }
    }
}

}  // namespace

PileSettings defaultPileSettings() {
    // Every other setting's default is its member initialiser, the one place it is written.
    PileSettings settings;
    settings.configuration.length = 300.0f;
    settings.configuration.depth = 50.0f;
    settings.configuration.cellsFromOrigin = true;
    settings.configuration.aimedThrow = true;
    return settings;
}

RingPileSettings defaultRingPileSettings() {
    RingPileSettings settings;
    settings.configuration = defaultPileSettings().configuration;
    settings.configuration.circular = true;
    settings.ringRadius = std::min(settings.configuration.length, settings.configuration.depth) / 4.0f;
    return settings;
}

double layeredMemoryBytes(std::uint64_t cells, const LayeredSettings& settings, std::size_t qualities) {
    // Thickness, volume, delivery sum and the quality sums.
    const double segmentBytes = 8.0 * (3.0 + static_cast<double>(qualities));
    const double segments = static_cast<double>(settings.segmentsPerColumn) + 1.0;
    return static_cast<double>(cells) * (layeredBytesPerCell + segments * segmentBytes);
}

std::optional<std::string> layeredMemoryProblem(std::uint32_t columns, std::uint32_t rows,
                                                const LayeredSettings& settings, std::size_t qualities) {
    const double bytes = layeredMemoryBytes(std::uint64_t{columns} * rows, settings, qualities);
    if (bytes <= Limits::maxMemoryBytes) {
        return std::nullopt;
    }
    return std::format("a layered bed of {} x {} cells of {:g} m, each column keeping up to {} segments with "
                       "{} quality values each, may take about {:.3g} GB, more than the {:g} GB bound: use "
                       "larger cells, fewer segments per column or fewer quality values",
                       columns, rows, settings.cell_m.value_or(0.0), settings.segmentsPerColumn, qualities, bytes / 1e9,
                       Limits::maxMemoryBytes / 1e9);
}

bool isVerticalFace(float reclaimAngle_deg) {
    return std::fabs(static_cast<double>(90.0f - reclaimAngle_deg)) < 0.01;
}

double faceSlope(float reclaimAngle_deg) {
    if (isVerticalFace(reclaimAngle_deg)) {
        return std::numeric_limits<double>::infinity();
    }
    return std::tan(static_cast<double>(reclaimAngle_deg) * std::numbers::pi / 180.0);
}

float cellSize(Engine engine, float particlesPerCubicMeter, float particleVolumeFactor) {
    constexpr float third = 0.33333334f;
    if (engine == Engine::detailed) {
        return std::pow(particleVolumeFactor / particlesPerCubicMeter, third);
    }
    return 1.0f / std::pow(particlesPerCubicMeter, third);
}

double reclaimCircleLength(float length, float depth) {
    return static_cast<double>(std::min(length, depth)) * 0.25 * 6.2831854820251465;
}

std::optional<std::string> reclaimStepProblem(double step_m, double reach_m) {
    if (!(step_m > 0.0) || !std::isfinite(step_m)) {
        return std::format("reclaimIncrement must be positive and finite, got {} m", step_m);
    }
    if (reach_m / step_m > Limits::maxSlicesPerReach) {
        return std::format("reclaimIncrement {} m cuts the {} m the reclaimer may travel into more than {} "
                           "slices",
                           step_m, reach_m, Limits::maxSlicesPerReach);
    }
    const auto farEnd = static_cast<float>(reach_m);
    if (farEnd + static_cast<float>(step_m) == farEnd) {
        return std::format("reclaimIncrement {} m is too small for a pile of this size: the reclaim position "
                           "would stop growing before {} m",
                           step_m, farEnd);
    }
    return std::nullopt;
}

double reclaimReach_m(const KorvexConfiguration& configuration) {
    // Reclaim positions never need to go beyond the pile's outline, nor the circle inside it, by more than a
    // few times its size.
    return 2.0 * (std::fabs(static_cast<double>(configuration.length)) +
                  std::fabs(static_cast<double>(configuration.depth)));
}

namespace {

std::string joined(const std::vector<std::string>& problems) {
    std::string text;
    for (const std::string& problem : problems) {
        text += (text.empty() ? "" : "; ") + problem;
    }
    return text;
}

}  // namespace

SettingsError::SettingsError(std::vector<std::string> problems)
    : std::invalid_argument(joined(problems)), problems_(std::move(problems)) {}

std::variant<PileGeometry, SettingsError> checkSettings(const PileSettings& settings) {
    Problems problems;
    PileGeometry geometry;
    geometry.configuration = settings.configuration;
    geometry.engine = settings.engine;
    const KorvexConfiguration& configuration = geometry.configuration;
    const bool detailed = settings.engine == Engine::detailed;
    const bool layered = settings.engine == Engine::layered;
    bool sized = checkCommon(configuration, problems);
    const LayeredSettings layeredSettings = resolvedLayeredSettings(settings.layered, configuration);
    if (layered) {
        sized = checkLayeredSettings(settings, layeredSettings, problems);
    } else if (detailed) {
        checkDetailedSettings(configuration, problems);
        const float factor = configuration.particleVolumeFactor;
        sized = sized && factor > 0.0f && std::isfinite(factor);
    } else {
        checkEightNeighbourProbability(configuration.eightNeighbourProbability, problems);
    }
    geometry.verticalFace = isVerticalFace(configuration.reclaimAngle);
    geometry.faceSlope = faceSlope(configuration.reclaimAngle);
    geometry.circleLength =
        configuration.circular ? reclaimCircleLength(configuration.length, configuration.depth) : 0.0;
    if (sized && layered) {
        geometry.cellSize = static_cast<float>(*layeredSettings.cell_m);
        checkLayeredGrid(geometry, layeredSettings, problems);
    } else if (sized) {
        geometry.cellSize = cellSize(settings.engine, configuration.particlesPerCubicMeter,
                                     configuration.particleVolumeFactor);
        if (detailed) {
            checkBoxes(geometry, problems);
        } else {
            checkFastGrid(geometry, problems);
        }
    }
    if (settings.reclaimIncrement || sized) {
        geometry.reclaimIncrement = settings.reclaimIncrement.value_or(geometry.cellSize);
        if (auto problem = reclaimStepProblem(geometry.reclaimIncrement, reclaimReach_m(configuration))) {
            problems.add(std::move(*problem));
        }
    }
    if (!problems.empty()) {
        return SettingsError(problems.take());
    }
    return geometry;
}

std::variant<RingGeometry, SettingsError> checkSettings(const RingPileSettings& settings) {
    Problems problems;
    RingGeometry geometry;
    geometry.configuration = settings.configuration;
    geometry.ringRadius = settings.ringRadius;
    const KorvexConfiguration& configuration = geometry.configuration;
    const bool sized = checkCommon(configuration, problems);
    checkDescribed("eight_neighbour_probability", configuration.eightNeighbourProbability, problems);
    const float angle = configuration.reclaimAngle;
    if (std::isfinite(angle)) {
        checkDescribed("reclaim_angle_deg", angle, problems);
    }
    const float half = std::min(configuration.length, configuration.depth) / 2.0f;
    if (!(settings.ringRadius > 0.0f && settings.ringRadius < half)) {
        problems.add(std::format("ring_radius_m of {} m must be positive and less than half the smaller extent "
                                 "of the bed area, {} m",
                                 settings.ringRadius, half));
    }
    geometry.verticalFace = isVerticalFace(angle);
    geometry.faceSlope = faceSlope(angle);
    geometry.circleLength = 2.0 * std::numbers::pi * settings.ringRadius;
    if (sized) {
        geometry.cellSize = cellSize(Engine::fast, configuration.particlesPerCubicMeter, 1.0f);
        const float size = geometry.cellSize;
        const auto columns = gridCellsAlong(configuration.length, size, "length", "column", problems);
        const auto rows = gridCellsAlong(configuration.depth, size, "depth", "row", problems);
        if (columns && rows) {
            fitGrid(*columns, *rows, configuration.length, configuration.depth, geometry.cellSize,
                    geometry.columns, geometry.rows, problems);
        }
    }
    if (settings.reclaimIncrement || sized) {
        geometry.reclaimIncrement = settings.reclaimIncrement.value_or(geometry.cellSize);
        if (auto problem = reclaimStepProblem(geometry.reclaimIncrement, geometry.circleLength)) {
            problems.add(std::move(*problem));
        }
    }
    if (!problems.empty()) {
        return SettingsError(problems.take());
    }
    return geometry;
}

namespace {

template <class Geometry>
Geometry thrownIfBad(std::variant<Geometry, SettingsError> checked) {
    if (auto* error = std::get_if<SettingsError>(&checked)) {
        throw *error;
    }
    return std::get<Geometry>(std::move(checked));
}

}  // namespace

PileGeometry checkedGeometry(const PileSettings& settings) { return thrownIfBad(checkSettings(settings)); }

RingGeometry checkedGeometry(const RingPileSettings& settings) {
    return thrownIfBad(checkSettings(settings));
}

const char* engineName(Engine engine) {
    switch (engine) {
        case Engine::detailed:
            return "detailed";
        case Engine::layered:
            return "layered";
        case Engine::fast:
            break;
    }
    return "fast";
}

}  // namespace korvex
