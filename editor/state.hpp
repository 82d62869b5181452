// The editor's state, its limits and the result codes, at a glance.
//
// Every command works on one editor_state, taken by reference, so that the
// program, the tests and the fuzz target can each hold their own.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform.hpp"

// The buffer holds this many data bytes plus one slot past them (index
// buffer_limit), which receives the byte stored just after the data.
constexpr int32_t buffer_limit = 5000000;
// A command line holds at most this many characters (a 200-byte line).
constexpr int line_max = 199;
constexpr int line_size = line_max + 1;
// The longest file name the name question takes (a longer one is cut and
// then cannot be opened).
constexpr size_t name_max = 4096;
// The history keeps 11 lines; slot 0 is never listed.
constexpr int history_slots = 11;

static_assert(buffer_limit < INT32_MAX, "offsets are signed 32-bit numbers");

// What a command tells the prompt loop to do next.
enum result_code : int {
    RESULT_QUIT = -1,
    RESULT_DUMP = 0,
    RESULT_PROMPT = 2,
    RESULT_WRITE = 9999,
};

// The bytes of edit_buffer: a mapping of their own, all zero at start and
// untouched until a load stores into them, so that a small file costs a few
// pages and a large one can ask for huge pages before its first byte.
class byte_store {
  public:
    byte_store();
    ~byte_store();
    byte_store(const byte_store&) = delete;
    byte_store& operator=(const byte_store&) = delete;

    static constexpr size_t size() { return size_t{buffer_limit} + 1; }
    unsigned char* data() const { return bytes_; }
    unsigned char& operator[](size_t at)
    {
        assert(at < size());
        return bytes_[at];
    }
    unsigned char operator[](size_t at) const
    {
        assert(at < size());
        return bytes_[at];
    }
    void set_all(unsigned char value);
    // Sets n bytes from `at` on to zero, as cheaply as a fresh buffer holds them.
    void zero(size_t at, size_t n);
    // Asks for 2 MiB pages: worth it only before a large load touches them.
    void prefer_huge_pages();

  private:
    unsigned char* bytes_;
    void* mapping_;
    size_t mapped_ = 0;
};

// The part of the file that the start-up load took: the write puts the
// edited data in its place and keeps every byte before and after it.
struct loaded_window {
    bool whole_file = true; // the load took the file from its first byte to its end
    int64_t start = 0;      // file offset of the first byte loaded
    int64_t length = 0;     // bytes of the file that the data replaces
};

// The file as this session last saw it on disk, loaded or written, and the
// folders it was seen in: a write goes ahead over it only while its name
// still leads to that very file, in that very folder.
struct file_record {
    sys::file_info file;
    sys::file_id folder;      // the folder that holds the file
    sys::file_id name_folder; // the one that holds its name and backup (the same but for a link)
};

// A rewrite in place that did not finish: the file on disk may be torn,
// and its backup holds the last whole version, which the next write keeps.
// A mark beside the backup tells later sessions the same.
struct unfinished_write {
    bool pending = false;
    std::string backup;    // where the last whole version is, as shown
    std::string backup_leaf;
    sys::file_info backup_record; // the backup as the mark recorded it
    std::string mark;      // the mark's name beside the backup, empty when there is none
};

struct editor_state {
    byte_store edit_buffer;   // the data, the end slot at data_count, old bytes
    int32_t data_count = 0;   // valid data bytes
    int32_t cursor = 0;       // next byte the dump shows; a load's store index
    int64_t addr_counter = 0; // label of the dump; counts a load's reads (a file position)
    bool at_terminal = false; // the dump's column is for a person at a terminal
    int64_t startbyte = 0;    // 1-based first byte of the file loaded
    loaded_window window;
    file_record on_disk;
    unfinished_write unfinished;
    // The last write that went ahead failed, and none has succeeded since.
    bool write_failed = false;
    // A data byte or data_count changed since the last write that landed.
    bool unsaved = false;

    int32_t begoffset = 0; // range of the last search or replace
    int32_t endoffset = 0;
    int32_t edit_value = 0; // last value given to e

    // The history: history_count lines, the oldest in slot history_first,
    // the rest after it round the slots, so that a new line moves none.
    std::array<std::array<char, line_size>, history_slots> history{};
    int32_t history_count = 0;
    int32_t history_first = 0;

    std::string file_name; // the file being edited, held whole
};
