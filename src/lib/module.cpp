// The extension module `vastrel`: its definition and PyInit_vastrel. Seen from
// Python, the module is:
//
//     __all__ = ["Gate", "Circuit", "set_num_threads"]
//
//     class Gate:                      # builtins.Gate, no constructor
//         """Python wrapper for the Gate enum"""
//         @staticmethod
//         def x(target: int) -> Gate: ...
//         @staticmethod
//         def h(target: int) -> Gate: ...
//         @staticmethod
//         def rz(target: int, theta: float) -> Gate: ...
//         @staticmethod
//         def crz(control: int, target: int, theta: float) -> Gate: ...
//         @staticmethod
//         def cnot(control: int, target: int) -> Gate: ...
//
//     class Circuit:                   # builtins.Circuit
//         """Python wrapper for the Circuit struct"""
//         def __new__(cls, gates: list[Gate]) -> Circuit: ...
//         def run(self, num_qubits: int) -> numpy.ndarray:   # complex64, 2**num_qubits
//             ...
//
//     def set_num_threads(num_threads: int) -> None:
//         """Set the number of threads for Rayon"""
//
// Failures inside the module raise pyo3_runtime.PanicException (a
// BaseException); argument errors raise TypeError, OverflowError or
// ValueError. The module may be initialised once per process.
#include <atomic>

#include "boundary.hpp"
#include "circuit_type.hpp"
#include "errors.hpp"
#include "gate_type.hpp"
#include "object.hpp"
#include "panic.hpp"
#include "threads.hpp"

namespace vastrel::py {

namespace {

// Set by the first initialisation that created a module object, never reset:
// the process-wide objects behind the module (the pool, the type objects)
// belong to one module object only.
std::atomic<bool> g_initialized{false};

static_assert(PYTHON_API_VERSION == 1013, "the module is built for C API version 1013");

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vastrel",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The module's __all__, created empty on first use.
Object all_list(Handle module) {
    Object name = check(PyUnicode_FromString("__all__"));
    PyObject* found = PyObject_GetAttr(module.ptr(), name.ptr());
    if (found != nullptr) {
        Object all = Object::steal(found);
        if (!PyList_Check(all.ptr())) {
            throw downcast_error(all, "PyList");
        }
        return all;
    }
    PyError error = PyError::fetch();
    if (!PyErr_GivenExceptionMatches(error.value().ptr(), PyExc_AttributeError)) {
        throw error;
    }
    Object all = check(PyList_New(0));
    if (PyObject_SetAttr(module.ptr(), name.ptr(), all.ptr()) < 0) {
        throw PyError::fetch();
    }
    return all;
}

// Records the name in __all__ first, then sets the attribute.
void add_member(Handle module, const char* name, Handle value) {
    Object all = all_list(module);
    Object key = check(PyUnicode_FromString(name));
    if (PyList_Append(all.ptr(), key.ptr()) < 0) {
        panic("could not append __name__ to __all__: " + PyError::fetch().debug_string());
    }
    if (PyObject_SetAttr(module.ptr(), key.ptr(), value.ptr()) < 0) {
        throw PyError::fetch();
    }
}

// Adds a function under its own __name__.
void add_function(Handle module, Handle function) {
    Object name = check(PyObject_GetAttrString(function.ptr(), "__name__"));
    if (!PyUnicode_Check(name.ptr())) {
        throw downcast_error(name, "PyString");
    }
    add_member(module, utf8_of(name).c_str(), function);
}

void fill_module(Handle module) {
    add_member(module, "Gate", reinterpret_cast<PyObject*>(gate_type_for_module()));
    add_member(module, "Circuit", reinterpret_cast<PyObject*>(circuit_type_for_module()));
    Object function = new_set_num_threads(module);
    add_function(module, function);
}

Object init_module() {
    Object module = Object::steal(PyModule_Create2(&kModuleDef, PYTHON_API_VERSION));
    if (!module) {
        throw PyError::fetch();
    }
    if (g_initialized.exchange(true, std::memory_order_seq_cst)) {
        throw PyError::make(PyExc_ImportError,
                            "PyO3 modules may only be initialized once per interpreter process");
    }
    fill_module(module);
    return module;
}

}  // namespace

}  // namespace vastrel::py

PyMODINIT_FUNC PyInit_vastrel(void) {
    vastrel::py::install_panic_report();
    return vastrel::py::call_boundary(&vastrel::py::init_module);
}
