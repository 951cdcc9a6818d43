// Tests of the value encoders: big-endian integers, machine-order floats and
// the padded character fields, checked byte by byte against the stored form.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "structure/isencode.h"
#include "wisam.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kPoison = 0xAA;  // marks bytes an encoder must not touch

Bytes bytesOf(const void* p, size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    return Bytes(b, b + n);
}

template <typename T>
Bytes machineBytes(T value) {
    return bytesOf(&value, sizeof value);
}

// Reads count UTF-16 units from a possibly unaligned buffer.
std::u16string unitsAt(const unsigned char* p, size_t count) {
    std::u16string s(count, u'\0');
    std::memcpy(s.data(), p, count * sizeof(char16_t));
    return s;
}

// A byte buffer deliberately one byte off an 8-byte boundary.
struct Unaligned {
    alignas(8) unsigned char storage[48];
    unsigned char* p = storage + 1;
    Unaligned() { std::memset(storage, kPoison, sizeof storage); }
};

TEST(IntegerEncoding, LoadsSignExtendShortsAndKeepLongPattern) {
    const unsigned char minusTwo[] = {0xFF, 0xFE};
    const unsigned char topBit[] = {0x80, 0x00, 0x00, 0x00};
    const unsigned char shortMin[] = {0x80, 0x00};
    EXPECT_EQ(ldInt(minusTwo), -2);
    EXPECT_EQ(ldInt(shortMin), -32768);
    EXPECT_EQ(ldLong(topBit), INT32_MIN);
    EXPECT_EQ(static_cast<uint32_t>(ldLong(topBit)), 0x80000000u);
}

TEST(IntegerEncoding, StoresAreBigEndianAndTruncateToWidth) {
    unsigned char buf[8];
    EXPECT_EQ(stInt(0x12345, buf), 0);
    EXPECT_EQ(bytesOf(buf, 2), (Bytes{0x23, 0x45}));
    stInt(-2, buf);
    EXPECT_EQ(bytesOf(buf, 2), (Bytes{0xFF, 0xFE}));
    EXPECT_EQ(stLong(0x01020304, buf), 0);
    EXPECT_EQ(bytesOf(buf, 4), (Bytes{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(stTime(0x0102030405060708ULL, buf), 0);
    EXPECT_EQ(bytesOf(buf, 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(IntegerEncoding, ExtremeValuesRoundTripOnUnalignedBuffers) {
    Unaligned u;
    for (int32_t v : {INT32_MIN, INT32_MAX, -1, 0}) {
        stLong(v, u.p);
        EXPECT_EQ(ldLong(u.p), v);
        EXPECT_EQ(wisam::ld4(u.p), v);
    }
    stLong(static_cast<int32_t>(0xFFFFFFFFu), u.p);
    EXPECT_EQ(bytesOf(u.p, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    for (uint64_t v : {UINT64_MAX, uint64_t{0}, uint64_t{1} << 63}) {
        stTime(v, u.p);
        EXPECT_EQ(ldTime(u.p), v);
    }
    EXPECT_EQ(u.storage[0], kPoison);
    EXPECT_EQ(u.p[8], kPoison);
}

TEST(IntegerEncoding, InternalHelpersMatchExportedLayout) {
    unsigned char viaApi[8];
    unsigned char viaHelper[8];
    stInt(-300, viaApi);
    wisam::st2(viaHelper, -300);
    EXPECT_EQ(bytesOf(viaApi, 2), bytesOf(viaHelper, 2));
    EXPECT_EQ(wisam::ld2(viaApi), -300);
    stLong(-123456789, viaApi);
    wisam::st4(viaHelper, -123456789);
    EXPECT_EQ(bytesOf(viaApi, 4), bytesOf(viaHelper, 4));
    stTime(0xDEADBEEFCAFEF00DULL, viaApi);
    wisam::st8(viaHelper, 0xDEADBEEFCAFEF00DULL);
    EXPECT_EQ(bytesOf(viaApi, 8), bytesOf(viaHelper, 8));
    EXPECT_EQ(wisam::ld8(viaApi), 0xDEADBEEFCAFEF00DULL);
}

TEST(IntegerEncoding, BigNStoresLowBytesAndLoadsZeroExtended) {
    const uint64_t pattern = 0x8877665544332211ULL;
    for (int n = 1; n <= 8; ++n) {
        SCOPED_TRACE(n);
        Unaligned u;
        wisam::stBigN(u.p, n, pattern);
        Bytes expected;
        for (int i = n - 1; i >= 0; --i) {
            expected.push_back(static_cast<unsigned char>(0x11 * (i + 1)));
        }
        EXPECT_EQ(bytesOf(u.p, n), expected);
        EXPECT_EQ(u.p[n], kPoison);
        const uint64_t lowMask = n == 8 ? UINT64_MAX : (uint64_t{1} << (8 * n)) - 1;
        EXPECT_EQ(wisam::ldBigN(u.p, n), pattern & lowMask);

        // All-ones must not sign-extend: a 0xFF top byte stays positive.
        wisam::stBigN(u.p, n, UINT64_MAX);
        EXPECT_EQ(wisam::ldBigN(u.p, n), lowMask);
    }
}

TEST(FloatEncoding, KeepsMachineOrderAndRoundTripsUnaligned) {
    Unaligned u;
    EXPECT_EQ(stFloat(-1.5f, u.p), 0);
    EXPECT_EQ(bytesOf(u.p, 4), machineBytes(-1.5f));
    EXPECT_EQ(ldFloat(u.p), -1.5f);
    EXPECT_EQ(stDbl(std::numeric_limits<double>::max(), u.p), 0);
    EXPECT_EQ(bytesOf(u.p, 8), machineBytes(std::numeric_limits<double>::max()));
    EXPECT_EQ(ldDbl(u.p), std::numeric_limits<double>::max());
}

TEST(FloatEncoding, NullLoadsFlagBothZerosButNotNaN) {
    int16_t isNull = -1;
    const float negZero = -0.0f;
    EXPECT_TRUE(std::signbit(ldFltNull(&negZero, &isNull)));
    EXPECT_EQ(isNull, 1);

    const float nanF = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(std::isnan(ldFltNull(&nanF, &isNull)));
    EXPECT_EQ(isNull, 0);

    const double zero = 0.0;
    const double nanD = std::numeric_limits<double>::quiet_NaN();
    const double tiny = std::numeric_limits<double>::denorm_min();
    ldDblNull(&zero, &isNull);
    EXPECT_EQ(isNull, 1);
    EXPECT_TRUE(std::isnan(ldDblNull(&nanD, &isNull)));
    EXPECT_EQ(isNull, 0);
    EXPECT_EQ(ldDblNull(&tiny, &isNull), tiny);
    EXPECT_EQ(isNull, 0);

    // Without a flag the value is still returned.
    EXPECT_EQ(ldDblNull(&tiny, nullptr), tiny);
    EXPECT_TRUE(std::signbit(ldFltNull(&negZero, nullptr)));
}

TEST(FloatEncoding, NullStoresWritePositiveZero) {
    Unaligned u;
    EXPECT_EQ(stDblNull(-7.25, u.p, 1), 0);
    EXPECT_EQ(bytesOf(u.p, 8), Bytes(8, 0));
    stDblNull(-0.0, u.p, -1);
    EXPECT_EQ(bytesOf(u.p, 8), Bytes(8, 0));
    EXPECT_EQ(stFltNull(3.0f, u.p, 2), 0);
    EXPECT_EQ(bytesOf(u.p, 4), Bytes(4, 0));

    // Flag 0 stores the value as it is, a negative zero included.
    stDblNull(-0.0, u.p, 0);
    EXPECT_EQ(bytesOf(u.p, 8), machineBytes(-0.0));
    stFltNull(3.0f, u.p, 0);
    EXPECT_EQ(bytesOf(u.p, 4), machineBytes(3.0f));
}

TEST(CharEncoding, StoreNulPadsAndOmitsTerminatorWhenFull) {
    unsigned char buf[6];
    std::memset(buf, kPoison, sizeof buf);
    EXPECT_EQ(stChar("ab", buf, 4), 0);
    EXPECT_EQ(bytesOf(buf, 5), (Bytes{'a', 'b', 0, 0, kPoison}));

    std::memset(buf, kPoison, sizeof buf);
    stChar("abcdef", buf, 4);
    EXPECT_EQ(bytesOf(buf, 5), (Bytes{'a', 'b', 'c', 'd', kPoison}));
}

TEST(CharEncoding, LoadKeepsTrailingBlanksAndTerminates) {
    const unsigned char field[] = {0x61, 0x62, 0x20};
    char out[5];
    std::memset(out, kPoison, sizeof out);
    EXPECT_EQ(ldChar(field, 3, out), 0);
    EXPECT_EQ(std::string(out), "ab ");
    EXPECT_EQ(static_cast<unsigned char>(out[4]), kPoison);
}

TEST(WideCharEncoding, LoadCutsTrailingBlanksOnly) {
    const char16_t field[] = {u'a', u'b', u' ', u' '};
    char16_t out[6];
    ldWChar(field, 8, out);
    EXPECT_EQ(std::u16string(out), u"ab");

    const char16_t blanks[] = {u' ', u' ', u' ', u' '};
    ldWChar(blanks, 8, out);
    EXPECT_EQ(std::u16string(out), u"");

    const char16_t inner[] = {u' ', u'a', u' ', u'b'};
    ldWChar(inner, 8, out);
    EXPECT_EQ(std::u16string(out), u" a b");

    // An odd byte count rounds down to whole units; under one unit is empty.
    ldWChar(inner, 5, out);
    EXPECT_EQ(std::u16string(out), u" a");
    out[0] = u'x';
    ldWChar(inner, 1, out);
    EXPECT_EQ(std::u16string(out), u"");
}

TEST(WideCharEncoding, LoadWorksOnUnalignedBuffers) {
    Unaligned src;
    Unaligned dst;
    const char16_t field[] = {u'x', u'\u00e9', u' '};
    std::memcpy(src.p, field, sizeof field);
    ldWChar(src.p, 6, reinterpret_cast<char16_t*>(dst.p));
    EXPECT_EQ(unitsAt(dst.p, 3), (std::u16string{u'x', u'\u00e9', u'\0'}));
}

TEST(WideCharEncoding, StoreBlankPadsWithoutTerminator) {
    Unaligned u;
    EXPECT_EQ(stWChar(u"q", u.p, 6), 0);
    EXPECT_EQ(unitsAt(u.p, 3), u"q  ");
    EXPECT_EQ(u.p[6], kPoison);

    // A long source fills the field; an odd last byte is left alone.
    Unaligned src;
    const char16_t text[] = u"abcdef";
    std::memcpy(src.p, text, sizeof text);
    Unaligned v;
    stWChar(reinterpret_cast<const char16_t*>(src.p), v.p, 7);
    EXPECT_EQ(unitsAt(v.p, 3), u"abc");
    EXPECT_EQ(v.p[6], kPoison);
}

TEST(NegativeLength, NeverWritesOutsideTheBuffers) {
    Unaligned u;
    const Bytes untouched = bytesOf(u.storage, sizeof u.storage);
    stChar("abc", u.p, -1);
    stWChar(u"abc", u.p, -4);
    EXPECT_EQ(bytesOf(u.storage, sizeof u.storage), untouched);

    // Loads treat the field as empty and write only the terminator.
    ldChar("abc", -5, reinterpret_cast<char*>(u.p));
    EXPECT_EQ(u.p[0], 0);
    EXPECT_EQ(u.p[1], kPoison);
    Unaligned w;
    ldWChar(u"abc", -4, reinterpret_cast<char16_t*>(w.p));
    EXPECT_EQ(bytesOf(w.p, 3), (Bytes{0, 0, kPoison}));
}

}  // namespace
