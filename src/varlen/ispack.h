// layer: varlen
// ispack.h - the run-length code of packed variable parts (mode 0x10|0x20).
//
// A packed part is in one of two forms:
//
//   plain  00, length n (2 bytes, big-endian), the n bytes    n + 3 bytes
//   coded  control bytes ended by 00, then the literal bytes
//
// Control byte c: 1..63 copies the next c literal bytes; 64 and above is a
// run of c & 63 (2..63) bytes of the fill chosen by c >> 6: 1 = 0x00,
// 2 = 0x20 (blank), 3 = 0x30 (digit zero).  The coded form is used only when
// its control string (with the 00) is shorter than the bytes the runs save,
// so a packed part is never longer than n + 3 bytes.
#pragma once

#include <cstdint>

namespace wisam {

// The packed form of `length` (>= 1) bytes from `in`, written to `out`,
// which must hold length + 3 bytes.  Returns the packed length.
int32_t packBytes(const uint8_t *in, int32_t length, uint8_t *out);

// Unpacks `length` bytes from `in` into `out`, which holds `room` bytes.
// Returns the unpacked length, or -1 when the input is not a packed form
// that fits `room` (a damaged part).
int32_t unpackBytes(const uint8_t *in, int32_t length, uint8_t *out, int32_t room);

}  // namespace wisam
