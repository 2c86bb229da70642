// set_num_threads and its line "Using N threads" on file descriptor 1.
#include "threads.hpp"

#include <unistd.h>

#include <cstring>
#include <string>

#include "args.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "fd_write.hpp"
#include "panic.hpp"
#include "sim/thread_pool.hpp"
#include "type_object.hpp"

namespace vastrel::py {

namespace {

constexpr const char* kParams[] = {"num_threads"};
constinit FunctionDescription kDescription{nullptr, "set_num_threads", kParams};

// Straight to the descriptor: the line must not sit in Python's or stdio's
// buffer, and it must not interleave with them mid-line.
void print_thread_count(std::size_t count) {
    std::string line = "Using " + std::to_string(count) + " threads\n";
    if (int error = write_all(STDOUT_FILENO, line); error != 0) {
        panic("failed printing to stdout: " + std::string(std::strerror(error)) + " (os error " +
              std::to_string(error) + ")");
    }
}

PyObject* set_num_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return call_boundary([&] {
        PyObject* values[1];
        kDescription.parse_fastcall(args, nargs, kwnames, values);
        std::uint64_t num_threads = extract_u64(values[0], "num_threads");
        if (num_threads == 0) {
            throw PyError::make(PyExc_ValueError, "Number of threads must be greater than 0");
        }
        try {
            // The core lowers counts above its maximum; size_t holds any u64 here.
            sim::build_global(static_cast<std::size_t>(num_threads));
        } catch (const sim::PoolBuildError& e) {
            std::string text = std::string("Failed to set number of threads: ") + e.what();
            throw PyError::make(PyExc_RuntimeError, text.c_str());
        }
        print_thread_count(sim::current_num_threads());
        return Object::borrow(Py_None);
    });
}

PyMethodDef kSetNumThreadsDef = {
    "set_num_threads",
    as_cfunction(set_num_threads),
    METH_FASTCALL | METH_KEYWORDS,
    "set_num_threads(num_threads)\n--\n\nSet the number of threads for Rayon",
};

}  // namespace

Object new_set_num_threads(Handle module) {
    const char* name = PyModule_GetName(module.ptr());
    if (name == nullptr) {
        throw PyError::fetch();
    }
    Object module_name = check(PyUnicode_FromString(name));
    return check(PyCMethod_New(&kSetNumThreadsDef, module.ptr(), module_name.ptr(), nullptr));
}

}  // namespace vastrel::py
