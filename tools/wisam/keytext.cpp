// keytext.cpp - parsing and printing key descriptions.
#include "keytext.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace wisam::tool {

namespace {

constexpr const char *kTypeNames[] = {"char",   "int",   "long",  "double", "float",
                                      "short",  "nlong", "string", "wtext", "recid",
                                      "devtag", "wdevtag", "bytes", "wnocase"};
constexpr int kTypeCount = sizeof kTypeNames / sizeof kTypeNames[0];

struct FlagName {
    const char *name;
    uint16_t bits;
};
constexpr FlagName kFlags[] = {
    {"dups", ISKEY_DUPS},
    {"dupcompress", ISKEY_DUPCOMPRESS},
    {"leadcompress", ISKEY_LEADCOMPRESS},
    {"trailcompress", ISKEY_TRAILCOMPRESS},
    {"compress", ISKEY_DUPCOMPRESS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS},
    {"nullfill", ISKEY_NULLFILL},
    {"nullsuppress", ISKEY_NULLSUPPRESS},
};

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return pieces;
        start = end + 1;
    }
}

bool parseNumber(const std::string &text, long low, long high, long &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return *end == 0 && value >= low && value <= high;
}

bool parseType(std::string text, uint16_t &type) {
    uint16_t descending = 0;
    if (!text.empty() && text.back() == '-') {
        descending = ISTYPE_DESC;
        text.pop_back();
    }
    for (int i = 0; i < kTypeCount; ++i) {
        if (text == kTypeNames[i]) {
            type = static_cast<uint16_t>(i | descending);
            return true;
        }
    }
    long number = 0;
    if (!parseNumber(text, 0, ISTYPE_MASK, number)) return false;
    type = static_cast<uint16_t>(number | descending);
    return true;
}

bool isSingleBit(uint16_t bits) { return (bits & (bits - 1)) == 0; }

}  // namespace

bool parseFlag(const std::string &text, uint16_t &flags) {
    for (const FlagName &flag : kFlags) {
        if (text == flag.name) {
            flags |= flag.bits;
            return true;
        }
    }
    return false;
}

std::vector<std::string> flagNames(uint16_t flags) {
    std::vector<std::string> names;
    for (const FlagName &flag : kFlags) {
        if (flag.bits != ISKEY_DUPS && isSingleBit(flag.bits) && (flags & flag.bits) != 0) names.push_back(flag.name);
    }
    return names;
}

const char *typeName(int type) { return type >= 0 && type < kTypeCount ? kTypeNames[type] : "?"; }

bool parseKey(const std::string &text, KeyDesc &key, std::string &error) {
    std::memset(&key, 0, sizeof key);
    for (const std::string &part : split(text, ',')) {
        std::vector<std::string> fields = split(part, ':');
        if (fields.size() < 3) {
            error = "a key part is START:LEN:TYPE, not '" + part + "'";
            return false;
        }
        if (key.partCount == IS_MAX_KEY_PARTS) {
            error = "a key has at most 64 parts";
            return false;
        }
        long start = 0, length = 0;
        KeyPart &p = key.parts[key.partCount];
        if (!parseNumber(fields[0], 0, INT16_MAX, start) ||
            !parseNumber(fields[1], 1, IS_MAX_KEY_LENGTH, length) || !parseType(fields[2], p.type)) {
            error = "bad key part '" + part + "'";
            return false;
        }
        p.start = static_cast<int16_t>(start);
        p.length = static_cast<int16_t>(length);
        ++key.partCount;
        for (size_t i = 3; i < fields.size(); ++i) {
            if (!parseFlag(fields[i], key.flags)) {
                error = "unknown key flag '" + fields[i] + "'";
                return false;
            }
        }
    }
    return true;
}

std::string formatKey(const KeyDesc &key) {
    if (key.partCount == 0) return "(none: record-number order)";
    std::string text;
    for (int i = 0; i < key.partCount; ++i) {
        const KeyPart &p = key.parts[i];
        if (i > 0) text += ",";
        text += std::to_string(p.start) + ":" + std::to_string(p.length) + ":" +
                typeName(p.type & ISTYPE_MASK);
        if ((p.type & ISTYPE_DESC) != 0) text += "-";
    }
    for (const FlagName &flag : kFlags) {
        if ((key.flags & flag.bits) == flag.bits && isSingleBit(flag.bits)) {
            text += std::string(":") + flag.name;
        }
    }
    return text;
}

std::string partText(const unsigned char *record, const KeyPart &part) {
    const unsigned char *p = record + part.start;
    char text[64];
    switch (part.type & ISTYPE_MASK) {
    case ISTYPE_INT:
        std::snprintf(text, sizeof text, "%d", ldInt(p));
        return text;
    case ISTYPE_LONG:
        std::snprintf(text, sizeof text, "%d", ldLong(p));
        return text;
    case ISTYPE_DOUBLE:
        std::snprintf(text, sizeof text, "%g", ldDbl(p));
        return text;
    case ISTYPE_FLOAT:
        std::snprintf(text, sizeof text, "%g", static_cast<double>(ldFloat(p)));
        return text;
    default: {
        std::string s;
        for (int i = 0; i < part.length; ++i) {
            const unsigned char c = p[i];
            if (c == 0 && (part.type & ISTYPE_MASK) == ISTYPE_STRING) break;
            s += std::isprint(c) ? static_cast<char>(c) : '.';
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return "\"" + s + "\"";
    }
    }
}

std::string keyText(const unsigned char *record, const KeyDesc &key) {
    std::string text;
    for (int p = 0; p < key.partCount; ++p) text += (p > 0 ? "," : "") + partText(record, key.parts[p]);
    return text;
}

}  // namespace wisam::tool
