// toolrun.h - running the wisam tool as a user does, for its tests: in a
// directory of its own, with given standard input, capturing its exit status,
// standard output and standard error.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/testing.h"

namespace wisam::testing {

struct ToolRun {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out, err;
};

// The tool built beside the test executable (build/wisam for build/tests/).
inline std::string toolPath() {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "wisam").string();
}

inline std::string readText(const std::string &path) {
    const std::vector<uint8_t> bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Whether the tool runs under AddressSanitizer, whose shadow memory takes
// more address space than any limit on it allows.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Runs `wisam ARGS` in `dir` with `input` on standard input.  Standard output
// goes to `outPath` when given (for example /dev/full), else it is captured.
// With `addressSpace`, the tool may map no more than that many bytes (not
// under AddressSanitizer): past it, an allocation fails.  `beforeStart` runs
// here while the tool's process waits to start, told the process id the
// tool will have (to plant names made from it).  With `throughPipe`, the
// input comes through a pipe instead of a file.
inline ToolRun runTool(const TempDir &dir, const std::vector<std::string> &args,
                       const std::string &input = "", const std::string &outPath = "", size_t addressSpace = 0,
                       const std::function<void(pid_t)> &beforeStart = nullptr, bool throughPipe = false) {
    const std::string in = dir.file(".tool-in"), out = dir.file(".tool-out"), err = dir.file(".tool-err");
    writeFile(in, std::vector<uint8_t>(input.begin(), input.end()));
    const std::string tool = toolPath();
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string target = outPath.empty() ? out : outPath;
        const int fds[3] = {open(in.c_str(), O_RDONLY), open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666),
                            open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666)};
        for (int i = 0; i < 3; ++i) {
            if (fds[i] < 0 || dup2(fds[i], i) < 0) _exit(126);
        }
        int ends[2];
        if (throughPipe && (pipe(ends) != 0 || fork() == 0)) {  // the feeder: the file into the pipe
            close(ends[0]);
            char chunk[4096];
            for (ssize_t n; (n = read(0, chunk, sizeof chunk)) > 0;) {
                if (write(ends[1], chunk, size_t(n)) != n) _exit(126);
            }
            _exit(0);
        }
        if (throughPipe && (close(ends[1]) != 0 || dup2(ends[0], 0) < 0)) _exit(126);
        if (chdir(dir.path().c_str()) != 0) _exit(126);
        if (addressSpace != 0 && !kSanitized) {
            const struct rlimit limit = {addressSpace, addressSpace};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
        }
        if (beforeStart) raise(SIGSTOP);
        std::vector<char *> argv{const_cast<char *>(tool.c_str())};
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    if (beforeStart && waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status)) {
        beforeStart(pid);
        kill(pid, SIGCONT);
    }
    waitpid(pid, &status, 0);
    ToolRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (outPath.empty()) run.out = readText(out);
    run.err = readText(err);
    std::filesystem::remove(in);
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return run;
}

// The names in `dir`, sorted, without the tool runner's own files.
inline std::vector<std::string> listDir(const TempDir &dir) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(".tool-", 0) != 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// A row of a table of runs: the arguments, the exit status and a part of
// the message on standard error.  The message never shows an I/O code of 0.
struct ToolCase {
    std::vector<std::string> args;
    int status;
    std::string message;
};

inline void expectCase(const TempDir &dir, const ToolCase &c) {
    const ToolRun run = runTool(dir, c.args);
    EXPECT_EQ(run.status, c.status) << c.message;
    EXPECT_TRUE(contains(run.err, c.message)) << run.err;
    EXPECT_FALSE(contains(run.err, "I/O code 0")) << run.err;
}

}  // namespace wisam::testing
