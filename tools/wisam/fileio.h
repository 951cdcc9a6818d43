// fileio.h - the tool's own plain files (kept schemas, backup copies):
// descriptors closed at the end of their scope, bytes written whole.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <string>

namespace wisam::tool {

// A descriptor closed when it goes out of scope (-1: none).
struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

// Writes all `length` bytes, again after an interruption; false (errno set)
// when the system refuses or makes no progress.
bool writeAll(int fd, const void *bytes, size_t length);

// "WHAT: " and the system's text of errno.
std::string systemError(const std::string &what);

}  // namespace wisam::tool
