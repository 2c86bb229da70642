// The two boundary wrappers every entry from the interpreter goes through: one
// for calls (a Python error is raised, a panic or any other C++ exception
// becomes PanicException), one for deallocation (failures go to the
// unraisable hook). Nothing escapes either of them.
#pragma once

#include <exception>
#include <source_location>
#include <utility>

#include "errors.hpp"
#include "object.hpp"
#include "panic.hpp"
#include "sim/panic.hpp"

namespace vastrel::py::detail {

// Turns the exception being handled into the current Python exception.
inline void set_current_exception(std::source_location where) {
    try {
        throw;
    } catch (PyError& error) {
        std::move(error).restore();
    } catch (const sim::Panic& p) {
        raise_panic_exception(p.message());
    } catch (const ResumedPanic& p) {
        raise_panic_exception(p.message);
    } catch (const std::exception& e) {
        raise_foreign_panic(e.what(), where);
    } catch (...) {
        raise_foreign_panic("a C++ exception of unknown type", where);
    }
}

}  // namespace vastrel::py::detail

namespace vastrel::py {

// Runs body (returning an Object); returns its new reference, or null with
// the failure set as the current Python exception.
template <class Body>
PyObject* call_boundary(Body&& body,
                        std::source_location where = std::source_location::current()) noexcept {
    try {
        try {
            return std::forward<Body>(body)().release();
        } catch (...) {
            detail::set_current_exception(where);
            return nullptr;
        }
    } catch (...) {
        abort_uncaught_panic();
    }
}

// Runs body while `self` is being deallocated; a failure is reported through
// the unraisable hook and the interpreter's pending exception, if any, is kept.
template <class Body>
void dealloc_boundary(PyObject* self, Body&& body,
                      std::source_location where = std::source_location::current()) noexcept {
    try {
        try {
            std::forward<Body>(body)();
        } catch (...) {
            PyObject* pending = PyErr_GetRaisedException();
            detail::set_current_exception(where);
            PyErr_WriteUnraisable(self);
            PyErr_SetRaisedException(pending);
        }
    } catch (...) {
        abort_uncaught_panic();
    }
}

}  // namespace vastrel::py
