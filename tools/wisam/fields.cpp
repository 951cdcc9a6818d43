// fields.cpp - one field's value out of a record and back: the ld/st
// encoders by the field's type, its null convention, and the value's text
// and JSON forms.
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "json.h"
#include "schema.h"
#include "utf8.h"

namespace wisam::tool {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char *kHexDigits = "0123456789abcdef";

// The texts of floating values that are not finite.
constexpr const char *kNaN = "NaN";
constexpr const char *kInfinity = "Infinity";
constexpr const char *kMinusInfinity = "-Infinity";

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool isUtf8(const std::string &text) {
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        uint32_t point = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, point = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, point = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, point = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = point << 6 | (next & 0x3F);
        }
        constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (point < kLeast[extra] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

// UTF-16 units to UTF-8; false at a surrogate without its partner.
bool utf16ToUtf8(const std::u16string &units, std::string &text) {
    text.clear();
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t point = units[i];
        if (point >= 0xD800 && point <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            point = 0x10000 + ((point - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            return false;
        }
        appendUtf8(text, point);
    }
    return true;
}

// Well-formed UTF-8 to UTF-16 units.
std::u16string utf8ToUtf16(const std::string &text) {
    std::u16string units;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        uint32_t point = extra == 0 ? c : c & (0x3F >> extra);
        for (size_t k = 1; k <= extra; ++k) point = point << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += extra + 1;
        if (point >= 0x10000) {
            units += static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(point);
        }
    }
    return units;
}

std::string hex(const std::string &bytes) {
    std::string text;
    for (const char c : bytes) {
        text += kHexDigits[static_cast<unsigned char>(c) >> 4];
        text += kHexDigits[static_cast<unsigned char>(c) & 0xF];
    }
    return text;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unhex(const std::string &text, std::string &bytes) {
    if (text.size() % 2 != 0) return false;
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigit(text[i]), low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes += static_cast<char>(high << 4 | low);
    }
    return true;
}

bool allBytes(const unsigned char *p, int length, uint8_t byte) {
    for (int i = 0; i < length; ++i) {
        if (p[i] != byte) return false;
    }
    return true;
}

// The range of an integer field.
void integerRange(FieldType type, int64_t &low, int64_t &high) {
    const bool wide = type == FieldType::Long || type == FieldType::Nlong;
    low = wide ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int16_t>::min();
    high = wide ? std::numeric_limits<int32_t>::max() : std::numeric_limits<int16_t>::max();
}

bool isText(FieldType t) {
    return t == FieldType::Char || t == FieldType::String || t == FieldType::Devtag || t == FieldType::Wtext ||
           t == FieldType::Wnocase || t == FieldType::Wdevtag;
}
bool isWide(FieldType t) { return t == FieldType::Wtext || t == FieldType::Wnocase || t == FieldType::Wdevtag; }

std::string realText(double d, bool single) {
    if (std::isnan(d)) return kNaN;
    if (std::isinf(d)) return d > 0 ? kInfinity : kMinusInfinity;
    char text[64];
    // The shortest digits that read back as the same value.
    const auto end = single ? std::to_chars(text, text + sizeof text, static_cast<float>(d)).ptr
                            : std::to_chars(text, text + sizeof text, d).ptr;
    return std::string(text, end);
}

bool parseReal(const std::string &text, bool single, double &value) {
    if (text == kNaN) return value = std::numeric_limits<double>::quiet_NaN(), true;
    if (text == kInfinity) return value = std::numeric_limits<double>::infinity(), true;
    if (text == kMinusInfinity) return value = -std::numeric_limits<double>::infinity(), true;
    const char *begin = text.data(), *end = text.data() + text.size();
    if (begin != end && *begin == '+') ++begin;
    std::from_chars_result result;
    if (single) {
        float f = 0;
        result = std::from_chars(begin, end, f);
        value = f;
    } else {
        result = std::from_chars(begin, end, value);
    }
    return result.ec == std::errc() && result.ptr == end && begin != end;
}

}  // namespace

bool decodeField(const Field &field, const unsigned char *record, Value &value, std::string &error) {
    const unsigned char *p = record + field.offset;
    value = Value{};
    if (field.nullByte && allBytes(p, field.length, *field.nullByte)) return true;
    switch (field.type) {
    case FieldType::Int: value.i = ldInt(p); break;
    case FieldType::Long: value.i = ldLong(p); break;
    case FieldType::Short: {
        int16_t v;
        std::memcpy(&v, p, sizeof v);
        value.i = v;
        break;
    }
    case FieldType::Nlong: {
        int32_t v;
        std::memcpy(&v, p, sizeof v);
        value.i = v;
        break;
    }
    case FieldType::Time:
        value.kind = Value::Uint;
        value.u = ldTime(p);
        return true;
    case FieldType::Float:
    case FieldType::Double: {
        int16_t isNull = 0;
        value.single = field.type == FieldType::Float;
        value.d = value.single ? (field.nullZero ? ldFltNull(p, &isNull) : ldFloat(p))
                               : (field.nullZero ? ldDblNull(p, &isNull) : ldDbl(p));
        value.kind = isNull != 0 ? Value::Null : Value::Real;
        return true;
    }
    case FieldType::Bytes:
    case FieldType::Recid:
        value.kind = Value::Bytes;
        value.s.assign(reinterpret_cast<const char *>(p), static_cast<size_t>(field.length));
        return true;
    case FieldType::Wtext:
    case FieldType::Wnocase:
    case FieldType::Wdevtag: {
        std::u16string units(static_cast<size_t>(field.length / 2) + 1, u'\0');
        ldWChar(p, field.length, units.data());
        units.resize(std::char_traits<char16_t>::length(units.c_str()));
        value.kind = Value::Text;
        if (!utf16ToUtf8(units, value.s)) return error = "its UTF-16 text has a lone surrogate", false;
        return true;
    }
    default: {  // char, string, devtag
        std::string text(static_cast<size_t>(field.length) + 1, '\0');
        ldChar(p, field.length, text.data());
        text.resize(static_cast<size_t>(field.length));
        if (field.type == FieldType::Char) {
            while (!text.empty() && text.back() == field.pad) text.pop_back();
        } else {
            text.resize(std::strlen(text.c_str()));
        }
        value.kind = Value::Text;
        value.s = std::move(text);
        if (!isUtf8(value.s)) return error = "its text is not UTF-8 (describe it as bytes)", false;
        return true;
    }
    }
    value.kind = field.nullValue && value.i == *field.nullValue ? Value::Null : Value::Int;
    return true;
}

bool encodeField(const Field &field, const Value &value, unsigned char *record, std::string &error) {
    unsigned char *p = record + field.offset;
    if (value.kind == Value::Null) {
        if (!field.nullable()) return error = "null, but the field has no null convention", false;
        if (field.nullByte) {
            std::memset(p, *field.nullByte, static_cast<size_t>(field.length));
            return true;
        }
        if (field.nullZero) {
            field.type == FieldType::Float ? stFltNull(0, p, 1) : stDblNull(0, p, 1);
            return true;
        }
        return encodeField(field, Value::integer(*field.nullValue), record, error);
    }
    switch (field.type) {
    case FieldType::Int:
    case FieldType::Long:
    case FieldType::Short:
    case FieldType::Nlong: {
        int64_t low, high;
        integerRange(field.type, low, high);
        if (value.kind != Value::Int || value.i < low || value.i > high) {
            return error = "not a whole number from " + std::to_string(low) + " to " + std::to_string(high), false;
        }
        const auto narrow = static_cast<int32_t>(value.i);
        if (field.type == FieldType::Int) stInt(narrow, p);
        if (field.type == FieldType::Long) stLong(narrow, p);
        if (field.type == FieldType::Nlong) std::memcpy(p, &narrow, sizeof narrow);
        if (field.type == FieldType::Short) {
            const auto v = static_cast<int16_t>(narrow);
            std::memcpy(p, &v, sizeof v);
        }
        return true;
    }
    case FieldType::Time:
        if (value.kind != Value::Uint && !(value.kind == Value::Int && value.i >= 0)) {
            return error = "not a whole number from 0 to 18446744073709551615", false;
        }
        stTime(value.kind == Value::Uint ? value.u : static_cast<uint64_t>(value.i), p);
        return true;
    case FieldType::Float:
    case FieldType::Double:
        if (value.kind != Value::Real && value.kind != Value::Int) return error = "not a number", false;
        {
            const double d = value.kind == Value::Int ? static_cast<double>(value.i) : value.d;
            if (field.type == FieldType::Float) {
                if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
                    return error = "too large for a float", false;
                }
                stFloat(static_cast<float>(d), p);
            } else {
                stDbl(d, p);
            }
        }
        return true;
    case FieldType::Bytes:
    case FieldType::Recid:
        if (value.kind != Value::Bytes || value.s.size() != static_cast<size_t>(field.length)) {
            return error = "not " + std::to_string(field.length) + " bytes", false;
        }
        std::memcpy(p, value.s.data(), value.s.size());
        return true;
    default:
        break;
    }
    if (value.kind != Value::Text) return error = "not a text", false;
    if (!isUtf8(value.s)) return error = "the text is not UTF-8", false;
    if (isWide(field.type)) {
        const std::u16string units = utf8ToUtf16(value.s);
        if (units.size() > static_cast<size_t>(field.length / 2)) {
            return error = "a text of " + std::to_string(units.size()) + " UTF-16 units does not fit in " +
                           std::to_string(field.length / 2), false;
        }
        if (units.find(u'\0') != std::u16string::npos) return error = "the text holds a NUL character", false;
        stWChar(units.c_str(), p, field.length);
        return true;
    }
    if (value.s.size() > static_cast<size_t>(field.length)) {
        return error = "a text of " + std::to_string(value.s.size()) + " bytes does not fit in " +
                       std::to_string(field.length), false;
    }
    if (field.type != FieldType::Char && value.s.find('\0') != std::string::npos) {
        return error = "the text holds a NUL character", false;
    }
    // stChar copies up to a NUL; a char field keeps any NUL inside the text.
    stChar(value.s.c_str(), p, field.length);
    std::memcpy(p, value.s.data(), value.s.size());
    if (field.type == FieldType::Char) {
        std::memset(p + value.s.size(), static_cast<unsigned char>(field.pad), static_cast<size_t>(field.length) - value.s.size());
    }
    return true;
}

std::string valueText(const Value &value) {
    switch (value.kind) {
    case Value::Null: return "";
    case Value::Int: return std::to_string(value.i);
    case Value::Uint: return std::to_string(value.u);
    case Value::Real: return realText(value.d, value.single);
    case Value::Bytes: return hex(value.s);
    default: return value.s;
    }
}

bool parseValueText(const Field &field, const std::string &text, bool isNull, Value &value, std::string &error) {
    value = Value{};
    if (isNull) return true;
    if (isText(field.type)) {
        value.kind = Value::Text;
        value.s = text;
        return true;
    }
    if (field.type == FieldType::Bytes || field.type == FieldType::Recid) {
        value.kind = Value::Bytes;
        if (!unhex(text, value.s)) return error = "'" + excerpt(text) + "' is not hexadecimal bytes", false;
        return true;
    }
    if (field.type == FieldType::Float || field.type == FieldType::Double) {
        value.kind = Value::Real;
        if (!parseReal(text, field.type == FieldType::Float, value.d)) return error = "'" + excerpt(text) + "' is not a number", false;
        return true;
    }
    const char *begin = text.data(), *end = text.data() + text.size();
    std::from_chars_result result;
    if (field.type == FieldType::Time) {
        value.kind = Value::Uint;
        result = std::from_chars(begin, end, value.u);
    } else {
        value.kind = Value::Int;
        result = std::from_chars(begin, end, value.i);
    }
    if (result.ec != std::errc() || result.ptr != end || begin == end) {
        return error = "'" + excerpt(text) + "' is not a whole number", false;
    }
    return true;
}

Json valueJson(const Value &value) {
    switch (value.kind) {
    case Value::Null: return nullptr;
    case Value::Int: return value.i;
    case Value::Uint: return value.u;
    case Value::Real:
        if (!std::isfinite(value.d)) return realText(value.d, value.single);
        {
            // Parsed back from the shortest digits, the number keeps them
            // when dumped; a point keeps it a floating number (-0.0).
            std::string digits = realText(value.d, value.single);
            if (digits.find_first_of(".e") == std::string::npos) digits += ".0";
            return Json::parse(digits);
        }
    default: return valueText(value);
    }
}

bool parseValueJson(const Field &field, const Json &json, Value &value, std::string &error) {
    value = Value{};
    if (json.is_null()) return true;
    const bool real = field.type == FieldType::Float || field.type == FieldType::Double;
    if (json.is_string() && (!real || json == kNaN || json == kInfinity || json == kMinusInfinity)) {
        if (!isText(field.type) && !real && field.type != FieldType::Bytes && field.type != FieldType::Recid) {
            return error = jsonExcerpt(json) + " is not a whole number", false;
        }
        return parseValueText(field, json.get<std::string>(), false, value, error);
    }
    if (json.is_number_unsigned() && field.type == FieldType::Time) {
        value.kind = Value::Uint;
        value.u = json.get<uint64_t>();
    } else if (json.is_number_integer() && !json.is_number_unsigned()) {
        value.kind = Value::Int;
        value.i = json.get<int64_t>();
    } else if (json.is_number_unsigned() && json.get<uint64_t>() <= static_cast<uint64_t>(INT64_MAX)) {
        value.kind = Value::Int;
        value.i = static_cast<int64_t>(json.get<uint64_t>());
    } else if (json.is_number_float() && real) {
        value.kind = Value::Real;
        value.d = json.get<double>();
        // A float's digits, read as a double, land on the float they name.
        if (double single = 0; field.type == FieldType::Float && parseReal(json.dump(), true, single)) value.d = single;
    } else {
        return error = jsonExcerpt(json) + " is not " +
                       (isText(field.type) ? "a text" : real ? "a number" : field.type == FieldType::Bytes || field.type == FieldType::Recid ? "a text of hexadecimal bytes" : "a whole number"),
               false;
    }
    if (isText(field.type) || field.type == FieldType::Bytes || field.type == FieldType::Recid) {
        return error = jsonExcerpt(json) + " is not a text", false;
    }
    return true;
}

}  // namespace wisam::tool
