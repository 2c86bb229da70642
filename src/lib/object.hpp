// References to Python objects: Handle borrows (someone else keeps the object
// alive), Object owns one strong reference. Ownership changes hands only
// through the explicit steal/borrow/release calls, and a move nulls its source,
// so every reference count change is visible at the call site.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vastrel::py {

class Handle {
public:
    constexpr Handle() noexcept = default;
    constexpr Handle(PyObject* ptr) noexcept : ptr_(ptr) {}

    PyObject* ptr() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    PyTypeObject* type() const noexcept { return Py_TYPE(ptr_); }

    // A new strong reference to the same object, for APIs that steal one.
    PyObject* new_ref() const noexcept { return Py_XNewRef(ptr_); }

protected:
    PyObject* ptr_ = nullptr;
};

class Object : public Handle {
public:
    constexpr Object() noexcept = default;
    ~Object() { Py_XDECREF(ptr_); }

    // Takes over a reference the caller owns (a "new reference" result).
    static Object steal(PyObject* ptr) noexcept { return Object(ptr); }
    // Adds a reference to a borrowed object.
    static Object borrow(PyObject* ptr) noexcept { return Object(Py_XNewRef(ptr)); }

    Object(Object&& other) noexcept : Handle(std::exchange(other.ptr_, nullptr)) {}
    Object& operator=(Object&& other) noexcept {
        Object old(std::exchange(ptr_, std::exchange(other.ptr_, nullptr)));
        return *this;
    }
    // Copies would hide reference count traffic; use borrow() instead.
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // Gives the reference to the caller (for APIs that steal, or to return it).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

private:
    explicit Object(PyObject* ptr) noexcept : Handle(ptr) {}
};

}  // namespace vastrel::py
