// treecheck.cpp - the index structure checker and the index-file fixture.
#include "support/treecheck.h"

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <map>

#include "frame/iscall.h"
#include "index/isfree.h"
#include "index/isgrow.h"
#include "index/iskey.h"
#include "index/ispath.h"
#include "structure/isdict.h"
#include "structure/isencode.h"
#include "structure/iskeydesc.h"

namespace wisam::testing {

namespace {

constexpr size_t kMaxFaults = 40;

class Checker {
public:
    Checker(const IsFile *f, const std::vector<uint8_t> &file) : f_(f), file_(file), s_(f->nodeSize) {}

    FileCheck run(const std::vector<uint32_t> &varBlocks) {
        highest_ = static_cast<uint32_t>(ld4(bytesAt(1) + kDictIndexHighest));
        owner_.assign(highest_ + 1, "");
        claim(1, "dictionary");
        for (uint32_t block : varBlocks) claim(block, "variable-length");
        walkChain(static_cast<uint32_t>(ld4(bytesAt(1) + kDictKeyDescNode)), "key descriptions", false);
        walkChain(static_cast<uint32_t>(ld4(bytesAt(1) + kDictIndexFreeHead)), "index free list", true);
        walkChain(static_cast<uint32_t>(ld4(bytesAt(1) + kDictDataFreeHead)), "data free list", false);
        for (int32_t i = 0; i < f_->keyCount; ++i) {
            result_.indexes.push_back(IndexShape{});
            checkIndex(i, result_.indexes.back());
        }
        for (uint32_t n = 1; n <= highest_; ++n) {
            if (owner_[n].empty()) fault("block " + std::to_string(n) + " is not accounted for");
        }
        return result_;
    }

private:
    // Block n as stored; blocks past the end of the file read as zeros.
    const uint8_t *bytesAt(uint32_t n) {
        const size_t at = static_cast<size_t>(n - 1) * static_cast<size_t>(s_);
        if (at + static_cast<size_t>(s_) <= file_.size()) return file_.data() + at;
        zeros_.assign(static_cast<size_t>(s_), 0);
        if (at < file_.size()) std::memcpy(zeros_.data(), file_.data() + at, file_.size() - at);
        return zeros_.data();
    }

    void fault(const std::string &text) {
        if (result_.faults.size() < kMaxFaults) result_.faults.push_back(text);
    }

    bool claim(uint32_t n, const std::string &what) {
        if (n < 1 || n > highest_) {
            fault(what + ": block " + std::to_string(n) + " outside 1.." + std::to_string(highest_));
            return false;
        }
        if (!owner_[n].empty()) {
            fault(what + ": block " + std::to_string(n) + " already used as " + owner_[n]);
            return false;
        }
        owner_[n] = what;
        return true;
    }

    // A chain of blocks linked by bytes 2-5; with `numbers` the 4-byte
    // numbers from byte 6 to the used length are blocks too.
    void walkChain(uint32_t head, const std::string &what, bool numbers) {
        uint32_t steps = 0;
        for (uint32_t n = head; n != 0; ++steps) {
            if (steps > highest_ || !claim(n, what)) return;
            std::vector<uint8_t> node(bytesAt(n), bytesAt(n) + s_);
            const int32_t used = static_cast<int32_t>(ldBigN(node.data(), 2));
            if (used < 6 || used > s_ - 4) {
                fault(what + ": block " + std::to_string(n) + " used length " + std::to_string(used));
                return;
            }
            if (numbers) {
                for (int32_t at = 6; at + 4 <= used; at += 4) {
                    claim(static_cast<uint32_t>(ld4(node.data() + at)), what + " (free number)");
                }
            }
            n = static_cast<uint32_t>(ld4(node.data() + 2));
        }
    }

    struct Bounds {
        const std::vector<uint8_t> *lower = nullptr;  // keys >= lower
        const std::vector<uint8_t> *upper = nullptr;  // keys <= upper
    };

    struct Entry {
        std::vector<uint8_t> key;
        uint64_t serial = 0;
        uint32_t rawPointer = 0;
        bool hasKeyBytes = true;
    };

    // Decodes one node independently of the library; false on a fault.
    bool decodeNode(const TreePath *path, uint32_t n, const uint8_t *data, int32_t used, std::vector<Entry> &out) {
        const KeyDesc &kd = path->key;
        const int32_t k = path->keyLength;
        const int32_t w = (kd.flags & ISKEY_DUPS) != 0 ? f_->dupWidth : 0;
        const bool compressed = (kd.flags & (ISKEY_DUPCOMPRESS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS)) != 0;
        const bool lead = compressed && (kd.flags & ISKEY_LEADCOMPRESS) != 0;
        const bool trail = compressed && (kd.flags & ISKEY_TRAILCOMPRESS) != 0;
        const uint8_t pad = (kd.flags & ISKEY_NULLFILL) != 0 ? 0x00 : 0x20;
        const std::string where = "node " + std::to_string(n);
        std::vector<uint8_t> key(static_cast<size_t>(k), 0);
        int32_t at = 2;
        while (at < used) {
            Entry e;
            e.hasKeyBytes = !compressed || out.empty() || (out.back().rawPointer & 0x80000000u) == 0;
            if (e.hasKeyBytes) {
                int32_t l = 0;
                int32_t t = 0;
                if (lead) {
                    if (at >= used) break;
                    l = data[at++];
                }
                if (trail) {
                    if (at >= used) break;
                    t = data[at++];
                }
                if (out.empty() && l != 0) fault(where + ": first entry with leading count " + std::to_string(l));
                if (l + t > k) {
                    fault(where + ": L + T > K");
                    return false;
                }
                const int32_t middle = k - l - t;
                if (at + middle > used) break;
                std::memcpy(key.data() + l, data + at, static_cast<size_t>(middle));
                std::memset(key.data() + k - t, pad, static_cast<size_t>(t));
                at += middle;
            }
            if (at + w + 4 > used) break;
            e.key = key;
            e.serial = w > 0 ? ldBigN(data + at, w) : 0;
            e.rawPointer = static_cast<uint32_t>(ld4(data + at + w));
            at += w + 4;
            out.push_back(e);
        }
        if (at != used) {
            fault(where + ": entries do not end at the used length " + std::to_string(used));
            return false;
        }
        for (size_t i = 0; i < out.size(); ++i) {
            const bool flag = (out[i].rawPointer & 0x80000000u) != 0;
            const bool expected = compressed && i + 1 < out.size() && !out[i + 1].hasKeyBytes;
            if (flag != expected) fault(where + ": repeat flag of entry " + std::to_string(i));
            if (!compressed && flag) fault(where + ": repeat flag in a plain node");
        }
        return true;
    }

    void checkIndex(int32_t index, IndexShape &shape) {
        const TreePath *path = f_->indexes[index];
        const std::string name = "index " + std::to_string(index);
        int32_t height = -1;
        checkNode(path, name, path->rootNode, -1, Bounds{}, true, shape, height);
        shape.height = height + 1;
        const bool dups = (path->key.flags & ISKEY_DUPS) != 0;
        for (size_t i = 1; i < shape.entries.size(); ++i) {
            const auto &a = shape.entries[i - 1];
            const auto &b = shape.entries[i];
            const int c = compareKeys(path, a.key.data(), b.key.data());
            if (c > 0 || (!dups && c == 0)) {
                fault(name + ": leaf entries " + std::to_string(i - 1) + " and " + std::to_string(i) + " out of order");
            }
            if (dups && a.key == b.key && b.serial <= a.serial) {
                fault(name + ": serials of equal keys at " + std::to_string(i) + " do not rise");
            }
        }
    }

    void checkNode(const TreePath *path, const std::string &name, uint32_t n, int32_t level, Bounds bounds,
                   bool root, IndexShape &shape, int32_t &height) {
        if (!claim(n, name + " node")) return;
        ++shape.nodes;
        std::vector<uint8_t> data(bytesAt(n), bytesAt(n) + s_);
        const std::string where = name + " node " + std::to_string(n);
        const int32_t used = static_cast<int32_t>(ldBigN(data.data(), 2));
        if (used < 2 || used >= s_ - 4) {
            fault(where + ": used length " + std::to_string(used));
            return;
        }
        if (!root && used == 2) fault(where + ": empty node below the root");
        if (data[s_ - 3] != 0 || data[s_ - 1] != 0) fault(where + ": marker bytes");
        const int32_t nodeLevel = data[s_ - 2];
        if (level >= 0 && nodeLevel != level) {
            fault(where + ": level " + std::to_string(nodeLevel) + ", expected " + std::to_string(level));
            return;
        }
        if (root) height = nodeLevel;
        if (root && used == 2 && nodeLevel != 0) fault(where + ": empty root above level 0");
        std::vector<Entry> entries;
        if (!decodeNode(path, n, data.data(), used, entries)) return;
        for (size_t i = 0; i < entries.size(); ++i) {
            const auto &key = entries[i].key;
            if (i > 0 && compareKeys(path, entries[i - 1].key.data(), key.data()) > 0) {
                fault(where + ": keys out of order at entry " + std::to_string(i));
            }
            if (nodeLevel == 0) {
                if (bounds.lower != nullptr && compareKeys(path, key.data(), bounds.lower->data()) < 0) {
                    fault(where + ": key below its lower bound");
                }
                if (bounds.upper != nullptr && compareKeys(path, key.data(), bounds.upper->data()) > 0) {
                    fault(where + ": key above its separator");
                }
            }
        }
        if (nodeLevel == 0) {
            shape.leafUsed.push_back(used);
            for (const auto &e : entries) {
                shape.entries.push_back(CheckedEntry{e.key, e.serial, e.rawPointer & 0x7FFFFFFFu});
            }
            return;
        }
        if (entries.empty()) return;
        for (size_t i = 0; i < entries.size(); ++i) {
            Bounds child;
            child.lower = i == 0 ? bounds.lower : &entries[i - 1].key;
            child.upper = i + 1 == entries.size() ? bounds.upper : &entries[i].key;
            checkNode(path, name, entries[i].rawPointer & 0x7FFFFFFFu, nodeLevel - 1, child, false, shape, height);
        }
    }

    const IsFile *f_;
    const std::vector<uint8_t> &file_;
    int32_t s_;
    uint32_t highest_ = 0;
    std::vector<std::string> owner_;
    std::vector<uint8_t> zeros_;
    FileCheck result_;
};

}  // namespace

std::string FileCheck::report() const {
    std::string text;
    for (const auto &line : faults) text += line + "\n";
    return text;
}

FileCheck checkIndexFile(const IsFile *f, const std::string &woxPath, const std::vector<uint32_t> &varBlocks) {
    const std::vector<uint8_t> file = readFile(woxPath);
    if (file.size() < static_cast<size_t>(kDictionarySize)) {
        FileCheck bad;
        bad.faults.push_back("index file too short");
        return bad;
    }
    Checker checker(f, file);
    return checker.run(varBlocks);
}

KeyDesc keyOf(uint16_t flags, std::initializer_list<KeyPart> parts) {
    KeyDesc key{};
    key.flags = flags;
    for (const KeyPart &part : parts) key.parts[key.partCount++] = part;
    return key;
}

std::string hexBytes(const uint8_t *bytes, size_t length) {
    std::string text;
    char cell[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(cell, sizeof cell, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += cell;
    }
    return text;
}

IndexFile::IndexFile(int32_t nodeSize) {
    layDownFiles(dir.file("t"), 0);
    f = openHandle(dir.name("t"), 2 | kModeManualLock);
    if (f == nullptr) return;
    f->nodeSize = nodeSize;
    f->dupWidth = 4;
    f->keyDescNode = 0;
    f->keyCount = 0;
    f->state = 0;
    f->recordLength = 0;
    createDictionary(f);
}

IndexFile::~IndexFile() { closeTestHandle(f); }

int32_t IndexFile::addIndex(KeyDesc key) {
    const int ok = call([&] {
        appendKeyDesc(f, &key);
        freeListFlush(f);
        writeDictionary(f);
        return 1;
    });
    return ok ? f->keyCount - 1 : -1;
}

int IndexFile::call(const std::function<int()> &work) { return inCall(f, kAccessChange, work); }

int IndexFile::flush() {
    return call([&] {
        pathFlush(f, f->keyCount);
        freeListFlush(f);
        writeDictionary(f);
        return 1;
    });
}

void DigitKeyIndex::make(uint16_t flags, int32_t nodeSize, int16_t length) {
    file = std::make_unique<IndexFile>(nodeSize);
    ASSERT_NE(file->f, nullptr);
    k = length;
    ASSERT_EQ(file->addIndex(keyOf(flags, {keyPart(0, length, ISTYPE_CHAR)})), 0);
    f = file->f;
    path = f->indexes[0];
}

std::vector<uint8_t> DigitKeyIndex::key(int value) const {
    std::vector<uint8_t> bytes(static_cast<size_t>(k), ' ');
    char text[32];
    std::snprintf(text, sizeof text, "%08d", value);
    std::memcpy(bytes.data(), text, std::min<size_t>(8, bytes.size()));
    return bytes;
}

int DigitKeyIndex::insert(int value, uint32_t record) {
    const auto bytes = key(value);
    return file->call([&] {
        insertKey(f, path, bytes.data(), record);
        pathFlush(f, 0);
        freeListFlush(f);
        writeDictionary(f);
        return 1;
    });
}

}  // namespace wisam::testing
