// schema.cpp - reading, checking and writing schemas, and making one from a
// file's key descriptions.
#include "schema.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "json.h"
#include "keytext.h"
#include "schemarules.h"

namespace wisam::tool {

namespace {

using Json = nlohmann::ordered_json;

// The field types the encoders of fields.cpp know, in FieldType order, with
// the key type each is indexed as.  The shared rules must list exactly
// these: the check at the first use of the rules stops a tool whose rules
// and encoders disagree.
struct TypeBinding {
    const char *name;
    int keyType;
};
constexpr TypeBinding kFieldTypes[] = {
    {"char", ISTYPE_CHAR},   {"string", ISTYPE_STRING},       {"devtag", ISTYPE_DEVTAG},
    {"wtext", ISTYPE_WTEXT}, {"wnocase", ISTYPE_WNOCASE},     {"wdevtag", ISTYPE_WDEVTAG},
    {"int", ISTYPE_INT},     {"long", ISTYPE_LONG},           {"short", ISTYPE_NATIVESHORT},
    {"nlong", ISTYPE_NATIVELONG}, {"time", ISTYPE_BYTES},     {"float", ISTYPE_FLOAT},
    {"double", ISTYPE_DOUBLE}, {"bytes", ISTYPE_BYTES},       {"recid", ISTYPE_RECID},
};

const std::vector<TypeRule> &typeRules() {
    static const std::vector<TypeRule> *types = [] {
        const std::vector<TypeRule> &rules = schemaRules().types;
        bool same = rules.size() == std::size(kFieldTypes);
        for (size_t i = 0; same && i < rules.size(); ++i) {
            same = rules[i].name == kFieldTypes[i].name && rules[i].keyType == kFieldTypes[i].keyType;
        }
        if (!same) {
            std::fprintf(stderr, "wisam: the schema rules built into the tool list other field types than it encodes\n");
            std::abort();
        }
        return &rules;
    }();
    return *types;
}

const TypeRule &info(FieldType type) { return typeRules()[static_cast<size_t>(type)]; }

bool isInteger(FieldType t) { return info(t).null == NullKind::Integer; }
bool isReal(FieldType t) { return info(t).null == NullKind::Zero; }
bool takesNullByte(FieldType t) { return info(t).null == NullKind::Text || info(t).null == NullKind::Byte; }

std::string inQuotes(const std::string &name) { return "'" + name + "'"; }

std::string extent(const Field &f) {
    return ruleMessage("field_extent",
                       {{"name", f.name}, {"offset", std::to_string(f.offset)}, {"length", std::to_string(f.length)}});
}

// Whether `value` is a JSON whole number from low to high (a number past
// int64_t is none).
bool wholeNumberIn(const Json &value, int64_t low, int64_t high) {
    if (value.is_number_unsigned()) {
        const uint64_t u = value.get<uint64_t>();
        return high >= 0 && u <= static_cast<uint64_t>(high) && (low <= 0 || u >= static_cast<uint64_t>(low));
    }
    return value.is_number_integer() && value.get<int64_t>() >= low && value.get<int64_t>() <= high;
}

// A whole number in `range` from a JSON member; false with `error`.
bool intMember(const Json &object, const char *key, const RuleRange &range, long &value, const std::string &what,
               std::string &error) {
    const auto it = object.find(key);
    if (it == object.end() || !wholeNumberIn(*it, range.low, range.high)) {
        error = ruleMessage("whole_number", {{"what", what},
                                             {"member", key},
                                             {"low", std::to_string(range.low)},
                                             {"high", std::to_string(range.high)}});
        return false;
    }
    value = it->get<long>();
    return true;
}

bool onlyKeys(const Json &object, const std::vector<std::string> &keys, const std::string &what, std::string &error) {
    for (const auto &[key, unused] : object.items()) {
        if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
            error = ruleMessage("unknown_member", {{"what", what}, {"member", key}});
            return false;
        }
    }
    return true;
}

bool parseNull(const Json &null, Field &field, const std::string &what, std::string &error) {
    const TypeRule &type = info(field.type);
    const RuleRange &bytes = schemaRules().byteValue;
    switch (type.null) {
    case NullKind::Zero:
        if (null != "zero") break;
        field.nullZero = true;
        return true;
    case NullKind::Integer:
        if (!null.is_number_integer()) break;
        if (!wholeNumberIn(null, type.low, type.high)) {
            return error = ruleMessage("null_range", {{"what", what},
                                                      {"low", std::to_string(type.low)},
                                                      {"high", std::to_string(type.high)}}),
                   false;
        }
        field.nullValue = null.get<int64_t>();
        return true;
    case NullKind::Byte:
        if (!wholeNumberIn(null, bytes.low, bytes.high)) break;
        field.nullByte = static_cast<uint8_t>(null.get<int>());
        return true;
    case NullKind::Text:
        if (!null.is_string() || null.get<std::string>().size() != 1) break;
        field.nullByte = static_cast<uint8_t>(null.get<std::string>()[0]);
        return true;
    case NullKind::None: break;
    }
    static const char *const kExpected[] = {"null_zero", "null_integer", "null_text", "null_byte", "null_none"};
    const std::string expected = ruleMessage(kExpected[static_cast<int>(type.null)],
                                             {{"type", type.name},
                                              {"low", std::to_string(bytes.low)},
                                              {"high", std::to_string(bytes.high)}});
    error = ruleMessage("null_expected", {{"what", what}, {"expected", expected}});
    return false;
}

bool parseField(const Json &object, Field &field, std::string &error) {
    const SchemaRules &rules = schemaRules();
    if (!object.is_object()) return error = ruleMessage("field_not_object"), false;
    const auto name = object.find("name");
    if (name == object.end() || !name->is_string() || name->get<std::string>().empty()) {
        return error = ruleMessage("field_name"), false;
    }
    field.name = name->get<std::string>();
    const std::string what = ruleMessage("field", {{"name", field.name}});
    if (!onlyKeys(object, rules.fieldMembers, what, error)) return false;
    long offset = 0, length = 0;
    if (!intMember(object, "offset", rules.offset, offset, what, error) ||
        !intMember(object, "length", rules.length, length, what, error)) {
        return false;
    }
    field.offset = static_cast<int>(offset);
    field.length = static_cast<int>(length);
    const auto type = object.find("type");
    const std::vector<TypeRule> &types = typeRules();
    size_t found = types.size();
    for (size_t i = 0; i < types.size(); ++i) {
        if (type != object.end() && *type == types[i].name) found = i;
    }
    if (found == types.size()) {
        std::string names;
        for (const TypeRule &t : types) names += (names.empty() ? "" : " ") + t.name;
        return error = ruleMessage("field_type", {{"what", what}, {"types", names}}), false;
    }
    field.type = static_cast<FieldType>(found);
    const TypeRule &rule = types[found];
    const std::string lengthText = std::to_string(field.length);
    if (rule.width != 0 && field.length != rule.width) {
        return error = ruleMessage("field_width", {{"what", what},
                                                   {"type", rule.name},
                                                   {"width", std::to_string(rule.width)},
                                                   {"length", lengthText}}),
               false;
    }
    if (field.length % rule.unit != 0) {
        return error = ruleMessage("field_unit", {{"what", what}, {"type", rule.name}, {"length", lengthText}}), false;
    }
    const auto pad = object.find("pad");
    if (pad != object.end()) {
        const auto named = std::find_if(rules.pads.begin(), rules.pads.end(),
                                        [&](const auto &p) { return *pad == p.first; });
        if (!rule.pad || named == rules.pads.end()) return error = ruleMessage("field_pad", {{"what", what}}), false;
        field.pad = static_cast<char>(named->second);
    }
    const auto null = object.find("null");
    return null == object.end() || null->is_null() || parseNull(*null, field, what, error);
}

bool parsePart(const Json &part, const Schema &schema, const std::string &what, IndexPart &p, std::string &error) {
    const Json *name = &part;
    if (part.is_object()) {
        if (!onlyKeys(part, schemaRules().partMembers, what, error)) return false;
        const auto descending = part.find("descending");
        if (descending != part.end() && !descending->is_boolean()) {
            return error = ruleMessage("part_descending", {{"what", what}}), false;
        }
        p.descending = descending != part.end() && descending->get<bool>();
        name = part.contains("field") ? &part["field"] : nullptr;
    }
    if (name == nullptr || !name->is_string()) return error = ruleMessage("part_form", {{"what", what}}), false;
    p.field = schema.find(name->get<std::string>());
    if (p.field < 0) return error = ruleMessage("part_no_field", {{"what", what}, {"name", name->get<std::string>()}}), false;
    return true;
}

bool parseIndex(const Json &object, const Schema &schema, SchemaIndex &index, std::string &error) {
    const SchemaRules &rules = schemaRules();
    if (!object.is_object()) return error = ruleMessage("index_not_object"), false;
    long number = 0;
    if (!intMember(object, "number", rules.indexNumber, number, ruleMessage("an_index"), error)) return false;
    index.number = static_cast<int>(number);
    const std::string what = ruleMessage("index", {{"number", std::to_string(number)}});
    if (!onlyKeys(object, rules.indexMembers, what, error)) return false;
    const auto unique = object.find("unique");
    if (unique != object.end() && !unique->is_boolean()) return error = ruleMessage("index_unique", {{"what", what}}), false;
    index.unique = unique != object.end() && unique->get<bool>();
    const auto parts = object.find("parts");
    if (parts == object.end() || !parts->is_array() || parts->empty() ||
        parts->size() > static_cast<size_t>(rules.keyParts)) {
        return error = ruleMessage("index_parts", {{"what", what}, {"key_parts", std::to_string(rules.keyParts)}}), false;
    }
    for (const Json &part : *parts) {
        IndexPart p;
        if (!parsePart(part, schema, what, p, error)) return false;
        index.parts.push_back(p);
    }
    const auto flags = object.find("flags");
    if (flags != object.end()) {
        if (!flags->is_array()) return error = ruleMessage("index_flags", {{"what", what}}), false;
        std::string known;
        for (const auto &[name, bits] : rules.flags) known += (known.empty() ? "" : ", ") + name;
        for (const Json &flag : *flags) {
            const auto named = std::find_if(rules.flags.begin(), rules.flags.end(),
                                            [&](const auto &f) { return flag == f.first; });
            if (named == rules.flags.end()) {
                return error = ruleMessage("index_flag", {{"what", what}, {"flag", jsonExcerpt(flag)}, {"flags", known}}), false;
            }
            index.flags = static_cast<uint16_t>(index.flags | named->second);
        }
    }
    return true;
}

// The byte a null key part of the field is filled with (key flag nullsuppress).
uint8_t nullFill(const Field &field) {
    if (field.nullByte) return *field.nullByte;
    if (!field.nullValue) return 0;
    std::vector<unsigned char> bytes(static_cast<size_t>(field.offset + field.length));
    std::string unused;
    encodeField(field, Value::integer(*field.nullValue), bytes.data(), unused);
    const unsigned char *p = bytes.data() + field.offset;
    return std::all_of(p, p + field.length, [&](unsigned char c) { return c == p[0]; }) ? p[0] : 0;
}

bool samePart(const KeyPart &a, const KeyPart &b, bool nullChar) {
    const uint16_t mask = nullChar ? 0xFFFF : 0xFF;
    return a.start == b.start && a.length == b.length && (a.type & mask) == (b.type & mask);
}

}  // namespace

const char *fieldTypeName(FieldType type) { return info(type).name.c_str(); }
int keyTypeOf(FieldType type) { return info(type).keyType; }

std::string pgType(const Field &field) {
    switch (field.type) {
    case FieldType::Int:
    case FieldType::Short: return "smallint";
    case FieldType::Long:
    case FieldType::Nlong: return "integer";
    case FieldType::Time: return "numeric(20)";
    case FieldType::Float: return "real";
    case FieldType::Double: return "double precision";
    case FieldType::Bytes:
    case FieldType::Recid: return "bytea";
    case FieldType::Wtext:
    case FieldType::Wnocase:
    case FieldType::Wdevtag: return "varchar(" + std::to_string(field.length / 2) + ") COLLATE \"C\"";
    default: return "varchar(" + std::to_string(field.length) + ") COLLATE \"C\"";
    }
}

int Schema::find(const std::string &name) const {
    for (size_t i = 0; i < fields.size(); ++i) {
        if (fields[i].name == name) return static_cast<int>(i);
    }
    return -1;
}

const SchemaIndex *Schema::index(int number) const {
    for (const SchemaIndex &i : indexes) {
        if (i.number == number) return &i;
    }
    return nullptr;
}

KeyDesc Schema::keyDesc(const SchemaIndex &index) const {
    KeyDesc key{};
    key.flags = static_cast<uint16_t>(index.flags | (index.unique ? 0 : ISKEY_DUPS));
    for (const IndexPart &part : index.parts) {
        const Field &f = fields[static_cast<size_t>(part.field)];
        KeyPart &p = key.parts[key.partCount++];
        p.start = static_cast<int16_t>(f.offset);
        p.length = static_cast<int16_t>(f.length);
        p.type = static_cast<uint16_t>(keyTypeOf(f.type) | (part.descending ? ISTYPE_DESC : 0));
        if ((index.flags & ISKEY_NULLSUPPRESS) != 0) p.type = static_cast<uint16_t>(p.type | nullFill(f) << 8);
    }
    return key;
}

bool parseSchema(const std::string &text, Schema &schema, std::string &error) {
    schema = Schema{};
    Json json;
    if (!parseJson(text, json, error)) return false;
    const SchemaRules &rules = schemaRules();
    if (!json.is_object()) return error = ruleMessage("schema_not_object"), false;
    const std::string what = ruleMessage("the_schema");
    if (!onlyKeys(json, rules.schemaMembers, what, error)) return false;
    long length = 0;
    if (!intMember(json, "record_length", rules.recordLength, length, what, error)) return false;
    schema.recordLength = static_cast<int>(length);
    const auto fields = json.find("fields");
    if (fields == json.end() || !fields->is_array() || fields->empty()) {
        return error = ruleMessage("no_fields"), false;
    }
    for (const Json &object : *fields) {
        Field field;
        if (!parseField(object, field, error)) return false;
        if (schema.find(field.name) >= 0) return error = ruleMessage("named_twice", {{"name", field.name}}), false;
        schema.fields.push_back(field);
    }
    std::stable_sort(schema.fields.begin(), schema.fields.end(),
                     [](const Field &a, const Field &b) { return a.offset < b.offset; });
    for (size_t i = 0; i < schema.fields.size(); ++i) {
        const Field &f = schema.fields[i];
        if (f.offset + f.length > schema.recordLength) {
            return error = ruleMessage("runs_past", {{"extent", extent(f)}, {"record_length", std::to_string(schema.recordLength)}}),
                   false;
        }
        if (i > 0 && schema.fields[i - 1].offset + schema.fields[i - 1].length > f.offset) {
            return error = ruleMessage("overlap", {{"first", extent(schema.fields[i - 1])}, {"second", extent(f)}}), false;
        }
    }
    const auto indexes = json.find("indexes");
    if (indexes != json.end()) {
        if (!indexes->is_array()) return error = ruleMessage("indexes_not_list"), false;
        for (const Json &object : *indexes) {
            SchemaIndex index;
            if (!parseIndex(object, schema, index, error)) return false;
            if (schema.index(index.number) != nullptr) {
                return error = ruleMessage("index_twice", {{"number", std::to_string(index.number)}}), false;
            }
            schema.indexes.push_back(index);
        }
    }
    std::sort(schema.indexes.begin(), schema.indexes.end(),
              [](const SchemaIndex &a, const SchemaIndex &b) { return a.number < b.number; });
    return true;
}

bool readSchemaFile(const std::string &path, Schema &schema, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return error = "cannot read the schema " + path + ": " + std::strerror(errno), false;
    std::stringstream text;
    text << in.rdbuf();
    if (!parseSchema(text.str(), schema, error)) return error = "schema " + path + ": " + error, false;
    return true;
}

Json schemaJson(const Schema &schema) {
    Json json;
    json["record_length"] = schema.recordLength;
    json["fields"] = Json::array();
    for (const Field &f : schema.fields) {
        Json field = {{"name", f.name}, {"offset", f.offset}, {"length", f.length}, {"type", fieldTypeName(f.type)}};
        if (f.type == FieldType::Char) field["pad"] = f.pad == ' ' ? "blank" : "nul";
        if (f.nullZero) field["null"] = "zero";
        if (f.nullValue) field["null"] = *f.nullValue;
        if (f.nullByte) {
            field["null"] = f.type == FieldType::Bytes ? Json(*f.nullByte) : Json(std::string(1, static_cast<char>(*f.nullByte)));
        }
        json["fields"].push_back(field);
    }
    json["indexes"] = Json::array();
    for (const SchemaIndex &i : schema.indexes) {
        Json parts = Json::array();
        for (const IndexPart &p : i.parts) {
            const std::string &name = schema.fields[static_cast<size_t>(p.field)].name;
            parts.push_back(p.descending ? Json{{"field", name}, {"descending", true}} : Json(name));
        }
        Json index = {{"number", i.number}, {"unique", i.unique}, {"parts", parts}};
        if (i.flags != 0) index["flags"] = flagNames(i.flags);
        json["indexes"].push_back(index);
    }
    return json;
}

std::string schemaText(const Schema &schema) {
    const Json json = schemaJson(schema);
    std::string text = "{\n  \"record_length\": " + std::to_string(schema.recordLength);
    for (const char *list : {"fields", "indexes"}) {
        text += std::string(",\n  \"") + list + "\": [";
        const char *separator = "\n    ";
        for (const Json &item : json[list]) {
            text += separator + item.dump();
            separator = ",\n    ";
        }
        text += "\n  ]";
    }
    return text + "\n}\n";
}

bool schemaFitsFile(const Schema &schema, IsFile *f, std::string &error) {
    IsamInfo summary{};
    KeyDesc first{};
    if (!isIsamInfo(f, &summary) || !isIndexInfo(f, &first, 1)) return error = "cannot read the file's layout", false;
    const int fixed = isReclen(f);
    if (fixed != schema.recordLength) {
        return error = "the schema's record length " + std::to_string(schema.recordLength) + " is not the file's " +
                       std::to_string(fixed), false;
    }
    for (const SchemaIndex &index : schema.indexes) {
        if (index.number > summary.indexCount) {
            return error = "the schema describes index " + std::to_string(index.number) + "; the file has " +
                           std::to_string(summary.indexCount), false;
        }
    }
    for (int n = 1; n <= summary.indexCount; ++n) {
        KeyDesc key{};
        if (!isIndexInfo(f, &key, n)) return error = "cannot read the file's index " + std::to_string(n), false;
        const std::string what = "index " + std::to_string(n) + " of the file (" + formatKey(key) + ")";
        for (int p = 0; p < key.partCount; ++p) {
            const KeyPart &part = key.parts[p];
            for (const Field &field : schema.fields) {
                const bool touches = field.offset < part.start + part.length && part.start < field.offset + field.length;
                if (!touches || field.type == FieldType::Bytes) continue;
                if (field.offset != part.start || field.length != part.length ||
                    keyTypeOf(field.type) != (part.type & ISTYPE_MASK)) {
                    return error = "field " + extent(field) + " of type " + fieldTypeName(field.type) +
                                   " disagrees with key part " + std::to_string(part.start) + ":" +
                                   std::to_string(part.length) + ":" + typeName(part.type & ISTYPE_MASK) + " of " +
                                   what, false;
                }
            }
        }
        const SchemaIndex *described = schema.index(n);
        if (described == nullptr) continue;
        const KeyDesc mine = schema.keyDesc(*described);
        const bool nullChar = (key.flags & ISKEY_NULLSUPPRESS) != 0;
        bool same = mine.flags == key.flags && mine.partCount == key.partCount;
        for (int p = 0; same && p < key.partCount; ++p) {
            if (!samePart(mine.parts[p], key.parts[p], nullChar)) {
                const Field &field = schema.fields[static_cast<size_t>(described->parts[static_cast<size_t>(p)].field)];
                return error = "index " + std::to_string(n) + ", field " + inQuotes(field.name) + ": the schema makes it " +
                               formatKey(mine) + ", the file has " + formatKey(key), false;
            }
        }
        if (!same) {
            return error = "index " + std::to_string(n) + " (" +
                           inQuotes(schema.fields[static_cast<size_t>(described->parts[0].field)].name) +
                           "...): the schema makes it " + formatKey(mine) + ", the file has " + formatKey(key), false;
        }
    }
    return true;
}

bool schemaFromFile(IsFile *f, Schema &schema, std::string &error) {
    schema = Schema{};
    IsamInfo summary{};
    if (!isIsamInfo(f, &summary)) return error = "cannot read the file's layout", false;
    schema.recordLength = isReclen(f);
    if (schema.recordLength <= 0) return error = "the file has record length 0 (keys only): it has no fields", false;
    // Bytes taken by a field so far, to keep fields apart.
    std::vector<int> owner(static_cast<size_t>(schema.recordLength), -1);
    for (int n = 1; n <= summary.indexCount; ++n) {
        KeyDesc key{};
        if (!isIndexInfo(f, &key, n)) return error = "cannot read the file's index " + std::to_string(n), false;
        if (key.partCount == 0) continue;
        SchemaIndex index{n, (key.flags & ISKEY_DUPS) == 0, static_cast<uint16_t>(key.flags & ~ISKEY_DUPS), {}};
        bool whole = true;  // every part became a field of its own
        for (int p = 0; p < key.partCount; ++p) {
            const KeyPart &part = key.parts[p];
            const int type = part.type & ISTYPE_MASK;
            const int at = schema.find(std::to_string(part.start));
            if (at >= 0 && schema.fields[static_cast<size_t>(at)].length == part.length &&
                keyTypeOf(schema.fields[static_cast<size_t>(at)].type) == type) {
                index.parts.push_back({at, (part.type & ISTYPE_DESC) != 0});
                continue;
            }
            const bool free = std::all_of(owner.begin() + part.start, owner.begin() + part.start + part.length,
                                          [](int o) { return o < 0; });
            // The last type of the key type that can have the part's length;
            // time is bytes to the library and never guessed.
            const std::vector<TypeRule> &types = typeRules();
            std::optional<FieldType> typed;
            for (size_t t = 0; t < types.size(); ++t) {
                if (types[t].keyType == type && static_cast<FieldType>(t) != FieldType::Time &&
                    (types[t].width == 0 || types[t].width == part.length) && part.length % types[t].unit == 0) {
                    typed = static_cast<FieldType>(t);
                }
            }
            if (!free || !typed) {
                whole = false;
                continue;
            }
            Field field;
            field.name = std::to_string(part.start);  // named below, once all are known
            field.offset = part.start;
            field.length = part.length;
            field.type = *typed;
            if (field.type == FieldType::Char) field.pad = (key.flags & ISKEY_NULLFILL) != 0 ? '\0' : ' ';
            const uint8_t nullChar = static_cast<uint8_t>(part.type >> 8);
            if ((key.flags & ISKEY_NULLSUPPRESS) != 0) {
                if (takesNullByte(field.type)) field.nullByte = nullChar;
                if (isReal(field.type) && nullChar == 0) field.nullZero = true;
                if (isInteger(field.type)) {
                    std::vector<unsigned char> bytes(static_cast<size_t>(field.offset + field.length), nullChar);
                    Value v;
                    std::string unused;
                    decodeField(field, bytes.data(), v, unused);
                    field.nullValue = v.i;
                }
            }
            std::fill(owner.begin() + part.start, owner.begin() + part.start + part.length,
                      static_cast<int>(schema.fields.size()));
            index.parts.push_back({static_cast<int>(schema.fields.size()), (part.type & ISTYPE_DESC) != 0});
            schema.fields.push_back(field);
        }
        if (whole) schema.indexes.push_back(index);
    }
    // The bytes between the key fields.
    for (int at = 0; at < schema.recordLength;) {
        if (owner[static_cast<size_t>(at)] >= 0) {
            ++at;
            continue;
        }
        int end = at;
        while (end < schema.recordLength && owner[static_cast<size_t>(end)] < 0) ++end;
        Field gap;
        gap.name = std::to_string(at);
        gap.offset = at;
        gap.length = end - at;
        schema.fields.push_back(gap);
        at = end;
    }
    // Names: key fields after the index that made them, the rest after their offset.
    std::vector<std::string> names(schema.fields.size());
    for (const SchemaIndex &index : schema.indexes) {
        for (size_t p = 0; p < index.parts.size(); ++p) {
            std::string &name = names[static_cast<size_t>(index.parts[p].field)];
            if (name.empty()) {
                name = "key" + std::to_string(index.number) + (index.parts.size() > 1 ? "_" + std::to_string(p + 1) : "");
            }
        }
    }
    for (size_t i = 0; i < schema.fields.size(); ++i) {
        Field &field = schema.fields[i];
        field.name = !names[i].empty() ? names[i]
                     : field.type == FieldType::Bytes ? "bytes" + std::to_string(field.offset)
                                                      : "field" + std::to_string(field.offset);
    }
    // Fields in offset order, the index parts following them.
    std::vector<int> order(schema.fields.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        return schema.fields[static_cast<size_t>(a)].offset < schema.fields[static_cast<size_t>(b)].offset;
    });
    std::vector<int> moved(order.size());
    std::vector<Field> sorted;
    for (size_t i = 0; i < order.size(); ++i) {
        moved[static_cast<size_t>(order[i])] = static_cast<int>(i);
        sorted.push_back(schema.fields[static_cast<size_t>(order[i])]);
    }
    schema.fields = sorted;
    for (SchemaIndex &index : schema.indexes) {
        for (IndexPart &p : index.parts) p.field = moved[static_cast<size_t>(p.field)];
    }
    return true;
}

}  // namespace wisam::tool
