// progress_test.cpp - the tool's progress line, driven directly: steps at
// given times of a fake clock against the exact text written (count,
// total, unit, rate, time left), the moving rate's estimate following a
// change of pace within a few seconds, the first line by a second whatever
// the steps' pace, and how often the clock is looked at.
//
// The progress line is the tool's, not the library's, and calls nothing of
// the library, so its source is compiled in here.
#include "../../tools/wisam/progress.cpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace wisam::tool {
namespace {

// A clock the test sets, the text written, and how often the clock was read.
struct Fake {
    double now = 0;
    int64_t reads = 0;
    std::string written;
    std::vector<std::pair<double, std::string>> lines;  // each write, with the time it was made

    ProgressOutput output(bool terminal = true) {
        return {[this] {
                    ++reads;
                    return std::chrono::steady_clock::time_point(
                        std::chrono::round<std::chrono::steady_clock::duration>(std::chrono::duration<double>(now)));
                },
                [this](const std::string &text) {
                    written += text;
                    lines.emplace_back(now, text);
                },
                terminal};
    }
};

constexpr const char *kClear = "\r\033[K";
constexpr int64_t kMiB = 1024 * 1024;

// One step of a run: at `time` the count is `count`; a stage begins first
// when `stage` is not empty.
struct Step {
    double time;
    int64_t count;
    std::string stage = "";
    int64_t total = 0;
    std::string unit = "records";
    int64_t later = 0;
};

struct Case {
    const char *what;
    std::string verb;
    int64_t total;
    std::string unit;
    bool terminal;
    std::vector<Step> steps;
    std::string expected;  // everything written, the clearing at the end included
};

TEST(ProgressTest, StepsAtGivenTimesWriteTheseLines) {
    const auto line = [](const std::string &text) { return kClear + text; };
    const std::vector<Case> cases = {
        {"nothing before half a second; then every quarter second at most",
         "loaded", 1000, "records", true,
         {{0.1, 10}, {0.2, 20}, {0.3, 30}, {0.4, 40}, {0.5, 50}, {0.6, 60}, {0.7, 70}, {0.8, 80}, {0.9, 90}, {1.3, 130}},
         line("loaded 50 of 1000 records, 100/s, about 10 s left") + line("loaded 80 of 1000 records, 100/s, about 10 s left") +
             line("loaded 130 of 1000 records, 100/s, about 9 s left") + kClear},
        {"no total: no time left",
         "dumped", 0, "records", true,
         {{0.25, 250}, {0.5, 500}, {0.75, 750}, {1.0, 1000}},
         line("dumped 500 records, 1000/s") + line("dumped 750 records, 1000/s") + line("dumped 1000 records, 1000/s") + kClear},
        {"bytes as MiB",
         "reading input", 10 * kMiB, "bytes", true,
         {{0.25, kMiB}, {0.5, 2 * kMiB}, {0.75, 3 * kMiB}},
         line("reading input 2.0 of 10.0 MiB, 4.0 MiB/s, about 2 s left") +
             line("reading input 3.0 of 10.0 MiB, 4.0 MiB/s, about 2 s left") + kClear},
        {"the total reached: no time left",
         "exported", 100, "rows", true,
         {{0.6, 100}},
         line("exported 100 of 100 rows, 167/s") + kClear},
        {"long work in minutes",
         "checking index 2:", 1000000, "records", true,
         {{0.5, 500}},
         line("checking index 2: 500 of 1000000 records, 1000/s, about 17 min left") + kClear},
        {"stages: a rate of their own, the later work in the time left, the clock from the start",
         "reading input", 4 * kMiB, "bytes", true,
         {{0.4, 4 * kMiB}, {0.45, 25, "loaded", 1000, "records", 3000}, {0.6, 100}, {0.9, 250}},
         line("loaded 100 of 1000 records, 667/s, about 6 s left") + line("loaded 250 of 1000 records, 636/s, about 6 s left") +
             kClear},
        {"not a terminal: nothing at all",
         "loaded", 1000, "records", false,
         {{0.5, 50}, {1.0, 100}, {5.0, 500}},
         ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Fake fake;
        {
            Progress progress(c.verb, c.total, c.unit, fake.output(c.terminal));
            for (const Step &s : c.steps) {
                fake.now = s.time;
                if (!s.stage.empty()) progress.stage(s.stage, s.total, s.unit, s.later);
                progress.tick(s.count);
            }
        }
        EXPECT_EQ(fake.written, c.expected);
        if (!c.terminal) {
            EXPECT_EQ(fake.reads, 0);
        }
    }
}

// The seconds left that a line says, or -1.
double secondsLeft(const std::string &text) {
    const size_t about = text.find("about ");
    if (about == std::string::npos) return -1;
    const double n = std::atof(text.c_str() + about + 6);
    return text.find(" min left", about) != std::string::npos ? n * 60 : n;
}

// 1000 records a second for ten seconds, then a quarter of that: the time
// left follows the new pace within a few seconds (an average since the
// start would still say a third of it four seconds later).
TEST(ProgressTest, TheTimeLeftFollowsAChangeOfPaceWithinAFewSeconds) {
    constexpr int64_t kTotal = 100000;
    constexpr double kChange = 10;
    Fake fake;
    Progress progress("loaded", kTotal, "records", fake.output());
    double count = 0, caughtUp = -1;
    for (int step = 1; step <= 20 * 100; ++step) {
        fake.now = step * 0.01;
        count += fake.now <= kChange ? 10 : 2.5;
        const size_t before = fake.lines.size();
        progress.tick(static_cast<int64_t>(count));
        if (fake.lines.size() == before) continue;
        const double said = secondsLeft(fake.lines.back().second);
        const double truth = (kTotal - count) / (fake.now <= kChange ? 1000 : 250);
        if (fake.now <= kChange && fake.now > 1) {
            EXPECT_NEAR(said, truth, truth * 0.02 + 1) << fake.now;
        }
        if (fake.now > kChange && caughtUp < 0 && std::abs(said - truth) <= truth * 0.2) caughtUp = fake.now;
        // Once caught up, it stays with the pace.
        if (caughtUp > 0) {
            EXPECT_NEAR(said, truth, truth * 0.2 + 1) << fake.now;
        }
    }
    ASSERT_GT(caughtUp, 0);
    EXPECT_LE(caughtUp - kChange, 4.0);
}

// The first line comes by a second whatever the pace of the steps: quick
// ones (the clock read every few steps), slow ones (read at every step),
// quick ones turning slow, and a slow first stage before the counted one.
TEST(ProgressTest, TheFirstLineComesWithinASecond) {
    struct Pace {
        const char *what;
        double quick, slow, turn;  // step times before and after `turn` seconds
    };
    for (const Pace &pace : {Pace{"quick steps", 1e-6, 1e-6, 10}, Pace{"slow steps", 0.4, 0.4, 0},
                             Pace{"quick, then slow", 1e-6, 0.02, 0.2}, Pace{"quick, then slower", 2e-5, 0.05, 0.3}}) {
        SCOPED_TRACE(pace.what);
        Fake fake;
        Progress progress("loaded", 0, "records", fake.output());
        int64_t steps = 0;
        while (fake.lines.empty() && fake.now < 5) {
            fake.now += fake.now < pace.turn ? pace.quick : pace.slow;
            progress.tick(++steps);
        }
        ASSERT_FALSE(fake.lines.empty());
        EXPECT_GE(fake.lines.front().first, Progress::kShowAfter);
        EXPECT_LE(fake.lines.front().first, 1.0);
        // Quick steps read the clock every kMaxStride steps once settled;
        // slow ones at every step
        if (pace.quick == pace.slow && pace.quick < 1e-3) {
            EXPECT_LE(fake.reads, steps / Progress::kMaxStride + 16);
        }
        // (and once when it starts, once when its stage starts)
        if (pace.quick == pace.slow && pace.quick > 0.1) {
            EXPECT_EQ(fake.reads, steps + 2);
        }
    }
}

}  // namespace
}  // namespace wisam::tool
