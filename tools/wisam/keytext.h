// keytext.h - key descriptions written as text on the command line.
//
//   START:LEN:TYPE[,START:LEN:TYPE...][:FLAG...]
//
// TYPE is a type name (char, int, long, double, float, short, nlong,
// string, wtext, recid, devtag, wdevtag, bytes, wnocase) or number, with
// "-" appended for a descending part (long-).  FLAGs: dups, dupcompress,
// leadcompress, trailcompress, compress (all three), nullfill, nullsuppress.
#pragma once

#include <string>
#include <vector>

#include "wisam.h"

namespace wisam::tool {

// Parses `text` into `key`; false with `error` set when it is not a key.
bool parseKey(const std::string &text, KeyDesc &key, std::string &error);

// "0:4:long-,4:10:char:dups" back from a description.
std::string formatKey(const KeyDesc &key);

// One key part of a record as text: numbers by their type, other parts
// quoted with bytes that are not printable as '.' and trailing blanks cut.
std::string partText(const unsigned char *record, const KeyPart &part);
// The parts of `key` in a record, comma-separated.
std::string keyText(const unsigned char *record, const KeyDesc &key);

// The name of a key type (low 6 bits).
const char *typeName(int type);

// Adds the bits of the flag named `text` (dups, compress, nullsuppress...)
// to `flags`; false when there is no such flag.
bool parseFlag(const std::string &text, uint16_t &flags);
// The names of the flags set in `flags` other than dups, one name a bit.
std::vector<std::string> flagNames(uint16_t flags);

}  // namespace wisam::tool
