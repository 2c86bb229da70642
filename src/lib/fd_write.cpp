// write_all: the module's only output path (panic reports, the thread-count line).
#include "fd_write.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace vastrel::py {

int write_all(int fd, std::string_view text) noexcept {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (n == 0) {
            return EIO;  // a zero-length write would otherwise loop for ever
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

}  // namespace vastrel::py
