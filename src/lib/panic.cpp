// The panic report, the PanicException class and the conversions of panics
// into it.
#include "panic.hpp"

#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "errors.hpp"
#include "fd_write.hpp"

namespace vastrel::py {

namespace {

constexpr const char* kPanicExceptionName = "pyo3_runtime.PanicException";
constexpr const char* kPanicExceptionDoc =
    "Raised when the native code of the vastrel module, called from Python, panics.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so\n"
    "that it typically propagates all the way through the stack and makes the\n"
    "Python interpreter exit.\n";

constexpr const char* kBacktraceVariable = "VASTREL_BACKTRACE";
constexpr int kMaxFrames = 128;

// Set by the first report; later reports leave out the note.
std::atomic<bool> g_reported_once{false};

// Created once under the interpreter lock, never released.
PyObject* g_panic_exception = nullptr;

// Source paths are absolute at build time; the report names them from the
// repository root ("src/sim/..."), which is what a reader can look up.
std::string_view display_path(std::string_view file) noexcept {
    std::size_t at = file.rfind("/src/");
    return at == std::string_view::npos ? file : file.substr(at + 1);
}

bool backtrace_wanted() noexcept {
    const char* value = std::getenv(kBacktraceVariable);
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

// The core's panic hook: runs on the panicking thread (a pool worker, or the
// Python thread) before unwinding, so the stack is still there to print.
void report_panic(const sim::Panic& p) noexcept {
    try {
        std::string report = "thread '<unnamed>' panicked at ";
        report += display_path(p.where().file_name());
        report += ':';
        report += std::to_string(p.where().line());
        report += ':';
        report += std::to_string(p.where().column());
        report += ":\n";
        report += p.message();
        report += '\n';
        bool with_backtrace = backtrace_wanted();
        bool first = !g_reported_once.exchange(true);
        if (with_backtrace) {
            report += "stack backtrace:\n";
        } else if (first) {
            report += "note: run with `VASTREL_BACKTRACE=1` environment variable to display a backtrace\n";
        }
        write_all(STDERR_FILENO, report);
        if (with_backtrace) {
            void* frames[kMaxFrames];
            int count = ::backtrace(frames, kMaxFrames);
            ::backtrace_symbols_fd(frames, count, STDERR_FILENO);
        }
    } catch (...) {
        write_all(STDERR_FILENO, "thread '<unnamed>' panicked (report could not be built)\n");
    }
}

PyObject* panic_exception_type() noexcept {
    if (g_panic_exception == nullptr) {
        PyObject* type = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc,
                                                   PyExc_BaseException, nullptr);
        if (type == nullptr) {
            // Without the class no panic can ever be raised: stop here, loudly.
            try {
                std::string message = "Failed to initialize new exception type.: " +
                                      PyError::fetch().debug_string();
                sim::Panic report(std::move(message));
            } catch (...) {
            }
            std::abort();
        }
        // The creation may have run Python code; if another thread stored a
        // class meanwhile, that one stays.
        if (g_panic_exception == nullptr) {
            g_panic_exception = type;
        } else {
            Py_DECREF(type);
        }
    }
    return g_panic_exception;
}

}  // namespace

void panic(std::string message, std::source_location where) {
    throw sim::Panic(std::move(message), where);
}

void install_panic_report() noexcept { sim::set_panic_hook(&report_panic); }

PyTypeObject* panic_exception_type_if_created() noexcept {
    return reinterpret_cast<PyTypeObject*>(g_panic_exception);
}

void raise_panic_exception(std::string_view message) noexcept {
    PyObject* type = panic_exception_type();
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "replace");
    if (text == nullptr) {
        return;  // the MemoryError stays current
    }
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

void raise_foreign_panic(const char* what, std::source_location where) noexcept {
    try {
        sim::Panic reported(what, where);
        raise_panic_exception(reported.message());
    } catch (...) {
        raise_panic_exception(what);
    }
}

void abort_uncaught_panic() noexcept {
    try {
        sim::Panic reported("uncaught panic at ffi boundary");
    } catch (...) {
    }
    std::abort();
}

}  // namespace vastrel::py
