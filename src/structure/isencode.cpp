// layer: structure/encode
// isencode.cpp - the exported value encoders with which applications move
// typed values in and out of record buffers.
//
// Integers use the big-endian layout of isencode.h, so integer key parts
// compare correctly byte by byte.  Floats and doubles are copied in machine
// order.  Character fields are NUL-padded; wide character fields are UTF-16
// units in machine order, blank-padded.  Every store returns 0.
//
// Record buffers belong to the caller and carry no alignment guarantee, so
// floats and UTF-16 units are moved with memcpy, never through a typed
// pointer.
//
// A negative length is a caller error; it is treated as 0 so that it can
// never make us write outside the caller's buffers.

#include <cstring>

#include "structure/isencode.h"
#include "wisam.h"

namespace {

constexpr char16_t kBlank = 0x20;  // pad unit of wide character fields
constexpr char16_t kWideNul = 0;
constexpr int kWideUnitBytes = static_cast<int>(sizeof(char16_t));

int clampLength(int length) {
    return length < 0 ? 0 : length;
}

char16_t loadUnit(const void* base, int index) {
    char16_t unit;
    std::memcpy(&unit, static_cast<const unsigned char*>(base) + index * kWideUnitBytes,
                sizeof unit);
    return unit;
}

void storeUnit(void* base, int index, char16_t unit) {
    std::memcpy(static_cast<unsigned char*>(base) + index * kWideUnitBytes, &unit,
                sizeof unit);
}

template <typename Real>
Real loadReal(const void* src) {
    Real value;
    std::memcpy(&value, src, sizeof value);
    return value;
}

template <typename Real>
void storeReal(Real value, void* dst) {
    std::memcpy(dst, &value, sizeof value);
}

// A stored zero means "null" for the nullable float types; comparing with 0.0
// counts -0.0 as null as well, and a NaN never is.
template <typename Real>
Real loadRealNull(const void* src, int16_t* isNull) {
    const Real value = loadReal<Real>(src);
    if (isNull != nullptr) {
        *isNull = value == Real(0) ? 1 : 0;
    }
    return value;
}

template <typename Real>
void storeRealNull(Real value, void* dst, int16_t isNull) {
    // Null is written as +0.0 so that every null compares equal as bytes too.
    storeReal(isNull != 0 ? Real(0) : value, dst);
}

}  // namespace

extern "C" {

int ldInt(const void* src) {
    return wisam::ld2(src);
}

int stInt(int value, void* dst) {
    wisam::st2(dst, value);
    return 0;
}

int32_t ldLong(const void* src) {
    return wisam::ld4(src);
}

int stLong(int32_t value, void* dst) {
    wisam::st4(dst, value);
    return 0;
}

uint64_t ldTime(const void* src) {
    return wisam::ld8(src);
}

int stTime(uint64_t value, void* dst) {
    wisam::st8(dst, value);
    return 0;
}

float ldFloat(const void* src) {
    return loadReal<float>(src);
}

int stFloat(float value, void* dst) {
    storeReal(value, dst);
    return 0;
}

double ldDbl(const void* src) {
    return loadReal<double>(src);
}

int stDbl(double value, void* dst) {
    storeReal(value, dst);
    return 0;
}

float ldFltNull(const void* src, int16_t* isNull) {
    return loadRealNull<float>(src, isNull);
}

int stFltNull(float value, void* dst, int16_t isNull) {
    storeRealNull(value, dst, isNull);
    return 0;
}

double ldDblNull(const void* src, int16_t* isNull) {
    return loadRealNull<double>(src, isNull);
}

int stDblNull(double value, void* dst, int16_t isNull) {
    storeRealNull(value, dst, isNull);
    return 0;
}

// dst holds length + 1 bytes; trailing blanks are kept.
int ldChar(const void* src, int length, char* dst) {
    const int n = clampLength(length);
    std::memcpy(dst, src, static_cast<size_t>(n));
    dst[n] = '\0';
    return 0;
}

// The field is NUL-padded; a string of length or more characters fills it
// completely and gets no terminator.
int stChar(const char* src, void* dst, int length) {
    const int n = clampLength(length);
    auto* out = static_cast<char*>(dst);
    std::memset(out, 0, static_cast<size_t>(n));
    for (int i = 0; i < n && src[i] != '\0'; ++i) {
        out[i] = src[i];
    }
    return 0;
}

// Copies lengthBytes / 2 units, then ends the string after the last unit that
// is not a blank.  dst holds lengthBytes / 2 + 1 units.
int ldWChar(const void* src, int lengthBytes, char16_t* dst) {
    const int units = clampLength(lengthBytes) / kWideUnitBytes;
    std::memcpy(dst, src, static_cast<size_t>(units) * kWideUnitBytes);
    int end = units;
    while (end > 0 && loadUnit(dst, end - 1) == kBlank) {
        --end;
    }
    storeUnit(dst, end, kWideNul);
    return 0;
}

// The field is blank-padded and never terminated; an odd last byte is left
// untouched.
int stWChar(const char16_t* src, void* dst, int lengthBytes) {
    const int units = clampLength(lengthBytes) / kWideUnitBytes;
    for (int i = 0; i < units; ++i) {
        storeUnit(dst, i, kBlank);
    }
    for (int i = 0; i < units; ++i) {
        const char16_t unit = loadUnit(src, i);
        if (unit == kWideNul) {
            break;
        }
        storeUnit(dst, i, unit);
    }
    return 0;
}

}  // extern "C"
