// fileio.cpp - the tool's own plain files.
#include "fileio.h"

#include <cerrno>
#include <cstring>

namespace wisam::tool {

bool writeAll(int fd, const void *bytes, size_t length) {
    const auto *next = static_cast<const unsigned char *>(bytes);
    while (length > 0) {
        const ssize_t put = ::write(fd, next, length);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        next += put;
        length -= static_cast<size_t>(put);
    }
    return true;
}

std::string systemError(const std::string &what) { return what + ": " + std::strerror(errno); }

}  // namespace wisam::tool
