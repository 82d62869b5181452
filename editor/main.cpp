// voxa: an interactive, line-oriented byte editor.
//   voxa [file [startbyte]]
//
// Exit status 0, or 1 when the file could not be loaded, the last write that
// went ahead failed, or the output could not be written.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "commands.hpp"

#ifdef VOXA_LINE_EDITING
void start_line_editing(line_input& in); // terminal.cpp
#endif

namespace {

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
    "or the output could not be written. Manual: man voxa\n";

// A closed standard descriptor would be taken by the next file opened, and
// what is printed would land in that file.
void open_missing_standard_files()
{
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDWR); // takes the lowest free descriptor: fd
}

#if defined(VOXA_TERMINAL_BESIDE) && !defined(VOXA_LINE_EDITING)
// At a terminal the build with line editing takes over, where it is
// installed; a scripted run never loads the line-editing library.
void hand_over_to_line_editing(char** argv)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return;
    std::string folder(self, static_cast<size_t>(n));
    folder.erase(folder.rfind('/') + 1);
    for (const char* relative : {VOXA_TERMINAL_BESIDE, VOXA_TERMINAL_INSTALLED})
        execv((folder + relative).c_str(), argv);
}
#endif

} // namespace

int main(int argc, char** argv)
{
    open_missing_standard_files();
    // A reader that goes away (voxa f < script | head) must not end the
    // session before its writes: the output fails, and the exit status says so.
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return std::fputs(usage, stdout) < 0 || std::fflush(stdout) != 0;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return std::printf("voxa %.2f\n", VOXA_VERSION) < 0 || std::fflush(stdout) != 0;

    static line_input in;
    static char output[1 << 16];
    bool at_terminal = isatty(0) && isatty(1);
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
        if (argc >= 2 && argv[1][0] == '-' && access(argv[1], F_OK) != 0)
            std::fputs("Try 'voxa --help'.\n", stderr);
        return 1;
    }
    prompt_loop(state, in, stdout);
    bool shown = !std::ferror(stdout) && std::fclose(stdout) == 0;
    return shown && !state.write_failed ? 0 : 1;
}
