#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "korvex_lib_python.h"

namespace py = pybind11;

PYBIND11_MODULE(_korvex_lib, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Korvex Lib for Python";
    py::class_<KorvexLibPython>(m, "KorvexLib")
        .def(py::init<float, float, float, float, bool, float, float, float, bool, float>())
        .def("stack", &KorvexLibPython::stack)
        .def("stack_list", &KorvexLibPython::stack_list)
        .def("reclaim", &KorvexLibPython::reclaim)
        .def("get_heights", &KorvexLibPython::get_heights);
}
