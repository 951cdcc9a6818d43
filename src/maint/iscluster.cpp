// layer: maint
// iscluster.cpp - isCluster: a file rewritten in the order of an index and
// put in its own place (the steps are in maint/iscopy.h).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
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
constexpr char16_t kLinkExtension[] = u".lnk";
constexpr int kMovedKinds[] = {kKindIndex, kKindData};
// The clone's files; its lock file and journal are not moved, only removed.
// The file's kept schema N.wsc stays where it is: only the index and data
// files change places, so it describes the clustered file as it did the
// old one.  A clone never has one, but one left under its temporary name is
// removed with it (the name is taken as free only when no N.wsc is there).
constexpr int kCloneKinds[] = {kKindIndex, kKindData, kKindLock, kKindJournal, kKindSchema};
constexpr size_t kCloneOnlyKinds = 2;  // kCloneKinds from here on are never moved
constexpr int kUserInfoBytes = 10;
// Names tried for each temporary file before the cluster gives up.
constexpr int kNameAttempts = 100;

// The directory part ends at the last of these.
bool separator(char16_t c) { return c == u'/' || c == u'\\' || c == u':' || c == u']'; }

// A name held as literal (no link file redirects it) for the object's life.
class LiteralName {
public:
    explicit LiteralName(std::u16string name) : name_(std::move(name)), held_(sysHoldLiteralName(name_.c_str())) {}
    ~LiteralName() {
        if (held_) sysDropLiteralName(name_.c_str());
    }
    LiteralName(const LiteralName &) = delete;
    LiteralName &operator=(const LiteralName &) = delete;
    bool held() const { return held_; }
    const std::u16string &name() const { return name_; }

private:
    const std::u16string name_;
    const bool held_;
};

void eraseQuietly(const std::u16string &name, const int *kinds, size_t count) {
    const int error = errno;
    for (size_t i = 0; i < count; ++i) sysErase(nullptr, kinds[i], name.c_str());
    errno = error;
}

void eraseClone(const std::u16string &name) { eraseQuietly(name, kCloneKinds, std::size(kCloneKinds)); }

// `file` is the name the handle was opened by; `resolved` the base name its
// link file (if any) gave at the start of the cluster, held literal while
// files are moved; the temporary names are made in its directory.
struct ClusterNames {
    std::u16string file, resolved;
    int64_t pid = 0;
};

// A failure before the file was replaced: the handle keeps the error of
// the step that failed.
IsFile *failBefore(IsFile *f, int error) {
    f->errorNumber = error;
    errno = error;
    return nullptr;
}

// True when nothing has any name of the clone `name`: its files, and a link
// file, which would make the name mean another file to anyone who opens it.
bool cloneNameFree(const std::u16string &name) {
    if (takenKind(name.c_str()) != 0) return false;
    SysPath link;
    if (utf16ToPath((name + kLinkExtension).c_str(), link) != NameResult::ok) return false;
    SysFileStatus status = {};
    return sysCalls.pathStatus(link.bytes, &status, false) != 0 && errno == ENOENT;
}

// The checks made before anything is created.
int prepare(IsFile *f, const KeyDesc *key, ClusterNames &names) {
    if (f->recordLength == 0) raiseError(f, kErrBadArgument, 0);
    if ((f->mode & kModeExclusive) == 0) raiseError(f, kErrNeedExclusive, 0);
    if (key != nullptr && findIndex(f, *key) < 0) raiseError(f, kErrBadKey, 0);
    char16_t resolved[kPathUnits];
    const NameResult result = sysResolveLink(f->name, resolved);
    if (result != NameResult::ok) raiseError(f, result == NameResult::tooLong ? kErrNameTooLong : kErrBadArgument, 0);
    names.pid = sysCalls.getpid();
    names.file = f->name;
    names.resolved = resolved;
    // Both temporary names must be possible before anything is made.
    for (const char16_t *prefix : {kClonePrefix, kAsidePrefix}) {
        if (clusterName(resolved, prefix, names.pid).empty()) raiseError(f, kErrNameTooLong, 0);
    }
    return 1;
}

// The clone under the first temporary name that nothing has, held literal
// from then on; a name taken meanwhile (the build's exclusive create
// refuses it) makes the next one be tried.
IsFile *makeClone(IsFile *f, const ClusterNames &names, uint32_t mode, std::optional<LiteralName> &hold) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::u16string name = clusterName(names.resolved.c_str(), kClonePrefix, names.pid, attempt);
        if (name.empty()) return failBefore(f, kErrNameTooLong);
        hold.emplace(name);
        if (!hold->held()) return failBefore(f, kErrBadArgument);
        if (!cloneNameFree(name)) {
            hold.reset();
            continue;
        }
        IsFile *clone = framedCall(f, kAccessAny, CallLock::none, [&] { return cloneFile(f, name.c_str(), mode); });
        if (clone != nullptr || f->errorNumber != EEXIST) return clone;
        hold.reset();
    }
    return failBefore(f, EEXIST);
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

// The files under the resolved name must be those the handle holds open:
// a link file changed since the open would otherwise have the cluster set
// aside, and erase, files it never read.
int checkSameFiles(IsFile *f, const ClusterNames &names) {
    for (const int kind : kMovedKinds) {
        SysPath path;
        SysFileStatus open = {};
        SysFileStatus named = {};
        if (sysPathOf(kind, names.resolved.c_str(), path) != 0 || !sysStatus(sysDescriptor(f, kind), open)) {
            return EIO;
        }
        if (sysCalls.pathStatus(path.bytes, &named, true) != 0) return errno;
        if (named.device != open.device || named.inode != open.inode) return ESTALE;
    }
    return 0;
}

// The clone's files in the place of the file's (steps 2 and 3), the old
// files set aside under the first "iso" name that nothing has.  0, or the
// errno of the failure; everything moved is back then.
int replaceFiles(const ClusterNames &names, const std::u16string &clone, std::optional<LiteralName> &aside) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::u16string name = clusterName(names.resolved.c_str(), kAsidePrefix, names.pid, attempt);
        if (name.empty()) return kErrNameTooLong;
        aside.emplace(name);
        if (!aside->held()) return kErrBadArgument;
        FileMoves moves;
        int error = 0;
        for (const int kind : kMovedKinds) {
            if (error == 0) error = moves.move(kind, names.resolved.c_str(), aside->name().c_str());
        }
        if (error == EEXIST) continue;
        for (const int kind : kMovedKinds) {
            if (error == 0) error = moves.move(kind, clone.c_str(), names.resolved.c_str());
        }
        if (error == 0) moves.keep();
        return error;
    }
    return EEXIST;
}

}  // namespace

std::u16string clusterName(const char16_t *name, const char16_t *prefix, int64_t pid, int attempt) {
    const std::u16string whole(name);
    size_t directory = 0;
    for (size_t i = 0; i < whole.size(); ++i) {
        if (separator(whole[i])) directory = i + 1;
    }
    char digits[48];
    if (attempt == 0) {
        std::snprintf(digits, sizeof digits, "%05lld", static_cast<long long>(pid));
    } else {
        std::snprintf(digits, sizeof digits, "%05lld_%d", static_cast<long long>(pid), attempt);
    }
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
    std::optional<LiteralName> cloneName;
    IsFile *made = makeClone(f, names, cloneMode, cloneName);
    if (made == nullptr) return nullptr;
    int error = 0;
    if (copyFile(made, f, key) == 0) {
        error = made->errorNumber;
    } else if (framedCall(made, kAccessChange, CallLock::exclusive, [&] { return finishClone(made, f); }) == 0) {
        error = made->errorNumber;
    }
    // Closed in every case; a clone whose close could not write what it
    // holds is not a whole file.
    if (closeFile(made) == 0) {
        if (error == 0) error = errno != 0 ? errno : kErrCorrupt;
        closeHandle(made);
    }
    std::optional<LiteralName> aside;
    {
        const LiteralName resolved(names.resolved);
        if (error == 0 && !resolved.held()) error = kErrBadArgument;
        if (error == 0) error = checkSameFiles(f, names);
        if (error == 0) error = replaceFiles(names, cloneName->name(), aside);
    }
    if (error != 0) {
        eraseClone(cloneName->name());
        return failBefore(f, error);
    }
    // Replaced: the handle's descriptors hold the set-aside files.
    if (closeFile(f) == 0) closeHandle(f);
    eraseQuietly(aside->name(), kMovedKinds, std::size(kMovedKinds));
    eraseQuietly(cloneName->name(), kCloneKinds + kCloneOnlyKinds, std::size(kCloneKinds) - kCloneOnlyKinds);
    aside.reset();
    cloneName.reset();
    return openHandle(names.file.c_str(), (mode & kModeVarLength) != 0 ? mode | kModeOpenVarLength : mode);
}

}  // namespace wisam
