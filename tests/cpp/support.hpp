// Helpers shared by the core's tests: bit-level comparison, a naive
// one-thread reference for each kernel, and running a check in a child.
#pragma once

#include <math.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/complex.hpp"
#include "sim/gate.hpp"
#include "sim/panic.hpp"

namespace vastrel::sim::test {

// Sanitizer builds cannot run every case: AddressSanitizer needs address
// space of its own (so starving it kills the runtime, not the pool), and
// ThreadSanitizer refuses to start threads in a child of a threaded process.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif

// Calls of operator new so far in this process (count_allocations.cpp).
std::size_t allocation_count();

inline constexpr Complex32 kZero{0.0f, 0.0f};
inline constexpr Complex32 kOne{1.0f, 0.0f};

// The message of the Panic that f() throws, or "<no panic>".
template <class F>
std::string panic_message(F&& f) {
    try {
        f();
    } catch (const Panic& p) {
        return p.message();
    }
    return "<no panic>";
}

inline std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

inline bool same_bits(Complex32 a, Complex32 b) {
    return bits(a.re) == bits(b.re) && bits(a.im) == bits(b.im);
}

inline bool same_bits(std::span<const Complex32> a, std::span<const Complex32> b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size_bytes()) == 0;
}

// Bit-identical, except that any NaN matches any NaN (payloads and the sign
// of a NaN are not part of the arithmetic's contract).
inline bool same_values(std::span<const Complex32> a, std::span<const Complex32> b) {
    if (a.size() != b.size()) {
        return false;
    }
    const auto same = [](float x, float y) { return bits(x) == bits(y) || (x != x && y != y); };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i].re, b[i].re) || !same(a[i].im, b[i].im)) {
            return false;
        }
    }
    return true;
}

// The platform sincosf, called through a pointer so the compiler cannot
// fold it at compile time with its own (differently rounded) arithmetic.
inline Complex32 phase_of(float theta) {
    static void (*volatile fn)(float, float*, float*) = ::sincosf;
    float s = 0.0f;
    float c = 0.0f;
    fn(theta, &s, &c);
    return {c, s};
}

// The kernels written as directly as the arithmetic reads, over all indices.
inline void reference_mat2(std::vector<Complex32>& v, unsigned t, const Matrix2& m) {
    const std::size_t h = std::size_t{1} << t;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if ((i & h) == 0) {
            const Complex32 a = v[i];
            const Complex32 b = v[i + h];
            v[i] = m.m00 * a + m.m01 * b;
            v[i + h] = m.m10 * a + m.m11 * b;
        }
    }
}

inline void reference_cnot(std::vector<Complex32>& v, unsigned c, unsigned t) {
    const std::size_t h = std::size_t{1} << t;
    const std::size_t cm = std::size_t{1} << c;
    if (c == t || h >= v.size() || cm >= v.size()) {
        return;
    }
    for (std::size_t i = 0; i < v.size(); ++i) {
        if ((i & h) == 0 && (i & cm) != 0) {
            std::swap(v[i], v[i + h]);
        }
    }
}

inline void reference_crz(std::vector<Complex32>& v, unsigned c, unsigned t, float theta) {
    const std::size_t h = std::size_t{1} << t;
    const std::size_t cm = std::size_t{1} << c;
    if (h >= v.size() || cm >= v.size()) {
        return;
    }
    const Complex32 p = phase_of(theta);
    for (std::size_t i = 0; i < v.size(); ++i) {
        if ((i & h) != 0 && (i & cm) != 0) {
            v[i] = v[i] * p;
        }
    }
}

inline void reference_run(std::vector<Complex32>& v, const std::vector<Gate>& gates) {
    for (const Gate& g : gates) {
        if (const auto* crz = std::get_if<Crz>(&g)) {
            reference_crz(v, crz->control & 63, crz->target & 63, crz->theta);
        } else if (const auto* cnot = std::get_if<Cnot>(&g)) {
            reference_cnot(v, cnot->control & 63, cnot->target & 63);
        } else {
            reference_mat2(v, target_of(g) & 63, matrix_of(g));
        }
    }
}

// Runs check() in a forked child (with a watchdog alarm) and returns its
// exit status, or 128 + signal. A failed CHILD_EXPECT prints where and exits 1.
template <class F>
int in_child(F&& check, unsigned timeout_seconds = 60) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(timeout_seconds);
        int rc = 1;
        try {
            rc = check();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child: uncaught exception: %s\n", e.what());
            rc = 2;
        } catch (...) {
            rc = 3;
        }
        std::fflush(nullptr);
        ::_exit(rc);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#define CHILD_EXPECT(cond)                                                       \
    do {                                                                         \
        if (!(cond)) {                                                           \
            std::fprintf(stderr, "%s:%d: child check failed: %s\n", __FILE__,    \
                         __LINE__, #cond);                                       \
            return 1;                                                            \
        }                                                                        \
    } while (0)

// Leaves the process just enough address space that a thread stack (2 MiB)
// cannot be mapped, so thread creation fails with an OS error. Only for
// children: returns the old limit for restore_address_space.
inline rlimit starve_address_space() {
    rlimit old{};
    ::getrlimit(RLIMIT_AS, &old);
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages;
    rlimit tight = old;
    tight.rlim_cur = pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) + (std::size_t{1} << 20);
    ::setrlimit(RLIMIT_AS, &tight);
    return old;
}

inline void restore_address_space(const rlimit& old) { ::setrlimit(RLIMIT_AS, &old); }

// A made-up cgroup mount under a temporary directory.
class CgroupTree {
public:
    CgroupTree() {
        char pattern[] = "/tmp/vastrel-cgroup-XXXXXX";
        root_ = ::mkdtemp(pattern);
    }
    ~CgroupTree() { std::filesystem::remove_all(root_); }
    void write(const std::string& file, const std::string& text) {
        const std::filesystem::path path = root_ + file;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    const std::string& root() const { return root_; }

private:
    std::string root_;
};

}  // namespace vastrel::sim::test
