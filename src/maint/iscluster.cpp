// iscluster.cpp - isCluster: a file rewritten in the order of an index and
// put in its own place (the steps are in maint/iscopy.h).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "frame/iscall.h"
#include "frame/iserror.h"
#include "frame/isfile.h"
#include "frame/ishandles.h"
#include "maint/iscopy.h"
#include "structure/isdict.h"
#include "structure/iskeydesc.h"
#include "structure/islife.h"
#include "system/issystem.h"

namespace wisam {

namespace {

constexpr char16_t kClonePrefix[] = u"ist";
constexpr char16_t kAsidePrefix[] = u"iso";
constexpr int kMovedKinds[] = {kKindIndex, kKindData};
// The clone's files; its lock file and journal are not moved, only removed.
constexpr int kCloneKinds[] = {kKindIndex, kKindData, kKindLock, kKindJournal};
constexpr int kUserInfoBytes = 10;

// The directory part ends at the last of these.
bool separator(char16_t c) { return c == u'/' || c == u'\\' || c == u':' || c == u']'; }

// A file set being renamed kind by kind; what was moved is moved back
// unless the whole move is kept.
class Moves {
public:
    // Moves kind `kind` from `from` to `to`; false (errno set) when it fails.
    bool move(int kind, const std::u16string &from, const std::u16string &to) {
        if (sysRename(nullptr, kind, from.c_str(), to.c_str()) == 0) return false;
        done_.push_back(Move{kind, from, to});
        return true;
    }
    // Moves everything back, newest first, keeping errno.
    void undo() {
        const int error = errno;
        for (auto it = done_.rbegin(); it != done_.rend(); ++it) {
            if (sysRename(nullptr, it->kind, it->to.c_str(), it->from.c_str()) == 0) {
                fatalMessage("isCluster: %s left under the set-aside name", it->kind == kKindIndex ? "index file" : "data file");
            }
        }
        done_.clear();
        errno = error;
    }

private:
    struct Move {
        int kind;
        std::u16string from, to;
    };
    std::vector<Move> done_;
};

void eraseQuietly(const std::u16string &name, const int *kinds, size_t count) {
    const int error = errno;
    for (size_t i = 0; i < count; ++i) sysErase(nullptr, kinds[i], name.c_str());
    errno = error;
}

void eraseClone(const std::u16string &name) { eraseQuietly(name, kCloneKinds, std::size(kCloneKinds)); }

struct ClusterNames {
    std::u16string file, clone, aside;
};

// The checks made before anything is created.
int prepare(IsFile *f, const KeyDesc *key, ClusterNames &names) {
    if (f->recordLength == 0) raiseError(f, kErrBadArgument, 0);
    if ((f->mode & kModeExclusive) == 0) raiseError(f, kErrNeedExclusive, 0);
    if (key != nullptr && findIndex(f, *key) < 0) raiseError(f, kErrBadKey, 0);
    const int64_t pid = sysCalls.getpid();
    names.file = f->name;
    names.clone = clusterName(f->name, kClonePrefix, pid);
    names.aside = clusterName(f->name, kAsidePrefix, pid);
    if (names.clone.empty() || names.aside.empty()) raiseError(f, kErrNameTooLong, 0);
    return 1;
}

// What the file keeps through a cluster besides its records, then the
// clone made durable before it replaces the file.
int finishClone(IsFile *clone, IsFile *f) {
    clone->uniqueId = f->uniqueId;
    std::memcpy(clone->dictionary + kDictUserInfo, f->dictionary + kDictUserInfo, kUserInfoBytes);
    if ((f->state & kStatePrecious) != 0) setPrecious(clone, 1);
    writeDictionary(clone);
    sysCommit(clone, kKindData);
    sysCommit(clone, kKindIndex);
    return 1;
}

// The clone's files in the place of the file's (steps 2 and 3).  False with
// errno when a move failed; everything moved is back then.
bool replaceFiles(const ClusterNames &names) {
    Moves moves;
    for (int kind : kMovedKinds) {
        if (!moves.move(kind, names.file, names.aside)) {
            moves.undo();
            return false;
        }
    }
    for (int kind : kMovedKinds) {
        if (!moves.move(kind, names.clone, names.file)) {
            moves.undo();
            return false;
        }
    }
    return true;
}

// A failure before the file was replaced: the handle keeps the error of
// the step that failed.
IsFile *failBefore(IsFile *f, int error) {
    f->errorNumber = error;
    errno = error;
    return nullptr;
}

}  // namespace

std::u16string clusterName(const char16_t *name, const char16_t *prefix, int64_t pid) {
    const std::u16string whole(name);
    size_t directory = 0;
    for (size_t i = 0; i < whole.size(); ++i) {
        if (separator(whole[i])) directory = i + 1;
    }
    char digits[32];
    std::snprintf(digits, sizeof digits, "%05lld", static_cast<long long>(pid));
    std::u16string result = whole.substr(0, directory) + prefix;
    for (const char *d = digits; *d != 0; ++d) result += static_cast<char16_t>(*d);
    if (result.size() > static_cast<size_t>(kMaxBaseUnits)) return u"";
    return result;
}

IsFile *clusterFile(IsFile *f, KeyDesc *key) {
    if (f == nullptr) {
        errno = ENOENT;
        return nullptr;
    }
    ClusterNames names;
    if (framedCall(f, kAccessAny, CallLock::none, [&] { return prepare(f, key, names); }) == 0) return nullptr;
    const uint32_t mode = f->mode;
    // The clone is this process's own work file: written in full, never
    // logged, and exclusive like the handle.
    const uint32_t cloneMode = (mode & ~(kModeAccessMask | kModeTransaction)) | ISINOUT | kModeNeverLogged;
    IsFile *clone = framedCall(f, kAccessAny, CallLock::none,
                               [&] { return cloneFile(f, names.clone.c_str(), cloneMode); });
    if (clone == nullptr) return nullptr;
    int error = 0;
    if (copyFile(clone, f, key) == 0) {
        error = clone->errorNumber;
    } else if (framedCall(clone, kAccessChange, CallLock::exclusive, [&] { return finishClone(clone, f); }) == 0) {
        error = clone->errorNumber;
    }
    // Closed in every case; a clone whose close could not write what it
    // holds is not a whole file.
    if (closeFile(clone) == 0) {
        if (error == 0) error = errno != 0 ? errno : kErrCorrupt;
        closeHandle(clone);
    }
    if (error == 0 && !replaceFiles(names)) error = errno;
    if (error != 0) {
        eraseClone(names.clone);
        return failBefore(f, error);
    }
    // Replaced: the handle's descriptors hold the set-aside files.
    if (closeFile(f) == 0) closeHandle(f);
    eraseQuietly(names.aside, kMovedKinds, std::size(kMovedKinds));
    eraseQuietly(names.clone, kCloneKinds + 2, 2);
    return openHandle(names.file.c_str(), (mode & kModeVarLength) != 0 ? mode | kModeOpenVarLength : mode);
}

}  // namespace wisam
