// layer: api
// api.cpp - the exported collation helpers and the index-bound key calls.
//
// None of these runs the call frame or takes a lock: they touch no file.
// customKeyCmp and customKeyMake check the handle as the other frameless
// calls do (null: errno 101; unknown to the table: errno 105, the pointer is
// not touched), clear its error state, and refuse a missing index or buffer
// with 102 "Illegal argument", returning 0.
#include <cerrno>

#include "collate/iscollate.h"
#include "frame/iscall.h"
#include "frame/iserror.h"
#include "frame/ishandles.h"
#include "frame/isfile.h"
#include "index/iskey.h"
#include "index/ispath.h"

namespace wisam {
namespace {

// The index `index` of a usable handle, or null after storing the refusal.
TreePath *indexForCall(IsFile *f, int index, bool buffersGiven) {
    if (!usableHandle(f)) return nullptr;
    f->errorNumber = 0;
    f->ioError = 0;
    for (char &c : f->status) c = '0';
    const bool held = index >= 0 && index < f->keyCount && index < kMaxIndexes &&
                      f->indexes[index] != nullptr;
    if (held && buffersGiven) return f->indexes[index];
    f->errorNumber = kErrBadArgument;
    errno = kErrBadArgument;
    setStatus(f, kDetailBlank);
    return nullptr;
}

// Puts a compare length in place for one comparison and restores the
// index's own when the comparison ends.
class CompareLengthScope {
public:
    CompareLengthScope(TreePath *path, int compareLength)
        : path_(path), saved_(path->compareLength) {
        if (compareLength != 0) path_->compareLength = compareLength;
    }
    ~CompareLengthScope() { path_->compareLength = saved_; }
    CompareLengthScope(const CompareLengthScope &) = delete;
    CompareLengthScope &operator=(const CompareLengthScope &) = delete;

private:
    TreePath *path_;
    int32_t saved_;
};

}  // namespace
}  // namespace wisam

extern "C" {

// Device-tag order of two UTF-8 fields of the same length: -1, 0 or 1.
// A null field compares equal (nothing is read).
WISAM_API int cmpdevicetag(const void *a, const void *b, int lengthBytes) {
    if (a == nullptr || b == nullptr) return 0;
    return wisam::compareDeviceTags(static_cast<const uint8_t *>(a),
                                    static_cast<const uint8_t *>(b), lengthBytes);
}

// Device-tag order of two UTF-16 fields of `lengthUnits` units.
WISAM_API int wcmpdevicetag(const char16_t *a, const char16_t *b, int lengthUnits) {
    if (a == nullptr || b == nullptr) return 0;
    return wisam::compareWideDeviceTags(reinterpret_cast<const uint8_t *>(a),
                                        reinterpret_cast<const uint8_t *>(b), lengthUnits);
}

// Order of two UTF-8 fields without regard to case: -1, 0 or 1.
WISAM_API int cmpNoCaseUtf8(const void *a, const void *b, int lengthBytes) {
    if (a == nullptr || b == nullptr) return 0;
    return wisam::compareNoCaseUtf8(static_cast<const uint8_t *>(a),
                                    static_cast<const uint8_t *>(b), lengthBytes);
}

// Compares two keys of index `index` (0-based).  A non-zero compare length
// replaces the index's for this comparison only.
WISAM_API int customKeyCmp(IsFile *f, const void *a, const void *b, int compareLength,
                           int index) {
    using namespace wisam;
    ExportedCall call(f);
    if (!call.admitted()) return refuseNotAdmitted<int>();
    TreePath *path = indexForCall(f, index, a != nullptr && b != nullptr);
    if (path == nullptr) return 0;
    return guardedCall(f, [&] {
        CompareLengthScope scope(path, compareLength);
        return compareKeys(path, a, b);
    });
}

// Builds the key of index `index` (0-based) from `record` into `key`, which
// must hold the index's key length.  1, or 0 when refused.
WISAM_API int customKeyMake(IsFile *f, void *key, const void *record, int index) {
    using namespace wisam;
    ExportedCall call(f);
    if (!call.admitted()) return refuseNotAdmitted<int>();
    TreePath *path = indexForCall(f, index, key != nullptr && record != nullptr);
    if (path == nullptr) return 0;
    return guardedCall(f, [&] { return makeKey(path, key, record); });
}

}  // extern "C"
