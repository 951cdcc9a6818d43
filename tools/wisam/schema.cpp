// schema.cpp - reading, checking and writing schemas, and making one from a
// file's key descriptions.
#include "schema.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "keytext.h"

namespace wisam::tool {

namespace {

using Json = nlohmann::ordered_json;

struct TypeInfo {
    FieldType type;
    const char *name;
    int keyType;
    int unit;   // the length is a multiple of it
    int width;  // the only length the type has; 0: any multiple of unit
};

constexpr TypeInfo kTypes[] = {
    {FieldType::Char, "char", ISTYPE_CHAR, 1, 0},        {FieldType::String, "string", ISTYPE_STRING, 1, 0},
    {FieldType::Devtag, "devtag", ISTYPE_DEVTAG, 1, 0},  {FieldType::Wtext, "wtext", ISTYPE_WTEXT, 2, 0},
    {FieldType::Wnocase, "wnocase", ISTYPE_WNOCASE, 2, 0}, {FieldType::Wdevtag, "wdevtag", ISTYPE_WDEVTAG, 2, 0},
    {FieldType::Int, "int", ISTYPE_INT, 2, 2},           {FieldType::Long, "long", ISTYPE_LONG, 4, 4},
    {FieldType::Short, "short", ISTYPE_NATIVESHORT, 2, 2}, {FieldType::Nlong, "nlong", ISTYPE_NATIVELONG, 4, 4},
    {FieldType::Time, "time", ISTYPE_BYTES, 8, 8},       {FieldType::Float, "float", ISTYPE_FLOAT, 4, 4},
    {FieldType::Double, "double", ISTYPE_DOUBLE, 8, 8},  {FieldType::Bytes, "bytes", ISTYPE_BYTES, 1, 0},
    {FieldType::Recid, "recid", ISTYPE_RECID, 8, 8},
};

const TypeInfo &info(FieldType type) { return kTypes[static_cast<int>(type)]; }

bool isInteger(FieldType t) {
    return t == FieldType::Int || t == FieldType::Long || t == FieldType::Short || t == FieldType::Nlong;
}
bool isReal(FieldType t) { return t == FieldType::Float || t == FieldType::Double; }
bool takesNullByte(FieldType t) {
    return t == FieldType::Char || t == FieldType::String || t == FieldType::Devtag || t == FieldType::Bytes;
}

std::string inQuotes(const std::string &name) { return "'" + name + "'"; }

std::string extent(const Field &f) {
    return inQuotes(f.name) + " (offset " + std::to_string(f.offset) + ", length " + std::to_string(f.length) + ")";
}

// A whole number in [low, high] from a JSON member; false with `error`.
bool intMember(const Json &object, const char *key, long low, long high, long &value, const std::string &what,
               std::string &error) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_number_integer() || it->get<long>() < low || it->get<long>() > high) {
        error = what + ": \"" + key + "\" must be a whole number from " + std::to_string(low) + " to " +
                std::to_string(high);
        return false;
    }
    value = it->get<long>();
    return true;
}

bool onlyKeys(const Json &object, std::initializer_list<const char *> keys, const std::string &what,
              std::string &error) {
    for (const auto &[key, unused] : object.items()) {
        if (std::none_of(keys.begin(), keys.end(), [&](const char *k) { return key == k; })) {
            error = what + ": unknown member \"" + key + "\"";
            return false;
        }
    }
    return true;
}

bool parseNull(const Json &null, Field &field, const std::string &what, std::string &error) {
    if (isReal(field.type) && null == "zero") {
        field.nullZero = true;
    } else if (isInteger(field.type) && null.is_number_integer()) {
        field.nullValue = null.get<int64_t>();
        const Value v = Value::integer(*field.nullValue);
        std::vector<unsigned char> scratch(static_cast<size_t>(field.offset + field.length));
        if (!encodeField(field, v, scratch.data(), error)) return error = what + ": \"null\": " + error, false;
    } else if (field.type == FieldType::Bytes && null.is_number_integer() && null.get<int>() >= 0 &&
               null.get<int>() <= 255) {
        field.nullByte = static_cast<uint8_t>(null.get<int>());
    } else if (takesNullByte(field.type) && field.type != FieldType::Bytes && null.is_string() &&
               null.get<std::string>().size() == 1) {
        field.nullByte = static_cast<uint8_t>(null.get<std::string>()[0]);
    } else {
        error = what + ": \"null\" must be " +
                (isReal(field.type)      ? std::string("\"zero\"")
                 : isInteger(field.type) ? std::string("a whole number of the type")
                 : field.type == FieldType::Bytes ? std::string("a byte value from 0 to 255")
                 : takesNullByte(field.type)      ? std::string("a text of one byte")
                                                  : std::string("absent: a ") + info(field.type).name +
                                                        " field has no null convention");
        return false;
    }
    return true;
}

bool parseField(const Json &object, Field &field, std::string &error) {
    const std::string what0 = "field";
    if (!object.is_object()) return error = "each field must be an object", false;
    const auto name = object.find("name");
    if (name == object.end() || !name->is_string() || name->get<std::string>().empty()) {
        return error = "a field needs a \"name\" that is a text", false;
    }
    field.name = name->get<std::string>();
    const std::string what = "field " + inQuotes(field.name);
    if (!onlyKeys(object, {"name", "offset", "length", "type", "pad", "null"}, what, error)) return false;
    long offset = 0, length = 0;
    if (!intMember(object, "offset", 0, INT16_MAX, offset, what, error) ||
        !intMember(object, "length", 1, INT16_MAX, length, what, error)) {
        return false;
    }
    field.offset = static_cast<int>(offset);
    field.length = static_cast<int>(length);
    const auto type = object.find("type");
    const TypeInfo *found = nullptr;
    for (const TypeInfo &t : kTypes) {
        if (type != object.end() && *type == t.name) found = &t;
    }
    if (found == nullptr) {
        std::string names;
        for (const TypeInfo &t : kTypes) names += std::string(names.empty() ? "" : " ") + t.name;
        return error = what + ": \"type\" must be one of " + names, false;
    }
    field.type = found->type;
    if (found->width != 0 && field.length != found->width) {
        return error = what + ": a " + found->name + " is " + std::to_string(found->width) + " bytes, not " +
                       std::to_string(field.length), false;
    }
    if (field.length % found->unit != 0) {
        return error = what + ": a " + found->name + " field's length must be even, not " +
                       std::to_string(field.length), false;
    }
    const auto pad = object.find("pad");
    if (pad != object.end()) {
        if (field.type != FieldType::Char || (*pad != "nul" && *pad != "blank")) {
            return error = what + ": \"pad\" is \"nul\" or \"blank\", and only for char fields", false;
        }
        field.pad = *pad == "blank" ? ' ' : '\0';
    }
    const auto null = object.find("null");
    return null == object.end() || null->is_null() || parseNull(*null, field, what, error);
}

bool parseIndex(const Json &object, const Schema &schema, SchemaIndex &index, std::string &error) {
    if (!object.is_object()) return error = "each index must be an object", false;
    long number = 0;
    if (!intMember(object, "number", 1, IS_MAX_INDEXES + 1, number, "an index", error)) return false;
    index.number = static_cast<int>(number);
    const std::string what = "index " + std::to_string(number);
    if (!onlyKeys(object, {"number", "unique", "parts", "flags"}, what, error)) return false;
    const auto unique = object.find("unique");
    if (unique != object.end() && !unique->is_boolean()) return error = what + ": \"unique\" must be true or false", false;
    index.unique = unique != object.end() && unique->get<bool>();
    const auto parts = object.find("parts");
    if (parts == object.end() || !parts->is_array() || parts->empty() || parts->size() > IS_MAX_KEY_PARTS) {
        return error = what + ": \"parts\" must list 1 to 64 field names", false;
    }
    for (const Json &part : *parts) {
        IndexPart p;
        const Json *name = &part;
        if (part.is_object()) {
            if (!onlyKeys(part, {"field", "descending"}, what, error)) return false;
            name = part.contains("field") ? &part["field"] : nullptr;
            p.descending = part.value("descending", false);
        }
        if (name == nullptr || !name->is_string()) return error = what + ": a part is a field name or {\"field\": NAME}", false;
        p.field = schema.find(name->get<std::string>());
        if (p.field < 0) return error = what + ": part " + inQuotes(name->get<std::string>()) + " names no field", false;
        index.parts.push_back(p);
    }
    const auto flags = object.find("flags");
    if (flags != object.end()) {
        if (!flags->is_array()) return error = what + ": \"flags\" must be a list of flag names", false;
        for (const Json &flag : *flags) {
            if (!flag.is_string() || flag == "dups" || !parseFlag(flag.get<std::string>(), index.flags)) {
                return error = what + ": unknown flag " + flag.dump() +
                               " (dupcompress, leadcompress, trailcompress, compress, nullfill, nullsuppress)", false;
            }
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

const char *fieldTypeName(FieldType type) { return info(type).name; }
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
    if (!json.is_object()) return error = "a schema is a JSON object", false;
    if (!onlyKeys(json, {"record_length", "fields", "indexes", "comment"}, "the schema", error)) return false;
    long length = 0;
    if (!intMember(json, "record_length", 1, INT16_MAX, length, "the schema", error)) return false;
    schema.recordLength = static_cast<int>(length);
    const auto fields = json.find("fields");
    if (fields == json.end() || !fields->is_array() || fields->empty()) {
        return error = "the schema: \"fields\" must list at least one field", false;
    }
    for (const Json &object : *fields) {
        Field field;
        if (!parseField(object, field, error)) return false;
        if (schema.find(field.name) >= 0) return error = "field " + inQuotes(field.name) + " is named twice", false;
        schema.fields.push_back(field);
    }
    std::stable_sort(schema.fields.begin(), schema.fields.end(),
                     [](const Field &a, const Field &b) { return a.offset < b.offset; });
    for (size_t i = 0; i < schema.fields.size(); ++i) {
        const Field &f = schema.fields[i];
        if (f.offset + f.length > schema.recordLength) {
            return error = "field " + extent(f) + " runs past the record length " + std::to_string(schema.recordLength), false;
        }
        if (i > 0 && schema.fields[i - 1].offset + schema.fields[i - 1].length > f.offset) {
            return error = "fields " + extent(schema.fields[i - 1]) + " and " + extent(f) + " overlap", false;
        }
    }
    const auto indexes = json.find("indexes");
    if (indexes != json.end()) {
        if (!indexes->is_array()) return error = "the schema: \"indexes\" must be a list", false;
        for (const Json &object : *indexes) {
            SchemaIndex index;
            if (!parseIndex(object, schema, index, error)) return false;
            if (schema.index(index.number) != nullptr) {
                return error = "index " + std::to_string(index.number) + " is described twice", false;
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
            const TypeInfo *typed = nullptr;
            for (const TypeInfo &t : kTypes) {
                if (t.keyType == type && t.type != FieldType::Time && (t.width == 0 || t.width == part.length)) typed = &t;
            }
            if (!free || typed == nullptr) {
                whole = false;
                continue;
            }
            Field field;
            field.name = std::to_string(part.start);  // named below, once all are known
            field.offset = part.start;
            field.length = part.length;
            field.type = typed->type;
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
