// StateVector: the 2^n amplitudes of an n-qubit register (qubit q is bit q
// of the index), in an AmplitudeBuffer, and the three kernels that change it
// in place, each a one-gate run of the executor.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "amplitude_buffer.hpp"
#include "complex.hpp"
#include "executor.hpp"
#include "gate.hpp"

namespace vastrel::sim {

class StateVector {
public:
    // The all-zero basis state of num_qubits qubits. Panics "too many qubits"
    // from 64 on and "capacity overflow" from 60 on; throws std::bad_alloc
    // when the memory cannot be had.
    explicit StateVector(std::uint64_t num_qubits);

    std::size_t size() const noexcept { return buffer_.size(); }
    // The amplitudes, made ready on the calling thread if nothing ran yet.
    // Whoever writes through them may put anything anywhere, so the vector
    // no longer knows which amplitudes are +0 (live_bits).
    std::span<Complex32> amplitudes() {
        buffer_.make_ready(nullptr);
        live_bits_ = std::countr_zero(buffer_.size());
        return {buffer_.data(), buffer_.size()};
    }
    // The same without that step: for a vector that a run or the call above
    // has made ready (a recycled buffer holds stale values before).
    std::span<const Complex32> amplitudes() const noexcept { return {buffer_.data(), buffer_.size()}; }
    // For the executor, which keeps live_bits true as it writes.
    AmplitudeBuffer& buffer() noexcept { return buffer_; }

    // Every amplitude from 2^live_bits() on is +0, bit for bit: 0 for a new
    // vector (only amplitude 0 is 1), the qubit count once nothing is known.
    unsigned live_bits() const noexcept { return live_bits_; }
    void set_live_bits(unsigned bits) noexcept { live_bits_ = bits; }

    // Qubit indices act modulo 64 (lowering.hpp has the rules). Each kernel
    // first asks the process-wide pool for its size (building it on first
    // use), then splits the pairs of amplitudes over it.
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
    void apply_crz(std::uint64_t control, std::uint64_t target, float theta, const Backend& backend);

    // Gives up the buffer, ready, without copying; the vector is left empty.
    RawBuffer release() noexcept { return buffer_.release(); }

private:
    void apply(const Gate& gate, const Backend* backend);

    AmplitudeBuffer buffer_;
    unsigned live_bits_ = 0;
};

}  // namespace vastrel::sim
