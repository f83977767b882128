#include "core/snapshot.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

namespace korvex {

namespace {

constexpr std::string_view mark = "KORVEXSN";
// Mark, version, kind, note length, payload length.
constexpr std::size_t headerBytes = 8 + 4 + 4 + 8 + 8;
constexpr std::size_t checksumBytes = 8;

template <class T>
void appendLittleEndian(std::vector<std::byte>& bytes, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        bytes.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xffu));
    }
}

template <class T>
T fromLittleEndian(std::span<const std::byte> bytes) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<T>(std::to_integer<std::uint8_t>(bytes[i])) << (8 * i);
    }
    return value;
}

const char* kindName(std::uint32_t kind) {
    switch (kind) {
        case static_cast<std::uint32_t>(SnapshotKind::pile):
            return "a pile";
        case static_cast<std::uint32_t>(SnapshotKind::ring):
            return "a continuously run ring";
        case static_cast<std::uint32_t>(SnapshotKind::layeredPile):
            return "a pile of the layered engine";
        default:
            return "an unknown kind of pile";
    }
}

}  // namespace

void SnapshotWriter::u32(std::uint32_t value) { appendLittleEndian(bytes_, value); }
void SnapshotWriter::u64(std::uint64_t value) { appendLittleEndian(bytes_, value); }
void SnapshotWriter::f32(float value) { u32(std::bit_cast<std::uint32_t>(value)); }
void SnapshotWriter::f64(double value) { u64(std::bit_cast<std::uint64_t>(value)); }

void SnapshotWriter::doubles(std::span<const double> values) {
    u64(values.size());
    rawDoubles(values);
}

void SnapshotWriter::rawDoubles(std::span<const double> values) {
    // Sized once: a layered pile's columns write tens of millions of bytes this way.
    std::size_t at = bytes_.size();
    bytes_.resize(at + values.size() * 8);
    for (const double value : values) {
        const auto bits = std::bit_cast<std::uint64_t>(value);
        for (std::size_t i = 0; i < 8; ++i, ++at) {
            bytes_[at] = static_cast<std::byte>((bits >> (8 * i)) & 0xffu);
        }
    }
}

void SnapshotWriter::rawFloats(std::span<const float> values) {
    for (const float value : values) {
        f32(value);
    }
}

void SnapshotWriter::rawInt32s(std::span<const std::int32_t> values) {
    for (const std::int32_t value : values) {
        i32(value);
    }
}

void SnapshotWriter::text(const std::string& value) { blob(std::as_bytes(std::span(value))); }

void SnapshotWriter::blob(std::span<const std::byte> value) {
    u64(value.size());
    bytes_.insert(bytes_.end(), value.begin(), value.end());
}

void SnapshotWriter::material(const AveragedParameters& value) {
    f64(value.volume);
    doubles(value.sums);
}

std::span<const std::byte> SnapshotReader::take(std::size_t size) {
    require(size, "a value");
    const auto taken = rest.first(size);
    rest = rest.subspan(size);
    return taken;
}

void SnapshotReader::require(std::size_t size, const char* what) const {
    if (size > rest.size()) {
        throw SnapshotError(std::string("snapshot is corrupt: ") + what + " runs past the end of its contents");
    }
}

std::uint8_t SnapshotReader::u8() { return std::to_integer<std::uint8_t>(take(1)[0]); }
std::uint32_t SnapshotReader::u32() { return fromLittleEndian<std::uint32_t>(take(4)); }
std::uint64_t SnapshotReader::u64() { return fromLittleEndian<std::uint64_t>(take(8)); }
float SnapshotReader::f32() { return std::bit_cast<float>(u32()); }
double SnapshotReader::f64() { return std::bit_cast<double>(u64()); }

bool SnapshotReader::flag() {
    const std::uint8_t value = u8();
    if (value > 1) {
        throw SnapshotError("snapshot is corrupt: a flag holds " + std::to_string(value));
    }
    return value == 1;
}

std::size_t SnapshotReader::count(std::size_t itemBytes) {
    const std::uint64_t items = u64();
    if (items > rest.size() / std::max<std::size_t>(itemBytes, 1)) {
        throw SnapshotError("snapshot is corrupt: a count of " + std::to_string(items) +
                            " items is more than its contents hold");
    }
    return static_cast<std::size_t>(items);
}

std::vector<double> SnapshotReader::doubles() {
    std::vector<double> values(count(8));
    rawDoubles(values);
    return values;
}

void SnapshotReader::rawDoubles(std::span<double> into) {
    require(into.size() * 8, "a list of numbers");
    const std::span<const std::byte> bytes = take(into.size() * 8);
    for (std::size_t k = 0; k < into.size(); ++k) {
        into[k] = std::bit_cast<double>(fromLittleEndian<std::uint64_t>(bytes.subspan(8 * k, 8)));
    }
}

void SnapshotReader::rawFloats(std::span<float> into) {
    require(into.size() * 4, "a list of numbers");
    for (float& value : into) {
        value = f32();
    }
}

void SnapshotReader::rawInt32s(std::span<std::int32_t> into) {
    require(into.size() * 4, "a list of counts");
    for (std::int32_t& value : into) {
        value = i32();
    }
}

std::string SnapshotReader::text() {
    const auto bytes = take(count(1));
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::vector<std::byte> SnapshotReader::blob() {
    const auto bytes = take(count(1));
    return {bytes.begin(), bytes.end()};
}

AveragedParameters SnapshotReader::material() {
    AveragedParameters value;
    value.volume = f64();
    value.sums = doubles();
    return value;
}

void SnapshotReader::finish() const {
    if (!rest.empty()) {
        throw SnapshotError("snapshot is corrupt: " + std::to_string(rest.size()) +
                            " bytes are left over after the pile");
    }
}

void writeConfiguration(SnapshotWriter& out, const KorvexConfiguration& configuration) {
    out.f32(configuration.length);
    out.f32(configuration.depth);
    out.f32(configuration.reclaimAngle);
    out.f32(configuration.particlesPerCubicMeter);
    out.flag(configuration.circular);
    out.f32(configuration.eightNeighbourProbability);
    out.flag(configuration.visualize);
    out.f32(configuration.particleVolumeFactor);
    out.f32(configuration.dropHeight);
    out.flag(configuration.cellsFromOrigin);
    out.flag(configuration.aimedThrow);
    out.flag(configuration.fallHeight.has_value());
    out.f32(configuration.fallHeight.value_or(0.0f));
}

KorvexConfiguration readConfiguration(SnapshotReader& in) {
    KorvexConfiguration configuration;
    configuration.length = in.f32();
    configuration.depth = in.f32();
    configuration.reclaimAngle = in.f32();
    configuration.particlesPerCubicMeter = in.f32();
    configuration.circular = in.flag();
    configuration.eightNeighbourProbability = in.f32();
    configuration.visualize = in.flag();
    configuration.particleVolumeFactor = in.f32();
    configuration.dropHeight = in.f32();
    configuration.cellsFromOrigin = in.flag();
    configuration.aimedThrow = in.flag();
    const bool hasFallHeight = in.flag();
    const float fallHeight = in.f32();
    if (hasFallHeight) {
        configuration.fallHeight = fallHeight;
    }
    return configuration;
}

namespace {

constexpr std::uint64_t checksumPrime = 0x100000001b3u;
constexpr std::uint64_t checksumStart = 0xcbf29ce484222325u;

/// The checksum's state after the whole words of `bytes`, from `hash`.
std::uint64_t checksumWords(std::uint64_t hash, std::span<const std::byte> bytes) {
    for (std::size_t at = 0; at + 8 <= bytes.size(); at += 8) {
        hash = (hash ^ fromLittleEndian<std::uint64_t>(bytes.subspan(at, 8))) * checksumPrime;
    }
    return hash;
}

/// The checksum from `hash`, the state after the words before `bytes`, with `length` bytes in all.
std::uint64_t checksumRest(std::uint64_t hash, std::span<const std::byte> bytes, std::uint64_t length) {
    hash = checksumWords(hash, bytes);
    for (std::size_t at = bytes.size() / 8 * 8; at < bytes.size(); ++at) {
        hash = (hash ^ std::to_integer<std::uint8_t>(bytes[at])) * checksumPrime;
    }
    return (hash ^ length) * checksumPrime;
}

/// Whether `file` would be whole, its checksum holding, had its header after the mark held these fields: so
/// that a damaged field is told from a file cut short or of a newer format.
bool soundWithHeader(std::span<const std::byte> file, std::uint32_t version, std::uint32_t kind,
                     std::uint64_t noteBytes, std::uint64_t payloadBytes) {
    if (noteBytes > file.size() || payloadBytes > file.size() ||
        headerBytes + noteBytes + payloadBytes + checksumBytes != file.size()) {
        return false;
    }
    const std::uint64_t end = headerBytes + noteBytes + payloadBytes;
    std::vector<std::byte> header;
    appendLittleEndian(header, version);
    appendLittleEndian(header, kind);
    appendLittleEndian(header, noteBytes);
    appendLittleEndian(header, payloadBytes);
    // The header after the mark is three whole words: the rest's words start where the file's do.
    const std::uint64_t hash = checksumWords(checksumStart, header);
    return checksumRest(hash, file.subspan(headerBytes, end - headerBytes), end - mark.size()) ==
           fromLittleEndian<std::uint64_t>(file.subspan(end));
}

}  // namespace

std::uint64_t snapshotChecksum(std::span<const std::byte> bytes) {
    // FNV-1a taken a word at a time: each step (xor, then a multiplication by an odd number modulo 2^64)
    // is a bijection of the state, so a change confined to one word always changes the result.
    return checksumRest(checksumStart, bytes, bytes.size());
}

std::vector<std::byte> frameSnapshot(SnapshotKind kind, std::span<const std::byte> payload,
                                     std::span<const std::byte> note) {
    std::vector<std::byte> file;
    file.reserve(headerBytes + note.size() + payload.size() + checksumBytes);
    for (const char c : mark) {
        file.push_back(static_cast<std::byte>(c));
    }
    appendLittleEndian(file, snapshotVersion);
    appendLittleEndian(file, static_cast<std::uint32_t>(kind));
    appendLittleEndian(file, static_cast<std::uint64_t>(note.size()));
    appendLittleEndian(file, static_cast<std::uint64_t>(payload.size()));
    file.insert(file.end(), note.begin(), note.end());
    file.insert(file.end(), payload.begin(), payload.end());
    appendLittleEndian(file, snapshotChecksum(std::span(file).subspan(mark.size())));
    return file;
}

OpenedSnapshot openSnapshot(std::span<const std::byte> file, std::span<const SnapshotKind> accepted) {
    const std::size_t markBytes = std::min(file.size(), mark.size());
    if (markBytes > 0 && std::memcmp(file.data(), mark.data(), markBytes) != 0) {
        throw SnapshotError("not a Korvex snapshot: the file does not begin with the mark \"KORVEXSN\"");
    }
    if (file.size() < headerBytes) {
        throw SnapshotError("snapshot is truncated: " + std::to_string(file.size()) +
                            " bytes, fewer than its " + std::to_string(headerBytes) + "-byte header");
    }
    const auto version = fromLittleEndian<std::uint32_t>(file.subspan(8));
    const auto storedKind = fromLittleEndian<std::uint32_t>(file.subspan(12));
    const auto noteBytes = fromLittleEndian<std::uint64_t>(file.subspan(16));
    const auto payloadBytes = fromLittleEndian<std::uint64_t>(file.subspan(24));
    const std::string corruptHeader = "snapshot is corrupt: its header does not match its checksum";
    if (version > snapshotVersion) {
        // A file of this version whose version field was damaged is whole and sound with the field
        // mended; a newer file is not.
        for (std::uint32_t known = 1; known <= snapshotVersion; ++known) {
            if (soundWithHeader(file, known, storedKind, noteBytes, payloadBytes)) {
                throw SnapshotError(corruptHeader);
            }
        }
        throw SnapshotError("snapshot format version " + std::to_string(version) +
                            " is newer than this Korvex reads (up to " + std::to_string(snapshotVersion) +
                            "): update Korvex to load it");
    }
    const std::uint64_t body = file.size() - headerBytes;
    if (noteBytes > body || payloadBytes > body - noteBytes || body - noteBytes - payloadBytes < checksumBytes) {
        // A whole file whose length field was damaged is sound with the field worked out from the file's
        // size; one cut short is not.
        const std::uint64_t lengths = body - std::min(body, checksumBytes);
        if ((noteBytes <= lengths && soundWithHeader(file, version, storedKind, noteBytes, lengths - noteBytes)) ||
            (payloadBytes <= lengths &&
             soundWithHeader(file, version, storedKind, lengths - payloadBytes, payloadBytes))) {
            throw SnapshotError(corruptHeader);
        }
        throw SnapshotError("snapshot is truncated: " + std::to_string(file.size()) +
                            " bytes where its header announces " +
                            std::to_string(headerBytes + noteBytes + payloadBytes + checksumBytes));
    }
    const std::size_t end = headerBytes + noteBytes + payloadBytes;
    if (file.size() != end + checksumBytes) {
        throw SnapshotError("snapshot is corrupt: " + std::to_string(file.size() - end - checksumBytes) +
                            " bytes follow its checksum");
    }
    if (version == 0 || snapshotChecksum(file.subspan(mark.size(), end - mark.size())) !=
                            fromLittleEndian<std::uint64_t>(file.subspan(end))) {
        throw SnapshotError("snapshot is corrupt: its checksum does not match its contents");
    }
    const auto kind = std::ranges::find(accepted, static_cast<SnapshotKind>(storedKind));
    if (kind == accepted.end()) {
        throw SnapshotError(std::string("snapshot holds ") + kindName(storedKind) + ", not " +
                            kindName(static_cast<std::uint32_t>(accepted.front())));
    }
    return {*kind, file.subspan(headerBytes + noteBytes, payloadBytes), file.subspan(headerBytes, noteBytes)};
}

}  // namespace korvex
