// What both programs do first: the standard files made safe, the arguments
// taken in UTF-8, and --help and --version answered when given alone.
#pragma once

#include <string>
#include <vector>

struct program_start {
    std::vector<std::string> words; // the arguments, in UTF-8
    std::vector<char*> argv;        // the same, for main's ways, ending in nullptr
    int status = -1;                // -1: the program goes on; else it ends with this status
};

// `name` and `usage` are the program's own; --version prints its name and version.
program_start start_program(int argc, char** argv, const char* name, const char* usage);

// An argument that begins with '-' and names no file was more likely meant
// as an option.
bool looks_like_option(const char* argument);
