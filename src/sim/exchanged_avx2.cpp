// The AVX2 matrix kernel between exchanges (mat2_exchanged in
// simd_kernels.hpp). Compiled with the flags of kernels_avx2.cpp; called only
// through its set, once that found the CPU able.
#include "isa_avx2.hpp"
#include "simd_kernels.hpp"

namespace vastrel::sim::kernels {

void mat2_exchanged_avx2(Complex32* data, unsigned t, const Matrix2& m, const Exchanges& x, std::size_t begin,
                          std::size_t end) {
    SimdKernels<Avx2>::mat2_exchanged(data, t, m, x, begin, end);
}

}  // namespace vastrel::sim::kernels
