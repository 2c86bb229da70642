// Writing straight to a file descriptor, bypassing every buffer (Python's
// sys.stdout/sys.stderr and C stdio alike), so nothing can hold a line back.
#pragma once

#include <string_view>

namespace vastrel::py {

// Writes all of text, retrying partial writes and EINTR; 0 on success, else
// the errno of the failed write.
int write_all(int fd, std::string_view text) noexcept;

}  // namespace vastrel::py
