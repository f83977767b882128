#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/seeding.h"
#include "core/setting_descriptions.h"
#include "core/settings.h"
#include "pile/pile.h"
#include "pile/ring_pile.h"
#include "pile/snapshot_files.h"
#include "conversions.h"

namespace py = pybind11;

namespace {

korvex::Engine engineNamed(const std::string& name) {
    if (name == "fast") {
        return korvex::Engine::fast;
    }
    if (name == "detailed") {
        return korvex::Engine::detailed;
    }
    if (name == "layered") {
        return korvex::Engine::layered;
    }
    throw std::invalid_argument("engine must be \"fast\", \"detailed\" or \"layered\", got \"" + name + "\"");
}

/// A height grid of `depth` rows of `width` heights as a 2-D array of its own.
py::array_t<float> heightsArray(std::span<const float> grid, std::size_t depth, std::size_t width) {
    py::array_t<float> result({static_cast<py::ssize_t>(depth), static_cast<py::ssize_t>(width)});
    std::copy(grid.begin(), grid.end(), result.mutable_data());
    return result;
}

template <class T>
py::array_t<T> arrayOf(const std::vector<T>& values) {
    return py::array_t<T>(static_cast<py::ssize_t>(values.size()), values.data());
}

std::span<const std::byte> bytesOf(const std::string_view& text) { return std::as_bytes(std::span(text)); }

py::bytes bytesObject(std::span<const std::byte> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

/// Saving, loading and copying of a face that holds `pile` and `mutex`: Simulator and Ring alike. The face
/// names the snapshot kinds it loads in `snapshotKinds`.
template <class Face>
class Snapshots {
public:
    void save(const std::string& path, const py::bytes& note) {
        Face& face = static_cast<Face&>(*this);
        const std::string_view noteBytes = note;
        py::gil_scoped_release withoutGil;
        std::lock_guard lock(face.mutex);
        korvex::saveSnapshotFile(face.pile, path, bytesOf(noteBytes));
    }

    static std::unique_ptr<Face> load(const std::string& path) {
        std::unique_ptr<korvex::SnapshotFile> file;
        {
            py::gil_scoped_release withoutGil;
            file = std::make_unique<korvex::SnapshotFile>(path, Face::snapshotKinds);
        }
        return std::make_unique<Face>(file->payload(), file->kind(), file->note());
    }

    std::unique_ptr<Face> copy() {
        Face& face = static_cast<Face&>(*this);
        std::vector<std::byte> state;
        korvex::SnapshotKind kind{};
        {
            py::gil_scoped_release withoutGil;
            std::lock_guard lock(face.mutex);
            state = korvex::stateOf(face.pile);
            kind = face.pile.snapshotKind();
        }
        return std::make_unique<Face>(korvex::SnapshotReader(state), kind, std::span<const std::byte>{});
    }

    /// The note of the snapshot the face was loaded from.
    py::bytes note() const { return bytesObject(savedNote); }

protected:
    explicit Snapshots(std::span<const std::byte> note = {}) : savedNote(note.begin(), note.end()) {}

private:
    std::vector<std::byte> savedNote;
};

/// Runs `work` with the GIL released and `mutex` held. Taking the mutex with the GIL held could wait for
/// a call on another thread that holds the mutex and waits for the GIL to look for Ctrl-C.
template <class Work>
auto locked(std::mutex& mutex, Work&& work) {
    py::gil_scoped_release withoutGil;
    std::lock_guard lock(mutex);
    return work();
}

/// The settings given by keyword, those left at None out.
korvex::SettingValues givenOf(std::initializer_list<std::pair<const char*, std::optional<double>>> keywords) {
    korvex::SettingValues given;
    for (const auto& [name, value] : keywords) {
        if (value) {
            given.emplace(name, *value);
        }
    }
    return given;
}

/// A straight or single-pass circular pile's settings from the keywords of Simulator and geometry, and the
/// seed and particle log of a Simulator.
korvex::PileSettings pileSettingsOf(double length_m, double depth_m, std::optional<double> reclaim_angle_deg,
                                    std::optional<double> particles_per_m3, bool circular,
                                    std::optional<double> eight_neighbour_probability,
                                    std::optional<double> particle_volume_factor,
                                    std::optional<double> drop_height_m, std::optional<double> fall_height_m,
                                    const std::string& engine, std::optional<float> reclaim_step_m,
                                    std::optional<double> cell_size_m, std::optional<double> angle_of_repose_deg,
                                    std::optional<double> stream_footprint_m,
                                    std::optional<double> segments_per_column,
                                    std::optional<std::uint64_t> seed, bool record_particles) {
    korvex::PileSettings base = korvex::defaultPileSettings();
    base.engine = engineNamed(engine);
    base.configuration.circular = circular;
    base.reclaimIncrement = reclaim_step_m;
    base.seed = seed;
    base.logParticles = record_particles;
    const korvex::SettingValues given = givenOf({{"length_m", length_m},
                                                 {"depth_m", depth_m},
                                                 {"reclaim_angle_deg", reclaim_angle_deg},
                                                 {"particles_per_m3", particles_per_m3},
                                                 {"eight_neighbour_probability", eight_neighbour_probability},
                                                 {"particle_volume_factor", particle_volume_factor},
                                                 {"drop_height_m", drop_height_m},
                                                 {"fall_height_m", fall_height_m},
                                                 {"cell_size_m", cell_size_m},
                                                 {"angle_of_repose_deg", angle_of_repose_deg},
                                                 {"stream_footprint_m", stream_footprint_m},
                                                 {"segments_per_column", segments_per_column}});
    return korvex::describedPileSettings(base, given);
}

/// The description of every setting, as dicts of the names the package reads.
py::list settingsDescription() {
    py::list result;
    for (const korvex::SettingDescription& setting : korvex::settingDescriptions()) {
        py::dict entry;
        entry["name"] = py::str(std::string(setting.name));
        entry["unit"] = py::str(std::string(setting.unit));
        entry["default"] = std::isnan(setting.defaultValue) ? py::object(py::none())
                           : setting.whole ? py::object(py::int_(static_cast<long long>(setting.defaultValue)))
                                           : py::object(py::float_(setting.defaultValue));
        entry["default_rule"] = py::str(std::string(setting.defaultRule));
        entry["lowest"] = setting.lowest;
        entry["lowest_included"] = setting.lowestIncluded;
        entry["highest"] = setting.highest;
        entry["highest_included"] = setting.highestIncluded;
        entry["whole"] = setting.whole;
        py::list engines;
        for (const char* name : {"fast", "detailed", "layered", "ring"}) {
            if (setting.engines & korvex::engineUse(name)) {
                engines.append(name);
            }
        }
        entry["engines"] = py::tuple(engines);
        entry["help"] = py::str(std::string(setting.help));
        result.append(entry);
    }
    return result;
}

/// The geometry a pile is built on, by the names the package gives its parts.
py::dict geometryDict(const korvex::PileGeometry& geometry) {
    py::dict result;
    result["cell_size_m"] = geometry.cellSize;
    result["columns"] = geometry.columns;
    result["rows"] = geometry.rows;
    result["slice_count"] = geometry.sliceCount;
    result["vertical_face"] = geometry.verticalFace;
    result["face_slope"] = geometry.faceSlope;
    result["circle_length_m"] = geometry.circleLength;
    result["reclaim_step_m"] = geometry.reclaimIncrement;
    return result;
}

/// A pile for the korvex package: keyword settings with units, a seed it always knows, NumPy results.
/// Calls release the GIL and hold the simulator's own lock instead, so simulators can run on several
/// threads; Ctrl-C is looked for now and then with the GIL taken back briefly.
class Simulator : public Snapshots<Simulator> {
public:
    static constexpr std::array snapshotKinds{korvex::SnapshotKind::pile, korvex::SnapshotKind::layeredPile};

    explicit Simulator(const korvex::PileSettings& settings) : pile(settings) {
        pile.setInterruptCheck([] {
            py::gil_scoped_acquire withGil;
            korvex::python::raiseOnPendingSignal();
        });
    }

    /// The pile a snapshot holds, with the note saved beside it.
    Simulator(korvex::SnapshotReader in, korvex::SnapshotKind kind, std::span<const std::byte> note)
        : Snapshots(note), pile(in, kind) {
        pile.setInterruptCheck([] {
            py::gil_scoped_acquire withGil;
            korvex::python::raiseOnPendingSignal();
        });
    }

    void stack(const py::array_t<double, py::array::forcecast>& table,
               const std::vector<std::string>& columns) {
        // Copied while the GIL keeps other threads from changing it.
        const korvex::TableCopy copy(korvex::python::tableViewOf(table));
        double stacked_m3 = 0.0;
        try {
            py::gil_scoped_release withoutGil;
            std::lock_guard lock(mutex);
            const double before = pile.stackedVolume();
            try {
                pile.stackTable(copy.view(), columns);
            } catch (...) {
                stacked_m3 = pile.stackedVolume() - before;
                throw;
            }
        } catch (py::error_already_set& error) {
            korvex::python::addNote(error, korvex::interruptedStackNote(stacked_m3));
            throw;
        }
    }

    std::unique_ptr<Simulator> surfaceCopy() {
        std::unique_ptr<Simulator> copied = copy();
        copied->pile.forgetMaterial();
        return copied;
    }

    py::tuple reclaim(std::optional<float> step_m) {
        std::size_t qualities = 0;
        const std::vector<korvex::ReclaimedSlice> slices = locked(mutex, [&] {
            qualities = pile.qualityNames().size();
            return step_m ? pile.reclaim(*step_m) : pile.reclaim();
        });
        const std::size_t count = slices.size();
        py::array_t<double> position(static_cast<py::ssize_t>(count));
        py::array_t<double> volume(static_cast<py::ssize_t>(count));
        py::array_t<double> values({static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(qualities)});
        auto p = position.mutable_unchecked<1>();
        auto v = volume.mutable_unchecked<1>();
        auto q = values.mutable_unchecked<2>();
        for (std::size_t s = 0; s < count; ++s) {
            const korvex::AveragedParameters& material = slices[s].material;
            p(s) = static_cast<double>(slices[s].position);
            v(s) = material.volume;
            const bool empty = !(material.volume > korvex::AveragedParameters::zeroVolume);
            for (std::size_t k = 0; k < qualities; ++k) {
                q(s, k) = empty || k >= material.sums.size() ? std::numeric_limits<double>::quiet_NaN()
                                                             : material.sums[k] / material.volume;
            }
        }
        return py::make_tuple(position, volume, values);
    }

    py::array_t<float> heights() {
        const std::vector<float> grid = locked(mutex, [&] {
            const std::span<const float> now = pile.heights();
            return std::vector<float>(now.begin(), now.end());
        });
        return heightsArray(grid, pile.heightsDepth(), pile.heightsWidth());
    }

    py::dict particles() {
        // A copy taken under the lock: another thread may be stacking onto this simulator.
        const std::optional<korvex::ParticleLog> copy =
            locked(mutex, [&]() -> std::optional<korvex::ParticleLog> {
                const korvex::ParticleLog* now = pile.settledParticles();
                return now ? std::optional(*now) : std::nullopt;
            });
        if (!copy) {
            throw std::runtime_error(
                "this simulator keeps no particle records: construct it with "
                "record_particles=True");
        }
        const korvex::ParticleLog* log = &*copy;
        py::array_t<float> values(
            {static_cast<py::ssize_t>(log->size()), static_cast<py::ssize_t>(log->qualityCount())});
        std::copy(log->values.begin(), log->values.end(), values.mutable_data());
        py::dict result;
        result["drop_index"] = arrayOf(log->dropIndex);
        result["x_m"] = arrayOf(log->x);
        result["y_m"] = arrayOf(log->y);
        result["z_m"] = arrayOf(log->z);
        result["values"] = values;
        return result;
    }

    py::dict layers() {
        std::vector<std::string> names;
        const korvex::LayerTable table = locked(mutex, [&] {
            names = pile.qualityNames();
            return pile.layers();
        });
        const auto count = static_cast<py::ssize_t>(table.size());
        py::dict result;
        result["x_m"] = arrayOf(table.x_m);
        result["z_m"] = arrayOf(table.z_m);
        result["bottom_m"] = arrayOf(table.bottom_m);
        result["top_m"] = arrayOf(table.top_m);
        result["volume_m3"] = arrayOf(table.volume_m3);
        result["delivery"] = arrayOf(table.delivery);
        for (std::size_t k = 0; k < names.size(); ++k) {
            if (result.contains(names[k])) {
                throw py::value_error("the quality \"" + names[k] +
                                      "\" has the name of one of the layers' own arrays: rename its column");
            }
            py::array_t<double> values(count);
            auto v = values.mutable_unchecked<1>();
            for (py::ssize_t s = 0; s < count; ++s) {
                v(s) = k < table.qualities ? table.values[static_cast<std::size_t>(s) * table.qualities + k]
                                           : std::numeric_limits<double>::quiet_NaN();
            }
            result[py::str(names[k])] = values;
        }
        return result;
    }

    std::uint64_t seed() const { return *pile.seed(); }
    const char* engine() const { return korvex::engineName(pile.geometry().engine); }
    float cellSize() const { return pile.cellSize(); }
    float reclaimStep() const { return pile.reclaimIncrement(); }
    py::tuple qualityNames() { return py::cast(locked(mutex, [&] { return pile.qualityNames(); })); }

private:
    friend Snapshots;

    korvex::Pile pile;
    std::mutex mutex;
};

/// A circular bed run continuously for the korvex package: the fast engine's grid, stacking and
/// reclaiming interleaved. Same threading as Simulator.
class Ring : public Snapshots<Ring> {
public:
    static constexpr std::array snapshotKinds{korvex::SnapshotKind::ring};

    explicit Ring(const korvex::RingPileSettings& settings) : pile(settings) {
        pile.setInterruptCheck([] {
            py::gil_scoped_acquire withGil;
            korvex::python::raiseOnPendingSignal();
        });
    }

    /// The ring a snapshot holds, with the note saved beside it.
    Ring(korvex::SnapshotReader in, [[maybe_unused]] korvex::SnapshotKind kind,
         std::span<const std::byte> note)
        : Snapshots(note), pile(in) {
        pile.setInterruptCheck([] {
            py::gil_scoped_acquire withGil;
            korvex::python::raiseOnPendingSignal();
        });
    }

    py::tuple run(const py::array_t<double, py::array::forcecast>& table,
                  const std::vector<std::string>& columns, std::vector<double> reclaimer_time_s,
                  std::vector<double> reclaimer_position_m) {
        // Copied while the GIL keeps other threads from changing it.
        const korvex::TableCopy copy(korvex::python::tableViewOf(table));
        const korvex::ReclaimerSchedule schedule{std::move(reclaimer_time_s),
                                                 std::move(reclaimer_position_m)};
        std::size_t qualities = 0;
        const std::vector<korvex::RingSlice> slices = locked(mutex, [&] {
            std::vector<korvex::RingSlice> cut = pile.run(copy.view(), columns, schedule);
            qualities = pile.qualityNames().size();
            return cut;
        });
        return arraysOf(slices, qualities);
    }

    py::tuple drain(double speed_m_per_s) {
        std::size_t qualities = 0;
        const std::vector<korvex::RingSlice> slices = locked(mutex, [&] {
            qualities = pile.qualityNames().size();
            return pile.drain(speed_m_per_s);
        });
        return arraysOf(slices, qualities);
    }

    py::array_t<float> heights() {
        const std::vector<float> grid = locked(mutex, [&] {
            const std::span<const float> now = pile.heights();
            return std::vector<float>(now.begin(), now.end());
        });
        return heightsArray(grid, pile.heightsDepth(), pile.heightsWidth());
    }

    std::uint64_t seed() const { return pile.seed(); }
    float cellSize() const { return pile.cellSize(); }
    double reclaimStep() const { return pile.reclaimIncrement(); }
    double volumeOnRing() { return locked(mutex, [&] { return pile.volumeOnRing(); }); }
    double reclaimerPosition() { return locked(mutex, [&] { return pile.reclaimerPosition(); }); }
    py::tuple qualityNames() { return py::cast(locked(mutex, [&] { return pile.qualityNames(); })); }

private:
    static py::tuple arraysOf(const std::vector<korvex::RingSlice>& slices, std::size_t qualities) {
        const std::size_t count = slices.size();
        py::array_t<double> time(static_cast<py::ssize_t>(count));
        py::array_t<double> position(static_cast<py::ssize_t>(count));
        py::array_t<double> volume(static_cast<py::ssize_t>(count));
        py::array_t<double> residence(static_cast<py::ssize_t>(count));
        py::array_t<double> values({static_cast<py::ssize_t>(count), static_cast<py::ssize_t>(qualities)});
        auto t = time.mutable_unchecked<1>();
        auto p = position.mutable_unchecked<1>();
        auto v = volume.mutable_unchecked<1>();
        auto r = residence.mutable_unchecked<1>();
        auto q = values.mutable_unchecked<2>();
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t s = 0; s < count; ++s) {
            const korvex::AveragedParameters& material = slices[s].cut.material;
            const bool empty = !(material.volume > korvex::AveragedParameters::zeroVolume);
            t(s) = slices[s].time_s;
            p(s) = slices[s].position_m;
            v(s) = material.volume;
            r(s) = empty ? nan : slices[s].cut.residenceVolumeSeconds / material.volume;
            for (std::size_t k = 0; k < qualities; ++k) {
                q(s, k) = empty || k >= material.sums.size() ? nan : material.sums[k] / material.volume;
            }
        }
        return py::make_tuple(time, position, volume, values, residence);
    }

    friend Snapshots;

    korvex::RingPile pile;
    std::mutex mutex;
};

}  // namespace

PYBIND11_MODULE(_native, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "The native simulators of the korvex package.";
    // A file that cannot be written or read is an OSError with its errno, as Python's own file calls raise.
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) {
                std::rethrow_exception(thrown);
            }
        } catch (const std::system_error& error) {
            PyErr_SetObject(PyExc_OSError, py::make_tuple(error.code().value(), error.what()).ptr());
        }
    });
    py::register_local_exception<korvex::ParameterCountError>(m, "ParameterCountError", PyExc_RuntimeError);
    const korvex::PileSettings defaults = korvex::defaultPileSettings();

    m.def("settings_description", &settingsDescription,
          R"(Every setting of every engine, as the package, the command line and the docs show it: a list of
dicts of "name" (the keyword, with its unit), "unit", "default" (None where "default_rule" says how it
follows from the bed), "lowest", "highest" (inf: any finite value), whether each is "lowest_included" and
"highest_included", "whole" (a count), "engines" (of "fast", "detailed", "layered" and "ring", the
continuous ring) and "help".)");
    m.def(
        "settings_problems",
        [](const std::string& engine, const std::map<std::string, double>& settings, bool ring) {
            const unsigned uses = korvex::engineUse(korvex::engineName(engineNamed(engine)));
            return korvex::givenSettingsProblems(uses | (ring ? korvex::ringEngine : 0u),
                                                 "the " + engine + " engine",
                                                 korvex::SettingValues(settings.begin(), settings.end()));
        },
        py::arg("engine"), py::arg("settings"), py::kw_only(), py::arg("ring") = false,
        R"(What the engine (with ``ring``, also a continuous ring on it) finds wrong with the settings given
by name: a name no setting has, a setting it does not read, a value out of its limits; one message per
problem, naming the setting, its value and its unit. Empty when all are usable.)");
    m.def(
        "defaults",
        [defaults] {
            py::dict result;
            for (const korvex::SettingDescription& setting : korvex::settingDescriptions()) {
                if (std::isnan(setting.defaultValue)) {
                    continue;
                }
                result[py::str(std::string(setting.name))] =
                    setting.whole ? py::object(py::int_(static_cast<long long>(setting.defaultValue)))
                                  : py::object(py::float_(setting.defaultValue));
            }
            result["circular"] = defaults.configuration.circular;
            result["engine"] = korvex::engineName(defaults.engine);
            return result;
        },
        "The default of every setting that has one of its own (see settings_description), the shape and the "
        "engine, by keyword: a fresh dict on every call.");
    m.def(
        "limits",
        [] {
            py::dict result;
            result["max_cells"] = korvex::Limits::maxCells;
            result["max_seed"] = korvex::Limits::maxSeed;
            result["minimum_box_size_m"] = korvex::Limits::minimumBoxSizeM;
            result["max_slices_per_reach"] = korvex::Limits::maxSlicesPerReach;
            result["highest_drop_m"] = korvex::Limits::highestDropM;
            result["lowest_repose_deg"] = korvex::Limits::lowestReposeDeg;
            result["highest_repose_deg"] = korvex::Limits::highestReposeDeg;
            result["max_memory_bytes"] = korvex::Limits::maxMemoryBytes;
            return result;
        },
        "What any pile may ask for: cells of its grid, the largest seed, the detailed engine's smallest box, "
        "the slices of one reclaim and the memory its estimate may come to. Each setting's own limits are in "
        "settings_description.");
    m.def(
        "rule_particles_per_m3",
        [defaults](const std::string& engine, double length_m, double depth_m,
                   std::optional<double> stream_footprint_m) {
            return korvex::ruleParticlesPerM3(korvex::engineUse(korvex::engineName(engineNamed(engine))),
                                              length_m, depth_m,
                                              stream_footprint_m.value_or(defaults.layered.streamFootprint_m));
        },
        py::kw_only(), py::arg("engine"), py::arg("length_m"), py::arg("depth_m"),
        py::arg("stream_footprint_m") = py::none(),
        "The resolution an engine takes when given no particles_per_m3 (see settings_description), unchecked.");
    m.def(
        "cell_size_m",
        [](const std::string& engine, std::optional<double> particles_per_m3,
           std::optional<double> particle_volume_factor, std::optional<double> length_m,
           std::optional<double> depth_m, std::optional<double> stream_footprint_m) {
            korvex::PileSettings base = korvex::defaultPileSettings();
            base.engine = engineNamed(engine);
            return korvex::cellSizeOf(korvex::describedPileSettings(
                base, givenOf({{"particles_per_m3", particles_per_m3},
                                              {"particle_volume_factor", particle_volume_factor},
                                              {"length_m", length_m},
                                              {"depth_m", depth_m},
                                              {"stream_footprint_m", stream_footprint_m}})));
        },
        py::kw_only(), py::arg("engine") = korvex::engineName(defaults.engine),
        py::arg("particles_per_m3") = py::none(), py::arg("particle_volume_factor") = py::none(),
        py::arg("length_m") = py::none(), py::arg("depth_m") = py::none(),
        py::arg("stream_footprint_m") = py::none(),
        "Edge of a height-map cell in single precision, as the engine computes it from these settings (the "
        "rest at their defaults); ValueError for a setting out of its limits or not the engine's.");
    m.def("is_vertical_face", &korvex::isVerticalFace, py::arg("reclaim_angle_deg"),
          "Whether the engines take a reclaim face of this angle as vertical.");
    m.def(
        "geometry",
        [](double length_m, double depth_m, std::optional<double> reclaim_angle_deg,
           std::optional<double> particles_per_m3, bool circular, std::optional<double> eight_neighbour_probability,
           std::optional<double> particle_volume_factor, std::optional<double> drop_height_m,
           std::optional<double> fall_height_m, const std::string& engine, std::optional<float> reclaim_step_m,
           std::optional<double> cell_size_m, std::optional<double> angle_of_repose_deg,
           std::optional<double> stream_footprint_m, std::optional<double> segments_per_column,
           std::size_t qualities) {
            const korvex::PileSettings settings = pileSettingsOf(
                length_m, depth_m, reclaim_angle_deg, particles_per_m3, circular, eight_neighbour_probability,
                particle_volume_factor, drop_height_m, fall_height_m, engine, reclaim_step_m, cell_size_m,
                angle_of_repose_deg, stream_footprint_m, segments_per_column, std::nullopt, false);
            const korvex::PileGeometry geometry = korvex::checkedGeometry(settings);
            py::dict result = geometryDict(geometry);
            result["memory_bytes"] = py::none();
            if (geometry.engine == korvex::Engine::layered) {
                const korvex::LayeredSettings layered =
                    korvex::resolvedLayeredSettings(settings.layered, settings.configuration);
                if (auto problem = korvex::layeredMemoryProblem(geometry.columns, geometry.rows, layered, qualities)) {
                    throw py::value_error(*problem);
                }
                result["memory_bytes"] =
                    korvex::layeredMemoryBytes(std::uint64_t{geometry.columns} * geometry.rows, layered, qualities);
            }
            return result;
        },
        py::kw_only(), py::arg("length_m") = defaults.configuration.length,
        py::arg("depth_m") = defaults.configuration.depth, py::arg("reclaim_angle_deg") = py::none(),
        py::arg("particles_per_m3") = py::none(), py::arg("circular") = defaults.configuration.circular,
        py::arg("eight_neighbour_probability") = py::none(), py::arg("particle_volume_factor") = py::none(),
        py::arg("drop_height_m") = py::none(), py::arg("fall_height_m") = py::none(),
        py::arg("engine") = korvex::engineName(defaults.engine), py::arg("reclaim_step_m") = py::none(),
        py::arg("cell_size_m") = py::none(), py::arg("angle_of_repose_deg") = py::none(),
        py::arg("stream_footprint_m") = py::none(), py::arg("segments_per_column") = py::none(),
        py::arg("qualities") = 0,
        R"(What a Simulator of these settings is built on, without building it: a dict of "cell_size_m",
"columns", "rows", "slice_count" (the fast engine's reclaim slices), "vertical_face", "face_slope" (tan
of the reclaim angle, inf when vertical), "circle_length_m" (circular beds), "reclaim_step_m" and
"memory_bytes": on the layered engine the most memory its bed may take with ``qualities`` quality values
(every column at ``segments_per_column`` + 1 segments), None on the others. Raises ValueError naming every
bad setting with its value and unit, and a layered bed whose memory_bytes exceeds limits()["max_memory_bytes"].)");
    m.def("draw_seed", &korvex::freshSeed,
          "A fresh seed from the operating system's entropy: what a Simulator or Ring draws when given "
          "none.");
    py::class_<Simulator>(m, "Simulator",
                          R"(One stockpile on one bed, simulated by the fast, the detailed or the layered engine.

Settings carry their units in their names. ``seed`` starts the simulator's own random sources; without
one a seed is drawn and can be read back from ``seed``, so every run can be repeated. With
``record_particles`` the simulator keeps where every particle came to rest (see ``particles``).
``reclaim_step_m`` defaults to ``cell_size_m``. The detailed engine drops its boxes from ``drop_height_m``
above the ground, or, with ``fall_height_m``, from that far above the pile's surface where they land, as a
luffing stacker boom follows the pile.

The layered engine (``engine="layered"``, straight beds) draws no random numbers: every chunk comes to rest
as a critical-slope pile at ``angle_of_repose_deg`` under a stream ``stream_footprint_m`` wide, every
column keeps what was laid on it as at most ``segments_per_column`` layers, and the reclaim face cuts them
exactly. Its grid cell is ``cell_size_m``, or ``particles_per_m3**(-1/3)``.

Every setting left at None takes its default, and a setting the engine does not read is refused
(``settings_description`` says which engines read which settings, their defaults and limits).)")
        .def(py::init([](double length_m, double depth_m, std::optional<double> reclaim_angle_deg,
                         std::optional<double> particles_per_m3, bool circular,
                         std::optional<double> eight_neighbour_probability,
                         std::optional<double> particle_volume_factor, std::optional<double> drop_height_m,
                         std::optional<double> fall_height_m, const std::string& engine,
                         std::optional<std::uint64_t> seed, bool record_particles,
                         std::optional<float> reclaim_step_m, std::optional<double> cell_size_m,
                         std::optional<double> angle_of_repose_deg, std::optional<double> stream_footprint_m,
                         std::optional<double> segments_per_column) {
                 return std::make_unique<Simulator>(pileSettingsOf(
                     length_m, depth_m, reclaim_angle_deg, particles_per_m3, circular, eight_neighbour_probability,
                     particle_volume_factor, drop_height_m, fall_height_m, engine, reclaim_step_m, cell_size_m,
                     angle_of_repose_deg, stream_footprint_m, segments_per_column,
                     seed.value_or(korvex::freshSeed()), record_particles));
             }),
             py::kw_only(), py::arg("length_m"), py::arg("depth_m"), py::arg("reclaim_angle_deg") = py::none(),
             py::arg("particles_per_m3") = py::none(), py::arg("circular") = defaults.configuration.circular,
             py::arg("eight_neighbour_probability") = py::none(), py::arg("particle_volume_factor") = py::none(),
             py::arg("drop_height_m") = py::none(), py::arg("fall_height_m") = py::none(),
             py::arg("engine") = korvex::engineName(defaults.engine), py::arg("seed") = py::none(),
             py::arg("record_particles") = defaults.logParticles, py::arg("reclaim_step_m") = py::none(),
             py::arg("cell_size_m") = py::none(), py::arg("angle_of_repose_deg") = py::none(),
             py::arg("stream_footprint_m") = py::none(), py::arg("segments_per_column") = py::none())
        .def("stack", &Simulator::stack, py::arg("table"), py::arg("columns"),
             R"(Stack every row of a 2-D table in order; ``columns`` names its columns ("timestamp", "x", "z",
"volume", any other name a quality value). The whole table is checked before any row is stacked, and
its quality columns must be those of the tables stacked before. Releases the GIL.)")
        .def("reclaim", &Simulator::reclaim, py::arg("step_m") = py::none(),
             R"(Reclaim the whole pile slice by slice: returns (position_m, volume_m3, values), values holding
one column per quality value (NaN for an empty slice). A second call returns empty arrays.)")
        .def("heights", &Simulator::heights,
             "Surface heights in metres, one row per cell across the bed (z), one column per cell along it "
             "(x).")
        .def("particles", &Simulator::particles,
             R"(Where every particle came to rest, in the order it came to rest: a dict of arrays "drop_index"
(the order of stacking), "x_m", "y_m" (height of its centre), "z_m" and "values" (one column per
quality value), all single precision but the index.)")
        .def("layers", &Simulator::layers,
             R"(The layered engine's segments still in the pile, after any reclaim only what remains: a dict of
equal-length float64 arrays, one entry per segment, column by column and from the ground up: "x_m", "z_m"
(centre of the segment's column), "bottom_m", "top_m" (heights of the segment's range as laid: reclaiming
takes material, not height), "volume_m3" (material left in it), "delivery" (volume-weighted mean delivery
index, from 0) and one array per quality name (its volume-weighted mean). RuntimeError on the fast and
detailed engines, which keep no layers. Releases the GIL.)")
        .def("save", &Simulator::save, py::arg("path"), py::arg("note") = py::bytes(),
             R"(Save the whole simulator (settings, surface, slices, particle records, pending material, random
state, counters) to ``path`` as a versioned, checksummed snapshot, written to a temporary file beside it,
flushed to the disk and renamed over it: a crash leaves the previous file whole. ``note``: bytes of the
caller's own kept in the same file. The fast and layered engines' simulators can be saved, the detailed
engine's cannot (RuntimeError). Releases the GIL.)")
        .def_static("load", &Simulator::load, py::arg("path"),
                    R"(The simulator a snapshot file holds; it goes on exactly as the saved one would have.
Raises ValueError saying whether the file is truncated, corrupt, foreign, of a newer format or holds a
ring; OSError when it cannot be read.)")
        .def("copy", &Simulator::copy, "An independent simulator in the same state, going on alike.")
        .def("surface_copy", &Simulator::surfaceCopy,
             R"(An independent simulator with this one's surface and random state but none of its material:
what it stacks next, with quality values of its own, lands as it would have on this one and fills empty
slices.)")
        .def_property_readonly("note", &Simulator::note, "The note of the snapshot it was loaded from.")
        .def_property_readonly("seed", &Simulator::seed, "The seed of this simulator's random sources.")
        .def_property_readonly("engine", &Simulator::engine)
        .def_property_readonly(
            "cell_size_m", &Simulator::cellSize,
            "Edge of a height-map cell: the fast engine's grid cell, the detailed engine's box.")
        .def_property_readonly("reclaim_step_m", &Simulator::reclaimStep)
        .def_property_readonly("quality_names", &Simulator::qualityNames);

    py::class_<Ring>(
        m, "Ring",
        R"(A circular bed run continuously on the fast engine: the stacker lays material while the
reclaimer follows it round the ring, lowering every column its face cuts, so that each particle leaves
with the first pass that reaches it after it was stacked. The ring's centre line has radius
``ring_radius_m`` about the centre of the ``length_m`` x ``depth_m`` area; positions along it are metres
on the centre line from the -x side, growing turn after turn.)")
        .def(py::init([](double length_m, double depth_m, std::optional<double> ring_radius_m,
                         std::optional<double> reclaim_angle_deg, std::optional<double> particles_per_m3,
                         std::optional<double> eight_neighbour_probability, std::optional<std::uint64_t> seed,
                         std::optional<double> reclaim_step_m) {
                 korvex::RingPileSettings base = korvex::defaultRingPileSettings();
                 base.seed = seed.value_or(korvex::freshSeed());
                 base.reclaimIncrement = reclaim_step_m;
                 return std::make_unique<Ring>(korvex::describedRingSettings(
                     base, givenOf({{"length_m", length_m},
                              {"depth_m", depth_m},
                              {"ring_radius_m", ring_radius_m},
                              {"reclaim_angle_deg", reclaim_angle_deg},
                              {"particles_per_m3", particles_per_m3},
                              {"eight_neighbour_probability", eight_neighbour_probability}})));
             }),
             py::kw_only(), py::arg("length_m"), py::arg("depth_m"), py::arg("ring_radius_m") = py::none(),
             py::arg("reclaim_angle_deg") = py::none(), py::arg("particles_per_m3") = py::none(),
             py::arg("eight_neighbour_probability") = py::none(), py::arg("seed") = py::none(),
             py::arg("reclaim_step_m") = py::none())
        .def("run", &Ring::run, py::arg("table"), py::arg("columns"), py::arg("reclaimer_time_s"),
             py::arg("reclaimer_position_m"),
             R"(Stack the rows of a table (with a "timestamp" column, not decreasing) while the reclaimer
follows the schedule (positions on the centre line at times, linear in between), cutting a slice every
``reclaim_step_m`` of its travel. Returns (time_s, position_m, volume_m3, values, residence_s), residence_s
the volume-weighted mean time the slice's material lay on the ring (NaN for an empty slice). Releases
the GIL.)")
        .def("drain", &Ring::drain, py::arg("speed_m_per_s"),
             "Reclaim what is left on the ring, the reclaimer moving on at the given speed; same arrays as "
             "run.")
        .def("heights", &Ring::heights,
             "Surface heights in metres now, rows across the area (z), columns along it.")
        .def("save", &Ring::save, py::arg("path"), py::arg("note") = py::bytes(),
             "Save the whole ring to a snapshot file, atomically, as Simulator.save does.")
        .def_static("load", &Ring::load, py::arg("path"),
                    "The ring a snapshot file holds; refuses files as Simulator.load does.")
        .def("copy", &Ring::copy, "An independent ring in the same state, going on alike.")
        .def_property_readonly("note", &Ring::note, "The note of the snapshot it was loaded from.")
        .def_property_readonly("seed", &Ring::seed)
        .def_property_readonly("cell_size_m", &Ring::cellSize)
        .def_property_readonly("reclaim_step_m", &Ring::reclaimStep)
        .def_property_readonly("volume_m3", &Ring::volumeOnRing, "Volume lying on the ring now.")
        .def_property_readonly("reclaimer_position_m", &Ring::reclaimerPosition)
        .def_property_readonly("quality_names", &Ring::qualityNames);
}
