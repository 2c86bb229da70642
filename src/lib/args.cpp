// The argument parser. The order of its checks is part of its contract: too
// many positional arguments, then each keyword in the order given (a repeated
// or an unknown one), then the missing parameters.
#include "args.hpp"

#include "errors.hpp"

namespace vastrel::py {

void FunctionDescription::parse_fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                         std::span<PyObject*> out) const {
    take_positional(args, nargs, out);
    if (kwnames != nullptr) {
        Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            take_keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
        }
    }
    check_complete(out);
}

void FunctionDescription::parse_tuple_dict(PyObject* args, PyObject* kwargs,
                                           std::span<PyObject*> out) const {
    take_positional(reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args), out);
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &name, &value)) {
            take_keyword(name, value, out);
        }
    }
    check_complete(out);
}

void FunctionDescription::take_positional(PyObject* const* args, Py_ssize_t nargs,
                                          std::span<PyObject*> out) const {
    for (PyObject*& slot : out) {
        slot = nullptr;
    }
    if (nargs > static_cast<Py_ssize_t>(params_.size())) {
        too_many_positional(nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[static_cast<std::size_t>(i)] = args[i];
    }
}

void FunctionDescription::take_keyword(PyObject* name, PyObject* value,
                                       std::span<PyObject*> out) const {
    Py_ssize_t param = find_param(name);
    if (param < 0) {
        unexpected_keyword(name);
    }
    PyObject*& slot = out[static_cast<std::size_t>(param)];
    if (slot != nullptr) {
        multiple_values(static_cast<std::size_t>(param));
    }
    slot = value;
}

void FunctionDescription::check_complete(std::span<PyObject*> out) const {
    for (PyObject* slot : out) {
        if (slot == nullptr) {
            missing_required(out);
        }
    }
}

Py_ssize_t FunctionDescription::find_param(PyObject* name) const {
    for (std::size_t i = 0; i < params_.size(); ++i) {
        if (interned_[i] == nullptr) {
            interned_[i] = check(PyUnicode_InternFromString(params_[i])).release();
        }
        if (interned_[i] == name) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    if (!PyUnicode_Check(name)) {
        return -1;
    }
    for (std::size_t i = 0; i < params_.size(); ++i) {
        // Never fails for a str; parameter names are ASCII.
        if (PyUnicode_CompareWithASCIIString(name, params_[i]) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

std::string FunctionDescription::full_name() const {
    std::string name;
    if (class_name_ != nullptr) {
        name += class_name_;
        name += '.';
    }
    name += function_name_;
    name += "()";
    return name;
}

[[gnu::cold]] void FunctionDescription::too_many_positional(Py_ssize_t given) const {
    Object message = check(PyUnicode_FromFormat("%s takes %zu positional arguments but %zd %s given",
                                                full_name().c_str(), params_.size(), given,
                                                given == 1 ? "was" : "were"));
    throw PyError::make(PyExc_TypeError, message);
}

[[gnu::cold]] void FunctionDescription::multiple_values(std::size_t param) const {
    Object message = check(PyUnicode_FromFormat("%s got multiple values for argument '%s'",
                                                full_name().c_str(), params_[param]));
    throw PyError::make(PyExc_TypeError, message);
}

[[gnu::cold]] void FunctionDescription::unexpected_keyword(PyObject* name) const {
    Object message = check(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                full_name().c_str(), name));
    throw PyError::make(PyExc_TypeError, message);
}

[[gnu::cold]] void FunctionDescription::missing_required(std::span<PyObject*> out) const {
    std::size_t missing = 0;
    for (PyObject* slot : out) {
        missing += slot == nullptr ? 1 : 0;
    }
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
    std::string names;
    std::size_t listed = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] != nullptr) {
            continue;
        }
        if (listed > 0) {
            if (listed + 1 < missing) {
                names += ", ";
            } else {
                names += missing > 2 ? ", and " : " and ";
            }
        }
        names += '\'';
        names += params_[i];
        names += '\'';
        ++listed;
    }
    std::string text = full_name() + " missing " + std::to_string(missing) + " required positional " +
                       (missing == 1 ? "argument" : "arguments") + ": " + names;
    throw PyError::make(PyExc_TypeError, text.c_str());
}

}  // namespace vastrel::py
