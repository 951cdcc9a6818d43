// commands.cpp - create, info, dump and load.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "keytext.h"
#include "tool.h"

namespace wisam::tool {

namespace {

constexpr const char *kCreateHelp =
    "usage: wisam create NAME --reclen N --key KEY [--key KEY...] [--varlen MAX]\n"
    "  KEY is START:LEN:TYPE[,START:LEN:TYPE...][:FLAG...]\n"
    "  TYPE: char int long double float short nlong string wtext recid devtag\n"
    "        wdevtag bytes wnocase, or a number; append '-' for descending\n"
    "  FLAG: dups dupcompress leadcompress trailcompress compress nullfill\n"
    "        nullsuppress\n"
    "  --key none builds a file without primary key.\n";
constexpr const char *kInfoHelp = "usage: wisam info NAME\n";
constexpr const char *kDumpHelp =
    "usage: wisam dump NAME [--index K] [--hex]\n"
    "  K: 0 record-number order, 1 the primary key (default), 2.. the others\n";
constexpr const char *kLoadHelp =
    "usage: wisam load NAME < RECORDS\n"
    "  RECORDS: raw records of exactly the file's record length, one after another\n";

constexpr long kProgressEvery = 10000;

bool numberArg(const Args &args, size_t &i, long &value) {
    if (i + 1 >= args.size()) return false;
    char *end = nullptr;
    value = std::strtol(args[++i].c_str(), &end, 10);
    return *end == 0;
}

std::string indexPath(const std::string &name) { return basePath(name) + ".wox"; }

void printDictionary(const std::string &name) {
    std::ifstream in(indexPath(name), std::ios::binary);
    unsigned char d[80] = {};
    if (!in.read(reinterpret_cast<char *>(d), sizeof d)) {
        std::printf("dictionary: unreadable\n");
        return;
    }
    std::printf("dictionary: block size %d, key entries %d, record length %d, max length %d\n",
                (ldInt(d + 6) & 0xFFFF) + 1, ldInt(d + 8), ldInt(d + 13), ldInt(d + 59) & 0xFFFF);
    std::printf("            change counter %u, unique id %u\n",
                static_cast<unsigned>(ldLong(d + 41)), static_cast<unsigned>(ldLong(d + 45)));
    std::printf("            data records: highest %u, free-list head %u\n",
                static_cast<unsigned>(ldLong(d + 33)), static_cast<unsigned>(ldLong(d + 25)));
    std::printf("            index blocks: highest %u, free-list head %u\n",
                static_cast<unsigned>(ldLong(d + 37)), static_cast<unsigned>(ldLong(d + 29)));
    std::printf("            key descriptions from block %u, feature flags 0x%04x%s\n",
                static_cast<unsigned>(ldLong(d + 15)), ldInt(d + 74) & 0xFFFF,
                std::memcmp(d + 76, "kjsk", 4) == 0 ? "" : " (no marker: ignored)");
}

// One key part of a record, decoded by its type.
std::string decodePart(const unsigned char *record, const KeyPart &part) {
    const unsigned char *p = record + part.start;
    char text[64];
    switch (part.type & ISTYPE_MASK) {
    case ISTYPE_INT:
        std::snprintf(text, sizeof text, "%d", ldInt(p));
        return text;
    case ISTYPE_LONG:
        std::snprintf(text, sizeof text, "%d", ldLong(p));
        return text;
    case ISTYPE_DOUBLE:
        std::snprintf(text, sizeof text, "%g", ldDbl(p));
        return text;
    case ISTYPE_FLOAT:
        std::snprintf(text, sizeof text, "%g", static_cast<double>(ldFloat(p)));
        return text;
    default: {
        std::string s;
        for (int i = 0; i < part.length; ++i) {
            const unsigned char c = p[i];
            if (c == 0 && (part.type & ISTYPE_MASK) == ISTYPE_STRING) break;
            s += std::isprint(c) ? static_cast<char>(c) : '.';
        }
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return "\"" + s + "\"";
    }
    }
}

void printRecord(const unsigned char *record, int length, bool hex) {
    if (hex) {
        for (int i = 0; i < length; ++i) std::printf("%02x", record[i]);
    } else {
        for (int i = 0; i < length; ++i) std::putchar(std::isprint(record[i]) ? record[i] : '.');
    }
    std::putchar('\n');
}

}  // namespace

std::string basePath(const std::string &name) {
    std::ifstream link(name + ".lnk");
    std::string target;
    if (link && std::getline(link, target)) {
        if (!target.empty() && target.back() == '\r') target.pop_back();
        if (!target.empty()) return target;
    }
    return name;
}

int createCommand(const Args &args) {
    if (wantsHelp(args)) return std::fputs(kCreateHelp, stdout), 0;
    if (args.empty()) return usage("create needs a NAME", kCreateHelp);
    long recordLength = -1, maxLength = 0;
    std::vector<KeyDesc> keys;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--reclen" && numberArg(args, i, recordLength)) continue;
        if (args[i] == "--varlen" && numberArg(args, i, maxLength)) continue;
        if (args[i] == "--key" && i + 1 < args.size()) {
            KeyDesc key{};
            std::string error;
            if (args[++i] != "none" && !parseKey(args[i], key, error)) return usage(error, kCreateHelp);
            keys.push_back(key);
            continue;
        }
        return usage("unexpected argument '" + args[i] + "'", kCreateHelp);
    }
    if (recordLength < 0 || keys.empty()) return usage("--reclen and --key are needed", kCreateHelp);
    const int mode = ISINOUT | ISEXCLLOCK | (maxLength > 0 ? ISVARLEN : 0);
    IsFile *f = isBuild(fileName(args[0]).c_str(), static_cast<int>(recordLength),
                        static_cast<int>(maxLength), &keys[0], mode);
    if (f == nullptr) return fail("create " + args[0], nullptr);
    for (size_t k = 1; k < keys.size(); ++k) {
        if (!isAddIndex(f, &keys[k])) {
            const int status = fail("add index " + formatKey(keys[k]), f);
            isClose(f);
            return status;
        }
    }
    isClose(f);
    std::printf("created %s: record length %ld, %zu index%s\n", args[0].c_str(), recordLength,
                keys.size(), keys.size() == 1 ? "" : "es");
    return 0;
}

int infoCommand(const Args &args) {
    if (wantsHelp(args)) return std::fputs(kInfoHelp, stdout), 0;
    if (args.size() != 1) return usage("info needs exactly one NAME", kInfoHelp);
    IsFile *f = isOpen(fileName(args[0]).c_str(), ISINPUT | ISOPENVARLEN);
    if (f == nullptr) return fail("open " + args[0], nullptr);
    IsamInfo info{};
    if (!isIsamInfo(f, &info)) return fail("info " + args[0], f);
    std::printf("%s: %d index%s, record length %d, block size %d, %d records\n", args[0].c_str(),
                info.indexCount, info.indexCount == 1 ? "" : "es", info.recordSize, info.blockSize,
                info.recordCount);
    for (int k = 1; k <= info.indexCount; ++k) {
        KeyDesc key{};
        if (!isIndexInfo(f, &key, k)) return fail("index info", f);
        std::printf("  index %d: %s (key length %d, root block %u)\n", k, formatKey(key).c_str(),
                    key.keyLength, static_cast<unsigned>(key.rootNode));
    }
    isClose(f);
    printDictionary(args[0]);
    return 0;
}

int dumpCommand(const Args &args) {
    if (wantsHelp(args)) return std::fputs(kDumpHelp, stdout), 0;
    if (args.empty()) return usage("dump needs a NAME", kDumpHelp);
    long index = 1;
    bool hex = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--index" && numberArg(args, i, index)) continue;
        if (args[i] == "--hex") {
            hex = true;
            continue;
        }
        return usage("unexpected argument '" + args[i] + "'", kDumpHelp);
    }
    IsFile *f = isOpen(fileName(args[0]).c_str(), ISINPUT | ISOPENVARLEN);
    if (f == nullptr) return fail("open " + args[0], nullptr);
    IsamInfo info{};
    KeyDesc key{};
    if (!isIsamInfo(f, &info) || !isIndex(f, static_cast<int>(index)) ||
        (index > 0 && !isIndexInfo(f, &key, static_cast<int>(index)))) {
        const int status = fail("dump " + args[0], f);
        isClose(f);
        return status;
    }
    std::vector<unsigned char> record(static_cast<size_t>(info.recordSize) + 1);
    long count = 0;
    for (int mode = modeFirst; isRead(f, record.data(), mode); mode = modeNext, ++count) {
        std::printf("%7d ", isRecnum(f));
        for (int p = 0; p < key.partCount; ++p) {
            std::printf("%s ", decodePart(record.data(), key.parts[p]).c_str());
        }
        printRecord(record.data(), isReclen(f), hex);
    }
    const int error = isErrno(f);
    isClose(f);
    if (error != EENDFILE) return fail("read " + args[0], nullptr);
    std::fprintf(stderr, "%ld records\n", count);
    return 0;
}

int loadCommand(const Args &args) {
    if (wantsHelp(args)) return std::fputs(kLoadHelp, stdout), 0;
    if (args.size() != 1) return usage("load needs exactly one NAME", kLoadHelp);
    IsFile *f = isOpen(fileName(args[0]).c_str(), ISINOUT | ISEXCLLOCK);
    if (f == nullptr) return fail("open " + args[0], nullptr);
    const int length = isReclen(f);
    std::vector<unsigned char> record(static_cast<size_t>(length));
    const bool progress = isatty(STDERR_FILENO) != 0;
    long count = 0;
    for (;;) {
        const size_t got = std::fread(record.data(), 1, record.size(), stdin);
        if (got == 0) break;
        if (got != record.size()) {
            std::fprintf(stderr, "wisam: load: %zu trailing bytes are not a whole record\n", got);
            isClose(f);
            return 1;
        }
        if (!isWrite(f, record.data())) {
            const int status = fail("write record " + std::to_string(count + 1), f);
            isClose(f);
            return status;
        }
        ++count;
        if (progress && count % kProgressEvery == 0) std::fprintf(stderr, "\r%ld records", count);
    }
    isClose(f);
    std::fprintf(stderr, "%s%ld records loaded\n", progress ? "\r" : "", count);
    return 0;
}

}  // namespace wisam::tool
