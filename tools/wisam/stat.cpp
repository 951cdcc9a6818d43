// stat.cpp - stat: the shape of a file's indexes and data, measured through
// the exported calls, and the cache sizes that would hold the whole file.
//
// An index's nodes are the index-file blocks that the library reads while
// the index is walked in key order, as ioCallback reports them: the root
// (read when the file is opened) and every node below it.  The walk loads
// a node when it first comes down to it, so each step that loads nodes
// ends at a new leaf, and the most blocks one step reads (crossing from the
// root's first child to its second) are the levels below the root: the
// depth is one more.  A leaf of an index without compression holds its
// entries as key, serial (with duplicates) and record number, so their
// bytes against the leaves' room are how full the leaves are.  Blocks that
// hold the variable parts of records are read with the records; they are
// found first, by reading every record by number, and not counted as nodes.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "datalength.h"
#include "keytext.h"
#include "tool.h"

namespace wisam::tool {

namespace {

constexpr const char *kStatHelp =
    "usage: wisam stat NAME [--json]\n"
    "  measures NAME by reading it through the library:\n"
    "  - per index: its depth (levels of nodes), its nodes and leaves, its\n"
    "    entries, how full its leaves are (for a compressed index, the entries\n"
    "    a leaf instead), and the longest run of equal keys with its key;\n"
    "  - the data file: records in use, free slots (deleted, up to the highest\n"
    "    record number), and whole slots past it;\n"
    "  - the index file's blocks: the dictionary, the indexes' nodes, the\n"
    "    variable parts of records, and the rest (free blocks, free-list and\n"
    "    key-description blocks);\n"
    "  - cache advice: the isDefaultIndexCacheLines and isDefaultDataCacheLines\n"
    "    that hold the whole index and data file with the default\n"
    "    associativity, and the memory they take.\n"
    "  --json: the same as one JSON object.  Reads every record once per index.\n";

// What a node holds besides its entries: the used length before them and
// four bytes after them.
constexpr int kNodeOverhead = 6;
constexpr int kRecordNumberBytes = 4;
constexpr int kSerialBytes = 4;  // the serial that orders equal keys of an index with duplicates
constexpr int kCacheWayOverhead = 24, kCacheSetOverhead = 8, kCacheOverhead = 24;
constexpr int32_t kIoWrite = 2;

// Index-file blocks read (1 = the dictionary), collected while a Watch lives.
std::vector<uint32_t> blocksRead;

void noteRead(int32_t isDataFile, int32_t operation, int32_t, int32_t block) {
    // Block 1, the dictionary, is neither a node nor a variable part.
    if (isDataFile == 0 && operation != kIoWrite && block > 0) blocksRead.push_back(static_cast<uint32_t>(block) + 1);
}

class Watch {
public:
    Watch() {
        blocksRead.clear();
        ioCallback = noteRead;
    }
    ~Watch() { ioCallback = nullptr; }
};

struct IndexStat {
    int number = 0;
    KeyDesc key{};
    int depth = 1;
    int64_t nodes = 1, leaves = 0, entries = 0;
    bool compressed = false;
    double fill = 0;  // of the leaves, without compression
    int64_t longestRun = 0;
    std::string runKey;
};

struct CacheAdvice {
    int64_t blocks = 0;
    int32_t blockSize = 0;
    int32_t ways = 0;
    int64_t lines = 0;
    int64_t bytes = 0;
};

CacheAdvice advice(int64_t blocks, int32_t blockSize, int32_t ways) {
    CacheAdvice a{blocks, blockSize, std::max(ways, 1), 0, 0};
    a.lines = std::max<int64_t>(1, (blocks + a.ways - 1) / a.ways);
    a.bytes = a.lines * (int64_t{a.ways} * (blockSize + kCacheWayOverhead) + kCacheSetOverhead) + kCacheOverhead;
    return a;
}

int percent(double share) { return static_cast<int>(share * 100 + 0.5); }

std::string sizeText(int64_t bytes) {
    char text[32];
    if (bytes < 10 * 1024) {
        std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(bytes));
    } else if (bytes < 10 * 1024 * 1024) {
        std::snprintf(text, sizeof text, "%lld KiB", static_cast<long long>((bytes + 1023) / 1024));
    } else {
        std::snprintf(text, sizeof text, "%lld MiB", static_cast<long long>((bytes + (1 << 20) - 1) >> 20));
    }
    return text;
}

// Walks index `library` in key order on a handle of its own, counting what
// it reads.  The handle's open reads the key descriptions, the root of
// every index, and then the path down to the first entry of the first
// index, which the walk of that index then finds loaded: those blocks are
// counted from the open's reads.  A forward walk on a fresh handle loads
// every other node once.
bool measureIndex(const std::u16string &units, const RecordShape &shape, int library, const std::set<uint32_t> &roots,
                  const std::set<uint32_t> &varBlocks, IndexStat &s) {
    std::vector<uint32_t> opened;
    Handle f(nullptr);
    {
        Watch watch;
        f.reset(isOpen(units.c_str(), ISINPUT | ISOPENVARLEN));
        opened = blocksRead;
    }
    if (f.get() == nullptr || !isIndex(f.get(), library)) return false;
    std::set<uint32_t> nodes = {s.key.rootNode};
    int mostInAStep = 0;
    if (library == 1) {
        // The first index's path as the open read it: after its root, the blocks that are no root.
        const auto root = std::find(opened.begin(), opened.end(), s.key.rootNode);
        int path = 0;
        for (auto it = root == opened.end() ? root : root + 1; it != opened.end(); ++it) {
            if (roots.count(*it) == 0 && varBlocks.count(*it) == 0 && nodes.insert(*it).second) ++path;
        }
        mostInAStep = path;
        s.leaves += path > 0 ? 1 : 0;
    }
    std::vector<unsigned char> record(readBufferSize(shape));
    std::vector<unsigned char> key(IS_MAX_KEY_LENGTH), previous(IS_MAX_KEY_LENGTH);
    int64_t run = 0;
    std::string runKey;  // of the run under way
    for (int mode = modeFirst;; mode = modeNext) {
        bool read = false;
        {
            Watch watch;
            read = isRead(f.get(), record.data(), mode) != 0;
            int step = 0;
            for (const uint32_t block : blocksRead) {
                if (varBlocks.count(block) != 0 || !nodes.insert(block).second) continue;
                ++step;
            }
            // A step that loads nodes ends at a leaf it comes down to.
            s.leaves += step > 0 ? 1 : 0;
            mostInAStep = std::max(mostInAStep, step);
        }
        if (!read) break;
        ++s.entries;
        customKeyMake(f.get(), key.data(), record.data(), library - 1);
        run = run > 0 && customKeyCmp(f.get(), previous.data(), key.data(), 0, library - 1) == 0 ? run + 1 : 1;
        if (run == 1) runKey = keyText(record.data(), s.key);
        if (run > s.longestRun) s.longestRun = run, s.runKey = runKey;
        std::swap(key, previous);
    }
    const int error = isErrno(f.get());
    if (error != EENDFILE && error != ENOREC) return false;
    s.nodes = static_cast<int64_t>(nodes.size());
    s.depth = 1 + mostInAStep;
    if (s.depth == 1) s.leaves = 1;  // the root is the leaf
    return true;
}

}  // namespace

int statCommand(const Args &args) {
    if (wantsHelp(args)) return out("%s", kStatHelp), kExitOk;
    bool json = false;
    std::string name;
    for (const std::string &arg : args) {
        if (arg == "--json") {
            json = true;
        } else if (name.empty() && !arg.starts_with("--")) {
            name = arg;
        } else {
            return unexpectedArgument(arg, kStatHelp);
        }
    }
    if (name.empty()) return usage("stat needs a NAME", kStatHelp);
    const std::string what = "stat " + name;
    Handle f(openFile(name, ISINPUT | ISOPENVARLEN, what));
    if (f.get() == nullptr) return openFailed();
    FileIndexes indexes;
    int32_t highest = 0;
    if (!fileIndexes(f.get(), indexes) || !isGetLastRec(f.get(), &highest)) return fail(what, f.get());
    const RecordShape &shape = indexes.shape;

    // The blocks of variable parts, read with the records by number.
    std::set<uint32_t> varBlocks;
    if (shape.variable()) {
        std::vector<unsigned char> record(readBufferSize(shape));
        for (int32_t r = 1; r <= highest; ++r) {
            Watch watch;
            isData(f.get(), record.data(), r);
            varBlocks.insert(blocksRead.begin(), blocksRead.end());
        }
    }
    std::vector<IndexStat> stats;
    std::set<uint32_t> roots;
    for (int n = 1; n <= shape.info.indexCount; ++n) {
        IndexStat s;
        s.number = n;
        if (!isIndexInfo(f.get(), &s.key, n)) return fail(what + ": index " + std::to_string(n), f.get());
        if (!indexes.real(n)) continue;
        roots.insert(s.key.rootNode);
        stats.push_back(s);
    }
    std::u16string units;
    if (!fileName(name, units)) return kExitUsage;
    for (IndexStat &s : stats) {
        if (!measureIndex(units, shape, indexes.libraryNumber(s.number), roots, varBlocks, s)) {
            return fail(what + ": reading index " + std::to_string(s.number), nullptr);
        }
        const int entry = s.key.keyLength + kRecordNumberBytes + ((s.key.flags & ISKEY_DUPS) != 0 ? kSerialBytes : 0);
        const double room = static_cast<double>(std::max<int64_t>(s.leaves, 1)) * (shape.info.blockSize - kNodeOverhead);
        s.compressed = (s.key.flags & (ISKEY_DUPCOMPRESS | ISKEY_LEADCOMPRESS | ISKEY_TRAILCOMPRESS)) != 0;
        s.fill = static_cast<double>(s.entries) * entry / room;
    }

    struct stat wox{};
    const std::string base = basePath(name);
    const int64_t indexBlocks = ::stat((base + ".wox").c_str(), &wox) == 0 ? wox.st_size / shape.info.blockSize : 0;
    int64_t nodes = 0;
    for (const IndexStat &s : stats) nodes += s.nodes;
    const int64_t others = std::max<int64_t>(0, indexBlocks - 1 - nodes - static_cast<int64_t>(varBlocks.size()));
    DataLength length;
    const bool data = measureDataFile(name, shape, highest, length);
    const int64_t live = shape.info.recordCount;
    const int64_t freeSlots = std::max<int64_t>(0, int64_t{highest} - live);
    // The dictionary (block 1) is never cached.
    const CacheAdvice indexCache = advice(std::max<int64_t>(indexBlocks - 1, 1), shape.info.blockSize,
                                          isDefaultIndexCacheAssociativity);
    const CacheAdvice dataCache = advice(std::max<int64_t>(highest, 1), static_cast<int32_t>(length.slotSize),
                                         isDefaultDataCacheAssociativity);
    const bool fits = indexCache.bytes + (data ? dataCache.bytes : 0) <= int64_t{isFileCacheMaxMemUsage};

    if (json) {
        using Json = nlohmann::ordered_json;
        Json result = {{"name", name}, {"records", live}, {"highest_record_number", highest}, {"free_slots", freeSlots}};
        if (data) {
            result["data_file"] = {{"bytes", length.bytes}, {"slot_size", length.slotSize}, {"slots_past_highest", length.beyond}};
        }
        result["indexes"] = Json::array();
        for (const IndexStat &s : stats) {
            result["indexes"].push_back({{"number", s.number}, {"key", formatKey(s.key)}, {"depth", s.depth},
                                         {"nodes", s.nodes}, {"leaves", s.leaves}, {"entries", s.entries},
                                         {"leaf_fill_percent", s.compressed ? Json(nullptr) : Json(percent(s.fill))},
                                         {"longest_run", s.longestRun}, {"longest_run_key", s.runKey}});
        }
        result["index_file"] = {{"blocks", indexBlocks}, {"block_size", shape.info.blockSize}, {"dictionary", 1},
                                {"index_nodes", nodes}, {"variable_parts", varBlocks.size()}, {"other", others}};
        result["cache"] = {{"isDefaultIndexCacheLines", indexCache.lines},
                           {"isDefaultIndexCacheAssociativity", indexCache.ways},
                           {"index_cache_bytes", indexCache.bytes}};
        if (data) {
            result["cache"]["isDefaultDataCacheLines"] = dataCache.lines;
            result["cache"]["isDefaultDataCacheAssociativity"] = dataCache.ways;
            result["cache"]["data_cache_bytes"] = dataCache.bytes;
        }
        result["cache"]["within_isFileCacheMaxMemUsage"] = fits;
        out("%s\n", result.dump(2).c_str());
        return f.close(what) ? kExitOk : kExitFailed;
    }
    out("%s: %lld records in use, %lld free slots (highest record number %d)", name.c_str(),
        static_cast<long long>(live), static_cast<long long>(freeSlots), highest);
    if (data) {
        out(", data file %lld bytes in %lld-byte slots", static_cast<long long>(length.bytes),
            static_cast<long long>(length.slotSize));
        if (length.beyond > 0) out(", %lld whole slots past the highest", static_cast<long long>(length.beyond));
    }
    out("\n");
    for (const IndexStat &s : stats) {
        out("  index %d (%s): depth %d, %lld node%s (%lld lea%s), %lld entries, ", s.number, formatKey(s.key).c_str(),
            s.depth, static_cast<long long>(s.nodes), s.nodes == 1 ? "" : "s", static_cast<long long>(s.leaves),
            s.leaves == 1 ? "f" : "ves", static_cast<long long>(s.entries));
        if (s.compressed) {
            out("compressed, %lld entries a leaf", static_cast<long long>(s.entries / std::max<int64_t>(s.leaves, 1)));
        } else {
            out("leaves %d%% full", percent(s.fill));
        }
        if ((s.key.flags & ISKEY_DUPS) == 0) {
            out(", unique\n");
        } else {
            out(", longest run of equal keys %lld%s\n", static_cast<long long>(s.longestRun),
                s.longestRun > 0 ? (" (key " + s.runKey + ")").c_str() : "");
        }
    }
    out("  index file: %lld blocks of %d bytes: 1 dictionary, %lld index node%s, ", static_cast<long long>(indexBlocks),
        shape.info.blockSize, static_cast<long long>(nodes), nodes == 1 ? "" : "s");
    if (shape.variable()) out("%zu with variable parts of records, ", varBlocks.size());
    out("%lld other (free blocks, free-list and key-description blocks)\n", static_cast<long long>(others));
    out("  cache advice: isDefaultIndexCacheLines %lld (associativity %d) holds the index file, %s",
        static_cast<long long>(indexCache.lines), indexCache.ways, sizeText(indexCache.bytes).c_str());
    if (data) {
        out("; isDefaultDataCacheLines %lld (associativity %d) holds the data file, %s",
            static_cast<long long>(dataCache.lines), dataCache.ways, sizeText(dataCache.bytes).c_str());
    }
    out("%s\n", fits ? "" : "; together more than isFileCacheMaxMemUsage allows");
    return f.close(what) ? kExitOk : kExitFailed;
}

}  // namespace wisam::tool
