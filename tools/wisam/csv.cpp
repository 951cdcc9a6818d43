// csv.cpp - CSV rows in through libcsv, fields out quoted where needed.
#include "csv.h"

#include <csv.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "json.h"

namespace wisam::tool {

namespace {

// The reading state handed through libcsv's callbacks.
struct Reader {
    const std::function<bool(const CsvRow &)> *deliver = nullptr;
    CsvRow row;
    long line = 1;       // the line being fed
    long rowLine = 0;    // the line the row being read begins on (0: none begun)
    long nextRow = 1;    // the line after the last row's end
    size_t longestField = 0;  // 0: no limit
    bool stopped = false;
    long tooLongLine = 0;  // the line a field longer than longestField begins on
};

void onField(void *data, size_t length, void *state) {
    auto *reader = static_cast<Reader *>(state);
    if (reader->stopped) return;
    if (reader->longestField != 0 && length > reader->longestField) {
        const char *text = static_cast<const char *>(data);
        reader->tooLongLine = reader->rowLine != 0 ? reader->rowLine : reader->line - std::count(text, text + length, '\n');
        reader->stopped = true;
        return;
    }
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
         std::string &error, size_t longestField) {
    error.clear();
    std::unique_ptr<csv_parser, ParserDeleter> parser(new csv_parser);
    if (csv_init(parser.get(), CSV_STRICT | CSV_STRICT_FINI | CSV_EMPTY_IS_NULL) != 0) {
        return error = "cannot start the CSV reader", false;
    }
    csv_set_space_func(parser.get(), noSpace);
    Reader reader;
    reader.deliver = &row;
    reader.longestField = longestField;
    const auto tooLong = [&] {
        error = "line " + std::to_string(reader.tooLongLine) + ": a field longer than " +
                std::to_string(longestField) + " bytes, more than any field can hold";
        return false;
    };
    std::string line;
    // Fed a line at a time, so that a row knows the line it begins on.
    while (!reader.stopped && nextLine(line)) {
        if (reader.line == 1 && line.rfind(kByteOrderMark, 0) == 0) line.erase(0, std::strlen(kByteOrderMark));
        if (csv_parse(parser.get(), line.data(), line.size(), onField, onRow, &reader) != line.size()) {
            error = "line " + std::to_string(reader.line) + ": " + csv_strerror(csv_error(parser.get())) +
                    " (a quote inside an unquoted field, or text after a closing quote)";
            return false;
        }
        // A quoted field running over many lines grows in the parser: it is
        // refused as soon as it passes the limit, not at its end.
        if (reader.tooLongLine == 0 && longestField != 0 && parser->entry_pos > longestField) {
            // The field began on this row's first line or a later one.
            reader.tooLongLine = reader.rowLine != 0 ? reader.rowLine : reader.nextRow;
        }
        if (reader.tooLongLine != 0) return tooLong();
        ++reader.line;
    }
    if (!error.empty()) return false;  // the line reader refused a line
    if (reader.stopped) return true;
    const int finished = csv_fini(parser.get(), onField, onRow, &reader);
    if (reader.tooLongLine != 0) return tooLong();
    if (finished != 0) {
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

bool LineReader::next(std::string &line) {
    line.clear();
    while (true) {
        if (at_ == end_) {
            at_ = 0;
            end_ = std::fread(block_.data(), 1, block_.size(), in_);
            if (end_ == 0) return !line.empty();
        }
        const char *start = block_.data() + at_;
        const auto *stop = static_cast<const char *>(std::memchr(start, '\n', end_ - at_));
        const size_t take = stop == nullptr ? end_ - at_ : static_cast<size_t>(stop - start) + 1;
        if (longest_ != 0 && line.size() + take > longest_) {
            tooLong_ = true;
            return false;
        }
        line.append(start, take);
        at_ += take;
        if (stop != nullptr) return true;
    }
}

bool readCsv(std::FILE *in, const std::function<bool(const CsvRow &)> &row, std::string &error, size_t longestField,
             size_t longestLine) {
    LineReader lines(in, longestLine);
    long number = 0;
    const auto next = [&](std::string &line) {
        if (lines.next(line)) return ++number, true;
        if (lines.tooLong()) {
            error = "line " + std::to_string(number + 1) + ": longer than " + std::to_string(longestLine) +
                    " bytes, more than a row of the fields can need";
        }
        return false;
    };
    error.clear();
    return run(next, row, error, longestField);
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
    return run(next, row, error, 0);
}

}  // namespace wisam::tool
