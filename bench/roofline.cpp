// The memory roofline: in-place read+write bandwidth over a buffer the size
// of a state vector, which bounds what any one-pass gate kernel can reach.
//
// Each pass reads every float of a buffer of 2^n complex64 values and writes
// it back scaled, the same traffic as a gate kernel (16 bytes per amplitude:
// 8 read, 8 written). The buffer is split into contiguous parts, one per
// thread, as the simulator's pool splits a state vector. Passes are timed
// between two barriers, so thread start-up is not counted; the median pass
// of the faster of two loops (a plain one, and one that streams as the
// kernels do) is the bound for one gate. A third streams pairs half the buffer
// apart, as a gate on the top qubit must: on some machines writes that far
// apart land in the same DRAM banks and run slower than one stream. Prints
// one JSON object on stdout.
//
//   vastrel_roofline [--qubits 20,24,26] [--threads 1,2] [--passes 11]

#include <algorithm>
#include <barrier>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "stream_loops.hpp"

namespace {

constexpr std::size_t kAlign = 64;
constexpr std::size_t kBytesPerAmplitude = 16;  // one complex64 read + one written

std::vector<int> parse_list(const char* text) {
  std::vector<int> values;
  std::string s(text);
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t end = s.find(',', start);
    if (end == std::string::npos) {
      end = s.size();
    }
    if (end > start) {
      values.push_back(std::atoi(s.substr(start, end - start).c_str()));
    }
    start = end + 1;
  }
  return values;
}

struct Measurement {
  int qubits;
  int threads;
  double median_s;
  double min_s;
  int passes;
};

// Contiguous parts, one per thread (the bound per gate), or pairs half the
// buffer apart, each thread a part of the lower half and the same part of
// the upper one (what a gate on the top qubit must stream).
enum class Pattern { Plain, Contiguous, TopPairs };

// One buffer, one thread count: a warm-up pass (it also faults the pages in),
// then `passes` timed passes.
Measurement measure(int qubits, int threads, int passes, Pattern pattern) {
  const std::size_t amplitudes = std::size_t{1} << qubits;
  const std::size_t floats = 2 * amplitudes;
  const std::size_t bytes = floats * sizeof(float);
  auto* data = static_cast<float*>(std::aligned_alloc(kAlign, bytes));
  if (data == nullptr) {
    std::fprintf(stderr, "roofline: cannot allocate %zu bytes\n", bytes);
    std::exit(1);
  }

  // A factor this close to 1 keeps the values normal for thousands of passes,
  // so no pass runs into subnormal slow paths.
  const float factor = 1.0000001f;
  const bool pairs = pattern == Pattern::TopPairs;
  const std::size_t span = pairs ? floats / 2 : floats;  // what the threads split
  const std::size_t per_thread = span / static_cast<std::size_t>(threads);
  std::barrier sync(threads);
  bool stop = false;

  auto part_of = [&](int index, float** begin, std::size_t* count) {
    *begin = data + per_thread * static_cast<std::size_t>(index);
    *count = index == threads - 1 ? span - per_thread * static_cast<std::size_t>(index) : per_thread;
  };
  auto stream = [&](float* begin, std::size_t count) {
    if (pattern == Pattern::Plain) {
      scale_range(begin, count, factor);
    } else {
      scale_lines(begin, pairs ? begin + floats / 2 : nullptr, count, factor);
    }
  };
  auto touch = [&](float* begin, std::size_t count) {
    // First touch by the thread that will stream through this part.
    for (std::size_t i = 0; i < count; ++i) {
      begin[i] = 1.0f;
      if (pairs) {
        begin[i + floats / 2] = 1.0f;
      }
    }
  };

  auto work = [&](int index) {
    float* begin = nullptr;
    std::size_t count = 0;
    part_of(index, &begin, &count);
    touch(begin, count);
    while (true) {
      sync.arrive_and_wait();  // start of a pass (or the stop signal)
      if (stop) {
        return;
      }
      stream(begin, count);
      sync.arrive_and_wait();  // end of the pass
    }
  };

  std::vector<std::thread> workers;
  for (int t = 1; t < threads; ++t) {
    workers.emplace_back(work, t);
  }

  // The calling thread is worker 0; it also keeps the clock.
  float* begin0 = nullptr;
  std::size_t count0 = 0;
  part_of(0, &begin0, &count0);
  touch(begin0, count0);
  std::vector<double> times;
  for (int pass = 0; pass <= passes; ++pass) {
    sync.arrive_and_wait();
    auto t0 = std::chrono::steady_clock::now();
    stream(begin0, count0);
    sync.arrive_and_wait();
    auto t1 = std::chrono::steady_clock::now();
    if (pass > 0) {  // pass 0 is the warm-up
      times.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
  }
  stop = true;
  sync.arrive_and_wait();
  for (auto& w : workers) {
    w.join();
  }

  // Keep the buffer observable so the passes cannot be dropped.
  volatile float sink = data[floats / 2];
  (void)sink;
  std::free(data);

  std::sort(times.begin(), times.end());
  return Measurement{qubits, threads, times[times.size() / 2], times.front(), passes};
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> qubits{20, 24, 26};
  std::vector<int> threads{1, 2};
  int passes = 11;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--qubits") == 0 && i + 1 < argc) {
      qubits = parse_list(argv[++i]);
    } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
      threads = parse_list(argv[++i]);
    } else if (std::strcmp(argv[i], "--passes") == 0 && i + 1 < argc) {
      passes = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--qubits 20,24,26] [--threads 1,2] [--passes N]\n", argv[0]);
      return 2;
    }
  }
  for (int q : qubits) {
    if (q < 4 || q > 34) {
      std::fprintf(stderr, "roofline: qubits must lie in 4..34, got %d\n", q);
      return 2;
    }
  }
  for (int t : threads) {
    if (t < 1 || t > 256) {
      std::fprintf(stderr, "roofline: threads must lie in 1..256, got %d\n", t);
      return 2;
    }
  }

  std::printf("{\n  \"bytes_per_amplitude\": %zu,\n  \"results\": [", kBytesPerAmplitude);
  bool first = true;
  for (int q : qubits) {
    for (int t : threads) {
      const Measurement plain = measure(q, t, passes, Pattern::Plain);
      const Measurement streamed = measure(q, t, passes, Pattern::Contiguous);
      const Measurement& m = plain.median_s < streamed.median_s ? plain : streamed;
      const Measurement top = measure(q, t, passes, Pattern::TopPairs);
      const double bytes = static_cast<double>(kBytesPerAmplitude) * static_cast<double>(std::uint64_t{1} << q);
      std::fprintf(stderr, "roofline: %d qubits, %d thread(s): %.2f GB/s (pairs half the buffer apart: %.2f GB/s)\n",
                   q, t, bytes / m.median_s / 1e9, bytes / top.median_s / 1e9);
      std::printf("%s\n    {\"qubits\": %d, \"threads\": %d, \"passes\": %d, \"median_s\": %.9g, "
                  "\"min_s\": %.9g, \"bandwidth_gb_s\": %.6g, \"bound_per_gate_s\": %.9g, "
                  "\"plain_median_s\": %.9g, \"streamed_median_s\": %.9g, "
                  "\"top_pairs_median_s\": %.9g, \"top_pairs_bandwidth_gb_s\": %.6g}",
                  first ? "" : ",", m.qubits, m.threads, m.passes, m.median_s, m.min_s, bytes / m.median_s / 1e9,
                  m.median_s, plain.median_s, streamed.median_s, top.median_s, bytes / top.median_s / 1e9);
      first = false;
    }
  }
  std::printf("\n  ]\n}\n");
  return 0;
}
