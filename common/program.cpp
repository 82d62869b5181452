#include "program.hpp"

#include <cstdio>
#include <cstring>

#include "platform.hpp"

program_start start_program(int argc, char** argv, const char* name, const char* usage)
{
    sys::prepare_process();
    program_start p;
    p.words = sys::arguments(argc, argv);
    for (std::string& word : p.words)
        p.argv.push_back(word.data());
    p.argv.push_back(nullptr);
    if (p.words.size() == 2 && p.words[1] == "--help")
        p.status = std::fputs(usage, stdout) < 0 || std::fflush(stdout) != 0;
    else if (p.words.size() == 2 && p.words[1] == "--version")
        p.status = std::printf("%s %.2f\n", name, VOXA_VERSION) < 0 || std::fflush(stdout) != 0;
    return p;
}

bool looks_like_option(const char* argument)
{
    return argument[0] == '-' && !sys::exists(argument);
}
