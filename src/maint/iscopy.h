// layer: maint
// iscopy.h - cloning a file's layout, copying records between open files,
// and clustering a file in the order of an index.
//
// Clone: a new, empty file with the record layout and every index of an
// open file (built, then the indexes after the first added in order).
//
// Copy: every record of the source, in the order of one of its indexes (or
// of record numbers), added to the destination with fresh record numbers
// and its keys in every destination index.  The destination runs as one
// changing call under its exclusive lock, the source as a reading call
// under its shared lock inside it: a copy that fails anywhere (a duplicate
// in the destination, an I/O error on either file) leaves the destination
// as it was and releases the locks of both handles.
//
// Cluster: the file is cloned under a temporary name next to it, the
// records copied in key order, and the copy put in the file's place.  The
// replacement never leaves the name without a whole file behind it:
//
//   1. clone N to T (T = directory of R + "ist" + pid, at least 5 digits,
//      where R is N after its link file), copy, carry over the unique-id
//      counter, the user information and the precious state, flush T to
//      the device and close it;
//   2. check that R.wox, R.wod are the files the handle has open, and move
//      them aside to A (directory of R + "iso" + pid);
//   3. move T.wox, T.wod to R.wox, R.wod;
//   4. close the handle (it still holds A open, and with it N.lck's open
//      lock, so nobody opened N in between), erase A and T.lck;
//   5. open N again with the handle's open mode.
//
// The cluster destroys no file it did not make.  T and A are its own
// names: no link file redirects them, T is taken only when none of its
// files (nor a link file) exists and its index file is created
// exclusively, every move goes to a name nothing has, and a name found
// taken makes the next one ("_1", "_2", ...) be tried.
//
// A failure in 1 to 3 moves back what was moved, erases T and returns null
// with the handle still open and the file as it was (ESTALE when R's files
// are not the handle's); after 3 the file is clustered, and only a failure
// of the final open returns null with the handle closed (the error of the
// open in errno).
#pragma once

#include <cstdint>
#include <string>

#include "wisam.h"

struct IsFile;

namespace wisam {

// isClone inside a frame on `f`: the new file's handle, open with `mode`.
// A failed build or index add raises on `f` with its error; a half-built
// file is erased.
IsFile *cloneFile(IsFile *f, const char16_t *newName, uint32_t mode);

// isCopy whole: the frames of both handles and the copy.  1, or 0 with the
// error in the destination's error number (and errno).  A destination that
// is the source, or shares its file, is refused with 102, as are files of
// different record lengths and a fixed-length destination for a source
// with variable-length records (the variable parts would be lost).
int copyFile(IsFile *destination, IsFile *source, KeyDesc *key);

// isCluster whole; null with errno (and the handle's error number while the
// handle is still open) on failure.
IsFile *clusterFile(IsFile *f, KeyDesc *key);

// The temporary name of a cluster of `name` by process `pid` with the
// prefix "ist" (or any other three letters), or "" when it would be longer
// than a base name may be.  Attempt n > 0 (the names before were taken)
// adds "_n".
std::u16string clusterName(const char16_t *name, const char16_t *prefix, int64_t pid, int attempt = 0);

}  // namespace wisam
