// The kernel sets head to head: mat2, cnot and crz of the scalar, AVX2 and
// AVX-512 sets on 24 qubits, one thread, no pool, over the whole range of
// pairs. A set the CPU lacks is reported as skipped.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <new>

#include "sim/kernels.hpp"

namespace {

using namespace vastrel::sim;
using namespace vastrel::sim::kernels;

constexpr unsigned kQubits = 24;
constexpr std::size_t kLength = std::size_t{1} << kQubits;

// One 64-byte aligned vector for every case, every page touched before timing.
Complex32* state() {
    static Complex32* data = [] {
        void* p = std::aligned_alloc(64, kLength * sizeof(Complex32));
        if (p == nullptr) {
            throw std::bad_alloc();
        }
        auto* d = static_cast<Complex32*>(p);
        for (std::size_t g = 0; g < kLength; ++g) {
            d[g] = {1e-4f * static_cast<float>(g % 7), -1e-4f * static_cast<float>(g % 5)};
        }
        return d;
    }();
    return data;
}

const KernelSet* set_of(std::int64_t which) {
    switch (which) {
        case 0: return &scalar_kernels();
        case 1: return avx2_kernels();
        default: return avx512_kernels();
    }
}

// True when the set runs here; otherwise the case is marked skipped.
bool usable(benchmark::State& st, const KernelSet* set) {
    if (set == nullptr) {
        st.SkipWithError("kernel set not supported on this CPU");
        return false;
    }
    st.SetLabel(set->name);
    return true;
}

// A unitary with complex entries, so repeated passes neither overflow nor
// sink into subnormals (which would time the microcode, not the kernel).
constexpr Matrix2 kMatrix{{0.6f, 0.0f}, {0.0f, 0.8f}, {0.0f, 0.8f}, {0.6f, -0.0f}};

// args: kernel set (0 scalar, 1 avx2, 2 avx512), target
void BM_Mat2(benchmark::State& st) {
    const KernelSet* set = set_of(st.range(0));
    if (!usable(st, set)) {
        return;
    }
    const auto t = static_cast<unsigned>(st.range(1));
    for (auto _ : st) {
        set->mat2(state(), t, kMatrix, 0, kLength / 2);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * kLength * sizeof(Complex32) * 2);
}

// Control 0, or 1 when the target is 0: the lane-masked exchange.
void BM_Cnot(benchmark::State& st) {
    const KernelSet* set = set_of(st.range(0));
    if (!usable(st, set)) {
        return;
    }
    const auto t = static_cast<unsigned>(st.range(1));
    for (auto _ : st) {
        set->cnot(state(), t == 0 ? 1 : 0, t, 0, kLength / 2);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * kLength * sizeof(Complex32) * 2);
}

// Control equal to the target: every amplitude with the bit set is multiplied.
void BM_Crz(benchmark::State& st) {
    const KernelSet* set = set_of(st.range(0));
    if (!usable(st, set)) {
        return;
    }
    const auto t = static_cast<unsigned>(st.range(1));
    const Complex32 phase{0.87758255f, 0.47942555f};
    for (auto _ : st) {
        set->crz(state(), t, t, phase, 0, kLength / 2);
        benchmark::ClobberMemory();
    }
    st.SetBytesProcessed(st.iterations() * kLength * sizeof(Complex32));
}

void cases(benchmark::internal::Benchmark* b) {
    for (std::int64_t set = 0; set < 3; ++set) {
        for (std::int64_t t : {0, 1, 2, 3, 5, 12, 23}) {
            b->Args({set, t});
        }
    }
    b->ArgNames({"set", "target"})->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
}

BENCHMARK(BM_Mat2)->Apply(cases);
BENCHMARK(BM_Cnot)->Apply(cases);
BENCHMARK(BM_Crz)->Apply(cases);

}  // namespace

BENCHMARK_MAIN();
