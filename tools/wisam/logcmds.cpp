// logcmds.cpp - log: a transaction log printed record by record.
#include <cstdio>
#include <string>

#include "logread.h"
#include "tool.h"

namespace wisam::tool {

namespace {

constexpr const char *kLogHelp =
    "usage: wisam log LOGFILE [--brief]\n"
    "  prints every record of a transaction log, one line each: offset, code,\n"
    "  length, process id, transaction id, time (UTC), back link offset/length,\n"
    "  then the body's fields; record images follow in hex.\n"
    "  --brief: exactly one line a record, with only the first 16 bytes of each\n"
    "  image on it.\n"
    "  Exit status 1 at the first damaged record.\n";

}  // namespace

int logCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kLogHelp), kExitOk;
    LogFormat format;
    std::string path;
    for (const std::string &arg : args) {
        if (arg == "--brief") {
            format.brief = true;
        } else if (path.empty() && !arg.starts_with("--")) {
            path = arg;
        } else {
            return unexpectedArgument(arg, kLogHelp);
        }
    }
    if (path.empty()) return usage("log needs a LOGFILE", kLogHelp);
    LogFile log(path);
    if (!log.ok()) return failErrno("log " + path, log.error());
    LogCounts counts;
    LogDamage damage;
    const bool whole = walkLog(
        log.size(), log.reader(),
        [&](const LogRecord &record) {
            out("%s", formatLogRecord(record, format).c_str());
            counts.add(record);
        },
        damage);
    if (!finishOutput("log " + path)) return kExitFailed;
    if (!whole) {
        std::fprintf(stderr, "wisam: log %s: %s\n", path.c_str(), damageText(damage).c_str());
        return 1;
    }
    std::fprintf(stderr, "%llu records\n", static_cast<unsigned long long>(counts.records));
    return 0;
}

}  // namespace wisam::tool
