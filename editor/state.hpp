// The editor's state, its limits and the result codes, at a glance.
//
// Every command works on one editor_state, taken by reference, so that the
// program, the tests and the fuzz target can each hold their own.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// The buffer holds this many data bytes plus one slot past them (index
// buffer_limit), which receives the byte stored just after the data.
constexpr int32_t buffer_limit = 5000000;
// A command line holds at most this many characters (a 200-byte line).
constexpr int line_max = 199;
constexpr int line_size = line_max + 1;
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

struct editor_state {
    // The data, then the end slot at index data_count, then old bytes. All
    // zero at start: hold the state in static storage or value-initialise it
    // (make_unique<editor_state>()). No initialiser of its own, so that the
    // program's start does not write 5 MB it may never use.
    std::array<unsigned char, buffer_limit + 1> edit_buffer;
    int32_t data_count = 0;   // valid data bytes
    int32_t cursor = 0;       // next byte the dump shows; a load's store index
    int32_t addr_counter = 0; // label of the dump; counts a load's reads
    int32_t startbyte = 0;    // 1-based first byte of the file loaded
    bool whole_file = true;   // false when start-up left part of the file out
    // A rewrite failed part way: the file on disk is incomplete and its
    // backup holds the last whole version, which the next write keeps.
    bool file_incomplete = false;

    int32_t begoffset = 0; // range of the last search or replace
    int32_t endoffset = 0;
    int32_t edit_value = 0; // last value given to e

    std::array<std::array<char, line_size>, history_slots> history{};
    int32_t history_count = 0;

    std::string file_name; // the file being edited, held whole
};
