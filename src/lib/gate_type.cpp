// The Gate class: its static constructors x, h, rz, crz and cnot, which
// convert their arguments in parameter order and wrap one core Gate.
#include "gate_type.hpp"

#include <memory>
#include <new>

#include "args.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "panic.hpp"
#include "type_object.hpp"

namespace vastrel::py {

namespace {

constexpr const char* kTargetParams[] = {"target"};
constexpr const char* kRzParams[] = {"target", "theta"};
constexpr const char* kCrzParams[] = {"control", "target", "theta"};
constexpr const char* kCnotParams[] = {"control", "target"};

constinit FunctionDescription kXDescription{"Gate", "x", kTargetParams};
constinit FunctionDescription kHDescription{"Gate", "h", kTargetParams};
constinit FunctionDescription kRzDescription{"Gate", "rz", kRzParams};
constinit FunctionDescription kCrzDescription{"Gate", "crz", kCrzParams};
constinit FunctionDescription kCnotDescription{"Gate", "cnot", kCnotParams};

Object new_gate(const sim::Gate& gate) {
    PyTypeObject* type = gate_type();
    PyObject* obj = alloc_instance(type);
    if (obj == nullptr) {
        panic("called `Result::unwrap()` on an `Err` value: " + PyError::fetch().debug_string());
    }
    std::construct_at(&reinterpret_cast<PyGate*>(obj)->gate, gate);
    return Object::steal(obj);
}

PyObject* gate_x(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary([&] {
        PyObject* values[1];
        kXDescription.parse_fastcall(args, nargs, kwnames, values);
        return new_gate(sim::X{extract_u64(values[0], "target")});
    });
}

PyObject* gate_h(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary([&] {
        PyObject* values[1];
        kHDescription.parse_fastcall(args, nargs, kwnames, values);
        return new_gate(sim::H{extract_u64(values[0], "target")});
    });
}

PyObject* gate_rz(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary([&] {
        PyObject* values[2];
        kRzDescription.parse_fastcall(args, nargs, kwnames, values);
        std::uint64_t target = extract_u64(values[0], "target");
        float theta = extract_f32(values[1], "theta");
        return new_gate(sim::Rz{target, theta});
    });
}

PyObject* gate_crz(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary([&] {
        PyObject* values[3];
        kCrzDescription.parse_fastcall(args, nargs, kwnames, values);
        std::uint64_t control = extract_u64(values[0], "control");
        std::uint64_t target = extract_u64(values[1], "target");
        float theta = extract_f32(values[2], "theta");
        return new_gate(sim::Crz{control, target, theta});
    });
}

PyObject* gate_cnot(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_boundary([&] {
        PyObject* values[2];
        kCnotDescription.parse_fastcall(args, nargs, kwnames, values);
        std::uint64_t control = extract_u64(values[0], "control");
        std::uint64_t target = extract_u64(values[1], "target");
        return new_gate(sim::Cnot{control, target});
    });
}

void gate_dealloc(PyObject* self) noexcept {
    dealloc_boundary(self, [&] { std::destroy_at(&reinterpret_cast<PyGate*>(self)->gate); });
    free_instance(self);
}

constexpr int kStaticFastcall = METH_STATIC | METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kGateMethods[] = {
    {"x", as_cfunction(gate_x), kStaticFastcall, "x(target)\n--\n\n"},
    {"h", as_cfunction(gate_h), kStaticFastcall, "h(target)\n--\n\n"},
    {"rz", as_cfunction(gate_rz), kStaticFastcall, "rz(target, theta)\n--\n\n"},
    {"crz", as_cfunction(gate_crz), kStaticFastcall, "crz(control, target, theta)\n--\n\n"},
    {"cnot", as_cfunction(gate_cnot), kStaticFastcall, "cnot(control, target)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kGateSlots[] = {
    {Py_tp_doc, const_cast<char*>("Python wrapper for the Gate enum")},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(gate_dealloc)},
    {Py_tp_methods, kGateMethods},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {0, nullptr},
};

PyType_Spec kGateSpec = {
    .name = "builtins.Gate",
    .basicsize = static_cast<int>(sizeof(PyGate)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kGateSlots,
};

constinit LazyType g_gate_type{"Gate", &kGateSpec};

}  // namespace

PyTypeObject* gate_type() { return g_gate_type.get(); }
PyTypeObject* gate_type_for_module() { return g_gate_type.get_for_module(); }

bool is_gate(Handle obj) {
    PyTypeObject* type = gate_type();
    return Py_IS_TYPE(obj.ptr(), type) || PyType_IsSubtype(Py_TYPE(obj.ptr()), type);
}

}  // namespace vastrel::py
