// Collating key types, device tags, UTF-8 decoding, case folding and the
// exported collation calls.
#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <random>
#include <utility>
#include <string>
#include <vector>

#include "collate/iscollate.h"
#include "frame/isfile.h"
#include "index/iskey.h"
#include "index/ispath.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

// Native-order UTF-16 bytes of `text`, `units` units long (NUL-padded).
Bytes wide(const std::u16string &text, size_t units) {
    std::u16string padded = text;
    padded.resize(units, u'\0');
    Bytes out(units * 2);
    std::memcpy(out.data(), padded.data(), out.size());
    return out;
}

int tag(const std::string &a, const std::string &b) {
    EXPECT_EQ(a.size(), b.size()) << "fields of one length";
    return cmpdevicetag(a.data(), b.data(), static_cast<int>(a.size()));
}

int wtag(const std::u16string &a, const std::u16string &b) {
    EXPECT_EQ(a.size(), b.size()) << "fields of one length";
    return wcmpdevicetag(a.data(), b.data(), static_cast<int>(a.size()));
}

// A field with its embedded NULs.
template <size_t N>
std::string field(const char (&literal)[N]) {
    return std::string(literal, N - 1);
}

std::u16string widen(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }

KeyDesc oneCollatingPart(int type, int16_t length) {
    KeyDesc key{};
    key.partCount = 1;
    key.parts[0] = KeyPart{0, length, static_cast<uint16_t>(type)};
    key.keyLength = length;
    return key;
}

int collate(int type, const Bytes &a, const Bytes &b) {
    const KeyDesc key = oneCollatingPart(type, static_cast<int16_t>(a.size()));
    const int r = collatePart(key, 0, a.data(), b.data());
    return (r > 0) - (r < 0);
}

// --- UTF-8 decoding -------------------------------------------------------

// Value and bytes consumed of one character read with `left` bytes left.
std::pair<uint16_t, long> decode(const Bytes &in, int32_t left) {
    const uint8_t *cursor = in.data();
    const uint16_t value = nextUtf8(cursor, left);
    return {value, cursor - in.data()};
}

TEST(Utf8Decoding, ReadsOneToFourByteCharacters) {
    EXPECT_EQ(decode({'A'}, 1), std::make_pair(uint16_t{u'A'}, 1L));
    EXPECT_EQ(decode({0xC3, 0x84}, 2), std::make_pair(uint16_t{0xC4}, 2L));  // Ä
    EXPECT_EQ(decode({0xE2, 0x82, 0xAC}, 3), std::make_pair(uint16_t{0x20AC}, 3L));  // €
    // U+1F600: the lead byte's bits are dropped, the low 16 bits remain.
    EXPECT_EQ(decode({0xF0, 0x9F, 0x98, 0x80}, 4), std::make_pair(uint16_t{0x1F600 & 0xFFFF}, 4L));
    const Bytes in = {0xC3, 0x84, 'x'};
    const uint8_t *cursor = in.data();
    int32_t left = 3;
    nextUtf8(cursor, left);
    EXPECT_EQ(left, 1);
}

TEST(Utf8Decoding, EndsWithoutAdvancingOnWhatCannotStartACharacter) {
    const auto end = std::make_pair(uint16_t{0}, 0L);
    EXPECT_EQ(decode({0x80, 'A'}, 2), end) << "continuation byte";
    EXPECT_EQ(decode({0xF8, 0x80, 0x80, 0x80}, 4), end);
    EXPECT_EQ(decode({0xFF, 0x80, 0x80, 0x80}, 4), end);
    EXPECT_EQ(decode({0xC3, 0x84}, 1), end) << "too few bytes left";
    EXPECT_EQ(decode({0xE2, 0x82, 0xAC}, 2), end);
    EXPECT_EQ(decode({0xF0, 0x9F, 0x98, 0x80}, 3), end);
    EXPECT_EQ(decode({'A'}, 0), end);
    EXPECT_EQ(decode({0, 'A'}, 2).first, 0);
}

// --- Device tags -----------------------------------------------------------

TEST(DeviceTags, DigitRunsCompareAsNumbers) {
    EXPECT_EQ(tag(field("ab9\0"), "ab10"), -1);
    EXPECT_EQ(tag("ab10", field("ab9\0")), 1);
    EXPECT_EQ(tag("r2d3", "r2d3"), 0);
    EXPECT_EQ(tag("a12b7", "a12b5"), 1);
}

TEST(DeviceTags, LeadingZerosSortAfterTheSameValue) {
    EXPECT_EQ(tag("x007", field("x7\0\0")), 1);
    EXPECT_EQ(tag(field("x7\0\0"), "x007"), -1);
    EXPECT_EQ(tag("x00", field("x0\0")), 1);
}

TEST(DeviceTags, ADigitSortsBeforeEverythingElse) {
    EXPECT_EQ(tag("5a", "-a"), -1);
    EXPECT_EQ(tag("-a", "5a"), 1);
    EXPECT_EQ(tag("ab", "aB"), 1) << "others by code";
}

TEST(DeviceTags, AFieldThatEndsFirstSortsFirst) {
    EXPECT_EQ(tag(field("ab\0"), "abc"), -1);
    EXPECT_EQ(tag("abc", field("ab\0")), 1);
    EXPECT_EQ(cmpdevicetag("ab", "abc", 2), 0) << "only the given length counts";
}

TEST(DeviceTags, AStrayContinuationByteEndsTheString) {
    EXPECT_EQ(tag("ab\x80z", field("ab\0\0")), 0);
    EXPECT_EQ(tag("ab\x80z", "ab\x80y"), 0);
    EXPECT_EQ(tag("ab\x80z", "abcz"), -1);
}

TEST(DeviceTags, RunsBeyond32BitsCompareByTheirExactValue) {
    EXPECT_EQ(tag("x4294967296", field("x5\0\0\0\0\0\0\0\0\0")), 1);
    EXPECT_EQ(tag("x99999999999", "x99999999998"), 1);
    EXPECT_EQ(tag("x2147483648", "x2147483647"), 1);
    EXPECT_EQ(tag("x02147483648", "x2147483648y"), 1);
    EXPECT_EQ(wtag(u"x4294967296", widen(field("x5\0\0\0\0\0\0\0\0\0"))), 1);
    EXPECT_EQ(wtag(u"x99999999999", u"x99999999998"), 1);
    EXPECT_EQ(wtag(u"x2147483647", u"x2147483648"), -1);
    const std::string longRun(400, '9');
    EXPECT_EQ(wtag(widen("a" + longRun + "8"), widen("a" + longRun + "7")), 1);
}

// The UTF-16 form of a UTF-8 field of the same number of units: decoded
// character by character, NUL-padded.
std::u16string utf16Form(const std::string &utf8) {
    std::u16string out;
    const auto *cursor = reinterpret_cast<const uint8_t *>(utf8.data());
    int32_t left = static_cast<int32_t>(utf8.size());
    for (uint16_t c; (c = nextUtf8(cursor, left)) != 0;) out.push_back(c);
    out.resize(utf8.size(), u'\0');
    return out;
}

TEST(DeviceTags, Utf16FormGivesTheSameOrder) {
    const std::vector<std::string> tags = {
        field("ab9\0\0\0"), field("ab10\0\0"), field("x007\0\0"), field("x7\0\0\0\0"),
        field("5a\0\0\0\0"), field("-a\0\0\0\0"), field("ab\0\0\0\0"), field("abc\0\0\0"),
        field("A1B2C3"), field("A1B02C"), field("a10000"), field("a9999\0"), field("\xC3\x84" "1\0\0\0")};
    for (const std::string &a : tags) {
        for (const std::string &b : tags) {
            EXPECT_EQ(wtag(utf16Form(a), utf16Form(b)), tag(a, b)) << a << " / " << b;
        }
    }
}

TEST(DeviceTags, Utf16EndsDigitsAndNullFields) {
    EXPECT_EQ(wtag(std::u16string(u"ab\0", 3), u"abc"), -1);
    EXPECT_EQ(wtag(u"abc", std::u16string(u"ab\0", 3)), 1);
    EXPECT_EQ(wcmpdevicetag(u"abc", u"abd", 2), 0) << "only the given length counts";
    EXPECT_EQ(wtag(u"\xD800x", u"\xDC00x"), -1) << "lone surrogates are plain units";
    EXPECT_TRUE(isWideDigit(u'0') && isWideDigit(u'9'));
    EXPECT_FALSE(isWideDigit(u'/') || isWideDigit(u':'));
    EXPECT_FALSE(isWideDigit(u'\x0661') || isWideDigit(u'\xFF11')) << "other scripts' digits";
    EXPECT_EQ(wtag(u"a\xFF11", u"a9"), 1) << "an ordinary character, after the digits";
    EXPECT_EQ(cmpdevicetag(nullptr, "a", 1), 0);
    EXPECT_EQ(wcmpdevicetag(u"a", nullptr, 1), 0);
    EXPECT_EQ(cmpNoCaseUtf8(nullptr, nullptr, 4), 0);
}

// --- Case-insensitive text ---------------------------------------------------

TEST(NoCaseText, Utf8FoldsLettersBeyondAscii) {
    const char *upper = "\xC3\x84" "BC";  // ÄBC
    const char *lower = "\xC3\xA4" "bc";  // äbc
    EXPECT_EQ(cmpNoCaseUtf8(upper, lower, 4), 0);
    EXPECT_EQ(cmpNoCaseUtf8("abc", "abd", 3), -1);
    EXPECT_EQ(cmpNoCaseUtf8("ABD", "abc", 3), 1);
    EXPECT_EQ(cmpNoCaseUtf8(field("ab\0").data(), "abc", 3), -1);
    EXPECT_EQ(cmpNoCaseUtf8("abc", field("ab\0").data(), 3), 1);
}

TEST(NoCaseText, FoldingDoesNotDependOnTheHostLocale) {
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    std::setlocale(LC_CTYPE, "C");
    EXPECT_EQ(foldCase(u'\x00C4'), u'\x00E4');
    EXPECT_EQ(foldCase(u'\x0391'), u'\x03B1');  // Greek capital alpha
    EXPECT_EQ(cmpNoCaseUtf8("\xC3\x84", "\xC3\xA4", 2), 0);
    std::setlocale(LC_CTYPE, saved.c_str());
    EXPECT_EQ(foldCase(u'Q'), u'q');
    EXPECT_EQ(foldCase(u'q'), u'q');
    EXPECT_EQ(foldCase(u'\xD800'), u'\xD800');
}

// --- Collating key parts -----------------------------------------------------

TEST(CollatingParts, WideTextStopsAtANulInBoth) {
    EXPECT_EQ(collate(ISTYPE_WTEXT, wide(std::u16string(u"ab\0X", 4), 4),
                      wide(std::u16string(u"ab\0Y", 4), 4)), 0);
    EXPECT_EQ(collate(ISTYPE_WTEXT, wide(u"abX", 4), wide(u"abY", 4)), -1);
    EXPECT_EQ(collate(ISTYPE_WTEXT, wide(u"\xFFFF", 1), wide(u"A", 1)), 1) << "units unsigned";
    EXPECT_EQ(collate(ISTYPE_WTEXT, wide(u"ab", 2), wide(u"AB", 2)), 1);
}

TEST(CollatingParts, WideNoCaseText) {
    EXPECT_EQ(collate(ISTYPE_WNOCASE, wide(u"ABC", 3), wide(u"abc", 3)), 0);
    EXPECT_EQ(collate(ISTYPE_WNOCASE, wide(u"ABD", 3), wide(u"abc", 3)), 1);
    EXPECT_EQ(collate(ISTYPE_WNOCASE, wide(u"\x00C4x", 2), wide(u"\x00E4y", 2)), -1);
    EXPECT_EQ(collate(ISTYPE_WNOCASE, wide(std::u16string(u"A\0B", 3), 3),
                      wide(std::u16string(u"a\0C", 3), 3)), 0);
}

TEST(CollatingParts, DeviceTagTypes) {
    EXPECT_EQ(collate(ISTYPE_DEVTAG, bytes(field("ab9\0")), bytes("ab10")), -1);
    EXPECT_EQ(collate(ISTYPE_WDEVTAG, wide(u"ab9", 4), wide(u"ab10", 4)), -1);
    EXPECT_EQ(collate(ISTYPE_WDEVTAG, wide(u"ab10", 4), wide(u"ab9", 4)), 1);
}

TEST(CollatingParts, RawBytesAndRecIds) {
    EXPECT_EQ(collate(ISTYPE_BYTES, Bytes{0x80, 0}, Bytes{0x7F, 0xFF}), 1);
    EXPECT_EQ(collate(ISTYPE_BYTES, Bytes{1, 2}, Bytes{1, 2}), 0);
    Bytes a(8, 0);
    Bytes b(8, 0);
    const int32_t minusOne = -1;
    const int32_t one = 1;
    std::memcpy(a.data(), &minusOne, 4);
    std::memcpy(b.data(), &one, 4);
    EXPECT_EQ(collate(ISTYPE_RECID, a, b), -1);
    EXPECT_EQ(collate(ISTYPE_RECID, b, a), 1);
    Bytes c = b;
    c[7] = 1;
    EXPECT_EQ(collate(ISTYPE_RECID, b, c), -1) << "equal first integers: the rest decides";
    EXPECT_EQ(collate(ISTYPE_RECID, c, b), 1);
}

TEST(CollatingParts, OtherTypesCompareEqual) {
    EXPECT_EQ(collate(ISTYPE_CHAR, bytes("a"), bytes("b")), 0);
    EXPECT_EQ(collate(14, bytes("a"), bytes("b")), 0);
}

TEST(CollatingParts, ShorterLengthComparesLeadingBytesOnly) {
    const KeyDesc key = oneCollatingPart(ISTYPE_WTEXT, 4);
    const Bytes a = wide(u"aX", 2);
    const Bytes b = wide(u"aY", 2);
    EXPECT_EQ(collatePart(key, 0, a.data(), b.data(), 2), 0);
    EXPECT_LT(collatePart(key, 0, a.data(), b.data(), 4), 0);
    EXPECT_LT(collatePart(key, 0, a.data(), b.data(), 400), 0) << "never past the part";
}

TEST(CollatingParts, UnalignedOddAndArbitraryFieldsStayInBounds) {
    std::mt19937 random(7);
    const uint8_t alphabet[] = {0, '0', '5', '9', 'a', 'Z', 0x80, 0xC3, 0xE2, 0xF0, 0xF8, 0xD8, 0xDC, 0xFF};
    for (int round = 0; round < 3000; ++round) {
        const size_t length = random() % 12;
        // Heap copies of exactly `length` bytes, starting at an odd address
        // half of the time.
        const size_t shift = random() % 2;
        Bytes bufA(length + shift);
        Bytes bufB(length + shift);
        for (size_t k = shift; k < bufA.size(); ++k) {
            bufA[k] = alphabet[random() % sizeof alphabet];
            bufB[k] = random() % 3 == 0 ? alphabet[random() % sizeof alphabet] : bufA[k];
        }
        const uint8_t *a = bufA.data() + shift;
        const uint8_t *b = bufB.data() + shift;
        const auto n = static_cast<int32_t>(length);
        EXPECT_EQ(compareDeviceTags(a, b, n), -compareDeviceTags(b, a, n));
        EXPECT_EQ(compareWideDeviceTags(a, b, n / 2), -compareWideDeviceTags(b, a, n / 2));
        EXPECT_EQ(compareNoCaseUtf8(a, b, n), -compareNoCaseUtf8(b, a, n));
        EXPECT_EQ(compareWide(a, b, n / 2), -compareWide(b, a, n / 2));
        EXPECT_EQ(compareWideNoCase(a, b, n / 2), -compareWideNoCase(b, a, n / 2));
        for (int type = ISTYPE_WTEXT; type <= ISTYPE_WNOCASE; ++type) {
            const KeyDesc key = oneCollatingPart(type, static_cast<int16_t>(length));
            EXPECT_EQ(collatePart(key, 0, a, a), 0) << "type " << type;
        }
    }
}

// --- The exported key calls ----------------------------------------------------

class CustomKeyCalls : public ::testing::Test {
protected:
    void SetUp() override {
        testing::layDownFiles(dir.file("k"), 12);
        f = testing::openHandle(dir.name("k"), 2 | kModeManualLock);
        ASSERT_NE(f, nullptr);
        KeyDesc key{};
        key.partCount = 2;
        key.parts[0] = KeyPart{4, 3, ISTYPE_STRING};
        key.parts[1] = KeyPart{0, 2, ISTYPE_INT | ISTYPE_DESC};
        f->indexes[0] = pathCreate(f, key);
        f->keyCount = 1;
    }
    void TearDown() override { testing::closeTestHandle(f); }
    testing::TempDir dir;
    IsFile *f = nullptr;
};

TEST_F(CustomKeyCalls, MakeBuildsTheKeyOfTheIndex) {
    const Bytes record = {0x00, 0x07, '.', '.', 'A', 0, 'Z', '.', '.', '.', '.', '.'};
    Bytes key(5, 0xEE);
    EXPECT_EQ(customKeyMake(f, key.data(), record.data(), 0), 1);
    EXPECT_EQ(key, (Bytes{'A', 0, 0, 0x00, 0x07}));
}

TEST_F(CustomKeyCalls, CompareUsesTheFullRuleAndALengthForOneCallOnly) {
    const Bytes a = {'A', 'B', 'C', 0x00, 0x01};
    const Bytes b = {'A', 'B', 'C', 0x00, 0x02};
    EXPECT_GT(customKeyCmp(f, a.data(), b.data(), 0, 0), 0) << "descending second part";
    EXPECT_EQ(customKeyCmp(f, a.data(), b.data(), 3, 0), 0);
    EXPECT_EQ(f->indexes[0]->compareLength, 5) << "restored";
    f->indexes[0]->compareLength = 3;
    EXPECT_EQ(customKeyCmp(f, a.data(), b.data(), 0, 0), 0) << "0 keeps the index's length";
    EXPECT_GT(customKeyCmp(f, a.data(), b.data(), 5, 0), 0);
    EXPECT_EQ(f->indexes[0]->compareLength, 3);
}

TEST_F(CustomKeyCalls, MissingIndexOrBufferIsAnIllegalArgument) {
    const Bytes a = {'A', 'B', 'C', 0, 1};
    Bytes key(5);
    EXPECT_EQ(customKeyCmp(f, a.data(), a.data(), 0, 1), 0);
    EXPECT_EQ(isErrno(f), 102);
    EXPECT_EQ(customKeyMake(f, key.data(), a.data(), -1), 0);
    EXPECT_EQ(isErrno(f), 102);
    EXPECT_EQ(customKeyMake(f, key.data(), nullptr, 0), 0);
    EXPECT_EQ(isErrno(f), 102);
    EXPECT_EQ(customKeyMake(f, key.data(), Bytes(12, 'r').data(), 0), 1);
    EXPECT_EQ(isErrno(f), 0) << "a call that succeeds clears the error";
}

TEST(CustomKeyHandles, NullOrUnknownHandleIsRefused) {
    const Bytes a(8, 'a');
    errno = 0;
    EXPECT_EQ(customKeyCmp(nullptr, a.data(), a.data(), 0, 0), 0);
    EXPECT_EQ(errno, 101);
    IsFile stranger;
    errno = 0;
    EXPECT_EQ(customKeyMake(&stranger, Bytes(8).data(), a.data(), 0), 0);
    EXPECT_EQ(errno, 105);
}

}  // namespace
}  // namespace wisam
