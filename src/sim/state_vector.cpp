// StateVector: allocation in the all-zero state, and the kernels as one-gate
// runs of the executor.
#include "state_vector.hpp"

#include "panic.hpp"

namespace vastrel::sim {

namespace {

std::size_t length_of(std::uint64_t num_qubits) {
    if (num_qubits >= 64) {
        throw Panic("too many qubits");
    }
    if (num_qubits >= 60) {
        throw Panic("capacity overflow");
    }
    return std::size_t{1} << num_qubits;
}

}  // namespace

StateVector::StateVector(std::uint64_t num_qubits) : buffer_(length_of(num_qubits)) {}

void StateVector::apply(const Gate& gate, const Backend* backend) {
    run_gates(std::span<const Gate>(&gate, 1), *this, backend, kNoBlocks);
}

void StateVector::apply_mat2(std::uint64_t target, const Matrix2& m) { apply(Mat2{target, m}, nullptr); }

void StateVector::apply_cnot(std::uint64_t control, std::uint64_t target) { apply(Cnot{control, target}, nullptr); }

void StateVector::apply_crz(std::uint64_t control, std::uint64_t target, float theta) {
    apply(Crz{control, target, theta}, nullptr);
}

void StateVector::apply_mat2(std::uint64_t target, const Matrix2& m, const Backend& backend) {
    apply(Mat2{target, m}, &backend);
}

void StateVector::apply_cnot(std::uint64_t control, std::uint64_t target, const Backend& backend) {
    apply(Cnot{control, target}, &backend);
}

void StateVector::apply_crz(std::uint64_t control, std::uint64_t target, float theta, const Backend& backend) {
    apply(Crz{control, target, theta}, &backend);
}

}  // namespace vastrel::sim
