// ThreadPool: fixed workers woken by a generation counter (bounded spin,
// then futex sleep) that take a job's pieces in turn.
#include "thread_pool.hpp"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace vastrel::sim {

namespace {

// Workers need little stack: they run kernel loops only.
constexpr std::size_t kStackSize = std::size_t{2} << 20;

// How a waiter waits before it sleeps: a burst of pause instructions
// (on an idle core the answer comes within a few hundred nanoseconds),
// then sched_yield until the budget is spent, which hands the core over at
// once when the thread waited for shares it (a short burst: bench/NOTES.md).
// Workers wait long enough to catch the next gate of a circuit; the
// caller, which competes with its own workers, not as long.
struct SpinBudget {
    std::chrono::nanoseconds pause;
    std::chrono::nanoseconds yield;
};

constexpr SpinBudget kWorkerWait{std::chrono::nanoseconds(300), std::chrono::microseconds(50)};
constexpr SpinBudget kCallerWait{std::chrono::nanoseconds(300), std::chrono::microseconds(10)};

void futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t expected) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected,
              nullptr, nullptr, 0);
}

void futex_wake(std::atomic<std::uint32_t>* word, int count) {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, count,
              nullptr, nullptr, 0);
}

// Spins until done() or the budget is spent; returns done().
template <class Done>
bool spin_until(const Done& done, SpinBudget budget) {
    if (done()) {
        return true;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto pause_end = start + budget.pause;
    const auto yield_end = pause_end + budget.yield;
    for (unsigned i = 1;; ++i) {
        __builtin_ia32_pause();
        if (done()) {
            return true;
        }
        if ((i & 31) == 0 && std::chrono::steady_clock::now() >= pause_end) {
            break;
        }
    }
    while (std::chrono::steady_clock::now() < yield_end) {
        ::sched_yield();
        if (done()) {
            return true;
        }
    }
    return false;
}

std::string os_error_text(int code) {
    char buffer[256];
    // GNU strerror_r: returns a pointer to the text, maybe not into buffer.
    const char* text = ::strerror_r(code, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(code) + ")";
}

// A job is cut into this many pieces per worker, which workers take in
// turn: on a shared machine a worker that loses its core for a while then
// holds up one small piece, not a whole half of the vector.
constexpr std::size_t kPiecesPerWorker = 4;

// Piece k of [0, n) cut into `pieces`: contiguous, disjoint, sizes
// differing by at most one.
inline void piece_of(std::size_t n, std::size_t pieces, std::size_t k, std::size_t& begin,
                     std::size_t& end) {
    const std::size_t base = n / pieces;
    const std::size_t extra = n % pieces;
    begin = k * base + (k < extra ? k : extra);
    end = begin + base + (k < extra ? 1 : 0);
}

}  // namespace

struct ThreadPool::Impl {
    std::size_t num_threads = 0;
    std::vector<pthread_t> threads;

    // Serialises callers: the pool has one job slot.
    std::mutex dispatch_mutex;

    // The job slot. Written by the caller before it bumps `generation`
    // (release) and read by workers after they see the bump (acquire).
    Task task = nullptr;
    void* ctx = nullptr;
    std::size_t n = 0;
    std::size_t pieces = 0;
    bool stop = false;

    // The first exception of the current job. A worker claims the slot with
    // `failed` and writes `error` before its release decrement of `pending`;
    // the caller reads it after seeing `pending` reach zero.
    std::atomic<bool> failed{false};
    std::exception_ptr error;

    // The next piece of the current job to be taken. Reset by the caller
    // before the bump; relaxed increments suffice, the job itself is
    // published by `generation`.
    alignas(64) std::atomic<std::size_t> next_piece{0};

    alignas(64) std::atomic<std::uint32_t> generation{0};
    // Workers asleep (or about to sleep) on `generation`. Paired with the
    // caller's bump as a seq_cst store/load on each side, so either the
    // caller sees a sleeper and wakes it, or the sleeper sees the new
    // generation before it waits.
    alignas(64) std::atomic<std::uint32_t> sleepers{0};
    // Workers that have not yet finished the current job (or, during
    // construction, not yet started).
    alignas(64) std::atomic<std::uint32_t> pending{0};
    // Set while the caller sleeps on `pending`; the same seq_cst pairing.
    std::atomic<std::uint32_t> caller_waiting{0};

    static void* worker_main(void* raw) {
        static_cast<Impl*>(raw)->worker_loop();
        return nullptr;
    }

    void finish_one() {
        if (pending.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
            caller_waiting.load(std::memory_order_seq_cst) != 0) {
            futex_wake(&pending, 1);
        }
    }

    void worker_loop() {
        // Not a load: no job is published before every worker has started,
        // but a failed construction publishes `stop` at once, possibly
        // before this thread ran at all.
        std::uint32_t seen = 0;
        finish_one();  // started
        for (;;) {
            std::uint32_t g = seen;
            const auto published = [&] {
                g = generation.load(std::memory_order_acquire);
                return g != seen;
            };
            if (!spin_until(published, kWorkerWait)) {
                sleepers.fetch_add(1, std::memory_order_seq_cst);
                while ((g = generation.load(std::memory_order_seq_cst)) == seen) {
                    futex_wait(&generation, seen);
                }
                sleepers.fetch_sub(1, std::memory_order_relaxed);
            }
            seen = g;
            if (stop) {
                return;
            }
            for (;;) {
                const std::size_t k = next_piece.fetch_add(1, std::memory_order_relaxed);
                if (k >= pieces) {
                    break;
                }
                std::size_t begin = 0;
                std::size_t end = 0;
                piece_of(n, pieces, k, begin, end);
                try {
                    task(ctx, begin, end);
                } catch (...) {
                    // The remaining pieces still run: the caller sees the
                    // job finished before it sees the error.
                    if (!failed.exchange(true, std::memory_order_relaxed)) {
                        error = std::current_exception();
                    }
                }
            }
            finish_one();
        }
    }

    // Blocks until every worker has decremented `pending` to zero.
    void wait_all() {
        const auto all_done = [&] { return pending.load(std::memory_order_acquire) == 0; };
        if (spin_until(all_done, kCallerWait)) {
            return;
        }
        caller_waiting.store(1, std::memory_order_seq_cst);
        std::uint32_t left = 0;
        while ((left = pending.load(std::memory_order_seq_cst)) != 0) {
            futex_wait(&pending, left);
        }
        caller_waiting.store(0, std::memory_order_relaxed);
    }

    void publish() {
        generation.fetch_add(1, std::memory_order_seq_cst);
        if (sleepers.load(std::memory_order_seq_cst) != 0) {
            futex_wake(&generation, INT_MAX);
        }
    }

    void stop_and_join(std::size_t started) {
        stop = true;
        publish();
        for (std::size_t i = 0; i < started; ++i) {
            ::pthread_join(threads[i], nullptr);
        }
    }
};

ThreadPool::ThreadPool(std::size_t num_threads) : impl_(std::make_unique<Impl>()) {
    if (num_threads == 0) {
        num_threads = 1;
    }
    if (num_threads > kMaxThreads) {
        num_threads = kMaxThreads;
    }
    Impl& impl = *impl_;
    impl.num_threads = num_threads;
    impl.threads.resize(num_threads);
    impl.pending.store(static_cast<std::uint32_t>(num_threads), std::memory_order_relaxed);

    pthread_attr_t attr;
    ::pthread_attr_init(&attr);
    ::pthread_attr_setstacksize(&attr, kStackSize);
    // Workers start with the asynchronous signals blocked, so those go to
    // the application's own threads. The ones a thread raises by its own
    // fault or abort() stay open: blocked, the kernel would kill the
    // process without running faulthandler's or a sanitizer's handler.
    sigset_t blocked;
    sigset_t old;
    ::sigfillset(&blocked);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) {
        ::sigdelset(&blocked, sig);
    }
    ::pthread_sigmask(SIG_SETMASK, &blocked, &old);
    int err = 0;
    std::size_t started = 0;
    for (; started < num_threads; ++started) {
        err = ::pthread_create(&impl.threads[started], &attr, &Impl::worker_main, &impl);
        if (err != 0) {
            break;
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::pthread_attr_destroy(&attr);
    if (err != 0) {
        impl.stop_and_join(started);
        throw PoolBuildError(os_error_text(err));
    }
    impl.wait_all();
}

ThreadPool::~ThreadPool() {
    if (impl_) {
        impl_->stop_and_join(impl_->num_threads);
    }
}

std::size_t ThreadPool::num_threads() const noexcept { return impl_->num_threads; }

void ThreadPool::run(std::size_t n, Task task, void* ctx) {
    if (n == 0) {
        return;
    }
    Impl& impl = *impl_;
    std::lock_guard<std::mutex> lock(impl.dispatch_mutex);
    impl.task = task;
    impl.ctx = ctx;
    impl.n = n;
    impl.pieces = std::min(n, impl.num_threads * kPiecesPerWorker);
    impl.next_piece.store(0, std::memory_order_relaxed);
    impl.pending.store(static_cast<std::uint32_t>(impl.num_threads), std::memory_order_relaxed);
    impl.publish();
    impl.wait_all();
    if (impl.failed.load(std::memory_order_acquire)) {
        std::exception_ptr error = std::move(impl.error);
        impl.error = nullptr;
        impl.failed.store(false, std::memory_order_relaxed);
        std::rethrow_exception(error);
    }
}

}  // namespace vastrel::sim
