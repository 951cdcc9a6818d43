// pgexport.cpp - export-pg: a file as a PostgreSQL table, for when its users
// outgrow one machine.  Writes a script for psql: CREATE TABLE with a column
// a field, COPY ... FROM STDIN with the rows in COPY's text format, then the
// indexes (building them after the rows is faster), all in one transaction.
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "formats.h"

namespace wisam::tool {

namespace {

constexpr const char *kExportHelp =
    "usage: wisam export-pg NAME --schema S.json [--table T] [--index K]\n"
    "  writes to standard output a script for psql that creates table T (the\n"
    "  base name of NAME by default) with a column a field of the schema, copies\n"
    "  every record into it (in the order of index K, 1 by default) and creates\n"
    "  the schema's indexes: the first unique one whose fields are never null as\n"
    "  the primary key, the others with CREATE [UNIQUE] INDEX T_N.  Text columns\n"
    "  use the \"C\" collation, so that they sort as the file's keys do.\n"
    "    wisam export-pg people --schema people.json | psql -v ON_ERROR_STOP=1 DB\n";

std::string identifier(const std::string &name) {
    std::string quoted = "\"";
    for (const char c : name) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
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
            return usage(error.empty() ? "unexpected argument '" + args[i] + "'" : error, kExportHelp);
        }
    }
    if (schemaPath.empty()) return usage("export-pg needs --schema", kExportHelp);
    const std::string what = "export-pg " + name;
    SchemaScan scan;
    if (const int status = scan.open(what, name, schemaPath, index, std::nullopt, std::nullopt); status != kExitOk) {
        return status;
    }
    const Schema &schema = scan.schema();
    const SchemaIndex *primary = primaryKey(schema);
    std::string script = "-- wisam export-pg " + name + "\nBEGIN;\nCREATE TABLE " + identifier(table) + " (\n";
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
    for (const SchemaIndex &i : schema.indexes) {
        if (&i == primary) continue;
        script += std::string("CREATE ") + (i.unique ? "UNIQUE " : "") + "INDEX " +
                  identifier(table + "_" + std::to_string(i.number)) + " ON " + identifier(table) + " (" +
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
