// PyCircuit: the Python class Circuit ("builtins.Circuit"), which owns one
// core Circuit built from a list of Gates and runs it for a qubit count.
#pragma once

#include "object.hpp"
#include "sim/circuit.hpp"

namespace vastrel::py {

struct PyCircuit {
    PyObject_HEAD
    sim::Circuit circuit;
};

// The Circuit type object for module initialisation (see LazyType).
PyTypeObject* circuit_type_for_module();

}  // namespace vastrel::py
