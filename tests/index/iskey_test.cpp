// Key images: extraction, copying back, null keys and the ordering rule.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "index/iskey.h"
#include "index/ispath.h"
#include "support/testing.h"
#include "wisam.h"

namespace wisam {
namespace {

using Bytes = std::vector<uint8_t>;

KeyPart part(int16_t start, int16_t length, uint16_t type) { return KeyPart{start, length, type}; }

// A path as the index engine holds it: the parts, the key length as their
// sum, and the full compare length.
TreePath pathOf(std::initializer_list<KeyPart> parts, uint16_t flags = 0) {
    TreePath path{};
    path.key.flags = flags;
    int32_t length = 0;
    for (const KeyPart &p : parts) {
        path.key.parts[path.key.partCount++] = p;
        length += p.length;
    }
    path.key.keyLength = static_cast<int16_t>(length);
    path.compareLength = length;
    prepareKeyOrder(&path);
    return path;
}

Bytes bytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

template <class T>
Bytes valueBytes(T value) {
    Bytes out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

Bytes join(std::initializer_list<Bytes> pieces) {
    Bytes out;
    for (const Bytes &p : pieces) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes bigEndian16(int value) {
    Bytes out(2);
    stInt(value, out.data());
    return out;
}

int sign(int v) { return (v > 0) - (v < 0); }

int cmp(const TreePath &path, const Bytes &a, const Bytes &b) {
    return sign(compareKeys(&path, a.data(), b.data()));
}


// --- Extraction and copying back -------------------------------------------

TEST(KeyExtraction, ConcatenatesThePartsInPartOrder) {
    const TreePath path = pathOf({part(6, 2, ISTYPE_CHAR), part(0, 3, ISTYPE_CHAR | ISTYPE_DESC)});
    const Bytes record = bytes("abcdefgh");
    Bytes key(5, 0xEE);
    EXPECT_EQ(makeKey(&path, key.data(), record.data()), 1);
    EXPECT_EQ(key, bytes("ghabc"));
}

TEST(KeyExtraction, StringPartStopsAtTheFirstNulAndIsZeroFilled) {
    const TreePath path = pathOf({part(1, 5, ISTYPE_STRING)});
    const Bytes record = {'x', 'A', 'B', 0, 'C', 'D'};  // exactly as long as needed
    Bytes key(5, 0xEE);
    makeKey(&path, key.data(), record.data());
    EXPECT_EQ(key, (Bytes{'A', 'B', 0, 0, 0}));
}

TEST(KeyExtraction, StringPartWithoutNulTakesThePartLength) {
    const TreePath path = pathOf({part(0, 3, ISTYPE_STRING | ISTYPE_DESC), part(3, 2, ISTYPE_CHAR)});
    const Bytes record = {'W', 'X', 'Y', 0, 'Z'};
    Bytes key(5, 0xEE);
    makeKey(&path, key.data(), record.data());
    EXPECT_EQ(key, record) << "a character part keeps its NUL";
}

TEST(KeyToRecord, CopiesEachPartBackToItsStartAndNothingElse) {
    const TreePath path = pathOf({part(6, 2, ISTYPE_CHAR), part(1, 3, ISTYPE_CHAR)});
    Bytes record(9, '.');
    const Bytes key = bytes("GHabc");
    EXPECT_EQ(keyToRecord(&path, record.data(), key.data()), 1);
    EXPECT_EQ(record, bytes(".abc..GH."));
}

TEST(KeyToRecord, WithoutAKeyUsesTheCurrentKey) {
    TreePath path = pathOf({part(2, 2, ISTYPE_CHAR)});
    path.currentKey[0] = 'Q';
    path.currentKey[1] = 'R';
    Bytes record(4, '-');
    keyToRecord(&path, record.data());
    EXPECT_EQ(record, bytes("--QR"));
}

// --- Null keys -----------------------------------------------------------

constexpr uint16_t kBlankNull = 0x2000;  // null character ' ' in the high byte

TEST(NullKeys, AllBlanksIsNullOnlyWithSuppression) {
    const TreePath suppressed = pathOf({part(0, 3, ISTYPE_CHAR | kBlankNull)}, ISKEY_NULLSUPPRESS);
    const TreePath indexed = pathOf({part(0, 3, ISTYPE_CHAR | kBlankNull)});
    const Bytes blanks = bytes("   ");
    EXPECT_EQ(isNullKey(&suppressed, blanks.data()), 1);
    EXPECT_EQ(isNullKey(&indexed, blanks.data()), 0);
    EXPECT_EQ(isNullKey(&suppressed, bytes("  x").data()), 0);
}

TEST(NullKeys, EachPartHasItsOwnNullCharacter) {
    const TreePath path = pathOf({part(0, 2, ISTYPE_CHAR | kBlankNull), part(2, 2, ISTYPE_INT)},
                                 ISKEY_NULLSUPPRESS);
    EXPECT_EQ(isNullKey(&path, Bytes{' ', ' ', 0, 0}.data()), 1);
    EXPECT_EQ(isNullKey(&path, Bytes{' ', ' ', ' ', ' '}.data()), 0);
    EXPECT_EQ(isNullKey(&path, Bytes{0, 0, 0, 0}.data()), 0);
}

// --- The ordering rule ----------------------------------------------------

TEST(KeyOrder, IdenticalBytesAreEqualEvenForNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const TreePath path = pathOf({part(0, 8, ISTYPE_DOUBLE), part(8, 4, ISTYPE_FLOAT)});
    const Bytes a = join({valueBytes(nan), valueBytes(std::numeric_limits<float>::quiet_NaN())});
    const Bytes copy = a;
    EXPECT_EQ(keysEqual(&path, a.data(), copy.data()), 1);
}

TEST(KeyOrder, EqualValuesWithDifferentBytesAreLessBothWays) {
    const TreePath doubles = pathOf({part(0, 8, ISTYPE_DOUBLE)});
    const Bytes plus = valueBytes(0.0);
    const Bytes minus = valueBytes(-0.0);
    ASSERT_NE(plus, minus);
    EXPECT_EQ(compareKeys(&doubles, plus.data(), minus.data()), -1);
    EXPECT_EQ(compareKeys(&doubles, minus.data(), plus.data()), -1);
    EXPECT_EQ(compareKeys(&doubles, valueBytes(2.5).data(), valueBytes(-7.0).data()), 1);
    EXPECT_EQ(compareKeys(&doubles, valueBytes(-7.0).data(), valueBytes(2.5).data()), -1);

    const TreePath floats = pathOf({part(0, 4, ISTYPE_FLOAT)});
    EXPECT_EQ(compareKeys(&floats, valueBytes(0.0f).data(), valueBytes(-0.0f).data()), -1);
    EXPECT_EQ(compareKeys(&floats, valueBytes(-0.0f).data(), valueBytes(0.0f).data()), -1);
    EXPECT_EQ(compareKeys(&floats, valueBytes(3.0f).data(), valueBytes(0.5f).data()), 1);
}

TEST(KeyOrder, NativeIntegersCompareSigned) {
    const TreePath shorts = pathOf({part(0, 2, ISTYPE_NATIVESHORT)});
    EXPECT_EQ(compareKeys(&shorts, valueBytes<int16_t>(-1).data(), valueBytes<int16_t>(1).data()), -1);
    EXPECT_EQ(compareKeys(&shorts, valueBytes<int16_t>(300).data(), valueBytes<int16_t>(2).data()), 1);
    const TreePath longs = pathOf({part(0, 4, ISTYPE_NATIVELONG)});
    EXPECT_EQ(compareKeys(&longs, valueBytes<int32_t>(-70000).data(), valueBytes<int32_t>(5).data()), -1);
    EXPECT_EQ(compareKeys(&longs, valueBytes<int32_t>(65536).data(), valueBytes<int32_t>(255).data()), 1);
}

TEST(KeyOrder, MultiValueNativePartIsOrderedByItsFirstValue) {
    const TreePath path = pathOf({part(0, 4, ISTYPE_NATIVESHORT)});
    const Bytes a = join({valueBytes<int16_t>(7), valueBytes<int16_t>(1)});
    const Bytes b = join({valueBytes<int16_t>(7), valueBytes<int16_t>(2)});
    EXPECT_EQ(compareKeys(&path, a.data(), b.data()), -1);
    EXPECT_EQ(compareKeys(&path, b.data(), a.data()), -1);
    const Bytes c = join({valueBytes<int16_t>(8), valueBytes<int16_t>(0)});
    EXPECT_EQ(compareKeys(&path, c.data(), a.data()), 1);
}

TEST(KeyOrder, BigEndianIntegersSortNumerically) {
    const TreePath path = pathOf({part(0, 2, ISTYPE_INT)});
    ASSERT_EQ(bigEndian16(-1), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(cmp(path, Bytes{0xFF, 0xFF}, Bytes{0x00, 0x00}), -1);
    EXPECT_EQ(cmp(path, Bytes{0x00, 0x01}, Bytes{0x01, 0x00}), -1);
    EXPECT_EQ(cmp(path, Bytes{0x00, 0xFF}, Bytes{0x00, 0x01}), 1) << "low byte unsigned";
    EXPECT_EQ(cmp(path, bigEndian16(-300), bigEndian16(-2)), -1);
    const TreePath bitSix = pathOf({part(0, 2, ISTYPE_INT | 0x40)});
    EXPECT_EQ(cmp(bitSix, Bytes{0xFF, 0xFF}, Bytes{0x00, 0x00}), -1) << "type bit 0x40 ignored";

    const TreePath longs = pathOf({part(0, 4, ISTYPE_LONG)});
    Bytes minus(4);
    Bytes plus(4);
    stLong(-5, minus.data());
    stLong(70000, plus.data());
    EXPECT_EQ(cmp(longs, minus, plus), -1);
    EXPECT_EQ(cmp(longs, plus, minus), 1);
}

// Only the first byte of a big-endian part is signed: a later value's sign
// byte orders as unsigned, the order stored indexes already have.
TEST(KeyOrder, OnlyTheFirstByteOfABigEndianPartIsSigned) {
    const TreePath path = pathOf({part(0, 4, ISTYPE_INT)});
    const Bytes a = join({bigEndian16(3), bigEndian16(-1)});
    const Bytes b = join({bigEndian16(3), bigEndian16(0)});
    EXPECT_EQ(cmp(path, a, b), 1);
    EXPECT_EQ(cmp(path, b, a), -1);
    const Bytes negative = join({bigEndian16(-1), bigEndian16(0)});
    EXPECT_EQ(cmp(path, negative, b), -1);
}

TEST(KeyOrder, DescendingPartInvertsOnlyItsOwnContribution) {
    const TreePath path = pathOf({part(0, 1, ISTYPE_CHAR | ISTYPE_DESC), part(1, 1, ISTYPE_CHAR)});
    EXPECT_EQ(cmp(path, bytes("B1"), bytes("A2")), -1) << "B before A";
    EXPECT_EQ(cmp(path, bytes("A2"), bytes("B1")), 1);
    EXPECT_EQ(cmp(path, bytes("A1"), bytes("A2")), -1) << "the ascending part keeps its order";
    const TreePath descInt = pathOf({part(0, 2, ISTYPE_INT | ISTYPE_DESC)});
    EXPECT_EQ(cmp(descInt, bigEndian16(-1), bigEndian16(0)), 1);
}

// Keys whose parts all order by their bytes are decided from the first
// differing byte alone; that must give exactly what the part-by-part rule
// gives, for every mix of character, string and big-endian integer parts in
// both directions, and for compare lengths that cut the key.
TEST(KeyOrder, TheByteRuleAgreesWithThePartRule) {
    std::mt19937 random(7);
    int wordChecks = 0;
    const uint16_t types[] = {ISTYPE_CHAR, ISTYPE_STRING, ISTYPE_INT, ISTYPE_LONG};
    for (int round = 0; round < 300; ++round) {
        TreePath fast{};
        int32_t length = 0;
        const int parts = 1 + int(random() % 4);
        for (int j = 0; j < parts; ++j) {
            const uint16_t type = types[random() % 4] | (random() % 2 ? ISTYPE_DESC : 0);
            const auto partLength = static_cast<int16_t>(1 + random() % 6);
            fast.key.parts[fast.key.partCount++] = part(static_cast<int16_t>(length), partLength, type);
            length += partLength;
        }
        fast.key.keyLength = static_cast<int16_t>(length);
        prepareKeyOrder(&fast);
        ASSERT_TRUE(fast.bytewise);
        TreePath slow = fast;
        slow.bytewise = false;
        for (int trial = 0; trial < 50; ++trial) {
            Bytes a(static_cast<size_t>(length));
            for (auto &x : a) x = static_cast<uint8_t>(random() % 4 == 0 ? 0x80 + random() % 3 : random() % 3);
            Bytes b = a;
            for (int k = 0; k < 2; ++k) b[random() % b.size()] = static_cast<uint8_t>(random());
            fast.compareLength = slow.compareLength = 1 + int32_t(random() % size_t(length));
            ASSERT_EQ(compareKeys(&fast, a.data(), b.data()), compareKeys(&slow, a.data(), b.data()));
            ASSERT_EQ(compareKeys(&fast, b.data(), a.data()), compareKeys(&slow, b.data(), a.data()));
            fast.compareLength = slow.compareLength = length;
            if (wordOrderApplies(&fast)) {
                // Keys of up to 8 bytes also order as words; only the sign counts.
                const uint64_t wa = orderWord(&fast, a.data()), wb = orderWord(&fast, b.data());
                ASSERT_EQ(sign(compareKeys(&slow, a.data(), b.data())), (wa > wb) - (wa < wb));
                ++wordChecks;
            }
        }
    }
    EXPECT_GT(wordChecks, 1000) << "keys of up to 8 bytes were met";
    TreePath collating = pathOf({part(0, 4, ISTYPE_CHAR), part(4, 4, ISTYPE_DOUBLE)});
    EXPECT_FALSE(collating.bytewise) << "a part with its own comparison keeps the part rule";
}

TEST(KeyOrder, BytesTypeOrdersLikeCharacters) {
    const TreePath chars = pathOf({part(0, 3, ISTYPE_CHAR)});
    const TreePath raw = pathOf({part(0, 3, ISTYPE_BYTES)});
    const std::vector<Bytes> keys = {{0, 0, 0}, {0, 0, 1}, {0, 0x80, 0}, {0x7F, 0xFF, 0xFF},
                                     {0x80, 0, 0}, {0xFF, 0, 0}, {'a', 'b', 'c'}};
    for (const Bytes &a : keys) {
        for (const Bytes &b : keys) EXPECT_EQ(cmp(raw, a, b), cmp(chars, a, b));
    }
    EXPECT_EQ(cmp(chars, keys[4], keys[3]), 1) << "unsigned";
    EXPECT_EQ(keysEqual(&chars, keys[1].data(), keys[2].data()), 0);
}

TEST(KeyOrder, RecIdPartOrdersByItsFirstNativeInteger) {
    const TreePath path = pathOf({part(0, 8, ISTYPE_RECID)});
    const Bytes minus = join({valueBytes<int32_t>(-1), valueBytes<int32_t>(0)});
    const Bytes plus = join({valueBytes<int32_t>(1), valueBytes<int32_t>(-9)});
    EXPECT_EQ(cmp(path, minus, plus), -1);
    EXPECT_EQ(cmp(path, plus, minus), 1);
}

TEST(KeyOrder, RecIdPartWithEqualFirstIntegersIsStillATotalOrder) {
    const TreePath path = pathOf({part(0, 8, ISTYPE_RECID)});
    const Bytes a = join({valueBytes<int32_t>(42), Bytes{0, 0, 0, 1}});
    const Bytes b = join({valueBytes<int32_t>(42), Bytes{0, 0, 0, 2}});
    EXPECT_EQ(cmp(path, a, b), -1);
    EXPECT_EQ(cmp(path, b, a), 1);
    EXPECT_EQ(cmp(path, a, a), 0);
}

TEST(KeyOrder, CollatingPartHeldEqualHandsOnToTheNextDifferingPart) {
    const Bytes upper = {'A', 0, 'B', 0};  // UTF-16 "AB"
    const Bytes lower = {'a', 0, 'b', 0};
    const TreePath path = pathOf({part(0, 4, ISTYPE_WNOCASE), part(4, 1, ISTYPE_CHAR),
                                  part(5, 1, ISTYPE_CHAR | ISTYPE_DESC)});
    EXPECT_EQ(cmp(path, join({upper, bytes("xx")}), join({lower, bytes("xx")})), 0);
    EXPECT_EQ(cmp(path, join({upper, bytes("1x")}), join({lower, bytes("2x")})), -1);
    EXPECT_EQ(cmp(path, join({upper, bytes("x1")}), join({lower, bytes("x2")})), 1)
        << "the part that decides applies its own descending bit";
    const TreePath descFirst = pathOf({part(0, 4, ISTYPE_WNOCASE | ISTYPE_DESC), part(4, 1, ISTYPE_CHAR)});
    EXPECT_EQ(cmp(descFirst, join({upper, bytes("1")}), join({lower, bytes("2")})), -1);
}

TEST(KeyOrder, CollatingPartThatDiffersDecidesWithItsDescendingBit) {
    const TreePath path = pathOf({part(0, 2, ISTYPE_WTEXT | ISTYPE_DESC), part(2, 1, ISTYPE_CHAR)});
    EXPECT_EQ(cmp(path, Bytes{'a', 0, '9'}, Bytes{'b', 0, '0'}), 1);
}

// --- Compare length -------------------------------------------------------

TEST(PartialKeys, KeysSharingTheCompareLengthAreEqual) {
    TreePath path = pathOf({part(0, 4, ISTYPE_CHAR)});
    EXPECT_EQ(cmp(path, bytes("ABCx"), bytes("ABCy")), -1);
    path.compareLength = 3;
    EXPECT_EQ(cmp(path, bytes("ABCx"), bytes("ABCy")), 0);
    EXPECT_EQ(cmp(path, bytes("ABBx"), bytes("ABCy")), -1);
    path.compareLength = 0;
    EXPECT_EQ(cmp(path, bytes("ABCx"), bytes("ZZZZ")), 0);
}

TEST(PartialKeys, ContinuationAfterACollatingPartStopsAtTheCompareLength) {
    TreePath path = pathOf({part(0, 4, ISTYPE_WNOCASE), part(4, 2, ISTYPE_CHAR)});
    const Bytes a = {'A', 0, 'b', 0, 'x', '1'};
    const Bytes b = {'a', 0, 'B', 0, 'y', '2'};
    EXPECT_EQ(cmp(path, a, b), -1);
    path.compareLength = 5;
    EXPECT_EQ(cmp(path, a, b), -1) << "the byte before the compare length still decides";
    path.compareLength = 4;
    EXPECT_EQ(cmp(path, a, b), 0);
}

TEST(PartialKeys, CollatingPartCutByTheCompareLengthCollatesItsLeadingUnits) {
    TreePath path = pathOf({part(0, 8, ISTYPE_WNOCASE)});
    const Bytes a = {'A', 0, 'B', 0, 'c', 0, 'd', 0};
    const Bytes b = {'a', 0, 'b', 0, 'X', 0, 'Y', 0};
    EXPECT_EQ(cmp(path, a, b), -1);
    path.compareLength = 4;
    EXPECT_EQ(cmp(path, a, b), 0);
    path.compareLength = 3;  // half a unit: the unit takes part whole
    EXPECT_EQ(cmp(path, a, b), 0);
    path.compareLength = 5;
    EXPECT_EQ(cmp(path, a, b), -1);
}

TEST(PartialKeys, CompareLengthBeyondTheKeyIsReportedWithoutReadingPastIt) {
    testing::FatalCapture capture;
    TreePath path = pathOf({part(0, 3, ISTYPE_CHAR)});
    path.compareLength = 10;
    // Heap buffers of exactly the key length: a read past them is caught by
    // the address sanitizer.
    const Bytes a = bytes("abc");
    const Bytes b = bytes("abc");
    EXPECT_EQ(compareKeys(&path, a.data(), b.data()), 0);
    ASSERT_EQ(capture.texts().size(), 1u);
    EXPECT_EQ(capture.texts()[0], "fatal isam error iskey(100)");
    EXPECT_EQ(cmp(path, bytes("abd"), b), 1);
    EXPECT_EQ(capture.texts().size(), 1u) << "a difference inside the key is no fault";
    path.key.keyLength = 4;  // a byte no part holds
    path.compareLength = 4;
    EXPECT_EQ(cmp(path, bytes("abcd"), bytes("abce")), 0);
    EXPECT_EQ(capture.texts().size(), 2u);
}

// --- Arbitrary bytes ------------------------------------------------------

// Every key type, ascending and descending, on arbitrary bytes and compare
// lengths: a key equals itself, the order is antisymmetric wherever it is a
// total order, and nothing is read outside the exactly sized buffers.
TEST(KeyBounds, ArbitraryBytesOfEveryTypeStayInsideTheirBuffers) {
    testing::FatalCapture capture;
    std::mt19937 random(20260101);
    const uint8_t alphabet[] = {0, '0', '1', '9', 'a', 'A', 0x80, 0xBF, 0xC3, 0xE2, 0xF0, 0xD8, 0xFF};
    auto draw = [&](size_t n) {
        Bytes out(n);
        for (uint8_t &byte : out) byte = alphabet[random() % sizeof alphabet];
        return out;
    };
    for (int type = 0; type <= 14; ++type) {
        for (uint16_t desc : {uint16_t{0}, uint16_t{ISTYPE_DESC}}) {
            TreePath path = pathOf({part(0, 8, static_cast<uint16_t>(type | desc)), part(8, 3, ISTYPE_CHAR)});
            // Value types order a several-value part by its first value alone.
            const bool total = type < ISTYPE_DOUBLE || type > ISTYPE_NATIVELONG;
            for (int round = 0; round < 400; ++round) {
                path.compareLength = static_cast<int32_t>(random() % 12);
                const Bytes a = draw(11);
                Bytes b = a;
                for (size_t k = random() % 11; k < b.size(); k += 1 + random() % 4) b[k] = alphabet[random() % sizeof alphabet];
                EXPECT_EQ(compareKeys(&path, a.data(), a.data()), 0);
                if (total) {
                    EXPECT_EQ(cmp(path, a, b), -cmp(path, b, a)) << "type " << type;
                }
            }
        }
    }
    EXPECT_TRUE(capture.texts().empty());
}

}  // namespace
}  // namespace wisam
