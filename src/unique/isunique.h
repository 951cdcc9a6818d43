// layer: unique
// isunique.h - the unique-id counter of a file.
//
// The counter (signed 32 bits at offset 45 of the dictionary) holds the next
// id to hand out; a new file starts at 1.  Every change is made under the
// exclusive file-state lock on the value just read from the file, so
// processes sharing the file never receive the same id, and is written
// without moving the change counter (taking an id does not make other
// processes drop their caches).  The log record of the change is written
// under the same lock: the log holds the changes of the counter in the
// order they were made, and a change that could not be logged fails and is
// taken back.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

// The counter becomes `value` (`onlyIfBigger`: only when it is smaller).
int setUnique(IsFile *f, int32_t value, bool onlyIfBigger);

// Hands out `count` ids from the counter: `first` receives the first, the
// counter advances by `count` (0 hands out the counter without moving it; a
// negative count moves it back).  A counter that passes 2147483647 starts
// again at 1.
int takeUniqueIds(IsFile *f, int32_t *first, int32_t count);

}  // namespace wisam
