// layer: api
// api.cpp - the exported calls of the index engine: adding and dropping
// indexes.
#include "frame/iscall.h"
#include "frame/isfile.h"
#include "index/isindexes.h"
#include "wisam.h"

using namespace wisam;

extern "C" {

WISAM_API int isAddIndex(IsFile *f, KeyDesc *key) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] { return addIndex(f, key); });
}

WISAM_API int isDelIndex(IsFile *f, KeyDesc *key) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] { return delIndex(f, key); });
}

}  // extern "C"
