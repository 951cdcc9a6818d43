// fields_tool_test.cpp - records as fields through the wisam tool: schemas
// (create --schema, the schema command, their refusals), dump and load in
// CSV, JSON and JSON lines (round trips over random records of every field
// type with nulls and extreme values, ranges of keys, bad rows), and the
// script export-pg writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tool/toolrun.h"
#include "wisam.h"

namespace wisam::testing {
namespace {

// A record of every field type, with gaps between some fields (zeros).
constexpr int kLength = 140;
constexpr const char *kEveryType = R"({"record_length": 140,
 "fields": [
  {"name": "id",    "offset": 0,   "length": 4,  "type": "long"},
  {"name": "name",  "offset": 4,   "length": 12, "type": "char", "pad": "blank", "null": " "},
  {"name": "code",  "offset": 16,  "length": 6,  "type": "char"},
  {"name": "label", "offset": 22,  "length": 8,  "type": "string"},
  {"name": "tag",   "offset": 30,  "length": 6,  "type": "devtag"},
  {"name": "wide",  "offset": 36,  "length": 8,  "type": "wtext"},
  {"name": "wcase", "offset": 44,  "length": 4,  "type": "wnocase"},
  {"name": "wtag",  "offset": 48,  "length": 4,  "type": "wdevtag"},
  {"name": "small", "offset": 52,  "length": 2,  "type": "int", "null": -32768},
  {"name": "nshort","offset": 54,  "length": 2,  "type": "short"},
  {"name": "nlong", "offset": 56,  "length": 4,  "type": "nlong", "null": 0},
  {"name": "when",  "offset": 60,  "length": 8,  "type": "time"},
  {"name": "ratio", "offset": 68,  "length": 4,  "type": "float"},
  {"name": "price", "offset": 72,  "length": 8,  "type": "double", "null": "zero"},
  {"name": "exact", "offset": 80,  "length": 8,  "type": "double"},
  {"name": "blob",  "offset": 90,  "length": 5,  "type": "bytes", "null": 255},
  {"name": "rid",   "offset": 96,  "length": 8,  "type": "recid"},
  {"name": "fz",    "offset": 104, "length": 4,  "type": "float", "null": "zero"},
  {"name": "grp",   "offset": 110, "length": 2,  "type": "int"}],
 "indexes": [
  {"number": 1, "unique": true, "parts": ["id"]},
  {"number": 2, "parts": [{"field": "name", "descending": true}], "flags": ["compress"]},
  {"number": 3, "parts": ["grp", "id"]},
  {"number": 4, "parts": ["exact"]}]})";

struct Picker {
    std::mt19937 random{15};
    int below(int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); }
    bool chance(int percent) { return below(100) < percent; }
    template <typename T>
    T pick(std::initializer_list<T> values) {
        return values.begin()[below(static_cast<int>(values.size()))];
    }
    // Text of up to `max` bytes of ASCII, commas, quotes, line ends, tabs,
    // backslashes and two-byte UTF-8; never ending in `pad`, no NUL.
    std::string text(int max, char pad) {
        static const std::vector<std::string> pieces = {"a", "Z", "0", ",", "\"", "\n", "\r\n", "\t", "\\", " ", "\xc3\xa9", "x"};
        std::string t;
        const int want = below(max + 1);
        while (true) {
            const std::string &p = pieces[static_cast<size_t>(below(static_cast<int>(pieces.size())))];
            if (static_cast<int>(t.size() + p.size()) > want) break;
            t += p;
        }
        while (!t.empty() && t.back() == pad) t.pop_back();
        return t;
    }
};

void putText(std::string &r, int offset, int length, const std::string &text, char pad) {
    r.replace(static_cast<size_t>(offset), static_cast<size_t>(length), std::string(static_cast<size_t>(length), pad));
    r.replace(static_cast<size_t>(offset), text.size(), text);
}

void putWide(std::string &r, int offset, int length, const std::u16string &text) {
    std::u16string units(static_cast<size_t>(length / 2), u' ');
    units.replace(0, text.size(), text);
    std::memcpy(r.data() + offset, units.data(), static_cast<size_t>(length));
}

template <typename T>
void putNative(std::string &r, int offset, T value) {
    std::memcpy(r.data() + offset, &value, sizeof value);
}

// A record of kEveryType with id `id`: values drawn at random, a fifth of
// them the extremes of their type or null.
std::string everyTypeRecord(Picker &p, int32_t id) {
    std::string r(kLength, '\0');
    const bool edge = p.chance(20);
    stLong(id, r.data());
    putText(r, 4, 12, edge ? p.pick<std::string>({"", std::string(12, 'n'), "\xc3\xa9\xc3\xa9"}) : p.text(12, ' '), ' ');
    putText(r, 16, 6, p.text(6, '\0'), '\0');
    stChar(p.text(8, '\0').c_str(), r.data() + 22, 8);
    stChar(p.pick<std::string>({"", "a9", "dev10", "TAG-3z"}).c_str(), r.data() + 30, 6);
    putWide(r, 36, 8, p.pick<std::u16string>({u"", u"ab", u"\u00e9t\u00e9", u"wxyz", u"a\u4e2d"}));
    putWide(r, 44, 4, p.pick<std::u16string>({u"", u"Ab", u"q"}));
    putWide(r, 48, 4, p.pick<std::u16string>({u"", u"9", u"x1"}));
    stInt(edge ? p.pick<int>({-32768, -32767, 32767, 0}) : p.below(2000) - 1000, r.data() + 52);
    putNative<int16_t>(r, 54, edge ? p.pick<int16_t>({INT16_MIN, INT16_MAX}) : static_cast<int16_t>(p.below(100)));
    putNative<int32_t>(r, 56, edge ? p.pick<int32_t>({0, INT32_MIN, INT32_MAX}) : p.below(1 << 30) - (1 << 29));
    stTime(edge ? p.pick<uint64_t>({0, UINT64_MAX, uint64_t{1} << 63}) : p.random() * 1000003ull, r.data() + 60);
    const float floats[] = {0.0f, -0.0f, std::numeric_limits<float>::max(), std::numeric_limits<float>::lowest(),
                            std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
    stFloat(edge ? floats[p.below(8)] : std::uniform_real_distribution<float>(-1e6f, 1e6f)(p.random), r.data() + 68);
    stDblNull(std::uniform_real_distribution<double>(-1e9, 1e9)(p.random), r.data() + 72, edge ? 1 : 0);
    const double doubles[] = {-0.0, 5e-324, 1.7976931348623157e308, -std::numeric_limits<double>::infinity(), 0.1};
    stDbl(edge ? doubles[p.below(5)] : std::uniform_real_distribution<double>(-1, 1)(p.random), r.data() + 80);
    for (int i = 0; i < 5; ++i) r[static_cast<size_t>(90 + i)] = edge ? '\xff' : static_cast<char>(p.random());
    for (int i = 0; i < 8; ++i) r[static_cast<size_t>(96 + i)] = static_cast<char>(p.random());
    stFltNull(std::uniform_real_distribution<float>(1, 2)(p.random), r.data() + 104, p.chance(30) ? 1 : 0);
    stInt(p.below(10), r.data() + 110);
    return r;
}

class FieldsTest : public ::testing::Test {
protected:
    void SetUp() override { writeText(dir.file("every.json"), kEveryType); }

    // Builds NAME from the schema and writes `records` through the library.
    void makeFile(const std::string &name, const std::vector<std::string> &records, const std::string &schema = "every.json") {
        const ToolRun run = runTool(dir, {"create", name, "--schema", schema});
        ASSERT_EQ(run.status, 0) << run.err;
        IsFile *f = isOpen(dir.name(name).c_str(), ISINOUT | ISEXCLLOCK);
        ASSERT_NE(f, nullptr);
        for (const std::string &r : records) ASSERT_TRUE(isWrite(f, r.data())) << isErrno(f);
        isClose(f);
    }

    std::string dump(const std::vector<std::string> &extra, int status = 0) {
        std::vector<std::string> args = {"dump"};
        args.insert(args.end(), extra.begin(), extra.end());
        const ToolRun run = runTool(dir, args);
        EXPECT_EQ(run.status, status) << run.err;
        return status == 0 ? run.out : run.err;
    }

    TempDir dir;
};

TEST_F(FieldsTest, EveryTypeRoundTripsInEveryFormat) {
    Picker p;
    std::vector<std::string> records;
    for (int32_t i = 0; i < 300; ++i) {
        records.push_back(everyTypeRecord(p, i == 1 ? INT32_MIN : i == 2 ? INT32_MAX : i * 919 % 1000 - 500));
    }
    makeFile("a", records);
    const std::string rawA = dump({"a", "--raw", "--index", "1"});
    for (const char *format : {"csv", "json", "jsonl"}) {
        SCOPED_TRACE(format);
        const std::string text = dump({"a", "--schema", "every.json", "--format", format});
        const std::string b = std::string("b_") + format;
        ASSERT_EQ(runTool(dir, {"create", b, "--schema", "every.json"}).status, 0);
        const ToolRun load = runTool(dir, {"load", b, "--schema", "every.json", "--format", format}, text);
        ASSERT_EQ(load.status, 0) << load.err;
        EXPECT_EQ(load.err, "300 records loaded into " + b + "\n");
        EXPECT_EQ(dump({b, "--schema", "every.json", "--format", format}), text);
        // Loaded in the order of index 1, the records lie in that order.
        EXPECT_EQ(dump({b, "--raw", "--index", "0"}), rawA);
    }
    // The values as they were written, in a few spot checks of the text.
    const std::string jsonl = dump({"a", "--schema", "every.json", "--format", "jsonl"});
    for (const char *expected : {"\"id\":-2147483648", "\"id\":2147483647", "\"small\":null", "\"when\":18446744073709551615",
                                 "\"ratio\":\"NaN\"", "\"ratio\":-0.0", "\"exact\":5e-324", "\"blob\":null",
                                 "\"nlong\":2147483647", "\"exact\":\"-Infinity\"", "\"wide\":\"a\xe4\xb8\xad\""}) {
        EXPECT_TRUE(contains(jsonl, expected)) << expected;
    }
}

TEST_F(FieldsTest, RangesFollowTheChosenIndex) {
    Picker p;
    std::vector<std::string> records;
    std::vector<std::pair<int, int32_t>> byGroup;  // (grp, id): index 3's order
    for (int32_t id = 1; id <= 200; ++id) {
        records.push_back(everyTypeRecord(p, id * 3));
        byGroup.emplace_back(ldInt(records.back().data() + 110), id * 3);
    }
    makeFile("a", records);
    std::sort(byGroup.begin(), byGroup.end());
    // The ids of a dump, in its order.
    const auto ids = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--format", "jsonl"});
        std::vector<int32_t> found;
        const std::string text = dump(args), head = "{\"id\":";
        for (size_t at = text.find(head); at != std::string::npos; at = text.find(head, at + 1)) {
            found.push_back(std::stoi(text.substr(at + head.size())));
        }
        return found;
    };
    for (int round = 0; round < 12; ++round) {
        const int lo = p.below(700) - 50, hi = p.below(700) - 50;
        std::vector<int32_t> want;
        for (int32_t id = 3; id <= 600; id += 3) {
            if (id >= lo && id <= hi) want.push_back(id);
        }
        EXPECT_EQ(ids({"a", "--schema", "every.json", "--from", std::to_string(lo), "--to", std::to_string(hi)}), want) << lo << ".." << hi;
        // Two parts, bounds of one part and of both.
        const int g1 = p.below(10), g2 = p.below(10), i1 = p.below(600), i2 = p.below(600);
        std::vector<int32_t> prefix, whole;
        for (const auto &[g, id] : byGroup) {
            if (g >= g1 && g <= g2) prefix.push_back(id);
            if (std::pair(g, id) >= std::pair(g1, i1) && std::pair(g, id) <= std::pair(g2, i2)) whole.push_back(id);
        }
        EXPECT_EQ(ids({"a", "--schema", "every.json", "--index", "3", "--from", std::to_string(g1), "--to", std::to_string(g2)}), prefix);
        EXPECT_EQ(ids({"a", "--schema", "every.json", "--index", "3", "--from", std::to_string(g1) + "," + std::to_string(i1),
                       "--to", std::to_string(g2) + "," + std::to_string(i2)}),
                  whole);
    }
    // Record-number order takes record numbers; index 4 a double.
    EXPECT_EQ(ids({"a", "--schema", "every.json", "--index", "0", "--from", "5", "--to", "7"}), (std::vector<int32_t>{15, 18, 21}));
    const std::vector<int32_t> positive = ids({"a", "--schema", "every.json", "--index", "4", "--from", "0.5"});
    for (const int32_t id : positive) EXPECT_GE(ldDbl(records[static_cast<size_t>(id / 3 - 1)].data() + 80), 0.5) << id;
    EXPECT_EQ(positive.size() + ids({"a", "--schema", "every.json", "--index", "4", "--to", "0.5"}).size(), 200u);
    const std::vector<ToolCase> bad = {
        {{"dump", "a", "--schema", "every.json", "--from", "x"}, 2, "--from x: field 'id': 'x' is not a whole number"},
        {{"dump", "a", "--schema", "every.json", "--index", "3", "--to", "1,2,3"}, 2, "give 1 to 2 comma-separated values"},
        {{"dump", "a", "--hex", "--from", "1"}, 2, "--format, --from and --to need --schema"},
        {{"dump", "a", "--schema", "every.json", "--format", "xml"}, 2, "--format xml: the format is csv, json or jsonl"},
        {{"dump", "a", "--schema", "every.json", "--index", "5"}, 1, "no index 5 (the file has 4)"},
    };
    for (const ToolCase &c : bad) expectCase(dir, c);
}

// Schemas that cannot describe a record are refused with what is wrong, and
// create leaves no file.
TEST_F(FieldsTest, BadSchemasAreRefusedWithTheFieldNamed) {
    const auto schema = [](const std::string &fields, const std::string &indexes = R"([{"number": 1, "parts": ["a"]}])") {
        return R"({"record_length": 16, "fields": [)" + fields + R"(], "indexes": )" + indexes + "}";
    };
    const std::string a = R"({"name": "a", "offset": 0, "length": 4, "type": "long"})";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {schema(a + R"(, {"name": "b", "offset": 2, "length": 4, "type": "char"})"),
         "fields 'a' (offset 0, length 4) and 'b' (offset 2, length 4) overlap"},
        {schema(a + R"(, {"name": "b", "offset": 12, "length": 8, "type": "double"})"),
         "field 'b' (offset 12, length 8) runs past the record length 16"},
        {schema(R"({"name": "a", "offset": 0, "length": 3, "type": "long"})"), "field 'a': a long is 4 bytes, not 3"},
        {schema(a + R"(, {"name": "w", "offset": 4, "length": 3, "type": "wtext"})"), "field 'w': a wtext field's length must be even"},
        {schema(a + R"(, {"name": "b", "offset": 4, "length": 4, "type": "money"})"), "field 'b': \"type\" must be one of char"},
        {schema(a + ", " + a), "field 'a' is named twice"},
        {schema(a, R"([{"number": 1, "parts": ["nobody"]}])"), "index 1: part 'nobody' names no field"},
        {schema(a + R"(, {"name": "d", "offset": 4, "length": 8, "type": "double", "null": 0})"), "field 'd': \"null\" must be \"zero\""},
        {schema(a + R"(, {"name": "s", "offset": 4, "length": 2, "type": "int", "null": 40000})"), "field 's': \"null\": not a whole number from -32768 to 32767"},
        {schema(a + R"(, {"name": "c", "offset": 4, "length": 4, "type": "char", "pad": "zero"})"), "field 'c': \"pad\" is \"nul\" or \"blank\""},
        {schema(a + R"(, {"name": "c", "offset": 4, "length": 4, "type": "char", "colour": 1})"), "field 'c': unknown member \"colour\""},
        {schema(a, R"([{"number": 1, "parts": ["a"]}, {"number": 3, "parts": ["a"]}])"), "index 2 is missing"},
        {schema(a, R"([{"number": 1, "parts": ["a"], "flags": ["fast"]}])"), "index 1: unknown flag \"fast\""},
        {R"({"record_length": 16, "fields": [)", "not JSON: [json.exception.parse_error"},
        {R"({"record_length": 0, "fields": []})", "the schema: \"record_length\" must be a whole number from 1 to 32767"},
    };
    for (const auto &[text, message] : cases) {
        TempDir empty;
        writeText(empty.file("s.json"), text);
        expectCase(empty, {{"create", "f", "--schema", "s.json"}, 1, "wisam: create f: schema s.json: " + message});
        EXPECT_EQ(listDir(empty), std::vector<std::string>{"s.json"}) << message;
    }
    expectCase(dir, {{"create", "f", "--schema", "every.json", "--reclen", "9"}, 2, "--schema gives the record length"});
}

// A schema that disagrees with the file's key descriptions is refused by
// every command that reads the file through it, naming the field.
TEST_F(FieldsTest, SchemasThatDisagreeWithTheFileAreRefused) {
    makeFile("a", {});
    struct Case {
        std::string from, to, message;
    };
    const std::vector<Case> cases = {
        {R"("name",  "offset": 4,   "length": 12, "type": "char")", R"("name", "offset": 4, "length": 10, "type": "char")",
         "field 'name' (offset 4, length 10) of type char disagrees with key part 4:12:char of index 2"},
        {R"("grp",   "offset": 110, "length": 2,  "type": "int")", R"("grp", "offset": 110, "length": 2, "type": "short")",
         "field 'grp' (offset 110, length 2) of type short disagrees with key part 110:2:int of index 3"},
        {R"({"field": "name", "descending": true})", R"("name")", "index 2, field 'name': the schema makes it 4:12:char:dups"},
        {R"({"number": 1, "unique": true, "parts": ["id"]})", R"({"number": 1, "parts": ["id"]})",
         "index 1 ('id'...): the schema makes it 0:4:long:dups, the file has 0:4:long"},
        {R"("record_length": 140)", R"("record_length": 150)", "the schema's record length 150 is not the file's 140"},
        {R"({"number": 4, "parts": ["exact"]})", R"({"number": 4, "parts": ["exact"]}, {"number": 5, "parts": ["ratio"]})",
         "the schema describes index 5; the file has 4"},
    };
    for (const Case &c : cases) {
        std::string text = kEveryType;
        ASSERT_NE(text.find(c.from), std::string::npos) << c.from;
        text.replace(text.find(c.from), c.from.size(), c.to);
        writeText(dir.file("bad.json"), text);
        for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
                 {"dump", "a", "--schema", "bad.json"}, {"load", "a", "--schema", "bad.json"}, {"export-pg", "a", "--schema", "bad.json"}}) {
            expectCase(dir, {args, 1, "wisam: " + args[0] + " a: schema bad.json: " + c.message});
        }
    }
}

// A bad value stops the load before anything is written: the row, its line,
// the field and the reason; the file keeps what it held.
TEST_F(FieldsTest, BadRowsStopTheLoadAndNothingIsLoaded) {
    writeText(dir.file("small.json"), R"({"record_length": 24, "fields": [
        {"name": "id", "offset": 0, "length": 4, "type": "long"},
        {"name": "name", "offset": 4, "length": 8, "type": "char", "pad": "blank"},
        {"name": "n", "offset": 12, "length": 2, "type": "int", "null": -1},
        {"name": "x", "offset": 14, "length": 4, "type": "float"},
        {"name": "b", "offset": 18, "length": 2, "type": "bytes"}],
      "indexes": [{"number": 1, "unique": true, "parts": ["id"]}]})");
    const std::string good = "id,name,n,x,b\n1,one,,1.5,00ff\n";
    struct Case {
        std::string format, input, message;
    };
    const std::vector<Case> cases = {
        {"csv", good + "2,two,70000,1,0000\n", "row 2 (line 3), field 'n': not a whole number from -32768 to 32767"},
        {"csv", good + "2,\"tw\nlines\",1,abc,0000\n", "row 2 (line 3), field 'x': 'abc' is not a number"},
        {"csv", good + "3,three,1,1,0000\n2,twotwotwo,1,1,0000\n", "row 3 (line 4), field 'name': a text of 9 bytes does not fit in 8"},
        {"csv", good + "2,two,1,1,0g00\n", "row 2 (line 3), field 'b': '0g00' is not hexadecimal bytes"},
        {"csv", good + "2,two,1,,0000\n", "row 2 (line 3), field 'x': null, but the field has no null convention"},
        {"csv", good + "2,two,1,1\n", "row 2 (line 3): 4 fields, the header has 5"},
        {"csv", good + "2,\"two,1,1,0000\n", "reading CSV: line 3: a quoted field is not closed before the end"},
        {"csv", good + "2,t\"wo,1,1,0000\n", "reading CSV: line 3: error parsing data"},
        {"csv", "id,name,n,x\n", "line 1 (the header): field 'b' has no column"},
        {"csv", "id,name,n,x,b,c\n", "line 1 (the header): 'c' is no field of the schema"},
        {"csv", "id,name,id,x,b\n", "line 1 (the header): field 'id' is named twice"},
        {"csv", "", "the CSV input has no header row"},
        {"jsonl", R"({"id":1,"name":"a","n":1,"x":1,"b":"0000"})" "\n\n" R"({"id":2,"name":"a","n":1,"x":1})" "\n",
         "line 3, field 'b': missing"},
        {"jsonl", R"({"id":1,"name":"a","n":1,"x":1,"b":"0000","y":2})" "\n", "line 1: 'y' is no field of the schema"},
        {"jsonl", "{\"id\":1,\n", "line 1: not JSON"},
        {"jsonl", R"({"id":"1","name":"a","n":1,"x":1,"b":"0000"})" "\n", "line 1, field 'id': \"1\" is not a whole number"},
        {"jsonl", R"({"id":1,"name":5,"n":1,"x":1,"b":"0000"})" "\n", "line 1, field 'name': 5 is not a text"},
        {"jsonl", R"({"id":1.5,"name":"a","n":1,"x":1,"b":"0000"})" "\n", "line 1, field 'id': 1.5 is not a whole number"},
        {"json", R"([{"id":1,"name":"a","n":1,"x":1e39,"b":"0000"}])", "element 1, field 'x': too large for a float"},
        {"json", R"({"id":1})", "the JSON input is not an array of objects"},
        {"json", R"([{"id":1,"name":"a","n":1,"x":1,"b":"0000"}, 7])", "element 2: not a JSON object"},
    };
    makeFile("f", {}, "small.json");
    std::string before(24, '\0');
    stLong(9, before.data());
    putText(before, 4, 8, "nine", ' ');
    stInt(1, before.data() + 12);
    IsFile *f = isOpen(dir.name("f").c_str(), ISINOUT);
    ASSERT_TRUE(f != nullptr && isWrite(f, before.data()));
    isClose(f);
    for (const Case &c : cases) {
        for (const bool atomic : {false, true}) {
            std::vector<std::string> args = {"load", "f", "--schema", "small.json", "--format", c.format};
            if (atomic) args.push_back("--atomic");
            const ToolRun run = runTool(dir, args, c.input);
            EXPECT_EQ(run.status, 1) << c.message;
            EXPECT_EQ(run.err.rfind("wisam: load f: " + c.message, 0), 0u) << run.err;
            EXPECT_TRUE(contains(run.err, "; nothing was loaded\n")) << run.err;
            EXPECT_EQ(dump({"f", "--raw"}), before) << c.message;
        }
    }
    // A duplicate key is found only while writing: without --atomic the rows
    // before it stay, with it none.
    const std::string dup = good + "2,two,1,1,0000\n9,again,1,1,0000\n";
    ToolRun run = runTool(dir, {"load", "f", "--schema", "small.json", "--atomic"}, dup);
    EXPECT_EQ(run.err, "wisam: load f: stopped at record 3 (after 2 records): error 100: Duplicate record; nothing was loaded (rolled back)\n");
    EXPECT_EQ(dump({"f", "--raw"}), before);
    run = runTool(dir, {"load", "f", "--schema", "small.json"}, dup);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(dump({"f", "--schema", "small.json"}), "id,name,n,x,b\n1,one,,1.5,00ff\n2,two,1,1,0000\n9,nine,1,0,0000\n");
}

// The starting schema of a file fits it: key parts are fields, the bytes
// between them bytes fields; built again from it, the file has the same
// indexes; a file without primary key keeps that.
TEST_F(FieldsTest, TheSchemaOfAFileFitsItAndBuildsItsTwin) {
    const std::vector<std::vector<std::string>> layouts = {
        {"--reclen", "40", "--key", "0:4:long", "--key", "4:20:char:dups:compress", "--key", "30:8:double-,24:2:int:dups"},
        {"--reclen", "32", "--key", "none", "--key", "8:4:float:dups", "--key", "12:6:string,2:2:short-"},
        {"--reclen", "20", "--key", "0:8:bytes", "--key", "10:4:wtext:dups", "--key", "0:4:long"},
    };
    for (const auto &layout : layouts) {
        TempDir d;
        std::vector<std::string> create = {"create", "orig"};
        create.insert(create.end(), layout.begin(), layout.end());
        ASSERT_EQ(runTool(d, create).status, 0);
        const ToolRun schema = runTool(d, {"schema", "orig"});
        ASSERT_EQ(schema.status, 0) << schema.err;
        writeText(d.file("s.json"), schema.out);
        const ToolRun twin = runTool(d, {"create", "twin", "--schema", "s.json"});
        // Overlapping key parts (the third layout) make no field of their own.
        if (layout[1] == "20") {
            EXPECT_TRUE(contains(schema.out, "\"name\":\"key1\"") && !contains(schema.out, "\"number\":3")) << schema.out;
            EXPECT_EQ(runTool(d, {"dump", "orig", "--schema", "s.json"}).status, 0);
            continue;
        }
        ASSERT_EQ(twin.status, 0) << twin.err << schema.out;
        const auto indexLines = [&](const std::string &name) {
            std::string text = runTool(d, {"info", name}).out, lines;
            for (size_t at = text.find("  index "); at != std::string::npos; at = text.find("  index ", at + 1)) {
                lines += text.substr(at, text.find(" (key length", at) - at) + "\n";
            }
            return lines;
        };
        EXPECT_EQ(indexLines("twin"), indexLines("orig"));
        EXPECT_FALSE(indexLines("orig").empty());
        EXPECT_EQ(runTool(d, {"dump", "orig", "--schema", "s.json", "--format", "json"}).out, "[]\n");
    }
}

TEST_F(FieldsTest, ExportPgWritesTheTableTheRowsAndTheIndexes) {
    writeText(dir.file("t.json"), R"({"record_length": 32, "fields": [
        {"name": "id", "offset": 0, "length": 4, "type": "long"},
        {"name": "Name \"q\"", "offset": 4, "length": 10, "type": "char", "pad": "blank", "null": " "},
        {"name": "v", "offset": 14, "length": 8, "type": "double", "null": "zero"},
        {"name": "b", "offset": 22, "length": 2, "type": "bytes"},
        {"name": "k", "offset": 24, "length": 2, "type": "int"},
        {"name": "w", "offset": 26, "length": 6, "type": "wtext"}],
      "indexes": [{"number": 1, "unique": true, "parts": ["id"]},
                  {"number": 2, "parts": [{"field": "Name \"q\"", "descending": true}, "k"]},
                  {"number": 3, "unique": true, "parts": ["v"]}]})");
    std::string one(32, '\0'), two(32, '\0');
    stLong(2, one.data());
    putText(one, 4, 10, "tab\there", ' ');
    stDbl(-2.5, one.data() + 14);
    one[22] = '\x5c';
    stInt(-7, one.data() + 24);
    putWide(one, 26, 6, u"\u00e9\\");
    stLong(1, two.data());
    putText(two, 4, 10, "", ' ');
    stInt(32767, two.data() + 24);
    putWide(two, 26, 6, u"");
    makeFile("t", {one, two}, "t.json");
    const ToolRun run = runTool(dir, {"export-pg", "t", "--schema", "t.json", "--table", "Stock"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "-- written by wisam export-pg\nBEGIN;\nCREATE TABLE \"Stock\" (\n"
              "    \"id\" integer NOT NULL,\n"
              "    \"Name \"\"q\"\"\" varchar(10) COLLATE \"C\",\n"
              "    \"v\" double precision,\n"
              "    \"b\" bytea NOT NULL,\n"
              "    \"k\" smallint NOT NULL,\n"
              "    \"w\" varchar(3) COLLATE \"C\" NOT NULL,\n"
              "    PRIMARY KEY (\"id\")\n);\n"
              "COPY \"Stock\" (\"id\", \"Name \"\"q\"\"\", \"v\", \"b\", \"k\", \"w\") FROM STDIN;\n"
              "1\t\\N\t\\N\t\\\\x0000\t32767\t\n"
              "2\ttab\\there\t-2.5\t\\\\x5c00\t-7\t\xc3\xa9\\\\\n"
              "\\.\n"
              "CREATE INDEX \"Stock_2\" ON \"Stock\" (\"Name \"\"q\"\"\" DESC, \"k\");\n"
              "CREATE UNIQUE INDEX \"Stock_3\" ON \"Stock\" (\"v\");\n"
              "COMMIT;\n");
    EXPECT_TRUE(contains(run.err, "2 rows exported to table Stock in ")) << run.err;
    // A text PostgreSQL cannot hold stops the export, naming record and field.
    std::string nul = one;
    stLong(3, nul.data());
    nul[6] = '\0';
    stDbl(1, nul.data() + 14);
    makeFile("n", {nul}, "t.json");
    expectCase(dir, {{"export-pg", "n", "--schema", "t.json"}, 1,
                     "wisam: export-pg n: record 1, field 'Name \"q\"': PostgreSQL text cannot hold a NUL character; stopped after 0 rows"});
    // create --schema kept t.json with n: without it, --schema is needed.
    expectCase(dir, {{"export-pg", "n"}, 1, "stopped after 0 rows"});
    ASSERT_EQ(runTool(dir, {"schema", "n", "--drop"}).status, 0);
    expectCase(dir, {{"export-pg", "n"}, 2, "export-pg needs --schema (no schema is kept with n)"});
}

}  // namespace
}  // namespace wisam::testing
