// Writing a whole buffer to a descriptor, however the system splits the write and whatever
// signals interrupt it: the report channel and the state files both need it.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>

namespace kov::platform {

inline bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace kov::platform
