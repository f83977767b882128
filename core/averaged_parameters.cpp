#include "core/averaged_parameters.h"

#include <stdexcept>

namespace korvex {

AveragedParameters::AveragedParameters(double volume, std::span<const double> values)
    : volume(volume), sums(values.size(), 0.0) {
    for (std::size_t k = 0; k < values.size(); ++k) {
        sums[k] = volume * values[k] + sums[k];
    }
}

void AveragedParameters::add(const AveragedParameters& other) {
    if (other.sums.empty() && other.volume < zeroVolume) {
        return;
    }
    if (sums.empty()) {
        sums.resize(other.sums.size(), 0.0);
    }
    if (sums.size() != other.sums.size()) {
        throw ParameterCountError();
    }
    volume = other.volume + volume;
    for (std::size_t k = 0; k < sums.size(); ++k) {
        sums[k] = other.sums[k] + sums[k];
    }
}

std::vector<double> AveragedParameters::averages() const {
    std::vector<double> result = sums;
    if (volume > zeroVolume) {
        for (double& value : result) {
            value /= volume;
        }
    }
    return result;
}

AveragedParameters AveragedParameters::pop(double amount) {
    AveragedParameters result;
    pop(amount, result);
    return result;
}

void AveragedParameters::pop(double amount, AveragedParameters& part) {
    if (amount > volume) {
        throw std::runtime_error("could not pop volume, not enough volume left");
    }
    // Built as the constructor would build it from the averages, without an array of averages in between;
    // the stacking loop hands the same part in for every particle, so that it allocates nothing.
    part.volume = amount;
    part.sums.resize(sums.size());
    const bool divide = volume > zeroVolume;
    for (std::size_t k = 0; k < sums.size(); ++k) {
        const double average = divide ? sums[k] / volume : sums[k];
        part.sums[k] = amount * average + 0.0;
    }
    // Popping nothing from an empty record would scale by 0/0; it changes nothing.
    if (amount == 0.0 && volume == 0.0) {
        return;
    }
    const double remaining = volume - amount;
    const double factor = remaining / volume;
    for (double& sum : sums) {
        sum = factor * sum;
    }
    volume = remaining;
}

void AveragedParameters::reset() {
    volume = 0.0;
    sums.clear();
}

}  // namespace korvex
