#include "korvex_lib_python.h"

#include "conversions.h"

namespace py = pybind11;

namespace {

korvex::PileSettings settingsOf(float length, float depth, float reclaimAngle, float particlesPerCubicMeter,
                                bool circular, float eightNeighbourProbability, float particleVolumeFactor,
                                float dropHeight, bool detailed, float reclaimIncrement) {
    korvex::PileSettings settings;
    korvex::KorvexConfiguration& configuration = settings.configuration;
    configuration.length = length;
    configuration.depth = depth;
    configuration.reclaimAngle = reclaimAngle;
    configuration.particlesPerCubicMeter = particlesPerCubicMeter;
    configuration.circular = circular;
    configuration.eightNeighbourProbability = eightNeighbourProbability;
    configuration.visualize = false;
    configuration.particleVolumeFactor = particleVolumeFactor;
    configuration.dropHeight = dropHeight;
    settings.engine = detailed ? korvex::Engine::detailed : korvex::Engine::fast;
    settings.reclaimIncrement = reclaimIncrement;
    return settings;
}

}  // namespace

KorvexLibPython::KorvexLibPython(float length, float depth, float reclaimAngle, float particlesPerCubicMeter,
                                 bool circular, float eightNeighbourProbability, float particleVolumeFactor,
                                 float dropHeight, bool detailed, float reclaimIncrement)
    : pile(settingsOf(length, depth, reclaimAngle, particlesPerCubicMeter, circular,
                      eightNeighbourProbability, particleVolumeFactor, dropHeight, detailed,
                      reclaimIncrement)) {
    // The GIL stays held through every call, so Ctrl-C is seen by asking for it now and then.
    pile.setInterruptCheck(korvex::python::raiseOnPendingSignal);
}

namespace {

/// Runs `stacking` on `pile`; when a signal ends it, tells on the exception how much it stacked.
template <class Stacking>
void stackTellingWhatAnInterruptLeft(korvex::Pile& pile, Stacking&& stacking) {
    const double before = pile.stackedVolume();
    try {
        stacking();
    } catch (py::error_already_set& error) {
        korvex::python::addNote(error, korvex::interruptedStackNote(pile.stackedVolume() - before));
        throw;
    }
}

}  // namespace

void KorvexLibPython::stack(double, float x, float z, double volume, const std::vector<double>& parameters) {
    stackTellingWhatAnInterruptLeft(pile,
                                    [&] { pile.stack(x, z, korvex::AveragedParameters(volume, parameters)); });
}

void KorvexLibPython::stack_list(const py::array_t<double, py::array::forcecast>& table,
                                 const std::vector<std::string>& columns) {
    const korvex::TableView view = korvex::python::tableViewOf(table);
    stackTellingWhatAnInterruptLeft(pile, [&] { pile.stackTable(view, columns); });
}

py::dict KorvexLibPython::reclaim() {
    const auto slices = pile.reclaim();
    const std::vector<std::string>& names = pile.qualityNames();
    py::list positions, volumes;
    std::vector<py::list> values(names.size());
    for (const auto& slice : slices) {
        positions.append(static_cast<double>(slice.position));
        volumes.append(slice.material.volume);
        const std::vector<double> averages = slice.material.averages();
        for (std::size_t i = 0; i < values.size(); ++i) {
            values[i].append(i < averages.size() ? averages[i] : 0.0);
        }
    }
    py::dict result;
    result["x"] = positions;
    result["volume"] = volumes;
    for (std::size_t i = 0; i < names.size(); ++i) {
        result[py::str(names[i])] = values[i];
    }
    return result;
}

std::vector<std::vector<float>> KorvexLibPython::get_heights() {
    const std::span<const float> heights = pile.heights();
    const std::size_t width = pile.heightsWidth();
    std::vector<std::vector<float>> rows;
    rows.reserve(pile.heightsDepth());
    for (std::size_t j = 0; j < pile.heightsDepth(); ++j) {
        rows.emplace_back(heights.begin() + j * width, heights.begin() + (j + 1) * width);
    }
    return rows;
}
