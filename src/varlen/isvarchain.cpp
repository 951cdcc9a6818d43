// layer: varlen
// isvarchain.cpp - walking, reading and releasing one record's chain.
#include "varlen/isvarchain.h"

#include <cstring>

#include "frame/iscorrupt.h"
#include "frame/isfile.h"
#include "index/isfree.h"
#include "structure/isencode.h"

namespace wisam {

VarReference readReference(const IsFile *f) {
    const uint8_t *r = f->recordBuffer + f->recordLength + 1;
    VarReference ref;
    ref.stored = static_cast<int32_t>(ldBigN(r, 2));
    ref.entry = r[2];
    ref.block = static_cast<uint32_t>(ldBigN(r + 3, 3));
    return ref;
}

bool ChainWalk::wrong(IsFile *f, uint32_t block) const {
    if (strict_) raiseCorruptBlock(f, block);
    return false;
}

bool ChainWalk::enter(IsFile *f, ChainStep &step) {
    if (how_ == ChainRead::view) {
        step.bytes = viewVarBlock(f, step.block, step.header);
    } else {
        readVarBlock(f, step.block, step.header);
        step.bytes = f->varBlock;
    }
    step.fragment = varFragment(f, step.bytes, step.block, step.header, step.entry);
    const VarHeader &h = step.header;
    // Only a full block, alone with its fragment, goes on to another.
    if (h.continues != 0 && (h.entries != 1 || step.fragment.length != kVarFullFragment)) {
        raiseCorruptBlock(f, step.block);
    }
    if (steps_ == kMaxChainFragments || taken_ + step.fragment.length > ref_.stored) return wrong(f, step.block);
    for (int32_t i = 0; i < steps_; ++i) {
        if (seen_[i] == step.block) return wrong(f, step.block);
    }
    seen_[steps_++] = step.block;
    taken_ += step.fragment.length;
    return true;
}

void ChainWalk::finish(IsFile *f, const ChainStep &last) const {
    if (strict_ && taken_ != ref_.stored) raiseCorruptBlock(f, last.block);
}

void readChain(IsFile *f, const VarReference &ref, uint8_t *out) {
    int32_t at = 0;
    walkChain(f, ref, true, ChainRead::view, [&](const ChainStep &step) {
        const VarFragment &fragment = step.fragment;
        std::memcpy(out + at, step.bytes + fragment.offset, static_cast<size_t>(fragment.length));
        at += fragment.length;
    });
}

// A fragment alone in its block frees the block: it leaves its list (its
// free bytes counted as 0) and goes to the index free list unwritten.
// Otherwise the fragment is cut out of the shared block.
void releaseChain(IsFile *f, const VarReference &ref) {
    walkChain(f, ref, true, ChainRead::copy, [&](ChainStep &step) {
        VarHeader &h = step.header;
        if (fragmentsInUse(f, h) == 1) {
            freeListPut(f, kFreeListIndex, step.block);
            if (h.free != 0) {
                h.free = 0;
                relistBlock(f, step.block, h);
            }
            return;
        }
        removeFragment(f, step.block, h, step.entry);
        relistBlock(f, step.block, h);
        writeVarBlock(f, step.block, h);
    });
}

}  // namespace wisam
