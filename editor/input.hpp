// Lines typed or piped on standard input.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "platform.hpp"

// How a read of one line ended.
enum class line_read { line, end, interrupted };

// What a line is read for: line editing recalls command lines, and
// completes file names where a file is named.
enum class line_kind { answer, command, file_name };

struct line_input;
// Line editing at a terminal, in the builds that have it: reads one line
// the way read_line does.
using line_editor = line_read (*)(line_input& in, const char* prompt, std::string& line, size_t most,
                                  line_kind kind);

struct line_input {
    bool given = false;     // the input was given whole (give_input): nothing more is read
    FILE* shown = stdout;   // flushed before a read that would wait
    bool terminal = false;  // input and output are a terminal
    line_editor editor = nullptr;
    // What has been read from fd and not yet taken.
    char data[1 << 16];
    size_t at = 0;
    size_t end = 0;
    bool eof = false;
};

// Input given whole, as tests and the fuzz targets give it: no more than
// fits in `data`, and the end after it.
void give_input(line_input& in, const char* text, size_t size);

// Prints `prompt`, then reads one line without its line end (an LF, a CR
// and an LF, or a CR that ends the input) into `line`, keeping at most
// `most` characters: the rest of a longer line is read and
// dropped, so no input can make the program grow. A command line joins the
// recall list of line editing. At a terminal, Ctrl-C gives `interrupted`
// and Ctrl-D `end`, each after a line end that puts the cursor on a fresh line.
line_read read_line(line_input& in, const char* prompt, std::string& line, size_t most,
                    line_kind kind = line_kind::answer);

// At a terminal: Ctrl-C interrupts the read of a line instead of ending the
// program.
void catch_interrupts(line_input& in);
