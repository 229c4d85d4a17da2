// The camera catalogue and camctl's choice of defaults, as Python values.
#ifndef CAMKIT_PYTHON_CATALOGUE_H
#define CAMKIT_PYTHON_CATALOGUE_H

#include <pybind11/pybind11.h>

void bind_catalogue(pybind11::module_& m);

#endif  // CAMKIT_PYTHON_CATALOGUE_H
