// progress.cpp - the progress line of long work: count and total in the
// work's own units, a moving rate, and the time left from it.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "tool.h"

namespace wisam::tool {

namespace {

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A count as shown: bytes as MiB with one decimal, other units whole.
std::string amount(double value, const std::string &unit) {
    char text[64];
    if (unit == "bytes") {
        std::snprintf(text, sizeof text, "%.1f", value / (1024.0 * 1024.0));
    } else {
        std::snprintf(text, sizeof text, "%.0f", value);
    }
    return text;
}

std::string unitName(const std::string &unit) { return unit == "bytes" ? "MiB" : unit; }

}  // namespace

ProgressOutput ProgressOutput::standardError() {
    return {[] { return std::chrono::steady_clock::now(); },
            [](const std::string &text) { std::fputs(text.c_str(), stderr); }, isatty(STDERR_FILENO) != 0};
}

Progress::Progress(std::string verb, int64_t total, std::string unit, ProgressOutput output)
    : output_(std::move(output)) {
    start_ = lastCheck_ = lastDraw_ = output_.terminal ? output_.clock() : TimePoint{};
    stage(std::move(verb), total, std::move(unit));
}

void Progress::stage(std::string verb, int64_t total, std::string unit, int64_t later) {
    verb_ = std::move(verb);
    total_ = total;
    unit_ = std::move(unit);
    later_ = later;
    sampleTime_ = output_.terminal ? output_.clock() : TimePoint{};
    sampleCount_ = 0;
    rate_ = -1;
    untilCheck_ = 0;  // the next step looks at the clock
}

void Progress::finish() {
    if (shown_) output_.write("\r\033[K");
    shown_ = false;
    output_.terminal = false;
    untilCheck_ = std::numeric_limits<int64_t>::max();
}

void Progress::update(int64_t count) {
    if (!output_.terminal) {
        untilCheck_ = std::numeric_limits<int64_t>::max();
        return;
    }
    const TimePoint now = output_.clock();
    const double sinceCheck = seconds(now - lastCheck_);
    lastCheck_ = now;
    if (sinceCheck < kFastCheck) {
        stride_ = std::min(stride_ * 2, kMaxStride);
    } else if (sinceCheck > kSlowCheck) {
        stride_ = 1;
    }
    untilCheck_ = stride_;
    if (seconds(now - start_) < kShowAfter || (shown_ && seconds(now - lastDraw_) < kRedrawEvery)) return;
    sample(now, count);
    lastDraw_ = now;
    draw(count);
}

// The moving rate: each new measure (the units since the last one over its
// time) weighs by how long it took against kRateWindow, so that the rate
// of the last few seconds counts and the start's is forgotten.
void Progress::sample(TimePoint now, int64_t count) {
    const double elapsed = seconds(now - sampleTime_);
    if (elapsed <= 0) return;
    const double measured = static_cast<double>(count - sampleCount_) / elapsed;
    rate_ = rate_ < 0 ? measured : rate_ + (1 - std::exp(-elapsed / kRateWindow)) * (measured - rate_);
    sampleTime_ = now;
    sampleCount_ = count;
}

void Progress::draw(int64_t count) {
    shown_ = true;
    const double rate = std::max(rate_, 0.0);
    std::string line = "\r\033[K" + verb_ + " " + amount(static_cast<double>(count), unit_);
    if (total_ > 0) line += " of " + amount(static_cast<double>(total_), unit_);
    line += " " + unitName(unit_) + ", " + amount(rate, unit_) + (unit_ == "bytes" ? " MiB" : "") + "/s";
    const int64_t left = total_ > 0 ? std::max<int64_t>(total_ - count, 0) + later_ : 0;
    if (left > 0 && rate > 0) {
        const double secondsLeft = static_cast<double>(left) / rate;
        char text[64];
        if (secondsLeft < 100) {
            std::snprintf(text, sizeof text, ", about %.0f s left", std::ceil(secondsLeft));
        } else {
            std::snprintf(text, sizeof text, ", about %.0f min left", std::round(secondsLeft / 60));
        }
        line += text;
    }
    output_.write(line);
}

}  // namespace wisam::tool
