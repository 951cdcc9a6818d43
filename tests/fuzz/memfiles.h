// memfiles.h - files held in memory and served to the library through the
// file layer's system-call table, for the fuzz target and its seed
// generator: no disk, no clean-up, and every byte the library reads is one
// the input gave.
//
// One set of files exists per process.  `MemoryFiles` installs the table
// for its lifetime (restoring the previous one after) and starts empty.
// Byte-range locks always succeed: one process, no contention.  A
// descriptor opened with O_APPEND writes at the end, by write and pwrite
// alike, as the log's descriptor does on Linux.  Every file is a regular
// file of the superuser on device 1 whose inode is a hash of the path it
// was first laid down or created at (a rename keeps it), so that a
// journal written at a path is bound to the files at that path in every
// process; permission bits start at 0644 and follow chmod.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "system/issystem.h"

namespace wisam::fuzz {

class MemoryFiles {
public:
    MemoryFiles();
    ~MemoryFiles();
    MemoryFiles(const MemoryFiles &) = delete;
    MemoryFiles &operator=(const MemoryFiles &) = delete;

    // Drops every file and descriptor; a descriptor still held is then bad.
    void clear();
    void put(const std::string &path, const std::vector<uint8_t> &bytes);
    // The bytes of `path`, empty when there is no such file.
    std::vector<uint8_t> get(const std::string &path) const;
    // Its size in bytes, 0 when there is no such file.
    size_t size(const std::string &path) const;
    bool exists(const std::string &path) const;
    // Descriptors opened and not yet closed.
    int openCount() const;
    // The paths of every file, in order.
    std::vector<std::string> paths() const;
    // Called with a file's path before each write to it (write or pwrite),
    // until replaced; empty to stop.
    void watchWrites(std::function<void(const std::string &path)> hook);

private:
    SysCalls saved_;
};

}  // namespace wisam::fuzz
