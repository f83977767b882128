// Feeds arbitrary settings, then a sequence of stack, table, reclaim and
// height calls, through the table reader and both engines, and checks that
// whatever was accepted is conserved by reclaiming over all the reclaims.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/chunk_table.h"
#include "core/reclaim_pile.h"
#include "detailed/korvex_detailed.h"
#include "fast/korvex_fast.h"

using korvex::AveragedParameters;

namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}

    std::uint8_t byte() { return offset < size ? data[offset++] : 0; }

    template <class T>
    T raw() {
        T value{};
        std::uint8_t bytes[sizeof(T)] = {};
        for (auto& b : bytes) {
            b = byte();
        }
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }

    template <class T, std::size_t N>
    T pick(const T (&choices)[N]) {
        return choices[byte() % N];
    }

    // Mostly ordinary numbers, now and then any bit pattern (NaN, infinities, huge values).
    double number() {
        const std::uint8_t kind = byte();
        if (kind < 224) {
            return (static_cast<double>(kind) - 32.0) / 4.0;
        }
        return raw<double>();
    }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t offset = 0;
};

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input(data, size);

    korvex::KorvexConfiguration configuration;
    const float extents[] = {0.3f, 2.0f, 5.0f, 12.0f, -3.0f, 1e9f};
    const float densities[] = {0.5f, 1.0f, 2.0f, 8.0f, 0.0f};
    const float steps[] = {0.3f, 1.0f, 2.5f, 1e-7f};
    configuration.length = input.pick(extents);
    configuration.depth = input.pick(extents);
    configuration.reclaimAngle = input.raw<float>();
    configuration.particlesPerCubicMeter = input.pick(densities);
    configuration.circular = input.byte() & 1;
    configuration.eightNeighbourProbability = input.raw<float>();
    configuration.particleVolumeFactor = 1.0f;
    configuration.dropHeight = 2.0f;
    const bool detailed = (input.byte() % 8) == 0;
    const float step = input.pick(steps);

    std::unique_ptr<korvex::Korvex<AveragedParameters>> simulator;
    try {
        const double reach = 2.0 * (std::fabs(configuration.length) + std::fabs(configuration.depth));
        if (korvex::reclaimStepProblem(step, reach)) {
            return 0;
        }
        if (detailed) {
            simulator = std::make_unique<korvex::KorvexDetailed<AveragedParameters>>(configuration);
        } else {
            simulator = std::make_unique<korvex::KorvexFast<AveragedParameters>>(configuration);
        }
    } catch (const std::invalid_argument&) {
        return 0;
    } catch (const std::length_error&) {
        return 0;
    }

    // A sequence of calls, in any order, as a user of the module may make them.
    const char* vocabulary[] = {"timestamp", "x", "z", "volume", "a", "b"};
    const double particleLimit = detailed ? 12.0 : 3000.0;
    double accepted = 0.0;
    double reclaimed = 0.0;
    // False when the step cannot reach where the physics has put a box: refused before anything is taken.
    const auto reclaimAll = [&] {
        std::vector<korvex::ReclaimedSlice> slices;
        try {
            slices = korvex::reclaimPile(*simulator, step);
        } catch (const std::invalid_argument&) {
            return false;
        }
        for (const auto& slice : slices) {
            require(std::isfinite(slice.material.volume) && slice.material.volume >= 0.0, "slice volume");
            for (double value : slice.material.averages()) {
                require(std::isfinite(value), "slice averages");
            }
            reclaimed += slice.material.volume;
        }
        return true;
    };
    for (int call = 0; call < 6; ++call) {
        const std::uint8_t kind = input.byte() % 4;
        if (kind == 2) {
            reclaimAll();
            continue;
        }
        if (kind == 3) {
            simulator->finishStacking();
            simulator->updateHeapMap();
            const std::size_t cellCount = std::size_t{simulator->heapMapColumns()} * simulator->heapMapRows();
            for (std::size_t k = 0; k < cellCount; ++k) {
                require(std::isfinite(simulator->heights()[k]) && simulator->heights()[k] >= 0.0f, "heights");
            }
            continue;
        }

        // kind 0 is a table of one row, as the Python stack call hands it over; kind 1 a table of any size.
        std::vector<std::string> names(kind == 0 ? 4 + input.byte() % 3 : input.byte() % 8);
        for (std::size_t k = 0; k < names.size(); ++k) {
            names[k] = kind == 0 && k < 4 ? vocabulary[k] : input.pick(vocabulary);
        }
        const std::size_t columns = names.size() + (kind == 0 ? 0 : input.byte() % 2);
        const std::size_t rows = kind == 0 ? 1 : input.byte() % 12;
        std::vector<double> cells(rows * columns);
        for (auto& cell : cells) {
            cell = input.number();
        }
        // Row-major or column-major storage, as NumPy may hand either over.
        const bool columnMajor = input.byte() & 1;
        const auto cellSize = static_cast<std::ptrdiff_t>(sizeof(double));
        const korvex::TableView table{
            reinterpret_cast<const std::byte*>(cells.data()), rows, columns,
            columnMajor ? cellSize : cellSize * static_cast<std::ptrdiff_t>(columns),
            columnMajor ? cellSize * static_cast<std::ptrdiff_t>(rows) : cellSize};

        korvex::ChunkColumns roles;
        try {
            roles = korvex::resolveChunkColumns(names, columns);
            korvex::validateChunks(table, roles);
        } catch (const std::invalid_argument&) {
            continue;
        }
        double volume = 0.0;
        for (std::size_t row = 0; row < rows; ++row) {
            volume += table.at(row, roles.volume);
        }
        const double pendingBefore = simulator->pending().volume;
        if ((accepted + volume) * configuration.particlesPerCubicMeter > particleLimit) {
            continue;
        }
        // Only the documented refusals may come out, and a refused table changes nothing.
        try {
            korvex::stackChunks(*simulator, table, roles);
            accepted += volume;
        } catch (const std::invalid_argument&) {
            require(simulator->pending().volume == pendingBefore, "refused table changed the pile");
        } catch (const std::runtime_error& error) {
            require(std::string(error.what()) == "invalid parameter count", "undocumented runtime error");
            require(simulator->pending().volume == pendingBefore, "refused table changed the pile");
        }
    }
    if (!reclaimAll()) {
        return 0;
    }
    require(std::fabs(reclaimed - accepted) <= 1e-9 * (1.0 + accepted), "volume conserved");
    return 0;
}
