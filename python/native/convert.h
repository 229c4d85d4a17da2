// Frames to RGB (camapi's converters) and to JPEG, into caller arrays.
#ifndef CAMKIT_PYTHON_CONVERT_H
#define CAMKIT_PYTHON_CONVERT_H

#include <pybind11/pybind11.h>

void bind_convert(pybind11::module_& m);

#endif  // CAMKIT_PYTHON_CONVERT_H
