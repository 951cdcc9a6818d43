// common.cpp - messages, arguments, names and opening files, for every command.
#include <iconv.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tool.h"

namespace wisam::tool {

namespace {

// The name with bytes that are not printable ASCII written as \xNN.
std::string printable(const std::string &text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            shown += c;
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            shown += escape;
        }
    }
    return shown;
}

bool exists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

int openStatus = kExitFailed;  // of the last failed openFile

// What the library's fatal hook reports while openFile opens a file: a
// damaged file names its damaged block or record there.
std::vector<std::string> openReports;
void collectOpenReport(const char *message) { openReports.emplace_back(message); }

}  // namespace

std::string basePath(const std::string &name) {
    std::ifstream link(name + ".lnk");
    std::string target;
    if (link && std::getline(link, target)) {
        if (!target.empty() && target.back() == '\r') target.pop_back();
        if (!target.empty()) return target;
    }
    return name;
}

const char *errorText(int error) {
    return error >= 100 && error <= is_nerr ? is_errlist[error - 100] : std::strerror(error);
}

int fail(const std::string &what, IsFile *f) {
    const int error = isErrno(f);
    const int io = isErrio(f);
    std::string detail;
    if (io != 0) detail = " (I/O code " + std::to_string(io) + ")";
    std::fprintf(stderr, "wisam: %s: error %d: %s%s\n", what.c_str(), error, errorText(error),
                 detail.c_str());
    return kExitFailed;
}

int failErrno(const std::string &what, int error) {
    std::fprintf(stderr, "wisam: %s: error %d: %s\n", what.c_str(), error, errorText(error));
    return kExitFailed;
}

int failWith(const std::string &what) {
    std::fprintf(stderr, "wisam: %s\n", what.c_str());
    return kExitFailed;
}

// The command a help text is for: the word after "usage: wisam " when it
// names one ("COMMAND" or an option: the tool's own help).
std::string helpCommand(const char *help) {
    const std::string text = help;
    const std::string lead = "usage: wisam ";
    if (text.rfind(lead, 0) != 0) return "";
    const std::string word = text.substr(lead.size(), text.find_first_of(" \n", lead.size()) - lead.size());
    return word.empty() || word == "COMMAND" || word[0] == '-' || word[0] == '[' ? "" : word;
}

int usage(const std::string &message, const char *help) {
    const std::string command = helpCommand(help);
    std::fprintf(stderr, "wisam: %s\nsee 'wisam %s--help'\n", message.c_str(),
                 command.empty() ? "" : (command + " ").c_str());
    return kExitUsage;
}

// The edit distance of two words (insertions, deletions, substitutions and
// swaps of neighbours), for suggesting the command or option meant.
size_t editDistance(const std::string &a, const std::string &b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

// A word a command does not take: said in one line, with the option of the
// command's help nearest to it when one is within two edits.
int unexpectedArgument(const std::string &word, const char *help) {
    std::string nearest;
    size_t best = 3;
    if (word.rfind("--", 0) == 0) {
        const std::string text = help;
        for (size_t at = text.find("--"); at != std::string::npos; at = text.find("--", at + 2)) {
            size_t end = at + 2;
            while (end < text.size() && (std::islower(static_cast<unsigned char>(text[end])) || text[end] == '-')) ++end;
            const std::string option = text.substr(at, end - at);
            if (option.size() < 3 || option == word) continue;
            const size_t d = editDistance(word, option);
            if (d < best) best = d, nearest = option;
        }
    }
    const std::string hint = nearest.empty() ? "" : "; did you mean '" + nearest + "'?";
    return usage("unexpected argument '" + word + "'" + hint, help);
}

bool fileName(const std::string &name, std::u16string &units) {
    units.clear();
    iconv_t convert = iconv_open("UTF-16LE", "UTF-8");
    if (convert == reinterpret_cast<iconv_t>(-1)) {
        std::fprintf(stderr, "wisam: cannot convert names from UTF-8: %s\n", std::strerror(errno));
        return false;
    }
    std::string in = name;
    std::string converted(in.size() * 2 + 2, '\0');  // UTF-16 never needs more
    char *from = in.data(), *to = converted.data();
    size_t fromLeft = in.size(), toLeft = converted.size();
    const bool ok = iconv(convert, &from, &fromLeft, &to, &toLeft) != static_cast<size_t>(-1);
    iconv_close(convert);
    if (!ok) {
        std::fprintf(stderr, "wisam: the name '%s' is not valid UTF-8\n", printable(name).c_str());
        return false;
    }
    const size_t bytes = converted.size() - toLeft;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(converted[i]) |
                                              static_cast<unsigned char>(converted[i + 1]) << 8));
    }
    return true;
}

bool wantsHelp(const Args &args) {
    for (const std::string &arg : args) {
        if (arg == "--help" || arg == "-h") return true;
    }
    return false;
}

bool numberArg(const Args &args, size_t &i, long low, long high, long &value, std::string &error) {
    const std::string option = args[i];
    const std::string range = std::to_string(low) + " to " + std::to_string(high);
    if (i + 1 >= args.size()) {
        error = option + " needs a number from " + range;
        return false;
    }
    const std::string &text = args[++i];
    char *end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != 0 || errno != 0 || value < low || value > high) {
        error = option + " " + text + ": the value must be a number from " + range;
        return false;
    }
    return true;
}

IsFile *openFile(const std::string &name, int mode, const std::string &what) {
    std::u16string units;
    openStatus = kExitUsage;
    if (!fileName(name, units)) return nullptr;
    openStatus = kExitFailed;
    openReports.clear();
    isFatal(collectOpenReport);
    IsFile *f = isOpen(units.c_str(), mode);
    isFatal(nullptr);
    if (f != nullptr) return f;
    // A failed open leaves no handle to ask for the I/O code, so which file
    // is missing is found by looking; a link's target is the library's to read.
    const int error = isErrno(nullptr);
    if (error == EFLOCKED) {
        failWith(what + ": another process has " + name + " open" +
                 ((mode & ISEXCLLOCK) != 0 ? "; this needs exclusive use of the file"
                                           : " for exclusive use"));
    } else if (error == ENOENT && exists(name + ".lnk")) {
        failWith(what + ": " + name + ".lnk names a file whose index (.wox) or data (.wod) file "
                 "does not exist");
    } else if (error == ENOENT && !exists(name + ".wox")) {
        failWith(what + ": the index file " + name + ".wox does not exist");
    } else if (error == ENOENT && !exists(name + ".wod")) {
        failWith(what + ": the data file " + name + ".wod is missing");
    } else {
        fail(what, nullptr);
        for (const std::string &report : openReports) failWith(what + ": the library reports: " + report);
    }
    return nullptr;
}

int openFailed() { return openStatus; }

bool recordShape(IsFile *f, RecordShape &shape) {
    // Opened with ISOPENVARLEN, isIsamInfo gives the maximum as the record
    // size of a variable-length file and leaves the fixed part in isReclen.
    if (!isIsamInfo(f, &shape.info)) return false;
    shape.fixed = isReclen(f);
    shape.maximum = shape.info.recordSize;
    return true;
}

bool fileIndexes(IsFile *f, FileIndexes &indexes) {
    KeyDesc first{};
    if (!recordShape(f, indexes.shape) || !isIndexInfo(f, &first, 1)) return false;
    indexes.noPrimaryKey = first.partCount == 0;
    return true;
}

}  // namespace wisam::tool
