// Circuit: fusion of single-qubit runs at construction, and execution in list
// order (executor.cpp plans the passes).
#include "circuit.hpp"

#include <utility>

#include "executor.hpp"

namespace vastrel::sim {

namespace {

// Fusion pays off only once there are enough single-qubit gates to merge.
constexpr std::size_t kFusionThreshold = 16;

std::vector<Gate> fuse(const std::vector<Gate>& gates) {
    std::vector<Gate> fused;
    fused.reserve(gates.size());  // the output never holds more than the input
    const std::size_t n = gates.size();
    std::size_t j = 0;
    while (j < n) {
        if (!is_single_qubit(gates[j])) {
            fused.push_back(gates[j]);
            ++j;
            continue;
        }
        const std::uint64_t target = target_of(gates[j]);
        Matrix2 m = matrix_of(gates[j]);
        std::size_t k = j + 1;
        while (k < n && is_single_qubit(gates[k]) && target_of(gates[k]) == target) {
            m = multiply(matrix_of(gates[k]), m);  // later gate on the left
            ++k;
        }
        fused.push_back(Mat2{target, m});
        j = k;
    }
    return fused;
}

}  // namespace

Circuit::Circuit(std::vector<Gate> gates) {
    std::size_t single = 0;
    for (const Gate& g : gates) {
        single += is_single_qubit(g) ? 1 : 0;
    }
    if (single < kFusionThreshold) {
        gates_ = std::move(gates);
    } else {
        gates_ = fuse(gates);
    }
}

void Circuit::run(StateVector& state) const {
    if (gates_.empty()) {
        return;  // an empty circuit must not create the pool
    }
    run_gates(gates_, state, nullptr);
}

void Circuit::run(StateVector& state, const Backend& backend) const {
    if (gates_.empty()) {
        return;
    }
    run_gates(gates_, state, &backend);
}

}  // namespace vastrel::sim
