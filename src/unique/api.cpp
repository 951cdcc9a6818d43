// layer: api
// api.cpp - the exported unique-id calls.  Each takes the exclusive
// file-state lock itself, after its profiling event.
#include "frame/iscall.h"
#include "frame/isfile.h"
#include "unique/isunique.h"

using namespace wisam;

extern "C" {

WISAM_API int isSetUnique(IsFile *f, int32_t value) {
    return framedCall(f, kAccessChange, CallLock::none, [&] { return setUnique(f, value, false); });
}

WISAM_API int isSetUniqueIfBigger(IsFile *f, int32_t value) {
    return framedCall(f, kAccessChange, CallLock::none, [&] { return setUnique(f, value, true); });
}

WISAM_API int isUniqueId(IsFile *f, int32_t *id) {
    return framedCall(f, kAccessChange, CallLock::none, [&] { return takeUniqueIds(f, id, 1); });
}

WISAM_API int isUniqueIds(IsFile *f, int32_t *first, int32_t count) {
    return framedCall(f, kAccessChange, CallLock::none, [&] { return takeUniqueIds(f, first, count); });
}

}  // extern "C"
