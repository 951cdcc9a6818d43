// txnlog.cpp - the log reader and builder, recovery and file-set helpers of
// the transaction tests.
#include "support/txnlog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace wisam::testing {

uint16_t be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

namespace {

void put16(std::vector<uint8_t> &to, uint32_t value) {
    to.push_back(static_cast<uint8_t>(value >> 8));
    to.push_back(static_cast<uint8_t>(value));
}
void put32(std::vector<uint8_t> &to, uint32_t value) {
    put16(to, value >> 16);
    put16(to, value & 0xFFFF);
}

}  // namespace

std::vector<uint8_t> LogEntry::image() const {
    if (code == "UP") {
        const uint16_t b = be16(&bytes[24]), a = be16(&bytes[26]);
        if (28u + b + a > bytes.size()) return {};
        return std::vector<uint8_t>(bytes.begin() + 28 + b, bytes.begin() + 28 + b + a);
    }
    const uint16_t n = be16(&bytes[24]);
    if (26u + n > bytes.size()) return {};
    return std::vector<uint8_t>(bytes.begin() + 26, bytes.begin() + 26 + n);
}

std::vector<uint8_t> LogEntry::before() const {
    const uint16_t b = be16(&bytes[24]);
    if (28u + b > bytes.size()) return {};
    return std::vector<uint8_t>(bytes.begin() + 28, bytes.begin() + 28 + b);
}

LogScan scanLog(const std::vector<uint8_t> &bytes) {
    LogScan scan;
    size_t offset = 0;
    while (offset < bytes.size()) {
        if (bytes.size() - offset < 20) {
            scan.fault = "a torn header at " + std::to_string(offset);
            break;
        }
        const uint16_t length = be16(&bytes[offset]);
        if (length < 20 || length > 35510) {
            scan.fault = "length " + std::to_string(length) + " at " + std::to_string(offset);
            break;
        }
        if (offset + length > bytes.size()) {
            scan.fault = "a torn record at " + std::to_string(offset);
            break;
        }
        if (be16(&bytes[offset + length - 2]) != length) {
            scan.fault = "trailing length differs at " + std::to_string(offset);
            break;
        }
        LogEntry e;
        e.offset = static_cast<int64_t>(offset);
        e.length = length;
        e.code = std::string(bytes.begin() + static_cast<long>(offset) + 2, bytes.begin() + static_cast<long>(offset) + 4);
        e.pid = be16(&bytes[offset + 4]);
        e.txnId = be16(&bytes[offset + 6]);
        e.back = be32(&bytes[offset + 12]);
        e.backLength = be16(&bytes[offset + 16]);
        e.bytes.assign(bytes.begin() + static_cast<long>(offset), bytes.begin() + static_cast<long>(offset + length));
        scan.entries.push_back(std::move(e));
        offset += length;
    }
    scan.wholeBytes = static_cast<int64_t>(offset);
    return scan;
}

std::string codesOf(const LogScan &scan) {
    std::string codes;
    for (const LogEntry &e : scan.entries) codes += (codes.empty() ? "" : " ") + e.code;
    return codes;
}

std::vector<uint8_t> logRecord(const char *code, uint16_t pid, uint32_t back, uint16_t backLength,
                               const std::vector<uint8_t> &body) {
    const uint32_t length = static_cast<uint32_t>(20 + body.size());
    std::vector<uint8_t> r;
    put16(r, length);
    r.push_back(static_cast<uint8_t>(code[0]));
    r.push_back(static_cast<uint8_t>(code[1]));
    put16(r, pid);
    put16(r, 0);
    put32(r, 0);
    put32(r, back);
    put16(r, backLength);
    appendBytes(r, body);
    put16(r, length);
    return r;
}

std::vector<uint8_t> nameBody(uint16_t fileNumber, bool varlen, const std::u16string &name) {
    std::vector<uint8_t> body;
    put16(body, fileNumber);
    put16(body, varlen ? 1 : 0);
    for (char16_t unit : name) {
        body.push_back(static_cast<uint8_t>(unit & 0xFF));
        body.push_back(static_cast<uint8_t>(unit >> 8));
    }
    body.push_back(0);
    body.push_back(0);
    return body;
}

std::vector<uint8_t> recordBody(uint16_t fileNumber, int32_t recnum, const std::vector<uint8_t> &image) {
    std::vector<uint8_t> body;
    put16(body, fileNumber);
    put32(body, static_cast<uint32_t>(recnum));
    put16(body, static_cast<uint32_t>(image.size()));
    appendBytes(body, image);
    return body;
}

void appendBytes(std::vector<uint8_t> &to, const std::vector<uint8_t> &bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

RecoverOutcome recoverFrom(const std::string &logPath, int32_t rollbackMode) {
    RecoverOutcome outcome;
    if (isLogOpen(toUtf16(logPath).c_str()) != 1) {
        outcome.error = errno;
        return outcome;
    }
    const int32_t savedMode = isRecoverRollback;
    isRecoverRollback = rollbackMode;
    errno = 0;
    outcome.result = isRecover();
    outcome.error = errno;
    isRecoverRollback = savedMode;
    isLogClose();
    isCleanUp();
    // The files recovery opened keep logging wanted until a transaction
    // ends: end one on a scratch log.
    const std::string scratch = logPath + ".scratch";
    if (isLogOpen(toUtf16(scratch).c_str()) == 1) {
        isBegin();
        isCommit();
        isLogClose();
    }
    ::unlink(scratch.c_str());
    return outcome;
}

void FileSetCopy::save(const std::string &basePath) {
    base_ = basePath;
    files_.clear();
    for (const char *ext : {".wox", ".wod", ".lck", ".wjn"}) {
        const std::string path = basePath + ext;
        if (fileExists(path)) files_.emplace_back(path, readFile(path));
    }
}

void FileSetCopy::restore() const {
    for (const char *ext : {".wox", ".wod", ".lck", ".wjn"}) ::unlink((base_ + ext).c_str());
    for (const auto &[path, bytes] : files_) writeFile(path, bytes);
}

std::vector<uint8_t> drain(int fd) {
    std::vector<uint8_t> all;
    uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        all.insert(all.end(), chunk, chunk + n);
    }
    return all;
}

}  // namespace wisam::testing
