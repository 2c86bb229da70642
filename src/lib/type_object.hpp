// LazyType: a class's heap type object, made from its PyType_Spec on the first
// request and kept for the rest of the process; and the pieces every class of
// the module shares (allocation, freeing, the refusing constructor).
#pragma once

#include "object.hpp"

namespace vastrel::py {

class LazyType {
public:
    constexpr LazyType(const char* class_name, PyType_Spec* type_spec) noexcept
        : class_name_(class_name), spec_(type_spec) {}

    // For creating and checking instances: a creation failure is printed and
    // becomes the panic "failed to create type object for <class>".
    PyTypeObject* get();
    // For module initialisation: a creation failure becomes RuntimeError
    // "An error occurred while initializing class <class>", caused by it.
    PyTypeObject* get_for_module();

private:
    PyTypeObject* get_or_create();  // throws the creation error

    const char* class_name_;
    PyType_Spec* spec_;
    PyTypeObject* type_ = nullptr;  // filled once, under the interpreter lock
};

// A new zero-filled instance of type (through its tp_alloc), or null with the
// interpreter's error set.
PyObject* alloc_instance(PyTypeObject* type) noexcept;

// Returns an instance's memory after its value was destroyed. Instances of
// heap types hold a reference to their type, dropped here.
void free_instance(PyObject* self) noexcept;

// tp_new of the classes that cannot be built from Python: TypeError "No
// constructor defined" (never object.__new__, which would give an instance
// without a valid value).
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// PyMethodDef takes every calling convention as PyCFunction.
template <class F>
PyCFunction as_cfunction(F* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace vastrel::py
