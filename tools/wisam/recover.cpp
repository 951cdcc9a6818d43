// recover.cpp - recover: the library's recovery run over a log, with a check
// of the log before it and a summary after it.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "logread.h"
#include "tool.h"

namespace wisam::tool {

namespace {

constexpr const char *kRecoverHelp =
    "usage: wisam recover LOGFILE [--rollback-unfinished]\n"
    "  performs every operation of the log again, from its first record, on\n"
    "  files that are in the state they had when the log began (a copy made by\n"
    "  'wisam backup' put back in place); transactions the log rolls back are\n"
    "  undone again.  File names are used as the log holds them: run it where\n"
    "  the programs that wrote the log ran when they used relative names.\n"
    "  --rollback-unfinished also undoes the transactions without a commit or\n"
    "  rollback record (their process stopped), leaving only committed work.\n";

}  // namespace

int recoverCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kRecoverHelp), kExitOk;
    bool rollbackUnfinished = false;
    std::string path;
    for (const std::string &arg : args) {
        if (arg == "--rollback-unfinished") {
            rollbackUnfinished = true;
        } else if (path.empty() && !arg.starts_with("--")) {
            path = arg;
        } else {
            return usage("unexpected argument '" + arg + "'", kRecoverHelp);
        }
    }
    if (path.empty()) return usage("recover needs a LOGFILE", kRecoverHelp);

    // Read the log first: a missing log would be created empty by the
    // library and "recovered" without a word, and a damaged one is worth a
    // warning before any file changes.
    LogCounts counts;
    TransactionScan transactions;
    LogDamage damage;
    bool whole = false;
    uint64_t size = 0;
    {
        LogFile log(path);
        if (!log.ok()) return failErrno("recover " + path, log.error());
        size = log.size();
        whole = walkLog(
            size, log.reader(),
            [&](const LogRecord &r) {
                counts.add(r);
                transactions.add(r);
            },
            damage);
    }
    if (!whole) {
        std::fprintf(stderr, "wisam: warning: %s: %s; recovery cannot go past it%s\n", path.c_str(),
                     damageText(damage).c_str(),
                     damage.tornTail ? " (an append cut short, as a crash leaves it)" : "");
    }

    // The library reports recovery only at its end; on a terminal at least
    // say what is being worked on, since a long log takes a while.
    const bool progress = isatty(STDERR_FILENO) != 0;
    if (progress) {
        std::fprintf(stderr, "recovering %s (%llu bytes)...", path.c_str(),
                     static_cast<unsigned long long>(size));
        std::fflush(stderr);
    }
    isRecoverRollback = rollbackUnfinished ? 1 : 0;
    std::u16string logName;
    if (!fileName(path, logName)) return kExitUsage;
    if (!isLogOpen(logName.c_str())) {
        const int error = errno;
        if (progress) std::fputs(" failed\n", stderr);
        return failErrno("recover " + path + ": open log", error);
    }
    errno = 0;
    const int recovered = isRecover();
    const int error = errno;
    isLogClose();
    // Files the log left open (opened without a close record) are closed
    // here, so that every change reaches the files before the tool exits.
    isCleanUp();
    if (progress) std::fputs(recovered ? " done\n" : " failed\n", stderr);
    // A complete pass ends at the end of the log with 118 in errno: that is
    // the normal end, not a failure.
    if (!recovered) return failErrno("recover " + path, error);

    const std::vector<TransactionScan::Begin> left = transactions.unfinished();
    const uint64_t unfinished = left.size();
    out(
        "recovered %s: %llu records, %llu transactions: %llu committed, %llu rolled back, "
        "%llu unfinished%s\n",
        path.c_str(), static_cast<unsigned long long>(counts.records),
        static_cast<unsigned long long>(counts.begun),
        static_cast<unsigned long long>(counts.committed),
        static_cast<unsigned long long>(counts.rolledBack),
        static_cast<unsigned long long>(unfinished),
        unfinished == 0      ? ""
        : rollbackUnfinished ? " (rolled back)"
                             : " (kept)");
    for (const TransactionScan::Begin &b : left) {
        out("  unfinished: begun at offset %llu by process %u\n",
                    static_cast<unsigned long long>(b.offset), b.pid);
    }
    // Records behind damage in the middle of the log were not recovered; a
    // torn last record is the normal end of a log after a crash.
    return whole || damage.tornTail ? 0 : 1;
}

}  // namespace wisam::tool
