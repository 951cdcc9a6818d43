// maint.cpp - keeping files: check, rebuild, copy, clone, cluster, index
// add and drop, erase and rename, each through the library's call for it.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "checkplace.h"
#include "datalength.h"
#include "keytext.h"
#include "schema.h"
#include "tool.h"

namespace wisam::tool {

namespace {

constexpr const char *kCheckHelp =
    "usage: wisam check NAME [--index N] [--json]\n"
    "  checks the data file and its free list, every index (or index N) against\n"
    "  the data, and the blocks of variable-length records.  Each finding is a\n"
    "  line 'NAME: PART: FINDING (BIT): PLACE', one a place (the first 10, then\n"
    "  how many more): the index block or record number, the record's key in the\n"
    "  index, and what is wrong there ('record 21, key 147: its key does not lead\n"
    "  to it').  The work is bounded by the highest record number: a data file\n"
    "  longer than that is reported with its size, not read.\n"
    "  --json: the findings and their places as one JSON object.\n"
    "  Exit status: 0 clean, 1 damaged (or not readable), 2 usage.  'wisam\n"
    "  rebuild' repairs the free list and the indexes.\n";
constexpr const char *kRebuildHelp =
    "usage: wisam rebuild NAME [--free] [--index N | --all]\n"
    "  regenerates the data free list (--free) and index N, or all of them\n"
    "  (--all, the default), from the records of the data file.  Needs\n"
    "  exclusive use of NAME.\n";
constexpr const char *kCopyHelp =
    "usage: wisam copy SRC DST [--index N]\n"
    "  adds every record of SRC to DST, in the order of SRC's index N (default:\n"
    "  the primary).  When DST does not exist it is first built like SRC ('wisam\n"
    "  clone', with SRC's kept schema), and removed again when the copy fails.\n"
    "  Needs exclusive use of DST.\n";
constexpr const char *kCloneHelp =
    "usage: wisam clone SRC DST\n"
    "  builds an empty file DST with the record layout and indexes of SRC, and\n"
    "  the schema kept with SRC (SRC.wsc) kept with DST.\n";
constexpr const char *kClusterHelp =
    "usage: wisam cluster NAME --index N\n"
    "  rewrites NAME with its records in the order of index N, so that reading\n"
    "  in that order reads the data file from start to end.  It also compacts:\n"
    "  the copy holds only the records in use, numbered from 1 without gaps\n"
    "  (record numbers change), and indexes built with full nodes; 100 000\n"
    "  records of 80 bytes, half of them deleted, went from 8.1 MB of data and\n"
    "  2.6 MB of index file to 4.1 MB and 1.2 MB.  Works on a copy under a\n"
    "  temporary name that takes NAME's place at the end; a failure leaves NAME\n"
    "  as it was; the schema kept with NAME stays with it.  Needs exclusive use\n"
    "  of NAME.\n";
constexpr const char *kIndexHelp =
    "usage: wisam index add NAME KEY\n"
    "       wisam index drop NAME N\n"
    "  adds an index (KEY as for 'wisam create') filled from the records, or\n"
    "  drops index N (as 'wisam info' numbers them).  Needs exclusive use.\n";
constexpr const char *kEraseHelp =
    "usage: wisam erase NAME\n"
    "  removes the index, data and lock files of NAME and the schema kept with\n"
    "  it (not while it is open).\n";
constexpr const char *kRenameHelp =
    "usage: wisam rename OLD NEW\n"
    "  renames the index, data and lock files of OLD and the schema kept with it\n"
    "  to NEW (not while it is open; no file of NEW may exist).\n";

constexpr int kExclusive = ISINOUT | ISEXCLLOCK | ISOPENVARLEN;
constexpr int kReading = ISINPUT | ISOPENVARLEN;
// A clone is built with its source's open mode and then given the source's
// other indexes, which needs a source open for output too.
constexpr int kCloneSource = ISINOUT | ISOPENVARLEN;
constexpr int kDataRecords = 2;            // isRebuildFree's only kind
constexpr int kCheckDataFailed = 0x1;      // isCheckData could not finish
constexpr int kCheckIndexFailed = 0x8;     // isCheckIndex could not finish
constexpr int kCheckBits = 16;
constexpr int64_t kIndexCheckReads = 2;    // slot reads per key of an index check

// Long library calls report progress through the I/O hook: each read of a
// data slot is a step (reads of the slot just read, as when a key is made
// from the record after it was read, count once), and a stage of the work
// reads each record a known number of times, so the steps give the records
// worked on.
Progress *activeProgress = nullptr;
int64_t slotReads = 0;
int64_t readsPerRecord = 1;
int32_t lastSlot = -1;

void countDataReads(int32_t isDataFile, int32_t operation, int32_t, int32_t slot) {
    constexpr int32_t kOpRequested = 0;
    if (isDataFile == 0 || operation != kOpRequested || activeProgress == nullptr || slot == lastSlot) return;
    lastSlot = slot;
    activeProgress->tick(++slotReads / readsPerRecord);
}

// Ends the progress line for good, before a message is printed.
void stopProgress() {
    if (activeProgress != nullptr) activeProgress->finish();
}

// The progress of work done by library calls, in records: each call a
// stage ("checking index 2") over the file's records, with the records of
// the stages still to come counted in the time left.
class WatchProgress {
public:
    explicit WatchProgress(int64_t records) : records_(records), progress_("", records) {
        activeProgress = &progress_;
        ioCallback = countDataReads;
    }
    ~WatchProgress() {
        ioCallback = nullptr;
        activeProgress = nullptr;
    }
    WatchProgress(const WatchProgress &) = delete;
    WatchProgress &operator=(const WatchProgress &) = delete;
    // The next call: `verb` for the line, each record read `reads` times,
    // `stagesAfter` more calls over the records to come.
    void stage(const std::string &verb, int64_t reads, int64_t stagesAfter) {
        slotReads = 0;
        lastSlot = -1;
        readsPerRecord = std::max<int64_t>(1, reads);
        progress_.stage(verb, records_, "records", records_ * stagesAfter);
    }

private:
    int64_t records_;
    Progress progress_;
};


std::string hexText(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(value));
    return text;
}

// Parses the number after "--index"; false with `error` set when it is not one.
bool indexArg(const Args &args, size_t &i, long &index, std::string &error) {
    return numberArg(args, i, 1, IS_MAX_INDEXES + 1, index, error);
}

std::string noIndex(long index, int count) {
    return "no index " + std::to_string(index) + " (the file has " + std::to_string(count) + ")";
}

// Parses "NAME [--index N]": kExitOk, or the status of the usage message.
int nameAndIndex(const Args &args, const char *command, const char *help, long &index) {
    if (args.empty()) return usage(std::string(command) + " needs a NAME", help);
    std::string error;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] != "--index") return unexpectedArgument(args[i], help);
        if (!indexArg(args, i, index, error)) return usage(error, help);
    }
    return kExitOk;
}

// Runs one check call, keeping what the library reports during it.
template <class Check>
int checkReporting(Check &&check, std::vector<CheckPlace> &reported) {
    FatalReports reports;
    const int bits = check();
    reported = reports.places();
    return bits;
}

// One finding of a check: the part checked, the isCheckMsg bit and text,
// and where it is.
struct Finding {
    std::string part;  // "data file", "index 2 (4:20:char:dups)", "variable-length blocks"
    int index = 0;     // the index as info numbers it; 0 for the others
    int bit = 0;
    std::string text;  // with the error of a check that could not finish
    Located located;
};

// The findings `bits` of one check call (`error` its error), with the places `places`
// found for them and the library's own reports during the call (given to
// the failure bit, or to every finding when the check did not fail).
void addFindings(std::vector<Finding> &findings, const std::string &part, int index, int bits, int error,
                 int failedBit, CheckPlaces places, const std::vector<CheckPlace> &reported) {
    for (int bit = 0; bit < kCheckBits; ++bit) {
        const int value = 1 << bit;
        if ((bits & value) == 0) continue;
        Finding finding{part, index, value, isCheckMsg[bit], std::move(places[value])};
        if (value == failedBit) {
            finding.text += " (error " + std::to_string(error) + ": " + errorText(error) + ")";
        }
        if (value == failedBit || (bits & failedBit) == 0) {
            finding.located.places.insert(finding.located.places.begin(), reported.begin(), reported.end());
        }
        findings.push_back(std::move(finding));
    }
}

nlohmann::ordered_json placeJson(const CheckPlace &place) {
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    if (place.block != 0) json["block"] = place.block;
    if (place.record != 0) json["record"] = place.record;
    if (!place.key.empty()) json["key"] = place.key;
    json["detail"] = place.detail;
    return json;
}

constexpr const char *kNoPlace = "no place found: the library names none for this finding";

void printCheck(const std::string &name, const std::vector<std::string> &notes, const std::vector<Finding> &findings,
                const std::string &checked, bool json) {
    if (json) {
        nlohmann::ordered_json result = {{"name", name}, {"clean", findings.empty()}, {"checked", checked}};
        result["notes"] = notes;
        result["findings"] = nlohmann::ordered_json::array();
        for (const Finding &f : findings) {
            nlohmann::ordered_json finding = {{"part", f.part}};
            if (f.index != 0) finding["index"] = f.index;
            finding["bit"] = f.bit;
            finding["finding"] = f.text;
            finding["places"] = nlohmann::ordered_json::array();
            for (const CheckPlace &place : f.located.places) finding["places"].push_back(placeJson(place));
            finding["unlisted"] = f.located.unlisted;
            result["findings"].push_back(finding);
        }
        out("%s\n", result.dump(2).c_str());
        return;
    }
    for (const std::string &note : notes) out("%s: %s\n", name.c_str(), note.c_str());
    for (const Finding &f : findings) {
        const std::string head = name + ": " + f.part + ": " + f.text + " (0x" + hexText(f.bit) + "): ";
        for (const CheckPlace &place : f.located.places) out("%s%s\n", head.c_str(), place.text().c_str());
        if (f.located.places.empty()) out("%s%s\n", head.c_str(), kNoPlace);
        if (f.located.unlisted > 0) out("%sand %lld more\n", head.c_str(), static_cast<long long>(f.located.unlisted));
    }
    if (!findings.empty()) {
        out("%s: damaged: %zu finding%s\n", name.c_str(), findings.size(), findings.size() == 1 ? "" : "s");
    } else {
        out("%s: clean (%s)\n", name.c_str(), checked.c_str());
    }
}

}  // namespace

int checkCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kCheckHelp), kExitOk;
    long only = 0;
    bool json = false;
    Args rest;
    for (const std::string &arg : args) {
        if (arg == "--json") {
            json = true;
        } else {
            rest.push_back(arg);
        }
    }
    if (const int status = nameAndIndex(rest, "check", kCheckHelp, only); status != kExitOk) return status;
    const std::string &name = rest[0];
    Handle f(openFile(name, kReading, "check " + name));
    if (f.get() == nullptr) return openFailed();
    FileIndexes indexes;
    if (!fileIndexes(f.get(), indexes)) return fail("check " + name, f.get());
    const int count = indexes.shape.info.indexCount;
    if (only > count) return usage(noIndex(only, count), kCheckHelp);
    std::vector<Finding> findings;
    std::vector<std::string> notes;
    {
        // The data check reads each slot once, an index check twice per key.
        WatchProgress progress(indexes.shape.info.recordCount);
        int64_t stagesLeft = (only > 0 ? 1 : count + (indexes.shape.fixed > 0 ? 1 : 0));
        if (only == 0 && indexes.shape.fixed > 0) {
            progress.stage("checking the data file:", 1, --stagesLeft);
            // What lies past the highest record number is not read: its
            // size is said first, and the data check reports it.
            int32_t highest = 0;
            DataLength length;
            if (isGetLastRec(f.get(), &highest) && measureDataFile(name, indexes.shape, highest, length) &&
                length.beyond > 0) {
                notes.push_back(longerText(length, highest));
            }
            std::vector<CheckPlace> reported;
            const int bits = checkReporting([&] { return isCheckData(f.get()); }, reported);
            const int error = isErrno(f.get());
            addFindings(findings, "data file", 0, bits, error, kCheckDataFailed,
                        locateData(f.get(), name, indexes.shape, bits), reported);
        }
        for (int n = 1; n <= count; ++n) {
            if ((only != 0 && n != only) || !indexes.real(n)) continue;
            KeyDesc key{};
            isIndexInfo(f.get(), &key, n);
            progress.stage("checking index " + std::to_string(n) + ":", kIndexCheckReads, std::max<int64_t>(0, --stagesLeft));
            std::vector<CheckPlace> reported;
            const int bits = checkReporting([&] { return isCheckIndex(f.get(), indexes.libraryNumber(n)); }, reported);
            // The places are looked for with the check's error kept for its message.
            const int error = isErrno(f.get());
            CheckPlaces places = locateIndex(f.get(), name, indexes.shape, indexes.libraryNumber(n), key, bits);
            addFindings(findings, "index " + std::to_string(n) + " (" + formatKey(key) + ")", n, bits, error,
                        kCheckIndexFailed, std::move(places), reported);
        }
        if (only == 0 && indexes.shape.variable()) {
            progress.stage("checking variable-length blocks:", 1, 0);
            std::vector<CheckPlace> reported;
            const int bits = checkReporting([&] { return isCheckVarlen(f.get(), nullptr); }, reported);
            const int error = isErrno(f.get());
            addFindings(findings, "variable-length blocks", 0, bits, error, kCheckIndexFailed,
                        locateVarlen(f.get(), indexes.shape, bits), reported);
        }
        stopProgress();
    }
    const std::string checked =
        (only != 0 ? "index " + std::to_string(only)
                   : "data file, " + std::to_string(count) + " index" + (count == 1 ? "" : "es")) +
        (only == 0 && indexes.shape.variable() ? ", variable-length blocks" : "");
    printCheck(name, notes, findings, checked, json);
    return findings.empty() ? kExitOk : kExitFailed;
}

int rebuildCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kRebuildHelp), kExitOk;
    if (args.empty()) return usage("rebuild needs a NAME", kRebuildHelp);
    const std::string &name = args[0];
    bool freeList = false, all = false;
    long only = 0;
    std::string error;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--free") {
            freeList = true;
        } else if (args[i] == "--all") {
            all = true;
        } else if (args[i] == "--index") {
            if (!indexArg(args, i, only, error)) return usage(error, kRebuildHelp);
        } else {
            return unexpectedArgument(args[i], kRebuildHelp);
        }
    }
    if (all && only != 0) return usage("--index and --all exclude each other", kRebuildHelp);
    if (!freeList && only == 0) all = true;
    const std::string what = "rebuild " + name;
    Handle f(openFile(name, kExclusive, what));
    if (f.get() == nullptr) return openFailed();
    FileIndexes indexes;
    if (!fileIndexes(f.get(), indexes)) return fail(what, f.get());
    const int count = indexes.shape.info.indexCount;
    if (only > count) return usage(noIndex(only, count), kRebuildHelp);
    std::string done;
    {
        // The free list and each index read every slot once.
        WatchProgress progress(indexes.shape.info.recordCount);
        int64_t stagesLeft = ((freeList || all) ? 1 : 0) + (all ? count : only != 0 ? 1 : 0);
        if ((freeList || all) && indexes.shape.fixed > 0) {
            progress.stage("rebuilding the free list:", 1, --stagesLeft);
            if (!isRebuildFree(f.get(), kDataRecords)) return stopProgress(), fail(what + ": the data free list", f.get());
            done += ", the data free list";
        }
        for (int n = 1; n <= count; ++n) {
            if ((!all && n != only) || !indexes.real(n)) continue;
            progress.stage("rebuilding index " + std::to_string(n) + ":", 1, std::max<int64_t>(0, --stagesLeft));
            if (!isRebuildIdx(f.get(), indexes.libraryNumber(n))) {
                stopProgress();
                return fail(what + ": index " + std::to_string(n) + (done.empty() ? "" : " (done before it" + done + ")"),
                            f.get());
            }
            done += ", index " + std::to_string(n);
        }
    }
    if (!f.close(what)) return kExitFailed;
    out("rebuilt %s: %s\n", name.c_str(), done.empty() ? "nothing to rebuild" : done.c_str() + 2);
    return kExitOk;
}

int cloneCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kCloneHelp), kExitOk;
    if (args.size() != 2) return usage("clone needs SRC and DST", kCloneHelp);
    const std::string what = "clone " + args[0] + " " + args[1];
    Handle source(openFile(args[0], kCloneSource, what));
    std::u16string target;
    if (source.get() == nullptr) return openFailed();
    if (!fileName(args[1], target)) return kExitUsage;
    if (const std::string stale = staleKeptSchema(args[1]); !stale.empty()) return failWith(what + ": " + stale);
    Handle clone(isClone(source.get(), target.c_str()));
    if (clone.get() == nullptr) return fail(what, source.get());
    if (!clone.close(what)) return kExitFailed;
    bool schema = false;
    std::string error;
    if (!copyKeptSchema(args[0], args[1], schema, error)) {
        failWith(what + ": " + error);
        if (isErase(target.c_str())) return failWith(what + ": " + args[1] + " was removed again");
        return fail(what + ": removing " + args[1], nullptr);
    }
    out("cloned %s to %s%s\n", args[0].c_str(), args[1].c_str(), schema ? " with its kept schema" : "");
    return kExitOk;
}

int copyCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kCopyHelp), kExitOk;
    Args names;
    long index = 0;
    std::string error;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--index") {
            if (!indexArg(args, i, index, error)) return usage(error, kCopyHelp);
        } else {
            names.push_back(args[i]);
        }
    }
    if (names.size() != 2) return usage("copy needs SRC and DST", kCopyHelp);
    const std::string what = "copy " + names[0] + " " + names[1];
    // A destination that does not exist yet is built like the source.
    const bool made = ::access((names[1] + ".wox").c_str(), F_OK) != 0 && ::access((names[1] + ".lnk").c_str(), F_OK) != 0;
    Handle source(openFile(names[0], made ? kCloneSource : kReading, what));
    if (source.get() == nullptr) return openFailed();
    FileIndexes indexes;
    if (!fileIndexes(source.get(), indexes)) return fail(what, source.get());
    KeyDesc key{};
    if (index > indexes.shape.info.indexCount) return usage(noIndex(index, indexes.shape.info.indexCount), kCopyHelp);
    if (index > 0 && !isIndexInfo(source.get(), &key, static_cast<int>(index))) return fail(what, source.get());
    std::u16string target;
    if (!fileName(names[1], target)) return kExitUsage;
    if (const std::string stale = made ? staleKeptSchema(names[1]) : ""; !stale.empty()) return failWith(what + ": " + stale);
    if (made) {
        Handle clone(isClone(source.get(), target.c_str()));
        if (clone.get() == nullptr) return fail(what + ": building " + names[1], source.get());
        if (!clone.close(what)) return kExitFailed;
        bool schema = false;
        if (!copyKeptSchema(names[0], names[1], schema, error)) {
            failWith(what + ": " + error);
            if (isErase(target.c_str())) return failWith(what + ": " + names[1] + " was removed again");
            return fail(what + ": removing " + names[1], nullptr);
        }
    }
    Handle destination(openFile(names[1], kExclusive, what));
    if (destination.get() == nullptr) return openFailed();
    IsamInfo before{}, after{};
    isIsamInfo(destination.get(), &before);
    bool copied = false;
    {
        WatchProgress progress(indexes.shape.info.recordCount);
        progress.stage("copying:", 1, 0);
        copied = isCopy(destination.get(), source.get(), index > 0 ? &key : nullptr) != 0;
    }
    if (!copied) {
        fail(what, isErrno(destination.get()) != 0 ? destination.get() : source.get());
        destination.close(what);
        if (made) {
            if (isErase(target.c_str())) return failWith(what + ": " + names[1] + " was removed again");
            return fail(what + ": removing " + names[1], nullptr);
        }
        return failWith(what + ": " + names[1] + " is as it was (a failed copy drops what it copied)");
    }
    isIsamInfo(destination.get(), &after);
    if (!destination.close(what)) return kExitFailed;
    out("copied %d records from %s to %s%s\n", after.recordCount - before.recordCount, names[0].c_str(),
        names[1].c_str(), made ? " (built like it)" : "");
    return kExitOk;
}

int clusterCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kClusterHelp), kExitOk;
    long index = 0;
    if (const int status = nameAndIndex(args, "cluster", kClusterHelp, index); status != kExitOk) return status;
    const std::string &name = args[0];
    if (index == 0) return usage("cluster needs --index N", kClusterHelp);
    const std::string what = "cluster " + name;
    Handle f(openFile(name, kExclusive, what));
    if (f.get() == nullptr) return openFailed();
    FileIndexes indexes;
    if (!fileIndexes(f.get(), indexes)) return fail(what, f.get());
    if (index > indexes.shape.info.indexCount) return usage(noIndex(index, indexes.shape.info.indexCount), kClusterHelp);
    if (!indexes.real(static_cast<int>(index))) return usage("index 1 of a file without primary key is record-number order", kClusterHelp);
    KeyDesc key{};
    if (!isIndexInfo(f.get(), &key, static_cast<int>(index))) return fail(what, f.get());
    IsFile *clustered = nullptr;
    {
        WatchProgress progress(indexes.shape.info.recordCount);
        progress.stage("clustering:", 1, 0);
        clustered = isCluster(f.get(), &key);
    }
    if (clustered == nullptr) {
        fail(what + "; the file is as it was", f.get());
        return kExitFailed;
    }
    f.take();  // closed by the cluster
    Handle result(clustered);
    if (!result.close(what)) return kExitFailed;
    out("clustered %s on index %ld: %d records\n", name.c_str(), index, indexes.shape.info.recordCount);
    return kExitOk;
}

int indexCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kIndexHelp), kExitOk;
    if (args.size() != 3 || (args[0] != "add" && args[0] != "drop")) {
        return usage("index needs add NAME KEY or drop NAME N", kIndexHelp);
    }
    const std::string &name = args[1];
    const std::string what = "index " + args[0] + " " + name;
    KeyDesc key{};
    std::string error;
    long number = 0;
    if (args[0] == "add" && !parseKey(args[2], key, error)) return usage(error, kIndexHelp);
    if (args[0] == "drop") {
        Args option = {"N", args[2]};
        size_t at = 0;
        if (!numberArg(option, at, 1, IS_MAX_INDEXES + 1, number, error)) return usage(error, kIndexHelp);
    }
    Handle f(openFile(name, kExclusive, what));
    if (f.get() == nullptr) return openFailed();
    FileIndexes indexes;
    if (!fileIndexes(f.get(), indexes)) return fail(what, f.get());
    if (args[0] == "add") {
        if (!isAddIndex(f.get(), &key)) return fail(what + " " + args[2], f.get());
        if (!f.close(what)) return kExitFailed;
        out("added index %d to %s: %s\n", indexes.shape.info.indexCount + 1, name.c_str(), formatKey(key).c_str());
        return kExitOk;
    }
    if (number > indexes.shape.info.indexCount) return usage(noIndex(number, indexes.shape.info.indexCount), kIndexHelp);
    if (!indexes.real(static_cast<int>(number)) || !isIndexInfo(f.get(), &key, static_cast<int>(number))) {
        return failWith(what + ": index 1 of a file without primary key is record-number order, not an index");
    }
    if (!isDelIndex(f.get(), &key)) return fail(what + " " + args[2], f.get());
    if (!f.close(what)) return kExitFailed;
    out("dropped index %ld of %s: %s\n", number, name.c_str(), formatKey(key).c_str());
    return kExitOk;
}

// erase and rename: one call each on names of files that are not open.
int nameCommand(const Args &args, bool rename) {
    const char *help = rename ? kRenameHelp : kEraseHelp;
    if (wantsHelp(args)) return out("%s", help), kExitOk;
    if (args.size() != (rename ? 2u : 1u)) return usage(rename ? "rename needs OLD and NEW" : "erase needs a NAME", help);
    std::u16string from, to;
    if (!fileName(args[0], from) || (rename && !fileName(args[1], to))) return kExitUsage;
    const std::string what = (rename ? "rename " : "erase ") + args[0];
    if (!(rename ? isRename(from.c_str(), to.c_str()) : isErase(from.c_str()))) {
        if (isErrno(nullptr) == EFLOCKED) return failWith(what + ": another process has " + args[0] + " open");
        return fail(what, nullptr);
    }
    if (rename) {
        out("renamed %s to %s\n", args[0].c_str(), args[1].c_str());
    } else {
        out("erased %s\n", args[0].c_str());
    }
    return kExitOk;
}

int eraseCommand(const Args &args) { return nameCommand(args, false); }
int renameCommand(const Args &args) { return nameCommand(args, true); }

}  // namespace wisam::tool
