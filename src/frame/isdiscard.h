// isdiscard.h - dropping what a handle holds cached about its files.
//
// Two occasions: another process changed the file (the dictionary's change
// counter moved, refreshFile), and a changing call failed (raiseError), whose
// changes were only cached and must never reach the files.  Each owner of a
// cached structure (block caches, free-list blocks, tree paths, the
// variable-length space table) adds its part here.
#pragma once

struct IsFile;

namespace wisam {

// Another process changed the file: discard every cached block, free-list
// block and index node of the handle, and mark the space table stale.
void discardForeignChanges(IsFile *f);

// A changing call failed: discard its dirty index nodes and free-list blocks,
// re-read the dictionary when the index file is open, mark the space table
// stale.
void discardCallChanges(IsFile *f);

}  // namespace wisam
