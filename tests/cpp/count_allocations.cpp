// The test binary's operator new, counting every call so a test can show
// that a stretch of work allocates nothing. Its own file, so no caller sees
// the malloc behind it.
#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> g_allocations{0};
}  // namespace

namespace vastrel::sim::test {
std::size_t allocation_count() { return g_allocations.load(std::memory_order_relaxed); }
}  // namespace vastrel::sim::test

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
