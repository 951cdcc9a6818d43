// recover.cpp - recover: the library's recovery run over a log, with a check
// of the log before it and a summary after it.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "logread.h"
#include "logstates.h"
#include "tool.h"

namespace wisam::tool {

namespace {

constexpr const char *kRecoverHelp =
    "usage: wisam recover LOGFILE [--rollback-unfinished] [--force]\n"
    "  performs every operation of the log again, from its first record, on\n"
    "  files that are in the state they had when the log began (a copy made by\n"
    "  'wisam backup' put back in place); transactions the log rolls back are\n"
    "  undone again.  File names are used as the log holds them: run it where\n"
    "  the programs that wrote the log ran when they used relative names.\n"
    "  --rollback-unfinished also undoes the transactions without a commit or\n"
    "  rollback record (their process stopped), leaving only committed work.\n"
    "  Before changing anything, the records the log changes are compared with\n"
    "  the files: files that already hold changes of the log (a recover that ran\n"
    "  before) or are not as the log began are refused, saying at which offset\n"
    "  and how much of the log they hold; --force recovers them anyway.  When\n"
    "  recovery stops at an error, the message says at which offset it stopped\n"
    "  and what of the log the files hold.\n";

// "T transactions: C committed, R rolled back, U unfinished" of a prefix.
std::string transactionsText(const LogPrefix &p) {
    const uint64_t ended = p.committed + p.rolledBack;
    const uint64_t unfinished = p.begun > ended ? p.begun - ended : 0;
    return std::to_string(p.begun) + " transaction" + (p.begun == 1 ? "" : "s") + ": " + std::to_string(p.committed) +
           " committed, " + std::to_string(p.rolledBack) + " rolled back, " + std::to_string(unfinished) + " unfinished";
}

// "the log's first K of its N records (...)" or "all N records of the log (...)".
std::string recordsText(const LogPrefix &p, const LogCounts &all) {
    const std::string total = std::to_string(all.records) + " record" + (all.records == 1 ? "" : "s");
    const std::string which = p.records == all.records ? "all " + total + " of the log"
                                                       : "the log's first " + std::to_string(p.records) + " of its " + total;
    return which + " (" + transactionsText(p) + ")";
}

// "IN of record 6 of people", "the rollback of ...", "the build of people".
std::string describe(const LogStates &states, const LogChange &c) {
    const std::string &name = states.files()[static_cast<size_t>(c.file)];
    std::string what = std::string(c.code) + " of record " + std::to_string(c.recnum) + " of " + name;
    if (c.recnum == 0) what = (std::string(c.code) == "BU" ? "the build of " : "the open of ") + name;
    return c.undo ? "the rollback of " + what : what;
}

// What the files hold where `c` expects its state before.
std::string stateText(const LogChange &c, const SlotState &now) {
    const std::string record = "record " + std::to_string(c.recnum);
    if (now == c.after && c.after != c.before) return "the files are already as that change leaves them";
    if (c.recnum == 0) return now.live ? "the file exists" : "the file does not exist";
    if (!now.live) return record + " is not in use";
    return c.before.live ? record + " holds other bytes than the log expects" : record + " is already in use";
}

// The states of the records the log changes, as the files hold them now; a
// file that cannot be read (held by another process, record length 0) is
// left out.  A file that does not exist holds no records.
std::vector<std::optional<std::map<int32_t, SlotState>>> readStates(const LogStates &states) {
    std::vector<std::optional<std::map<int32_t, SlotState>>> current(states.files().size());
    for (size_t file = 0; file < current.size(); ++file) {
        if (!states.tracked(static_cast<int>(file))) continue;
        std::map<int32_t, SlotState> now = states.startStates(static_cast<int>(file));
        std::u16string units;
        if (now.empty() || !fileName(states.files()[file], units)) continue;
        Handle f(isOpen(units.c_str(), ISINPUT | ISOPENVARLEN));
        if (f.get() == nullptr) {
            if (isErrno(nullptr) != ENOENT) continue;
            for (auto &[recnum, state] : now) state = SlotState{};
            current[file] = now;
            continue;
        }
        RecordShape shape;
        if (!recordShape(f.get(), shape) || shape.fixed == 0) continue;
        std::vector<unsigned char> record(static_cast<size_t>(shape.maximum) + 1);
        bool known = true;
        for (auto &[recnum, state] : now) {
            if (recnum == 0) {
                state = SlotState{true, 0, 0};
            } else if (isData(f.get(), record.data(), recnum)) {
                state = liveState(record.data(), static_cast<size_t>(isReclen(f.get())));
            } else {
                const int error = isErrno(f.get());
                known = known && (error == ENOREC || error == EBADARG || error == EBADFILE || error == EENDFILE);
                state = SlotState{};
            }
        }
        if (known) current[file] = now;
    }
    return current;
}

const SlotState &stateOf(const std::vector<std::optional<std::map<int32_t, SlotState>>> &current, const LogChange &c) {
    static const SlotState absent{};
    const auto &states = current[static_cast<size_t>(c.file)];
    if (!states) return absent;
    const auto it = states->find(c.recnum);
    return it != states->end() ? it->second : absent;
}

constexpr const char *kFromBackup =
    "recovery starts from a backup copy of the files taken before the log began ('wisam backup NAME... DIR "
    "--log LOGFILE' takes one)";

// Files that are not as the log began: where they differ first, and how
// much of the log they hold, if any.  Nothing has been changed.
void tellNotAtStart(const std::string &what, const LogStates &states, const LogCounts &counts,
                    const std::vector<std::optional<std::map<int32_t, SlotState>>> &current,
                    const LogStates::Place &place, bool force) {
    const LogChange &first = states.changes()[*place.differs];
    const std::string at = "offset " + std::to_string(first.offset);
    const std::string where = at + " (" + describe(states, first) + ") " + stateText(first, stateOf(current, first));
    if (place.held) {
        std::fprintf(stderr, "wisam: %s: the files already hold changes of this log: at %s\n", what.c_str(),
                     where.c_str());
        std::fprintf(stderr, "wisam: %s: %s; the files hold the changes of %s\n", what.c_str(),
                     force ? ("--force: recovering from " + at + " on anyway").c_str()
                           : ("stopped at " + at + " before changing anything").c_str(),
                     recordsText(states.heldPrefix(*place.held), counts).c_str());
    } else {
        std::fprintf(stderr, "wisam: %s: the files are not as this log began, nor as it leaves them at any point: at %s\n",
                     what.c_str(), where.c_str());
        std::fprintf(stderr, "wisam: %s: %s\n", what.c_str(),
                     force ? "--force: recovering anyway" : ("stopped at " + at + " before changing anything").c_str());
    }
    if (!force) {
        std::fprintf(stderr, "wisam: %s: %s: put that copy back in place and recover once; --force recovers these files "
                     "anyway\n", what.c_str(), kFromBackup);
    }
}

// After a failed recovery: at which record it stopped, as far as the files
// tell, and what of the log they hold.
void tellStopped(const std::string &what, const LogStates &states, const LogCounts &counts) {
    const LogStates::Place place = states.place(readStates(states));
    const std::vector<LogChange> &changes = states.changes();
    if (!place.held) {
        std::fprintf(stderr, "wisam: %s: the files match no point of the log, so where it stopped cannot be told\n",
                     what.c_str());
    } else if (*place.held < changes.size()) {
        const LogChange &stop = changes[*place.held];
        std::fprintf(stderr, "wisam: %s: it stopped at offset %llu (%s), having applied %s: the files hold their "
                     "changes and none after\n", what.c_str(), static_cast<unsigned long long>(stop.offset),
                     describe(states, stop).c_str(), recordsText(states.heldPrefix(*place.held), counts).c_str());
    } else {
        std::fprintf(stderr, "wisam: %s: it stopped after the last change of the log: the files hold the changes of %s\n",
                     what.c_str(), recordsText(states.heldPrefix(*place.held), counts).c_str());
    }
    std::fprintf(stderr, "wisam: %s: %s: put that copy back in place before recovering again\n", what.c_str(), kFromBackup);
}

}  // namespace

int recoverCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kRecoverHelp), kExitOk;
    bool rollbackUnfinished = false, force = false;
    std::string path;
    for (const std::string &arg : args) {
        if (arg == "--rollback-unfinished") {
            rollbackUnfinished = true;
        } else if (arg == "--force") {
            force = true;
        } else if (path.empty() && !arg.starts_with("--")) {
            path = arg;
        } else {
            return unexpectedArgument(arg, kRecoverHelp);
        }
    }
    if (path.empty()) return usage("recover needs a LOGFILE", kRecoverHelp);

    // Read the log first: a missing log would be created empty by the
    // library and "recovered" without a word, and a damaged one is worth a
    // warning before any file changes.
    const std::string what = "recover " + path;
    LogCounts counts;
    TransactionScan transactions;
    LogStates states(rollbackUnfinished);
    LogDamage damage;
    bool whole = false;
    uint64_t size = 0;
    {
        LogFile log(path);
        if (!log.ok()) return failErrno(what, log.error());
        size = log.size();
        whole = walkLog(
            size, log.reader(),
            [&](const LogRecord &r) {
                counts.add(r);
                transactions.add(r);
                states.add(r);
            },
            damage);
    }
    states.finish(whole ? size : damage.offset);
    if (!whole) {
        std::fprintf(stderr, "wisam: warning: %s: %s; recovery cannot go past it%s\n", path.c_str(),
                     damageText(damage).c_str(),
                     damage.tornTail ? " (an append cut short, as a crash leaves it)" : "");
    }

    // Recovery redoes the log on the files as they were when it began; on
    // files that already hold its changes (a recovery that ran before) it
    // would stop at the first that cannot be made again, or make again those
    // that can.  The files are compared with the log before anything changes.
    const std::vector<std::optional<std::map<int32_t, SlotState>>> current = readStates(states);
    const LogStates::Place place = states.place(current);
    if (place.differs) {
        tellNotAtStart(what, states, counts, current, place, force);
        if (!force) return kExitFailed;
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
    if (!recovered) {
        failErrno(what, error);
        if (place.differs) {
            std::fprintf(stderr, "wisam: %s: the files were not as the log began, so where it stopped cannot be told\n",
                         what.c_str());
        } else {
            tellStopped(what, states, counts);
        }
        return kExitFailed;
    }

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
