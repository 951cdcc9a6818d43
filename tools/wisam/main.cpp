// main.cpp - the wisam command-line tool: create, inspect, dump and load
// ISAM files, print and recover transaction logs, back files up, and a
// demonstration run.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tool.h"

namespace wisam::tool {

namespace {

constexpr const char *kHelp =
    "usage: wisam COMMAND [ARGS]\n"
    "\n"
    "  create NAME --reclen N --key KEY [--key KEY...] [--varlen MAX]\n"
    "                          build an ISAM file (the first key is the primary)\n"
    "  info NAME               summary, key descriptions and dictionary fields\n"
    "  dump NAME [--index K] [--hex]\n"
    "                          records in the order of index K (0: record number)\n"
    "  load NAME < RECORDS     write raw fixed-length records read from stdin\n"
    "  demo [DIR]              build a sample file, write, read, delete and rewrite\n"
    "  log LOGFILE [--brief]   print every record of a transaction log\n"
    "  recover LOGFILE [--rollback-unfinished]\n"
    "                          perform the operations of a log again on restored files\n"
    "  backup NAME... DIR --log LOGFILE\n"
    "                          copy files while no one changes them, then empty the log\n"
    "\n"
    "'wisam COMMAND --help' tells more about each command.\n";

struct Command {
    const char *name;
    int (*run)(const Args &);
};

constexpr Command kCommands[] = {
    {"create", createCommand}, {"info", infoCommand}, {"dump", dumpCommand},
    {"load", loadCommand},     {"demo", demoCommand},  {"log", logCommand},
    {"recover", recoverCommand}, {"backup", backupCommand},
};

}  // namespace

int fail(const std::string &what, IsFile *f) {
    const int error = isErrno(f);
    const char *text = error >= 100 && error <= is_nerr ? is_errlist[error - 100] : std::strerror(error);
    std::fprintf(stderr, "wisam: %s: error %d: %s (I/O code %d)\n", what.c_str(), error, text,
                 isErrio(f));
    return 1;
}

int failErrno(const std::string &what, int error) {
    const char *text = error >= 100 && error <= is_nerr ? is_errlist[error - 100] : std::strerror(error);
    std::fprintf(stderr, "wisam: %s: error %d: %s\n", what.c_str(), error, text);
    return 1;
}

int usage(const std::string &message, const char *help) {
    std::fprintf(stderr, "wisam: %s\n\n%s", message.c_str(), help);
    return 2;
}

std::u16string fileName(const std::string &name) {
    std::u16string units;
    for (size_t i = 0; i < name.size();) {
        const auto lead = static_cast<unsigned char>(name[i]);
        const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        uint32_t cp = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length && i + static_cast<size_t>(k) < name.size(); ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(name[i + static_cast<size_t>(k)]) & 0x3F);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            units.push_back(static_cast<char16_t>(cp));
        }
        i += static_cast<size_t>(length);
    }
    return units;
}

bool wantsHelp(const Args &args) {
    for (const std::string &arg : args) {
        if (arg == "--help" || arg == "-h") return true;
    }
    return false;
}

}  // namespace wisam::tool

int main(int argc, char **argv) {
    using namespace wisam::tool;
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kHelp, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const Args args(argv + 2, argv + argc);
    for (const Command &command : kCommands) {
        if (std::strcmp(argv[1], command.name) == 0) return command.run(args);
    }
    return usage(std::string("unknown command '") + argv[1] + "'", kHelp);
}
