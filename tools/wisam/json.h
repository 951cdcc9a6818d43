// json.h - reading JSON text (schemas, JSON arrays, JSON lines) with the
// limits that keep hostile input from costing more than it is worth, and
// values and texts quoted in messages a short, printable excerpt at a time.
//
// Refused while parsing, before the value is built: containers nested more
// than kJsonMaxDepth deep (a record or a schema needs three), and an object
// that names a member twice (which of the two is meant cannot be known).
// A UTF-8 byte-order mark before the text is skipped.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

namespace wisam::tool {

constexpr int kJsonMaxDepth = 64;
// Bytes of a value or text a message quotes at most.
constexpr size_t kExcerptBytes = 80;

// The UTF-8 byte-order mark some editors put before a text.
constexpr const char *kByteOrderMark = "\xEF\xBB\xBF";
// Whether `text` begins with it.
bool hasByteOrderMark(const std::string &text);

// JSON text parsed; false with `error` ("not JSON: " and where, or which
// limit it passes) when it is not, or is refused.
bool parseJson(const std::string &text, nlohmann::ordered_json &json, std::string &error);

// `text` as a message shows it: control characters and bytes that are not
// UTF-8 escaped (\n, \t, \xNN), cut after about kExcerptBytes at a character
// boundary with "..." saying so.
std::string excerpt(const std::string &text);
// Whether `text` is well-formed UTF-8 without control characters (C0, DEL,
// C1): a name that can be shown and written into a script as it is.
bool isPrintableUtf8(const std::string &text);
// A JSON value as a message shows it: its JSON text, as excerpt cuts it.
std::string jsonExcerpt(const nlohmann::ordered_json &json);

}  // namespace wisam::tool
