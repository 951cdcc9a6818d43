// vardisk.cpp - the tests' own decoder of variable-length files.
#include "support/vardisk.h"

#include "support/testing.h"

namespace wisam::testing {

uint32_t beField(const uint8_t *p, int n) {
    uint32_t value = 0;
    for (int i = 0; i < n; ++i) value = (value << 8) | p[i];
    return value;
}

VarFiles::VarFiles(const std::string &base, int32_t fixedLength, bool packedFile, bool mask)
    : wox(readFile(base + ".wox")), wod(readFile(base + ".wod")), fixed(fixedLength),
      slot(fixedLength + 7 + (mask ? 4 : 0)), packed(packedFile) {}

std::string VarFiles::record(uint32_t record, std::vector<uint8_t> &out, std::set<uint32_t> &blocks) const {
    const uint8_t *s = slotAt(record);
    out.assign(s, s + fixed);
    const uint32_t stored = beField(s + fixed + 1, 2);
    uint32_t entry = s[fixed + 3];
    uint32_t n = beField(s + fixed + 4, 3);
    if (stored == 0) return n == 0 && entry == 0 ? "" : "reference without length names a block";
    std::vector<uint8_t> bytes;
    for (int steps = 0;; ++steps) {
        if (steps > 40) return "chain too long";
        if (n < 2 || static_cast<size_t>(n) * kVarN > wox.size()) return "block " + std::to_string(n) + " outside the file";
        const uint8_t *b = block(n);
        if (beField(b, 2) != 0 || beField(b + 2, 2) != 0x7E26 || b[kVarN - 3] != 0x7C) {
            return "block " + std::to_string(n) + " has no magic";
        }
        const uint32_t count = b[21];
        if (entry >= count) return "entry past the directory";
        const uint8_t *e = b + kVarN - 4 * entry - 7;
        const uint32_t length = beField(e, 2), offset = beField(e + 2, 2);
        if (offset < 23 || offset + length > beField(b + 14, 2)) return "fragment outside the area";
        if (!blocks.insert(n).second && b[20] != 0) return "block met twice";
        bytes.insert(bytes.end(), b + offset, b + offset + length);
        if (b[20] == 0) break;
        entry = b[16];
        n = beField(b + 17, 3);
    }
    if (bytes.size() != stored) return "chain holds " + std::to_string(bytes.size()) + " of " + std::to_string(stored);
    std::vector<uint8_t> variable;
    if (!packed) {
        variable = bytes;
    } else if (!unpackForTest(bytes, variable)) {
        return "packed form does not decode";
    }
    out.insert(out.end(), variable.begin(), variable.end());
    return "";
}

bool unpackForTest(const std::vector<uint8_t> &in, std::vector<uint8_t> &out) {
    out.clear();
    if (in.empty()) return false;
    if (in[0] == 0) {
        if (in.size() < 3 || beField(&in[1], 2) + 3 != in.size()) return false;
        out.assign(in.begin() + 3, in.end());
        return true;
    }
    size_t controls = 0;
    while (controls < in.size() && in[controls] != 0) ++controls;
    size_t literal = controls + 1;
    static const uint8_t fill[4] = {0, 0x00, ' ', '0'};
    for (size_t i = 0; i < controls; ++i) {
        const uint8_t c = in[i];
        if (c < 64) {
            if (literal + c > in.size()) return false;
            out.insert(out.end(), in.begin() + static_cast<long>(literal), in.begin() + static_cast<long>(literal + c));
            literal += c;
        } else {
            out.insert(out.end(), c & 63, fill[c >> 6]);
        }
    }
    return literal == in.size();
}

}  // namespace wisam::testing
