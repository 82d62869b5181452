// Start-up, the prompt loop and the dump, run end to end.
#include <gtest/gtest.h>

#include <cerrno>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
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

TEST(StartUp, LongFileNamesAreHeldWhole)
{
    std::string name(240, 'n');
    auto r = run_with({{name, "ABC"}}, voxa_program(), {name}, "q\n");
    EXPECT_EQ(r.out, banner(name, 3) + "-");
}

// A person at a terminal sees the prompt before typing anything.
TEST(Terminal, ThePromptShowsBeforeAnyInput)
{
    temp_dir dir;
    dir.write("a.bin", "ABC");
    std::string program = voxa_program();
    std::string file = (dir.path / "a.bin").string();
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execl(program.c_str(), program.c_str(), file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    auto read_until = [&](const std::string& wanted) {
        char chunk[256];
        pollfd p{master, POLLIN, 0};
        while (seen.find(wanted) == std::string::npos && poll(&p, 1, 10000) > 0) {
            ssize_t n = read(master, chunk, sizeof chunk);
            if (n <= 0)
                break;
            seen.append(chunk, static_cast<size_t>(n));
        }
        return seen.find(wanted) != std::string::npos;
    };
    EXPECT_TRUE(read_until("HELP. \r\n-")) << seen;
    ASSERT_EQ(write(master, "v\n", 2), 2);
    EXPECT_TRUE(read_until("Version 2.10 (C)\r\n-")) << seen;
    ASSERT_EQ(write(master, "q\n", 2), 2);
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
