// output.cpp - checked standard output and the progress line.
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

namespace {

constexpr auto kShowAfter = std::chrono::seconds(1);
constexpr auto kRedrawEvery = std::chrono::milliseconds(250);

}  // namespace

Progress::Progress(const char *verb, int64_t total, const char *unit)
    : verb_(verb), total_(total), unit_(unit), terminal_(isatty(STDERR_FILENO) != 0),
      start_(std::chrono::steady_clock::now()), last_(start_) {}

void Progress::finish() {
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
    terminal_ = false;
}

void Progress::update(int64_t count) {
    if (!terminal_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - start_ < kShowAfter || now - last_ < kRedrawEvery) return;
    last_ = now;
    shown_ = true;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = static_cast<double>(count) / seconds;
    char left[64] = "";
    if (total_ > 0 && rate > 0 && count < total_) {
        std::snprintf(left, sizeof left, ", about %.0f s left",
                      static_cast<double>(total_ - count) / rate);
    }
    std::fprintf(stderr, "\r\033[K%s %lld %s, %.0f/s%s", verb_, static_cast<long long>(count), unit_,
                 rate, left);
}

}  // namespace wisam::tool
