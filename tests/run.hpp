// Runs the built programs as a user would: in a fresh temporary folder, with
// a script on standard input, and returns what they printed and left behind.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;

// A temporary folder that is removed with everything in it.
struct temp_dir {
    fs::path path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    void write(const std::string& name, const std::string& bytes) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;
};

struct run_result {
    std::string out;
    int status = -1;    // exit status; -1 when ended by a signal or timed out
    int signal = 0;     // the signal that ended it, if any
    std::map<std::string, std::string> files; // the folder afterwards
};

// Runs `program` with `args` in `dir`, `input` on its standard input. The
// hook runs in the child just before the program starts (limits, signals).
run_result run_in(const temp_dir& dir, const std::string& program, const std::vector<std::string>& args,
                  const std::string& input, const std::function<void()>& hook = {}, int seconds = 60);

// A program run with pipes on its standard input and output, so that a test
// can act between its lines: change its files, or signal it.
struct running {
    int pid = -1;
    int to = -1, from = -1;
    std::string seen; // what it printed so far
    running(const temp_dir& dir, const std::string& program, const std::vector<std::string>& args,
            const std::function<void()>& hook = {});
    ~running();
    running(const running&) = delete;
    running& operator=(const running&) = delete;
    // Reads what it prints until `text` is in it; false after `seconds`, or
    // when it ends first (an empty text: reads to the end).
    bool wait_for(const std::string& text, int seconds = 30);
    void send(const std::string& text);
    void signal(int number);
    // Ends its input, reads the rest and waits for it to end.
    run_result finish(int seconds = 60);
};

// The same in a fresh folder holding `files`.
run_result run_with(const std::map<std::string, std::string>& files, const std::string& program,
                    const std::vector<std::string>& args, const std::string& input);

// A tmpfs of `bytes` at `where`, for a real full disk; mounted only where
// the tests may mount (as root).
struct small_file_system {
    fs::path where;
    bool mounted = false;
    small_file_system(const fs::path& at, size_t bytes);
    ~small_file_system();
    small_file_system(const small_file_system&) = delete;
    small_file_system& operator=(const small_file_system&) = delete;
};

// A terminal kept by tmux, 80 by 24, in a UTF-8 locale, that runs a program
// in `dir` as a person would, and shows its screen as that person sees it. Every wait is
// for what the screen shows, with a deadline no loaded machine reaches.
struct tmux_terminal {
    const temp_dir& dir;
    std::string screen; // the last screen read, without its blank last lines

    explicit tmux_terminal(const temp_dir& d) : dir(d) {}
    ~tmux_terminal();
    tmux_terminal(const tmux_terminal&) = delete;
    tmux_terminal& operator=(const tmux_terminal&) = delete;

    // Runs a tmux command (shell words) on our own server; what it printed.
    std::string tmux(const std::string& words) const;
    // Starts `program` with `args` (plain words); the terminal stays when it
    // ends, for its exit status.
    void start(const std::string& program, const std::string& args = "") const;
    void type(const std::string& text) const;
    void press(const std::string& key) const;
    // Waits until the screen's last lines are `lines`.
    bool shows(const std::string& lines);
    // Waits for the program to end; its exit status, -1 for none.
    int status() const;
};
bool have_tmux();

// A loop image of `bytes` made by `mkfs` (its command, the image's name
// last) in `image` and mounted at `where`, for a file system that this
// machine's own folders do not have; only where the tests may mount (as
// root, with the program installed). Unmounted, its loop device freed, when
// it goes, whatever the test did.
struct loop_file_system {
    fs::path where;
    bool mounted = false;
    std::string why_not; // why it is not mounted
    loop_file_system(const fs::path& image, const fs::path& at, std::vector<std::string> mkfs, size_t bytes);
    // An image made before, mounted with `options` (a copy of a mounted one needs nouuid on XFS).
    loop_file_system(const fs::path& image, const fs::path& at, const std::string& options);
    ~loop_file_system();
    loop_file_system(const loop_file_system&) = delete;
    loop_file_system& operator=(const loop_file_system&) = delete;
};

// A hook: writes to files stop at `bytes`, and fail instead of killing the program.
std::function<void()> file_size_limit(long bytes);

// The programs under test: this build's, or another's (another system's
// build among them) named by VOXA_TEST_PROGRAMS, run through the words of
// VOXA_TEST_PREFIX: wine for the Windows build, whose CRLF line ends are
// folded to LF in what the tests read (prefixed), or qemu-user for a Linux
// build for another processor (emulated).
bool another_build();
bool prefixed();
// Linux programs run by an emulator, which stands between them and the
// system: a tracer sees the emulator's calls, not the program's, a limit of
// the address space meets the emulator's own reservations.
bool emulated();
// The words that run `program`: the prefix first when it is one that a
// build makes (or a copy of one), then the program and its arguments.
std::vector<std::string> command(const std::string& program, const std::vector<std::string>& args);
// Runs the words in this process (a child's), a program found on the PATH
// when it has no folder.
[[noreturn]] void exec_words(std::vector<std::string> words);
// The system the programs under test were built for (linux, posix,
// windows), and whether they can do this (holes, sharing, attributes, bits).
std::string build_platform();
bool build_has(const std::string& feature);
#define NEEDS_FEATURE(feature, what)                                                                                   \
    if (!build_has(feature))                                                                                           \
    GTEST_SKIP() << "the build under test has no " what
// What the programs printed, the system's reasons in parentheses made
// "(...)" when another system's build gives them in its own words.
std::string any_reason(std::string text);
// CRLF line ends folded, for a build whose output is in text mode.
std::string folded(std::string text);

// Skips a test that runs this build's code in-process, one that needs what
// only a Linux program has (a tracer, a terminal, other users), or one that
// needs a program that meets the system itself, not through an emulator.
#define IN_PROCESS_ONLY()                                                                                              \
    if (another_build())                                                                                               \
    GTEST_SKIP() << "runs this build's code in-process, not the build under test"
#define LINUX_PROGRAMS_ONLY(what)                                                                                      \
    if (prefixed())                                                                                                    \
    GTEST_SKIP() << "needs " what ", which only a Linux program has"
#define NOT_EMULATED(why)                                                                                              \
    if (emulated())                                                                                                    \
    GTEST_SKIP() << (why)
// Why the tests that trace the programs under test skip under an emulator.
inline const std::string emulated_tracer =
    "under an emulator, strace would see the emulator's system calls, not the program's";

// A hook for a program run under strace: a sanitizer build finds no leaks
// while traced.
void traced();

// The system calls in an strace log after its first line that begins with
// `after` and before the program closes its output or a coverage build
// writes its counters, each with its ordinal among the calls of that name
// since the start; not the memory map's, which a sanitizer's runtime makes
// for itself, nor the process's end.
std::vector<std::pair<std::string, int>> calls_after(const std::string& trace, const std::string& after);

const std::string& voxa_program();
const std::string& voxa_expert_program(); // writes without asking
const std::string& package_program();

struct editor_state;

// Interprets one command line in-process; returns what it printed, and its
// result code through `code` when given.
std::string interpret_line(editor_state& st, std::string_view line, int* code = nullptr);

// What the editor prints when it has loaded a file.
std::string banner(const std::string& name, long loaded);
// The write's question and its answer declined; what a write that lands
// prints after the question.
inline const std::string question = "About to WRITE/UPDATE data in the file...  Continue Y/[N]?\n";
inline const std::string declined = "Update declined by user...\n";
std::string backing_up(const std::string& backup);
std::string written(const std::string& file, const std::string& backup);

// The bytes of a text, for files written with embedded NUL bytes.
inline std::string bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}
