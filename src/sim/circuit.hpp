// Circuit: the fixed list of gates to execute. Built once (fusing runs of
// single-qubit gates when there are 16 or more of them), run any number of times.
#pragma once

#include <vector>

#include "gate.hpp"
#include "state_vector.hpp"

namespace vastrel::sim {

class Circuit {
public:
    explicit Circuit(std::vector<Gate> gates);

    const std::vector<Gate>& gates() const noexcept { return gates_; }

    // Applies the gates in order, as one kernel per gate would (gates that
    // fit one cache-sized block share a pass over the vector). An empty circuit
    // returns at once and does not touch the worker pool.
    void run(StateVector& state) const;
    // The same on an explicit pool and kernel set (tests, benchmarks).
    void run(StateVector& state, const Backend& backend) const;

private:
    std::vector<Gate> gates_;
};

}  // namespace vastrel::sim
