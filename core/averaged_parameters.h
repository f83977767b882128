#pragma once

#include <span>
#include <stdexcept>
#include <vector>

namespace korvex {

/// Material whose count of quality values differs from the count already fixed. A std::runtime_error
/// "invalid parameter count", so that `_korvex_lib` raises what it always raised, while the package's face
/// tells it apart by its type.
class ParameterCountError : public std::runtime_error {
public:
    ParameterCountError() : std::runtime_error("invalid parameter count") {}
};

/// A quantity of bulk material: its volume and, per quality parameter, the
/// volume-weighted sum of that parameter. Sums rather than averages make
/// merging an addition and taking a part a proportional scaling.
struct AveragedParameters {
    /// Volumes at or below this count as zero: averages are then not divided.
    static constexpr double zeroVolume = 1e-100;

    double volume = 0.0;
    /// Empty while the parameter count is not yet known.
    std::vector<double> sums;

    AveragedParameters() = default;
    /// Material of `volume` whose parameter k has the value `values[k]`.
    AveragedParameters(double volume, std::span<const double> values);

    /// Merges `other` into this record. Throws ParameterCountError (and
    /// changes nothing) when both records have parameters and their counts
    /// differ.
    void add(const AveragedParameters& other);

    /// The per-parameter averages; the sums undivided when the volume is zero.
    std::vector<double> averages() const;

    /// Removes `amount` of volume with the current averages and returns it.
    /// Throws std::runtime_error "could not pop volume, not enough volume left"
    /// (and changes nothing) when `amount` exceeds the volume.
    AveragedParameters pop(double amount);
    /// pop into `part`, whose sums' storage is reused: no allocation once it has held as many parameters.
    void pop(double amount, AveragedParameters& part);

    /// Forgets the material and its parameter count.
    void reset();
};

}  // namespace korvex
