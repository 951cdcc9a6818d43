// Tests of file naming: the extension of each kind, link files, the limits
// on base names and link targets, and the UTF-16 to UTF-8 path conversion.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "frame/isfile.h"
#include "support/testing.h"
#include "system/issystem.h"

namespace {

using wisam::NameResult;
using wisam::testing::TempDir;
using wisam::testing::writeText;

constexpr char16_t kHighSurrogate = 0xD83D;  // first unit of U+1F600
constexpr char16_t kLowSurrogate = 0xDE00;   // second unit of U+1F600

struct Named {
    NameResult result;
    std::u16string name;
};

Named fileName(int kind, const std::u16string &base) {
    char16_t out[wisam::kPathUnits] = {};
    const NameResult result = wisam::sysFileName(kind, base.c_str(), out);
    return {result, result == NameResult::ok ? std::u16string(out) : std::u16string()};
}

Named resolveLink(const std::u16string &base) {
    char16_t out[wisam::kPathUnits] = {};
    const NameResult result = wisam::sysResolveLink(base.c_str(), out);
    return {result, result == NameResult::ok ? std::u16string(out) : std::u16string()};
}

class NameTest : public ::testing::Test {
protected:
    // A base name in the temporary directory, `units` UTF-16 units long in
    // total, padded with `fill`.
    std::u16string baseOfLength(size_t units, char16_t fill = u'a') const {
        std::u16string base = dir.name("");
        base.append(units - base.size(), fill);
        return base;
    }
    void link(const std::string &base, const std::string &content) const {
        writeText(dir.file(base + ".lnk"), content);
    }

    TempDir dir;
};

// --- Extensions ---------------------------------------------------------

TEST_F(NameTest, EachKindGetsItsExtension) {
    const std::u16string base = dir.name("orders");
    EXPECT_EQ(fileName(wisam::kKindIndex, base).name, base + u".wox");
    EXPECT_EQ(fileName(wisam::kKindData, base).name, base + u".wod");
    EXPECT_EQ(fileName(wisam::kKindLki, base).name, base + u".lki");
    EXPECT_EQ(fileName(wisam::kKindLock, base).name, base + u".lck");
    EXPECT_EQ(fileName(wisam::kKindAppend, base).name, base);
    EXPECT_EQ(fileName(wisam::kKindLog, base).name, base);
}

TEST_F(NameTest, KindWithoutFileIsInvalid) {
    EXPECT_EQ(fileName(5, dir.name("orders")).result, NameResult::invalid);
    EXPECT_EQ(fileName(0, dir.name("orders")).result, NameResult::invalid);
}

// --- Link files ---------------------------------------------------------

TEST_F(NameTest, LinkRedirectsIndexDataAndLockFile) {
    link("orders", dir.file("target") + "\n");
    const std::u16string base = dir.name("orders");
    const std::u16string target = dir.name("target");
    EXPECT_EQ(fileName(wisam::kKindIndex, base).name, target + u".wox");
    EXPECT_EQ(fileName(wisam::kKindData, base).name, target + u".wod");
    EXPECT_EQ(fileName(wisam::kKindLock, base).name, target + u".lck");
    EXPECT_EQ(resolveLink(base).name, target);
}

TEST_F(NameTest, LogNameIsNeverResolved) {
    link("journal", dir.file("elsewhere") + "\n");
    const Named named = fileName(wisam::kKindLog, dir.name("journal"));
    ASSERT_EQ(named.result, NameResult::ok);
    EXPECT_EQ(named.name, dir.name("journal"));
}

TEST_F(NameTest, LinkLineEndsAreStripped) {
    link("crlf", "target\r\n");
    link("lf", "target\n");
    link("none", "target");
    link("more", "target\r\nsecond\r\n");
    for (const char *base : {"crlf", "lf", "none", "more"}) {
        EXPECT_EQ(resolveLink(dir.name(base)).name, u"target") << base;
    }
}

TEST_F(NameTest, EmptyLinkLeavesBaseName) {
    link("empty", "");
    link("blankLine", "\nsecond\n");
    link("blankCrLf", "\r\nsecond\n");
    for (const char *base : {"empty", "blankLine", "blankCrLf"}) {
        const Named named = resolveLink(dir.name(base));
        EXPECT_EQ(named.result, NameResult::ok) << base;
        EXPECT_EQ(named.name, dir.name(base)) << base;
    }
    EXPECT_EQ(fileName(wisam::kKindIndex, dir.name("empty")).name, dir.name("empty") + u".wox");
}

TEST_F(NameTest, MissingLinkLeavesBaseName) {
    EXPECT_EQ(resolveLink(dir.name("plain")).name, dir.name("plain"));
}

TEST_F(NameTest, LinkTargetIsNotFollowedFurther) {
    link("first", dir.file("second") + "\n");
    link("second", dir.file("third") + "\n");
    EXPECT_EQ(fileName(wisam::kKindIndex, dir.name("first")).name, dir.name("second") + u".wox");
}

// A name the library holds as literal (its own work files) is never
// redirected by a link file planted under it, on the holding thread, for
// as long as it is held; a name equal to it (compared whole) is held with
// it, names that merely begin alike are not.
TEST_F(NameTest, HeldLiteralNameIsNotRedirected) {
    link("work", dir.file("victim") + "\n");
    link("work2", dir.file("victim") + "\n");
    const std::u16string held = dir.name("work");
    const std::u16string copy = held;  // the same name in other storage
    const std::u16string victim = dir.name("victim");
    struct Probe {
        std::u16string base;
        int kind;
        std::u16string whileHeld;
    };
    const Probe probes[] = {
        {copy, wisam::kKindIndex, held + u".wox"},
        {copy, wisam::kKindLock, held + u".lck"},
        {copy, wisam::kKindData, held + u".wod"},
        {dir.name("work2"), wisam::kKindIndex, victim + u".wox"},
        {dir.name("wor"), wisam::kKindIndex, dir.name("wor") + u".wox"},
    };
    std::vector<std::u16string> unheld;
    for (const Probe &p : probes) unheld.push_back(fileName(p.kind, p.base).name);
    ASSERT_TRUE(wisam::sysHoldLiteralName(held.c_str()));
    for (size_t i = 0; i < std::size(probes); ++i) {
        const Probe &p = probes[i];
        EXPECT_EQ(fileName(p.kind, p.base).name, p.whileHeld) << i;
        std::u16string elsewhere;
        std::thread([&] { elsewhere = fileName(p.kind, p.base).name; }).join();
        EXPECT_EQ(elsewhere, unheld[i]) << i << ": another thread holds nothing";
    }
    wisam::sysDropLiteralName(held.c_str());
    EXPECT_EQ(fileName(wisam::kKindIndex, copy).name, victim + u".wox") << "dropped: redirected again";
}

// A thread holds a few names at once; one more is refused, and a dropped
// slot can be held again.
TEST_F(NameTest, LiteralNamesAreBounded) {
    const std::u16string names[] = {u"n0", u"n1", u"n2", u"n3", u"n4"};
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(wisam::sysHoldLiteralName(names[i].c_str())) << i;
    EXPECT_FALSE(wisam::sysHoldLiteralName(names[4].c_str()));
    wisam::sysDropLiteralName(names[2].c_str());
    EXPECT_TRUE(wisam::sysHoldLiteralName(names[4].c_str()));
    for (const std::u16string &name : names) wisam::sysDropLiteralName(name.c_str());
    EXPECT_TRUE(wisam::sysHoldLiteralName(names[0].c_str()));
    wisam::sysDropLiteralName(names[0].c_str());
}

TEST_F(NameTest, LinkTargetIsDecodedFromUtf8) {
    // "dé€" then U+1F600 as a surrogate pair.
    link("utf8", "d\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n");
    const std::u16string expected = {u'd', 0x00E9, 0x20AC, kHighSurrogate, kLowSurrogate};
    EXPECT_EQ(resolveLink(dir.name("utf8")).name, expected);
}

TEST_F(NameTest, InvalidUtf8InLinkIsInvalid) {
    const char *const damaged[] = {
        "ab\xC3(\n",            // lead byte without its continuation
        "ab\xC0\xAF\n",         // overlong encoding of '/'
        "ab\xED\xA0\x80\n",     // an encoded surrogate
        "ab\xF4\x90\x80\x80\n", // beyond U+10FFFF
        "ab\xE2\x82",           // cut off at the end of the file
        "ab\x80\n",             // continuation byte alone
    };
    int n = 0;
    for (const char *content : damaged) {
        const std::string base = "bad" + std::to_string(n++);
        link(base, content);
        EXPECT_EQ(resolveLink(dir.name(base)).result, NameResult::invalid) << base;
        EXPECT_EQ(fileName(wisam::kKindData, dir.name(base)).result, NameResult::invalid) << base;
    }
    writeText(dir.file("nul.lnk"), std::string("ab\0cd\n", 6));
    EXPECT_EQ(resolveLink(dir.name("nul")).result, NameResult::invalid);
}

// --- Length limits ------------------------------------------------------

TEST_F(NameTest, BaseNameOf251UnitsFitsAnd252IsTooLong) {
    const std::u16string longest = baseOfLength(wisam::kMaxBaseUnits);
    const Named named = fileName(wisam::kKindIndex, longest);
    ASSERT_EQ(named.result, NameResult::ok);
    EXPECT_EQ(named.name, longest + u".wox");
    EXPECT_EQ(named.name.size(), 255u);

    const std::u16string tooLong = baseOfLength(wisam::kMaxBaseUnits + 1);
    EXPECT_EQ(fileName(wisam::kKindIndex, tooLong).result, NameResult::tooLong);
    EXPECT_EQ(fileName(wisam::kKindLog, tooLong).result, NameResult::tooLong);
    EXPECT_EQ(resolveLink(tooLong).result, NameResult::tooLong);
}

TEST_F(NameTest, SurrogatePairCountsAsTwoUnits) {
    std::u16string fits = baseOfLength(wisam::kMaxBaseUnits - 2);
    fits += {kHighSurrogate, kLowSurrogate};
    ASSERT_EQ(fits.size(), 251u);
    EXPECT_EQ(fileName(wisam::kKindData, fits).name, fits + u".wod");

    std::u16string over = baseOfLength(wisam::kMaxBaseUnits - 1);
    over += {kHighSurrogate, kLowSurrogate};
    EXPECT_EQ(fileName(wisam::kKindData, over).result, NameResult::tooLong);
}

TEST_F(NameTest, LinkTargetOf251UnitsFitsAnd252IsTooLong) {
    link("fits", std::string(251, 'x') + "\r\n");
    const Named fits = fileName(wisam::kKindIndex, dir.name("fits"));
    ASSERT_EQ(fits.result, NameResult::ok);
    EXPECT_EQ(fits.name, std::u16string(251, u'x') + u".wox");

    link("over", std::string(252, 'x') + "\n");
    EXPECT_EQ(resolveLink(dir.name("over")).result, NameResult::tooLong);
    EXPECT_EQ(fileName(wisam::kKindLock, dir.name("over")).result, NameResult::tooLong);
}

TEST_F(NameTest, LinkTargetLengthCountsUtf16Units) {
    // U+1F600 is four bytes and two units: 125 of them and one letter make
    // 251 units, 126 of them make 252.
    std::string pairs;
    for (int i = 0; i < 125; ++i) pairs += "\xF0\x9F\x98\x80";
    link("fits", pairs + "a\n");
    const Named fits = resolveLink(dir.name("fits"));
    ASSERT_EQ(fits.result, NameResult::ok);
    EXPECT_EQ(fits.name.size(), 251u);
    EXPECT_EQ(fits.name[249], kLowSurrogate);
    EXPECT_EQ(fits.name[250], u'a');

    link("over", pairs + "\xF0\x9F\x98\x80\n");
    EXPECT_EQ(resolveLink(dir.name("over")).result, NameResult::tooLong);
}

TEST_F(NameTest, OverlongLinkLineIsRefusedNotCut) {
    link("huge", std::string(5000, 'y'));
    EXPECT_EQ(resolveLink(dir.name("huge")).result, NameResult::tooLong);
    link("hugeAfterNewline", "short\n" + std::string(5000, 'y'));
    EXPECT_EQ(resolveLink(dir.name("hugeAfterNewline")).name, u"short");
}

// --- UTF-16 names and paths ---------------------------------------------

TEST_F(NameTest, LoneSurrogateIsInvalid) {
    const std::u16string base = dir.name("x");
    std::u16string highAtEnd = base + kHighSurrogate;
    std::u16string highBeforeLetter = base + kHighSurrogate + u'a';
    std::u16string lowAlone = base + kLowSurrogate + u'a';
    std::u16string swapped = base + kLowSurrogate + kHighSurrogate;
    for (const std::u16string &name : {highAtEnd, highBeforeLetter, lowAlone, swapped}) {
        EXPECT_EQ(fileName(wisam::kKindIndex, name).result, NameResult::invalid);
        EXPECT_EQ(fileName(wisam::kKindLog, name).result, NameResult::invalid);
        wisam::SysPath path;
        EXPECT_EQ(wisam::utf16ToPath(name.c_str(), path), NameResult::invalid);
    }
}

TEST_F(NameTest, PathIsUtf8ByteForByte) {
    const std::u16string name = {u'/', u'a', 0x00E9, 0x20AC, kHighSurrogate, kLowSurrogate};
    wisam::SysPath path;
    ASSERT_EQ(wisam::utf16ToPath(name.c_str(), path), NameResult::ok);
    EXPECT_STREQ(path.bytes, "/a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST_F(NameTest, LongestNameOfWideCharactersFitsThePath) {
    // 251 units of three bytes each, plus the extension: the largest path.
    const std::u16string name = std::u16string(wisam::kMaxBaseUnits, 0x20AC) + u".wox";
    wisam::SysPath path;
    ASSERT_EQ(wisam::utf16ToPath(name.c_str(), path), NameResult::ok);
    const std::string bytes(path.bytes);
    EXPECT_EQ(bytes.size(), 251u * 3 + 4);
    EXPECT_EQ(bytes.substr(bytes.size() - 7), "\xE2\x82\xAC.wox");
}

}  // namespace
