// commands.cpp - create and info: building a file, and what a file holds.
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "datalength.h"
#include "keytext.h"
#include "schema.h"
#include "tool.h"

namespace wisam::tool {

namespace {

constexpr const char *kCreateHelp =
    "usage: wisam create NAME --reclen N --key KEY [--key KEY...] [--varlen MAX [--packed]]\n"
    "       wisam create NAME --schema S.json\n"
    "  KEY is START:LEN:TYPE[,START:LEN:TYPE...][:FLAG...]\n"
    "  TYPE: char int long double float short nlong string wtext recid devtag\n"
    "        wdevtag bytes wnocase, or a number; append '-' for descending\n"
    "  FLAG: dups dupcompress leadcompress trailcompress compress nullfill\n"
    "        nullsuppress\n"
    "  --key none builds a file without primary key.\n"
    "  --varlen MAX: variable-length records of N (the fixed part) to MAX bytes;\n"
    "  --packed stores their variable parts with runs of zeros and blanks packed.\n"
    "  --schema: the record length and the indexes of a schema ('wisam schema\n"
    "  --help'), index 1 the primary key (none when the schema starts at 2); the\n"
    "  schema is kept with the file (NAME.wsc), for dump, load, get, put and\n"
    "  export-pg without --schema.  A create that fails leaves no file behind;\n"
    "  a NAME.wsc already there (a schema kept for no file) is refused.\n";
constexpr const char *kSchemaHelp =
    "usage: wisam schema NAME [--set S.json|--drop]\n"
    "  writes the schema kept with NAME (NAME.wsc), or when none is kept a\n"
    "  starting schema: its key parts become fields of their key types, the\n"
    "  bytes between them 'bytes' fields; rename the fields, split the bytes\n"
    "  into fields of their own, and keep the result with --set.\n"
    "  --set S.json: keeps S.json with NAME, replacing the schema kept before,\n"
    "  once it is checked against NAME's record length and key descriptions (a\n"
    "  schema that does not fit is refused and the kept one stays).  dump, load,\n"
    "  get, put and export-pg read the kept schema when no --schema is given;\n"
    "  with one, dump and load read and write CSV unless told --format raw.\n"
    "  erase, rename, cluster, clone, copy and backup take it along.\n"
    "  --drop: removes the kept schema.  A schema is a JSON object:\n"
    "    record_length  the record length\n"
    "    fields         [{name, offset, length, type, pad, null}]: fields may leave\n"
    "                   gaps (loaded as zeros) but neither overlap nor run past\n"
    "                   the record.  type and its length:\n"
    "                     char N (pad \"nul\" or \"blank\"), string N, devtag N: text\n"
    "                     wtext, wnocase, wdevtag 2N: UTF-16 text, blank-padded\n"
    "                     int 2 / long 4 (big-endian), short 2 / nlong 4 (machine\n"
    "                     order), time 8 (big-endian unsigned): whole numbers\n"
    "                     float 4, double 8: numbers (\"NaN\", \"Infinity\")\n"
    "                     bytes N, recid 8: hexadecimal\n"
    "                   null (optional): float/double \"zero\" (0.0 is null); the\n"
    "                   integer types the value that means null; char, string,\n"
    "                   devtag a one-byte text, bytes a byte value: the field\n"
    "                   filled with it is null\n"
    "    indexes        [{number, unique, parts, flags}]: number as 'wisam info'\n"
    "                   gives it; parts field names or {field, descending};\n"
    "                   flags from dupcompress leadcompress trailcompress\n"
    "                   compress nullfill nullsuppress.  Each must be the file's\n"
    "                   index of that number, and a key part that touches a field\n"
    "                   other than bytes must lie exactly on it, of its type.\n";
constexpr const char *kInfoHelp =
    "usage: wisam info NAME [--json]\n"
    "  the record layout, record count, indexes and user information of NAME, and\n"
    "  whether its data file can hold the records the index file counts (exit 1\n"
    "  when it cannot) or is longer than they need; for variable-length records\n"
    "  the counts of their blocks; the schema kept with it (NAME.wsc), if any.\n"
    "  --json: the same as one JSON object.\n"
    "  'wisam stat' measures the indexes' depth, nodes and fill.\n";

// Record lengths as the dictionary can hold them.
constexpr long kMaxFixedLength = 32767;
constexpr long kMaxVariableLength = 32511;
constexpr int kUserInfoRead = 0;  // isUserInfo operation
constexpr int kUserInfoBytes = 10;
constexpr int kCheckBits = 16;   // bits of a check result, each with its isCheckMsg text

// The record length and key descriptions of a schema's file: its indexes
// numbered from 1 (or from 2, for a file without primary key) without gaps.
bool schemaKeys(const std::string &path, long &recordLength, std::vector<KeyDesc> &keys, Schema &schema,
                std::string &error) {
    if (!readSchemaFile(path, schema, error)) return false;
    recordLength = schema.recordLength;
    if (schema.indexes.empty() || schema.indexes[0].number > 2) {
        return error = "schema " + path + ": it describes no index 1 (the primary key) or 2", false;
    }
    if (schema.indexes[0].number == 2) keys.push_back(KeyDesc{});  // no primary key
    for (const SchemaIndex &index : schema.indexes) {
        if (index.number != static_cast<int>(keys.size()) + 1) {
            return error = "schema " + path + ": index " + std::to_string(keys.size() + 1) +
                           " is missing: a new file's indexes are numbered without gaps", false;
        }
        keys.push_back(schema.keyDesc(index));
    }
    return true;
}

// A failed create removes what it built; says so when that fails too.
int undoCreate(const std::string &name, const std::u16string &units, int status) {
    if (!isErase(units.c_str())) {
        fail("create " + name + ": and removing the half-built file failed", nullptr);
    }
    return status;
}

std::string lengthText(const RecordShape &shape) {
    if (!shape.variable()) return "record length " + std::to_string(shape.fixed);
    return "record length " + std::to_string(shape.fixed) + " to " + std::to_string(shape.maximum) +
           " (variable)";
}

void printVarlenCounts(const int32_t stats[6], int bits) {
    out("  variable-length blocks: %d in use (%d bytes free), %d on the space lists (%d bytes "
        "free), %d in use on no list (%d bytes free)\n",
        stats[4], stats[5], stats[0], stats[1], stats[2], stats[3]);
    for (int bit = 0; bit < kCheckBits; ++bit) {
        if ((bits & (1 << bit)) != 0) out("  variable-length check: %s (0x%x)\n", isCheckMsg[bit], 1u << bit);
    }
}

// info --json: what the text says, as one JSON object.
void printInfoJson(const std::string &name, const RecordShape &shape, int32_t highest, const std::vector<KeyDesc> &keys,
                   const unsigned char *user, const int32_t varlen[6], int varlenBits, const std::string &longer,
                   const std::string &cannotHold, const std::string &keptSchema) {
    using Json = nlohmann::ordered_json;
    Json info = {{"name", name},
                 {"record_length", shape.fixed},
                 {"maximum_length", shape.maximum},
                 {"variable", shape.variable()},
                 {"records", shape.info.recordCount},
                 {"block_size", shape.info.blockSize},
                 {"highest_record_number", highest}};
    info["indexes"] = Json::array();
    for (size_t k = 0; k < keys.size(); ++k) {
        info["indexes"].push_back({{"number", k + 1},
                                   {"key", formatKey(keys[k])},
                                   {"unique", (keys[k].flags & ISKEY_DUPS) == 0},
                                   {"key_length", keys[k].keyLength},
                                   {"root_block", keys[k].rootNode}});
    }
    std::string hex;
    for (int i = 0; i < kUserInfoBytes; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", user[i]);
        hex += two;
    }
    info["user_information"] = hex;
    if (shape.variable()) {
        Json findings = Json::array();
        for (int bit = 0; bit < kCheckBits; ++bit) {
            if ((varlenBits & (1 << bit)) != 0) findings.push_back(isCheckMsg[bit]);
        }
        info["variable_length_blocks"] = {{"in_use", varlen[4]}, {"in_use_bytes_free", varlen[5]},
                                          {"on_space_lists", varlen[0]}, {"on_space_lists_bytes_free", varlen[1]},
                                          {"on_no_list", varlen[2]}, {"on_no_list_bytes_free", varlen[3]},
                                          {"findings", findings}};
    }
    info["data_file_longer"] = longer.empty() ? Json(nullptr) : Json(longer);
    info["data_file_holds_records"] = cannotHold.empty();
    info["kept_schema"] = keptSchema.empty() ? Json(nullptr) : Json(keptSchema);
    out("%s\n", info.dump(2).c_str());
}

// Whether the data file reaches the highest record number the index file
// holds: that slot must be readable (live or deleted).
bool dataFileHolds(IsFile *f, const RecordShape &shape, int32_t highest, std::string &problem) {
    if (shape.fixed == 0 || highest <= 0) return true;
    std::vector<unsigned char> record(static_cast<size_t>(shape.maximum) + 1);
    if (isData(f, record.data(), highest) || isErrno(f) == ENOREC) return true;
    const int error = isErrno(f);
    problem = "record " + std::to_string(highest) + " cannot be read: error " + std::to_string(error) +
              ": " + errorText(error);
    return false;
}

}  // namespace

int createCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kCreateHelp), kExitOk;
    if (args.empty()) return usage("create needs a NAME", kCreateHelp);
    long recordLength = -1, maxLength = 0;
    bool packed = false;
    std::vector<KeyDesc> keys;
    std::string error, schemaPath;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--schema" && i + 1 < args.size()) {
            schemaPath = args[++i];
        } else if (args[i] == "--reclen") {
            if (!numberArg(args, i, 0, kMaxFixedLength, recordLength, error)) return usage(error, kCreateHelp);
        } else if (args[i] == "--varlen") {
            if (!numberArg(args, i, 2, kMaxVariableLength, maxLength, error)) return usage(error, kCreateHelp);
        } else if (args[i] == "--packed") {
            packed = true;
        } else if (args[i] == "--key" && i + 1 < args.size()) {
            KeyDesc key{};
            if (args[++i] != "none" && !parseKey(args[i], key, error)) return usage(error, kCreateHelp);
            keys.push_back(key);
        } else {
            return unexpectedArgument(args[i], kCreateHelp);
        }
    }
    Schema kept;
    if (!schemaPath.empty()) {
        if (recordLength >= 0 || !keys.empty() || maxLength > 0) {
            return usage("--schema gives the record length and the keys: no --reclen, --key or --varlen", kCreateHelp);
        }
        if (!schemaKeys(schemaPath, recordLength, keys, kept, error)) return failWith("create " + args[0] + ": " + error);
    }
    if (recordLength < 0 || keys.empty()) return usage("--reclen and --key are needed", kCreateHelp);
    if (packed && maxLength == 0) return usage("--packed needs --varlen", kCreateHelp);
    if (maxLength > 0 && (recordLength == 0 || maxLength <= recordLength)) {
        return usage("--varlen " + std::to_string(maxLength) + ": with --reclen " +
                         std::to_string(recordLength) + " the maximum must be from " +
                         std::to_string(recordLength + 1) + " to " + std::to_string(kMaxVariableLength) +
                         (recordLength == 0 ? " and --reclen at least 1" : ""),
                     kCreateHelp);
    }
    std::u16string units;
    if (!fileName(args[0], units)) return kExitUsage;
    if (const std::string stale = staleKeptSchema(args[0]); !stale.empty()) return failWith("create " + args[0] + ": " + stale);
    const int mode = ISINOUT | ISEXCLLOCK | (maxLength > 0 ? ISVARLEN : 0) | (packed ? ISPACKED : 0);
    IsFile *f = isBuild(units.c_str(), static_cast<int>(recordLength), static_cast<int>(maxLength),
                        &keys[0], mode);
    if (f == nullptr) return fail("create " + args[0], nullptr);  // isBuild removed what it made
    for (size_t k = 1; k < keys.size(); ++k) {
        if (!isAddIndex(f, &keys[k])) {
            fail("create " + args[0] + ": index " + std::to_string(k + 1) + " " + formatKey(keys[k]) +
                     "; nothing was created",
                 f);
            isClose(f);
            return undoCreate(args[0], units, kExitFailed);
        }
    }
    if (!isClose(f)) {
        fail("create " + args[0] + ": close; nothing was created", f);
        isCleanUp();
        return undoCreate(args[0], units, kExitFailed);
    }
    // The schema is kept once the file is whole; a file whose schema could
    // not be kept is not made.
    if (!schemaPath.empty() && !keepSchema(args[0], schemaText(kept), error)) {
        failWith("create " + args[0] + ": " + error + "; nothing was created");
        return undoCreate(args[0], units, kExitFailed);
    }
    out("created %s: record length %ld", args[0].c_str(), recordLength);
    if (maxLength > 0) out(" to %ld (variable%s)", maxLength, packed ? ", packed" : "");
    out(", %zu index%s%s\n", keys.size(), keys.size() == 1 ? "" : "es",
        schemaPath.empty() ? "" : (", schema kept as " + keptSchemaPath(args[0])).c_str());
    return kExitOk;
}

int infoCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kInfoHelp), kExitOk;
    bool json = false;
    std::vector<std::string> names;
    for (const std::string &arg : args) {
        if (arg == "--json") {
            json = true;
        } else {
            names.push_back(arg);
        }
    }
    if (names.size() != 1) return usage("info needs exactly one NAME", kInfoHelp);
    const std::string &name = names[0];
    IsFile *f = openFile(name, ISINPUT | ISOPENVARLEN, "info " + name);
    if (f == nullptr) return openFailed();
    RecordShape shape;
    int32_t highest = 0;
    unsigned char user[kUserInfoBytes] = {};
    if (!recordShape(f, shape) || !isGetLastRec(f, &highest) || !isUserInfo(f, kUserInfoRead, user)) {
        const int status = fail("info " + name, f);
        isClose(f);
        return status;
    }
    std::vector<KeyDesc> keys(static_cast<size_t>(shape.info.indexCount));
    for (int k = 1; k <= shape.info.indexCount; ++k) {
        if (!isIndexInfo(f, &keys[static_cast<size_t>(k - 1)], k)) {
            const int status = fail("info " + name + ": index " + std::to_string(k), f);
            isClose(f);
            return status;
        }
    }
    int32_t varlen[6] = {};
    const int varlenBits = shape.variable() ? isCheckVarlen(f, varlen) : 0;
    DataLength length;
    const bool longer = measureDataFile(name, shape, highest, length) && length.beyond > 0;
    std::string problem;
    const bool holds = dataFileHolds(f, shape, highest, problem);
    isClose(f);
    const std::string cannotHold = "the data file cannot hold the " + std::to_string(shape.info.recordCount) +
                                   " records the index file counts (" + problem + "); it was cut short or replaced";
    const std::string keptSchema = keptSchemaThere(name) ? keptSchemaPath(name) : "";
    if (json) {
        printInfoJson(name, shape, highest, keys, user, varlen, varlenBits, longer ? longerText(length, highest) : "",
                      holds ? "" : cannotHold, keptSchema);
    } else {
        out("%s: %d index%s, %s, %d records, block size %d\n", name.c_str(), shape.info.indexCount,
            shape.info.indexCount == 1 ? "" : "es", lengthText(shape).c_str(), shape.info.recordCount,
            shape.info.blockSize);
        for (size_t k = 0; k < keys.size(); ++k) {
            out("  index %zu: %s (key length %d, root block %u)\n", k + 1, formatKey(keys[k]).c_str(), keys[k].keyLength,
                static_cast<unsigned>(keys[k].rootNode));
        }
        out("  highest record number %d\n  user information:", highest);
        for (const unsigned char byte : user) out(" %02x", byte);
        out("\n");
        if (shape.variable()) printVarlenCounts(varlen, varlenBits);
        if (longer) out("  %s\n", longerText(length, highest).c_str());
        if (!keptSchema.empty()) out("  kept schema: %s\n", keptSchema.c_str());
    }
    if (!holds) return failWith("info " + name + ": " + cannotHold);
    return kExitOk;
}

namespace {

// schema NAME --set S.json: S.json kept with NAME once it fits the file.
int setSchema(const std::string &name, const std::string &path) {
    const std::string what = "schema " + name;
    Schema schema;
    std::string error;
    if (!readSchemaFile(path, schema, error)) return failWith(what + ": " + error + "; the kept schema is as it was");
    // Held open while the schema is written: the file cannot be erased or
    // renamed away from its new schema meanwhile.
    Handle f(openFile(name, ISINPUT | ISOPENVARLEN, what));
    if (f.get() == nullptr) return openFailed();
    RecordShape shape;
    if (!recordShape(f.get(), shape)) return fail(what, f.get());
    if (shape.variable()) {
        return failWith(what + ": the file holds variable-length records; a schema describes fixed-length ones");
    }
    if (!schemaFitsFile(schema, f.get(), error)) {
        return failWith(what + ": " + path + " does not fit " + name + ": " + error + "; the kept schema is as it was");
    }
    if (!keepSchema(name, schemaText(schema), error)) return failWith(what + ": " + error);
    if (!f.close(what)) return kExitFailed;
    out("kept %s as the schema of %s (%s)\n", path.c_str(), name.c_str(), keptSchemaPath(name).c_str());
    return kExitOk;
}

}  // namespace

int schemaCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kSchemaHelp), kExitOk;
    std::vector<std::string> names;
    std::string setPath;
    bool drop = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--set") {
            if (i + 1 >= args.size()) return usage("--set needs a schema file S.json", kSchemaHelp);
            setPath = args[++i];
        } else if (args[i] == "--drop") {
            drop = true;
        } else if (args[i].starts_with("--")) {
            return unexpectedArgument(args[i], kSchemaHelp);
        } else {
            names.push_back(args[i]);
        }
    }
    if (names.size() != 1) return usage("schema needs exactly one NAME", kSchemaHelp);
    if (drop && !setPath.empty()) return usage("--set and --drop exclude each other", kSchemaHelp);
    const std::string &name = names[0];
    const std::string what = "schema " + name;
    std::string error, text;
    if (!setPath.empty()) return setSchema(name, setPath);
    if (drop) {
        if (!dropKeptSchema(name, error)) return failWith(what + ": " + error);
        out("dropped the schema kept with %s\n", name.c_str());
        return kExitOk;
    }
    Handle f(openFile(name, ISINPUT | ISOPENVARLEN, what));
    if (f.get() == nullptr) return openFailed();
    if (keptSchemaThere(name)) {
        if (!readKeptSchema(name, text, error)) return failWith(what + ": " + error);
        out("%s", text.c_str());
        return f.close(what) ? kExitOk : kExitFailed;
    }
    RecordShape shape;
    if (!recordShape(f.get(), shape)) return fail(what, f.get());
    if (shape.variable()) return failWith(what + ": the file holds variable-length records; a schema describes fixed-length ones");
    Schema schema;
    if (!schemaFromFile(f.get(), schema, error)) return failWith(what + ": " + error);
    out("%s", schemaText(schema).c_str());
    return f.close(what) ? kExitOk : kExitFailed;
}

}  // namespace wisam::tool
