// dirsnap.h - what a directory holds, taken before and after a call, so that
// a test can say exactly which names the call touched.
//
// A snapshot walks the directory recursively without following symbolic
// links: every entry is recorded by its path relative to the root, with its
// kind, permission bits, and its bytes (regular files) or its target
// (symbolic links).  Comparing two snapshots lists every name added,
// removed or changed, one line each, for the assertion message.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace wisam::testing {

struct DirEntry {
    enum class Kind { file, directory, symlink, other };
    Kind kind = Kind::other;
    uint32_t permissions = 0;        // the low 12 mode bits
    std::vector<uint8_t> bytes;      // a regular file's contents
    std::string target;              // a symbolic link's target, as stored
    bool operator==(const DirEntry &) const = default;
};

class DirSnapshot {
public:
    // The tree under `root` as it is now.
    static DirSnapshot take(const std::string &root);

    const std::map<std::string, DirEntry> &entries() const { return entries_; }
    // Drops the bytes of the regular files named in `relatives` (the slot
    // counter of a lock file, which every open moves on): their kind,
    // permissions and presence are still compared.  Returns itself.
    DirSnapshot &ignoreBytes(const std::vector<std::string> &relatives);
    bool has(const std::string &relative) const { return entries_.count(relative) != 0; }

    // One line per difference from `before` to this snapshot ("added x",
    // "removed x", "changed x: ..."), for names that `ignore` does not
    // accept; "" when there is none.
    std::string differencesFrom(const DirSnapshot &before,
                                const std::function<bool(const std::string &)> &ignore = nullptr) const;

private:
    std::map<std::string, DirEntry> entries_;
};

// An `ignore` for differencesFrom: the files the library keeps for each ISAM
// file of `bases` (base.wox, .wod, .lck and .wjn, relative to the snapshot
// root), so that only the other names are compared.  A link file base.lnk
// is not among them: the library never writes one.
std::function<bool(const std::string &)> filesOf(const std::vector<std::string> &bases);

}  // namespace wisam::testing
