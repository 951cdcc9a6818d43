// csv.h - CSV as RFC 4180 has it: fields separated by commas, rows by line
// ends, a field quoted with '"' when it holds a comma, a quote, a line end or
// leading or trailing blanks, a quote inside doubled.  A null is an empty
// unquoted field; an empty text is "".
//
// Reading goes through libcsv (Debian's libcsv-dev), which keeps quoted line
// ends inside a field and tells an unquoted empty field (CSV_EMPTY_IS_NULL)
// from a quoted one; writing is the quoting rule above.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace wisam::tool {

// A field as CSV writes it.
std::string csvField(const std::string &text, bool isNull);

// A row read: its fields (nullopt for an empty unquoted field) and the line
// of the input it begins on.
struct CsvRow {
    std::vector<std::optional<std::string>> fields;
    long line = 0;
};

// The lines of a stream, read a block at a time, each with its line end.  A
// line longer than `longest` bytes is refused when that many are read, so
// that no more of it is ever held.
class LineReader {
public:
    LineReader(std::FILE *in, size_t longest) : in_(in), longest_(longest) {}
    // The next line; false at the end of the input, with tooLong() when the
    // line passes the limit (an error of the stream shows in ferror).
    bool next(std::string &line);
    bool tooLong() const { return tooLong_; }

private:
    std::FILE *in_;
    size_t longest_;
    bool tooLong_ = false;
    std::vector<char> block_ = std::vector<char>(1 << 16);
    size_t at_ = 0, end_ = 0;
};

// Reads rows from `in` and hands each to `row`, which returns false to stop.
// False with `error` ("line N: ...") when the input is not CSV, or holds a
// field longer than `longestField` bytes or a line longer than `longestLine`
// (0: no limit); neither is held whole before it is refused.  A UTF-8
// byte-order mark before the first line is skipped.
bool readCsv(std::FILE *in, const std::function<bool(const CsvRow &)> &row, std::string &error,
             size_t longestField = 0, size_t longestLine = 0);
// The same over a text.
bool readCsvText(const std::string &text, const std::function<bool(const CsvRow &)> &row, std::string &error);

}  // namespace wisam::tool
