// Argument conversions for qubit indices, counts and angles.
#include "convert.hpp"

#include <limits>

#include "errors.hpp"

namespace vastrel::py {

static_assert(std::numeric_limits<double>::is_iec559 && std::numeric_limits<float>::is_iec559,
              "narrowing relies on IEEE conversion: round to nearest even, overflow to infinity");

std::uint64_t extract_u64(Handle obj, const char* name) {
    PyObject* index = PyNumber_Index(obj.ptr());
    if (index == nullptr) {
        throw argument_error(name, PyError::fetch());
    }
    Object owned = Object::steal(index);
    unsigned long long value = PyLong_AsUnsignedLongLong(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        throw argument_error(name, PyError::fetch());
    }
    return value;
}

float extract_f32(Handle obj, const char* name) {
    double value;
    if (PyFloat_CheckExact(obj.ptr())) {
        value = PyFloat_AS_DOUBLE(obj.ptr());
    } else {
        value = PyFloat_AsDouble(obj.ptr());
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            throw argument_error(name, PyError::fetch());
        }
    }
    return static_cast<float>(value);
}

}  // namespace vastrel::py
