// The one translation unit that defines NumPy's API table and imports it.
#define VASTREL_DEFINE_NUMPY_API
#include "numpy_api.hpp"

#include "errors.hpp"
#include "panic.hpp"

namespace vastrel::py {

void ensure_numpy_api() {
    if (PyArray_API != nullptr) {
        return;
    }
    if (_import_array() < 0) {
        // The importer may have stored the table before a version check failed.
        PyArray_API = nullptr;
        panic("Failed to access NumPy array API capsule: " + PyError::fetch().debug_string());
    }
}

}  // namespace vastrel::py
