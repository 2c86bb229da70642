// The Circuit class: Circuit(gates) copies the Gate values out of a list, and
// run(num_qubits) simulates from |0...0> and hands the state to NumPy.
#include "circuit_type.hpp"

#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "args.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "gate_type.hpp"
#include "panic.hpp"
#include "result_array.hpp"
#include "sim/amplitude_memory.hpp"
#include "sim/state_vector.hpp"
#include "sim/system_limits.hpp"
#include "type_object.hpp"

namespace vastrel::py {

namespace {

constexpr const char* kNewParams[] = {"gates"};
constexpr const char* kRunParams[] = {"num_qubits"};
constinit FunctionDescription kNewDescription{"Circuit", "__new__", kNewParams};
constinit FunctionDescription kRunDescription{"Circuit", "run", kRunParams};

// "8.0 TiB", "371.2 MiB".
std::string binary_size(long double bytes) {
    static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(kUnits)) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1Lf %s", bytes, kUnits[unit]);
    return text;
}

// Memory the machine will not give is the caller's problem to solve, not a
// broken invariant: MemoryError, and the circuit stays usable. Where the
// state was refused for want of room, the message says how much is left.
[[gnu::cold]] PyError state_memory_error(std::uint64_t num_qubits,
                                         std::optional<std::size_t> left = std::nullopt) {
    long double bytes = std::ldexp(static_cast<long double>(sizeof(sim::Complex32)),
                                   static_cast<int>(num_qubits));
    std::string text = "cannot allocate " + binary_size(bytes) + " for the state of " +
                       std::to_string(num_qubits) + " qubits";
    if (left) {
        text += ": " + binary_size(static_cast<long double>(*left)) + " left";
    }
    return PyError::make(PyExc_MemoryError, text.c_str());
}

[[gnu::cold]] PyError gates_memory_error(Py_ssize_t count) {
    std::string text = "cannot allocate memory for a circuit of " + std::to_string(count) + " gates";
    return PyError::make(PyExc_MemoryError, text.c_str());
}

[[noreturn]] [[gnu::cold]] void not_a_gate(Handle item) {
    panic("called `Result::unwrap()` on an `Err` value: " + downcast_error(item, "Gate").debug_string());
}

// Reads the list's own storage (a subclass's __iter__/__getitem__ is not
// called) and re-reads its length at every step. Nothing here runs Python
// code, so the list cannot change under the walk.
std::vector<sim::Gate> copy_gates(Handle list) {
    std::vector<sim::Gate> gates;
    gates.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list.ptr())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        Handle item = PyList_GET_ITEM(list.ptr(), i);
        if (!is_gate(item)) {
            not_a_gate(item);
        }
        gates.push_back(gate_of(item));
    }
    return gates;
}

sim::Circuit build_circuit(Handle list) {
    try {
        return sim::Circuit(copy_gates(list));
    } catch (const std::bad_alloc&) {
        throw gates_memory_error(PyList_GET_SIZE(list.ptr()));
    } catch (const std::length_error&) {
        throw gates_memory_error(PyList_GET_SIZE(list.ptr()));
    }
}

PyObject* circuit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return call_boundary([&] {
        PyObject* values[1];
        kNewDescription.parse_tuple_dict(args, kwargs, values);
        Handle gates = values[0];
        if (!PyList_Check(gates.ptr())) {
            throw argument_error("gates", downcast_error(gates, "PyList"));
        }
        sim::Circuit circuit = build_circuit(gates);
        Object self = check(alloc_instance(type));
        std::construct_at(&reinterpret_cast<PyCircuit*>(self.ptr())->circuit, std::move(circuit));
        return self;
    });
}

sim::StateVector new_state(std::uint64_t num_qubits) {
    try {
        return sim::StateVector(num_qubits);
    } catch (const sim::OutOfMemory&) {
        throw state_memory_error(num_qubits, sim::memory_left());
    } catch (const std::bad_alloc&) {
        throw state_memory_error(num_qubits);
    }
}

// The first kernel commits the state's pages; refused, they are given back
// with the state before what is left is measured.
Object run_circuit(const sim::Circuit& circuit, std::uint64_t num_qubits) {
    {
        sim::StateVector state = new_state(num_qubits);
        try {
            circuit.run(state);
            return result_array(std::move(state));
        } catch (const sim::OutOfMemory&) {
        }
    }
    throw state_memory_error(num_qubits, sim::memory_left());
}

PyObject* circuit_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return call_boundary([&] {
        PyObject* values[1];
        kRunDescription.parse_fastcall(args, nargs, kwnames, values);
        std::uint64_t num_qubits = extract_u64(values[0], "num_qubits");
        return run_circuit(reinterpret_cast<PyCircuit*>(self)->circuit, num_qubits);
    });
}

void circuit_dealloc(PyObject* self) noexcept {
    dealloc_boundary(self, [&] { std::destroy_at(&reinterpret_cast<PyCircuit*>(self)->circuit); });
    free_instance(self);
}

PyMethodDef kCircuitMethods[] = {
    {"run", as_cfunction(circuit_run), METH_FASTCALL | METH_KEYWORDS, "run($self, num_qubits)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kCircuitSlots[] = {
    {Py_tp_doc, const_cast<char*>("Circuit(gates)\n--\n\nPython wrapper for the Circuit struct")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(circuit_dealloc)},
    {Py_tp_methods, kCircuitMethods},
    {Py_tp_new, reinterpret_cast<void*>(circuit_new)},
    {0, nullptr},
};

PyType_Spec kCircuitSpec = {
    .name = "builtins.Circuit",
    .basicsize = static_cast<int>(sizeof(PyCircuit)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kCircuitSlots,
};

constinit LazyType g_circuit_type{"Circuit", &kCircuitSpec};

}  // namespace

PyTypeObject* circuit_type_for_module() { return g_circuit_type.get_for_module(); }

}  // namespace vastrel::py
