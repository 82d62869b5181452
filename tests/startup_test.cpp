// Start-up, the prompt loop and the dump, run end to end.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "run.hpp"

namespace {

const std::string abc_line = "0000:0000 41 42 43 ff 00 00 00 00 - 00 00 00 00 00 00 00 00   ABC\xff............\n";

} // namespace

TEST(StartUp, LoadsAndShowsTheEndSlotAfterTheData)
{
    auto r = run_with({{"a.bin", "ABC"}}, voxa_program(), {"a.bin"}, "d\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 3) + "-" + abc_line + "-");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.files.at("a.bin"), "ABC");
    EXPECT_EQ(r.files.size(), 1u);
}

TEST(StartUp, EmptyFileLoadsZeroBytesAndShowsOneLine)
{
    auto r = run_with({{"e", ""}}, voxa_program(), {"e"}, "d\nq\n");
    EXPECT_EQ(r.out, banner("e", 0) + "-0000:0000 ff 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   \xff...............\n-");
}

TEST(StartUp, AsksForTheNameWithoutArguments)
{
    auto r = run_with({{"a.bin", "ABC"}}, voxa_program(), {}, "a.bin\nq\n");
    EXPECT_EQ(r.out, "\nEnter Filename to VOXA....\n" + banner("a.bin", 3) + "-");
    EXPECT_EQ(r.status, 0);

    // A script with CRLF line ends: the CR before each LF, and one that ends
    // the input, belong to the line end; a CR anywhere else is the line's.
    temp_dir dir;
    fs::create_directory(dir.path / "sub");
    dir.write("donn\xc3\xa9" "es.bin", "ABC");
    dir.write("sub/f.bin", "XY");
    auto crlf = run_in(dir, voxa_program(), {}, "donn\xc3\xa9" "es.bin\r\ni 3 sub/f.bin\r\nv\r\r\nh\r\nw\r\ny\r\nq\r");
    EXPECT_EQ(crlf.out, "\nEnter Filename to VOXA....\n" + banner("donn\xc3\xa9" "es.bin", 3) +
                            "-fileName=sub/f.bin, filesize=2, data_count=3, offset=3\n"
                            "data_count = 5\n"
                            "Please Wait... Loading sub/f.bin into memory at 3 \n"
                            " 2 Bytes Loaded into memory. \n"
                            "-Version 2.10 (C)\n-1: v\r\n-" + question +
                            written("donn\xc3\xa9" "es.bin", "donn\xc3\xa9" "es.7in") + "-");
    EXPECT_EQ(crlf.status, 0);
    EXPECT_EQ(dir.read("donn\xc3\xa9" "es.bin"), "ABCXY");
}

TEST(StartUp, AFileThatCannotBeOpenedEndsWithStatusOne)
{
    auto missing = run_with({}, voxa_program(), {"nothing.bin"}, "q\n");
    EXPECT_EQ(missing.out, "Can't Open file nothing.bin.\n");
    EXPECT_EQ(missing.status, 1);

    auto no_answer = run_with({}, voxa_program(), {}, "");
    EXPECT_EQ(no_answer.out, "\nEnter Filename to VOXA....\nCan't Open file .\n");
    EXPECT_EQ(no_answer.status, 1);

    temp_dir dir;
    fs::create_directory(dir.path / "folder");
    auto folder = run_in(dir, voxa_program(), {"folder"}, "q\n");
    EXPECT_EQ(folder.out, "Can't Open file folder.\n");
    EXPECT_EQ(folder.status, 1);
}

TEST(StartUp, AReadErrorEndsWithStatusOneInsteadOfEditingPartOfTheFile)
{
    // The kernel refuses to read a process's memory from offset 0.
    if (!fs::exists("/proc/self/mem"))
        GTEST_SKIP() << "no /proc/self/mem here";
    auto r = run_with({}, voxa_program(), {"/proc/self/mem"}, "d\nq\n");
    EXPECT_EQ(r.out, "Please Wait... Loading /proc/self/mem into memory \n"
                     "ERROR: read error in file /proc/self/mem, nothing loaded...\n");
    EXPECT_EQ(r.status, 1);
}

TEST(StartUp, StartbyteLabelsTheFirstLineAndSkipsBytes)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}};
    auto one = run_with(files, voxa_program(), {"a.bin", "1"}, "d\nq\n");
    EXPECT_NE(one.out.find("-0000:0001 41 42 43 ff"), std::string::npos) << one.out;
    auto two = run_with(files, voxa_program(), {"a.bin", "2"}, "d\nq\n");
    EXPECT_EQ(two.out, banner("a.bin", 2) +
                           "-0000:0002 42 43 ff 00 00 00 00 00 - 00 00 00 00 00 00 00 00   BC\xff.............\n-");
    auto negative = run_with(files, voxa_program(), {"a.bin", "-5"}, "d\nq\n");
    EXPECT_NE(negative.out.find("-0000:fffffffb 41 42 43 ff"), std::string::npos) << negative.out;
    auto three_args = run_with(files, voxa_program(), {"a.bin", "10", "x"}, "d\nq\n");
    EXPECT_EQ(three_args.out, banner("a.bin", 3) + "-" + abc_line + "-");
}

TEST(StartUp, StartbytePastTheEnd)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}};
    auto just_past = run_with(files, voxa_program(), {"a.bin", "4"}, "q\n");
    EXPECT_EQ(just_past.out, banner("a.bin", 0) + "-");
    auto far_past = run_with(files, voxa_program(), {"a.bin", "9"}, "d\nq\n");
    EXPECT_EQ(far_past.out, banner("a.bin", -1) +
                                "-0000:0009 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n-");
}

TEST(StartUp, TheBufferLimit)
{
    std::string exact(5000000, 'x');
    auto fits = run_with({{"f", exact}}, voxa_program(), {"f"}, "f\nq\n");
    EXPECT_EQ(fits.out.substr(0, banner("f", 5000000).size()), banner("f", 5000000));
    EXPECT_NE(fits.out.find("0000:4c4b35 78 78 78 78 78 78 78 78 - 78 78 78 ff            "), std::string::npos);

    std::string longer(6000000, 'x');
    longer[5000000] = 'L';
    const std::string limit = "Read 0 to 5000000 bytes, use 'startbyte' option to chg starting byte. \n";
    auto cut = run_with({{"f", longer}}, voxa_program(), {"f"}, "f\nq\n");
    EXPECT_EQ(cut.out.substr(0, 200).find("Please Wait... Loading f into memory \n" + limit +
                                          " 5000000 Bytes Loaded into memory. \n"),
              0u)
        << cut.out.substr(0, 300);
    EXPECT_NE(cut.out.find("- 78 78 78 4c               xxxxxxxxxxxL    \n"), std::string::npos); // the last byte read sits in the end slot, the buffer ends after it

    auto later = run_with({{"f", longer}}, voxa_program(), {"f", "2"}, "q\n");
    EXPECT_NE(later.out.find("Read 2 to 5000001 bytes"), std::string::npos);
}

TEST(StartUp, LoadsThatCouldRunForEverEnd)
{
    // A file without an end, from past the 2^31st byte: the start-up load
    // and an overlay stop at the buffer's last slot, the count of reads
    // going on past 32 bits.
    auto zeros = run_with({}, voxa_program(), {"/dev/zero", "2147483647"}, "o 0 /dev/zero 0\nq\n");
    EXPECT_EQ(zeros.signal, 0);
    EXPECT_EQ(zeros.out, "Please Wait... Loading /dev/zero into memory \n"
                         "Read 2147483647 to 2152483646 bytes, use 'startbyte' option to chg starting byte. \n"
                         " 5000000 Bytes Loaded into memory. \n Note! Use '?' for command HELP. \n"
                         "-Please Wait... Loading /dev/zero into memory at 0 \n"
                         "Read 2147483647 to 2152483647 bytes, use 'startbyte' option to chg starting byte. \n"
                         " 5000001 Bytes Loaded into memory. \n-");
}

TEST(StartUp, ASeekLoadsWhatReadingEveryByteWouldLoad)
{
    // The same bytes from a regular file (passed with a seek) and from a
    // named pipe (read byte after byte) give the same session.
    std::string bytes;
    for (int j = 0; j < 3000; ++j)
        bytes += static_cast<char>(j * 7);
    temp_dir dir;
    dir.write("f", bytes);
    ASSERT_EQ(mkfifo((dir.path / "p").c_str(), 0600), 0);
    const std::string script = "d 0\nf\no 0 f 0\nd\nq\n";
    for (const char* startbyte : {"1000", "3000", "3001", "3002"}) {
        auto file = run_in(dir, voxa_program(), {"f", startbyte}, script);
        auto pipe = run_in(dir, voxa_program(), {"p", startbyte}, script, [&] {
            if (fork() == 0) {
                int fd = open("p", O_WRONLY);
                _exit(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) ? 0 : 1);
            }
        });
        std::string expected = file.out;
        expected.replace(expected.find("Loading f into"), 14, "Loading p into");
        EXPECT_EQ(pipe.out, expected) << startbyte;
    }
}

TEST(CommandLine, HelpAndVersionOnlyAsTheSoleArgument)
{
    for (const auto& [program, name] : {std::pair{voxa_program(), std::string("voxa")}, {package_program(), "package"}}) {
        auto help = run_with({}, program, {"--help"}, "");
        EXPECT_EQ(help.out.rfind("Usage: " + name + " ", 0), 0u) << help.out;
        // The manual as the build ships it: a man page, or a text beside the
        // Windows programs in their ZIP.
        std::string manual = build_platform() == "windows" ? name + ".txt" : "man " + name;
        EXPECT_TRUE(help.out.ends_with(" Manual: " + manual + "\n")) << help.out;
        EXPECT_EQ(help.status, 0);
        auto version = run_with({}, program, {"--version"}, "");
        EXPECT_EQ(version.out, name + " 2.10\n");
        EXPECT_EQ(version.status, 0);
    }
    // Anywhere else it is a file name.
    auto named = run_with({{"--help", "ABC"}}, voxa_program(), {"./--help"}, "q\n");
    EXPECT_EQ(named.out, banner("./--help", 3) + "-");
    auto two = run_with({}, voxa_program(), {"--help", "1"}, "q\n");
    EXPECT_EQ(two.out, "Can't Open file --help.\n");
    EXPECT_EQ(two.status, 1);
}

// An argument that begins with '-' and names no file was likely meant as
// an option: a hint follows on standard error, and standard output stays.
TEST(CommandLine, AnOptionThatNamesNoFileGetsAHint)
{
    temp_dir err;
    const std::string err_file = (err.path / "err").string();
    auto to_err = [&] {
        int fd = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        close(fd);
    };
    const std::string usage = "Usage: package action filein fileout ";
    const std::string package_hint = "\nTry 'package --help'.\n";
    const struct {
        std::string program;
        std::vector<std::string> args;
        std::string out, hint;
    } rows[] = {
        {voxa_program(), {"--bogus"}, "Can't Open file --bogus.\n", "Try 'voxa --help'.\n"},
        {voxa_program(), {"missing"}, "Can't Open file missing.\n", ""},
        {voxa_program(), {"-x"}, banner("-x", 3) + "-", ""},
        {package_program(), {"--bogus"}, usage, package_hint},
        {package_program(), {"make", "in"}, usage, ""},
        {package_program(), {"make", "--bogus", "out"}, "Could not open file --bogus", package_hint},
        {package_program(), {"make", "-x", "out"}, "\nPlease wait... creating voxa.exe", ""},
    };
    for (const auto& row : rows) {
        temp_dir dir;
        dir.write("-x", "ABC");
        auto r = run_in(dir, row.program, row.args, "q\n", to_err);
        EXPECT_EQ(r.out, row.out) << row.args[0];
        EXPECT_EQ(folded(err.read("err")), row.hint) << row.args[0];
    }
}

TEST(Prompt, EndOfInputEndsTheProgram)
{
    auto r = run_with({{"a.bin", "ABC"}}, voxa_program(), {"a.bin"}, "d");
    EXPECT_EQ(r.out, banner("a.bin", 3) + "-" + abc_line + "-");
    EXPECT_EQ(r.status, 0);
}

TEST(Prompt, ALineTooLongIsRefusedWhole)
{
    std::string long_line = "e 0 " + std::string(196, '4');
    auto r = run_with({{"a.bin", "ABC"}}, voxa_program(), {"a.bin"}, long_line + "\nh\nd 0\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 3) + "-command error, use ? for help...\n--" + abc_line + "-");
    std::string fits = "d 0" + std::string(196, ' ');
    auto ok = run_with({{"a.bin", "ABC"}}, voxa_program(), {"a.bin"}, fits + "\nq\n");
    EXPECT_EQ(ok.out, banner("a.bin", 3) + "-" + abc_line + "-");
}

TEST(Prompt, ALineWithoutEndTakesNoMoreMemory)
{
    // 150 MB without a line end: a line is kept to 200 characters and the
    // rest dropped as it is read, so the editor runs in 64 MB of address
    // space. (A sanitizer build reserves far more, so it runs unlimited.)
    LINUX_PROGRAMS_ONLY("a limit of its address space");
    NOT_EMULATED("under an emulator, a limit of the address space meets the emulator's own reservations");
    auto address_space = [] {
#ifndef __SANITIZE_ADDRESS__
        rlimit limit{64 << 20, 64 << 20};
        setrlimit(RLIMIT_AS, &limit);
#endif
    };
    temp_dir dir;
    dir.write("a.bin", "ABC");
    auto r = run_in(dir, voxa_program(), {"a.bin"}, std::string(150000000, 'd'), address_space);
    EXPECT_EQ(r.out, banner("a.bin", 3) + "-command error, use ? for help...\n-");
    EXPECT_EQ(r.status, 0);
}

TEST(StartUp, LongFileNamesAreHeldWhole)
{
    std::string name(240, 'n');
    auto r = run_with({{name, "ABC"}}, voxa_program(), {name}, "q\n");
    EXPECT_EQ(r.out, banner(name, 3) + "-");
}

namespace {

// The editor driven a key at a time on a pseudo-terminal, as a person would:
// each waits for what the editor shows before it types.
struct live_editor {
    int to = -1; // what is typed goes here, and what is shown comes from here
    pid_t pid = -1;
    std::string seen;

    explicit live_editor(const std::string& file)
    {
        std::string program = voxa_program();
        pid = forkpty(&to, nullptr, nullptr, nullptr);
        if (pid == 0) {
            setenv("TERM", "xterm", 1);
            exec_words(command(program, {file}));
        }
    }
    ~live_editor() { close(to); }

    // Waits until `wanted` has been shown since the last wait.
    bool wait_for(const std::string& wanted)
    {
        char chunk[256];
        pollfd p{to, POLLIN, 0};
        while (seen.find(wanted) == std::string::npos && poll(&p, 1, 10000) > 0) {
            ssize_t n = read(to, chunk, sizeof chunk);
            if (n <= 0)
                break;
            seen.append(chunk, static_cast<size_t>(n));
        }
        size_t at = seen.find(wanted);
        if (at == std::string::npos)
            return false;
        seen.erase(0, at + wanted.size());
        return true;
    }
    void send(const std::string& keys) { ASSERT_EQ(write(to, keys.data(), keys.size()), static_cast<ssize_t>(keys.size())); }
    int status()
    {
        int st = 0;
        waitpid(pid, &st, 0);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
};

// Three lines typed one at a time, each after what the editor showed
// before it, through pipes or at a terminal.
template <typename editor> void prompts_before_each_read(editor& e, const std::string& line_end, const std::string& column)
{
    EXPECT_TRUE(e.wait_for("HELP. " + line_end + "-")) << e.seen;
    e.send("d\n");
    EXPECT_TRUE(e.wait_for(column + line_end + "-")) << e.seen;
    e.send("v\n");
    EXPECT_TRUE(e.wait_for("Version 2.10 (C)" + line_end + "-")) << e.seen;
    e.send("q\n");
}

} // namespace

// The prompt shows before every read that waits, in a pipe driven line by
// line and at a terminal.
TEST(Prompt, ShowsBeforeEveryReadThatWaits)
{
    temp_dir dir;
    dir.write("a.bin", "ABC");
    running pipes(dir, voxa_program(), {"a.bin"});
    prompts_before_each_read(pipes, "\n", "ABC\xff............");
    EXPECT_EQ(pipes.finish().status, 0);
}

TEST(Terminal, ThePromptShowsBeforeEveryReadThatWaits)
{
    LINUX_PROGRAMS_ONLY("a Unix terminal");
    temp_dir dir;
    dir.write("a.bin", "ABC");
    live_editor terminal((dir.path / "a.bin").string());
    ASSERT_GT(terminal.pid, 0);
    prompts_before_each_read(terminal, "\r\n", "ABC.............");
    EXPECT_EQ(terminal.status(), 0);
}

// At a terminal the column shows printable ASCII only, so that no byte of
// the file reaches the terminal raw.
TEST(Terminal, TheColumnShowsPrintableCharactersOnly)
{
    temp_dir dir;
    std::string every;
    for (int b = 0; b < 256; ++b)
        every.push_back(static_cast<char>(b));
    dir.write("a.bin", every);
    LINUX_PROGRAMS_ONLY("a Unix terminal");
    live_editor t((dir.path / "a.bin").string());
    ASSERT_GT(t.pid, 0);
    ASSERT_TRUE(t.wait_for("HELP. \r\n-")) << t.seen;
    t.send("d 70\n");
    EXPECT_TRUE(t.wait_for("0000:0070 70 71 72 73 74 75 76 77 - 78 79 7a 7b 7c 7d 7e 7f   pqrstuvwxyz{|}~.\r\n"
                        "0000:0080 80 81 82 83 84 85 86 87 - 88 89 8a 8b 8c 8d 8e 8f   ................\r\n"
                        "0000:0090 90 91 92 93 94 95 96 97 - 98 99 9a 9b 9c 9d 9e 9f   ................\r\n"
                        "0000:00a0 a0 a1 a2 a3 a4 a5 a6 a7 - a8 a9 aa ab ac ad ae af   ................\r\n"))
        << t.seen;
    EXPECT_TRUE(t.wait_for("0000:00f0 f0 f1 f2 f3 f4 f5 f6 f7 - f8 f9 fa fb fc fd fe ff   ................\r\n"
                        "0000:0100 ff 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\r\n-"))
        << t.seen;
    t.send("q\n");
    EXPECT_EQ(t.status(), 0);
}


namespace {

const std::string leave_question = "Changes not written. Leave anyway? Y/[N]";

// A person at a terminal, a key or a line at a time, each waiting for what
// the screen shows: 't' types text, 'p' presses a key (tmux's name for it),
// 's' waits until the screen's last lines are the text.
struct terminal_scene {
    const char* what;
    bool line_editing; // needs the build with line editing
    bool traced;       // runs under strace, which slows its copies
    std::map<std::string, std::string> files;
    std::function<std::string()> program;
    std::string args;
    std::vector<std::pair<char, std::string>> keys;
    int status;
    std::function<void(const temp_dir&)> after;
};

const std::vector<terminal_scene> scenes = {
    // The up arrow recalls a line; Ctrl-C drops the line being typed, marks
    // it with ^C after its end and keeps the session and its edits; leaving
    // with an edit not written asks first, and Ctrl-D at the question leaves.
    {"recall, an interrupt and the end", true, false, {{"a.bin", "ABC"}}, voxa_program, "a.bin",
     {{'s', " Note! Use '?' for command HELP.\n-"},
      {'t', "s 0 10 5a"}, {'p', "Enter"},
      {'s', "-s 0 10 5a\nUse 'd [offset]' to display 'Found' values:  (ie: -d 7732 )\n-"},
      {'t', "e 0 5a"}, {'p', "Enter"}, {'s', "-e 0 5a\n-"},
      {'t', "e 1 5a"}, {'s', "-e 1 5a"}, {'p', "Left"}, {'p', "Left"},
      {'p', "C-c"}, {'s', "-e 1 5a^C\n-"}, // the edit of byte 1 never happens
      {'p', "Up"}, {'p', "Up"}, {'s', "-s 0 10 5a"}, {'p', "Enter"},
      {'s', "-s 0 10 5a\nFound at 0000\nUse 'd [offset]' to display 'Found' values:  (ie: -d 7732 )\n-"},
      {'t', "h"}, {'p', "Enter"}, {'s', "-h\n1: e 0 5a\n2: s 0 10 5a\n-"}, // the recall list is not the history
      {'p', "C-d"}, {'s', "-\n" + leave_question},
      {'t', "n"}, {'p', "Enter"}, {'s', leave_question + " n\n-"},
      {'t', "q"}, {'p', "Enter"}, {'s', "-q\n" + leave_question}, {'p', "C-d"}},
     0, [](const temp_dir& dir) { EXPECT_EQ(dir.read("a.bin"), "ABC"); }}, // nothing written without w
    // A write whose copies run longer than a second shows how far it is, on
    // one line that it blanks at the end. Each copy is slowed by strace.
    {"a long write's progress", true, true, {{"big.img", std::string(7000000, 'b')}},
     [] { return std::string("/usr/bin/env"); },
     // Bounded, so that a failure leaves no traced program behind; a
     // sanitizer build finds no leaks while traced.
     "ASAN_OPTIONS=detect_leaks=0 /usr/bin/timeout -s KILL 120 /usr/bin/strace -o /dev/null "
     "-e inject=copy_file_range:delay_exit=1500000 '" + voxa_program() + "' big.img 1000001",
     {{'s', " Note! Use '?' for command HELP.\n-"},
      // The part gets shorter: the bytes after it move, so both sides are copied.
      {'t', "l 0 1"}, {'p', "Enter"}, {'s', "data_count = 4999999\n-"},
      {'t', "w"}, {'p', "Enter"}, {'t', "y"}, {'p', "Enter"},
      // The bytes before the part are copied, those after it not yet.
      {'s', "Please Wait... Writing new file big.img.\n 50% copied"},
      {'s', "Please Wait... Writing new file big.img.\n-"},
      {'t', "q"}, {'p', "Enter"}},
     0,
     [](const temp_dir& dir) {
         EXPECT_EQ(fs::file_size(dir.path / "big.img"), 6999999u);
         EXPECT_EQ(fs::file_size(dir.path / "big.7mg"), 7000000u);
     }},
    // Tab completes the answer to the file-name question and the file of an i
    // line, and nothing elsewhere; after a write, q leaves without a question.
    {"file names complete, and a write leaves nothing unsaved", true, false,
     {{"alpha.bin", "ABC"}, {"beta.bin", "xy"}}, voxa_program, "",
     {{'s', "Enter Filename to VOXA...."},
      {'t', "al"}, {'p', "Tab"}, {'s', "alpha.bin"}, {'p', "Enter"},
      {'s', " Note! Use '?' for command HELP.\n-"},
      {'t', "e 0 be"}, {'p', "Tab"}, {'t', "!"}, {'s', "-e 0 be!"}, {'p', "C-u"},
      {'t', "i 0 be"}, {'p', "Tab"}, {'s', "-i 0 beta.bin"}, {'p', "Enter"},
      {'s', " 2 Bytes Loaded into memory.\n-"},
      {'t', "w"}, {'p', "Enter"}, {'s', "About to WRITE/UPDATE data in the file...  Continue Y/[N]?"},
      {'t', "y"}, {'p', "Enter"}, {'s', "Please Wait... Writing new file alpha.bin.\n-"},
      {'t', "q"}, {'p', "Enter"}},
     0, [](const temp_dir& dir) { EXPECT_EQ(dir.read("alpha.bin"), "xyABC"); }},
    // Whatever a person types reaches the line byte for byte: names in any
    // language at the name question and in o lines, completed with Tab.
    {"names in any language, completed", true, false,
     {{"donn\xc3\xa9" "es.bin", "ABC"}, {"\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb.bin", "XY"},
      {"\xe6\x97\xa5\xe6\x9c\xac\xf0\x9f\x99\x82.bin", "Z"}}, voxa_program, "",
     {{'s', "Enter Filename to VOXA...."},
      {'t', "donn"}, {'p', "Tab"}, {'s', "donn\xc3\xa9" "es.bin"}, {'p', "Enter"},
      {'s', " Note! Use '?' for command HELP.\n-"},
      {'t', "o 0 \xd1\x84\xd0\xb0"}, {'p', "Tab"}, {'s', "-o 0 \xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb.bin"},
      {'t', " 0"}, {'p', "Enter"}, {'s', " 2 Bytes Loaded into memory.\n-"},
      {'t', "o 2 \xe6\x97\xa5\xe6\x9c\xac\xf0\x9f\x99\x82.bin 0"}, {'p', "Enter"},
      {'s', " 1 Bytes Loaded into memory.\n-"},
      {'t', "w"}, {'p', "Enter"}, {'t', "y"}, {'p', "Enter"},
      {'s', "Please Wait... Writing new file donn\xc3\xa9" "es.bin.\n-"}, {'t', "q"}, {'p', "Enter"}},
     0, [](const temp_dir& dir) { EXPECT_EQ(dir.read("donn\xc3\xa9" "es.bin"), "XYZ"); }},
    // Such lines come back whole with the up arrow and with Ctrl-R.
    {"names in any language, recalled", true, false, {{"a.bin", "ABC"}, {"\xc3\xa9.bin", "Q"}}, voxa_program, "a.bin",
     {{'s', " Note! Use '?' for command HELP.\n-"},
      {'t', "o 1 \xc3\xa9.bin 0"}, {'p', "Enter"}, {'s', " 1 Bytes Loaded into memory.\n-"},
      {'t', "e 1 52"}, {'p', "Enter"}, {'s', "-e 1 52\n-"},
      {'p', "Up"}, {'p', "Up"}, {'s', "-o 1 \xc3\xa9.bin 0"}, {'p', "Enter"},
      {'s', "-o 1 \xc3\xa9.bin 0\nPlease Wait... Loading \xc3\xa9.bin into memory at 1\n 1 Bytes Loaded into memory.\n-"},
      {'t', "e 1 52"}, {'p', "Enter"}, {'s', "-e 1 52\n-"},
      {'p', "C-r"}, {'t', "\xc3\xa9"}, {'s', "-o 1 \xc3\xa9.bin 0\nbck:\xc3\xa9"}, {'p', "Enter"},
      {'s', "-o 1 \xc3\xa9.bin 0\nPlease Wait... Loading \xc3\xa9.bin into memory at 1\n 1 Bytes Loaded into memory.\n-"},
      {'t', "w"}, {'p', "Enter"}, {'t', "y"}, {'p', "Enter"},
      {'s', "Please Wait... Writing new file a.bin.\n-"}, {'t', "q"}, {'p', "Enter"}},
     0, [](const temp_dir& dir) { EXPECT_EQ(dir.read("a.bin"), "AQC"); }},
    // In the C locale, whose characters are ASCII alone, plain lines take
    // every byte the terminal sends.
    {"names in the C locale", true, false, {{"donn\xc3\xa9" "es.bin", "ABC"}, {"\xc3\xa9.bin", "Q"}},
     [] { return std::string("/usr/bin/env"); }, "LC_ALL=C '" + voxa_program() + "'",
     {{'s', "Enter Filename to VOXA...."},
      {'t', "donn\xc3\xa9" "es.bin"}, {'p', "Enter"}, {'s', " Note! Use '?' for command HELP.\n-"},
      {'t', "o 1 \xc3\xa9.bin 0"}, {'p', "Enter"}, {'s', " 1 Bytes Loaded into memory.\n-"},
      {'t', "w"}, {'p', "Enter"}, {'t', "y"}, {'p', "Enter"},
      {'s', "Please Wait... Writing new file donn\xc3\xa9" "es.bin.\n-"}, {'t', "q"}, {'p', "Enter"}},
     0, [](const temp_dir& dir) { EXPECT_EQ(dir.read("donn\xc3\xa9" "es.bin"), "AQC"); }},
    // The editor without line editing asks as well, and reads on after Ctrl-D.
    {"plain lines ask before leaving too", false, false, {{"a.bin", "ABC"}}, voxa_expert_program, "a.bin",
     {{'s', " Note! Use '?' for command HELP.\n-"},
      {'t', "l 0 1"}, {'p', "Enter"}, {'s', "data_count = 2\n-"},
      {'p', "C-d"}, {'s', "-\n" + leave_question},
      {'t', "n"}, {'p', "Enter"}, {'s', leave_question + " n\n-"},
      {'p', "C-d"}, {'s', "-\n" + leave_question}, {'p', "C-d"}},
     0, [](const temp_dir& dir) { EXPECT_EQ(dir.read("a.bin"), "ABC"); }},
};

} // namespace

TEST(Terminal, PeopleAtATerminal)
{
    if (!have_tmux() || prefixed())
        GTEST_SKIP() << "needs tmux and a Linux program";
    std::string skipped;
    for (const terminal_scene& scene : scenes) {
        SCOPED_TRACE(scene.what);
        if (scene.line_editing && !build_has("line-editing")) {
            skipped += std::string("\n  ") + scene.what + ": built without libedit";
            continue;
        }
        if (scene.traced && access("/usr/bin/strace", X_OK) != 0) {
            skipped += std::string("\n  ") + scene.what + ": needs strace";
            continue;
        }
        if (scene.traced && emulated()) {
            skipped += std::string("\n  ") + scene.what + ": " + emulated_tracer;
            continue;
        }
        temp_dir dir;
        for (const auto& [name, content] : scene.files)
            dir.write(name, content);
        tmux_terminal t(dir);
        t.start(scene.program(), scene.args);
        for (const auto& [kind, text] : scene.keys) {
            if (kind == 't')
                t.type(text);
            else if (kind == 'p')
                t.press(text);
            else
                ASSERT_TRUE(t.shows(text)) << t.screen;
        }
        EXPECT_EQ(t.status(), scene.status);
        scene.after(dir);
    }
    if (!skipped.empty())
        std::printf("not run here:%s\n", skipped.c_str());
}
