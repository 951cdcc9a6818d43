// layer: varlen
// isvarchain.h - following the fragments of one record's variable part.
//
// A chain starts at the reference in the slot and follows continuations.
// Every fragment but the last is a full one (994 bytes, alone in its block,
// continuing); the last never continues.  The walk holds a chain to that
// shape and to the stored length, so that damage (a loop, a continuation
// into a free entry or into a shared block, lengths that do not add up)
// ends it with 105 after at most stored / 994 + 1 blocks.
#pragma once

#include <cstdint>

#include "varlen/isvarblock.h"

struct IsFile;

namespace wisam {

// The 6-byte reference that follows the marker byte of a slot.
struct VarReference {
    int32_t stored = 0;  // bytes of the variable part as stored; 0 = none
    int32_t entry = 0;   // directory entry of the first fragment
    uint32_t block = 0;  // block of the first fragment
};

// The reference of the slot in recordBuffer.
VarReference readReference(const IsFile *f);

// Most fragments a chain can have: full blocks for the longest part, then
// the tail.
constexpr int32_t kMaxChainFragments = 0xFFFF / kVarFullFragment + 2;

// One fragment met by a walk: its block (its bytes at `bytes`, header in
// `header`), its directory entry and where it lies.
struct ChainStep {
    uint32_t block;
    VarHeader header;
    int32_t entry;
    VarFragment fragment;
    const uint8_t *bytes;
};

// How a walk reads blocks: viewed where they are (reading only), or copied
// into varBlock for a visit that changes them.
enum class ChainRead { view, copy };

// Visits every fragment of the chain in order: with ChainRead::copy,
// visit(ChainStep &) may change varBlock (the continuation is taken before
// it runs).  Returns the bytes the fragments hold; with `strict` a total
// other than the stored length raises 105, else the walk ends early and the
// total tells.
template <class Visit>
int32_t walkChain(IsFile *f, const VarReference &ref, bool strict, ChainRead how, Visit &&visit);

// Copies the chain's bytes to `out` (room for ref.stored bytes).
void readChain(IsFile *f, const VarReference &ref, uint8_t *out);

// Gives back every fragment of the chain: a block left without fragments
// goes to the index free list, a shared block closes up and is re-listed.
void releaseChain(IsFile *f, const VarReference &ref);

// --- implementation of the walk ---

// What a walk has seen so far.  enter() reads the step's block and
// fragment (105 on a damaged block) and holds the chain to its shape: false
// when the chain goes wrong (a loop, more bytes than stored) and the walk is
// not strict; strict, it raises 105.
class ChainWalk {
public:
    ChainWalk(const VarReference &ref, bool strict, ChainRead how) : ref_(ref), strict_(strict), how_(how) {}
    bool enter(IsFile *f, ChainStep &step);
    // At the end of the chain: strict, a total other than the stored length
    // raises 105.
    void finish(IsFile *f, const ChainStep &last) const;
    int32_t taken() const { return taken_; }

private:
    bool wrong(IsFile *f, uint32_t block) const;

    VarReference ref_;
    bool strict_;
    ChainRead how_;
    uint32_t seen_[kMaxChainFragments] = {};
    int32_t steps_ = 0;
    int32_t taken_ = 0;
};

template <class Visit>
int32_t walkChain(IsFile *f, const VarReference &ref, bool strict, ChainRead how, Visit &&visit) {
    ChainWalk walk(ref, strict, how);
    ChainStep step{ref.block, VarHeader{}, ref.entry, VarFragment{}, nullptr};
    for (;;) {
        if (!walk.enter(f, step)) return walk.taken();
        const bool more = step.header.continues != 0;
        const uint32_t nextBlock = step.header.nextBlock;
        const int32_t nextEntry = step.header.nextEntry;
        visit(step);
        if (!more) break;
        step.block = nextBlock;
        step.entry = nextEntry;
    }
    walk.finish(f, step);
    return walk.taken();
}

}  // namespace wisam
