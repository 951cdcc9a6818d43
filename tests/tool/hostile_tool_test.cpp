// hostile_tool_test.cpp - the wisam tool refuses input made to hurt it: JSON
// nested deep or naming a member twice, CSV fields far longer than a record
// can need, byte-order marks, and names that would break out of the script
// export-pg writes.  Every refusal is short and says what was refused; the
// file keeps what it held.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "tool/toolrun.h"

namespace wisam::testing {
namespace {

constexpr const char *kSchema = R"({"record_length": 16, "fields": [
    {"name": "id", "offset": 0, "length": 4, "type": "long"},
    {"name": "name", "offset": 4, "length": 8, "type": "char", "pad": "blank"},
    {"name": "n", "offset": 12, "length": 2, "type": "int"}],
  "indexes": [{"number": 1, "unique": true, "parts": ["id"]},
              {"number": 2, "parts": ["name"]}, {"number": 3, "parts": ["n", "id"]}]})";

// No refusal quotes more than a short excerpt of what it refuses.
constexpr size_t kLongestMessage = 400;

std::string nested(int depth) { return std::string(static_cast<size_t>(depth), '[') + std::string(static_cast<size_t>(depth), ']'); }

std::string row(const std::string &name) { return R"({"id":1,"name":)" + name + R"(,"n":2})"; }

struct LoadCase {
    std::string format, input;
    int status;
    std::string message;  // a part of standard error; for status 0 the whole
};

TEST(HostileToolTest, LoadRefusesHostileRowsShortlyAndLoadsNothing) {
    const std::string bom = "\xEF\xBB\xBF";
    std::string longArray = "1";
    for (int i = 0; i < 20000; ++i) longArray += ",1";
    const std::string csvDigits = "id,name,n\n" + std::string(4000, '7') + ",a,1\n";
    const std::vector<LoadCase> cases = {
        // Nesting: 64 containers are read (and then refused as no record),
        // one more is refused while parsing, so are 70 000.
        {"json", nested(64), 1, "element 1: not a JSON object"},
        {"json", nested(65), 1, "refused JSON: values nested more than 64 deep"},
        {"json", nested(70000), 1, "refused JSON: values nested more than 64 deep"},
        {"jsonl", row(nested(63)) + "\n", 1, "line 1, field 'name': [[[[[[[[[["},
        {"jsonl", row(nested(64)) + "\n", 1, "line 1: refused JSON: values nested more than 64 deep"},
        {"jsonl", row("\"a\"") + "\n" + row(nested(20000)) + "\n", 1, "line 2: refused JSON: values nested more than 64 deep"},
        // A line longer than any record's JSON is refused before it is parsed.
        {"jsonl", row("\"a\"") + "\n" + row(nested(50000)) + "\n", 1, "line 2: longer than 53530 bytes"},
        {"json", "[" + row("{\"a\":" + nested(70000) + "}") + "]", 1, "refused JSON: values nested more than 64 deep"},
        // A long value is quoted by its start only.
        {"jsonl", row("[" + longArray + "]") + "\n", 1, "line 1, field 'name': [1,1,1,1,1,1"},
        {"jsonl", row("\"" + std::string(300, 'x') + "\"") + "\n", 1, "field 'name': a text of 300 bytes does not fit in 8"},
        {"csv", csvDigits, 1, "row 1 (line 2), field 'id': '77777777777777777777"},
        {"csv", "id,name,n,\"" + std::string(5000, 'q') + "\"\n", 1, "reading CSV: line 1: a field longer than 4096 bytes"},
        // A member named twice, in a record and in a nested object.
        {"jsonl", R"({"id":1,"name":"a","id":2,"n":1})" "\n", 1, "line 1: refused JSON: the member \"id\" is named twice in one object"},
        {"json", R"([{"id":1,"name":"a","n":1},{"id":2,"name":{"x":1,"x":2},"n":1}])", 1,
         "refused JSON: the member \"x\" is named twice in one object"},
        {"jsonl", R"({"id":1,"name":"a","n":1,"n\u0000":1,"n\u0000":2})" "\n", 1, "the member \"n\\u0000\" is named twice"},
        // The same name in two objects is no repeat.
        {"json", R"([{"id":1,"name":"a","n":1},{"id":2,"name":"b","n":1}])", 0, "2 records loaded into f\n"},
        // A byte-order mark before the input is skipped, nowhere else.
        {"csv", bom + "id,name,n\n1,a,1\n", 0, "1 records loaded into f\n"},
        {"json", bom + "[" + row("\"a\"") + "]", 0, "1 records loaded into f\n"},
        {"jsonl", bom + row("\"a\"") + "\n" + row("\"b\"").replace(6, 1, "2") + "\n", 0, "2 records loaded into f\n"},
        {"jsonl", bom + "\n" + row("\"a\"") + "\n", 0, "1 records loaded into f\n"},
        {"csv", "id,name,n\n" + bom + "1,a,1\n", 1, "row 1 (line 2), field 'id': '\xEF\xBB\xBF" "1' is not a whole number"},
        {"csv", bom + bom + "id,name,n\n", 1, "line 1 (the header): '\xEF\xBB\xBFid' is no field of the schema"},
        {"csv", "id,name,n,\x1b[2J\n", 1, "line 1 (the header): '\\x1b[2J' is no field of the schema"},
    };
    for (const LoadCase &c : cases) {
        SCOPED_TRACE(c.format + ": " + c.message);
        TempDir dir;
        writeText(dir.file("s.json"), kSchema);
        ASSERT_EQ(runTool(dir, {"create", "f", "--schema", "s.json"}).status, 0);
        const ToolRun run = runTool(dir, {"load", "f", "--schema", "s.json", "--format", c.format}, c.input);
        EXPECT_EQ(run.status, c.status) << run.err.substr(0, 300);
        EXPECT_LE(run.err.size(), kLongestMessage) << run.err.substr(0, 300);
        if (c.status == 0) {
            EXPECT_EQ(run.err, c.message);
            continue;
        }
        EXPECT_EQ(run.err.rfind("wisam: load f: ", 0), 0u) << run.err;
        EXPECT_TRUE(contains(run.err, c.message)) << run.err.substr(0, 300);
        EXPECT_TRUE(contains(run.err, "; nothing was loaded\n")) << run.err.substr(0, 300);
        EXPECT_EQ(runTool(dir, {"dump", "f", "--raw"}).out, "");
    }
}

// The limits are told where names and rows are described.
TEST(HostileToolTest, HelpTellsTheLimits) {
    TempDir dir;
    const std::string help = runTool(dir, {"--help"}).out;
    for (const char *told : {"nested more than 64 deep", "naming a member twice", "byte-order mark",
                             "there is taken from the working directory"}) {
        EXPECT_TRUE(contains(help, told)) << told;
    }
    EXPECT_TRUE(contains(runTool(dir, {"export-pg", "--help"}).out, "longer than PostgreSQL's 63"));
}

// A field far longer than any the schema holds is refused while it is read:
// with room for a few times the longest row, not for the field.
TEST(HostileToolTest, AHugeCsvFieldIsRefusedWithBoundedMemory) {
    constexpr size_t kHuge = 48 << 20;
    constexpr size_t kAddressSpace = 160 << 20;
    const auto many = [&](const std::string &piece) {
        std::string text;
        while (text.size() < kHuge) text += piece;
        return text;
    };
    const std::vector<std::pair<std::string, std::string>> inputs = {
        {"id,name,n\n1,\"" + many(std::string(999, 'x') + "\n") + "\",1\n", "line 2: a field longer than 4096 bytes"},
        {"id,name,n\n1,\"" + many("\n") + "\",1\n", "line 2: a field longer than 4096 bytes"},
        {"id,name,n\n1," + std::string(kHuge, 'x') + ",1\n", "line 2: longer than 24587 bytes"},
    };
    TempDir dir;
    writeText(dir.file("s.json"), kSchema);
    ASSERT_EQ(runTool(dir, {"create", "f", "--schema", "s.json"}).status, 0);
    // The limit leaves room for the tool itself.
    ASSERT_EQ(runTool(dir, {"load", "f", "--schema", "s.json"}, "id,name,n\n1,a,1\n", "", kAddressSpace).status, 0);
    for (const auto &[input, message] : inputs) {
        const ToolRun run = runTool(dir, {"load", "f", "--schema", "s.json"}, input, "", kAddressSpace);
        EXPECT_EQ(run.status, 1) << message;
        EXPECT_TRUE(contains(run.err, "wisam: load f: reading CSV: " + message)) << run.err.substr(0, 300);
        EXPECT_LE(run.err.size(), kLongestMessage);
    }
    EXPECT_EQ(runTool(dir, {"dump", "f", "--schema", "s.json"}).out, "id,name,n\n1,a,1\n");
}

// Schemas are JSON too: nesting and repeated members are refused, and
// create makes no file.
TEST(HostileToolTest, HostileSchemasAreRefused) {
    const std::string head = R"({"record_length": 16, "fields": [{"name": "id", "offset": 0, "length": 4, "type": "long")";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {head + R"(}], "record_length": 8})", "refused JSON: the member \"record_length\" is named twice in one object"},
        {head + R"(, "type": "char"}]})", "refused JSON: the member \"type\" is named twice in one object"},
        {head + R"(}], "comment": )" + nested(70000) + "}", "refused JSON: values nested more than 64 deep"},
        {"\xEF\xBB\xBF" + head + R"(, "length": 5}]})", "refused JSON: the member \"length\" is named twice in one object"},
    };
    for (const auto &[text, message] : cases) {
        TempDir dir;
        writeText(dir.file("s.json"), text);
        const ToolRun run = runTool(dir, {"create", "f", "--schema", "s.json"});
        EXPECT_EQ(run.status, 1) << message;
        EXPECT_EQ(run.err, "wisam: create f: schema s.json: " + message + "\n");
        EXPECT_EQ(listDir(dir), std::vector<std::string>{"s.json"});
    }
}

struct NameCase {
    std::vector<std::string> args;  // after export-pg
    int status;
    std::string message;
};

// Names that cannot be written into the script as they are stop export-pg
// before it writes anything, shown escaped.
TEST(HostileToolTest, ExportPgRefusesNamesItCannotQuote) {
    TempDir dir;
    writeText(dir.file("s.json"), kSchema);
    ASSERT_EQ(runTool(dir, {"create", "f", "--schema", "s.json"}).status, 0);
    // The same layout under other names: the file takes any.
    const auto renamed = [&](const std::string &file, const std::string &name) {
        std::string text = kSchema;
        text.replace(text.find("\"name\": \"n\""), 11, "\"name\": \"" + name + "\"");
        text.replace(text.find("[\"n\", \"id\"]"), 11, "[\"" + name + "\", \"id\"]");
        writeText(dir.file(file), text);
    };
    renamed("nul.json", "n\\u0000x");
    renamed("line.json", "n\\nDROP TABLE t; --");
    renamed("long.json", std::string(64, 'n'));
    renamed("c1.json", "n\\u0085");
    const std::string name63(63, 't'), name64(64, 't');
    const std::vector<NameCase> cases = {
        {{"a\nb", "--schema", "s.json"}, 2, "wisam: export-pg: the file name \"a\\nb\" holds a control character"},
        {{"f\n\\! touch pwned\nDROP TABLE t;\n", "--schema", "s.json", "--table", "t"}, 2,
         "the file name \"f\\n\\! touch pwned\\nDROP TABLE t;\\n\" holds a control character"},
        {{"f", "--schema", "s.json", "--table", "x\ty"}, 2, "the table name \"x\\ty\" holds a control character"},
        {{"f", "--schema", "s.json", "--table", "x\xff"}, 2, "the table name \"x\\xff\" holds a control character or is not UTF-8"},
        {{"f", "--schema", "s.json", "--table", "x\xc2\x9b"}, 2, "the table name \"x\\xc2\\x9b\" holds a control character"},
        {{"f", "--schema", "s.json", "--table", name64}, 2, "is 64 bytes; PostgreSQL names hold at most 63"},
        {{name64, "--schema", "s.json"}, 2, "is 64 bytes; PostgreSQL names hold at most 63 (give one with --table)"},
        {{"f", "--schema", "nul.json"}, 1, "wisam: export-pg f: schema nul.json: field"},
        {{"f", "--schema", "line.json"}, 1, "wisam: export-pg f: schema line.json: field"},
        {{"f", "--schema", "c1.json"}, 1, "wisam: export-pg f: schema c1.json: field"},
        {{"f", "--schema", "long.json"}, 1, "wisam: export-pg f: schema long.json: field \"" + std::string(64, 'n') + "\" is 64 bytes"},
        // Quotes and semicolons are nothing to refuse: they are quoted.
        {{"f", "--schema", "s.json", "--table", name63}, 0, "0 rows exported to table " + name63},
        {{"f", "--schema", "s.json", "--table", "x\"; DROP TABLE t; --"}, 0, "0 rows exported to table x\"; DROP"},
    };
    for (const NameCase &c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> args = {"export-pg"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = runTool(dir, args);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_TRUE(contains(run.err, c.message)) << run.err;
        EXPECT_LE(run.err.size(), kLongestMessage);
        if (c.status != 0) {
            EXPECT_EQ(run.out, "") << "a refused export writes no script";
        } else {
            EXPECT_EQ(run.out.rfind("-- written by wisam export-pg\nBEGIN;\n", 0), 0u) << run.out;
        }
    }
}

// The names of indexes stay within PostgreSQL's 63 bytes, distinct from each
// other and from the table, and never cut a character in two.
TEST(HostileToolTest, ExportPgIndexNamesFitAndDiffer) {
    TempDir dir;
    std::string schema = kSchema;
    const std::string more = R"(, {"number": 4, "parts": ["n"]}, {"number": 5, "parts": ["name", "n"]}, {"number": 6, "parts": ["id", "n"]}, {"number": 7, "parts": ["n", "name"]}, {"number": 8, "parts": ["name", "id"]}, {"number": 9, "parts": ["id", "name"]}, {"number": 10, "parts": ["n", "name", "id"]}, {"number": 11, "parts": [{"field": "n", "descending": true}]}]})";
    schema.replace(schema.rfind("]}"), 2, more);
    writeText(dir.file("s.json"), schema);
    ASSERT_EQ(runTool(dir, {"create", "f", "--schema", "s.json"}).status, 0);
    const std::string e = "\xc3\xa9";  // two bytes of UTF-8
    std::vector<std::string> tables = {"t", std::string(58, 'a'), std::string(60, 'a'), std::string(61, 'a'),
                                       std::string(62, 'a'), std::string(63, 'a'), std::string(61, 'a') + "_2",
                                       std::string(60, 'a') + "_11", std::string(59, 'a') + "_2_1"};
    std::string wide;
    while (wide.size() + e.size() <= 63) wide += e;
    tables.push_back(wide);
    tables.push_back("x" + wide.substr(0, 60));
    for (const std::string &table : tables) {
        SCOPED_TRACE(table);
        const ToolRun run = runTool(dir, {"export-pg", "f", "--schema", "s.json", "--table", table});
        ASSERT_EQ(run.status, 0) << run.err;
        std::set<std::string> names = {table};
        const std::string create = "INDEX \"";
        int count = 0;
        for (size_t at = run.out.find(create); at != std::string::npos; at = run.out.find(create, at + 1)) {
            const size_t start = at + create.size();
            const std::string name = run.out.substr(start, run.out.find('"', start) - start);
            ++count;
            EXPECT_LE(name.size(), 63u) << name;
            EXPECT_TRUE(names.insert(name).second) << name << " is taken";
            EXPECT_NE(static_cast<unsigned char>(name.back()) & 0xC0, 0x80u) << name;
            if (table.size() + 4 <= 63) {
                EXPECT_EQ(name.substr(0, table.size() + 1), table + "_") << name;
            }
            for (size_t i = 0; i < name.size(); ++i) {
                // A cut leaves only whole characters: every lead byte keeps its tail.
                if ((static_cast<unsigned char>(name[i]) & 0xE0) == 0xC0) {
                    EXPECT_TRUE(i + 1 < name.size() && (static_cast<unsigned char>(name[i + 1]) & 0xC0) == 0x80) << name;
                }
            }
        }
        EXPECT_EQ(count, 10);
    }
}

}  // namespace
}  // namespace wisam::testing
