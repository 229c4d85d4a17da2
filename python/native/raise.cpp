#include "raise.h"

#include <pybind11/pybind11.h>
#include <string.h>

namespace py = pybind11;

void raise_os_error(int err, const std::string& what) {
    const std::string text = what + ": " + strerror(err);
    PyObject* e = PyObject_CallFunction(PyExc_OSError, "is", err, text.c_str());
    if (e) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e)), e);
        Py_DECREF(e);
    }
    throw py::error_already_set();
}
