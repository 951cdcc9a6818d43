// logread.cpp - decoding, walking and printing log records (layout in
// logread.h).  Every field is read through a bounds-checked cursor, so a
// damaged record is reported, never read past.
#include "logread.h"
#include "utf8.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "keytext.h"

namespace wisam::tool {

namespace {

constexpr size_t kBodyOffset = 18;
constexpr size_t kTrailerLength = 2;
constexpr size_t kBriefImageBytes = 16;

struct CodeKind {
    const char *code;
    LogBody body;
};
constexpr CodeKind kCodes[] = {
    {"FO", LogBody::fileName}, {"FC", LogBody::fileName}, {"BU", LogBody::build},
    {"ER", LogBody::erase},    {"RE", LogBody::rename},   {"CI", LogBody::index},
    {"DI", LogBody::index},    {"SU", LogBody::value},    {"UN", LogBody::value},
    {"DE", LogBody::image},    {"IN", LogBody::image},    {"UP", LogBody::update},
    {"BW", LogBody::none},     {"CW", LogBody::none},     {"RW", LogBody::none},
};

struct KeyFlagName {
    uint16_t bit;
    const char *name;
};
constexpr KeyFlagName kKeyFlags[] = {
    {0x01, "dups"},          {0x02, "dupcompress"}, {0x04, "leadcompress"},
    {0x08, "trailcompress"}, {0x10, "nullfill"},    {0x20, "nullsuppress"},
};
constexpr uint16_t kKeyTypeMask = 0x3F;
constexpr uint16_t kKeyTypeDescending = 0x80;

uint16_t load16(const unsigned char *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

uint32_t load32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// UTF-16 units (little-endian bytes) as UTF-8; a lone surrogate becomes
// U+FFFD, so any bytes give printable text.
std::string utf8FromUnits(const unsigned char *p, size_t units) {
    constexpr uint32_t kReplacement = 0xFFFD;
    std::string out;
    for (size_t i = 0; i < units; ++i) {
        const uint32_t u = static_cast<uint32_t>(p[2 * i] | p[2 * i + 1] << 8);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            const uint32_t low = static_cast<uint32_t>(p[2 * i + 2] | p[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        appendUtf8(out, u >= 0xD800 && u <= 0xDFFF ? kReplacement : u);
    }
    return out;
}

// Reads the body's fields in order.  The first field that does not fit
// before the trailer sets `reason` and makes every later read fail too.
class BodyCursor {
public:
    BodyCursor(const unsigned char *record, size_t length, const char *code)
        : record_(record), end_(length - kTrailerLength), code_(code) {}

    bool u16(uint16_t &value, const char *what) {
        if (!fits(2, what)) return false;
        value = load16(record_ + pos_);
        pos_ += 2;
        return true;
    }

    bool u32(uint32_t &value, const char *what) {
        if (!fits(4, what)) return false;
        value = load32(record_ + pos_);
        pos_ += 4;
        return true;
    }

    bool bytes(size_t count, const unsigned char *&at, const char *what) {
        if (!fits(count, what)) return false;
        at = record_ + pos_;
        pos_ += count;
        return true;
    }

    // A name ended by its NUL unit.
    bool name(std::string &value, const char *what) {
        for (size_t units = 0;; ++units) {
            if (!fits(2 * units + 2, what)) return false;
            const unsigned char *unit = record_ + pos_ + 2 * units;
            if (unit[0] == 0 && unit[1] == 0) {
                value = utf8FromUnits(record_ + pos_, units);
                pos_ += 2 * units + 2;
                return true;
            }
        }
    }

    // A name of `units` units including its NUL; printed up to the first NUL.
    bool countedName(size_t units, std::string &value, const char *what) {
        const unsigned char *at = nullptr;
        if (!bytes(2 * units, at, what)) return false;
        size_t length = 0;
        while (length < units && (at[2 * length] != 0 || at[2 * length + 1] != 0)) ++length;
        value = utf8FromUnits(at, length);
        return true;
    }

    bool key(LogKey &key) {
        if (!u16(key.flags, "key flags") || !u16(key.partCount, "key part count") ||
            !u16(key.keyLength, "key length")) {
            return false;
        }
        for (uint16_t i = 0; i < key.partCount; ++i) {
            LogKeyPart part;
            if (!u16(part.start, "key part start") || !u16(part.length, "key part length") ||
                !u16(part.type, "key part type")) {
                return false;
            }
            key.parts.push_back(part);
        }
        return true;
    }

    size_t left() const { return end_ - pos_; }
    const std::string &reason() const { return reason_; }

private:
    bool fits(size_t count, const char *what) {
        if (!reason_.empty()) return false;
        if (count <= end_ - pos_) return true;
        reason_ = std::string(code_) + " body ends before its " + what + " (field at " +
                  std::to_string(pos_) + ", " + std::to_string(count) + " bytes; trailer at " +
                  std::to_string(end_) + ")";
        return false;
    }

    const unsigned char *record_;
    size_t pos_ = kBodyOffset;
    size_t end_;
    const char *code_;
    std::string reason_;
};

bool decodeBody(const unsigned char *bytes, size_t length, LogRecord &r, std::string &reason) {
    BodyCursor c(bytes, length, r.code);
    bool ok = true;
    switch (r.body) {
    case LogBody::fileName:
        ok = c.u16(r.fileNumber, "file number") && c.u16(r.varlen, "variable-length flag") &&
             c.name(r.name, "file name");
        break;
    case LogBody::build:
        ok = c.u16(r.mode, "open mode") && c.u16(r.reclen, "record length") &&
             c.u16(r.maxlen, "maximum record length") && c.key(r.key) &&
             c.name(r.name, "file name");
        break;
    case LogBody::erase:
        ok = c.name(r.name, "file name");
        break;
    case LogBody::rename: {
        uint16_t oldUnits = 0, newUnits = 0;
        ok = c.u16(oldUnits, "old name length") && c.u16(newUnits, "new name length") &&
             c.countedName(oldUnits, r.name, "old name") &&
             c.countedName(newUnits, r.newName, "new name");
        break;
    }
    case LogBody::index:
        ok = c.u16(r.fileNumber, "file number") && c.key(r.key);
        break;
    case LogBody::value:
        ok = c.u16(r.fileNumber, "file number") && c.u32(r.value, "value");
        break;
    case LogBody::image:
        ok = c.u16(r.fileNumber, "file number") && c.u32(r.value, "record number") &&
             c.u16(r.beforeLength, "image length") && c.bytes(r.beforeLength, r.before, "image");
        break;
    case LogBody::update:
        ok = c.u16(r.fileNumber, "file number") && c.u32(r.value, "record number") &&
             c.u16(r.beforeLength, "before-image length") &&
             c.u16(r.afterLength, "after-image length") &&
             c.bytes(r.beforeLength, r.before, "before image") &&
             c.bytes(r.afterLength, r.after, "after image");
        break;
    case LogBody::unknown:
        // Shown whole, so that a code this tool does not know can be read.
        r.beforeLength = static_cast<uint16_t>(c.left());
        ok = c.bytes(r.beforeLength, r.before, "body");
        break;
    case LogBody::none:
        break;
    }
    if (!ok) {
        reason = c.reason();
        return false;
    }
    r.extra = c.left();
    return true;
}

std::string quoted(const std::string &text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string formatCode(const char *code) {
    std::string out;
    for (int i = 0; i < 2; ++i) {
        const auto c = static_cast<unsigned char>(code[i]);
        if (std::isgraph(c)) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        }
    }
    return out;
}

std::string formatTime(uint32_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    char text[32];
    if (gmtime_r(&t, &tm) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) {
        return std::to_string(seconds);
    }
    return text;
}

// For example "flags 0x0009(dups,trailcompress) keylen 14, 2 in all: [0:4:long 4:10:char-]".
std::string formatLogKey(const LogKey &key) {
    char text[64];
    std::snprintf(text, sizeof text, "flags 0x%04x", key.flags);
    std::string out = text;
    std::string names;
    for (const KeyFlagName &flag : kKeyFlags) {
        if ((key.flags & flag.bit) == 0) continue;
        if (!names.empty()) names += ',';
        names += flag.name;
    }
    if (!names.empty()) out += "(" + names + ")";
    out += " keylen " + std::to_string(key.keyLength) + ", " + std::to_string(key.partCount) + " in all: [";
    for (size_t i = 0; i < key.parts.size(); ++i) {
        const LogKeyPart &p = key.parts[i];
        if (i > 0) out += ' ';
        out += std::to_string(p.start) + ":" + std::to_string(p.length) + ":" +
               typeName(p.type & kKeyTypeMask);
        if ((p.type & kKeyTypeDescending) != 0) out += '-';
        const int unusual = p.type & ~(kKeyTypeMask | kKeyTypeDescending);
        if (unusual != 0) {
            std::snprintf(text, sizeof text, "(0x%04x)", p.type);
            out += text;
        }
    }
    return out + "]";
}

// Brief: the image's first bytes on the record's own line, "LABEL: b0 b1
// ... (N bytes)", so that a record is exactly one line.
void appendBriefImage(std::string &out, const char *label, const unsigned char *bytes, size_t length) {
    if (length == 0) return;
    char text[8];
    out += std::string(" ") + label + ":";
    const size_t shown = length > kBriefImageBytes ? kBriefImageBytes : length;
    for (size_t i = 0; i < shown; ++i) {
        std::snprintf(text, sizeof text, " %02x", bytes[i]);
        out += text;
    }
    out += (shown < length ? " ... (" : " (") + std::to_string(length) + " bytes)";
}

void appendImage(std::string &out, const char *label, const unsigned char *bytes, size_t length,
                 const LogFormat &format) {
    constexpr int kIndent = 8;
    if (length == 0) return;
    char text[32];
    const size_t perLine = format.bytesPerLine == 0 ? 16 : format.bytesPerLine;
    const size_t shown = length;
    for (size_t at = 0; at < shown; at += perLine) {
        out.append(kIndent, ' ');
        std::snprintf(text, sizeof text, "%-7s", at == 0 ? label : "");
        out += text;
        std::snprintf(text, sizeof text, "%5zu ", at);
        out += text;
        const size_t end = at + perLine < shown ? at + perLine : shown;
        std::string ascii;
        for (size_t i = at; i < end; ++i) {
            std::snprintf(text, sizeof text, " %02x", bytes[i]);
            out += text;
            ascii += std::isprint(bytes[i]) ? static_cast<char>(bytes[i]) : '.';
        }
        out.append(3 * (perLine - (end - at)) + 2, ' ');
        out += ascii + "\n";
    }
}

}  // namespace

bool decodeLogRecord(const unsigned char *bytes, size_t length, uint64_t offset, LogRecord &r,
                     std::string &reason) {
    r = LogRecord{};
    r.offset = offset;
    if (length < kLogRecordMin || length > kLogRecordMax) {
        reason = "length " + std::to_string(length) + " outside " + std::to_string(kLogRecordMin) +
                 ".." + std::to_string(kLogRecordMax);
        return false;
    }
    const size_t stored = load16(bytes);
    if (stored != length) {
        reason = "length " + std::to_string(stored) + " where the record has " +
                 std::to_string(length) + " bytes";
        return false;
    }
    const size_t trailer = load16(bytes + length - kTrailerLength);
    if (trailer != length) {
        reason = "trailing length " + std::to_string(trailer) + " differs from length " +
                 std::to_string(length);
        return false;
    }
    r.length = static_cast<uint16_t>(length);
    r.code[0] = static_cast<char>(bytes[2]);
    r.code[1] = static_cast<char>(bytes[3]);
    r.pid = load16(bytes + 4);
    r.txn = load16(bytes + 6);
    r.time = load32(bytes + 8);
    r.backOffset = load32(bytes + 12);
    r.backLength = load16(bytes + 16);
    for (const CodeKind &kind : kCodes) {
        if (std::memcmp(kind.code, r.code, 2) == 0) r.body = kind.body;
    }
    return decodeBody(bytes, length, r, reason);
}

bool walkLog(uint64_t size, const LogReadAt &read,
             const std::function<void(const LogRecord &)> &visit, LogDamage &damage) {
    std::vector<unsigned char> buffer(kLogRecordMax);
    LogRecord record;
    damage = LogDamage{};
    for (uint64_t offset = 0; offset < size;) {
        damage.offset = offset;
        const uint64_t left = size - offset;
        if (left < 2) {
            damage.tornTail = true;
            damage.reason = "1 byte behind the last record";
            return false;
        }
        if (!read(offset, buffer.data(), 2)) {
            damage.reason = "cannot read the record length";
            return false;
        }
        const size_t length = load16(buffer.data());
        if (length < kLogRecordMin) {
            damage.reason =
                "length " + std::to_string(length) + " below " + std::to_string(kLogRecordMin);
            return false;
        }
        if (length > kLogRecordMax) {
            damage.reason =
                "length " + std::to_string(length) + " above " + std::to_string(kLogRecordMax);
            return false;
        }
        if (length > left) {
            damage.tornTail = true;
            damage.reason = "length " + std::to_string(length) +
                            " reaches beyond the end of the log (" + std::to_string(left) +
                            " bytes left)";
            return false;
        }
        if (!read(offset, buffer.data(), length)) {
            damage.reason = "cannot read its " + std::to_string(length) + " bytes";
            return false;
        }
        if (!decodeLogRecord(buffer.data(), length, offset, record, damage.reason)) return false;
        visit(record);
        offset += length;
    }
    return true;
}

LogFile::LogFile(const std::string &path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        error_ = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error_ = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else {
        size_ = static_cast<uint64_t>(st.st_size);
        ok_ = true;
    }
}

LogFile::~LogFile() {
    if (fd_ >= 0) ::close(fd_);
}

LogReadAt LogFile::reader() const {
    return [fd = fd_](uint64_t offset, unsigned char *into, size_t length) {
        size_t done = 0;
        while (done < length) {
            const ssize_t got =
                ::pread(fd, into + done, length - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            done += static_cast<size_t>(got);
        }
        return true;
    };
}

std::string damageText(const LogDamage &damage) {
    return "damaged record at offset " + std::to_string(damage.offset) + ": " + damage.reason;
}

std::string formatLogRecord(const LogRecord &r, const LogFormat &format) {
    char text[160];
    std::snprintf(text, sizeof text, "%10llu %s len %u pid %u txn %u time %s back %lu/%u",
                  static_cast<unsigned long long>(r.offset), formatCode(r.code).c_str(), r.length,
                  r.pid, r.txn, formatTime(r.time).c_str(),
                  static_cast<unsigned long>(r.backOffset), r.backLength);
    std::string out = text;
    switch (r.body) {
    case LogBody::fileName:
        out += " file " + std::to_string(r.fileNumber) + " varlen " + std::to_string(r.varlen) +
               " name " + quoted(r.name);
        break;
    case LogBody::build:
        std::snprintf(text, sizeof text, " mode 0x%04x reclen %u maxlen %u", r.mode, r.reclen,
                      r.maxlen);
        out += text;
        out += " key " + formatLogKey(r.key) + " name " + quoted(r.name);
        break;
    case LogBody::erase:
        out += " name " + quoted(r.name);
        break;
    case LogBody::rename:
        out += " old " + quoted(r.name) + " new " + quoted(r.newName);
        break;
    case LogBody::index:
        out += " file " + std::to_string(r.fileNumber) + " key " + formatLogKey(r.key);
        break;
    case LogBody::value:
        out += " file " + std::to_string(r.fileNumber) + " value " + std::to_string(r.value);
        break;
    case LogBody::image:
        out += " file " + std::to_string(r.fileNumber) + " rec " + std::to_string(r.value) +
               " image " + std::to_string(r.beforeLength);
        break;
    case LogBody::update:
        out += " file " + std::to_string(r.fileNumber) + " rec " + std::to_string(r.value) +
               " before " + std::to_string(r.beforeLength) + " after " +
               std::to_string(r.afterLength);
        break;
    case LogBody::unknown:
        out += " unknown code, body " + std::to_string(r.beforeLength);
        break;
    case LogBody::none:
        break;
    }
    if (r.extra != 0) out += " (+" + std::to_string(r.extra) + " bytes behind the fields)";
    const char *label = r.body == LogBody::update    ? "before"
                        : r.body == LogBody::unknown ? "body"
                                                     : "image";
    if (format.brief) {
        appendBriefImage(out, label, r.before, r.beforeLength);
        appendBriefImage(out, "after", r.after, r.afterLength);
        return out + '\n';
    }
    out += '\n';
    appendImage(out, label, r.before, r.beforeLength, format);
    appendImage(out, "after", r.after, r.afterLength, format);
    return out;
}

void LogCounts::add(const LogRecord &record) {
    ++records;
    if (std::memcmp(record.code, "BW", 2) == 0) ++begun;
    if (std::memcmp(record.code, "CW", 2) == 0) ++committed;
    if (std::memcmp(record.code, "RW", 2) == 0) ++rolledBack;
    if (record.body == LogBody::unknown) ++unknown;
}

void TransactionScan::add(const LogRecord &record) {
    const bool begin = std::memcmp(record.code, "BW", 2) == 0;
    const bool chained = record.backLength != 0;
    if (!begin && !chained) return;
    links_[record.offset] = Link{record.backOffset, chained, begin, record.pid, record.txn};
    if (std::memcmp(record.code, "CW", 2) == 0 || std::memcmp(record.code, "RW", 2) == 0) {
        ends_.push_back(record.offset);
    }
}

std::vector<TransactionScan::Begin> TransactionScan::unfinished() const {
    std::set<uint64_t> ended;
    for (const uint64_t end : ends_) {
        // Back links point to earlier records; one that does not (damage)
        // ends the walk, so every walk is finite.
        uint64_t at = end;
        for (auto link = links_.find(at); link != links_.end() && link->second.chained;) {
            const uint64_t back = link->second.back;
            if (back >= at) break;
            at = back;
            link = links_.find(at);
            if (link != links_.end() && link->second.begin) {
                ended.insert(at);
                break;
            }
        }
    }
    std::vector<Begin> left;
    for (const auto &[offset, link] : links_) {
        if (link.begin && !ended.contains(offset)) left.push_back({offset, link.pid, link.txn});
    }
    return left;
}

void OpenFileScan::add(const LogRecord &record) {
    if (record.body != LogBody::fileName) return;
    const std::pair<uint16_t, uint16_t> key{record.pid, record.fileNumber};
    if (record.code[1] == 'O') {
        open_[key] = Open{record.offset, record.pid, record.fileNumber, record.name};
    } else {
        open_.erase(key);
    }
}

std::vector<OpenFileScan::Open> OpenFileScan::open() const {
    std::vector<Open> files;
    for (const auto &[key, file] : open_) files.push_back(file);
    std::sort(files.begin(), files.end(),
              [](const Open &a, const Open &b) { return a.offset < b.offset; });
    return files;
}

}  // namespace wisam::tool
