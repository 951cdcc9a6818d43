// output.cpp - checked standard output.
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "tool.h"

namespace wisam::tool {

namespace {

int outputErrno = 0;        // errno of the first failed write to standard output
bool outputReported = false;

void noteOutput(bool ok) {
    if (!ok && outputErrno == 0) outputErrno = errno != 0 ? errno : EIO;
}

}  // namespace

void out(const char *format, ...) {
    if (outputErrno != 0) return;
    std::va_list arguments;
    va_start(arguments, format);
    errno = 0;
    const int written = std::vprintf(format, arguments);
    va_end(arguments);
    noteOutput(written >= 0 && std::ferror(stdout) == 0);
}

void outBytes(const void *bytes, size_t count) {
    if (outputErrno != 0 || count == 0) return;
    errno = 0;
    noteOutput(std::fwrite(bytes, 1, count, stdout) == count);
}

bool outputFailed() { return outputErrno != 0; }

bool finishOutput(const std::string &what) {
    if (outputErrno == 0) {
        errno = 0;
        noteOutput(std::fflush(stdout) == 0 && std::ferror(stdout) == 0);
    }
    if (outputErrno == 0) return true;
    if (!outputReported) {
        std::fprintf(stderr, "wisam: %s: writing standard output: %s\n", what.c_str(),
                     std::strerror(outputErrno));
        outputReported = true;
    }
    return false;
}

}  // namespace wisam::tool
