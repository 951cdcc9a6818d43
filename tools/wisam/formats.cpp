// formats.cpp - records as rows of field values: dump and load through a
// schema in CSV, a JSON array or JSON lines.
#include "formats.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <tuple>

#include "csv.h"
#include "json.h"

namespace wisam::tool {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char *kFormats[] = {"csv", "json", "jsonl"};
constexpr int kKeepShared = 1;  // isSetCustomLock requests
constexpr int kEndKept = 0;

std::string fieldName(const Field &field) { return "field '" + field.name + "'"; }

// The longest text a number is written with: far more digits than a value
// needs (a double's exact decimal expansion runs to some 770), never so many
// that holding one costs anything.
constexpr size_t kLongestNumberText = 4096;

// The most bytes a field's value takes as text: the longest CSV field, and
// with JSON's escapes the longest JSON line, that a record of the schema can
// need.  Longer input is refused before it is held.
size_t longestText(const Field &field) {
    const auto length = static_cast<size_t>(field.length);
    switch (field.type) {
    case FieldType::Char:
    case FieldType::String:
    case FieldType::Devtag: return length;
    case FieldType::Wtext:
    case FieldType::Wnocase:
    case FieldType::Wdevtag: return length / 2 * 3;  // a UTF-16 unit is at most 3 bytes of UTF-8
    case FieldType::Bytes:
    case FieldType::Recid: return 2 * length;  // hexadecimal
    default: return kLongestNumberText;
    }
}

// The longest CSV field: a value, or a field name in the header.
size_t longestCsvField(const Schema &schema) {
    size_t longest = kLongestNumberText;
    for (const Field &f : schema.fields) longest = std::max({longest, longestText(f), f.name.size()});
    return longest;
}

// The longest CSV line: every field quoted with each byte a doubled quote,
// commas between and a line end.
size_t longestCsvLine(const Schema &schema) {
    return schema.fields.size() * (2 * longestCsvField(schema) + 3) + 2;
}

// The longest JSON line: every member's name and value with each byte as a
// \u escape (6 bytes), and room for quotes, colons, commas and blanks.
size_t longestJsonLine(const Schema &schema) {
    size_t longest = 4096;
    for (const Field &f : schema.fields) longest += 6 * (f.name.size() + longestText(f)) + 64;
    return longest;
}

}  // namespace

bool schemaOption(const Args &args, size_t &i, std::string &schema, std::string &format, std::string &error) {
    if (args[i] != "--schema" && args[i] != "--format") return false;
    if (i + 1 >= args.size()) {
        error = args[i] + " needs a value";
        return false;
    }
    const std::string &value = args[++i];
    if (args[i - 1] == "--schema") {
        schema = value;
        return true;
    }
    for (const char *known : kFormats) {
        if (value == known) return format = value, true;
    }
    error = "--format " + value + ": the format is csv, json or jsonl";
    return false;
}

// ---------------------------------------------------------------------------
// Reading through a schema

int SchemaScan::open(const std::string &what, const std::string &name, const std::string &schemaPath, long index,
                     const std::optional<std::string> &from, const std::optional<std::string> &to) {
    what_ = what;
    std::string error;
    if (!readSchemaFile(schemaPath, schema_, error)) return failWith(what + ": " + error);
    // The whole scan under one kept shared lock: no call takes the lock on its
    // own, the cached blocks stay valid, and what is read is one state of the
    // file (writers wait until the end).
    isFileCacheActive = 1;
    file_.reset(openFile(name, ISINPUT | ISOPENVARLEN, what));
    IsFile *f = file_.get();
    if (f == nullptr) return openFailed();
    if (!isSetCustomLock(f, kKeepShared) || !fileIndexes(f, indexes_)) return fail(what, f);
    if (indexes_.shape.variable()) {
        return failWith(what + ": " + name + " holds variable-length records; a schema describes fixed-length ones");
    }
    if (!schemaFitsFile(schema_, f, error)) return failWith(what + ": schema " + schemaPath + ": " + error);
    if (index > indexes_.shape.info.indexCount) {
        return failWith(what + ": no index " + std::to_string(index) + " (the file has " +
                        std::to_string(indexes_.shape.info.indexCount) + ")");
    }
    const int n = static_cast<int>(index);
    libraryIndex_ = n > 0 && indexes_.real(n) ? indexes_.libraryNumber(n) : 0;
    if (!isIndex(f, libraryIndex_) || (libraryIndex_ > 0 && !isIndexInfo(f, &key_, n))) return fail(what, f);
    record_.assign(static_cast<size_t>(schema_.recordLength) + 1, 0);
    keyBuffer_.assign(IS_MAX_KEY_LENGTH, 0);
    if (libraryIndex_ == 0) {
        // Record-number order: the range is of record numbers.
        for (const auto &[bound, option, number] : {std::tuple{&from, "--from", &fromRecnum_}, std::tuple{&to, "--to", &toRecnum_}}) {
            if (!*bound) continue;
            long value = 0;
            Args arg{label_.empty() ? option : label_, **bound};
            size_t i = 0;
            if (!numberArg(arg, i, 1, INT32_MAX, value, error)) return usage(error, "");
            *number = static_cast<int32_t>(value);
        }
        return kExitOk;
    }
    if (to) {
        std::vector<unsigned char> bound(record_.size(), 0);
        if (!rangeKey(label_.empty() ? "--to" : label_, *to, bound, toPrefix_, error)) return usage(error, "");
        toKey_.assign(IS_MAX_KEY_LENGTH, 0);
        customKeyMake(f, toKey_.data(), bound.data(), libraryIndex_ - 1);
        hasTo_ = true;
    }
    if (from) {
        int prefix = 0;
        std::vector<unsigned char> bound(record_.size(), 0);
        if (!rangeKey(label_.empty() ? "--from" : label_, *from, bound, prefix, error)) return usage(error, "");
        mode_ = modeNext;
        if (!isStart(f, &key_, prefix, bound.data(), modeGreaterEqual)) {
            if (isErrno(f) != ENOREC) return fail(what, f);
            ended_ = true;  // nothing at or after it
        }
    }
    return kExitOk;
}

bool SchemaScan::rangeKey(const std::string &option, const std::string &text, std::vector<unsigned char> &record,
                          int &prefix, std::string &error) {
    std::vector<std::optional<std::string>> values;
    std::string csvError;
    int rows = 0;
    readCsvText(text, [&](const CsvRow &row) { return values = row.fields, ++rows; }, csvError);
    if (!csvError.empty() || rows != 1 || values.empty() || values.size() > static_cast<size_t>(key_.partCount)) {
        error = option + " " + text + ": give 1 to " + std::to_string(key_.partCount) +
                " comma-separated values of the key's fields" + (csvError.empty() ? "" : " (" + csvError + ")");
        return false;
    }
    prefix = 0;
    for (size_t p = 0; p < values.size(); ++p) {
        const KeyPart &part = key_.parts[p];
        const Field *field = nullptr;
        for (const Field &f : schema_.fields) {
            if (f.offset == part.start && f.length == part.length) field = &f;
        }
        if (field == nullptr) {
            error = option + ": key part " + std::to_string(p + 1) + " (offset " + std::to_string(part.start) +
                    ", length " + std::to_string(part.length) + ") is no field of the schema";
            return false;
        }
        Value value;
        if (!parseValueText(*field, values[p].value_or(""), !values[p], value, error) ||
            !encodeField(*field, value, record.data(), error)) {
            error = option + " " + text + ": " + fieldName(*field) + ": " + error;
            return false;
        }
        prefix += part.length;
    }
    return true;
}

bool SchemaScan::pastEnd() {
    IsFile *f = file_.get();
    if (libraryIndex_ == 0) return isRecnum(f) > toRecnum_;
    if (!hasTo_) return false;
    customKeyMake(f, keyBuffer_.data(), record_.data(), libraryIndex_ - 1);
    return customKeyCmp(f, keyBuffer_.data(), toKey_.data(), toPrefix_, libraryIndex_ - 1) > 0;
}

bool SchemaScan::next() {
    IsFile *f = file_.get();
    while (!ended_) {
        if (!isRead(f, record_.data(), mode_)) return false;
        mode_ = modeNext;
        if (libraryIndex_ == 0 && isRecnum(f) < fromRecnum_) continue;
        if (pastEnd()) break;
        return true;
    }
    ended_ = true;
    return false;
}

bool SchemaScan::decode(std::vector<Value> &values, std::string &error) const {
    values.resize(schema_.fields.size());
    for (size_t i = 0; i < values.size(); ++i) {
        if (!decodeField(schema_.fields[i], record_.data(), values[i], error)) {
            error = "record " + std::to_string(isRecnum(file_.get())) + ", " + fieldName(schema_.fields[i]) + ": " + error;
            return false;
        }
    }
    return true;
}

int SchemaScan::finish(long count) {
    IsFile *f = file_.get();
    if (outputFailed() || !finishOutput(what_)) {
        std::fprintf(stderr, "wisam: %s: stopped after %ld records\n", what_.c_str(), count);
        return kExitFailed;
    }
    if (!ended_ && isErrno(f) != EENDFILE) return fail(what_ + ": after " + std::to_string(count) + " records", f);
    if (!isSetCustomLock(f, kEndKept)) return fail(what_ + ": ending the kept lock", f);
    if (!file_.close(what_)) return kExitFailed;
    return kExitOk;
}

// ---------------------------------------------------------------------------
// dump --schema

int dumpFields(const std::string &name, long index, const std::string &schemaPath, const std::string &format,
               const std::optional<std::string> &from, const std::optional<std::string> &to, long *written,
               const std::string &command) {
    const std::string what = command + " " + name;
    SchemaScan scan;
    if (command != "dump") scan.labelRange("KEY");
    if (const int status = scan.open(what, name, schemaPath, index, from, to); status != kExitOk) return status;
    const std::vector<Field> &fields = scan.schema().fields;
    // A dump writes its header (or the array's bracket) whatever follows; a
    // get only before a record it found, so that finding none writes nothing.
    const bool headFirst = written == nullptr;
    const auto head = [&] {
        if (format == "csv") {
            std::string header;
            for (const Field &f : fields) header += (header.empty() ? "" : ",") + csvField(f.name, false);
            header += "\n";
            outBytes(header.data(), header.size());
        } else if (format == "json") {
            out("[");
        }
    };
    if (headFirst) head();
    Progress progress("dumped", scan.recordCount());
    std::vector<Value> values;
    std::string line, error;
    long count = 0;
    while (!outputFailed() && scan.next()) {
        if (!scan.decode(values, error)) {
            progress.finish();
            return failWith(what + ": " + error + "; stopped after " + std::to_string(count) + " records");
        }
        line.clear();
        if (count == 0 && !headFirst) head();
        if (format == "csv") {
            for (size_t i = 0; i < values.size(); ++i) {
                if (i > 0) line += ',';
                line += csvField(valueText(values[i]), values[i].kind == Value::Null);
            }
        } else {
            Json object = Json::object();
            for (size_t i = 0; i < values.size(); ++i) object[fields[i].name] = valueJson(values[i]);
            if (format == "json") line = count == 0 ? "\n" : ",\n";
            line += object.dump();
        }
        if (format != "json") line += '\n';
        outBytes(line.data(), line.size());
        progress.tick(++count);
    }
    progress.finish();
    if (format == "json" && (headFirst || count > 0)) out("%s]\n", count == 0 ? "" : "\n");
    const int status = scan.finish(count);
    if (written != nullptr) {
        *written = count;
    } else if (status == kExitOk) {
        std::fprintf(stderr, "%ld records\n", count);
    }
    return status;
}

// ---------------------------------------------------------------------------
// load --schema

namespace {

// A stream that reads `in` and counts the bytes on `progress` (when there
// is one), so that reading and checking the whole input before anything is
// written shows on the progress line.  file() is null without a progress
// line, or when the stream cannot be made: then `in` is read as it is.
class CountedInput {
public:
    CountedInput(FILE *in, Progress *progress) : in_(in), progress_(progress) {
        if (progress_ == nullptr) return;
        const cookie_io_functions_t functions = {&CountedInput::read, nullptr, nullptr, nullptr};
        file_ = fopencookie(this, "r", functions);
    }
    ~CountedInput() {
        if (file_ != nullptr) std::fclose(file_);
    }
    CountedInput(const CountedInput &) = delete;
    CountedInput &operator=(const CountedInput &) = delete;
    FILE *file() const { return file_; }

private:
    static ssize_t read(void *cookie, char *to, size_t size) {
        auto *self = static_cast<CountedInput *>(cookie);
        const size_t got = std::fread(to, 1, size, self->in_);
        if (got == 0 && std::ferror(self->in_)) return -1;
        self->bytes_ += static_cast<int64_t>(got);
        self->progress_->tick(self->bytes_);
        return static_cast<ssize_t>(got);
    }

    FILE *in_;
    Progress *progress_;
    FILE *file_ = nullptr;
    int64_t bytes_ = 0;
};

// The rows of standard input, every one encoded before the first record is
// written, so that a bad value leaves the file as it was.
class FieldSource : public RecordSource {
public:
    FieldSource(std::string schemaPath, std::string format, FILE *input = stdin)
        : schemaPath_(std::move(schemaPath)), format_(std::move(format)), input_(input) {}

    // The rows are read through the schema kept with file `name`: a refusal
    // of the input says how raw records are loaded instead.
    void noteKept(const std::string &name) {
        keptNote_ = " (rows through the schema kept with " + name + "; --format raw loads raw records)";
    }

    bool prepare(IsFile *f, const RecordShape &shape, std::string &why) override {
        if (!readSchemaFile(schemaPath_, schema_, why)) return false;
        if (shape.variable()) return why = "the file holds variable-length records; a schema describes fixed-length ones", false;
        if (!schemaFitsFile(schema_, f, why)) return why = "schema " + schemaPath_ + ": " + why, false;
        length_ = static_cast<size_t>(schema_.recordLength);
        // The input is read through a counter of its bytes for the progress line.
        CountedInput counted(input_, progress);
        FILE *const original = input_;
        if (counted.file() != nullptr) input_ = counted.file();
        const bool read = format_ == "csv" ? readCsvRows(why) : format_ == "jsonl" ? readJsonLines(why) : readJsonArray(why);
        input_ = original;
        if (!read) why += keptNote_;
        return read;
    }
    int64_t total(const RecordShape &) override { return static_cast<int64_t>(records_.size() / length_); }
    bool next(const RecordShape &, std::vector<unsigned char> &record, int &length, std::string &) override {
        if (at_ >= records_.size()) return false;
        std::memcpy(record.data(), records_.data() + at_, length_);
        length = static_cast<int>(length_);
        at_ += length_;
        return true;
    }

private:
    // Room for one more record, zero-filled: bytes no field covers stay zero.
    unsigned char *newRecord() {
        records_.resize(records_.size() + length_, 0);
        return records_.data() + records_.size() - length_;
    }

    bool readCsvRows(std::string &why) {
        std::vector<int> columns;  // field of each column
        long row = 0;
        const auto take = [&](const CsvRow &csv) {
            if (columns.empty()) return header(csv, columns, why);
            const std::string where = "row " + std::to_string(++row) + " (line " + std::to_string(csv.line) + ")";
            if (csv.fields.size() != columns.size()) {
                why = where + ": " + std::to_string(csv.fields.size()) + " fields, the header has " +
                      std::to_string(columns.size());
                return false;
            }
            unsigned char *record = newRecord();
            for (size_t c = 0; c < columns.size(); ++c) {
                const Field &field = schema_.fields[static_cast<size_t>(columns[c])];
                Value value;
                std::string error;
                if (!parseValueText(field, csv.fields[c].value_or(""), !csv.fields[c], value, error) ||
                    !encodeField(field, value, record, error)) {
                    why = where + ", " + fieldName(field) + ": " + error;
                    return false;
                }
            }
            return true;
        };
        std::string error;
        if (!readCsv(input_, take, error, longestCsvField(schema_), longestCsvLine(schema_))) {
            return why = "reading CSV: " + error, false;
        }
        if (!why.empty()) return false;
        if (columns.empty() && !std::ferror(input_)) return why = "the CSV input has no header row", false;
        return readOk(why);
    }

    bool header(const CsvRow &csv, std::vector<int> &columns, std::string &why) {
        const std::string where = "line " + std::to_string(csv.line) + " (the header)";
        std::vector<bool> seen(schema_.fields.size(), false);
        for (const auto &name : csv.fields) {
            const int field = schema_.find(name.value_or(""));
            if (field < 0) return why = where + ": '" + excerpt(name.value_or("")) + "' is no field of the schema", false;
            if (seen[static_cast<size_t>(field)]) return why = where + ": field '" + *name + "' is named twice", false;
            seen[static_cast<size_t>(field)] = true;
            columns.push_back(field);
        }
        for (size_t i = 0; i < seen.size(); ++i) {
            if (!seen[i]) return why = where + ": " + fieldName(schema_.fields[i]) + " has no column", false;
        }
        return true;
    }

    bool encodeObject(const Json &object, const std::string &where, std::string &why) {
        if (!object.is_object()) return why = where + ": not a JSON object", false;
        unsigned char *record = newRecord();
        for (const auto &[name, unused] : object.items()) {
            if (schema_.find(name) < 0) return why = where + ": '" + excerpt(name) + "' is no field of the schema", false;
        }
        for (const Field &field : schema_.fields) {
            const auto it = object.find(field.name);
            if (it == object.end()) return why = where + ", " + fieldName(field) + ": missing", false;
            Value value;
            std::string error;
            if (!parseValueJson(field, *it, value, error) || !encodeField(field, value, record, error)) {
                return why = where + ", " + fieldName(field) + ": " + error, false;
            }
        }
        return true;
    }

    bool readJsonLines(std::string &why) {
        LineReader lines(input_, longestJsonLine(schema_));
        long line = 0;
        std::string text;
        bool ok = true;
        while (ok && lines.next(text)) {
            if (line == 0 && hasByteOrderMark(text)) text.erase(0, std::strlen(kByteOrderMark));
            const std::string where = "line " + std::to_string(++line);
            if (text.find_first_not_of(" \t\r\n") == std::string::npos) continue;
            Json object;
            ok = parseJson(text, object, why) ? encodeObject(object, where, why) : (why = where + ": " + why, false);
        }
        if (ok && lines.tooLong()) {
            return why = "line " + std::to_string(line + 1) + ": longer than " + std::to_string(longestJsonLine(schema_)) +
                         " bytes, more than a record of the fields can need", false;
        }
        return ok && readOk(why);
    }

    bool readJsonArray(std::string &why) {
        std::string text;
        char chunk[1 << 16];
        for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, input_)) > 0;) text.append(chunk, got);
        if (!readOk(why)) return false;
        if (hasByteOrderMark(text)) text.erase(0, std::strlen(kByteOrderMark));
        Json array;
        if (!parseJson(text, array, why)) return false;
        if (!array.is_array()) return why = "the JSON input is not an array of objects", false;
        long element = 0;
        for (const Json &object : array) {
            if (!encodeObject(object, "element " + std::to_string(++element), why)) return false;
        }
        return readOk(why);
    }

    bool readOk(std::string &why) {
        if (std::ferror(input_) == 0) return true;
        return why = std::string("reading standard input: ") + std::strerror(errno), false;
    }

    std::string schemaPath_, format_, keptNote_;
    FILE *input_;
    Schema schema_;
    size_t length_ = 0;
    std::vector<unsigned char> records_;
    size_t at_ = 0;
};

}  // namespace

bool encodeRows(IsFile *f, const RecordShape &shape, const std::string &schema, const std::string &format, FILE *input,
                std::vector<std::vector<unsigned char>> &records, std::string &why) {
    FieldSource source(schema, format, input);
    if (!source.prepare(f, shape, why)) return false;
    std::vector<unsigned char> record(static_cast<size_t>(shape.maximum) + 1);
    int length = 0;
    records.clear();
    while (source.next(shape, record, length, why)) records.emplace_back(record.begin(), record.begin() + length);
    return true;
}

int loadFields(const std::string &name, bool atomic, const std::string &schema, const std::string &format, bool kept) {
    FieldSource source(schema, format);
    if (kept) source.noteKept(name);
    return writeRecords(name, atomic, source);
}

}  // namespace wisam::tool
