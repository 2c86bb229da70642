// Time of one gate: a one-gate circuit run on a state that is already in
// memory, on the process-wide pool and the kernel set the module uses. This
// is the pass the simulator makes for a gate that nothing groups with; the
// harness divides it by the roofline's bound. Gate kinds, targets and runs
// are interleaved so that a noisy machine hits them alike. Prints one JSON
// object on stdout.
//
//   vastrel_gate_pass [--qubits 20,24,26] [--threads 2] [--reps 9]
//
// Low target 0, mid n/2, high n-1; two-qubit gates use control 0 (1 for
// target 0), so every cache line holds amplitudes the gate changes. Mat2 is
// 16 single-qubit gates on the target, which the circuit fuses into one.
//
// The bound is timed in the same rounds, on the same state and pool: the
// roofline's in-place loops (plain and streamed; a round's bound is the
// faster of the two) and its pairs half the vector apart. Memory bandwidth
// on a shared machine drifts from minute to minute, so a bound measured
// minutes away from the gates would make their ratio drift with it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "sim/circuit.hpp"
#include "sim/kernels.hpp"
#include "sim/state_vector.hpp"
#include "sim/thread_pool.hpp"
#include "stream_loops.hpp"

namespace {

using namespace vastrel::sim;

std::vector<unsigned> parse_list(const std::string& text) {
    std::vector<unsigned> out;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        out.push_back(static_cast<unsigned>(std::stoul(text.substr(at, comma - at))));
        at = comma + 1;
    }
    return out;
}

const char* const kKinds[] = {"x", "h", "rz", "crz", "cnot", "mat2"};
const char* const kWheres[] = {"low", "mid", "high"};

std::vector<Gate> gates_for(const std::string& kind, unsigned t) {
    const unsigned c = t == 0 ? 1 : 0;
    if (kind == "x") return {X{t}};
    if (kind == "h") return {H{t}};
    if (kind == "rz") return {Rz{t, 0.7f}};
    if (kind == "crz") return {Crz{c, t, 0.7f}};
    if (kind == "cnot") return {Cnot{c, t}};
    std::vector<Gate> gs;
    for (int k = 0; k < 16; ++k) {
        if (k % 2 == 0) {
            gs.push_back(H{t});
        } else {
            gs.push_back(Rz{t, 0.7f});
        }
    }
    return gs;
}

double median_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

struct Case {
    std::string kind;
    const char* where;
    unsigned target;
    std::function<void()> pass;
    std::vector<double> samples;
};

// The bound's loops over the state's floats, split over the pool as a gate
// is: plain, streamed, or pairs half the vector apart.
enum class Loop { Plain, Streamed, TopPairs };

void scale_state(StateVector& state, Loop loop) {
    float* data = reinterpret_cast<float*>(state.amplitudes().data());
    const std::size_t floats = 2 * state.size();
    // Close enough to 1 that values stay normal over any number of passes.
    const float factor = 1.0000001f;
    const std::size_t span = loop == Loop::TopPairs ? floats / 2 : floats;
    global_pool().parallel_for(span, [&](std::size_t b, std::size_t e) {
        if (loop == Loop::Plain) {
            scale_range(data + b, e - b, factor);
        } else {
            scale_lines(data + b, loop == Loop::TopPairs ? data + b + floats / 2 : nullptr, e - b, factor);
        }
    });
}

void print_row(bool first_row, unsigned qubits, const std::string& kind, const char* where, unsigned target,
               unsigned passes, const std::vector<double>& samples) {
    std::printf("%s\n {\"qubits\": %u, \"gate\": \"%s\", \"where\": \"%s\", \"target\": %u, "
                "\"passes_per_sample\": %u, \"median_s\": %.9g, \"min_s\": %.9g, \"samples_s\": [",
                first_row ? "" : ",", qubits, kind.c_str(), where, target, passes, median_of(samples),
                *std::min_element(samples.begin(), samples.end()));
    for (std::size_t k = 0; k < samples.size(); ++k) {
        std::printf("%s%.9g", k == 0 ? "" : ", ", samples[k]);
    }
    std::printf("]}");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<unsigned> qubits = {20, 24, 26};
    unsigned threads = 2;
    unsigned reps = 9;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (a + 1 < argc && arg == "--qubits") {
            qubits = parse_list(argv[++a]);
        } else if (a + 1 < argc && arg == "--threads") {
            threads = static_cast<unsigned>(std::atoi(argv[++a]));
        } else if (a + 1 < argc && arg == "--reps") {
            reps = static_cast<unsigned>(std::atoi(argv[++a]));
        } else {
            std::fprintf(stderr, "usage: %s [--qubits 20,24,26] [--threads 2] [--reps 9]\n", argv[0]);
            return 2;
        }
    }
    build_global(threads);

    std::printf("{\"threads\": %u, \"kernels\": \"%s\", \"results\": [", threads, kernels::active_kernels().name);
    bool first_row = true;
    for (unsigned n : qubits) {
        StateVector state(n);
        // Every page touched before timing, with values that stay normal
        // under any number of unitary gates.
        for (Complex32& a : state.amplitudes()) {
            a = Complex32{1e-4f, -1e-4f};
        }
        // Small states take several passes a sample, so a sample is long
        // enough to time.
        const unsigned passes = n >= 24 ? 1 : 1u << (24 - n);
        std::vector<Case> cases;
        std::vector<Circuit> circuits;
        circuits.reserve(std::size(kKinds) * 3);
        for (const char* kind : kKinds) {
            for (unsigned w = 0; w < 3; ++w) {
                const unsigned t = w == 0 ? 0 : w == 1 ? n / 2 : n - 1;
                Circuit& circuit = circuits.emplace_back(gates_for(kind, t));
                cases.push_back(Case{kind, kWheres[w], t, [&circuit, &state] { circuit.run(state); }, {}});
            }
        }
        const std::size_t num_gates = cases.size();
        const Loop loops[] = {Loop::Plain, Loop::Streamed, Loop::TopPairs};
        const char* const loop_names[] = {"plain", "streamed", "top_pairs"};
        for (unsigned k = 0; k < 3; ++k) {
            const Loop loop = loops[k];
            cases.push_back(Case{"bound", loop_names[k], 0, [&state, loop] { scale_state(state, loop); }, {}});
        }
        for (Case& c : cases) {  // one untimed pass each: first-use costs
            c.pass();
        }
        for (unsigned r = 0; r < reps; ++r) {
            for (Case& c : cases) {
                const auto t0 = std::chrono::steady_clock::now();
                for (unsigned k = 0; k < passes; ++k) {
                    c.pass();
                }
                const auto t1 = std::chrono::steady_clock::now();
                c.samples.push_back(std::chrono::duration<double>(t1 - t0).count() / passes);
            }
        }
        for (std::size_t k = 0; k < num_gates; ++k) {
            const Case& c = cases[k];
            print_row(first_row, n, c.kind, c.where, c.target, passes, c.samples);
            first_row = false;
        }
        // A round's bound: the faster of its plain and streamed pass.
        std::vector<double> bound;
        for (unsigned r = 0; r < reps; ++r) {
            bound.push_back(std::min(cases[num_gates].samples[r], cases[num_gates + 1].samples[r]));
        }
        print_row(false, n, "bound", "in_place", 0, passes, bound);
        print_row(false, n, "bound", "top_pairs", 0, passes, cases[num_gates + 2].samples);
        std::fprintf(stderr, "gate pass: %u qubits done\n", n);
    }
    std::printf("\n]}\n");
    return 0;
}
