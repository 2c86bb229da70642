// The exact-arithmetic floor: how close a single-qubit gate on a state held
// in the L2 comes to the arithmetic it cannot avoid. Prints one JSON object.
//
//   vastrel_floor [--reps 15] [--sample-ms 20]
//
// One thread, no pool but a one-worker one for the executor. Timed, each in
// ns per amplitude per gate, median of --reps samples interleaved round by
// round:
//   kernel    the active kernel set's mat2 (X, H and Rz as their 2x2
//             matrices, as lowering makes them, and a general Mat2 whose
//             four entries all have nonzero imaginary parts) over the whole
//             state, for every target in turn: a layer on every qubit;
//   executor  run_gates with that layer, on a one-worker pool and the same
//             kernel set (the executor's plan: the layer is one pass over
//             sub-blocks);
//   full      the exact 2x2 formula alone on amplitudes held in registers:
//             out0 = m00*a + m01*b, out1 = m10*a + m11*b, each complex product
//             four rounded real products and two rounded sums (no FMA: this
//             file is built with the project's flags), in the vector width of
//             the kernel set (128 bits for the scalar set, whose loops are
//             written for 4 floats; 256 bits for AVX2, 512 for AVX-512);
//   reduced   the arithmetic a gate of that kind needs at least, on the same
//             registers: X a swap (no arithmetic at all: what is left is the
//             loop), H s*a + s*b and s*a - s*b (4 real products and 4 sums a
//             pair), Rz one complex product on the upper member, H*Rz (an rz
//             then an h, fused) m00*a + m01*b and m00*a - m01*b.
// The state is half the L2 as read_cache_geometry() finds it (the sub-block
// size the executor plans for), rounded down to a power of two.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/block_shape.hpp"
#include "sim/executor.hpp"
#include "sim/kernels.hpp"
#include "sim/state_vector.hpp"
#include "sim/thread_pool.hpp"

namespace {

using namespace vastrel::sim;

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A general unitary: every entry has a nonzero real and imaginary part, so no
// product can be skipped, and repeated application keeps values normal.
Matrix2 general_matrix() {
    const float c = std::cos(0.6f), s = std::sin(0.6f);
    const Complex32 e1{std::cos(0.3f), std::sin(0.3f)}, e2{std::cos(1.1f), std::sin(1.1f)};
    const Complex32 e3{std::cos(-0.7f), std::sin(-0.7f)};
    // diag(1, e3) * [[c, -s], [s, c]] * diag(e1, e2), written out.
    return Matrix2{Complex32{c * e1.re, c * e1.im}, Complex32{-s * e2.re, -s * e2.im},
                   Complex32{s * e1.re, s * e1.im} * e3, Complex32{c * e2.re, c * e2.im} * e3};
}

// ---------------------------------------------------------------- registers

// The operations on one vector of interleaved (re, im) floats: 4 floats in
// the scalar set's width, 8 in AVX2's. A complex product m*a is
// a*(m.re, m.re) + swap(a)*(-m.im, m.im): the same rounded products and sums
// as the scalar formula (the negation is exact).
// GCC vector types, no intrinsics: a default-target template inlines into
// the AVX2 entry below (flatten), where the 32-byte vectors become single
// AVX registers.
// The 32-byte vectors pass between inlined functions only; no call sees them.
#pragma GCC diagnostic ignored "-Wpsabi"
typedef float F4 __attribute__((vector_size(16)));
typedef int I4 __attribute__((vector_size(16)));
typedef float F8 __attribute__((vector_size(32)));
typedef int I8 __attribute__((vector_size(32)));
typedef float F16 __attribute__((vector_size(64)));
typedef int I16 __attribute__((vector_size(64)));

template <class Floats, class Ints, unsigned F>
struct Vec {
    using V = Floats;
    using I = Ints;
    static constexpr unsigned kFloats = F;
    [[gnu::always_inline]] static inline V splat(float x) { return V{} + x; }
    [[gnu::always_inline]] static inline V imag(float im) {
        V v;
        for (unsigned f = 0; f < F; ++f) {
            v[f] = f % 2 == 0 ? -im : im;
        }
        return v;
    }
    [[gnu::always_inline]] static inline V swap(V x) {
        I order;
        for (unsigned f = 0; f < F; ++f) {
            order[f] = static_cast<int>(f ^ 1u);
        }
        return __builtin_shuffle(x, order);
    }
    [[gnu::always_inline]] static inline V mul(V a, V b) { return a * b; }
    [[gnu::always_inline]] static inline V add(V a, V b) { return a + b; }
    [[gnu::always_inline]] static inline V sub(V a, V b) { return a - b; }
};
using Sse = Vec<F4, I4, 4>;
using Avx2 = Vec<F8, I8, 8>;
using Avx512 = Vec<F16, I16, 16>;

enum class Arith { Full, X, H, Rz, Butterfly };

// Gate on one pair of registers (x, y); an empty asm with them as operands
// afterwards keeps them in registers and unfolded: the compiler may neither
// merge successive gates nor drop them.
template <class O, Arith A>
[[gnu::always_inline]] inline void gate(typename O::V& x, typename O::V& y, const typename O::V (&c)[9]) {
    using V = typename O::V;
    if constexpr (A == Arith::Full) {
        const V xs = O::swap(x), ys = O::swap(y);
        const V u0 = O::add(O::mul(x, c[0]), O::mul(xs, c[1]));
        const V v0 = O::add(O::mul(y, c[2]), O::mul(ys, c[3]));
        const V u1 = O::add(O::mul(x, c[4]), O::mul(xs, c[5]));
        const V v1 = O::add(O::mul(y, c[6]), O::mul(ys, c[7]));
        x = O::add(u0, v0);
        y = O::add(u1, v1);
    } else if constexpr (A == Arith::X) {
        const V t = x;
        x = y;
        y = t;
    } else if constexpr (A == Arith::H) {
        const V sx = O::mul(x, c[8]), sy = O::mul(y, c[8]);
        x = O::add(sx, sy);
        y = O::sub(sx, sy);
    } else if constexpr (A == Arith::Butterfly) {
        const V p = O::add(O::mul(x, c[0]), O::mul(O::swap(x), c[1]));
        const V q = O::add(O::mul(y, c[2]), O::mul(O::swap(y), c[3]));
        x = O::add(p, q);
        y = O::sub(p, q);
    } else {
        y = O::add(O::mul(y, c[6]), O::mul(O::swap(y), c[7]));
    }
    asm volatile("" : "+x"(x), "+x"(y));
}

// P (4 or 6) pairs of registers, each its own variable (an array would live
// on the stack), take `iters` gates each; their sum is returned, so nothing
// is dead.
template <class O, unsigned P, Arith A>
[[gnu::always_inline]] inline float register_loop(const Matrix2& m, long iters) {
    using V = typename O::V;
    const V c[9] = {O::splat(m.m00.re), O::imag(m.m00.im), O::splat(m.m01.re), O::imag(m.m01.im),
                    O::splat(m.m10.re), O::imag(m.m10.im), O::splat(m.m11.re), O::imag(m.m11.im),
                    O::splat(kS)};
    V a0 = O::splat(0.10f), b0 = O::splat(0.20f), a1 = O::splat(0.11f), b1 = O::splat(0.19f);
    V a2 = O::splat(0.12f), b2 = O::splat(0.18f), a3 = O::splat(0.13f), b3 = O::splat(0.17f);
    V a4 = O::splat(0.14f), b4 = O::splat(0.16f), a5 = O::splat(0.15f), b5 = O::splat(0.15f);
    for (long k = 0; k < iters; ++k) {
        gate<O, A>(a0, b0, c);
        gate<O, A>(a1, b1, c);
        gate<O, A>(a2, b2, c);
        gate<O, A>(a3, b3, c);
        if constexpr (P == 6) {
            gate<O, A>(a4, b4, c);
            gate<O, A>(a5, b5, c);
        }
    }
    V sum = a0 + b0 + a1 + b1 + a2 + b2 + a3 + b3;
    if constexpr (P == 6) {
        sum += a4 + b4 + a5 + b5;
    }
    float total = 0.0f;
    for (unsigned f = 0; f < O::kFloats; ++f) {
        total += sum[f];
    }
    return total;
}

// Each arithmetic gets a loop of its own.
template <class O, unsigned P>
[[gnu::always_inline]] inline float register_floor(Arith arith, const Matrix2& m, long iters) {
    switch (arith) {
        case Arith::Full: return register_loop<O, P, Arith::Full>(m, iters);
        case Arith::X: return register_loop<O, P, Arith::X>(m, iters);
        case Arith::H: return register_loop<O, P, Arith::H>(m, iters);
        case Arith::Butterfly: return register_loop<O, P, Arith::Butterfly>(m, iters);
        default: return register_loop<O, P, Arith::Rz>(m, iters);
    }
}

// Four and six register pairs (8 and 12 registers of amplitudes): with four,
// the eight matrix registers also stay in registers; with six there is more
// independent work per iteration to hide latencies. The faster one is the floor.
[[gnu::noinline]] float sse_floor(unsigned pairs, Arith arith, const Matrix2& m, long iters) {
    return pairs == 4 ? register_floor<Sse, 4>(arith, m, iters) : register_floor<Sse, 6>(arith, m, iters);
}

[[gnu::noinline, gnu::target("avx2"), gnu::flatten]] float avx2_floor(unsigned pairs, Arith arith,
                                                                     const Matrix2& m, long iters) {
    return pairs == 4 ? register_floor<Avx2, 4>(arith, m, iters) : register_floor<Avx2, 6>(arith, m, iters);
}

[[gnu::noinline, gnu::target("avx512f"), gnu::flatten]] float avx512_floor(unsigned pairs, Arith arith,
                                                                           const Matrix2& m, long iters) {
    return pairs == 4 ? register_floor<Avx512, 4>(arith, m, iters) : register_floor<Avx512, 6>(arith, m, iters);
}

volatile float g_sink;

// ---------------------------------------------------------------- cases

struct Case {
    std::string gate;  // x, h, rz, mat2
    std::string path;  // kernel, executor, full, reduced
    unsigned pairs;    // register pairs of the register floors (0 otherwise)
    double amplitude_gates;  // amplitudes x gates of one sample
    std::function<void()> sample;
    std::vector<double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
    unsigned reps = 15;
    double sample_ms = 20.0;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (a + 1 < argc && arg == "--reps") {
            reps = static_cast<unsigned>(std::atoi(argv[++a]));
        } else if (a + 1 < argc && arg == "--sample-ms") {
            sample_ms = std::atof(argv[++a]);
        } else {
            std::fprintf(stderr, "usage: %s [--reps 15] [--sample-ms 20]\n", argv[0]);
            return 2;
        }
    }

    const kernels::KernelSet& set = kernels::active_kernels();
    const unsigned floor_bits =
        std::strcmp(set.name, "avx512") == 0 ? 512u : std::strcmp(set.name, "scalar") != 0 ? 256u : 128u;
    const std::optional<CacheGeometry> read = read_cache_geometry();
    const CacheGeometry caches = read.value_or(kFallbackCaches);
    // Half the L2, in amplitudes, rounded down to a power of two.
    unsigned n = 1;
    while ((std::size_t{2} << n) * sizeof(Complex32) <= caches.l2_size / 2) {
        ++n;
    }
    const std::size_t amps = std::size_t{1} << n;

    ThreadPool pool(1);
    const Backend backend{&pool, &set};
    StateVector state(n);
    for (Complex32& x : state.amplitudes()) {
        x = Complex32{1.0f / std::sqrt(static_cast<float>(amps)), 0.0f};
    }
    Complex32* data = state.amplitudes().data();

    struct Kind {
        const char* name;
        Arith reduced;
        bool has_reduced;
        std::function<Gate(unsigned)> gate;
    };
    const Matrix2 general = general_matrix();
    const Kind kinds[] = {
        {"x", Arith::X, true, [](unsigned t) { return Gate{X{t}}; }},
        {"h", Arith::H, true, [](unsigned t) { return Gate{H{t}}; }},
        {"rz", Arith::Rz, true, [](unsigned t) { return Gate{Rz{t, 0.7f}}; }},
        {"h*rz", Arith::Butterfly, true, [](unsigned t) { return Gate{Mat2{t, multiply(matrix_of(H{t}), matrix_of(Rz{t, 0.7f}))}}; }},
        {"mat2", Arith::Full, false, [general](unsigned t) { return Gate{Mat2{t, general}}; }},
    };

    // Enough layers (or register iterations) that a sample takes about
    // sample_ms: found from one timed try.
    auto calibrate = [&](const std::function<void(long)>& run, double per_unit_guess_s) {
        long count = std::max(1L, static_cast<long>(sample_ms * 1e-3 / 8 / per_unit_guess_s));
        const auto t0 = std::chrono::steady_clock::now();
        run(count);
        const double took = seconds_since(t0);
        return std::max(1L, static_cast<long>(count * sample_ms * 1e-3 / std::max(took, 1e-6)));
    };

    std::vector<Case> cases;
    std::vector<std::vector<Gate>> layers;
    layers.reserve(std::size(kinds));
    for (const Kind& kind : kinds) {
        const Matrix2 m = matrix_of(kind.gate(0));
        std::vector<Gate>& layer = layers.emplace_back();
        for (unsigned t = 0; t < n; ++t) {
            layer.push_back(kind.gate(t));
        }
        // The kernel over the whole state, target after target.
        auto kernel_layers = [&set, data, m, n, amps](long count) {
            for (long k = 0; k < count; ++k) {
                for (unsigned t = 0; t < n; ++t) {
                    set.mat2(data, t, m, 0, amps / 2);
                }
            }
        };
        const long kl = calibrate(kernel_layers, 1e-9 * static_cast<double>(amps) * n);
        cases.push_back({kind.name, "kernel", 0, static_cast<double>(kl) * n * amps, [kernel_layers, kl] {
                             kernel_layers(kl);
                         }, {}});
        auto executor_layers = [&state, &layer, &backend](long count) {
            for (long k = 0; k < count; ++k) {
                run_gates(layer, state, &backend);
            }
        };
        const long el = calibrate(executor_layers, 1e-9 * static_cast<double>(amps) * n);
        cases.push_back({kind.name, "executor", 0, static_cast<double>(el) * n * amps, [executor_layers, el] {
                             executor_layers(el);
                         }, {}});
        // The register floors, in the width of the set.
        const unsigned lanes = floor_bits / 64;  // amplitudes per register
        for (const unsigned pairs : {4u, 6u}) {
            for (const bool reduced : {false, true}) {
                if (reduced && !kind.has_reduced) {
                    continue;
                }
                const Arith arith = reduced ? kind.reduced : Arith::Full;
                auto floor_run = [floor_bits, pairs, arith, m](long iters) {
                    g_sink = floor_bits == 512   ? avx512_floor(pairs, arith, m, iters)
                             : floor_bits == 256 ? avx2_floor(pairs, arith, m, iters)
                                                 : sse_floor(pairs, arith, m, iters);
                };
                const double amps_per_iter = 2.0 * pairs * lanes;
                const long it = calibrate(floor_run, 1e-10 * amps_per_iter);
                cases.push_back({kind.name, reduced ? "reduced" : "full", pairs, static_cast<double>(it) * amps_per_iter,
                                 [floor_run, it] { floor_run(it); }, {}});
            }
        }
    }
    for (Case& c : cases) {  // one untimed sample each: first-use costs
        c.sample();
    }
    for (unsigned r = 0; r < reps; ++r) {
        for (Case& c : cases) {
            const auto t0 = std::chrono::steady_clock::now();
            c.sample();
            c.seconds.push_back(seconds_since(t0));
        }
    }

    std::printf("{\"kernels\": \"%s\", \"floor_width_bits\": %u, \"cache_geometry_read\": %s, \"l2_bytes\": %zu, "
                "\"qubits\": %u, \"amplitudes\": %zu, \"reps\": %u, \"results\": [",
                set.name, floor_bits, read ? "true" : "false", caches.l2_size, n, amps, reps);
    bool first = true;
    for (const Case& c : cases) {
        std::vector<double> ns;
        for (double s : c.seconds) {
            ns.push_back(s * 1e9 / c.amplitude_gates);
        }
        std::printf("%s\n {\"gate\": \"%s\", \"path\": \"%s\", \"register_pairs\": %u, \"median_ns\": %.6g, "
                    "\"min_ns\": %.6g, \"samples_ns\": [",
                    first ? "" : ",", c.gate.c_str(), c.path.c_str(), c.pairs, median_of(ns),
                    *std::min_element(ns.begin(), ns.end()));
        for (std::size_t k = 0; k < ns.size(); ++k) {
            std::printf("%s%.6g", k == 0 ? "" : ", ", ns[k]);
        }
        std::printf("]}");
        first = false;
    }
    std::printf("\n]}\n");
    return 0;
}
