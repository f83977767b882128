#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "core/chunk_table.h"

namespace korvex::python {

/// A view of a two-dimensional table of doubles, in place. Throws std::domain_error "array has incorrect
/// number of dimensions: ..." for any other number of dimensions.
TableView tableViewOf(const pybind11::array_t<double, pybind11::array::forcecast>& table);

/// Raises the pending KeyboardInterrupt (or whatever a signal handler raised) as a C++ exception.
/// Needs the GIL.
void raiseOnPendingSignal();

/// Adds `note` to the Python exception (PEP 678). Needs the GIL.
void addNote(pybind11::error_already_set& error, const std::string& note);

}  // namespace korvex::python
