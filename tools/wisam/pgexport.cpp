// pgexport.cpp - export-pg: a file as a PostgreSQL table, for when its users
// outgrow one machine.  Writes a script for psql: CREATE TABLE with a column
// a field, COPY ... FROM STDIN with the rows in COPY's text format, then the
// indexes (building them after the rows is faster), all in one transaction.
//
// The script is fed to psql, which runs anything outside a literal as a
// command: every name it holds is a quoted identifier, no name or other text
// of the user's goes into a comment, and names holding control characters
// (a line end would end a quoted identifier's line for psql's COPY data and
// its backslash commands) or that are not UTF-8 are refused.  PostgreSQL
// cuts names to kPgNameBytes: a longer table or field name is refused rather
// than changed, and the names made here for indexes are cut to fit and kept
// distinct.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>

#include "formats.h"
#include "json.h"

namespace wisam::tool {

namespace {

constexpr const char *kExportHelp =
    "usage: wisam export-pg NAME [--schema S.json] [--table T] [--index K]\n"
    "  writes to standard output a script for psql that creates table T (the\n"
    "  base name of NAME by default) with a column a field of the schema, copies\n"
    "  every record into it (in the order of index K, 1 by default) and creates\n"
    "  the schema's indexes: the first unique one whose fields are never null as\n"
    "  the primary key, the others with CREATE [UNIQUE] INDEX T_N.  Text columns\n"
    "  use the \"C\" collation, so that they sort as the file's keys do.  Names\n"
    "  (NAME, T, the fields') holding control characters or that are not UTF-8\n"
    "  are refused, so are table and field names longer than PostgreSQL's 63\n"
    "  bytes; index names too long are cut to fit and kept distinct.  Without\n"
    "  --schema, the schema kept with NAME is read.\n"
    "    wisam export-pg people --schema people.json | psql -v ON_ERROR_STOP=1 DB\n";

// The bytes of a PostgreSQL name (NAMEDATALEN - 1); it cuts longer ones.
constexpr size_t kPgNameBytes = 63;

std::string identifier(const std::string &name) {
    std::string quoted = "\"";
    for (const char c : name) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

// Why `name` cannot go into the script ("" when it can), for `what` ("the
// table name", "field 'x'" ...).  The name is shown escaped.
std::string nameProblem(const std::string &what, const std::string &name, bool identifier) {
    const std::string shown = what + " \"" + excerpt(name) + "\"";
    if (!isPrintableUtf8(name)) return shown + " holds a control character or is not UTF-8";
    if (identifier && name.empty()) return what + " is empty";
    if (identifier && name.size() > kPgNameBytes) {
        return shown + " is " + std::to_string(name.size()) + " bytes; PostgreSQL names hold at most " +
               std::to_string(kPgNameBytes);
    }
    return "";
}

// The first `bytes` bytes of UTF-8 `text` or fewer, never half a character.
std::string cutUtf8(const std::string &text, size_t bytes) {
    if (text.size() <= bytes) return text;
    while (bytes > 0 && (static_cast<unsigned char>(text[bytes]) & 0xC0) == 0x80) --bytes;
    return text.substr(0, bytes);
}

// The name of the table's index `number`: T_N, or when that is longer than
// PostgreSQL keeps, T cut to make room for _N (and _K, should that still
// equal a name in `taken`: the table's, an index's made before).
std::string indexName(const std::string &table, int number, std::set<std::string> &taken) {
    std::string name = table + "_" + std::to_string(number);
    for (int k = 1; name.size() > kPgNameBytes || taken.count(name) != 0; ++k) {
        const std::string suffix = "_" + std::to_string(number) + (k > 1 ? "_" + std::to_string(k) : "");
        name = cutUtf8(table, kPgNameBytes - suffix.size()) + suffix;
    }
    taken.insert(name);
    return name;
}

// A value in COPY's text format; false with `error` for a text that
// PostgreSQL cannot hold.
bool copyValue(const Value &value, std::string &line, std::string &error) {
    if (value.kind == Value::Null) return line += "\\N", true;
    if (value.kind == Value::Bytes) return line += "\\\\x" + valueText(value), true;
    if (value.kind != Value::Text) return line += valueText(value), true;
    for (const char c : value.s) {
        switch (c) {
        case '\0': return error = "PostgreSQL text cannot hold a NUL character", false;
        case '\\': line += "\\\\"; break;
        case '\t': line += "\\t"; break;
        case '\n': line += "\\n"; break;
        case '\r': line += "\\r"; break;
        default: line += c;
        }
    }
    return true;
}

bool wasGiven(const Args &args, const std::string &option) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == option) return true;
    }
    return false;
}

std::string columns(const Schema &schema, const SchemaIndex &index, bool withOrder) {
    std::string list;
    for (const IndexPart &part : index.parts) {
        if (!list.empty()) list += ", ";
        list += identifier(schema.fields[static_cast<size_t>(part.field)].name);
        if (withOrder && part.descending) list += " DESC";
    }
    return list;
}

// The index that becomes the primary key: the first unique one of fields
// that are never null.
const SchemaIndex *primaryKey(const Schema &schema) {
    for (const SchemaIndex &index : schema.indexes) {
        bool nullable = false;
        for (const IndexPart &part : index.parts) nullable |= schema.fields[static_cast<size_t>(part.field)].nullable();
        if (index.unique && !nullable) return &index;
    }
    return nullptr;
}

}  // namespace

int exportPgCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kExportHelp), kExitOk;
    if (args.empty()) return usage("export-pg needs a NAME", kExportHelp);
    const std::string &name = args[0];
    std::string schemaPath, format, table = std::filesystem::path(name).filename().string(), error;
    long index = 1;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--table" && i + 1 < args.size() && !args[i + 1].empty()) {
            table = args[++i];
        } else if (args[i] == "--index") {
            if (!numberArg(args, i, 0, IS_MAX_INDEXES + 1, index, error)) return usage(error, kExportHelp);
        } else if (!schemaOption(args, i, schemaPath, format, error) || !format.empty()) {
            return (error.empty() ? unexpectedArgument(args[i], kExportHelp) : usage(error, kExportHelp));
        }
    }
    bool kept = false;
    if (!schemaFor(name, schemaPath, kept, error)) return failWith("export-pg " + name + ": " + error);
    if (schemaPath.empty()) return usage("export-pg needs --schema (no schema is kept with " + name + ")", kExportHelp);
    // The names of the command line: the file's goes only into messages.
    std::string problem = nameProblem("the file name", name, false);
    if (problem.empty()) {
        problem = nameProblem("the table name", table, true);
        if (!problem.empty() && !wasGiven(args, "--table")) problem += " (give one with --table)";
    }
    if (!problem.empty()) return std::fprintf(stderr, "wisam: export-pg: %s\n", problem.c_str()), kExitUsage;
    const std::string what = "export-pg " + name;
    SchemaScan scan;
    if (const int status = scan.open(what, name, schemaPath, index, std::nullopt, std::nullopt); status != kExitOk) {
        return status;
    }
    const Schema &schema = scan.schema();
    for (const Field &field : schema.fields) {
        problem = nameProblem("field", field.name, true);
        if (!problem.empty()) return failWith(what + ": schema " + schemaPath + ": " + problem);
    }
    const SchemaIndex *primary = primaryKey(schema);
    // The file's and the schema's names stay out of the comment: psql ends
    // a comment at a line end and runs what follows.
    std::string script = "-- written by wisam export-pg\nBEGIN;\nCREATE TABLE " + identifier(table) + " (\n";
    std::string names;
    for (const Field &field : schema.fields) {
        script += "    " + identifier(field.name) + " " + pgType(field) + (field.nullable() ? "" : " NOT NULL") + ",\n";
        names += (names.empty() ? "" : ", ") + identifier(field.name);
    }
    if (primary != nullptr) {
        script += "    PRIMARY KEY (" + columns(schema, *primary, false) + ")\n";
    } else {
        script.erase(script.size() - 2, 1);  // the last comma
    }
    script += ");\nCOPY " + identifier(table) + " (" + names + ") FROM STDIN;\n";
    outBytes(script.data(), script.size());

    const auto start = std::chrono::steady_clock::now();
    Progress progress("exported", scan.recordCount(), "rows");
    std::vector<Value> values;
    std::string line;
    long count = 0;
    while (!outputFailed() && scan.next()) {
        line.clear();
        bool ok = scan.decode(values, error);
        for (size_t i = 0; ok && i < values.size(); ++i) {
            if (i > 0) line += '\t';
            if (!copyValue(values[i], line, error)) {
                error = "record " + std::to_string(isRecnum(scan.file())) + ", field '" + schema.fields[i].name + "': " + error;
                ok = false;
            }
        }
        if (!ok) {
            progress.finish();
            return failWith(what + ": " + error + "; stopped after " + std::to_string(count) + " rows");
        }
        line += '\n';
        outBytes(line.data(), line.size());
        progress.tick(++count);
    }
    progress.finish();
    script = "\\.\n";
    // Indexes share the table's namespace with it.
    std::set<std::string> taken{table};
    for (const SchemaIndex &i : schema.indexes) {
        if (&i == primary) continue;
        script += std::string("CREATE ") + (i.unique ? "UNIQUE " : "") + "INDEX " +
                  identifier(indexName(table, i.number, taken)) + " ON " + identifier(table) + " (" +
                  columns(schema, i, true) + ");\n";
    }
    script += "COMMIT;\n";
    outBytes(script.data(), script.size());
    const int status = scan.finish(count);
    if (status != kExitOk) return status;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "%ld rows exported to table %s in %.2f s (%.0f rows/s)\n", count, table.c_str(), seconds,
                 seconds > 0 ? static_cast<double>(count) / seconds : 0.0);
    return kExitOk;
}

}  // namespace wisam::tool
