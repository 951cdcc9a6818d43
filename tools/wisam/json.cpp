// json.cpp - reading JSON text: schemas, JSON arrays and JSON lines; and the
// short quotes of values and texts in messages.
#include "json.h"

#include <cstdint>
#include <cstdio>
#include <set>
#include <vector>

namespace wisam::tool {

namespace {

using Json = nlohmann::ordered_json;

// Thrown from the parser's callback to stop it at once: the callback can
// only keep or drop a value, and dropping would still read the rest.
struct Refused {
    std::string why;
};

// The length of the UTF-8 character that begins at text[i], or 0 when the
// bytes there are not one (overlong forms, surrogates and points past
// U+10FFFF are not).  nlohmann checks strings; a message may quote bytes
// that never went through it.
size_t utf8Length(const std::string &text, size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) return 1;
    const size_t length = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    uint32_t point = c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        point = point << 6 | (next & 0x3F);
    }
    constexpr uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kLeast[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
    return length;
}

// Whether the character of `length` bytes at text[i] is a control character.
bool isControl(const std::string &text, size_t i, size_t length) {
    const auto c = static_cast<unsigned char>(text[i]);
    return c < 0x20 || c == 0x7F || (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
}

}  // namespace

bool isPrintableUtf8(const std::string &text) {
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8Length(text, i);
        if (length == 0 || isControl(text, i, length)) return false;
        i += length;
    }
    return true;
}

bool hasByteOrderMark(const std::string &text) { return text.rfind(kByteOrderMark, 0) == 0; }

bool parseJson(const std::string &text, Json &json, std::string &error) {
    // The members named so far in each object being read, innermost last: a
    // key always belongs to the innermost open object.
    std::vector<std::set<std::string>> names;
    const Json::parser_callback_t check = [&](int depth, Json::parse_event_t event, Json &parsed) {
        switch (event) {
        case Json::parse_event_t::object_start:
        case Json::parse_event_t::array_start:
            // `depth` counts the containers around this one.
            if (depth >= kJsonMaxDepth) {
                throw Refused{"values nested more than " + std::to_string(kJsonMaxDepth) + " deep"};
            }
            if (event == Json::parse_event_t::object_start) names.emplace_back();
            break;
        case Json::parse_event_t::key:
            if (!names.back().insert(parsed.get_ref<const std::string &>()).second) {
                throw Refused{"the member " + jsonExcerpt(parsed) + " is named twice in one object"};
            }
            break;
        case Json::parse_event_t::object_end: names.pop_back(); break;
        default: break;
        }
        return true;
    };
    try {
        json = Json::parse(text, check);
        return true;
    } catch (const Refused &refused) {
        error = "refused JSON: " + refused.why;
    } catch (const Json::exception &e) {
        error = std::string("not JSON: ") + e.what();
    }
    json = nullptr;
    return false;
}

std::string excerpt(const std::string &text) {
    std::string shown;
    for (size_t i = 0; i < text.size();) {
        if (shown.size() >= kExcerptBytes) return shown + "...";
        const size_t length = utf8Length(text, i);
        if (length != 0 && !isControl(text, i, length)) {
            shown.append(text, i, length);
            i += length;
            continue;
        }
        // One escape a byte: a C1 control shows as its two bytes.
        const size_t bytes = length == 0 ? 1 : length;
        for (size_t k = 0; k < bytes; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            if (b == '\n') {
                shown += "\\n";
            } else if (b == '\t') {
                shown += "\\t";
            } else if (b == '\r') {
                shown += "\\r";
            } else {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\x%02x", b);
                shown += escape;
            }
        }
        i += bytes;
    }
    return shown;
}

std::string jsonExcerpt(const Json &json) {
    // Nested no deeper than the parser allows, so dump's recursion is short;
    // its text is as long as the value, so only the start is shown.
    std::string text;
    try {
        text = json.dump(-1, ' ', false, Json::error_handler_t::replace);
    } catch (const Json::exception &) {
        text = "(a JSON value)";
    }
    if (text.size() > 4 * kExcerptBytes) text.resize(4 * kExcerptBytes);
    return excerpt(text);
}

}  // namespace wisam::tool
