// layer: api
// api.cpp - the exported maintenance calls: checking and rebuilding data
// and indexes, cloning, copying and clustering files.
#include "frame/iscall.h"
#include "frame/isfile.h"
#include "maint/ischeck.h"
#include "maint/iscopy.h"
#include "wisam.h"

using namespace wisam;

extern "C" {

// The text of each bit of a check result; an application prints the text
// of every bit that is set.
WISAM_API const char *isCheckMsg[16] = {
    "data file read error",
    "data record corrupt",
    "data free list is corrupt",
    "index file read error",
    "key out of order",
    "index count mismatch",
    "bad index node magic number",
    "index/data mismatch",
    "",
    "",
    "",
    "hash table zero loaded",
    "node misfiled in hash table",
    "mangled link in hash list",
    "nodes missing or unaccounted for",
    "data record length mismatch",
};

// A failed check answers what it found so far with its failure bit.
WISAM_API int isCheckData(IsFile *f) {
    uint32_t found = 0;
    const int ok = framedCall(f, kAccessRead, CallLock::shared, [&] { return checkData(f, found); });
    return static_cast<int>(ok != 0 ? found : found | kCheckDataFailed);
}

WISAM_API int isCheckIndex(IsFile *f, int index) {
    uint32_t found = 0;
    const int ok = framedCall(f, kAccessRead, CallLock::shared, [&] { return checkIndex(f, index, found); });
    return static_cast<int>(ok != 0 ? found : found | kCheckIndexFailed);
}

WISAM_API int isRebuildFree(IsFile *f, int kind) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] { return rebuildFree(f, kind); });
}

WISAM_API int isRebuildIdx(IsFile *f, int index) {
    return framedCall(f, kAccessChange, CallLock::exclusive, [&] { return rebuildIndex(f, index); });
}

WISAM_API IsFile *isClone(IsFile *f, const char16_t *newName) {
    ExportedCall call(f, Reach::process);  // the clone's handle joins the table
    if (!call.admitted()) return refuseNotAdmitted<IsFile *>();
    return framedCall(f, kAccessAny, CallLock::none, [&] { return cloneFile(f, newName, f->mode); });
}

// Two handles: each takes its turn in the calls the copy makes on it.
WISAM_API int isCopy(IsFile *destination, IsFile *source, KeyDesc *key) {
    ExportedCall call;
    if (!call.admitted()) return refuseNotAdmitted<int>();
    return copyFile(destination, source, key);
}

WISAM_API IsFile *isCluster(IsFile *f, KeyDesc *key) {
    ExportedCall call(f, Reach::process);
    if (!call.admitted()) return refuseNotAdmitted<IsFile *>();
    return clusterFile(f, key);
}

}  // extern "C"
