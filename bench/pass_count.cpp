// The passes a circuit's run makes over the vector: reads a gate list, builds
// the Circuit (so single-qubit runs are fused as Circuit.run would fuse
// them) and prints count_plan for the machine's block shape. The large-state
// table prices each vastrel time as passes x the in-place bound per pass.
//
//   vastrel_pass_count --qubits N [--workers 2] < gates.txt
//
// One gate a line, as bench/circuits.py writes them: "h T", "x T", "rz T A",
// "crz C T A", "cnot C T" (angles in radians). Prints one JSON object.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/block_shape.hpp"
#include "sim/circuit.hpp"
#include "sim/executor.hpp"

namespace {

using namespace vastrel::sim;

bool parse_gate(const std::string& line, std::vector<Gate>& gates) {
    std::istringstream in(line);
    std::string kind;
    if (!(in >> kind)) {
        return true;  // blank line
    }
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    double theta = 0.0;
    if (kind == "h" && in >> a) {
        gates.push_back(H{a});
    } else if (kind == "x" && in >> a) {
        gates.push_back(X{a});
    } else if (kind == "rz" && in >> a >> theta) {
        gates.push_back(Rz{a, static_cast<float>(theta)});
    } else if (kind == "crz" && in >> a >> b >> theta) {
        gates.push_back(Crz{a, b, static_cast<float>(theta)});
    } else if (kind == "cnot" && in >> a >> b) {
        gates.push_back(Cnot{a, b});
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned qubits = 0;
    std::size_t workers = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--qubits" && i + 1 < argc) {
            qubits = static_cast<unsigned>(std::atoi(argv[++i]));
        } else if (arg == "--workers" && i + 1 < argc) {
            workers = static_cast<std::size_t>(std::atoi(argv[++i]));
        } else {
            qubits = 0;
            break;
        }
    }
    if (qubits < 1 || qubits > 40 || workers < 1) {
        std::fprintf(stderr, "usage: %s --qubits N [--workers 2] < gates.txt\n", argv[0]);
        return 2;
    }
    std::vector<Gate> gates;
    std::string line;
    for (std::size_t number = 1; std::getline(std::cin, line); ++number) {
        if (!parse_gate(line, gates)) {
            std::fprintf(stderr, "pass count: line %zu is not a gate: %s\n", number, line.c_str());
            return 2;
        }
    }
    const std::size_t listed = gates.size();
    const Circuit circuit(std::move(gates));
    const BlockShape& s = machine_block_shape();
    const PlanCounts counts = count_plan(circuit.gates(), std::size_t{1} << qubits, workers, s);
    std::printf("{\"qubits\": %u, \"workers\": %zu, \"gates\": %zu, \"fused_gates\": %zu, \"passes\": %zu, "
                "\"sweeps\": %zu, \"block_shape\": \"%u,%u,%u,%u,%u,%u,%u,%u,%u\"}\n",
                qubits, workers, listed, circuit.gates().size(), counts.passes, counts.sweeps, s.width, s.min_low,
                s.max_far, s.outer,
                s.sub_width, s.sub_min_low, s.sub_max_far, s.far_qubit, s.sub_far_qubit);
    return 0;
}
