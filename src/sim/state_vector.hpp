// StateVector: the owned array of 2^n amplitudes (qubit q is bit q of the
// index) and the three kernels that change it in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "complex.hpp"
#include "gate.hpp"

namespace vastrel::sim {

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
    std::span<Complex32> amplitudes() noexcept { return {data_, length_}; }
    std::span<const Complex32> amplitudes() const noexcept { return {data_, length_}; }

    void apply_mat2(std::uint64_t target, const Matrix2& m);
    void apply_cnot(std::uint64_t control, std::uint64_t target);
    void apply_crz(std::uint64_t control, std::uint64_t target, float theta);

    // Gives up the buffer without copying; the vector is left empty.
    RawBuffer release() noexcept;

private:
    Complex32* data_ = nullptr;
    std::size_t length_ = 0;
};

// Frees a buffer obtained from StateVector::release (same allocator).
void free_buffer(Complex32* data, std::size_t capacity) noexcept;

}  // namespace vastrel::sim
