// Circuit: fusion of single-qubit runs at construction, and execution, one
// kernel per gate in list order.
#include "circuit.hpp"

#include <utility>

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

template <class... Where>
void run_gates(const std::vector<Gate>& gates, StateVector& state, const Where&... where) {
    for (const Gate& g : gates) {
        switch (g.index()) {
            case 0:
            case 1:
            case 2:
            case 5:
                // matrix_of builds the matrix anew per gate (Rz calls sincosf
                // each time), exactly as fusion does.
                state.apply_mat2(target_of(g), matrix_of(g), where...);
                break;
            case 3: {
                const Crz& crz = std::get<Crz>(g);
                state.apply_crz(crz.control, crz.target, crz.theta, where...);
                break;
            }
            case 4: {
                const Cnot& cnot = std::get<Cnot>(g);
                state.apply_cnot(cnot.control, cnot.target, where...);
                break;
            }
            default:
                break;
        }
    }
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
    run_gates(gates_, state);
}

void Circuit::run(StateVector& state, const Backend& backend) const {
    if (gates_.empty()) {
        return;
    }
    run_gates(gates_, state, backend);
}

}  // namespace vastrel::sim
