// Reading the words of a command line. A blank is the space character only:
// a tab belongs to the word it stands in.
#pragma once

#include <array>
#include <string_view>

#include "state.hpp"

// The words of a line, cut at runs of blanks; a line of 199 characters has
// at most 100 of them.
struct token_list {
    std::array<std::string_view, (line_max + 1) / 2> items;
    int count = 0;
};

token_list tokenise(std::string_view line);

// The blank that begins a line's arguments, and the one before its last word;
// nullptr when the line has none.
char* first_blank(char* line);
char* last_blank(char* line);

// The text after the line's last blank, with the line cut at that blank;
// nullptr (and the line whole) when it has none.
char* cut_last_word(char* line);
