#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/averaged_parameters.h"
#include "core/configuration.h"

namespace korvex {

/// A snapshot that cannot be read: truncated, corrupt, foreign, of a newer format or of another kind of
/// pile. The message says which; nothing has been changed by then.
class SnapshotError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

/// What a snapshot holds.
enum class SnapshotKind : std::uint32_t { pile = 1, ring = 2, layeredPile = 3 };

/// Format version written now; files of a higher version are refused.
inline constexpr std::uint32_t snapshotVersion = 1;

/// Appends values to a growing payload, little-endian whatever the machine, so that a snapshot reads the
/// same everywhere.
class SnapshotWriter {
public:
    void u8(std::uint8_t value) { bytes_.push_back(static_cast<std::byte>(value)); }
    void u32(std::uint32_t value);
    void u64(std::uint64_t value);
    void i32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }
    void f32(float value);
    void f64(double value);
    void flag(bool value) { u8(value ? 1 : 0); }
    /// A count, then the values.
    void doubles(std::span<const double> values);
    /// The values without their count, for a reader that knows it.
    void rawDoubles(std::span<const double> values);
    void rawFloats(std::span<const float> values);
    void rawInt32s(std::span<const std::int32_t> values);
    void text(const std::string& value);
    void blob(std::span<const std::byte> value);
    void material(const AveragedParameters& value);

    const std::vector<std::byte>& bytes() const { return bytes_; }

private:
    std::vector<std::byte> bytes_;
};

/// Reads what a SnapshotWriter wrote, in the same order. Every read is bounded by the bytes left, so that
/// no count in a damaged payload makes it allocate more than the payload could hold; an overrun throws
/// SnapshotError.
class SnapshotReader {
public:
    explicit SnapshotReader(std::span<const std::byte> payload) : rest(payload) {}

    std::uint8_t u8();
    std::uint32_t u32();
    std::uint64_t u64();
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    float f32();
    double f64();
    bool flag();
    std::vector<double> doubles();
    void rawDoubles(std::span<double> into);
    void rawFloats(std::span<float> into);
    void rawInt32s(std::span<std::int32_t> into);
    std::string text();
    std::vector<std::byte> blob();
    AveragedParameters material();
    /// Reads a count of items of `itemBytes` each, refusing one that more bytes than are left would hold.
    std::size_t count(std::size_t itemBytes);
    /// Throws SnapshotError unless at least `size` bytes are left.
    void require(std::size_t size, const char* what) const;
    /// Throws SnapshotError unless every byte has been read.
    void finish() const;
    std::size_t remaining() const { return rest.size(); }

private:
    std::span<const std::byte> take(std::size_t size);

    std::span<const std::byte> rest;
};

/// The settings of an engine, field by field.
void writeConfiguration(SnapshotWriter& out, const KorvexConfiguration& configuration);
KorvexConfiguration readConfiguration(SnapshotReader& in);

/// A whole snapshot file: the mark "KORVEXSN", the format version, the kind, the note's and the payload's
/// lengths, the note (the caller's own bytes, kept beside the pile), the payload, then a 64-bit checksum
/// of everything after the mark.
std::vector<std::byte> frameSnapshot(SnapshotKind kind, std::span<const std::byte> payload,
                                     std::span<const std::byte> note);

/// A snapshot file opened and checked: its kind, payload and note, views into the file's bytes.
struct OpenedSnapshot {
    SnapshotKind kind;
    std::span<const std::byte> payload;
    std::span<const std::byte> note;
};

/// Checks a snapshot file and finds its parts. Throws SnapshotError saying whether it is foreign (no
/// mark), of a newer version, truncated, corrupt (checksum or lengths do not match) or of none of the
/// kinds `accepted` (the first names what was asked for), checked in that order.
OpenedSnapshot openSnapshot(std::span<const std::byte> file, std::span<const SnapshotKind> accepted);
inline OpenedSnapshot openSnapshot(std::span<const std::byte> file, SnapshotKind kind) {
    return openSnapshot(file, std::span(&kind, 1));
}

/// A checksum of 64 bits in which any change of a single 8-byte word shows.
std::uint64_t snapshotChecksum(std::span<const std::byte> bytes);

}  // namespace korvex
