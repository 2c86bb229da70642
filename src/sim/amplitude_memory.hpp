// Amplitude storage: zeroed memory for a state vector and its release. Large
// vectors are mapped directly, 2 MiB-aligned, so SIMD loads never straddle
// cache lines and huge pages cover them whole; small ones come from calloc.
#pragma once

#include <cstddef>

#include "complex.hpp"

namespace vastrel::sim {

// length zeroed amplitudes; throws std::bad_alloc when they cannot be had.
Complex32* allocate_amplitudes(std::size_t length);

// Frees what allocate_amplitudes(length) returned; null is ignored.
void free_amplitudes(Complex32* data, std::size_t length) noexcept;

}  // namespace vastrel::sim
