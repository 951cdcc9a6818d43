// schema.h - records as named fields: the schema file, its checks, and the
// encoding of one field's value to and from the bytes of a record.
//
// A schema is a JSON object:
//
//   {"record_length": 40,
//    "fields": [{"name": "id",   "offset": 0, "length": 4,  "type": "long"},
//               {"name": "name", "offset": 4, "length": 20, "type": "char",
//                "pad": "blank", "null": " "}, ...],
//    "indexes": [{"number": 1, "unique": true,  "parts": ["id"]},
//                {"number": 2, "unique": false, "parts": [{"field": "name", "descending": true}],
//                 "flags": ["dupcompress", "leadcompress", "trailcompress"]}]}
//
// Field types, their widths and how their values are written (CSV, JSON,
// PostgreSQL):
//
//   type     bytes   stored as                         value          key type   PostgreSQL
//   char     n       text, padded ("pad": nul|blank)   text           0 char     varchar(n)
//   string   n       text up to the first NUL          text           7 string   varchar(n)
//   devtag   n       text up to the first NUL          text           10 devtag  varchar(n)
//   wtext    2n      UTF-16, blank-padded (stWChar)    text           8 wtext    varchar(n)
//   wnocase  2n      as wtext                          text           13         varchar(n)
//   wdevtag  2n      as wtext                          text           11         varchar(n)
//   int      2       big-endian (stInt)                integer        1 int      smallint
//   long     4       big-endian (stLong)               integer        2 long     integer
//   short    2       machine order                     integer        5 short    smallint
//   nlong    4       machine order                     integer        6 nlong    integer
//   time     8       big-endian unsigned (stTime)      integer        12 bytes   numeric(20)
//   float    4       machine order (stFloat)           number         4 float    real
//   double   8       machine order (stDbl)             number         3 double   double precision
//   bytes    n       as they are                       hexadecimal    12 bytes   bytea
//   recid    8       as they are                       hexadecimal    9 recid    bytea
//
// Null conventions ("null", optional): float and double "zero" (0.0 reads
// as null and null is stored as +0.0: ldFltNull/stFltNull, ldDblNull/
// stDblNull); the integer types a number whose value means null; char,
// string and devtag a one-character text, bytes a byte number: a field
// holding only that byte is null.  A field without one is never null.
// Floating values that are not finite are written "NaN", "Infinity" and
// "-Infinity".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "wisam.h"

namespace wisam::tool {

enum class FieldType { Char, String, Devtag, Wtext, Wnocase, Wdevtag, Int, Long, Short, Nlong, Time, Float, Double, Bytes, Recid };

struct Field {
    std::string name;
    int offset = 0;
    int length = 0;
    FieldType type = FieldType::Bytes;
    char pad = '\0';                  // char: the byte after the text
    std::optional<int64_t> nullValue; // integer types: the value that means null
    std::optional<uint8_t> nullByte;  // char, string, devtag, bytes: the byte that fills a null field
    bool nullZero = false;            // float, double: 0.0 means null
    bool nullable() const { return nullValue || nullByte || nullZero; }
};

struct IndexPart {
    int field = 0;  // position in Schema::fields
    bool descending = false;
};

struct SchemaIndex {
    int number = 0;  // as 'wisam info' numbers the file's indexes
    bool unique = false;
    uint16_t flags = 0;  // key flags other than ISKEY_DUPS
    std::vector<IndexPart> parts;
};

struct Schema {
    int recordLength = 0;
    std::vector<Field> fields;  // in offset order
    std::vector<SchemaIndex> indexes;  // in number order

    // The field named `name`, or -1.
    int find(const std::string &name) const;
    // The key description of an index, as isBuild and isAddIndex take it.
    KeyDesc keyDesc(const SchemaIndex &index) const;
    const SchemaIndex *index(int number) const;
};

const char *fieldTypeName(FieldType type);
// The key type a field of this type is indexed as.
int keyTypeOf(FieldType type);
// The PostgreSQL column type of a field.
std::string pgType(const Field &field);

// Reads a schema from JSON text; false with `error` naming what is wrong
// (the field, the index) when it is not a schema: an unknown type, a length
// the type cannot have, fields that overlap or run past the record, an index
// part naming no field.
bool parseSchema(const std::string &text, Schema &schema, std::string &error);
// JSON text parsed within the limits json.h gives; false with `error` when it
// is not JSON or passes them.
bool parseJson(const std::string &text, nlohmann::ordered_json &json, std::string &error);
bool readSchemaFile(const std::string &path, Schema &schema, std::string &error);
nlohmann::ordered_json schemaJson(const Schema &schema);
// The schema as JSON text with a field or an index a line.
std::string schemaText(const Schema &schema);

// Whether `schema` fits the open file: the record length, each of the
// schema's indexes equal to the file's index of that number, and every key
// part of the file that touches a typed field lying exactly on it with the
// field's key type.  `error` names the field and the index.
bool schemaFitsFile(const Schema &schema, IsFile *f, std::string &error);

// The schema kept with ISAM file NAME (keptschema.cpp): the file N.wsc
// beside N.wox (N as NAME.lnk names it), written only by the tool, moved and
// removed with the file by the library.
std::string keptSchemaPath(const std::string &name);
// Whether anything has the name of NAME's kept schema (a link too).
bool keptSchemaThere(const std::string &name);
// The kept schema's text; false with `error` when it cannot be read or is a
// symbolic link or no regular file.
bool readKeptSchema(const std::string &name, std::string &text, std::string &error);
// The schema file a command reads: `schema` when given (not empty), else
// NAME's kept schema when there is one (its path stored in `schema`, `kept`
// set), else none (`schema` stays empty).  False with `error` when a kept
// schema is there but cannot be read.
bool schemaFor(const std::string &name, std::string &schema, bool &kept, std::string &error);
// Keeps `text` as NAME's schema, replacing the one kept before: written to
// a new file beside it, forced to the disk and renamed into place.
bool keepSchema(const std::string &name, const std::string &text, std::string &error);
// Keeps FROM's kept schema, if it has one (`copied`), with TO.
bool copyKeptSchema(const std::string &from, const std::string &to, bool &copied, std::string &error);
// Removes NAME's kept schema; false with `error` when there is none.
bool dropKeptSchema(const std::string &name, std::string &error);
// Why a new file NAME cannot be made while N.wsc exists (a schema kept for
// no file, which would describe the new one); "" when it does not.
std::string staleKeptSchema(const std::string &name);

// A starting schema from a file's key descriptions: key parts become
// fields of their key type, the bytes between them `bytes` fields.
bool schemaFromFile(IsFile *f, Schema &schema, std::string &error);

// A decoded field value.
struct Value {
    enum Kind { Null, Int, Uint, Real, Text, Bytes } kind = Null;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;
    bool single = false;  // a float: written with a float's shortest digits
    std::string s;        // Text: UTF-8; Bytes: the bytes

    static Value integer(int64_t i) {
        Value v;
        v.kind = Int;
        v.i = i;
        return v;
    }
};

// Decodes the field from the record; false with `error` when its bytes
// cannot be shown as its type's value (text that is not UTF-8).
bool decodeField(const Field &field, const unsigned char *record, Value &value, std::string &error);
// Encodes a value into the field of the record; false with `error` saying
// why when it does not fit the field.
bool encodeField(const Field &field, const Value &value, unsigned char *record, std::string &error);

// The value's text as CSV and the range keys write it (numbers, text,
// hexadecimal bytes); a null is empty.
std::string valueText(const Value &value);
// The value of a field from such a text; `isNull` for an empty unquoted CSV
// field.  False with `error` when the text is not a value of the field.
bool parseValueText(const Field &field, const std::string &text, bool isNull, Value &value, std::string &error);
nlohmann::ordered_json valueJson(const Value &value);
bool parseValueJson(const Field &field, const nlohmann::ordered_json &json, Value &value, std::string &error);

}  // namespace wisam::tool
