// The in-place loops that price a gate's pass over memory: every float read,
// multiplied by a factor and written back, 16 bytes per amplitude as a gate
// kernel moves them. Shared by the roofline program and the per-gate
// program, which times them between its gates.
#pragma once

#include <cstddef>
#include <cstring>

namespace {

// A pass streams the way the simulator's kernels do, so that the bound is
// not lower than what they reach: 64-byte lines requested 2 KiB ahead in
// software, and four interleaved cursors over consecutive parts whose starts
// are a few lines off a power-of-two spacing.
constexpr std::size_t kLine = 16;            // floats per 64-byte line
constexpr std::size_t kAheadFloats = 512;    // 2 KiB
constexpr std::size_t kCursors = 4;
constexpr std::size_t kSkewLines = 8;

// The plain loop, which can beat the streamed one while a buffer fits in
// cache; the bound is the faster of the two.
__attribute__((target_clones("avx512f", "avx2", "default"))) void
scale_range(float* __restrict data, std::size_t count, float factor) {
  for (std::size_t i = 0; i < count; ++i) {
    data[i] = data[i] * factor;
  }
}

// The widest vector unit the CPU has is chosen at load time. Compiled
// without FMA contraction like the rest of the project; the product is what
// a gate does to each float.
__attribute__((target_clones("avx512f", "avx2", "default"))) void
scale_lines(float* __restrict first, float* __restrict second, std::size_t count, float factor) {
  // first[0, count) and, when second is set, second[0, count) in step: the
  // pattern of a gate on the top qubit, whose pairs lie half a vector apart.
  // One line as one vector value: 4 SSE, 2 AVX or 1 AVX-512 register.
  using Line = float __attribute__((vector_size(kLine * sizeof(float))));
  auto scale = [factor](float* p) __attribute__((always_inline)) {
    Line v;
    std::memcpy(&v, p, sizeof v);
    v = v * factor;
    std::memcpy(p, &v, sizeof v);
  };
  auto line = [&](std::size_t at) __attribute__((always_inline)) {
    __builtin_prefetch(first + at + kAheadFloats, 1);
    scale(first + at);
    if (second != nullptr) {
      __builtin_prefetch(second + at + kAheadFloats, 1);
      scale(second + at);
    }
  };
  const std::size_t lines = count / kLine;
  const std::size_t part = lines / kCursors;
  std::size_t done = 0;
  if (part > kCursors * kSkewLines) {
    std::size_t start[kCursors + 1];
    for (std::size_t s = 0; s < kCursors; ++s) {
      start[s] = s * (part + kSkewLines);
    }
    start[kCursors] = lines;
    const std::size_t common = part - (kCursors - 1) * kSkewLines;
    for (std::size_t k = 0; k < common; ++k) {
      for (std::size_t s = 0; s < kCursors; ++s) {
        line((start[s] + k) * kLine);
      }
    }
    for (std::size_t s = 0; s < kCursors; ++s) {
      for (std::size_t k = start[s] + common; k < start[s + 1]; ++k) {
        line(k * kLine);
      }
    }
    done = lines;
  }
  for (std::size_t k = done; k < lines; ++k) {
    line(k * kLine);
  }
  for (std::size_t i = lines * kLine; i < count; ++i) {
    first[i] = first[i] * factor;
    if (second != nullptr) {
      second[i] = second[i] * factor;
    }
  }
}

}  // namespace
