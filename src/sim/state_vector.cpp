// StateVector: allocation in the all-zero state, the index rules and panics
// of the three kernels, and the split of their pairs over the pool.
#include "state_vector.hpp"

#include <math.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "amplitude_memory.hpp"
#include "kernels.hpp"
#include "panic.hpp"
#include "thread_pool.hpp"

namespace vastrel::sim {

namespace {

// Below this many pairs a dispatch costs more than it saves; the calling
// thread does the work alone. Measured with bench/kernels.cpp
// (BM_SplitCrossover): on two cores the split starts to win at 2^15 pairs.
constexpr std::size_t kSerialPairs = std::size_t{1} << 15;

// Pieces handed to workers are whole multiples of this many pairs, so two
// workers never write the same cache line and SIMD sets see aligned starts.
constexpr std::size_t kGrain = 64;

[[noreturn]] void panic_zero_chunk() { throw Panic("chunk_size must not be zero"); }

[[noreturn]] void panic_out_of_bounds(std::size_t length, std::size_t index) {
    throw Panic("index out of bounds: the len is " + std::to_string(length) +
                " but the index is " + std::to_string(index));
}

// Pair index of the q-th pair whose bit b is set: q with a one bit inserted
// at position b.
inline std::size_t insert_one(std::size_t q, unsigned b) {
    const std::size_t low = (std::size_t{1} << b) - 1;
    return ((q & ~low) << 1) | (std::size_t{1} << b) | (q & low);
}

// Where the pair range of the qualifying pairs from q on begins: at pair q
// itself, or at the block of non-qualifying pairs just before it when q
// starts a block. Consecutive boundaries then tile all pairs, and a q that
// is a multiple of the grain gives a boundary that is one too.
inline std::size_t qualifying_start(std::size_t q, unsigned b) {
    const std::size_t low = (std::size_t{1} << b) - 1;
    return (q & low) == 0 ? q << 1 : insert_one(q, b);
}

// Runs body(begin, end) over [0, count) of some unit: on the calling thread
// when the work is small or the pool has one worker, otherwise in pieces of
// whole grains over the pool.
template <class Body>
void split(ThreadPool& pool, std::size_t count, const Body& body) {
    if (count < kSerialPairs || pool.num_threads() == 1) {
        body(std::size_t{0}, count);
        return;
    }
    const std::size_t grains = (count + kGrain - 1) / kGrain;
    pool.parallel_for(grains, [&](std::size_t gb, std::size_t ge) {
        body(gb * kGrain, std::min(ge * kGrain, count));
    });
}

// The pairs whose bit b is set, counted q = 0, 1, ..., count - 1: a piece
// [qb, qe) of them becomes the pair range from qualifying_start(qb) to
// qualifying_start(qe), which holds exactly those qualifying pairs.
// Splitting these instead of all pairs keeps the work even when the
// qualifying pairs bunch in one half of the vector.
template <class Kernel>
void split_qualifying(ThreadPool& pool, std::size_t count, unsigned b, const Kernel& kernel) {
    split(pool, count, [&](std::size_t qb, std::size_t qe) {
        if (qb < qe) {
            kernel(qualifying_start(qb, b), qualifying_start(qe, b));
        }
    });
}

Backend default_backend() {
    // The pool query first: it builds the default pool on first use.
    ThreadPool& pool = global_pool();
    return Backend{&pool, &kernels::active_kernels()};
}

}  // namespace

StateVector::StateVector(std::uint64_t num_qubits) {
    if (num_qubits >= 64) {
        throw Panic("too many qubits");
    }
    if (num_qubits >= 60) {
        throw Panic("capacity overflow");
    }
    const std::size_t length = std::size_t{1} << num_qubits;
    length_ = length;
    // The buffer of a vector freed before, whose pages are present: the
    // first kernel zeroes it over the pool.
    data_ = take_recycled_amplitudes(length);
    if (data_ != nullptr) {
        dirty_ = true;
        return;
    }
    // Fresh zero pages, so there is no serial zeroing pass; the first
    // kernel has them faulted in over the pool.
    data_ = allocate_amplitudes(length);
    fresh_ = maps_fresh_pages(length);
    data_[0] = Complex32{1.0f, 0.0f};
}

void StateVector::zero_serially() const noexcept {
    std::memset(static_cast<void*>(data_), 0, length_ * sizeof(Complex32));
    data_[0] = Complex32{1.0f, 0.0f};
    dirty_ = false;
}

void StateVector::prefault(ThreadPool& pool) {
    if (!fresh_ && !dirty_) {
        return;
    }
    // Fresh pages are made present; a recycled buffer is zeroed instead.
    const bool zero = dirty_;
    Complex32* data = data_;
    auto pages = [data, zero](std::size_t begin, std::size_t end) {
        if (zero) {
            std::memset(static_cast<void*>(data + begin), 0, (end - begin) * sizeof(Complex32));
        } else {
            prefault_amplitudes(data, begin, end);
        }
    };
    constexpr std::size_t kPerPage = 4096 / sizeof(Complex32);
    if (pool.num_threads() == 1) {
        pages(0, length_);
    } else {
        pool.parallel_for(length_ / kPerPage,
                          [&](std::size_t b, std::size_t e) { pages(b * kPerPage, e * kPerPage); });
    }
    if (zero) {
        data[0] = Complex32{1.0f, 0.0f};
    }
    fresh_ = false;
    dirty_ = false;
}

StateVector::~StateVector() { free_amplitudes(data_, length_); }

StateVector::StateVector(StateVector&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      fresh_(std::exchange(other.fresh_, false)),
      dirty_(std::exchange(other.dirty_, false)) {}

StateVector& StateVector::operator=(StateVector&& other) noexcept {
    if (this != &other) {
        free_amplitudes(data_, length_);
        data_ = std::exchange(other.data_, nullptr);
        length_ = std::exchange(other.length_, 0);
        fresh_ = std::exchange(other.fresh_, false);
        dirty_ = std::exchange(other.dirty_, false);
    }
    return *this;
}

RawBuffer StateVector::release() noexcept {
    settle();
    RawBuffer raw{data_, length_, length_};
    data_ = nullptr;
    length_ = 0;
    fresh_ = false;
    return raw;
}

void free_buffer(Complex32* data, std::size_t capacity) noexcept {
    free_amplitudes(data, capacity);
}

void StateVector::apply_mat2(std::uint64_t target, const Matrix2& m) {
    if ((target & 63) == 63) {
        panic_zero_chunk();  // before the pool is touched
    }
    apply_mat2(target, m, default_backend());
}

void StateVector::apply_cnot(std::uint64_t control, std::uint64_t target) {
    if ((target & 63) == 63) {
        panic_zero_chunk();
    }
    apply_cnot(control, target, default_backend());
}

void StateVector::apply_crz(std::uint64_t control, std::uint64_t target, float theta) {
    apply_crz(control, target, theta, default_backend());
}

void StateVector::apply_mat2(std::uint64_t target, const Matrix2& m, const Backend& backend) {
    const unsigned t = static_cast<unsigned>(target & 63);
    if (t == 63) {
        panic_zero_chunk();
    }
    const std::size_t h = std::size_t{1} << t;
    if (h >= length_) {
        // The partner of the first amplitude lies outside the vector.
        panic_out_of_bounds(length_, h);
    }
    prefault(*backend.pool);
    const Matrix2 matrix = m;
    Complex32* data = data_;
    const auto* ks = backend.kernels;
    split(*backend.pool, length_ / 2, [&](std::size_t b, std::size_t e) {
        if (b < e) {
            ks->mat2(data, t, matrix, b, e);
        }
    });
}

void StateVector::apply_cnot(std::uint64_t control, std::uint64_t target, const Backend& backend) {
    const unsigned t = static_cast<unsigned>(target & 63);
    if (t == 63) {
        panic_zero_chunk();
    }
    const unsigned c = static_cast<unsigned>(control & 63);
    const std::size_t n = length_;
    if (c == t || (std::size_t{1} << t) >= n || (std::size_t{1} << c) >= n) {
        return;  // no pair has its control bit set inside the vector
    }
    // Bit c of the lower amplitude is bit b of the pair index.
    const unsigned b = c < t ? c : c - 1;
    prefault(*backend.pool);
    Complex32* data = data_;
    const auto* ks = backend.kernels;
    split_qualifying(*backend.pool, n / 4, b,
                     [&](std::size_t pb, std::size_t pe) { ks->cnot(data, c, t, pb, pe); });
}

void StateVector::apply_crz(std::uint64_t control, std::uint64_t target, float theta,
                            const Backend& backend) {
    const unsigned c = static_cast<unsigned>(control & 63);
    const unsigned t = static_cast<unsigned>(target & 63);
    const std::size_t n = length_;
    if ((std::size_t{1} << t) >= n || (std::size_t{1} << c) >= n) {
        return;  // no amplitude of the vector has both bits set
    }
    float sin_theta = 0.0f;
    float cos_theta = 0.0f;
    ::sincosf(theta, &sin_theta, &cos_theta);
    const Complex32 phase{cos_theta, sin_theta};
    prefault(*backend.pool);
    Complex32* data = data_;
    const auto* ks = backend.kernels;
    if (c == t) {
        split(*backend.pool, n / 2, [&](std::size_t b, std::size_t e) {
            if (b < e) {
                ks->crz(data, c, t, phase, b, e);
            }
        });
        return;
    }
    // The set of amplitudes with both bits set is symmetric in the two bits:
    // walk the pairs of the higher bit and test the lower one, which spreads
    // the qualifying pairs evenly over the pair range.
    const unsigned lo = c < t ? c : t;
    const unsigned hi = c < t ? t : c;
    split_qualifying(*backend.pool, n / 4, lo,
                     [&](std::size_t pb, std::size_t pe) { ks->crz(data, lo, hi, phase, pb, pe); });
}

}  // namespace vastrel::sim
