// The SIMD kernel body at eight amplitudes a register, on portable vectors
// (portable8.cpp): the tests' stand-in for AVX-512 where the CPU lacks it.
#pragma once

#include "sim/kernels.hpp"

namespace vastrel::sim {

const kernels::KernelSet& portable8_kernels();

}  // namespace vastrel::sim
