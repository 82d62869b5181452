// Copies that land a file: a sparse file's holes kept, blocks shared where
// the file system can, the progress of a long one shown. The editor's write
// and the copy tool both land their files through these.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform.hpp"

// A long copy's progress, shown at a terminal once it has run a second, as
// a percentage of `total` bytes on one line that is rewritten in place and
// blanked at the end.
struct progress {
    FILE* out = nullptr; // nullptr: nothing is shown
    int64_t total = 0;
    int64_t done = 0;
    int64_t began = 0;
    int shown = -1; // the percentage on the line; -1 while there is none

    progress(FILE* to, int64_t bytes);
    ~progress();
    progress(const progress&) = delete;
    progress& operator=(const progress&) = delete;
    void advance(int64_t bytes);
};

// Copies [at, at + size) of `from` to `to` at `to_at`, its runs of data
// only, by the system where it can: a hole stays a hole, and costs nothing.
// Where the file system can share blocks between files (XFS with reflink,
// btrfs) and the two offsets differ by whole blocks, the whole blocks are
// shared, not copied: they take no room and no time. False on a fault; a
// source that does not hold all of those bytes is one (short_source).
bool copy_bytes(sys::handle from, int64_t at, sys::handle to, int64_t to_at, int64_t size, progress* shown);

// Writes to `to` the first `length` bytes of `from` with the `size` bytes
// from `at` on replaced by `bytes`, in order: a block that the new bytes
// leave as it was is taken from `from` as copy_bytes takes it (a hole
// stays a hole, a block is shared where it can be), and only the blocks
// that differ are written. `written`: how many of the new bytes are in
// place, in order, when it stops.
bool write_over(sys::handle from, sys::handle to, int64_t length, const unsigned char* bytes, size_t size,
                int64_t at, size_t& written, progress* shown);
