// Choosing the kernel set once per process: the widest set this CPU runs,
// unless VASTREL_KERNELS names another.
#include <cstdlib>
#include <cstring>

#include "kernels.hpp"

namespace vastrel::sim::kernels {

// Sets whose source is not part of this build report themselves absent.
#ifndef VASTREL_HAVE_AVX2
const KernelSet* avx2_kernels() { return nullptr; }
#endif
#ifndef VASTREL_HAVE_AVX512
const KernelSet* avx512_kernels() { return nullptr; }
#endif

namespace {

const KernelSet& choose() {
    const KernelSet* avx512 = avx512_kernels();
    const KernelSet* avx2 = avx2_kernels();
    if (const char* forced = std::getenv("VASTREL_KERNELS")) {
        if (std::strcmp(forced, "scalar") == 0) {
            return scalar_kernels();
        }
        if (std::strcmp(forced, "avx2") == 0 && avx2 != nullptr) {
            return *avx2;
        }
        if (std::strcmp(forced, "avx512") == 0 && avx512 != nullptr) {
            return *avx512;
        }
    }
    if (avx512 != nullptr) {
        return *avx512;
    }
    if (avx2 != nullptr) {
        return *avx2;
    }
    return scalar_kernels();
}

}  // namespace

const KernelSet& active_kernels() {
    static const KernelSet& chosen = choose();
    return chosen;
}

}  // namespace vastrel::sim::kernels
