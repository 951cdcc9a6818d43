// backup.cpp - backup: a consistent copy of ISAM files and a new, empty
// transaction log, the starting point that recovery works from.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fileio.h"
#include "logread.h"
#include "tool.h"

namespace wisam::tool {

namespace {

constexpr const char *kBackupHelp =
    "usage: wisam backup NAME... DIR [--log LOGFILE [--force]]\n"
    "  copies the index and data files of each ISAM file NAME (through NAME.lnk\n"
    "  when there is one) into directory DIR (made when missing) as NAME.wox and\n"
    "  NAME.wod, and its kept schema as NAME.wsc, while no other process can\n"
    "  change them: one consistent moment of all of them.  With --log, then\n"
    "  empties LOGFILE.  The copies plus the\n"
    "  log written from then on are what 'wisam recover' needs: put the copies\n"
    "  back where the files were and recover the log.\n"
    "  Name every file logged to LOGFILE: the log starts anew for all of them.\n"
    "  Recovery finds files through the open records of the log, so a process\n"
    "  that keeps a file open across the backup must open it again afterwards.\n"
    "  The log is started anew only while it holds no transaction without an\n"
    "  end; --force starts it anyway, for transactions whose process is gone.\n";

constexpr size_t kCopyBuffer = 1 << 20;
constexpr mode_t kNewFileMode = 0666;

// The lock that keeps other processes from changing a file while it is
// copied.  Weighed:
// - opening with ISEXCLLOCK fails (113) while any other process has the file
//   open, so a file in use could never be backed up;
// - isLock takes the file lock, which is made of the record-lock bytes: it
//   stops others from locking, deleting and rewriting records 1 to 1023, but
//   not from adding records or changing records from 1024 on;
// - a kept shared file-state lock (isSetCustomLock request 1) is what every
//   changing call of any other process waits for, because a change needs the
//   whole file-state region, of which the kept shared byte is part.  Readers
//   go on meanwhile.  A process keeping an exclusive lock is waited for, and
//   it writes its deferred blocks and dictionary before it lets go, so the
//   files are whole on disk once the lock is ours.
// Hence: open for input with manual record locking and keep the shared lock
// until the new log has been started.
constexpr int kBackupOpenMode = ISINPUT | ISMANULOCK | ISOPENVARLEN;
constexpr int kKeepSharedLock = 1;
constexpr int kEndKeptLock = 0;

// An open handle holding the kept shared lock; released and closed at the end.
struct HeldFile {
    IsFile *f = nullptr;
    std::string name;
    std::string base;  // path of the files without extension, after NAME.lnk

    HeldFile() = default;
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;
    ~HeldFile() {
        if (f == nullptr) return;
        isSetCustomLock(f, kEndKeptLock);
        isClose(f);
    }
};



bool copyInto(int in, int out, const std::string &from, const std::string &to, uint64_t &bytes,
              std::string &error) {
    std::vector<unsigned char> buffer(kCopyBuffer);
    bytes = 0;
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return error = systemError(from), false;
        if (got == 0) return true;
        if (!writeAll(out, buffer.data(), static_cast<size_t>(got))) return error = systemError(to), false;
        bytes += static_cast<uint64_t>(got);
    }
}

// A new file beside `to`, created exclusively (never through a name someone
// planted there), or -1.  `tmp` receives its name.
int createBeside(const std::string &to, std::string &tmp) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = to + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// Copies `from` to `to` byte for byte and forces the copy to the device.  The
// copy is written to a new file beside `to` and renamed over it when whole,
// so a link planted as `to` is replaced, never written through, and a copy
// that fails leaves an earlier `to` as it was.
bool copyFile(const std::string &from, const std::string &to, uint64_t &bytes, std::string &error) {
    Descriptor in{::open(from.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat source {};
    if (in.fd < 0 || ::fstat(in.fd, &source) != 0) return error = systemError(from), false;
    struct stat target {};
    if (::stat(to.c_str(), &target) == 0 && target.st_dev == source.st_dev &&
        target.st_ino == source.st_ino) {
        error = to + " is " + from + " itself";
        return false;
    }
    std::string tmp;
    Descriptor out{createBeside(to, tmp)};
    if (out.fd < 0) return error = systemError(to), false;
    if (!copyInto(in.fd, out.fd, from, tmp, bytes, error) || ::fsync(out.fd) != 0 ||
        ::close(std::exchange(out.fd, -1)) != 0 || ::rename(tmp.c_str(), to.c_str()) != 0) {
        if (error.empty()) error = systemError(to);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Makes the names in directory `dir` durable.
bool syncDirectory(const std::string &dir, std::string &error) {
    Descriptor d{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (d.fd < 0 || ::fsync(d.fd) != 0) return error = systemError(dir), false;
    return true;
}

// A transaction under way when the log starts anew would keep back links
// into the old log: its rollback would then walk into the new log's records
// and undo operations that are not its own.  So the log must hold none.
// With `final`, files that the log shows open are named too: their later
// changes cannot be recovered until they are opened again.
bool checkLog(const std::string &path, bool force, bool final, std::string &error) {
    LogFile log(path);
    if (!log.ok()) {
        if (log.error() == ENOENT) return true;  // created empty later
        error = path + ": " + std::strerror(log.error());
        return false;
    }
    TransactionScan scan;
    OpenFileScan files;
    LogDamage damage;
    walkLog(
        log.size(), log.reader(),
        [&](const LogRecord &r) {
            scan.add(r);
            files.add(r);
        },
        damage);
    if (final) {
        for (const OpenFileScan::Open &file : files.open()) {
            std::fprintf(stderr,
                         "wisam: backup: warning: process %u, if it still runs, has \"%s\" open "
                         "(since offset %llu): "
                         "its later changes cannot be recovered until it opens the file again\n",
                         file.pid, file.name.c_str(), static_cast<unsigned long long>(file.offset));
        }
    }
    const std::vector<TransactionScan::Begin> left = scan.unfinished();
    if (left.empty()) return true;
    const TransactionScan::Begin &first = left.front();
    const std::string which =
        std::to_string(left.size()) + " transaction" + (left.size() == 1 ? "" : "s") +
        " without an end, the first begun at offset " + std::to_string(first.offset) +
        " by process " + std::to_string(first.pid);
    if (!force) {
        error = path + " holds " + which +
                "; retry when it has ended, or use --force when its process is gone";
        return false;
    }
    std::fprintf(stderr, "wisam: backup: %s holds %s: dropped (--force)\n", path.c_str(),
                 which.c_str());
    return true;
}

// Empties the log, creating it when missing.  The truncation is done under
// the lock on the log's first byte that every append takes, so no append of
// another process is cut in two: an append in progress ends before, the next
// one starts at offset 0 of the empty log.  The log is checked for
// unfinished transactions under the same lock, so none can begin between
// the check and the truncation.
//
// The log is emptied in place, so a symbolic link in its name is refused:
// emptying through it would cut whatever file it points at.
bool startLog(const std::string &path, bool force, uint64_t &dropped, std::string &error) {
    Descriptor log{::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kNewFileMode)};
    if (log.fd < 0 && errno == ELOOP) return error = path + " is a symbolic link; name the log itself", false;
    if (log.fd < 0) return error = systemError(path), false;
    struct flock append {};
    append.l_type = F_WRLCK;
    append.l_whence = SEEK_SET;
    append.l_start = 0;
    append.l_len = 1;
    while (::fcntl(log.fd, F_OFD_SETLKW, &append) != 0) {
        if (errno != EINTR) return error = systemError(path + ": lock"), false;
    }
    if (!checkLog(path, force, true, error)) return false;
    struct stat st {};
    if (::fstat(log.fd, &st) != 0) return error = systemError(path), false;
    dropped = static_cast<uint64_t>(st.st_size);
    if (::ftruncate(log.fd, 0) != 0 || ::fsync(log.fd) != 0)
        return error = systemError(path), false;
    append.l_type = F_UNLCK;
    ::fcntl(log.fd, F_OFD_SETLK, &append);
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return syncDirectory(parent.empty() ? "." : parent.string(), error);
}

bool isDirectory(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

int backupCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kBackupHelp), kExitOk;
    std::vector<std::string> positional;
    std::string logPath;
    bool force = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--force") {
            force = true;
        } else if (args[i] == "--log" && i + 1 < args.size()) {
            logPath = args[++i];
        } else if (args[i].starts_with("--")) {
            return unexpectedArgument(args[i], kBackupHelp);
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() < 2) return usage("backup needs a NAME and a DIR", kBackupHelp);
    if (force && logPath.empty()) return usage("--force goes with --log", kBackupHelp);
    const std::string dir = positional.back();
    positional.pop_back();
    if (exists(dir) && !isDirectory(dir)) {
        std::fprintf(stderr, "wisam: backup: %s is not a directory\n", dir.c_str());
        return 1;
    }
    std::set<std::string> copyNames;
    for (const std::string &name : positional) {
        const std::string leaf = std::filesystem::path(name).filename().string();
        if (leaf.empty() || !copyNames.insert(leaf).second) {
            std::fprintf(stderr, "wisam: backup: two files would be copied to %s/%s\n", dir.c_str(),
                         leaf.c_str());
            return 1;
        }
    }

    // Checked once before the copies too, so that a refusal costs no copying;
    // the check that counts is the one under the log's lock.
    std::string error;
    if (!logPath.empty() && !force && !checkLog(logPath, force, false, error)) {
        std::fprintf(stderr, "wisam: backup: %s\n", error.c_str());
        return 1;
    }
    std::error_code made;
    if (!exists(dir) && !std::filesystem::create_directories(dir, made)) {
        std::fprintf(stderr, "wisam: backup: cannot make the directory %s: %s\n", dir.c_str(),
                     made.message().c_str());
        return 1;
    }

    // Every file is locked before the first is copied, so the copies and the
    // new log show one moment of all of them.
    std::vector<std::unique_ptr<HeldFile>> held;
    for (const std::string &name : positional) {
        auto file = std::make_unique<HeldFile>();
        file->name = name;
        file->base = basePath(name);
        file->f = openFile(name, kBackupOpenMode, "backup " + name);
        if (file->f == nullptr) return openFailed();
        isSetCustomLock(file->f, kKeepSharedLock);
        held.push_back(std::move(file));
    }

    for (const auto &file : held) {
        const std::string leaf = std::filesystem::path(file->name).filename().string();
        for (const char *extension : {".wox", ".wod", ".wsc"}) {
            const std::string from = file->base + extension;
            const std::string to = dir + "/" + leaf + extension;
            // A file of record length 0 is an index alone and has no data
            // file; a file without a kept schema has no .wsc.
            if (std::strcmp(extension, ".wox") != 0 && !exists(from)) continue;
            uint64_t bytes = 0;
            if (!copyFile(from, to, bytes, error)) {
                std::fprintf(stderr, "wisam: backup: %s; the log is left as it was\n",
                             error.c_str());
                return 1;
            }
            out("copied %s to %s (%llu bytes)\n", from.c_str(), to.c_str(),
                        static_cast<unsigned long long>(bytes));
        }
    }
    uint64_t dropped = 0;
    if (!syncDirectory(dir, error) || (!logPath.empty() && !startLog(logPath, force, dropped, error))) {
        std::fprintf(stderr, "wisam: backup: %s\n", error.c_str());
        return 1;
    }
    if (logPath.empty()) return 0;
    out("started %s anew (%llu bytes of earlier records dropped)\n", logPath.c_str(),
                static_cast<unsigned long long>(dropped));
    return 0;
}

}  // namespace wisam::tool
