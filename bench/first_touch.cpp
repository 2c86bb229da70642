// First touch of a fresh state vector: fault it in first, or as the first
// group of gates reaches each block? Every sample maps fresh memory
// (allocate_amplitudes, 2 MiB-aligned, huge pages advised), runs one group
// of gates over it on the process-wide pool and unmaps it. Strategies,
// alternated round by round (each round starts one further in the list):
//
//   core      StateVector + Circuit::run: what a run does today (the pages
//             populated over the pool, then the group's pass), for reference
//   populate  the same order with the core's pieces: prefault_amplitudes over
//             the pool, then the group block by block (timed apart as the
//             touch and the pass)
//   overlap   each worker populates a block (prefault_amplitudes) just before
//             it runs the group over it: no separate populate pass
//   touch     no populating at all: the kernels' own first reads and writes
//             fault the pages in
//
// and, apart from the rounds, the group on memory already present ("warm").
// Groups: "layer", H on qubits 0 .. sub_width-1 (one group of the planner:
// the first pass of an H layer), sub-block by sub-block; "one", one H on
// qubit 0. A block is 2^width amplitudes of the machine's block shape (one
// 2 MiB page where the L2 is 1 MiB), a sub-block 2^sub_width.
//
//   vastrel_first_touch [--qubits 26,27,28] [--threads 2] [--rounds 15]
//                       [--groups layer,one] [--strategies core,populate,overlap,touch]
//                       [--no-huge-pages]
//
// --no-huge-pages turns transparent huge pages off for this process
// (PR_SET_THP_DISABLE), as on a system where they are unavailable: the
// states then live in 4 KiB pages.
// Sizes from 24 qubits on: the core keeps a freed vector of up to 2^23
// amplitudes for the next run, so below that "core" would not map fresh memory.
// The first round is a warm-up and is not reported: on a virtual machine the
// first touch of guest memory after boot can be many times slower (the host
// faults its own pages in). Prints one JSON object; progress on stderr.
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "sim/amplitude_memory.hpp"
#include "sim/block_shape.hpp"
#include "sim/circuit.hpp"
#include "sim/executor.hpp"
#include "sim/kernels.hpp"
#include "sim/state_vector.hpp"
#include "sim/thread_pool.hpp"

namespace {

using namespace vastrel::sim;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

std::vector<std::string> parse_words(const std::string& text) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        if (comma > at) {
            out.push_back(text.substr(at, comma - at));
        }
        at = comma + 1;
    }
    return out;
}

double median_of(std::vector<double> v) {
    if (v.empty()) {
        return 0.0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

constexpr std::size_t kPageAmplitudes = 4096 / sizeof(Complex32);

struct Setup {
    unsigned qubits;
    std::size_t n;
    unsigned width;      // a block: 2^width amplitudes, the unit a worker populates
    unsigned sub_width;  // a sub-block: 2^sub_width amplitudes, the unit the layer runs over
    std::vector<Gate> gates;
    std::vector<Matrix2> matrices;
    std::vector<unsigned> targets;
    ThreadPool* pool;
    const kernels::KernelSet* ks;
};

// The group over the amplitudes [base, base + 2^width), sub-block by sub-block
// for targets inside a sub-block: what the executor does with such a group.
void run_group_on_block(const Setup& s, Complex32* data, std::size_t base) {
    const std::size_t sub = std::size_t{1} << s.sub_width;
    const std::size_t block = std::size_t{1} << s.width;
    for (std::size_t at = base; at < base + block; at += sub) {
        for (std::size_t k = 0; k < s.targets.size(); ++k) {
            s.ks->mat2(data, s.targets[k], s.matrices[k], at / 2, (at + sub) / 2);
        }
    }
}

// Blocks split over the pool; before its group each block is populated, or not.
void run_group(const Setup& s, Complex32* data, bool populate_blocks) {
    const std::size_t blocks = s.n >> s.width;
    s.pool->parallel_for(blocks, [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k) {
            const std::size_t base = k << s.width;
            if (populate_blocks) {
                prefault_amplitudes(data, base, base + (std::size_t{1} << s.width));
            }
            run_group_on_block(s, data, base);
        }
    });
}

void populate(const Setup& s, Complex32* data) {
    const std::size_t pages = (s.n + kPageAmplitudes - 1) / kPageAmplitudes;
    s.pool->parallel_for(pages, [&](std::size_t b, std::size_t e) {
        prefault_amplitudes(data, b * kPageAmplitudes, std::min(e * kPageAmplitudes, s.n));
    });
}

// The process's anonymous memory in transparent huge pages, in bytes (from
// /proc/self/smaps_rollup; 0 when it cannot be read).
double huge_page_bytes() {
    std::ifstream in("/proc/self/smaps_rollup");
    std::string key;
    double kb = 0.0;
    while (in >> key) {
        if (key == "AnonHugePages:") {
            in >> kb;
            return kb * 1024.0;
        }
        in.ignore(1 << 20, '\n');
    }
    return 0.0;
}

struct Sample {
    double huge = 0.0;   // the share of the vector in huge pages, after the group
    double total = 0.0;
    double touch = 0.0;  // populate: the populate pass alone
    double pass = 0.0;   // populate: the group's pass alone
    double unmap = 0.0;
};

// One sample of a strategy on fresh memory. A fresh vector holds the basis
// state: amplitude 0 written on the calling thread, as a new StateVector does.
Sample sample(const Setup& s, const std::string& strategy, const Circuit& circuit) {
    Sample out;
    if (strategy == "core") {
        const auto t0 = Clock::now();
        {
            StateVector state(s.qubits);
            circuit.run(state);
            const auto t1 = Clock::now();
            out.total = seconds(t0, t1);
        }
        return out;
    }
    const auto t0 = Clock::now();
    Complex32* data = allocate_amplitudes(s.n);
    data[0] = Complex32{1.0f, 0.0f};
    if (strategy == "populate") {
        const auto t1 = Clock::now();
        populate(s, data);
        const auto t2 = Clock::now();
        run_group(s, data, false);
        const auto t3 = Clock::now();
        out.touch = seconds(t1, t2);
        out.pass = seconds(t2, t3);
        out.total = seconds(t0, t3);
    } else {
        run_group(s, data, strategy == "overlap");
        out.total = seconds(t0, Clock::now());
    }
    out.huge = huge_page_bytes() / static_cast<double>(s.n * sizeof(Complex32));
    const auto u0 = Clock::now();
    free_amplitudes(data, s.n);
    out.unmap = seconds(u0, Clock::now());
    return out;
}

// "name_median<unit>" and "name_samples<unit>" (unit "_s": seconds).
void print_samples(const char* name, const std::vector<double>& v, const char* unit = "_s") {
    std::printf(", \"%s_median%s\": %.9g, \"%s_samples%s\": [", name, unit, median_of(v), name, unit);
    for (std::size_t k = 0; k < v.size(); ++k) {
        std::printf("%s%.9g", k == 0 ? "" : ", ", v[k]);
    }
    std::printf("]");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> qubit_words = {"26", "27", "28"};
    std::vector<std::string> groups = {"layer", "one"};
    std::vector<std::string> strategies = {"core", "populate", "overlap", "touch"};
    unsigned threads = 2;
    unsigned rounds = 15;
    bool huge_pages = true;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "--no-huge-pages") {
            huge_pages = false;
        } else if (a + 1 < argc && arg == "--qubits") {
            qubit_words = parse_words(argv[++a]);
        } else if (a + 1 < argc && arg == "--threads") {
            threads = static_cast<unsigned>(std::atoi(argv[++a]));
        } else if (a + 1 < argc && arg == "--rounds") {
            rounds = static_cast<unsigned>(std::atoi(argv[++a]));
        } else if (a + 1 < argc && arg == "--groups") {
            groups = parse_words(argv[++a]);
        } else if (a + 1 < argc && arg == "--strategies") {
            strategies = parse_words(argv[++a]);
        } else {
            std::fprintf(stderr,
                         "usage: %s [--qubits 26,27,28] [--threads 2] [--rounds 15] [--groups layer,one] "
                         "[--strategies core,populate,overlap,touch] [--no-huge-pages]\n",
                         argv[0]);
            return 2;
        }
    }
    if (!huge_pages && ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0) {
        std::perror("first touch: PR_SET_THP_DISABLE");
        return 1;
    }
    build_global(threads);
    const BlockShape& shape = machine_block_shape();
    const unsigned sub_width = shape.sub_width != 0 ? shape.sub_width : shape.width;
    std::printf("{\"threads\": %u, \"kernels\": \"%s\", \"width\": %u, \"sub_width\": %u, \"rounds\": %u, "
                "\"warmup_rounds\": 1, \"huge_pages_allowed\": %s, \"results\": [",
                threads, kernels::active_kernels().name, shape.width, sub_width, rounds, huge_pages ? "true" : "false");
    bool first_row = true;
    for (const std::string& word : qubit_words) {
        const unsigned qubits = static_cast<unsigned>(std::atoi(word.c_str()));
        for (const std::string& group : groups) {
            Setup s{qubits, std::size_t{1} << qubits, shape.width, sub_width, {}, {}, {}, &global_pool(),
                    &kernels::active_kernels()};
            const unsigned count = group == "one" ? 1 : sub_width;
            for (unsigned t = 0; t < count; ++t) {
                s.gates.push_back(H{t});
                s.targets.push_back(t);
                s.matrices.push_back(matrix_of(H{t}));
            }
            const Circuit circuit(s.gates);
            const std::size_t passes = count_passes(circuit.gates(), s.n, threads);
            std::vector<std::vector<Sample>> samples(strategies.size());
            for (unsigned r = 0; r <= rounds; ++r) {  // round 0: warm-up, dropped
                for (std::size_t k = 0; k < strategies.size(); ++k) {
                    const std::size_t which = (k + r) % strategies.size();
                    const Sample x = sample(s, strategies[which], circuit);
                    if (r > 0) {
                        samples[which].push_back(x);
                    }
                }
            }
            // The group on present memory: the same state, run again.
            std::vector<double> warm;
            {
                StateVector state(qubits);
                circuit.run(state);
                for (unsigned r = 0; r < rounds; ++r) {
                    const auto t0 = Clock::now();
                    circuit.run(state);
                    warm.push_back(seconds(t0, Clock::now()));
                }
            }
            std::fprintf(stderr, "first touch: %u qubits, group %s (%zu gates, %zu pass(es) in the core):", qubits,
                         group.c_str(), s.gates.size(), passes);
            for (std::size_t k = 0; k < strategies.size(); ++k) {
                std::vector<double> total;
                std::vector<double> touch;
                std::vector<double> pass;
                std::vector<double> unmap;
                std::vector<double> huge;
                for (const Sample& x : samples[k]) {
                    huge.push_back(x.huge);
                    total.push_back(x.total);
                    touch.push_back(x.touch);
                    pass.push_back(x.pass);
                    unmap.push_back(x.unmap);
                }
                std::fprintf(stderr, " %s %.1f ms", strategies[k].c_str(), median_of(total) * 1e3);
                std::printf("%s\n {\"qubits\": %u, \"group\": \"%s\", \"gates\": %zu, \"core_passes\": %zu, "
                            "\"strategy\": \"%s\"",
                            first_row ? "" : ",", qubits, group.c_str(), s.gates.size(), passes,
                            strategies[k].c_str());
                first_row = false;
                print_samples("total", total);
                if (strategies[k] == "populate") {
                    print_samples("touch", touch);
                    print_samples("pass", pass);
                }
                if (strategies[k] != "core") {
                    print_samples("huge_page_share", huge, "");
                    print_samples("unmap", unmap);
                }
                std::printf("}");
            }
            std::fprintf(stderr, " warm %.1f ms\n", median_of(warm) * 1e3);
            std::printf(",\n {\"qubits\": %u, \"group\": \"%s\", \"gates\": %zu, \"core_passes\": %zu, "
                        "\"strategy\": \"warm\"",
                        qubits, group.c_str(), s.gates.size(), passes);
            print_samples("total", warm);
            std::printf("}");
        }
    }
    std::printf("\n]}\n");
    return 0;
}
