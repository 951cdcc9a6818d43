// keptschema.cpp - the schema kept with a file: N.wsc beside N.wox, which
// dump, load, get, put and export-pg read when no --schema is given.
//
// The library moves, copies and removes N.wsc with the file (erase, rename,
// cluster) but never reads it; only the tool writes it.  It is written
// whole or not at all: into a new file beside it (created exclusively, never
// through a name planted there), forced to the disk, then renamed over
// N.wsc, so that a crash leaves the old schema or the new one and a
// symbolic link planted as N.wsc is replaced, not written through.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include "fileio.h"
#include "schema.h"
#include "tool.h"

namespace wisam::tool {

namespace {

constexpr mode_t kNewFileMode = 0666;
// The longest kept schema read: far more than any schema of a record needs.
constexpr size_t kLongestSchema = 16 << 20;


// The directory that holds `path`, for making a rename in it durable.
std::string directoryOf(const std::string &path) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? "." : parent.string();
}

}  // namespace

std::string keptSchemaPath(const std::string &name) { return basePath(name) + ".wsc"; }

bool keptSchemaThere(const std::string &name) {
    struct stat st {};
    return ::lstat(keptSchemaPath(name).c_str(), &st) == 0;
}

bool readKeptSchema(const std::string &name, std::string &text, std::string &error) {
    const std::string path = keptSchemaPath(name);
    Descriptor in{::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    if (in.fd < 0 && errno == ELOOP) {
        return error = path + " is a symbolic link, not a kept schema ('wisam schema " + name +
                       " --set S.json' keeps one)", false;
    }
    struct stat st {};
    if (in.fd < 0 || ::fstat(in.fd, &st) != 0) return error = systemError("cannot read the kept schema " + path), false;
    if (!S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > kLongestSchema) {
        return error = path + " is not a kept schema (not a file of at most 16 MiB)", false;
    }
    text.clear();
    char chunk[1 << 14];
    for (;;) {
        const ssize_t got = ::read(in.fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return error = systemError("cannot read the kept schema " + path), false;
        if (got == 0) return true;
        text.append(chunk, static_cast<size_t>(got));
        if (text.size() > kLongestSchema) return error = path + " is not a kept schema (longer than 16 MiB)", false;
    }
}

bool schemaFor(const std::string &name, std::string &schema, bool &kept, std::string &error) {
    kept = false;
    if (!schema.empty() || !keptSchemaThere(name)) return true;
    std::string text;
    if (!readKeptSchema(name, text, error)) return false;
    schema = keptSchemaPath(name);
    kept = true;
    return true;
}

bool keepSchema(const std::string &name, const std::string &text, std::string &error) {
    const std::string path = keptSchemaPath(name);
    std::string tmp;
    Descriptor out{-1};
    for (int attempt = 0; attempt < 100 && out.fd < 0; ++attempt) {
        tmp = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        out.fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
        if (out.fd < 0 && errno != EEXIST) break;
    }
    if (out.fd < 0) return error = systemError("cannot write the kept schema " + path), false;
    // Whoever may change the file may change its schema: the index file's
    // permission bits, as the library gives its lock file and journal.
    struct stat index {};
    if (::stat((basePath(name) + ".wox").c_str(), &index) == 0) ::fchmod(out.fd, index.st_mode & 0666);
    bool written = writeAll(out.fd, text.data(), text.size()) && ::fsync(out.fd) == 0;
    written = ::close(std::exchange(out.fd, -1)) == 0 && written;
    if (!written || ::rename(tmp.c_str(), path.c_str()) != 0) {
        error = systemError("cannot write the kept schema " + path);
        ::unlink(tmp.c_str());
        return false;
    }
    Descriptor directory{::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (directory.fd < 0 || ::fsync(directory.fd) != 0) {
        return error = systemError("kept schema " + path + ": making its name durable"), false;
    }
    return true;
}

bool copyKeptSchema(const std::string &from, const std::string &to, bool &copied, std::string &error) {
    copied = false;
    if (!keptSchemaThere(from)) return true;
    std::string text;
    if (!readKeptSchema(from, text, error) || !keepSchema(to, text, error)) return false;
    copied = true;
    return true;
}

bool dropKeptSchema(const std::string &name, std::string &error) {
    const std::string path = keptSchemaPath(name);
    if (::unlink(path.c_str()) != 0) {
        if (errno == ENOENT) return error = "no schema is kept with " + name, false;
        return error = systemError("cannot remove the kept schema " + path), false;
    }
    Descriptor directory{::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (directory.fd >= 0) ::fsync(directory.fd);
    return true;
}

std::string staleKeptSchema(const std::string &name) {
    if (!keptSchemaThere(name)) return "";
    return keptSchemaPath(name) + " exists, a kept schema without its file: remove it first";
}

}  // namespace wisam::tool
