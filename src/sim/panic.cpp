// Panic: recording the message and place, and the process-wide report hook.
#include "panic.hpp"

#include <atomic>
#include <utility>

namespace vastrel::sim {

namespace {
std::atomic<PanicHook> g_hook{nullptr};
}  // namespace

Panic::Panic(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {
    // Report on the raising thread, before unwinding loses where it happened.
    if (PanicHook hook = g_hook.load(std::memory_order_acquire)) {
        hook(*this);
    }
}

void set_panic_hook(PanicHook hook) noexcept { g_hook.store(hook, std::memory_order_release); }

}  // namespace vastrel::sim
