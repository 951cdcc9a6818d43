// schemarules.h - the rules a schema file must follow: field types with
// their key type, unit, width and null convention; the limits of offsets,
// lengths and index numbers; the members each object may have; pads and key
// flags; and the message templates of every refusal.
//
// One definition serves the tool and the Python package:
// python/wisam/schema_rules.json, compiled into the tool as text (the build
// writes it into schemarules.inc) and loaded by the package from its own
// directory.  schema.cpp checks a schema against these rules in the same
// order as python/wisam/schema.py, so both refuse a bad schema with the same
// message.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace wisam::tool {

// What a field's "null" may be.
enum class NullKind { Zero, Integer, Text, Byte, None };

struct TypeRule {
    std::string name;
    int keyType = 0;
    int unit = 1;    // the length is a multiple of it
    int width = 0;   // the only length the type has; 0: any multiple of unit
    NullKind null = NullKind::None;
    bool pad = false;                // "pad" may be given
    int64_t low = 0, high = 0;       // NullKind::Integer: the type's values
};

struct RuleRange {
    int64_t low = 0, high = 0;
};

struct SchemaRules {
    std::vector<TypeRule> types;  // in FieldType order
    RuleRange recordLength, offset, length, indexNumber, byteValue;
    int keyParts = 0;
    std::vector<std::string> schemaMembers, fieldMembers, indexMembers, partMembers;
    std::vector<std::pair<std::string, uint8_t>> pads;
    std::vector<std::pair<std::string, uint16_t>> flags;  // key flags an index may name
    std::map<std::string, std::string> messages;
};

// The rules, read from the compiled-in text at the first call.  The text is
// fixed when the tool is built; a damaged one stops the tool with a message.
const SchemaRules &schemaRules();

// Reads rules from `text`; false with `error` saying what is missing.
bool parseSchemaRules(const std::string &text, SchemaRules &rules, std::string &error);

// The message `key` of the rules with each {name} of `values` replaced by
// its value.  Replaced text is not searched again, so a field name holding
// braces comes out as it is.
std::string ruleMessage(const std::string &key,
                        std::initializer_list<std::pair<const char *, std::string>> values = {});

}  // namespace wisam::tool
