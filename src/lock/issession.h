// layer: lock
// issession.h - the file-state session of a handle: what a call does with
// the files between taking its file-state lock and giving it up, below the
// call frame.  A changed file is read again (and a change another process
// left half-done is taken back from its journal first); a journaled change
// is committed at its end.  The lock manager, the readers and the index
// layer call these; the call frame (frame/iscall.h) calls them at a call's
// start and end.
#pragma once

struct IsFile;

namespace wisam {

// Re-reads the dictionary and discards all cached state when another process
// changed the file.  Does nothing for an exclusive handle or while a
// file-state lock is kept across calls.
void refreshFile(IsFile *f);

// The journal of a change that another process left half-done (it died,
// or the machine stopped), applied under the exclusive file-state lock;
// the handle's lock is as before afterwards.  True when the files changed.
bool recoverHotJournal(IsFile *f);

// A journal this handle could not apply when its change failed, applied
// now (raises while it still cannot).
void applyPendingJournal(IsFile *f);

// The files were put back from a journal: the handle's dictionary,
// caches, nodes and the failed call's images are dropped and read again.
void resyncWithFiles(IsFile *f);

// The end of a change: the journaled change under way is committed, unless
// an exclusive lock kept across calls holds it open until the lock ends.
void commitChange(IsFile *f);

}  // namespace wisam
