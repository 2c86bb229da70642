// PyError and the module's shared error builders and renderings.
#include "errors.hpp"

#include <unistd.h>

#include "fd_write.hpp"
#include "panic.hpp"

namespace vastrel::py {

namespace {

// A PanicException that came back through Python code (an __index__ that
// called into the module, say) continues as the panic it was: Python's view of
// it is printed and the unwinding goes on with the same message.
[[noreturn]] [[gnu::cold]] void resume_panic(Object exception) {
    std::string message;
    PyObject* text = PyObject_Str(exception.ptr());
    if (text != nullptr) {
        message = utf8_of(text);
        Py_DECREF(text);
    } else {
        PyErr_Clear();
        message = "Unwrapped panic from Python code";
    }
    write_all(STDERR_FILENO, "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n");
    write_all(STDERR_FILENO, "Python stack trace below:\n");
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw ResumedPanic{std::move(message)};
}

// The text for a failed str()/repr(): the error is dropped, since a message
// under construction has nowhere to put it.
std::string unprintable(Handle obj) {
    PyErr_Clear();
    std::string text = "<unprintable ";
    text += Py_TYPE(obj.ptr())->tp_name;
    text += " object>";
    return text;
}

}  // namespace

PyError PyError::fetch() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        return make(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    Object exception = Object::steal(raised);
    PyTypeObject* panic_type = panic_exception_type_if_created();
    if (panic_type != nullptr && Py_IS_TYPE(raised, panic_type)) {
        resume_panic(std::move(exception));
    }
    return PyError(std::move(exception));
}

PyError PyError::make(PyObject* type, Handle message) {
    PyErr_SetObject(type, message.ptr());
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        // Unreachable with a valid type; keep the invariant of a non-null value.
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        raised = PyErr_GetRaisedException();
    }
    return PyError(Object::steal(raised));
}

PyError PyError::make(PyObject* type, const char* message) {
    PyObject* text = PyUnicode_FromString(message);
    if (text == nullptr) {
        return PyError(Object::steal(PyErr_GetRaisedException()));
    }
    Object owned = Object::steal(text);
    return make(type, owned);
}

std::string PyError::debug_string() const {
    std::string out = "PyErr { type: ";
    out += repr_of(reinterpret_cast<PyObject*>(Py_TYPE(exception_.ptr())));
    out += ", value: ";
    out += repr_of(exception_);
    out += ", traceback: ";
    Object traceback = Object::steal(PyException_GetTraceback(exception_.ptr()));
    out += traceback ? repr_of(traceback) : std::string("None");
    out += " }";
    return out;
}

Object check(PyObject* result) {
    if (result == nullptr) {
        throw PyError::fetch();
    }
    return Object::steal(result);
}

Object expect_api(PyObject* result, std::source_location where) {
    if (result == nullptr) {
        PyErr_Print();
        panic("Python API call failed", where);
    }
    return Object::steal(result);
}

PyError downcast_error(Handle obj, const char* expected) {
    PyObject* name = PyType_GetQualName(Py_TYPE(obj.ptr()));
    Object type_name;
    if (name != nullptr) {
        type_name = Object::steal(name);
    } else {
        PyErr_Clear();
        type_name = check(PyUnicode_FromString("<failed to extract type name>"));
    }
    Object message = check(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'",
                                                type_name.ptr(), expected));
    return PyError::make(PyExc_TypeError, message);
}

PyError argument_error(const char* name, PyError error) {
    if (!error.is_exactly(PyExc_TypeError)) {
        return error;
    }
    PyObject* text = PyObject_Str(error.value().ptr());
    Object message;
    if (text != nullptr) {
        Object owned = Object::steal(text);
        message = check(PyUnicode_FromFormat("argument '%s': %U", name, owned.ptr()));
    } else {
        std::string stand_in = unprintable(error.value());
        message = check(PyUnicode_FromFormat("argument '%s': %s", name, stand_in.c_str()));
    }
    PyError renamed = PyError::make(PyExc_TypeError, message);
    // SetCause steals the (possibly null) reference GetCause returned.
    PyException_SetCause(renamed.value().ptr(), PyException_GetCause(error.value().ptr()));
    return renamed;
}

std::string utf8_of(Handle str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str.ptr(), &size);
    if (data != nullptr) {
        return std::string(data, static_cast<std::size_t>(size));
    }
    // Lone surrogates have no UTF-8 form.
    PyErr_Clear();
    PyObject* bytes = PyUnicode_AsEncodedString(str.ptr(), "utf-8", "replace");
    if (bytes == nullptr) {
        PyErr_Clear();
        return "<unencodable text>";
    }
    std::string out(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
    Py_DECREF(bytes);
    return out;
}

std::string str_of(Handle obj) {
    PyObject* text = PyObject_Str(obj.ptr());
    if (text == nullptr) {
        return unprintable(obj);
    }
    Object owned = Object::steal(text);
    return utf8_of(owned);
}

std::string repr_of(Handle obj) {
    PyObject* text = PyObject_Repr(obj.ptr());
    if (text == nullptr) {
        return unprintable(obj);
    }
    Object owned = Object::steal(text);
    return utf8_of(owned);
}

}  // namespace vastrel::py
