// layer: collate
// iscollate.h - key types with an order of their own, and the text helpers
// behind them.
//
// The key comparison (index/iskey) orders most part types by their bytes;
// the types 8 to 13 are ordered here instead:
//
//   type  unit  order
//   8     2     UTF-16 text, unit by unit, ending at a NUL in both
//   9     8     first 4 bytes as a native signed 32-bit integer; when those
//               are equal, the remaining bytes as unsigned bytes
//   10    1     UTF-8 device tag
//   11    2     UTF-16 device tag
//   12    1     unsigned bytes
//   13    2     UTF-16 text without regard to case
//
// A device tag is a name in which runs of decimal digits compare as numbers
// ("ab9" before "ab10"), a digit sorts before every other character, a run
// with leading zeros after the same value without them ("x7" before "x007"),
// and a name that ends first sorts first.  Runs compare by their exact value
// however many digits they have, so the UTF-8 and the UTF-16 forms of a tag
// always order alike.  Only '0' to '9' are digits, in both forms.
//
// UTF-16 parts hold native-order units.  A key part may lie at any address,
// so units are loaded byte-wise, never through a `char16_t` pointer.
//
// Rules:
//   - No function here allocates, and none reads a byte outside the lengths
//     it is given, whatever the bytes are (invalid UTF-8, lone surrogates,
//     an odd byte length: the odd byte is ignored).
//   - Case folding uses one fixed mapping (the C.UTF-8 locale's lower case,
//     one unit at a time), never the locale the host process has set: the
//     order of a stored index must not change with the host's locale.
#pragma once

#include <cstdint>

#include "wisam.h"

namespace wisam {

// The length unit of a collating type (bytes); 1 for any other type.
int32_t collateUnit(int type);

// Compares two key parts of type 8 to 13 (`key.parts[part]`, low 6 bits of
// the type; other types compare equal) over `length` bytes, at most the
// part's length: the whole part, or its leading bytes when a partial-key
// compare length cuts it.  Negative, zero or positive; the descending bit is
// not applied here.
int collatePart(const KeyDesc &key, int part, const void *a, const void *b, int32_t length);

// The same over the whole part.
int collatePart(const KeyDesc &key, int part, const void *a, const void *b);

// Reads one UTF-8 character at `cursor` as a 16-bit value and advances past
// it, taking the consumed bytes off `left`.  0 ends the string: a NUL, too
// few bytes left, or a byte that cannot start a character (the cursor then
// stays put).  Continuation bytes are not checked; a 4-byte character keeps
// only the low 16 bits of its last three bytes.
uint16_t nextUtf8(const uint8_t *&cursor, int32_t &left);

// Device-tag order of two UTF-8 fields of `length` bytes: -1, 0 or 1.
int compareDeviceTags(const uint8_t *a, const uint8_t *b, int32_t length);

// Device-tag order of two UTF-16 fields of `units` units (native order,
// any alignment): -1, 0 or 1.
int compareWideDeviceTags(const uint8_t *a, const uint8_t *b, int32_t units);

// Case-insensitive order of two UTF-8 fields of `length` bytes: -1, 0 or 1.
int compareNoCaseUtf8(const uint8_t *a, const uint8_t *b, int32_t length);

// UTF-16 helpers over native-order units at any alignment.
//
// Bounded comparison of at most `units` units: -1 or 1 at the first
// difference (units unsigned), 0 when all are equal or both reach a NUL.
int compareWide(const uint8_t *a, const uint8_t *b, int32_t units);
// The same on the lower-case forms of the units.
int compareWideNoCase(const uint8_t *a, const uint8_t *b, int32_t units);
// Whether a unit is a decimal digit ('0' to '9').
bool isWideDigit(char16_t unit);
// The lower-case form of one unit (itself when it has none in 16 bits).
char16_t foldCase(char16_t unit);

}  // namespace wisam
