// layer: frame/undo
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

// A changing call failed: take back what it wrote (frame/isundo.h), put
// the handle's dictionary state back as it was when the call began, discard
// its dirty index nodes and the loaded free-list blocks, mark the space
// table stale.  Changes of earlier calls, written or held back by a kept
// lock, stay.
void discardCallChanges(IsFile *f);

}  // namespace wisam
