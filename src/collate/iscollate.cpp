// layer: collate
// iscollate.cpp - the collating key types, device tags, UTF-8 decoding and
// case folding.
#include "collate/iscollate.h"

#include <clocale>
#include <cstring>
#include <cwctype>

#include <locale.h>  // newlocale, towlower_l

namespace wisam {

namespace {

constexpr int kUnitBytes = 2;           // one UTF-16 unit
constexpr int32_t kRecIdValueBytes = 4; // the ordering value of a type 9 unit
constexpr uint16_t kEndOfText = 0;

// UTF-8 lead-byte ranges and the payload of a continuation byte.
constexpr uint8_t kUtf8Single = 0x80;   // below: one byte
constexpr uint8_t kUtf8Lead2 = 0xC0;    // 0xC0..0xDF: two bytes
constexpr uint8_t kUtf8Lead3 = 0xE0;    // 0xE0..0xEF: three bytes
constexpr uint8_t kUtf8Lead4 = 0xF0;    // 0xF0..0xF7: four bytes
constexpr uint8_t kUtf8LeadEnd = 0xF8;  // 0xF8 and above: not a lead byte
constexpr int kUtf8Continuation = 0x80;
constexpr int kUtf8PayloadBits = 6;

constexpr char16_t kAsciiUpperA = u'A';
constexpr char16_t kAsciiUpperZ = u'Z';
constexpr char16_t kAsciiCaseOffset = u'a' - u'A';
constexpr char16_t kAsciiEnd = 0x80;
constexpr wint_t kLastUnit = 0xFFFF;  // a fold beyond 16 bits is not taken

char16_t loadUnit(const uint8_t *p) {
    char16_t unit;
    std::memcpy(&unit, p, sizeof unit);
    return unit;
}

int sign(int difference) { return difference > 0 ? 1 : (difference < 0 ? -1 : 0); }

int compareBytes(const uint8_t *a, const uint8_t *b, int32_t length) {
    for (int32_t i = 0; i < length; ++i) {
        if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
    }
    return 0;
}

// Type 9: the first 4 bytes as a native signed integer decide.  When they
// are equal the remaining bytes decide as unsigned bytes, so that the order
// stays a total order: a rule that called such parts "less" both ways would
// let a lookup stop at a neighbour and miss an equal key stored after it.
int compareRecIds(const uint8_t *a, const uint8_t *b, int32_t length) {
    if (length < kRecIdValueBytes) return compareBytes(a, b, length);
    int32_t va;
    int32_t vb;
    std::memcpy(&va, a, sizeof va);
    std::memcpy(&vb, b, sizeof vb);
    if (va != vb) return va > vb ? 1 : -1;
    return compareBytes(a + kRecIdValueBytes, b + kRecIdValueBytes, length - kRecIdValueBytes);
}

// Character sources for the device-tag walk: next() yields the following
// character, 0 once the field ends.
class Utf8Source {
public:
    Utf8Source(const uint8_t *p, int32_t left) : p_(p), left_(left) {}
    uint16_t next() { return nextUtf8(p_, left_); }

private:
    const uint8_t *p_;
    int32_t left_;
};

class Utf16Source {
public:
    Utf16Source(const uint8_t *p, int32_t units) : p_(p), units_(units) {}
    uint16_t next() {
        if (i_ >= units_) return kEndOfText;
        return loadUnit(p_ + static_cast<size_t>(i_++) * kUnitBytes);
    }

private:
    const uint8_t *p_;
    int32_t units_;
    int32_t i_ = 0;
};

bool isDigit(uint16_t c) { return c >= u'0' && c <= u'9'; }

// Compares the digit runs that start with `ca` and `cb` by their exact value,
// in one pass and without converting them: leading zeros are skipped, then
// the run with more significant digits is greater, else the first differing
// digit decides; equal values order the run with more digits (more leading
// zeros) after the other.  On 0 the runs were alike and `ca`, `cb` hold the
// characters that ended them.
template <class Source>
int compareDigitRuns(Source &sa, uint16_t &ca, Source &sb, uint16_t &cb) {
    int32_t zerosA = 0;
    int32_t zerosB = 0;
    while (ca == u'0') {
        ++zerosA;
        ca = sa.next();
    }
    while (cb == u'0') {
        ++zerosB;
        cb = sb.next();
    }
    int firstDifference = 0;
    for (;;) {
        const bool da = isDigit(ca);
        const bool db = isDigit(cb);
        if (!da && !db) break;
        if (!db) return 1;
        if (!da) return -1;
        if (firstDifference == 0 && ca != cb) firstDifference = ca > cb ? 1 : -1;
        ca = sa.next();
        cb = sb.next();
    }
    if (firstDifference != 0) return firstDifference;
    if (zerosA != zerosB) return zerosA > zerosB ? 1 : -1;
    return 0;
}

// The device-tag walk shared by the UTF-8 and the UTF-16 form.  The end of
// a field and a NUL both read as 0, so a field that ends sorts first.
template <class Source>
int compareTags(Source sa, Source sb) {
    uint16_t ca = sa.next();
    uint16_t cb = sb.next();
    for (;;) {
        if (ca == kEndOfText) return cb == kEndOfText ? 0 : -1;
        if (cb == kEndOfText) return 1;
        const bool da = isDigit(ca);
        const bool db = isDigit(cb);
        if (!da) {
            if (db) return 1;  // digits sort before everything else
            if (ca != cb) return ca > cb ? 1 : -1;
            ca = sa.next();
            cb = sb.next();
            continue;
        }
        if (!db) return -1;
        const int runs = compareDigitRuns(sa, ca, sb, cb);
        if (runs != 0) return runs;
    }
}

// The fixed folding locale, made once per process; null when the system
// lacks it (ASCII letters are then folded alone).
locale_t foldingLocale() {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return locale;
}

}  // namespace

int32_t collateUnit(int type) {
    switch (type) {
    case ISTYPE_WTEXT:
    case ISTYPE_WDEVTAG:
    case ISTYPE_WNOCASE:
        return kUnitBytes;
    case ISTYPE_RECID:
        return 2 * kRecIdValueBytes;
    default:
        return 1;
    }
}

int collatePart(const KeyDesc &key, int part, const void *a, const void *b, int32_t length) {
    if (part < 0 || part >= IS_MAX_KEY_PARTS) return 0;
    const KeyPart &p = key.parts[part];
    if (length > p.length) length = p.length;
    if (length <= 0) return 0;
    const auto *pa = static_cast<const uint8_t *>(a);
    const auto *pb = static_cast<const uint8_t *>(b);
    switch (p.type & ISTYPE_MASK) {
    case ISTYPE_WTEXT:
        return compareWide(pa, pb, length / kUnitBytes);
    case ISTYPE_RECID:
        return compareRecIds(pa, pb, length);
    case ISTYPE_DEVTAG:
        return compareDeviceTags(pa, pb, length);
    case ISTYPE_WDEVTAG:
        return compareWideDeviceTags(pa, pb, length / kUnitBytes);
    case ISTYPE_BYTES:
        return compareBytes(pa, pb, length);
    case ISTYPE_WNOCASE:
        return compareWideNoCase(pa, pb, length / kUnitBytes);
    default:
        return 0;
    }
}

int collatePart(const KeyDesc &key, int part, const void *a, const void *b) {
    if (part < 0 || part >= IS_MAX_KEY_PARTS) return 0;
    return collatePart(key, part, a, b, key.parts[part].length);
}

uint16_t nextUtf8(const uint8_t *&cursor, int32_t &left) {
    if (left < 1) return kEndOfText;
    const int first = cursor[0];
    int value;
    int32_t width;
    if (first < kUtf8Single) {
        value = first;
        width = 1;
    } else if (first >= kUtf8Lead2 && first < kUtf8Lead3 && left >= 2) {
        value = ((first - kUtf8Lead2) << kUtf8PayloadBits) + (cursor[1] - kUtf8Continuation);
        width = 2;
    } else if (first >= kUtf8Lead3 && first < kUtf8Lead4 && left >= 3) {
        value = ((first - kUtf8Lead3) << kUtf8PayloadBits) + (cursor[1] - kUtf8Continuation);
        value = (value << kUtf8PayloadBits) + (cursor[2] - kUtf8Continuation);
        width = 3;
    } else if (first >= kUtf8Lead4 && first < kUtf8LeadEnd && left >= 4) {
        // The lead byte's bits do not fit in 16 bits and are dropped.
        value = cursor[1] - kUtf8Continuation;
        value = (value << kUtf8PayloadBits) + (cursor[2] - kUtf8Continuation);
        value = (value << kUtf8PayloadBits) + (cursor[3] - kUtf8Continuation);
        width = 4;
    } else {
        return kEndOfText;
    }
    cursor += width;
    left -= width;
    // Unchecked continuation bytes may make the sum negative: only its low
    // 16 bits are the character.
    return static_cast<uint16_t>(static_cast<unsigned>(value));
}

int compareDeviceTags(const uint8_t *a, const uint8_t *b, int32_t length) {
    return compareTags(Utf8Source(a, length), Utf8Source(b, length));
}

int compareWideDeviceTags(const uint8_t *a, const uint8_t *b, int32_t units) {
    if (units <= 0) return 0;
    return compareTags(Utf16Source(a, units), Utf16Source(b, units));
}

int compareNoCaseUtf8(const uint8_t *a, const uint8_t *b, int32_t length) {
    int32_t leftA = length;
    int32_t leftB = length;
    for (;;) {
        const uint16_t ca = nextUtf8(a, leftA);
        const uint16_t cb = nextUtf8(b, leftB);
        if (ca == kEndOfText) return cb == kEndOfText ? 0 : -1;
        if (cb == kEndOfText) return 1;
        const char16_t fa = foldCase(ca);
        const char16_t fb = foldCase(cb);
        if (fa != fb) return fa > fb ? 1 : -1;
    }
}

int compareWide(const uint8_t *a, const uint8_t *b, int32_t units) {
    for (int32_t k = 0; k < units; ++k) {
        const char16_t ua = loadUnit(a + static_cast<size_t>(k) * kUnitBytes);
        const char16_t ub = loadUnit(b + static_cast<size_t>(k) * kUnitBytes);
        if (ua != ub) return sign(static_cast<int>(ua) - static_cast<int>(ub));
        if (ua == kEndOfText) return 0;
    }
    return 0;
}

int compareWideNoCase(const uint8_t *a, const uint8_t *b, int32_t units) {
    for (int32_t k = 0; k < units; ++k) {
        const char16_t ua = foldCase(loadUnit(a + static_cast<size_t>(k) * kUnitBytes));
        const char16_t ub = foldCase(loadUnit(b + static_cast<size_t>(k) * kUnitBytes));
        if (ua != ub) return sign(static_cast<int>(ua) - static_cast<int>(ub));
        if (ua == kEndOfText) return 0;
    }
    return 0;
}

bool isWideDigit(char16_t unit) { return isDigit(unit); }

char16_t foldCase(char16_t unit) {
    if (unit < kAsciiEnd) {
        return unit >= kAsciiUpperA && unit <= kAsciiUpperZ
                   ? static_cast<char16_t>(unit + kAsciiCaseOffset)
                   : unit;
    }
    const locale_t locale = foldingLocale();
    if (locale == static_cast<locale_t>(0)) return unit;
    const wint_t lower = towlower_l(static_cast<wint_t>(unit), locale);
    return lower <= kLastUnit ? static_cast<char16_t>(lower) : unit;
}

}  // namespace wisam
