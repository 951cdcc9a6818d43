// layer: frame/base
// iserror.cpp - the error table, status characters, fatal hook and raiseError.
#include "frame/iserror.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "frame/isfile.h"

extern "C" {
WISAM_API char isstat1 = '0';
WISAM_API char isstat2 = '0';
WISAM_API char isstat3 = '0';
WISAM_API char isstat4 = '0';

WISAM_API const char *is_errlist[] = {
    "Duplicate record",               // 100
    "File not open",                  // 101
    "Illegal argument",               // 102
    "Bad key descriptor",             // 103
    "Too many files",                 // 104
    "Corrupted isam file",            // 105
    "Need exclusive access",          // 106
    "Record or file locked",          // 107
    "Index already exists",           // 108
    "Illegal primary key operation",  // 109
    "End of file",                    // 110
    "Record not found",               // 111
    "No current record",              // 112
    "File is in use",                 // 113
    "File name too long",             // 114
    "Bad lock device",                // 115
    "Can't allocate memory",          // 116
    "Bad collating table",            // 117
    "Can't read log record",          // 118
    "Bad log record",                 // 119
    "Can't open log file",            // 120
    "Can't write log record",         // 121
    "No transaction",                 // 122
    "No shared memory",               // 123
    "No begin work yet",              // 124
    "Can't use nfs",                  // 125
    "Bad rowid",                      // 126
    "No primary key",                 // 127
    "No logging",                     // 128
    "Too many users",                 // 129
    "No such dbspace",                // 130
    "No free disk space",             // 131
    "Rowsize too big",                // 132
    "Audit trail exists",             // 133
    "No more locks",                  // 134
};
WISAM_API int is_nerr = wisam::kLastErrorNumber;
}

static_assert(sizeof(is_errlist) / sizeof(is_errlist[0]) ==
              wisam::kLastErrorNumber - wisam::kFirstErrorNumber + 1);

namespace wisam {

namespace {

IsFatalHook fatalHook = nullptr;

constexpr size_t kFatalBufferSize = 256;
constexpr int kErrnoFileExists = 17;

struct StatusRow {
    char s1, s2, s3, s4;
};

// Status characters of 100..134 before the `detail` rules are applied.
constexpr StatusRow kStatusTable[] = {
    {'2', '2', '2', '2'},  // 100
    {'9', '0', '4', '0'},  // 101 (isstat4 from detail)
    {'9', '0', '9', '0'},  // 102 (by detail)
    {'9', '0', '9', '0'},  // 103
    {'9', '0', '9', '0'},  // 104
    {'9', '0', '9', '0'},  // 105
    {'9', '0', '9', '0'},  // 106
    {'9', '0', '9', '0'},  // 107
    {'9', '0', '9', '0'},  // 108
    {'9', '0', '9', '0'},  // 109
    {'1', '0', '1', '0'},  // 110 (by detail)
    {'2', '3', '2', '3'},  // 111
    {'2', '1', '4', '0'},  // 112 (isstat4 from detail)
    {'9', '0', '9', '0'},  // 113
    {'9', '0', '9', '0'},  // 114
    {'9', '0', '0', '0'},  // 115
    {'9', '0', '9', '0'},  // 116
    {'9', '0', '0', '0'},  // 117
    {'9', '0', '0', '0'},  // 118
    {'9', '0', '0', '0'},  // 119
    {'9', '0', '0', '0'},  // 120
    {'9', '0', '0', '0'},  // 121
    {'9', '0', '0', '0'},  // 122
    {'0', '0', '0', '0'},  // 123
    {'9', '0', '0', '0'},  // 124
    {'9', '0', '0', '0'},  // 125
    {'9', '0', '0', '0'},  // 126
    {'9', '0', '0', '0'},  // 127
    {'9', '0', '0', '0'},  // 128
    {'9', '0', '0', '0'},  // 129
    {'0', '0', '0', '0'},  // 130
    {'9', '0', '0', '0'},  // 131
    {'9', '0', '0', '0'},  // 132
    {'9', '0', '0', '0'},  // 133
    {'9', '0', '0', '0'},  // 134
};

// Applies the `detail` rules of 101, 102, 110 and 112 to `row`.
void applyDetail(int error, char detail, StatusRow &row) {
    switch (error) {
    case kErrNotOpen:
        row.s4 = detail == kDetailBlank ? '0' : detail;
        break;
    case kErrBadArgument:
        if (detail == kDetailBlank) {
            row.s3 = '9', row.s4 = '0';
        } else if (detail == '4') {
            row.s3 = '4', row.s4 = '4';
        } else if (detail == '7') {
            row.s3 = '3', row.s4 = '7';
        } else if (detail == '9') {
            row.s3 = '3', row.s4 = '9';
        } else {
            row.s3 = isstat3, row.s4 = isstat4;  // left as they were
        }
        break;
    case kErrEndOfFile:
        row.s3 = detail == '6' ? '4' : '1';
        row.s4 = detail == '6' ? '6' : '0';
        break;
    case kErrNoCurrent:
        row.s4 = detail;
        break;
    default:
        break;
    }
}

}  // namespace

void setStatus(IsFile *f, char detail) {
    const int error = errno;
    StatusRow row{'0', '0', '0', '0'};
    if (error == kErrnoFileExists) {
        row = {'3', '0', '0', '0'};
    } else if (error >= kFirstErrorNumber && error <= kLastErrorNumber) {
        row = kStatusTable[error - kFirstErrorNumber];
        applyDetail(error, detail, row);
    }
    storeProcessStatus({row.s1, row.s2, row.s3, row.s4});
    if (f != nullptr) {
        f->status[0] = row.s1, f->status[1] = row.s2;
        f->status[2] = row.s3, f->status[3] = row.s4;
    }
}

void fatalMessage(const char *format, ...) {
    char text[kFatalBufferSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (fatalHook != nullptr) fatalHook(text);
}

void fatalAt(const char *module, int line) { fatalMessage("fatal isam error %s(%d)", module, line); }

IsFatalHook installFatalHook(IsFatalHook hook) {
    fatalHook = hook;
    return hook;
}

namespace {

// Everything a raise records before the exit; what the failed call leaves
// behind (its changes dropped, its lock released) is settled by the frame
// of the exported call (frame/iscall.h), the same way for every failure.
void recordFailure(IsFile *f, int errorNumber, int ioError, char detail) {
    if (f != nullptr) {
        // No call under way: none armed on the handle, or this call already
        // raised once.
        if (f->callAccess == 0 || f->frameDepth == 0) {
            fatalMessage("isam crash [%d/%x]", f->errorNumber, f->ioError);
        }
        f->callAccess = 0;
        f->errorNumber = errorNumber;
        f->ioError = ioError;
    }
    errno = errorNumber;
    setStatus(f, detail);
}

}  // namespace

void raiseError(IsFile *f, int errorNumber, int ioError, char detail) {
    recordFailure(f, errorNumber, ioError, detail);
    throw IsamRaise{errorNumber};
}

int failCall(IsFile *f, int errorNumber, int ioError, char detail) {
    recordFailure(f, errorNumber, ioError, detail);
    return 0;
}

}  // namespace wisam
