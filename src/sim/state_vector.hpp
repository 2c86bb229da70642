// StateVector: the owned array of 2^n amplitudes (qubit q is bit q of the
// index) and the three kernels that change it in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "complex.hpp"
#include "gate.hpp"

namespace vastrel::sim {

class ThreadPool;
namespace kernels {
struct KernelSet;
}

// Where a kernel runs when it is not the process-wide default: tests and
// benchmarks pass their own pool and inner-loop set. Results are the same
// bits whatever the backend.
struct Backend {
    ThreadPool* pool;
    const kernels::KernelSet* kernels;
};

// An amplitude buffer handed to a new owner, who frees it with free_buffer.
struct RawBuffer {
    Complex32* data;
    std::size_t length;
    std::size_t capacity;
};

class StateVector {
public:
    // The all-zero basis state of num_qubits qubits. Panics "too many qubits"
    // from 64 on and "capacity overflow" from 60 on; throws std::bad_alloc
    // when the memory cannot be had.
    explicit StateVector(std::uint64_t num_qubits);
    ~StateVector();
    StateVector(StateVector&& other) noexcept;
    StateVector& operator=(StateVector&& other) noexcept;
    StateVector(const StateVector&) = delete;
    StateVector& operator=(const StateVector&) = delete;

    std::size_t size() const noexcept { return length_; }
    std::span<Complex32> amplitudes() noexcept {
        settle();
        return {data_, length_};
    }
    std::span<const Complex32> amplitudes() const noexcept {
        settle();
        return {data_, length_};
    }

    // Qubit indices act modulo 64. Each kernel first asks the process-wide
    // pool for its size (building it on first use), then splits the pairs
    // of amplitudes over it.
    //
    // (a, b) = (v[i], v[i + 2^t]) becomes (m00*a + m01*b, m10*a + m11*b).
    // Panics "chunk_size must not be zero" for target 63 and "index out of
    // bounds: ..." for a target at or above the qubit count, before writing.
    void apply_mat2(std::uint64_t target, const Matrix2& m);
    // Exchanges v[i] and v[i + 2^t] where bit c of i is set. Panics for
    // target 63; any other index out of range, or c == t, changes nothing.
    void apply_cnot(std::uint64_t control, std::uint64_t target);
    // Multiplies every amplitude with both bits set by cos(theta) + i sin(theta).
    // An index out of range changes nothing; c == t acts as Rz on that qubit.
    void apply_crz(std::uint64_t control, std::uint64_t target, float theta);

    // The same kernels on an explicit backend; they do not touch the
    // process-wide pool.
    void apply_mat2(std::uint64_t target, const Matrix2& m, const Backend& backend);
    void apply_cnot(std::uint64_t control, std::uint64_t target, const Backend& backend);
    void apply_crz(std::uint64_t control, std::uint64_t target, float theta,
                   const Backend& backend);

    // Gives up the buffer without copying; the vector is left empty.
    RawBuffer release() noexcept;

    // A vector on fresh pages gets them all present and writable, split
    // over the pool, before its first kernel; a vector on a recycled buffer
    // is zeroed over the pool then. Afterwards this does nothing. Every
    // kernel entry calls it.
    void prefault(ThreadPool& pool);

private:
    // A recycled buffer that no kernel has zeroed yet is zeroed here, on
    // the calling thread, before anything else can see its values.
    void settle() const noexcept {
        if (dirty_) {
            zero_serially();
        }
    }
    void zero_serially() const noexcept;

    Complex32* data_ = nullptr;
    std::size_t length_ = 0;
    bool fresh_ = false;          // mapped pages that no kernel has touched yet
    mutable bool dirty_ = false;  // a recycled buffer, not zeroed yet
};

// Frees a buffer obtained from StateVector::release (same allocator).
void free_buffer(Complex32* data, std::size_t capacity) noexcept;

}  // namespace vastrel::sim
