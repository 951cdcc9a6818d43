// layer: api
// api.cpp - the exported check of variable-length storage.
#include "frame/iscall.h"
#include "frame/isfile.h"
#include "varlen/isvarlen.h"

using namespace wisam;

namespace {
constexpr int32_t kCheckFailed = 0x8;  // "index file read error"
}

extern "C" {

// The bits found, with 0x8 added when the check could not start or stopped
// on an error (the handle's error number says which).  A file without
// variable-length records has nothing to check.
WISAM_API int isCheckVarlen(IsFile *f, int32_t *statistics6) {
    int32_t bits = 0;
    const int done = framedCall(f, kAccessRead, CallLock::shared, [&] {
        checkVarlen(f, statistics6, bits);
        return 1;
    });
    return done == 1 ? bits : bits | kCheckFailed;
}

}  // extern "C"
