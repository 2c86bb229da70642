// Panics on the Python side: raising one from the module, the report written
// to standard error where a panic starts, and the exception class
// pyo3_runtime.PanicException that a panic becomes at the boundary.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

#include "object.hpp"
#include "sim/panic.hpp"

namespace vastrel::py {

// Raises a panic from the module itself; it is reported like a core panic.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// A panic picked up again from a PanicException that came back through
// Python. It was reported when it first started, so it carries no report.
struct ResumedPanic {
    std::string message;
};

// Installs the report writer as the core's panic hook.
void install_panic_report() noexcept;

// The PanicException class if it exists yet (nothing can be an instance of it
// before that), else null.
PyTypeObject* panic_exception_type_if_created() noexcept;

// Sets PanicException(message) as the current exception, creating the class
// on first use.
void raise_panic_exception(std::string_view message) noexcept;

// Reports a C++ exception that is not a Panic as a panic at `where`, then
// sets PanicException with its text.
void raise_foreign_panic(const char* what, std::source_location where) noexcept;

// The last resort when turning a failure into an exception itself failed.
[[noreturn]] void abort_uncaught_panic() noexcept;

}  // namespace vastrel::py
