#include "conversions.h"

#include <stdexcept>
#include <string>

namespace korvex::python {

TableView tableViewOf(const pybind11::array_t<double, pybind11::array::forcecast>& table) {
    if (table.ndim() != 2) {
        throw std::domain_error("array has incorrect number of dimensions: " + std::to_string(table.ndim()) +
                                "; expected 2");
    }
    return TableView{reinterpret_cast<const std::byte*>(table.data()),
                     static_cast<std::size_t>(table.shape(0)), static_cast<std::size_t>(table.shape(1)),
                     table.strides(0), table.strides(1)};
}

void raiseOnPendingSignal() {
    if (PyErr_CheckSignals() != 0) {
        throw pybind11::error_already_set();
    }
}

void addNote(pybind11::error_already_set& error, const std::string& note) {
    error.value().attr("add_note")(note);
}

}  // namespace korvex::python
