// layer: system/os
// isname.cpp - file names by kind, link files, UTF-16 to system paths.
//
// A base name B is first looked up as B.lnk: when that text file exists and
// its first line is not empty, the line (without LF and a CR before it) is
// the base name instead.  Links redirect once; a target is not followed
// further, and a relative target is relative to the working directory.  The
// log (kind 6) is named exactly as given.
//
// Names the library makes itself for its work files (the temporary names of
// a cluster) are held as literal while it uses them: a link file planted
// under such a name must not send the library's writes, renames and erases
// to a file it did not make.  The held names belong to the calling thread,
// which runs the whole call that made them.
#include <fcntl.h>

#include <cerrno>

#include "frame/isfile.h"
#include "system/issystem.h"

namespace wisam {

namespace {

constexpr char16_t kExtensionIndex[] = u".wox";
constexpr char16_t kExtensionData[] = u".wod";
constexpr char16_t kExtensionLki[] = u".lki";
constexpr char16_t kExtensionLock[] = u".lck";
constexpr char16_t kExtensionJournal[] = u".wjn";
constexpr char16_t kExtensionSchema[] = u".wsc";
constexpr char16_t kExtensionLink[] = u".lnk";
constexpr char16_t kNoExtension[] = u"";

// Bytes read of a link file: enough for any first line we accept (251 units
// of at most 3 bytes, plus CR LF), and more, so that a longer line is seen
// to be too long rather than cut.
constexpr long kLinkReadBytes = 1024;

// The literal names the calling thread holds (see sysHoldLiteralName); the
// names are owned by the holder and stay put while held.
constexpr int kLiteralNames = 4;
thread_local const char16_t *literalNames[kLiteralNames];

bool sameName(const char16_t *a, const char16_t *b) {
    while (*a != 0 && *a == *b) ++a, ++b;
    return *a == *b;
}

bool heldLiteral(const char16_t *base) {
    for (const char16_t *held : literalNames) {
        if (held != nullptr && sameName(held, base)) return true;
    }
    return false;
}

const char16_t *extensionOf(int kind) {
    switch (kind) {
    case kKindIndex:
        return kExtensionIndex;
    case kKindData:
        return kExtensionData;
    case kKindLki:
        return kExtensionLki;
    case kKindLock:
        return kExtensionLock;
    case kKindJournal:
        return kExtensionJournal;
    case kKindSchema:
        return kExtensionSchema;
    case kKindAppend:
    case kKindLog:
        return kNoExtension;
    default:
        return nullptr;
    }
}

bool isHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Length in units of a valid name of at most kMaxBaseUnits units.
NameResult checkBase(const char16_t *base, int &units) {
    if (base == nullptr) return NameResult::invalid;
    units = 0;
    for (const char16_t *p = base; *p != 0; ++p, ++units) {
        if (units >= kMaxBaseUnits) return NameResult::tooLong;
        if (isHighSurrogate(*p)) {
            if (!isLowSurrogate(p[1])) return NameResult::invalid;
            if (units + 1 >= kMaxBaseUnits) return NameResult::tooLong;
            ++p, ++units;
        } else if (isLowSurrogate(*p)) {
            return NameResult::invalid;
        }
    }
    return NameResult::ok;
}

void copyUnits(char16_t *out, const char16_t *base, int units, const char16_t *extension) {
    int n = 0;
    for (; n < units; ++n) out[n] = base[n];
    for (const char16_t *e = extension; *e != 0; ++e) out[n++] = *e;
    out[n] = 0;
}

// Decodes one UTF-8 sequence at `p` (before `end`); 0 on an invalid one.
int decodeUtf8(const unsigned char *p, const unsigned char *end, uint32_t &cp) {
    const unsigned char lead = *p;
    int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                                 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || end - p < length) return 0;
    static constexpr uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    cp = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return length;
}

// UTF-8 bytes [p, end) to at most kMaxBaseUnits UTF-16 units.
NameResult utf8ToName(const unsigned char *p, const unsigned char *end, char16_t *out) {
    int units = 0;
    while (p < end) {
        uint32_t cp = 0;
        const int length = decodeUtf8(p, end, cp);
        if (length == 0 || cp == 0) return NameResult::invalid;
        const int need = cp >= 0x10000 ? 2 : 1;
        if (units + need > kMaxBaseUnits) return NameResult::tooLong;
        if (need == 2) {
            cp -= 0x10000;
            out[units++] = static_cast<char16_t>(0xD800 + (cp >> 10));
            out[units++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out[units++] = static_cast<char16_t>(cp);
        }
        p += length;
    }
    out[units] = 0;
    return NameResult::ok;
}

// The first line of the link file, or false when there is none to use.
bool readLinkLine(const SysPath &path, unsigned char *line, long &length) {
    const int fd = sysCalls.open(path.bytes, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    length = 0;
    while (length < kLinkReadBytes) {
        const long got = sysCalls.read(fd, line + length, static_cast<size_t>(kLinkReadBytes - length));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        length += got;
    }
    sysCalls.close(fd);
    for (long i = 0; i < length; ++i) {
        if (line[i] == '\n') {
            length = i;
            if (length > 0 && line[length - 1] == '\r') --length;
            return true;
        }
    }
    return length > 0;
}

}  // namespace

NameResult utf16ToPath(const char16_t *name, SysPath &out) {
    size_t n = 0;
    for (const char16_t *p = name; *p != 0; ++p) {
        uint32_t cp = *p;
        if (isHighSurrogate(*p)) {
            if (!isLowSurrogate(p[1])) return NameResult::invalid;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (p[1] - 0xDC00u);
            ++p;
        } else if (isLowSurrogate(*p)) {
            return NameResult::invalid;
        }
        if (n + 4 >= sizeof out.bytes) return NameResult::tooLong;
        if (cp < 0x80) {
            out.bytes[n++] = static_cast<char>(cp);
        } else if (cp < 0x800) {
            out.bytes[n++] = static_cast<char>(0xC0 | (cp >> 6));
            out.bytes[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out.bytes[n++] = static_cast<char>(0xE0 | (cp >> 12));
            out.bytes[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out.bytes[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out.bytes[n++] = static_cast<char>(0xF0 | (cp >> 18));
            out.bytes[n++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out.bytes[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out.bytes[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    out.bytes[n] = 0;
    return NameResult::ok;
}

NameResult sysResolveLink(const char16_t *base, char16_t *out) {
    int units = 0;
    const NameResult checked = checkBase(base, units);
    if (checked != NameResult::ok) return checked;
    copyUnits(out, base, units, kExtensionLink);
    SysPath linkPath;
    const NameResult converted = utf16ToPath(out, linkPath);
    copyUnits(out, base, units, kNoExtension);
    if (converted != NameResult::ok || heldLiteral(base)) return converted;
    unsigned char line[kLinkReadBytes];
    long length = 0;
    // A missing or unreadable link file, or an empty first line, leaves the
    // base name as it is.
    if (!readLinkLine(linkPath, line, length) || length == 0) return NameResult::ok;
    return utf8ToName(line, line + length, out);
}

bool sysHoldLiteralName(const char16_t *base) {
    for (const char16_t *&held : literalNames) {
        if (held == nullptr) {
            held = base;
            return true;
        }
    }
    return false;
}

void sysDropLiteralName(const char16_t *base) {
    for (const char16_t *&held : literalNames) {
        if (held == base) held = nullptr;
    }
}

NameResult sysFileName(int kind, const char16_t *base, char16_t *out) {
    const char16_t *extension = extensionOf(kind);
    if (extension == nullptr) return NameResult::invalid;
    char16_t resolved[kPathUnits];
    if (kind != kKindLog) {
        const NameResult linked = sysResolveLink(base, resolved);
        if (linked != NameResult::ok) return linked;
        base = resolved;
    }
    int units = 0;
    const NameResult checked = checkBase(base, units);
    if (checked != NameResult::ok) return checked;
    copyUnits(out, base, units, extension);
    return NameResult::ok;
}

}  // namespace wisam
