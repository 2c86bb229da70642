// Panic: the one way the core reports a condition it cannot meet. It carries
// a message and the place it was raised; the Python boundary turns it into
// the module's panic exception.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace vastrel::sim {

class Panic : public std::exception {
public:
    explicit Panic(std::string message,
                   std::source_location where = std::source_location::current());

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Called by the Panic constructor on the raising thread, before unwinding
// starts, so a report can name the thread and place. Null (the default) means
// no report; the Python module installs one that writes to standard error.
using PanicHook = void (*)(const Panic&) noexcept;
void set_panic_hook(PanicHook hook) noexcept;

}  // namespace vastrel::sim
