// LazyType and the per-instance helpers shared by Gate, Circuit and
// PySliceContainer.
#include "type_object.hpp"

#include <string>

#include "boundary.hpp"
#include "errors.hpp"
#include "panic.hpp"

namespace vastrel::py {

PyTypeObject* LazyType::get_or_create() {
    if (type_ == nullptr) {
        Object type = check(PyType_FromSpec(spec_));
        // Creation runs no Python code of ours, but keep the first stored.
        if (type_ == nullptr) {
            type_ = reinterpret_cast<PyTypeObject*>(type.release());
        }
    }
    return type_;
}

PyTypeObject* LazyType::get() {
    if (type_ != nullptr) {
        return type_;
    }
    try {
        return get_or_create();
    } catch (PyError& error) {
        std::move(error).restore();
        PyErr_PrintEx(0);
        panic(std::string("failed to create type object for ") + class_name_);
    }
}

PyTypeObject* LazyType::get_for_module() {
    try {
        return get_or_create();
    } catch (PyError& error) {
        std::string text = std::string("An error occurred while initializing class ") + class_name_;
        PyError wrapped = PyError::make(PyExc_RuntimeError, text.c_str());
        PyException_SetCause(wrapped.value().ptr(), error.value().new_ref());
        throw wrapped;
    }
}

PyObject* alloc_instance(PyTypeObject* type) noexcept {
    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    return alloc(type, 0);
}

void free_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) noexcept {
    return call_boundary(
        []() -> Object { throw PyError::make(PyExc_TypeError, "No constructor defined"); });
}

}  // namespace vastrel::py
