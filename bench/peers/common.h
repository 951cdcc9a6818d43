// common.h - what the workloads of wisam-bench share: the record size and
// cache budget every engine gets, failure and mismatch reports, big-endian
// integers and the clock.
#ifndef WISAM_BENCH_COMMON_H
#define WISAM_BENCH_COMMON_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace wisambench {

constexpr int kRecordLength = 100;
constexpr int64_t kCacheBudget = int64_t{64} << 20;  // every engine's cache

// A failure of the harness or an engine call: exit status 2.
[[noreturn]] inline void die(const std::string &what) {
    std::fprintf(stderr, "wisam-bench: %s\n", what.c_str());
    std::exit(2);
}

// A result that is not what was written: counted (exit status 1 at the
// end), the first 20 reported.
inline int mismatches = 0;
inline void mismatch(const std::string &engine, const std::string &what) {
    if (++mismatches <= 20) std::fprintf(stderr, "wisam-bench: %s: MISMATCH %s\n", engine.c_str(), what.c_str());
}

inline uint64_t load64(const uint8_t *p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}
inline void store64(uint64_t v, uint8_t *p) {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}
inline uint32_t load32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline void store32(uint32_t v, uint8_t *p) {
    for (int i = 3; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

inline double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// wisam's engines are the ones compared; the others are its peers.
inline bool isWisam(const std::string &engine) { return engine.rfind("wisam", 0) == 0; }

}  // namespace wisambench

#endif
