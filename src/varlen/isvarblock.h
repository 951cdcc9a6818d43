// layer: varlen
// isvarblock.h - variable-length blocks of the index file.
//
// A variable-length block is one 1024-byte index-file block (N = 1024);
// integers big-endian:
//
//   offset      width contents
//   0           2     zero
//   2           2     magic 0x7E26
//   4           4     next block on the same free-space list (0 = last)
//   8           4     previous block on the same list (0 = first)
//   12          2     free bytes: 998 - 4 x entries - sum of fragment lengths
//   14          2     end of the fragment area (23 in an empty block)
//   16          1     continuation: directory entry of the next fragment
//   17          3     continuation: block of the next fragment
//   20          1     continuation flag: 1 = the record goes on there
//   21          1     number of directory entries
//   22          1     free-space list the block is on, 0..4 (0 = none)
//   23          ...   fragments, contiguous from 23 up to the end offset
//   N - 4i - 7  2     directory entry i: fragment length
//   N - 4i - 5  2     directory entry i: fragment offset; 0 = free entry
//   N - 3       1     0x7C
//   N - 2       2     zero
//
// A block holds either one full fragment of 994 bytes (free 0) that may
// continue, or the final fragments of any number of records (never
// continuing).  List k (1..4) holds the blocks with (free - 1) div 200 = k;
// blocks with 1..200 free bytes and full blocks are on no list.  The lists
// are doubly linked through the headers, new members at the head.
//
// Every block read here is checked against this shape before anything in
// it is used: a wrong magic, an area or directory leaving the block, or free
// bytes that disagree with them raise 105 naming the block, so that damage
// never makes a read or a write leave the block.
#pragma once

#include <cstdint>

struct IsFile;

namespace wisam {

constexpr int32_t kVarBlockSize = 1024;
constexpr uint16_t kVarMagic = 0x7E26;
constexpr int32_t kVarAreaStart = 23;
constexpr int32_t kVarRoom = 998;          // free bytes of an empty block
constexpr int32_t kVarFullFragment = 994;  // one fragment filling a block
constexpr int32_t kVarEntryBytes = 4;
constexpr uint8_t kVarTrailer = 0x7C;
constexpr int32_t kVarListSpan = 200;
constexpr int32_t kVarLists = 4;  // lists 1..4; 0 = none

// The header of the block in varBlock, decoded.
struct VarHeader {
    uint32_t next = 0;
    uint32_t prev = 0;
    int32_t free = kVarRoom;
    int32_t end = kVarAreaStart;
    int32_t nextEntry = 0;
    uint32_t nextBlock = 0;
    int32_t continues = 0;
    int32_t entries = 0;
    int32_t list = 0;
};

// One fragment: where it lies and how long it is.
struct VarFragment {
    int32_t offset = 0;
    int32_t length = 0;
};

// The list a block with `free` bytes belongs on (0 = none).
int32_t varListFor(int32_t free);

// The space table in memory, reloaded from the dictionary buffer when stale.
uint32_t spaceHead(IsFile *f, int32_t list);
void setSpaceHead(IsFile *f, int32_t list, uint32_t block);
// Copies the space table into the dictionary buffer for the next write.
void storeSpaceTable(IsFile *f);

// Reads block `block` into varBlock and decodes its header (105 on any
// shape fault).  `peekVarBlock` reads and decodes without raising on the
// shape: false when the magic is wrong (the block is then not decoded).
void readVarBlock(IsFile *f, uint32_t block, VarHeader &h);
bool peekVarBlock(IsFile *f, uint32_t block, VarHeader &h);

// As readVarBlock, for reading only: the block's bytes where they are (in
// the index cache, valid until its next use, or read into varBlock).
const uint8_t *viewVarBlock(IsFile *f, uint32_t block, VarHeader &h);

// Stores the header and trailer into varBlock and writes it as `block`.
void writeVarBlock(IsFile *f, uint32_t block, const VarHeader &h);

// Starts an empty block in varBlock.
void clearVarBlock(IsFile *f, VarHeader &h);

// Directory entry `entry` of the block whose bytes are `bytes`; 105 naming
// `block` when the entry does not exist, is free, or leaves the fragment
// area.
VarFragment varFragment(IsFile *f, const uint8_t *bytes, uint32_t block, const VarHeader &h, int32_t entry);

// Directory entries of the block in varBlock that hold a fragment.
int32_t fragmentsInUse(const IsFile *f, const VarHeader &h);

// Copies `length` bytes into the block in varBlock as a new fragment (the
// caller has checked the room) and returns its directory entry.
int32_t placeFragment(IsFile *f, VarHeader &h, const uint8_t *bytes, int32_t length);

// Removes fragment `entry` from the block in varBlock: the fragments above
// it move down, its entry becomes free.
void removeFragment(IsFile *f, uint32_t block, VarHeader &h, int32_t entry);

// Moves block `block` to the list its free bytes call for, updating the
// neighbours' links and the space table (the block's own header is written
// by the caller).
void relistBlock(IsFile *f, uint32_t block, VarHeader &h);

// A block on the free-space lists with room for a fragment of `length`
// bytes, left in varBlock with its header in `h`; 0 when none.
uint32_t findRoom(IsFile *f, int32_t length, VarHeader &h);

}  // namespace wisam
