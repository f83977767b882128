#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "core/configuration.h"
#include "core/layered_settings.h"

namespace korvex {

/// Which engine stands behind a pile.
enum class Engine { fast, detailed, layered };

/// The engine's name as callers choose it: "fast", "detailed" or "layered".
const char* engineName(Engine engine);

/// What any pile may ask of the machine, whatever its kind or engine.
struct Limits {
    /// Cells of a height grid: the engines keep a few numbers per cell, a ring a few dozen bytes.
    static constexpr std::uint64_t maxCells = std::uint64_t{1} << 28;
    /// Smallest box edge of the detailed engine, metres: the physics' contact tolerances are a few
    /// centimetres.
    static constexpr float minimumBoxSizeM = 0.05f;
    /// Simulated milliseconds after its drop at which the detailed engine freezes a box wherever it is.
    static constexpr std::uint64_t freezeAgeMs = 25000;
    /// Highest dropHeight or fallHeight of the detailed engine, metres. Damping holds a falling box under
    /// about 93 m/s, so from here it lands within about 12 s, half the time after which it is frozen.
    static constexpr float highestDropM = 500.0f;
    /// Slices of one reclaim over the pile's whole reach (or one turn of a ring): bounds what a tiny reclaim
    /// step makes us allocate.
    static constexpr double maxSlicesPerReach = 16777216.0;
    /// Angles of repose of the layered engine, degrees: free-flowing grains stand at about 25, cohesive
    /// ores and wet clays up to about 60. Beyond these a pile has no bulk material's shape (near 0 a
    /// delivery spreads over the whole bed, near 90 it stands as a column).
    static constexpr double lowestReposeDeg = 15.0;
    static constexpr double highestReposeDeg = 70.0;
    /// Seeds of a pile's own random sources take every unsigned 64-bit value.
    static constexpr std::uint64_t maxSeed = std::numeric_limits<std::uint64_t>::max();
    /// Most memory, bytes, a pile's estimate may come to (2^32): the records the fast and detailed engines
    /// keep for their particles, a ring's cubes, the layered engine's whole bed.
    static constexpr double maxMemoryBytes = 4294967296.0;
};

/// Bytes the layered engine keeps for each cell whatever the cell holds: its height in double precision and
/// in the heap map, its column's bookkeeping and the fill's scratch space (the engine checks that its own
/// structures fit in it).
inline constexpr double layeredBytesPerCell = 192.0;

/// The most memory, bytes, a layered bed of `cells` cells may take with `qualities` quality values: every
/// column at segmentsPerColumn + 1 segments (the one laid before the thinnest are merged), each keeping its
/// thickness, volume, delivery sum and quality sums in double precision, beside layeredBytesPerCell.
double layeredMemoryBytes(std::uint64_t cells, const LayeredSettings& settings, std::size_t qualities);
/// What is wrong with a layered bed of `columns` x `rows` cells and `qualities` quality values whose
/// layeredMemoryBytes exceeds Limits::maxMemoryBytes: the figure, the bound and what lowers it. Empty when
/// it fits.
std::optional<std::string> layeredMemoryProblem(std::uint32_t columns, std::uint32_t rows,
                                                const LayeredSettings& settings, std::size_t qualities);

/// How a straight or single-pass circular pile is set up: the engine's configuration, the engine, the
/// step between reclaim positions and where the engine draws its random numbers from.
struct PileSettings {
    KorvexConfiguration configuration;
    Engine engine = Engine::fast;
    /// The layered engine's own settings; the other engines do not read them.
    LayeredSettings layered;
    /// Metres between two reclaim positions; by default the edge of a height-map cell.
    std::optional<float> reclaimIncrement;
    /// Random sources of the pile's own, started from this seed (for the fast engine, SplitDrawSources: one
    /// engine output a descent step); without one the engine draws from the sources the whole process
    /// shares, exactly as the module's simulators always have.
    std::optional<std::uint64_t> seed;
    /// Keep a log of where every particle came to rest (not on the layered engine, which has no particles).
    bool logParticles = false;
};

/// How a continuously run ring is set up: the fast engine's configuration (its `circular` flag is not
/// read), the centre-line radius, the seed of its own random sources and the reclaim step.
struct RingPileSettings {
    KorvexConfiguration configuration;
    float ringRadius = 0.0f;
    std::uint64_t seed = 0;
    /// Metres on the centre line between two output slices; by default the edge of a cell.
    std::optional<double> reclaimIncrement;
};

/// The settings of the package's face when its caller gives none: a 300 m x 50 m straight bed on the fast
/// engine, one particle per cubic metre, a 45 degree reclaim face, every descent step looking at all eight
/// neighbours (the calibrated value), cells spanning from the origin and aimed throws.
PileSettings defaultPileSettings();
/// The same for a ring, whose centre line lies a quarter of the smaller extent from the area's centre.
RingPileSettings defaultRingPileSettings();

/// When a reclaim face counts as vertical: within a hundredth of a degree of 90.
bool isVerticalFace(float reclaimAngle_deg);
/// Tangent of the reclaim face's angle; +infinity for a vertical face.
double faceSlope(float reclaimAngle_deg);
/// Edge of a height-map cell, metres: the fast engine's cube of one particle volume, or the detailed
/// engine's box of particleVolumeFactor particle volumes. Single precision, as the engines have always
/// computed it, so that slice positions line up with cells.
float cellSize(Engine engine, float particlesPerCubicMeter, float particleVolumeFactor);
/// Length of the circle a single-pass circular pile is reclaimed along: the circle of radius
/// min(length, depth) / 4 round the centre of the area, with pi rounded to single precision.
double reclaimCircleLength(float length, float depth);
/// What is wrong with a reclaim step of `step_m` for material as far as `reach_m` along the reclaim
/// direction: it must be positive and finite, cut that reach into at most Limits::maxSlicesPerReach slices,
/// and a reclaim position that far out must still grow by it in single precision. Empty when nothing is.
std::optional<std::string> reclaimStepProblem(double step_m, double reach_m);
/// How far reclaim positions of a straight or single-pass circular pile may go, metres: a few times the
/// pile's outline, which the reclaim circle lies inside.
double reclaimReach_m(const KorvexConfiguration& configuration);

/// What the engines build a straight or single-pass circular pile from: the checked configuration and what
/// follows from it.
struct PileGeometry {
    KorvexConfiguration configuration;
    Engine engine = Engine::fast;
    /// Edge of a height-map cell, metres (see cellSize); the layered engine's cell_m.
    float cellSize = 0.0f;
    bool verticalFace = true;
    /// Tangent of the reclaim angle; +infinity for a vertical face.
    double faceSlope = std::numeric_limits<double>::infinity();
    /// Heap-map cells along x and z.
    std::uint32_t columns = 0;
    std::uint32_t rows = 0;
    /// Fast engine: reclaim slices, along x or the reclaim circle. The other engines keep none.
    std::size_t sliceCount = 0;
    /// Circular pile: length of the reclaim circle, metres; 0 otherwise.
    double circleLength = 0.0;
    float reclaimIncrement = 0.0f;
};

/// What a continuously run ring is built from.
struct RingGeometry {
    KorvexConfiguration configuration;
    float ringRadius = 0.0f;
    float cellSize = 0.0f;
    bool verticalFace = true;
    double faceSlope = std::numeric_limits<double>::infinity();
    std::uint32_t columns = 0;
    std::uint32_t rows = 0;
    /// Length of the centre line, metres.
    double circleLength = 0.0;
    double reclaimIncrement = 0.0;
};

/// Settings no engine can work with: every bad setting with its value and unit, in the order of the
/// settings.
class SettingsError : public std::invalid_argument {
public:
    explicit SettingsError(std::vector<std::string> problems);
    const std::vector<std::string>& problems() const { return problems_; }

private:
    std::vector<std::string> problems_;
};

/// The one check of a pile's settings: the geometry its engine is built from, or every setting that is
/// wrong.
std::variant<PileGeometry, SettingsError> checkSettings(const PileSettings& settings);
std::variant<RingGeometry, SettingsError> checkSettings(const RingPileSettings& settings);

/// The geometry of checkSettings, or its SettingsError thrown.
PileGeometry checkedGeometry(const PileSettings& settings);
RingGeometry checkedGeometry(const RingPileSettings& settings);

}  // namespace korvex
