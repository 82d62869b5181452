// voxa: an interactive, line-oriented byte editor.
//   voxa [file [startbyte]]
#include <cstdio>

#include "commands.hpp"

int main(int argc, char** argv)
{
    static editor_state state; // 5 MB: kept out of the stack
    if (!start_up(state, argc, argv, stdin, stdout)) {
        std::fflush(stdout);
        return 1;
    }
    prompt_loop(state, stdin, stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
