// Whole circuits run block by block against one kernel per gate: QFT and
// random layers, on explicit pools, runs of the two interleaved so that a
// noisy machine hits both alike; medians and the ratio of the medians.
//
//   vastrel_gate_blocks_bench [--qubits 20,22,24] [--threads 1,2] [--reps 7]
//                             [--shapes 17:11:5:20,16:10:2] [--fresh]
// Shapes are width:min_low:max_far[:outer[:sub_width:sub_min_low:sub_max_far]]
// (see gate_blocks.hpp). --fresh allocates a new vector for every run (first touch included), as
// the Python side does; otherwise one vector is reused.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "sim/circuit.hpp"
#include "sim/executor.hpp"
#include "sim/kernels.hpp"
#include "sim/thread_pool.hpp"

namespace {

using namespace vastrel::sim;

std::vector<Gate> qft(unsigned n) {
    std::vector<Gate> gates;
    for (unsigned j = n; j-- > 0;) {
        gates.push_back(H{j});
        for (unsigned k = j; k-- > 0;) {
            gates.push_back(Crz{k, j, static_cast<float>(M_PI / std::ldexp(1.0, int(j - k)))});
        }
    }
    return gates;
}

// As bench/circuits.py: every qubit touched once per layer, alone by
// h/x/rz or paired in a cnot or crz.
std::vector<Gate> random_layers(unsigned n, unsigned layers = 20) {
    std::mt19937_64 rng(20261208u * 131u + n);
    std::uniform_real_distribution<float> angle(-3.14159f, 3.14159f);
    std::vector<Gate> gates;
    for (unsigned l = 0; l < layers; ++l) {
        std::vector<std::uint64_t> order(n);
        for (unsigned q = 0; q < n; ++q) {
            order[q] = q;
        }
        std::shuffle(order.begin(), order.end(), rng);
        for (unsigned i = 0; i < n;) {
            if (i + 1 < n && rng() % 2 == 0) {
                if (rng() % 2 == 0) {
                    gates.push_back(Cnot{order[i], order[i + 1]});
                } else {
                    gates.push_back(Crz{order[i], order[i + 1], angle(rng)});
                }
                i += 2;
            } else {
                switch (rng() % 3) {
                    case 0: gates.push_back(X{order[i]}); break;
                    case 1: gates.push_back(H{order[i]}); break;
                    default: gates.push_back(Rz{order[i], angle(rng)}); break;
                }
                i += 1;
            }
        }
    }
    return gates;
}

std::vector<unsigned> parse_list(const char* text) {
    std::vector<unsigned> out;
    for (const char* p = text; *p != '\0';) {
        char* end = nullptr;
        out.push_back(static_cast<unsigned>(std::strtoul(p, &end, 10)));
        p = *end == '\0' ? end : end + 1;
    }
    return out;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t next = std::min(text.find(sep, at), text.size());
        parts.push_back(text.substr(at, next - at));
        at = next + 1;
    }
    return parts;
}

// Process CPU time: on a shared machine it counts what the run itself
// spent, not the time other processes held the cores.
double cpu_ms() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct Times {
    std::vector<double> wall;
    std::vector<double> cpu;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<unsigned> qubits = {20, 22, 24};
    std::vector<unsigned> threads = {1, 2};
    std::vector<BlockShape> shapes = {kDefaultBlockShape};
    unsigned reps = 7;
    bool fresh = false;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "--fresh") {
            fresh = true;
        } else if (a + 1 < argc && arg == "--qubits") {
            qubits = parse_list(argv[++a]);
        } else if (a + 1 < argc && arg == "--threads") {
            threads = parse_list(argv[++a]);
        } else if (a + 1 < argc && arg == "--reps") {
            reps = static_cast<unsigned>(std::atoi(argv[++a]));
        } else if (a + 1 < argc && arg == "--shapes") {
            // width:min_low:max_far[:outer[:sub_width:sub_min_low:sub_max_far]],
            // comma-separated.
            shapes.clear();
            for (const std::string& one : split(argv[++a], ',')) {
                const std::vector<unsigned> v = parse_list(one.c_str());
                if (v.size() >= 3) {
                    BlockShape shape{v[0], v[1], v[2], v.size() > 3 ? v[3] : 0};
                    if (v.size() >= 7) {
                        shape.sub_width = v[4];
                        shape.sub_min_low = v[5];
                        shape.sub_max_far = v[6];
                    }
                    shapes.push_back(shape);
                }
            }
        } else {
            std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
            return 2;
        }
    }
    const kernels::KernelSet& set = kernels::active_kernels();
    std::printf("kernel set %s, %u runs each, %s vector\n", set.name, reps,
                fresh ? "fresh" : "reused");
    std::printf("%-8s %6s %7s %16s %10s %10s %7s %10s %10s %7s\n", "circuit", "qubits",
                "threads", "shape", "gate ms", "block ms", "speedup", "gate cpu", "block cpu",
                "speedup");
    for (unsigned n : qubits) {
        for (unsigned nt : threads) {
            ThreadPool pool(nt);
            const Backend backend{&pool, &set};
            for (const char* name : {"qft", "random"}) {
                // Built as Circuit(gates) is from Python: fused when it qualifies.
                const Circuit circuit(std::string(name) == "qft" ? qft(n) : random_layers(n));
                const std::vector<Gate>& gates = circuit.gates();
                StateVector reused(n);
                const auto time_one = [&](BlockShape shape, Times& into) {
                    const double cpu_start = cpu_ms();
                    const auto start = std::chrono::steady_clock::now();
                    if (fresh) {
                        StateVector v(n);
                        run_gates(gates, v, &backend, shape);
                    } else {
                        run_gates(gates, reused, &backend, shape);
                    }
                    const auto stop = std::chrono::steady_clock::now();
                    into.cpu.push_back(cpu_ms() - cpu_start);
                    into.wall.push_back(
                        std::chrono::duration<double, std::milli>(stop - start).count());
                };
                Times warm;
                time_one(kNoBlocks, warm);  // pages, pool, caches
                Times plain;
                std::vector<Times> blocked(shapes.size());
                for (unsigned r = 0; r < reps; ++r) {
                    time_one(kNoBlocks, plain);
                    for (std::size_t s = 0; s < shapes.size(); ++s) {
                        time_one(shapes[s], blocked[s]);
                    }
                }
                const double pw = median(plain.wall);
                const double pc = median(plain.cpu);
                for (std::size_t s = 0; s < shapes.size(); ++s) {
                    const double bw = median(blocked[s].wall);
                    const double bc = median(blocked[s].cpu);
                    std::printf("%-8s %6u %7u %2u:%2u:%u:%2u:%2u:%2u:%u %10.1f %10.1f %7.2f %10.1f %10.1f %7.2f\n",
                                name, n, nt, shapes[s].width, shapes[s].min_low, shapes[s].max_far,
                                shapes[s].outer, shapes[s].sub_width, shapes[s].sub_min_low, shapes[s].sub_max_far,
                                pw, bw, pw / bw, pc, bc, pc / bc);
                }
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
