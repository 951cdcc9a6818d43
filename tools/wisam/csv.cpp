// csv.cpp - CSV rows in through libcsv, fields out quoted where needed.
#include "csv.h"

#include <csv.h>

#include <algorithm>
#include <memory>

namespace wisam::tool {

namespace {

// The reading state handed through libcsv's callbacks.
struct Reader {
    const std::function<bool(const CsvRow &)> *deliver = nullptr;
    CsvRow row;
    long line = 1;       // the line being fed
    long rowLine = 0;    // the line the row being read begins on (0: none begun)
    long nextRow = 1;    // the line after the last row's end
    bool stopped = false;
};

void onField(void *data, size_t length, void *state) {
    auto *reader = static_cast<Reader *>(state);
    std::optional<std::string> field;
    if (data != nullptr) field.emplace(static_cast<const char *>(data), length);
    // The first field ends on the line being fed, after the line ends it holds.
    if (reader->rowLine == 0) reader->rowLine = reader->line - (field ? std::count(field->begin(), field->end(), '\n') : 0);
    reader->row.fields.push_back(std::move(field));
}

void onRow(int, void *state) {
    auto *reader = static_cast<Reader *>(state);
    if (!reader->stopped) {
        reader->row.line = reader->rowLine != 0 ? reader->rowLine : reader->line;
        // A line with nothing on it is no row.
        const bool blank = reader->row.fields.size() == 1 && !reader->row.fields[0];
        if (!blank && !(*reader->deliver)(reader->row)) reader->stopped = true;
    }
    reader->row.fields.clear();
    reader->rowLine = 0;
    reader->nextRow = reader->line + 1;
}

// No blanks are trimmed: a field is every byte between its commas.
int noSpace(unsigned char) { return 0; }

struct ParserDeleter {
    void operator()(csv_parser *p) const {
        csv_free(p);
        delete p;
    }
};

bool run(const std::function<bool(std::string &)> &nextLine, const std::function<bool(const CsvRow &)> &row,
         std::string &error) {
    std::unique_ptr<csv_parser, ParserDeleter> parser(new csv_parser);
    if (csv_init(parser.get(), CSV_STRICT | CSV_STRICT_FINI | CSV_EMPTY_IS_NULL) != 0) {
        return error = "cannot start the CSV reader", false;
    }
    csv_set_space_func(parser.get(), noSpace);
    Reader reader;
    reader.deliver = &row;
    std::string line;
    // Fed a line at a time, so that a row knows the line it begins on.
    while (!reader.stopped && nextLine(line)) {
        if (csv_parse(parser.get(), line.data(), line.size(), onField, onRow, &reader) != line.size()) {
            error = "line " + std::to_string(reader.line) + ": " + csv_strerror(csv_error(parser.get())) +
                    " (a quote inside an unquoted field, or text after a closing quote)";
            return false;
        }
        ++reader.line;
    }
    if (reader.stopped) return true;
    if (csv_fini(parser.get(), onField, onRow, &reader) != 0) {
        error = "line " + std::to_string(reader.rowLine != 0 ? reader.rowLine : reader.nextRow) +
                ": a quoted field is not closed before the end";
        return false;
    }
    return true;
}

}  // namespace

std::string csvField(const std::string &text, bool isNull) {
    if (isNull) return "";
    const bool quote = text.empty() || text.find_first_of(",\"\r\n") != std::string::npos || text.front() == ' ' ||
                       text.back() == ' ' || text.front() == '\t' || text.back() == '\t';
    if (!quote) return text;
    std::string field = "\"";
    for (const char c : text) {
        if (c == '"') field += '"';
        field += c;
    }
    return field + "\"";
}

bool readCsv(std::FILE *in, const std::function<bool(const CsvRow &)> &row, std::string &error) {
    char *buffer = nullptr;
    size_t capacity = 0;
    const auto next = [&](std::string &line) {
        const ssize_t got = getline(&buffer, &capacity, in);
        if (got < 0) return false;
        line.assign(buffer, static_cast<size_t>(got));
        return true;
    };
    const bool ok = run(next, row, error);
    std::free(buffer);
    return ok;
}

bool readCsvText(const std::string &text, const std::function<bool(const CsvRow &)> &row, std::string &error) {
    size_t at = 0;
    const auto next = [&](std::string &line) {
        if (at >= text.size()) return false;
        const size_t end = text.find('\n', at);
        const size_t stop = end == std::string::npos ? text.size() : end + 1;
        line = text.substr(at, stop - at);
        at = stop;
        return true;
    };
    return run(next, row, error);
}

}  // namespace wisam::tool
