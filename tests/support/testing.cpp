// testing.cpp - the shared test helpers.
#include "support/testing.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "frame/iscall.h"
#include "frame/ishandles.h"
#include "frame/ismemory.h"
#include "structure/isdict.h"
#include "structure/isencode.h"

namespace wisam::testing {

TempDir::TempDir() {
    char pattern[] = "/tmp/wisam-test-XXXXXX";
    const char *made = ::mkdtemp(pattern);
    if (made == nullptr) std::abort();
    path_ = made;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::u16string TempDir::name(const std::string &base) const { return toUtf16(file(base)); }

std::u16string toUtf16(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::u16string spelling(const TempDir &dir, const std::string &base, int depth) {
    std::string path = dir.path() + "/";
    for (int i = 0; i < depth; ++i) path += "./";
    return toUtf16(path + base);
}

std::string showEvents(const std::vector<ProfileEventRecord> &events) {
    std::string text;
    for (const auto &e : events) {
        text += "(" + std::to_string(e.tag) + "," + std::to_string(e.event) + "," +
                std::to_string(e.phase) + ")";
    }
    return text;
}

std::vector<uint8_t> readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void writeText(const std::string &path, const std::string &text) {
    writeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

bool fileExists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

KeyDesc keyAt(int16_t start, int16_t length, uint16_t type, uint16_t flags) {
    KeyDesc key{};
    key.flags = flags;
    key.partCount = 1;
    key.parts[0] = KeyPart{start, length, type};
    return key;
}

std::vector<uint8_t> newFileDictionary() {
    std::vector<uint8_t> expected(80, 0);
    const uint8_t head[] = {0xFE, 0x53, 0x02, 0x02, 0x04, 0x04, 0x0F, 0xFF, 0x00, 0x01,
                            0x07, 0x04, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x02};
    std::memcpy(expected.data(), head, sizeof head);
    expected[40] = 3;  // highest index block
    expected[44] = 1;  // change counter
    expected[48] = 1;  // unique id
    expected[54] = 8;
    std::memcpy(&expected[76], "kjsk", 4);
    return expected;
}

void layDownFiles(const std::string &basePath, int16_t recordLength) {
    std::vector<uint8_t> index(4096, 0);
    const uint8_t head[] = {0xFE, 0x53, 2, 2, 4, 4};
    std::memcpy(index.data(), head, sizeof head);
    st2(&index[6], 4095);
    st2(&index[8], 1);
    index[10] = 7;
    index[11] = 4;
    st2(&index[13], recordLength);
    st4(&index[15], 2);
    st4(&index[37], 2);
    st4(&index[41], 1);
    st4(&index[45], 1);
    index[54] = 8;
    std::memcpy(&index[76], "kjsk", 4);
    writeFile(basePath + ".wox", index);
    if (recordLength != 0) writeFile(basePath + ".wod", {0});
}

IsFile *tryOpenHandle(const std::u16string &name, uint32_t mode, int &error) {
    IsFile *f = newHandle();
    const size_t bytes = (name.size() + 1) * sizeof(char16_t);
    f->name = static_cast<char16_t *>(std::malloc(bytes));
    std::memcpy(f->name, name.c_str(), bytes);
    f->mode = mode;
    error = 0;
    const int ok = framedCall(f, kAccessUnregistered, CallLock::none, [&] {
        registerFile(f);
        readDictionary(f);
        return 1;
    });
    if (ok) return f;
    error = f->errorNumber;
    closeHandle(f);
    return nullptr;
}

IsFile *openHandle(const std::u16string &name, uint32_t mode) {
    int error = 0;
    IsFile *f = tryOpenHandle(name, mode, error);
    EXPECT_NE(f, nullptr) << "registration failed with " << error;
    return f;
}

void closeTestHandle(IsFile *f) { closeHandle(f); }

int startChild(const std::function<int()> &child) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        int status = 99;
        try {
            status = child();
        } catch (...) {
            status = 98;
        }
        ::_exit(status);
    }
    return pid;
}

int waitChild(int pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int runInChild(const std::function<int()> &child) { return waitChild(startChild(child)); }

Signal::Signal() {
    if (::pipe(fds_) != 0) std::abort();
}
Signal::~Signal() {
    ::close(fds_[0]);
    ::close(fds_[1]);
}
void Signal::post() {
    const char byte = 1;
    if (::write(fds_[1], &byte, 1) != 1) std::abort();
}
bool Signal::wait(int ms) {
    pollfd p{fds_[0], POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return false;
    char byte;
    return ::read(fds_[0], &byte, 1) == 1;
}

namespace {
std::vector<ProfileEventRecord> recorded;
void recordEvent(int32_t tag, int32_t event, int32_t phase) { recorded.push_back({tag, event, phase}); }
}  // namespace

EventRecorder::EventRecorder() {
    recorded.clear();
    lowLevelProfileCallback = recordEvent;
}
EventRecorder::~EventRecorder() { lowLevelProfileCallback = nullptr; }
const std::vector<ProfileEventRecord> &EventRecorder::events() const { return recorded; }
void EventRecorder::clear() { recorded.clear(); }

namespace {
std::vector<std::string> fatalTexts;
void captureFatal(const char *text) { fatalTexts.emplace_back(text); }
}  // namespace

FatalCapture::FatalCapture() {
    fatalTexts.clear();
    isFatal(captureFatal);
}
FatalCapture::~FatalCapture() { isFatal(nullptr); }
const std::vector<std::string> &FatalCapture::texts() const { return fatalTexts; }
bool FatalCapture::saw(const std::string &text) const {
    return std::find(fatalTexts.begin(), fatalTexts.end(), text) != fatalTexts.end();
}
void FatalCapture::clear() { fatalTexts.clear(); }

std::string errorText(IsFile *f) {
    return std::to_string(isErrno(f)) + " (io " + std::to_string(isErrio(f)) + ")";
}

int inCall(IsFile *f, int32_t access, const std::function<int()> &work) {
    return framedCall(f, access, CallLock::none, [&] { return work(); });
}

}  // namespace wisam::testing

// Under AddressSanitizer an impossible allocation must fail as it does in a
// plain build (null from the allocator), so that the library's own
// out-of-memory path is what the tests exercise.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

namespace wisam::testing {
namespace {

// Every test starts in the library's default journal mode (the rollback
// journal on), so that a test that switches it off for itself leaves no
// trace in the next.  WISAM_TEST_JOURNAL=M runs every test in mode M
// instead: results and files must be the same; tests that count system
// calls or bytes written see the journal's and are expected to differ.
class JournalModeAtStart : public ::testing::EmptyTestEventListener {
public:
    explicit JournalModeAtStart(int32_t mode) : mode_(mode) {}
    void OnTestStart(const ::testing::TestInfo &) override { isJournalMode = mode_; }

private:
    int32_t mode_;
};

const bool kJournalModeAtStart = [] {
    const char *mode = std::getenv("WISAM_TEST_JOURNAL");
    const int32_t chosen = mode != nullptr && *mode != 0 ? std::atoi(mode) : isJournalMode;
    ::testing::UnitTest::GetInstance()->listeners().Append(new JournalModeAtStart(chosen));
    return true;
}();

}  // namespace
}  // namespace wisam::testing
