// schemarules.cpp - loading the shared schema rules compiled into the tool.
#include "schemarules.h"

#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "json.h"

namespace wisam::tool {

namespace {

using Json = nlohmann::ordered_json;

// python/wisam/schema_rules.json as the build found it.
constexpr const char kCompiledRules[] =
#include "schemarules.inc"
    ;

bool range(const Json &limits, const char *key, RuleRange &out) {
    const auto it = limits.find(key);
    if (it == limits.end() || !it->is_array() || it->size() != 2 || !(*it)[0].is_number_integer() ||
        !(*it)[1].is_number_integer()) {
        return false;
    }
    out = {(*it)[0].get<int64_t>(), (*it)[1].get<int64_t>()};
    return out.low <= out.high;
}

bool names(const Json &members, const char *key, std::vector<std::string> &out) {
    const auto it = members.find(key);
    if (it == members.end() || !it->is_array()) return false;
    for (const Json &name : *it) {
        if (!name.is_string()) return false;
        out.push_back(name.get<std::string>());
    }
    return true;
}

bool nullKind(const std::string &name, NullKind &kind) {
    static const std::pair<const char *, NullKind> kKinds[] = {{"zero", NullKind::Zero},
                                                               {"integer", NullKind::Integer},
                                                               {"text", NullKind::Text},
                                                               {"byte", NullKind::Byte},
                                                               {"none", NullKind::None}};
    for (const auto &[text, k] : kKinds) {
        if (name == text) return kind = k, true;
    }
    return false;
}

bool typeRule(const Json &entry, TypeRule &type) {
    if (!entry.is_object()) return false;
    try {
        type.name = entry.at("name").get<std::string>();
        type.keyType = entry.at("key_type").get<int>();
        type.unit = entry.at("unit").get<int>();
        type.width = entry.at("width").get<int>();
        type.pad = entry.value("pad", false);
        if (!nullKind(entry.at("null").get<std::string>(), type.null)) return false;
        if (type.null == NullKind::Integer) {
            type.low = entry.at("low").get<int64_t>();
            type.high = entry.at("high").get<int64_t>();
        }
    } catch (const Json::exception &) {
        return false;
    }
    return type.unit > 0 && (type.width == 0 || type.width % type.unit == 0);
}

}  // namespace

bool parseSchemaRules(const std::string &text, SchemaRules &rules, std::string &error) {
    rules = SchemaRules{};
    Json json;
    try {
        json = Json::parse(text);
    } catch (const Json::exception &e) {
        return error = std::string("not JSON: ") + e.what(), false;
    }
    if (!json.is_object()) return error = "not an object", false;
    const Json &limits = json.value("limits", Json::object());
    if (!range(limits, "record_length", rules.recordLength) || !range(limits, "offset", rules.offset) ||
        !range(limits, "length", rules.length) || !range(limits, "index_number", rules.indexNumber) ||
        !range(limits, "byte_range", rules.byteValue) || !limits.contains("key_parts") ||
        !limits["key_parts"].is_number_integer()) {
        return error = "\"limits\" is incomplete", false;
    }
    rules.keyParts = limits["key_parts"].get<int>();
    const Json &members = json.value("members", Json::object());
    if (!names(members, "schema", rules.schemaMembers) || !names(members, "field", rules.fieldMembers) ||
        !names(members, "index", rules.indexMembers) || !names(members, "part", rules.partMembers)) {
        return error = "\"members\" is incomplete", false;
    }
    const Json &types = json.value("types", Json::array());
    for (const Json &entry : types) {
        TypeRule type;
        if (!typeRule(entry, type)) return error = "a type is incomplete: " + jsonExcerpt(entry), false;
        rules.types.push_back(type);
    }
    if (rules.types.empty()) return error = "no types", false;
    for (const auto &[list, bits] : {std::pair<const char *, int>{"pads", 0xFF}, {"flags", 0xFFFF}}) {
        const Json &entries = json.value(list, Json::object());
        if (!entries.is_object() || entries.empty()) return error = std::string("no ") + list, false;
        for (const auto &[name, value] : entries.items()) {
            if (!value.is_number_unsigned() || value.get<uint64_t>() > static_cast<uint64_t>(bits)) {
                return error = std::string(list) + ": " + name + " is no number from 0 to " + std::to_string(bits), false;
            }
            if (bits == 0xFF) rules.pads.emplace_back(name, static_cast<uint8_t>(value.get<int>()));
            if (bits == 0xFFFF) rules.flags.emplace_back(name, static_cast<uint16_t>(value.get<int>()));
        }
    }
    const Json &messages = json.value("messages", Json::object());
    for (const auto &[key, value] : messages.items()) {
        if (!value.is_string()) return error = "message " + key + " is no text", false;
        rules.messages[key] = value.get<std::string>();
    }
    return true;
}

const SchemaRules &schemaRules() {
    static const SchemaRules rules = [] {
        SchemaRules loaded;
        std::string error;
        if (!parseSchemaRules(kCompiledRules, loaded, error)) {
            std::fprintf(stderr, "wisam: the schema rules built into the tool are damaged: %s\n", error.c_str());
            std::abort();
        }
        return loaded;
    }();
    return rules;
}

std::string ruleMessage(const std::string &key, std::initializer_list<std::pair<const char *, std::string>> values) {
    const auto found = schemaRules().messages.find(key);
    if (found == schemaRules().messages.end()) {
        std::fprintf(stderr, "wisam: the schema rules built into the tool have no message %s\n", key.c_str());
        std::abort();
    }
    const std::string &text = found->second;
    std::string message;
    for (size_t i = 0; i < text.size();) {
        const size_t close = text[i] == '{' ? text.find('}', i) : std::string::npos;
        const std::pair<const char *, std::string> *value = nullptr;
        if (close != std::string::npos) {
            const std::string name = text.substr(i + 1, close - i - 1);
            for (const auto &v : values) {
                if (name == v.first) value = &v;
            }
        }
        if (value != nullptr) {
            message += value->second;
            i = close + 1;
        } else {
            message += text[i++];
        }
    }
    return message;
}

}  // namespace wisam::tool
