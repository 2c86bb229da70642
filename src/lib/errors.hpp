// PyError: a Python exception carried through C++ as one owned exception
// object, thrown from where a call failed and restored once, at the boundary.
// Also the shared ways of building the module's TypeErrors and of rendering
// an error inside a panic message.
#pragma once

#include <source_location>
#include <string>

#include "object.hpp"

namespace vastrel::py {

class PyError {
public:
    explicit PyError(Object exception) noexcept : exception_(std::move(exception)) {}

    // Takes the interpreter's current exception after a failed call. A
    // PanicException coming back from Python resumes that panic instead; with
    // no exception set this is SystemError "attempted to fetch exception but
    // none was set".
    static PyError fetch();

    // A new exception `type(message)`, raised and taken back at once so that
    // it chains to the exception being handled, exactly as a raise would.
    static PyError make(PyObject* type, Handle message);
    static PyError make(PyObject* type, const char* message);

    Handle value() const noexcept { return exception_; }
    bool is_exactly(PyObject* type) const noexcept {
        return Py_IS_TYPE(exception_.ptr(), reinterpret_cast<PyTypeObject*>(type));
    }

    // Makes this the interpreter's current exception.
    void restore() && noexcept { PyErr_SetRaisedException(exception_.release()); }

    // "PyErr { type: <class 'T'>, value: T('...'), traceback: None }", each
    // field by its repr.
    std::string debug_string() const;

private:
    Object exception_;
};

// Steals a call's new-reference result; null means the call failed, and its
// error is thrown.
Object check(PyObject* result);

// For calls that cannot fail short of a broken interpreter: a null result
// prints the pending error and panics "Python API call failed".
Object expect_api(PyObject* result, std::source_location where = std::source_location::current());

// TypeError "'<type of obj>' object cannot be converted to '<expected>'".
PyError downcast_error(Handle obj, const char* expected);

// A conversion failure of argument `name`: an exact TypeError is replaced by
// TypeError "argument '<name>': <its text>" with its __cause__; any other
// error passes unchanged.
PyError argument_error(const char* name, PyError error);

// The UTF-8 text of a str object (unencodable characters replaced).
std::string utf8_of(Handle str);
// str() and repr() as text, with a stand-in for objects that cannot print.
std::string str_of(Handle obj);
std::string repr_of(Handle obj);

}  // namespace vastrel::py
