// PyGate: the Python class Gate ("builtins.Gate"), one core Gate value per
// instance, built only by its five static constructors.
#pragma once

#include "object.hpp"
#include "sim/gate.hpp"

namespace vastrel::py {

struct PyGate {
    PyObject_HEAD
    sim::Gate gate;
};

// The Gate type object, created on first request (see LazyType).
PyTypeObject* gate_type();
PyTypeObject* gate_type_for_module();

// Instances of Gate or of a subtype.
bool is_gate(Handle obj);
inline const sim::Gate& gate_of(Handle obj) { return reinterpret_cast<PyGate*>(obj.ptr())->gate; }

}  // namespace vastrel::py
