#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "pile/pile.h"

/// The native object behind a Python KorvexLib: converts the Python calls into those of the pile it owns.
class KorvexLibPython {
public:
    /// Throws std::invalid_argument for a setting no engine can work with.
    KorvexLibPython(float length, float depth, float reclaimAngle, float particlesPerCubicMeter,
                    bool circular, float eightNeighbourProbability, float particleVolumeFactor,
                    float dropHeight, bool detailed, float reclaimIncrement);

    void stack(double timestamp, float x, float z, double volume, const std::vector<double>& parameters);
    /// Checks the whole table before stacking any row of it.
    void stack_list(const pybind11::array_t<double, pybind11::array::forcecast>& table,
                    const std::vector<std::string>& columns);
    pybind11::dict reclaim();
    std::vector<std::vector<float>> get_heights();

    korvex::Pile pile;
};
