// getput.cpp - get and put: one record through a schema, by its key.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "schema.h"
#include "tool.h"

namespace wisam::tool {

namespace {

constexpr const char *kGetHelp =
    "usage: wisam get NAME KEY [--schema S.json] [--index K] [--format csv|json|jsonl]\n"
    "  writes the record whose key in index K (default 1, the primary) is KEY,\n"
    "  as 'wisam dump --schema' writes records.  KEY is the values of the key's\n"
    "  fields, comma-separated as in CSV ('7' or '\"Ann\",1990'); fewer values\n"
    "  than the key has fields give every record that begins so.  In\n"
    "  record-number order (a file without primary key), KEY is a record number.\n"
    "  Without --schema, the schema kept with NAME is read.\n"
    "  Exit status: 0 found, 3 not found, 1 failed, 2 usage.\n";
constexpr const char *kPutHelp =
    "usage: wisam put NAME [--schema S.json] [--format csv|json|jsonl] [ROW]\n"
    "  writes one record, given as 'wisam load --schema' takes rows: ROW on the\n"
    "  command line, else standard input.  CSV is a header row of field names and\n"
    "  one row; json an array of one object; jsonl one object.  When the primary\n"
    "  key is unique and a record holds the key, that record is replaced;\n"
    "  otherwise the record is added.  Without --schema, the schema kept with\n"
    "  NAME is read.  Exit status: 0 written, 1 failed (a duplicate key in\n"
    "  another index, a value that does not fit), 2 usage.\n";

constexpr int kExitNotFound = 3;

}  // namespace

int getCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kGetHelp), kExitOk;
    std::vector<std::string> words;
    std::string schema, format, error;
    long index = 1;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--index") {
            if (!numberArg(args, i, 0, IS_MAX_INDEXES + 1, index, error)) return usage(error, kGetHelp);
        } else if (schemaOption(args, i, schema, format, error)) {
            continue;
        } else if (!error.empty()) {
            return usage(error, kGetHelp);
        } else if (args[i].starts_with("--")) {
            return unexpectedArgument(args[i], kGetHelp);
        } else {
            words.push_back(args[i]);
        }
    }
    if (words.size() != 2) return usage("get needs NAME and KEY", kGetHelp);
    bool kept = false;
    if (!schemaFor(words[0], schema, kept, error)) return failWith("get " + words[0] + ": " + error);
    if (schema.empty()) return usage("get needs --schema S.json (no schema is kept with " + words[0] + ")", kGetHelp);
    long found = 0;
    const int status = dumpFields(words[0], index, schema, format.empty() ? "csv" : format, words[1], words[1], &found, "get");
    if (status != kExitOk) return status;
    if (found == 0) {
        std::fprintf(stderr, "wisam: get %s: no record has the key %s in index %ld\n", words[0].c_str(), words[1].c_str(),
                     index);
        return kExitNotFound;
    }
    return kExitOk;
}

int putCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kPutHelp), kExitOk;
    std::vector<std::string> words;
    std::string schema, format, error;
    for (size_t i = 0; i < args.size(); ++i) {
        if (schemaOption(args, i, schema, format, error)) continue;
        if (!error.empty()) return usage(error, kPutHelp);
        if (args[i].starts_with("--")) return unexpectedArgument(args[i], kPutHelp);
        words.push_back(args[i]);
    }
    if (words.empty() || words.size() > 2) return usage("put needs NAME and at most one ROW", kPutHelp);
    bool kept = false;
    if (!schemaFor(words[0], schema, kept, error)) return failWith("put " + words[0] + ": " + error);
    if (schema.empty()) return usage("put needs --schema S.json (no schema is kept with " + words[0] + ")", kPutHelp);
    const std::string &name = words[0];
    const std::string what = "put " + name;
    Handle f(openFile(name, ISINOUT | ISMANULOCK | ISOPENVARLEN, what));
    if (f.get() == nullptr) return openFailed();
    FileIndexes indexes;
    if (!fileIndexes(f.get(), indexes)) return fail(what, f.get());
    std::string row = words.size() == 2 ? words[1] : "";
    FILE *input = stdin;
    if (words.size() == 2) {
        input = fmemopen(row.data(), row.size(), "r");
        if (input == nullptr) return failErrno(what + ": reading ROW", errno);
    }
    std::vector<std::vector<unsigned char>> records;
    std::string why;
    const bool encoded = encodeRows(f.get(), indexes.shape, schema, format.empty() ? "csv" : format, input, records, why);
    if (input != stdin) std::fclose(input);
    if (!encoded) return failWith(what + ": " + why + "; nothing was written");
    if (records.size() != 1) {
        return failWith(what + ": the input holds " + std::to_string(records.size()) +
                        " records; put writes one (load writes many); nothing was written");
    }
    std::vector<unsigned char> &record = records[0];
    KeyDesc primary{};
    isIndexInfo(f.get(), &primary, 1);
    const bool replaceable = !indexes.noPrimaryKey && (primary.flags & ISKEY_DUPS) == 0;
    if (replaceable && isRewrite(f.get(), record.data())) {
        const int32_t recnum = isRecnum(f.get());
        if (!f.close(what)) return kExitFailed;
        out("put %s: replaced record %d\n", name.c_str(), recnum);
        return kExitOk;
    }
    if (replaceable && isErrno(f.get()) != ENOREC) return fail(what + ": replacing the record with its key", f.get());
    if (!isWrite(f.get(), record.data())) return fail(what + ": nothing was written", f.get());
    const int32_t recnum = isRecnum(f.get());
    if (!f.close(what)) return kExitFailed;
    out("put %s: added record %d\n", name.c_str(), recnum);
    return kExitOk;
}

}  // namespace wisam::tool
