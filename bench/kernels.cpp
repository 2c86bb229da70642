// Per-gate time of the three kernels on 24 qubits (target 0, the middle and
// the top) on explicit pools of 1 and 2 threads; the pool's dispatch
// latency; and the split-or-not crossover that sets the serial threshold.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "sim/gate.hpp"
#include "sim/kernels.hpp"
#include "sim/state_vector.hpp"
#include "sim/thread_pool.hpp"

namespace {

using namespace vastrel::sim;

constexpr unsigned kQubits = 24;

ThreadPool& pool_of(std::size_t threads) {
    static ThreadPool one(1);
    static ThreadPool two(2);
    return threads == 1 ? one : two;
}

StateVector& state() {
    static StateVector* v = [] {
        auto* s = new StateVector(kQubits);
        for (std::size_t i = 0; i < s->size(); ++i) {
            s->amplitudes()[i] = Complex32{1e-4f, -1e-4f};  // touch every page once
        }
        return s;
    }();
    return *v;
}

// Whole-process CPU time over wall time while a benchmark loop ran: about
// the number of threads that were busy, so a gate that leaves a worker idle
// shows below 2 on a two-worker pool.
class BusyCores {
public:
    BusyCores() : cpu_(process_cpu()), wall_(std::chrono::steady_clock::now()) {}
    double stop() const {
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_).count();
        return (process_cpu() - cpu_) / wall;
    }

private:
    static double process_cpu() {
        timespec ts{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
    double cpu_;
    std::chrono::steady_clock::time_point wall_;
};

const kernels::KernelSet& set_of(std::int64_t which) {
    return which == 0 ? kernels::active_kernels() : kernels::scalar_kernels();
}

// args: target, threads, kernel set (0 = the active one, 1 = scalar)
void BM_Mat2(benchmark::State& st) {
    const Backend backend{&pool_of(st.range(1)), &set_of(st.range(2))};
    // A unitary-ish matrix whose products stay finite over many passes.
    const Matrix2 h = matrix_of(H{0});
    const BusyCores busy;
    for (auto _ : st) {
        state().apply_mat2(static_cast<std::uint64_t>(st.range(0)), h, backend);
    }
    st.counters["cores_busy"] = busy.stop();
    st.SetLabel(backend.kernels->name);
    st.SetBytesProcessed(st.iterations() * state().size() * sizeof(Complex32) * 2);
}

void BM_Cnot(benchmark::State& st) {
    const Backend backend{&pool_of(st.range(1)), &set_of(st.range(2))};
    const auto target = static_cast<std::uint64_t>(st.range(0));
    const std::uint64_t control = target == 0 ? kQubits - 1 : 0;
    const BusyCores busy;
    for (auto _ : st) {
        state().apply_cnot(control, target, backend);
    }
    st.counters["cores_busy"] = busy.stop();
    st.SetLabel(backend.kernels->name);
}

void BM_Crz(benchmark::State& st) {
    const Backend backend{&pool_of(st.range(1)), &set_of(st.range(2))};
    const auto target = static_cast<std::uint64_t>(st.range(0));
    const std::uint64_t control = target == 0 ? kQubits - 1 : 0;
    const BusyCores busy;
    for (auto _ : st) {
        state().apply_crz(control, target, 1e-7f, backend);
    }
    st.counters["cores_busy"] = busy.stop();
    st.SetLabel(backend.kernels->name);
}

void gate_args(benchmark::internal::Benchmark* b) {
    for (std::int64_t set : {0, 1}) {
        for (std::int64_t target : {0, static_cast<int>(kQubits / 2), static_cast<int>(kQubits - 1)}) {
            for (std::int64_t threads : {1, 2}) {
                b->Args({target, threads, set});
            }
        }
    }
    b->ArgNames({"target", "threads", "set"})
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->MinTime(0.3)
        ->Repetitions(5)
        ->ReportAggregatesOnly(true);
}

BENCHMARK(BM_Mat2)->Apply(gate_args);
BENCHMARK(BM_Cnot)->Apply(gate_args);
BENCHMARK(BM_Crz)->Apply(gate_args);

// One empty job through a two-worker pool: the fixed cost of a dispatch.
void BM_Dispatch(benchmark::State& st) {
    ThreadPool& pool = pool_of(2);
    for (auto _ : st) {
        pool.parallel_for(2, [](std::size_t, std::size_t) {});
    }
}
BENCHMARK(BM_Dispatch)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

// The active mat2 loop on `pairs` pairs of target 0 (in cache), either on
// the caller (threads = 0) or split over the two-worker pool.
void BM_SplitCrossover(benchmark::State& st) {
    const auto pairs = static_cast<std::size_t>(st.range(0));
    static auto* data = new Complex32[std::size_t{1} << 20]();
    const kernels::KernelSet& ks = kernels::active_kernels();
    const Matrix2 h = matrix_of(H{0});
    for (auto _ : st) {
        if (st.range(1) == 0) {
            ks.mat2(data, 0, h, 0, pairs);
        } else {
            pool_of(2).parallel_for(2, [&](std::size_t b, std::size_t e) {
                ks.mat2(data, 0, h, b * pairs / 2, e * pairs / 2);
            });
        }
    }
}
BENCHMARK(BM_SplitCrossover)
    ->ArgsProduct({{1 << 10, 1 << 12, 1 << 13, 1 << 14, 1 << 15, 1 << 16, 1 << 18}, {0, 2}})
    ->ArgNames({"pairs", "threads"})
    ->UseRealTime()
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
