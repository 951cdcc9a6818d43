// layer: api
// api.cpp - the exported transaction calls.  They take no handle and
// report a failure through errno; nothing thrown inside reaches the host.
#include "frame/iscall.h"
#include "frame/ishandles.h"
#include "txn/islog.h"
#include "txn/istxn.h"
#include "txn/iswriters.h"

using namespace wisam;

extern "C" {

WISAM_API int isTxnInit(IsTxnIdCallback callback) {
    ExportedCall call;
    if (!call.admitted()) return refuseNotAdmitted<int>();
    logState().idCallback = callback;
    return 1;
}

WISAM_API int isLogOpen(const char16_t *name) {
    return guardedCall(nullptr, [&] { return logOpen(name); });
}

WISAM_API int isLogClose(void) {
    ExportedCall call;
    if (!call.admitted()) return refuseNotAdmitted<int>();
    logClose();
    return 1;
}

WISAM_API int isBegin(void) { return guardedCall(nullptr, [] { return beginTransaction(); }); }

WISAM_API int isCommit(void) { return guardedCall(nullptr, [] { return commitTransaction(); }); }

WISAM_API int isRollBack(void) { return guardedCall(nullptr, [] { return rollBackTransaction(); }); }

WISAM_API int isRecover(void) { return guardedCall(nullptr, [] { return recoverLog(); }); }

WISAM_API int isAdmDtoI(IsFile *f) {
    ExportedCall call(f, Reach::process);
    return call.admitted() && isKnownHandle(f) ? fileNumberOf(f) : -1;
}

WISAM_API IsFile *isAdmItoD(int number) {
    ExportedCall call;
    return call.admitted() ? handleAt(number) : refuseNotAdmitted<IsFile *>();
}

WISAM_API IsFile *isAdmTxnLast(void) {
    ExportedCall call;
    return call.admitted() ? handleAt(lastMappedSlot()) : refuseNotAdmitted<IsFile *>();
}

}  // extern "C"
