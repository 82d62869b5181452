// voxa: an interactive, line-oriented byte editor.
//   voxa [file [startbyte]]
//
// Exit status 0, or 1 when the file could not be loaded, the last write that
// went ahead failed, or the output could not be written.
#include <cstdio>
#include <string>

#include "commands.hpp"
#include "program.hpp"

#ifdef VOXA_LINE_EDITING
void start_line_editing(line_input& in); // terminal.cpp
#endif

namespace {

// The manual: a page of man where the programs are installed, the text
// beside the program where it comes in the ZIP (Windows).
#ifdef VOXA_MANUAL_BESIDE
#define MANUAL "voxa.txt"
#else
#define MANUAL "man voxa"
#endif

const char usage[] =
    "Usage: voxa [file [startbyte]]\n"
    "       voxa --help | --version\n"
    "Loads file (up to 5,000,000 bytes; from its startbyte-th byte on when given)\n"
    "and edits it byte by byte with one-letter commands at the \"-\" prompt: ? lists\n"
    "them. Without a file, voxa asks for its name; a file named --help is reached\n"
    "as ./--help. Commands may come from a script on standard input.\n"
    "Offsets and byte values are hexadecimal, counts decimal: l 10 10 deletes 10\n"
    "bytes from offset 0x10. Numbers are 32-bit and signed, so ffffffff is -1: to\n"
    "search to the end of the data, give 7fffffff (s 0 7fffffff 41).\n"
    "Nothing is written until w is confirmed. The old file then becomes its backup\n"
    "in its own folder (renamed, at no cost, where it can be; else copied), the\n"
    "character after the first dot made 7 (data.bin: data.7in) or 7 appended\n"
    "(README: README7).\n"
    "Exit status 0, or 1 when the file could not be loaded, the last write failed,\n"
    "or the output could not be written. Manual: " MANUAL "\n";

#if defined(VOXA_TERMINAL_BESIDE) && !defined(VOXA_LINE_EDITING)
// At a terminal the build with line editing takes over, where it is
// installed; a scripted run never loads the line-editing library.
void hand_over_to_line_editing(char** argv)
{
    std::string folder = sys::program_folder();
    if (folder.empty())
        return;
    for (const char* relative : {VOXA_TERMINAL_BESIDE, VOXA_TERMINAL_INSTALLED})
        sys::run_instead(folder + relative, argv);
}
#endif

} // namespace

int main(int argc, char** argv)
{
    program_start started = start_program(argc, argv, "voxa", usage);
    if (started.status >= 0)
        return started.status;
    argc = static_cast<int>(started.words.size());
    argv = started.argv.data();

    static line_input in;
    static char output[1 << 16];
    bool at_terminal = sys::interactive();
    if (at_terminal) {
#if defined(VOXA_LINE_EDITING)
        start_line_editing(in);
#elif defined(VOXA_TERMINAL_BESIDE)
        hand_over_to_line_editing(argv);
#endif
        catch_interrupts(in);
    } else {
        // Flushed only before a read that waits, and at the end.
        setvbuf(stdout, output, _IOFBF, sizeof output);
    }
    // Never destroyed: the end of the process unmaps the buffer.
    static editor_state& state = *new editor_state;
    state.at_terminal = at_terminal;
    if (!start_up(state, argc, argv, in, stdout)) {
        std::fflush(stdout);
        // A file may be named --bogus, but one that is not there was more
        // likely meant as an option.
        if (argc >= 2 && looks_like_option(argv[1]))
            std::fputs("Try 'voxa --help'.\n", stderr);
        return 1;
    }
    prompt_loop(state, in, stdout);
    bool shown = !std::ferror(stdout) && std::fclose(stdout) == 0;
    return shown && !state.write_failed ? 0 : 1;
}
