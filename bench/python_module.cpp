// The native side of stack_list_bench.py. It links its own copy of the fast engine, so its random sources
// are not those of _korvex_lib: the walks differ draw by draw, not in what they cost on a million particles.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <span>
#include <utility>

#include "fast/korvex_fast.h"
#include "tests/scenes/stacker_scene.h"

namespace py = pybind11;
using korvex::AveragedParameters;
using Fast = korvex::KorvexFast<AveragedParameters>;

namespace {

korvex::scenes::StackerScene sceneFor(bool smoke) {
    return smoke ? korvex::scenes::tinyBed : korvex::scenes::fullBed;
}

/// Process CPU seconds and wall-clock seconds since some fixed start.
std::pair<double, double> now() {
    return {static_cast<double>(std::clock()) / CLOCKS_PER_SEC,
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count()};
}

/// The scene as KorvexLib takes it: its ten constructor arguments, the table and its column names.
py::dict scene(bool smoke) {
    const auto scene = sceneFor(smoke);
    const auto configuration = korvex::scenes::configurationOf(scene);
    const auto rows = korvex::scenes::chunkRowsOf(scene);
    py::array_t<double> table({rows.rows, rows.names.size()});
    std::copy(rows.cells.begin(), rows.cells.end(), table.mutable_data());
    py::dict result;
    result["arguments"] = py::make_tuple(
        configuration.length, configuration.depth, configuration.reclaimAngle,
        configuration.particlesPerCubicMeter, configuration.circular, configuration.eightNeighbourProbability,
        configuration.particleVolumeFactor, configuration.dropHeight, false, 1.0f);
    result["table"] = table;
    result["columns"] = rows.names;
    result["particles"] = scene.particles;
    return result;
}

/// Process CPU seconds and wall-clock seconds to stack the scene's rows, one chunk of one particle each,
/// straight through the C++ stack call; or, with `placementOnly`, to place a particle at each row's position
/// without the stack call.
std::pair<double, double> stackNatively(bool smoke, bool placementOnly) {
    const auto scene = sceneFor(smoke);
    const auto rows = korvex::scenes::chunkRowsOf(scene);
    const std::size_t width = rows.names.size();
    Fast simulator(korvex::scenes::configurationOf(scene));
    const AveragedParameters particle(simulator.particleVolume(), std::span(&rows.cells[4], width - 4));
    const auto [cpuStart, wallStart] = now();
    if (placementOnly) {
        for (std::size_t row = 0; row < rows.rows; ++row) {
            const double* cells = &rows.cells[row * width];
            simulator.dropParticle(static_cast<float>(cells[1]), static_cast<float>(cells[2]), particle);
        }
    } else {
        korvex::scenes::stackRowByRow(simulator, rows);
    }
    const auto [cpuEnd, wallEnd] = now();
    return {cpuEnd - cpuStart, wallEnd - wallStart};
}

}  // namespace

PYBIND11_MODULE(_korvex_bench, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "The benchmarks' stacker scene and its native stacking, for stack_list_bench.py";
    m.def("scene", &scene, py::arg("smoke"));
    m.def("stack_natively", &stackNatively, py::arg("smoke"), py::arg("placement_only") = false);
}
