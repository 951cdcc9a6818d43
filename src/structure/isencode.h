// layer: structure/encode
// isencode.h - byte-order helpers for every integer wisam stores on disk.
//
// Byte order rule: every integer the library writes into its own files (the
// dictionary, key descriptions, index nodes, free lists, the transaction log,
// variable-length space tables) is big-endian, whatever the machine.  The
// same layout is used by the exported ldInt/ldLong/ldTime encoders, so that
// integer key parts compare correctly as plain bytes.  Floats and doubles are
// the exception: they keep the machine's own byte order and compare natively.
//
// These helpers sit on the hot paths (node search, key extraction), so they
// are inline.  They work byte by byte on unsigned bytes, so the source and
// destination may have any alignment.  The exported C encoders live in
// isencode.cpp and use the same rules.
#ifndef WISAM_STRUCTURE_ISENCODE_H
#define WISAM_STRUCTURE_ISENCODE_H

#include <cstdint>

namespace wisam {

inline constexpr int kByteBits = 8;
inline constexpr int kMaxBigN = 8;  // widest integer ldBigN/stBigN handle

// Loads n (1..8) big-endian bytes, zero-extended.  Accumulating from the most
// significant byte keeps the result independent of the host's order.
inline uint64_t ldBigN(const void* src, int n) {
    const auto* p = static_cast<const unsigned char*>(src);
    uint64_t value = 0;
    for (int i = 0; i < n; ++i) {
        value = (value << kByteBits) | p[i];
    }
    return value;
}

// Stores the low n (1..8) bytes of value big-endian: the least significant
// byte goes last and each earlier position takes the next 8 bits up.
inline void stBigN(void* dst, int n, uint64_t value) {
    auto* p = static_cast<unsigned char*>(dst);
    for (int i = n - 1; i >= 0; --i) {
        p[i] = static_cast<unsigned char>(value);
        value >>= kByteBits;
    }
}

// 2-byte integer, loaded sign-extended (as ldInt).  The narrowing to int16_t
// is a modular conversion, well defined since C++20.
inline int ld2(const void* src) {
    return static_cast<int16_t>(static_cast<uint16_t>(ldBigN(src, 2)));
}

// Stores the low 16 bits of value (as stInt); higher bits are dropped.
inline void st2(void* dst, int value) {
    stBigN(dst, 2, static_cast<uint32_t>(value));
}

// 4-byte integer, loaded as the 32-bit pattern (as ldLong).
inline int32_t ld4(const void* src) {
    return static_cast<int32_t>(static_cast<uint32_t>(ldBigN(src, 4)));
}

inline void st4(void* dst, int32_t value) {
    stBigN(dst, 4, static_cast<uint32_t>(value));
}

// 8-byte unsigned value (as ldTime/stTime).
inline uint64_t ld8(const void* src) {
    return ldBigN(src, kMaxBigN);
}

inline void st8(void* dst, uint64_t value) {
    stBigN(dst, kMaxBigN, value);
}

}  // namespace wisam

#endif  // WISAM_STRUCTURE_ISENCODE_H
