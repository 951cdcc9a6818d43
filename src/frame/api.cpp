// layer: api
// api.cpp - the exported calls of the handle, error and status family.
//
// None of these uses the call frame.  A handle pointer the table does not
// know (closed, never opened) is not read or written: the readers answer as
// for a null handle and the setters fail with errno 105.
#include <cerrno>
#include <cstring>

#include "frame/iscall.h"
#include "frame/iserror.h"
#include "frame/ishandles.h"
#include "frame/isfile.h"

extern "C" {

WISAM_API const char *isversnumber = "6.12";
WISAM_API const char *iscopyright = "wisam ISAM record manager - Copyright (c) 2026 the wisam developers";

// A null handle reaches nothing shared: the answers are this thread's.
static wisam::Reach reachOf(const IsFile *f) { return f == nullptr ? wisam::Reach::none : wisam::Reach::file; }

WISAM_API int isErrno(IsFile *f) {
    const int error = errno;  // a null handle answers with this thread's own
    wisam::ExportedCall call(f, reachOf(f));
    if (!call.admitted()) return EDEADLK;
    return wisam::isKnownHandle(f) ? f->errorNumber : error;
}

WISAM_API int isErrio(IsFile *f) {
    wisam::ExportedCall call(f, reachOf(f));
    return call.admitted() && wisam::isKnownHandle(f) ? f->ioError : 0;
}

WISAM_API int32_t isRecnum(IsFile *f) {
    wisam::ExportedCall call(f, reachOf(f));
    return call.admitted() && wisam::isKnownHandle(f) ? f->recnum : -1;
}

WISAM_API int32_t isReclen(IsFile *f) {
    wisam::ExportedCall call(f, reachOf(f));
    return call.admitted() && wisam::isKnownHandle(f) ? f->reclen : -1;
}

WISAM_API int isStatus(IsFile *f, char *status) {
    wisam::ExportedCall call(f);
    if (!call.admitted()) return wisam::refuseNotAdmitted<int>();
    if (!wisam::usableHandle(f)) return 0;
    if (status != nullptr) std::memcpy(status, f->status, sizeof f->status);
    return 1;
}

WISAM_API int isSetrec(IsFile *f, int32_t recnum) {
    wisam::ExportedCall call(f);
    if (!call.admitted()) return wisam::refuseNotAdmitted<int>();
    if (!wisam::usableHandle(f)) return 0;
    f->recnum = recnum;
    return 1;
}

// The length is kept as a 16-bit signed value: 40000 reads back as -25536.
WISAM_API int isSetlen(IsFile *f, int length) {
    wisam::ExportedCall call(f);
    if (!call.admitted()) return wisam::refuseNotAdmitted<int>();
    if (!wisam::usableHandle(f)) return 0;
    f->reclen = static_cast<int16_t>(static_cast<uint16_t>(length));
    return 1;
}

WISAM_API int isThreaded(void) { return 1; }

WISAM_API IsFatalHook isFatal(IsFatalHook hook) {
    wisam::ExportedCall call;
    if (!call.admitted()) return wisam::refuseNotAdmitted<IsFatalHook>();
    return wisam::installFatalHook(hook);
}

WISAM_API int isCleanUp(void) {
    return wisam::guardedCall(nullptr, [] { return wisam::cleanUpHandles(); });
}

}  // extern "C"
