// FunctionDescription: the parameter list of one Python-callable of the module
// and the one argument parser that fills it, for both calling conventions
// (vectorcall's argument array plus keyword-name tuple, and tp_new's tuple
// plus dict), with the module's fixed TypeError texts.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "object.hpp"

namespace vastrel::py {

class FunctionDescription {
public:
    static constexpr std::size_t kMaxParams = 3;

    // Every parameter is required and may be given by position or keyword.
    // class_name is null for a module-level function.
    constexpr FunctionDescription(const char* class_name, const char* function_name,
                                  std::span<const char* const> params) noexcept
        : class_name_(class_name), function_name_(function_name), params_(params) {}

    // Fills out[i] with a borrowed reference to the value of parameter i.
    void parse_fastcall(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        std::span<PyObject*> out) const;
    void parse_tuple_dict(PyObject* args, PyObject* kwargs, std::span<PyObject*> out) const;

private:
    void take_positional(PyObject* const* args, Py_ssize_t nargs, std::span<PyObject*> out) const;
    void take_keyword(PyObject* name, PyObject* value, std::span<PyObject*> out) const;
    void check_complete(std::span<PyObject*> out) const;
    Py_ssize_t find_param(PyObject* name) const;

    [[noreturn]] void too_many_positional(Py_ssize_t given) const;
    [[noreturn]] void multiple_values(std::size_t param) const;
    [[noreturn]] void unexpected_keyword(PyObject* name) const;
    [[noreturn]] void missing_required(std::span<PyObject*> out) const;
    // "Class.function()" or "function()".
    std::string full_name() const;

    const char* class_name_;
    const char* function_name_;
    std::span<const char* const> params_;
    // Interned parameter names, made on first use under the interpreter lock:
    // keyword names the interpreter interned match by pointer.
    mutable PyObject* interned_[kMaxParams] = {};
};

}  // namespace vastrel::py
