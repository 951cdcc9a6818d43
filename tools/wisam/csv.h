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

// Reads rows from `in` and hands each to `row`, which returns false to stop.
// False with `error` ("line N: ...") when the input is not CSV.
bool readCsv(std::FILE *in, const std::function<bool(const CsvRow &)> &row, std::string &error);
// The same over a text.
bool readCsvText(const std::string &text, const std::function<bool(const CsvRow &)> &row, std::string &error);

}  // namespace wisam::tool
