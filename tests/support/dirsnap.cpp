// dirsnap.cpp - directory snapshots and their differences.
#include "support/dirsnap.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <set>

namespace wisam::testing {

namespace {

std::vector<uint8_t> contents(const std::string &path) {
    std::vector<uint8_t> bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return bytes;
    uint8_t chunk[8192];
    for (long got; (got = ::read(fd, chunk, sizeof chunk)) > 0;) bytes.insert(bytes.end(), chunk, chunk + got);
    ::close(fd);
    return bytes;
}

void walk(const std::string &root, const std::string &relative, std::map<std::string, DirEntry> &out) {
    const std::string directory = relative.empty() ? root : root + "/" + relative;
    DIR *d = ::opendir(directory.c_str());
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (const dirent *e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    for (const std::string &name : names) {
        const std::string rel = relative.empty() ? name : relative + "/" + name;
        const std::string path = root + "/" + rel;
        struct stat st = {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        DirEntry entry;
        entry.permissions = st.st_mode & 07777;
        if (S_ISREG(st.st_mode)) {
            entry.kind = DirEntry::Kind::file;
            entry.bytes = contents(path);
        } else if (S_ISLNK(st.st_mode)) {
            entry.kind = DirEntry::Kind::symlink;
            entry.permissions = 0;  // not kept by every file system
            char target[4096];
            const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
            if (n > 0) entry.target.assign(target, static_cast<size_t>(n));
        } else if (S_ISDIR(st.st_mode)) {
            entry.kind = DirEntry::Kind::directory;
        }
        out[rel] = entry;
        if (entry.kind == DirEntry::Kind::directory) walk(root, rel, out);
    }
}

const char *kindName(DirEntry::Kind kind) {
    switch (kind) {
    case DirEntry::Kind::file: return "file";
    case DirEntry::Kind::directory: return "directory";
    case DirEntry::Kind::symlink: return "symlink";
    case DirEntry::Kind::other: return "other";
    }
    return "?";
}

// What changed in one entry, in words.
std::string change(const DirEntry &was, const DirEntry &is) {
    if (was.kind != is.kind) return std::string(kindName(was.kind)) + " became " + kindName(is.kind);
    std::string text;
    if (was.permissions != is.permissions) {
        char modes[64];
        std::snprintf(modes, sizeof modes, "mode %04o -> %04o", was.permissions, is.permissions);
        text += modes;
    }
    if (was.target != is.target) text += (text.empty() ? "" : "; ") + ("target '" + was.target + "' -> '" + is.target + "'");
    if (was.bytes != is.bytes) {
        size_t at = 0;
        while (at < was.bytes.size() && at < is.bytes.size() && was.bytes[at] == is.bytes[at]) ++at;
        text += (text.empty() ? "" : "; ") + ("bytes differ from offset " + std::to_string(at) + " (size " +
                                              std::to_string(was.bytes.size()) + " -> " +
                                              std::to_string(is.bytes.size()) + ")");
    }
    return text;
}

}  // namespace

DirSnapshot DirSnapshot::take(const std::string &root) {
    DirSnapshot snapshot;
    walk(root, "", snapshot.entries_);
    return snapshot;
}

DirSnapshot &DirSnapshot::ignoreBytes(const std::vector<std::string> &relatives) {
    for (const std::string &relative : relatives) {
        const auto it = entries_.find(relative);
        if (it != entries_.end()) it->second.bytes.clear();
    }
    return *this;
}

std::string DirSnapshot::differencesFrom(const DirSnapshot &before,
                                         const std::function<bool(const std::string &)> &ignore) const {
    std::set<std::string> names;
    for (const auto &[name, entry] : before.entries_) names.insert(name);
    for (const auto &[name, entry] : entries_) names.insert(name);
    std::string report;
    for (const std::string &name : names) {
        if (ignore && ignore(name)) continue;
        const auto was = before.entries_.find(name);
        const auto is = entries_.find(name);
        if (was == before.entries_.end()) {
            report += "added " + name + "\n";
        } else if (is == entries_.end()) {
            report += "removed " + name + "\n";
        } else if (!(was->second == is->second)) {
            report += "changed " + name + ": " + change(was->second, is->second) + "\n";
        }
    }
    return report;
}

std::function<bool(const std::string &)> filesOf(const std::vector<std::string> &bases) {
    return [bases](const std::string &name) {
        for (const std::string &base : bases) {
            for (const char *extension : {".wox", ".wod", ".lck", ".wjn"}) {
                if (name == base + extension) return true;
            }
        }
        return false;
    };
}

}  // namespace wisam::testing
