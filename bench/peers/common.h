// common.h - what the workloads of wisam-bench share: the record size and
// cache budget every engine gets, failure and mismatch reports, big-endian
// integers, the clock, the fixed pseudo-random orders and the files of a
// store on disk.
#ifndef WISAM_BENCH_COMMON_H
#define WISAM_BENCH_COMMON_H

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

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

// A fixed pseudo-random sequence (splitmix64) and a Fisher-Yates shuffle, so
// that every engine and every run sees the same order.
struct Random {
    uint64_t state;
    explicit Random(uint64_t seed) : state(seed) {}
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};
inline std::vector<uint32_t> permutation(size_t n, uint64_t seed) {
    std::vector<uint32_t> p(n);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint32_t>(i);
    Random r(seed);
    for (size_t i = n; i > 1; --i) std::swap(p[i - 1], p[r.next() % i]);
    return p;
}

// Every file of a store's directory to the disk, and the directory.
inline void fsyncDir(const std::string &dir) {
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        if (!e.is_regular_file()) continue;
        const int fd = ::open(e.path().c_str(), O_RDONLY);
        if (fd < 0) die("cannot open " + e.path().string());
        if (fsync(fd) != 0) die("fsync " + e.path().string());
        ::close(fd);
    }
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) fsync(fd), ::close(fd);
}

// Allocated bytes (st_blocks) of a store's files, so that sparse files
// count what they use.
inline uint64_t bytesOnDisk(const std::string &dir) {
    uint64_t total = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        struct stat st {};
        if (e.is_regular_file() && stat(e.path().c_str(), &st) == 0) total += uint64_t(st.st_blocks) * 512;
    }
    return total;
}

// A new, empty directory for one engine's store.
inline void freshDir(const std::string &dir) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
}

}  // namespace wisambench

#endif
