// The worker pool as a class (coverage, exceptions, many dispatches), the
// default-size rule, fork safety of the process-wide pool, and identical
// bits whatever the pool size or kernel set.
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/circuit.hpp"
#include "sim/kernels.hpp"
#include "sim/panic.hpp"
#include "sim/system_limits.hpp"
#include "sim/thread_pool.hpp"
#include "support.hpp"

namespace vastrel::sim {
namespace {

TEST(ThreadPool, EveryIndexOnceOnWorkersOnly) {
    for (std::size_t size : {1u, 2u, 3u, 8u}) {
        ThreadPool pool(size);
        ASSERT_EQ(pool.num_threads(), size);
        for (std::size_t n : {0u, 1u, 2u, 7u, 8u, 9u, 1000u}) {
            std::vector<std::atomic<int>> hits(n);
            std::mutex mutex;
            std::set<std::thread::id> threads;
            std::atomic<int> empty_pieces{0};
            pool.parallel_for(n, [&](std::size_t b, std::size_t e) {
                empty_pieces += b >= e ? 1 : 0;
                for (std::size_t i = b; i < e; ++i) {
                    hits[i].fetch_add(1);
                }
                std::lock_guard<std::mutex> lock(mutex);
                threads.insert(std::this_thread::get_id());
            });
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(hits[i].load(), 1) << "size " << size << " n " << n << " i " << i;
            }
            EXPECT_EQ(empty_pieces.load(), 0);
            EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
            EXPECT_LE(threads.size(), std::min(size, n));
        }
    }
}

TEST(ThreadPool, AWorkersExceptionReachesTheCallerAfterAllPieces) {
    ThreadPool pool(4);
    std::atomic<int> finished{0};
    try {
        pool.parallel_for(4, [&](std::size_t b, std::size_t) {
            if (b == 2) {
                throw std::runtime_error("piece two failed");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ++finished;
        });
        ADD_FAILURE() << "nothing rethrown";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "piece two failed");
        EXPECT_EQ(finished.load(), 3);  // the others ran to the end first
    }

    // Every piece throws: one of them arrives, and the pool stays usable
    // with no stale exception left for the next job.
    EXPECT_THROW(pool.parallel_for(4, [](std::size_t, std::size_t) { throw Panic("boom"); }),
                 Panic);
    std::atomic<std::size_t> sum{0};
    EXPECT_NO_THROW(pool.parallel_for(100, [&](std::size_t b, std::size_t e) { sum += e - b; }));
    EXPECT_EQ(sum.load(), 100u);
}

TEST(ThreadPool, ManyDispatchesInARow) {
    ThreadPool pool(2);
    std::vector<std::uint64_t> slots(64, 0);
    const auto body = [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            slots[i] += i;
        }
    };
    for (int round = 0; round < 20000; ++round) {
        pool.parallel_for(slots.size(), body);  // an lvalue, const
    }
    for (std::size_t i = 0; i < slots.size(); ++i) {
        ASSERT_EQ(slots[i], 20000 * i);
    }
}

TEST(ThreadPool, CallersFromSeveralThreadsAreSerialised) {
    ThreadPool pool(3);
    std::atomic<std::uint64_t> total{0};
    std::vector<std::thread> callers;
    for (int k = 0; k < 4; ++k) {
        callers.emplace_back([&] {
            for (int round = 0; round < 500; ++round) {
                pool.parallel_for(10, [&](std::size_t b, std::size_t e) { total += e - b; });
            }
        });
    }
    for (std::thread& t : callers) {
        t.join();
    }
    EXPECT_EQ(total.load(), 4u * 500u * 10u);
}

TEST(DefaultSize, EnvironmentRules) {
    using std::nullopt;
    const std::size_t avail = 6;
    EXPECT_EQ(default_num_threads(nullopt, nullopt, avail), 6u);
    EXPECT_EQ(default_num_threads("3", nullopt, avail), 3u);
    EXPECT_EQ(default_num_threads("+3", "5", avail), 3u);
    EXPECT_EQ(default_num_threads("0003", nullopt, avail), 3u);
    // 0 means the machine's parallelism at once; the second is not read.
    EXPECT_EQ(default_num_threads("0", "2", avail), 6u);
    EXPECT_EQ(default_num_threads("+0", "2", avail), 6u);
    // Not a number: fall through to the second variable.
    for (const char* bad : {"", "+", "-1", "-0", " 3", "3 ", "3x", "x", "1.5", "++3",
                            "18446744073709551616", "99999999999999999999"}) {
        EXPECT_EQ(default_num_threads(bad, "2", avail), 2u) << "'" << bad << "'";
        EXPECT_EQ(default_num_threads(nullopt, bad, avail), 6u) << "'" << bad << "'";
    }
    EXPECT_EQ(default_num_threads(nullopt, "0", avail), 6u);
    EXPECT_EQ(default_num_threads(nullopt, "+4", avail), 4u);
    // Lowered to the pool's maximum, whichever source the count came from.
    EXPECT_EQ(default_num_threads("18446744073709551615", nullopt, avail), 65535u);
    EXPECT_EQ(default_num_threads("65536", nullopt, avail), 65535u);
    EXPECT_EQ(default_num_threads("65535", nullopt, avail), 65535u);
    EXPECT_EQ(default_num_threads(nullopt, "100000", avail), 65535u);
    EXPECT_EQ(default_num_threads("0", nullopt, 100000), 65535u);
    EXPECT_EQ(default_num_threads(nullopt, nullopt, 1), 1u);
}

TEST(DefaultSize, AvailableParallelismIsWithinTheMachine) {
    const std::size_t n = available_parallelism();
    EXPECT_GE(n, 1u);
    EXPECT_LE(n, std::thread::hardware_concurrency());
}

using test::CgroupTree;

TEST(DefaultSize, CgroupQuotas) {
    CgroupTree v2;
    v2.write("/cpu.max", "max 100000\n");
    EXPECT_EQ(cgroup_cpu_limit("0::/\n", v2.root()), SIZE_MAX);
    v2.write("/app/cpu.max", "250000 100000\n");
    v2.write("/app/job/cpu.max", "max 100000\n");
    // The tightest quota on the way up counts, rounded down.
    EXPECT_EQ(cgroup_cpu_limit("0::/app/job\n", v2.root()), 2u);
    v2.write("/app/job/cpu.max", "50000 100000\n");
    EXPECT_EQ(cgroup_cpu_limit("0::/app/job\n", v2.root()), 1u);  // at least one
    // A path that is not mounted here falls back to the ancestors that are.
    EXPECT_EQ(cgroup_cpu_limit("0::/app/elsewhere/deeper\n", v2.root()), 2u);

    CgroupTree v1;
    v1.write("/cpu/cpu.cfs_quota_us", "-1\n");
    v1.write("/cpu/cpu.cfs_period_us", "100000\n");
    const std::string lines = "4:memory:/box\n2:cpuacct:/box\n1:cpu:/box\n0::/\n";
    EXPECT_EQ(cgroup_cpu_limit(lines, v1.root()), SIZE_MAX);
    v1.write("/cpu/box/cpu.cfs_quota_us", "300000\n");
    v1.write("/cpu/box/cpu.cfs_period_us", "100000\n");
    EXPECT_EQ(cgroup_cpu_limit(lines, v1.root()), 3u);
    EXPECT_EQ(cgroup_cpu_limit("3:cpu,cpuacct:/box\n", v1.root()), 3u);
    EXPECT_EQ(cgroup_cpu_limit("garbage\n\n1:memory:/box\n", v1.root()), SIZE_MAX);
}

TEST(ForkSafety, AChildRebuildsThePoolAndKeepsTheFlag) {
    if (test::kThreadSanitizer) {
        GTEST_SKIP() << "ThreadSanitizer cannot start threads after a threaded fork";
    }
    // The parent's pool exists and has just run a split kernel.
    StateVector warm(18);
    warm.apply_mat2(17, matrix_of(H{17}));
    const std::size_t size = current_num_threads();

    const int status = test::in_child([size] {
        StateVector v(20);
        v.apply_mat2(19, matrix_of(X{19}));  // big enough to dispatch
        v.apply_cnot(19, 0);
        CHILD_EXPECT(test::same_bits(v.amplitudes()[(std::size_t{1} << 19) | 1],
                                     Complex32{1.0f, 0.0f}));
        CHILD_EXPECT(current_num_threads() == size);
        try {
            build_global(2);
            return 4;
        } catch (const PoolBuildError& e) {
            CHILD_EXPECT(std::string(e.what()) ==
                         "The global thread pool has already been initialized.");
        }
        return 0;
    }, 20);
    EXPECT_EQ(status, 0);

    // The parent's pool is untouched by the child's handlers.
    StateVector after(18);
    after.apply_mat2(17, matrix_of(X{17}));
    EXPECT_EQ(after.amplitudes()[std::size_t{1} << 17].re, 1.0f);
    EXPECT_EQ(current_num_threads(), size);
}

TEST(ThreadPool, ThreadCreationFailureIsABuildError) {
    if (test::kAddressSanitizer || test::kThreadSanitizer) {
        GTEST_SKIP() << "a sanitizer runtime needs the address space this test takes away";
    }
    const int status = test::in_child([] {
        const rlimit old = test::starve_address_space();
        std::string text;
        try {
            ThreadPool pool(64);
            text = "<built>";
        } catch (const PoolBuildError& e) {
            text = e.what();
        }
        test::restore_address_space(old);
        std::fprintf(stderr, "%s\n", text.c_str());
        CHILD_EXPECT(text == "Resource temporarily unavailable (os error 11)" ||
                     text == "Cannot allocate memory (os error 12)");
        return 0;
    });
    EXPECT_EQ(status, 0);
}

// Workers block only the asynchronous signals: a fault or abort() on a
// worker reaches the process's handler (faulthandler's, a sanitizer's)
// instead of killing the process past it, while an interrupt or a timer
// still goes to the application's own threads.
TEST(ThreadPool, WorkersBlockOnlyAsynchronousSignals) {
    if (test::kThreadSanitizer) {
        GTEST_SKIP() << "ThreadSanitizer cannot start threads after a threaded fork";
    }
    const int status = test::in_child([] {
        ThreadPool pool(2);
        sigset_t mask;
        pool.parallel_for(1, [&](std::size_t, std::size_t) { ::pthread_sigmask(SIG_BLOCK, nullptr, &mask); });
        for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) {
            CHILD_EXPECT(!sigismember(&mask, sig));
        }
        for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGCHLD, SIGUSR1, SIGALRM, SIGPIPE}) {
            CHILD_EXPECT(sigismember(&mask, sig));
        }
        struct sigaction action = {};
        action.sa_handler = [](int) { ::_exit(42); };
        ::sigaction(SIGSEGV, &action, nullptr);
        void* guard = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        pool.parallel_for(1, [guard](std::size_t, std::size_t) { *static_cast<volatile int*>(guard) = 1; });
        return 1;
    });
    EXPECT_EQ(status, 42);
}

TEST(ThreadPool, NothingAllocatesPerJobOrGate) {
    ThreadPool pool(2);
    const Backend backend{&pool, &kernels::active_kernels()};
    StateVector v(18);  // split: every kernel goes through the pool
    const Circuit circuit({H{17}, Cnot{17, 0}, Crz{0, 17, 0.5f}, Rz{3, 1.0f}, X{0}});
    circuit.run(v, backend);
    std::atomic<std::size_t> sum{0};
    const std::size_t before = test::allocation_count();
    for (int round = 0; round < 50; ++round) {
        pool.parallel_for(100, [&](std::size_t b, std::size_t e) { sum += e - b; });
        circuit.run(v, backend);
    }
    EXPECT_EQ(test::allocation_count() - before, 0u);
    EXPECT_EQ(sum.load(), 5000u);
}

// A kernel set that records which thread ran which pair range, and holds
// every piece until two threads have taken one, so a split that leaves a
// worker idle cannot pass by luck.
struct Spy {
    static inline std::mutex mutex;
    static inline std::condition_variable both_in;
    static inline std::set<std::thread::id> threads;
    static inline std::vector<std::pair<std::size_t, std::size_t>> ranges;

    static void record(std::size_t begin, std::size_t end) {
        std::unique_lock<std::mutex> lock(mutex);
        threads.insert(std::this_thread::get_id());
        ranges.emplace_back(begin, end);
        both_in.notify_all();
        both_in.wait_for(lock, std::chrono::seconds(20), [] { return threads.size() >= 2; });
    }
    static void reset() {
        threads.clear();
        ranges.clear();
    }
    static void mat2(Complex32*, unsigned, const Matrix2&, std::size_t b, std::size_t e) { record(b, e); }
    static void cnot(Complex32*, unsigned, unsigned, std::size_t b, std::size_t e) { record(b, e); }
    static void crz(Complex32*, unsigned, unsigned, Complex32, std::size_t b, std::size_t e) {
        record(b, e);
    }
};

constexpr kernels::KernelSet kSpy{"spy", Spy::mat2, Spy::cnot, Spy::crz};

// The recorded ranges, sorted, must tile [0, pairs) on grain boundaries.
void expect_tiling(std::size_t pairs) {
    auto ranges = Spy::ranges;
    std::sort(ranges.begin(), ranges.end());
    ASSERT_GE(ranges.size(), 2u);
    std::size_t at = 0;
    for (auto [b, e] : ranges) {
        EXPECT_EQ(b, at);
        EXPECT_LT(b, e);
        EXPECT_EQ(b % 64, 0u);
        at = e;
    }
    EXPECT_EQ(at, pairs);
    EXPECT_EQ(Spy::threads.size(), 2u);
}

TEST(Split, ATopQubitGateUsesEveryWorkerInBalancedPieces) {
    constexpr unsigned kQubits = 20;
    constexpr std::size_t kPairs = std::size_t{1} << (kQubits - 1);
    ThreadPool pool(2);
    const Backend spy{&pool, &kSpy};
    StateVector v(kQubits);

    Spy::reset();
    v.apply_mat2(kQubits - 1, matrix_of(X{0}), spy);
    expect_tiling(kPairs);

    // Control on the top qubit: only the upper half of the pairs qualifies,
    // yet every piece gets the same share of them.
    for (auto [c, t] : {std::pair{kQubits - 1, 0u}, std::pair{kQubits - 1, kQubits - 2}}) {
        Spy::reset();
        v.apply_cnot(c, t, spy);
        expect_tiling(kPairs);
        const unsigned b = c < t ? c : c - 1;  // bit c of the lower amplitude, in the pair index
        const std::size_t share = (kPairs / 2) / Spy::ranges.size();
        for (auto [pb, pe] : Spy::ranges) {
            std::size_t qualifying = 0;
            for (std::size_t p = pb; p < pe; ++p) {
                qualifying += (p >> b) & 1;
            }
            EXPECT_NEAR(static_cast<double>(qualifying), static_cast<double>(share), 64.0);
        }
    }

    Spy::reset();
    v.apply_crz(kQubits - 1, kQubits - 2, 1.0f, spy);
    expect_tiling(kPairs);
}

// A random circuit over every gate kind and placement, on a random state.
std::vector<Gate> random_circuit(unsigned qubits, std::size_t length, std::mt19937_64& rng) {
    std::uniform_int_distribution<unsigned> kind(0, 5);
    std::uniform_int_distribution<std::uint64_t> qubit(0, qubits - 1);
    std::uniform_real_distribution<float> angle(-7.0f, 7.0f);
    std::vector<Gate> gates;
    for (std::size_t k = 0; k < length; ++k) {
        const std::uint64_t a = qubit(rng);
        const std::uint64_t b = qubit(rng);
        switch (kind(rng)) {
            case 0: gates.push_back(X{a}); break;
            case 1: gates.push_back(H{a}); break;
            case 2: gates.push_back(Rz{a, angle(rng)}); break;
            case 3: gates.push_back(Crz{a, k % 5 == 0 ? a : b, angle(rng)}); break;
            case 4: gates.push_back(Cnot{a, b}); break;
            default: {
                // A full complex matrix that keeps the state finite: Rz H Rz.
                const Matrix2 m = multiply(matrix_of(Rz{0, angle(rng)}),
                                           multiply(matrix_of(H{0}), matrix_of(Rz{0, angle(rng)})));
                gates.push_back(Mat2{a, m});
            }
        }
    }
    // The extremes, which split differently from the rest.
    gates.push_back(H{qubits - 1});
    gates.push_back(Cnot{qubits - 1, 0});
    gates.push_back(Cnot{0, qubits - 1});
    gates.push_back(Crz{qubits - 1, qubits - 2, 1.0f});
    gates.push_back(Crz{qubits - 2, qubits - 1, 1.0f});
    return gates;
}

TEST(Determinism, SameBitsForEveryPoolSizeAndKernelSet) {
    constexpr unsigned kQubits = 19;  // every kernel kind is split at this size
    std::mt19937_64 rng(20261208);
    const Circuit circuit(random_circuit(kQubits, 120, rng));
    ASSERT_LT(circuit.gates().size(), 125u);  // fused

    std::vector<Complex32> start(std::size_t{1} << kQubits);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    for (Complex32& a : start) {
        a = Complex32{value(rng), value(rng)};
    }
    std::vector<Complex32> expected = start;
    test::reference_run(expected, circuit.gates());
    for (const Complex32& a : expected) {
        ASSERT_TRUE(std::isfinite(a.re) && std::isfinite(a.im));  // or NaN would hide faults
    }

    std::vector<const kernels::KernelSet*> sets = {&kernels::scalar_kernels()};
    for (const kernels::KernelSet* s : {kernels::avx2_kernels(), kernels::avx512_kernels()}) {
        if (s != nullptr) {
            sets.push_back(s);
        }
    }
    for (std::size_t size : {1u, 2u, 3u, 8u}) {
        ThreadPool pool(size);
        for (const kernels::KernelSet* set : sets) {
            StateVector v(kQubits);
            std::copy(start.begin(), start.end(), v.amplitudes().begin());
            circuit.run(v, Backend{&pool, set});
            EXPECT_TRUE(test::same_bits(v.amplitudes(), expected))
                << set->name << " on " << size << " threads";
        }
    }
    StateVector global(kQubits);
    std::copy(start.begin(), start.end(), global.amplitudes().begin());
    circuit.run(global);
    EXPECT_TRUE(test::same_bits(global.amplitudes(), expected)) << "process-wide pool";
}

}  // namespace
}  // namespace vastrel::sim
