// NumPy's array API, imported through NumPy's own importer (which finds
// numpy._core or numpy.core and checks ABI and API versions) at the first
// result, never at module import. Include this instead of NumPy's headers.
#pragma once

#include "object.hpp"

// One API table for the whole module, defined in numpy_api.cpp.
#define PY_ARRAY_UNIQUE_SYMBOL vastrel_numpy_api
#ifndef VASTREL_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace vastrel::py {

// Makes PyArray_API usable. A failure panics "Failed to access NumPy array API
// capsule: <error>" and leaves the table empty, so a later call tries again.
void ensure_numpy_api();

}  // namespace vastrel::py
