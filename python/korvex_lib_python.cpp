#include "python/korvex_lib_python.h"

#include <stdexcept>
#include <string>

#include "core/chunk_table.h"
#include "core/reclaim_pile.h"
#include "detailed/korvex_detailed.h"
#include "fast/korvex_fast.h"

namespace py = pybind11;
using korvex::AveragedParameters;

namespace {

std::unique_ptr<korvex::Korvex<AveragedParameters>> makeSimulator(
    const korvex::KorvexConfiguration& configuration, bool detailed) {
    if (detailed) {
        return std::make_unique<korvex::KorvexDetailed<AveragedParameters>>(configuration);
    }
    return std::make_unique<korvex::KorvexFast<AveragedParameters>>(configuration);
}

std::string joined(const std::vector<std::string>& names) {
    std::string text = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i ? ", \"" : "\"") + names[i] + "\"";
    }
    return text + "]";
}

}  // namespace

KorvexLibPython::KorvexLibPython(float length, float depth, float reclaimAngle, float particlesPerCubicMeter,
                                 bool circular, float eightNeighbourProbability, float particleVolumeFactor,
                                 float dropHeight, bool detailed, float reclaimIncrement)
    : reclaimIncrement(reclaimIncrement) {
    korvex::KorvexConfiguration configuration;
    configuration.length = length;
    configuration.depth = depth;
    configuration.reclaimAngle = reclaimAngle;
    configuration.particlesPerCubicMeter = particlesPerCubicMeter;
    configuration.circular = circular;
    configuration.eightNeighbourProbability = eightNeighbourProbability;
    configuration.visualize = false;
    configuration.particleVolumeFactor = particleVolumeFactor;
    configuration.dropHeight = dropHeight;
    simulator = makeSimulator(configuration, detailed);
    korvex::validateReclaimIncrement(reclaimIncrement, configuration);
}

void KorvexLibPython::stack(double, float x, float z, double volume, const std::vector<double>& parameters) {
    simulator->stack(x, z, AveragedParameters(volume, parameters));
}

void KorvexLibPython::stack_list(const py::array_t<double, py::array::forcecast>& table,
                                 const std::vector<std::string>& columns) {
    if (table.ndim() != 2) {
        throw std::domain_error("array has incorrect number of dimensions: " + std::to_string(table.ndim()) +
                                "; expected 2");
    }
    const korvex::TableView view{
        reinterpret_cast<const std::byte*>(table.data()), static_cast<std::size_t>(table.shape(0)),
        static_cast<std::size_t>(table.shape(1)), table.strides(0), table.strides(1)};
    auto roles = korvex::resolveChunkColumns(columns, view.columns);
    // The i-th name labels the i-th averaged value for the pile's whole life, so
    // every table must bring the quality columns the first one brought.
    if (!parameterNames.empty() && roles.parameterNames != parameterNames) {
        throw std::invalid_argument("quality columns " + joined(roles.parameterNames) +
                                    " differ from the pile's " + joined(parameterNames));
    }
    korvex::validateChunks(view, roles);
    korvex::stackChunks(*simulator, view, roles);
    if (parameterNames.empty()) {
        parameterNames = std::move(roles.parameterNames);
    }
}

py::dict KorvexLibPython::reclaim() {
    const auto slices = korvex::reclaimPile(*simulator, reclaimIncrement);
    py::list positions, volumes;
    std::vector<py::list> values(parameterNames.size());
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
    for (std::size_t i = 0; i < parameterNames.size(); ++i) {
        result[py::str(parameterNames[i])] = values[i];
    }
    return result;
}

std::vector<std::vector<float>> KorvexLibPython::get_heights() {
    simulator->finishStacking();
    const std::uint32_t width = simulator->heapMapWidth;
    const std::uint32_t depth = simulator->heapMapDepth;
    std::vector<std::vector<float>> rows;
    rows.reserve(depth);
    simulator->updateHeapMap();
    for (std::uint32_t j = 0; j < depth; ++j) {
        const float* row = simulator->heapMap.get() + std::size_t{j} * width;
        rows.emplace_back(row, row + width);
    }
    return rows;
}
