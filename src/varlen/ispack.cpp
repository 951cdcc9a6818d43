// layer: varlen
// ispack.cpp - packing and unpacking runs of zeros, blanks and digit zeros.
#include "varlen/ispack.h"

#include <cstring>

namespace wisam {

namespace {

constexpr int32_t kMaxCount = 63;
constexpr int32_t kRunShift = 6;
constexpr uint8_t kTerminator = 0x00;
constexpr int32_t kPlainHeader = 3;
constexpr uint8_t kFills[4] = {0, 0x00, 0x20, 0x30};

// 1, 2, 3 for the bytes runs are made of, 0 for every other byte.
int32_t runType(uint8_t x) {
    for (int32_t t = 1; t <= 3; ++t) {
        if (x == kFills[t]) return t;
    }
    return 0;
}

// The control string of `in`, built in `control` (at most length + 1
// bytes: every byte costs at most one control byte).  Returns its length
// with the terminator; `saved` receives the bytes the runs save.
int32_t controlString(const uint8_t *in, int32_t length, uint8_t *control, int32_t &saved) {
    int32_t n = 0;
    uint8_t cur = in[0];
    int32_t run = 1;
    int32_t lit = 0;
    saved = 0;
    for (int32_t i = 1; i < length; ++i) {
        const uint8_t x = in[i];
        if (runType(cur) != 0 && x == cur && run != kMaxCount && lit != kMaxCount) {
            ++run;
            continue;
        }
        if ((run > 1 && lit > 0) || lit == kMaxCount) {
            control[n++] = static_cast<uint8_t>(lit);
            lit = 0;
        }
        if (run > 1) {
            control[n++] = static_cast<uint8_t>((runType(cur) << kRunShift) + run);
            saved += run - 1;
            run = 1;
        } else {
            ++lit;
        }
        cur = x;
    }
    if (run == 1 && ++lit == kMaxCount + 1) {
        control[n++] = kMaxCount;
        lit = 1;
    }
    if (lit != 0) control[n++] = static_cast<uint8_t>(lit);
    if (run > 1) {
        control[n++] = static_cast<uint8_t>((runType(cur) << kRunShift) + run);
        saved += run - 1;
    }
    control[n++] = kTerminator;
    return n;
}

}  // namespace

int32_t packBytes(const uint8_t *in, int32_t length, uint8_t *out) {
    int32_t saved = 0;
    const int32_t controls = controlString(in, length, out, saved);
    if (controls >= saved) {
        out[0] = 0;
        out[1] = static_cast<uint8_t>(length >> 8);
        out[2] = static_cast<uint8_t>(length);
        std::memcpy(out + kPlainHeader, in, static_cast<size_t>(length));
        return length + kPlainHeader;
    }
    // The literals follow the control string in the order the control
    // bytes below 64 take them from the input.
    int32_t packed = controls;
    int32_t from = 0;
    for (int32_t i = 0; out[i] != kTerminator; ++i) {
        const int32_t c = out[i];
        if (c <= kMaxCount) {
            std::memcpy(out + packed, in + from, static_cast<size_t>(c));
            packed += c;
        }
        from += c & kMaxCount;
    }
    return packed;
}

int32_t unpackBytes(const uint8_t *in, int32_t length, uint8_t *out, int32_t room) {
    if (length < 1) return -1;
    if (in[0] == 0) {
        if (length < kPlainHeader) return -1;
        const int32_t n = (in[1] << 8) | in[2];
        if (n != length - kPlainHeader || n > room) return -1;
        std::memcpy(out, in + kPlainHeader, static_cast<size_t>(n));
        return n;
    }
    int32_t literal = 0;
    while (literal < length && in[literal] != kTerminator) ++literal;
    if (literal == length) return -1;
    ++literal;
    int32_t produced = 0;
    for (int32_t i = 0; in[i] != kTerminator; ++i) {
        const int32_t c = in[i];
        const int32_t count = c & kMaxCount;
        if (count == 0 || produced + count > room) return -1;
        if (c <= kMaxCount) {
            if (literal + count > length) return -1;
            std::memcpy(out + produced, in + literal, static_cast<size_t>(count));
            literal += count;
        } else {
            std::memset(out + produced, kFills[c >> kRunShift], static_cast<size_t>(count));
        }
        produced += count;
    }
    return literal == length ? produced : -1;
}

}  // namespace wisam
