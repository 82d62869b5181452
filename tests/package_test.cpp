// The copy tool run end to end: the copy, its messages, its refusals and
// what it does when the system fails it.
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "run.hpp"

using namespace std::string_literals;

namespace {

const std::string creating = "\nPlease wait... creating voxa.exe";

// Copies `input` as in.bin to out.bin in a fresh folder.
run_result package_copy(const std::string& input)
{
    return run_with({{"in.bin", input}}, package_program(), {"make", "in.bin", "out.bin"}, "");
}

} // namespace

TEST(Package, CopiesWithTheFirstByteMarked)
{
    auto normal = package_copy("ZYXW\0\xff tail"s);
    EXPECT_EQ(normal.out, creating);
    EXPECT_EQ(normal.status, 0);
    EXPECT_EQ(normal.files.at("out.bin"), "MYXW\0\xff tail"s);
    EXPECT_EQ(normal.files.at("in.bin"), "ZYXW\0\xff tail"s);

    auto empty = package_copy("");
    EXPECT_EQ(empty.out, creating);
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.files.at("out.bin"), "");

    auto one = package_copy("\x01");
    EXPECT_EQ(one.files.at("out.bin"), "M");

    auto already = package_copy("MZ\x90");
    EXPECT_EQ(already.files.at("out.bin"), "MZ\x90");
    EXPECT_EQ(already.status, 0);
}

TEST(Package, LargeFilesAreCopiedWhole)
{
    // Longer than any buffer the copy may use: only the very first byte changes.
    std::string data(5000000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    auto r = package_copy(data);
    EXPECT_EQ(r.status, 0);
    std::string expected = data;
    expected[0] = 'M';
    ASSERT_EQ(r.files.at("out.bin").size(), expected.size());
    EXPECT_TRUE(r.files.at("out.bin") == expected);
}

TEST(Package, ArgumentsAndNames)
{
    auto two = run_with({{"in.bin", "abc"}}, package_program(), {"make", "in.bin"}, "");
    EXPECT_EQ(two.out, "Usage: package action filein fileout ");
    EXPECT_EQ(two.status, 1);
    EXPECT_EQ(two.files.size(), 1u);

    auto none = run_with({}, package_program(), {}, "");
    EXPECT_EQ(none.out, "Usage: package action filein fileout ");
    EXPECT_EQ(none.status, 1);

    auto extra = run_with({{"in.bin", "abc"}}, package_program(), {"x", "in.bin", "out.bin", "more", "words"}, "");
    EXPECT_EQ(extra.out, creating);
    EXPECT_EQ(extra.status, 0);
    EXPECT_EQ(extra.files.at("out.bin"), "Mbc");
    EXPECT_EQ(extra.files.size(), 2u);

    // An existing output is replaced, not merged into.
    auto replaced = run_with({{"in.bin", "abc"}, {"out.bin", "a much longer old file"}}, package_program(),
                             {"x", "in.bin", "out.bin"}, "");
    EXPECT_EQ(replaced.files.at("out.bin"), "Mbc");

    // Paths of 300 characters, far past any short fixed buffer.
    temp_dir dir;
    std::string folder(150, 'f');
    fs::create_directory(dir.path / folder);
    std::string in_name = folder + "/" + std::string(149, 'i');
    std::string out_name = folder + "/" + std::string(149, 'o');
    ASSERT_EQ(in_name.size(), 300u);
    dir.write(in_name, "long");
    auto r = run_in(dir, package_program(), {"x", in_name, out_name}, "");
    EXPECT_EQ(r.out, creating);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dir.read(out_name), "Mong");
}

TEST(Package, FilesThatCannotBeOpened)
{
    auto missing = run_with({}, package_program(), {"x", "missing.bin", "out.bin"}, "");
    EXPECT_EQ(missing.out, "Could not open file missing.bin");
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(missing.files.empty());

    auto no_folder = run_with({{"in.bin", "abc"}}, package_program(), {"x", "in.bin", "nowhere/out.bin"}, "");
    EXPECT_EQ(no_folder.out, "Can't open file nowhere/out.bin.");
    EXPECT_EQ(no_folder.status, 1);
    EXPECT_EQ(no_folder.files.size(), 1u);

    temp_dir dir;
    fs::create_directory(dir.path / "folder");
    auto folder = run_in(dir, package_program(), {"x", "folder", "out.bin"}, "");
    EXPECT_EQ(folder.out, "Could not open file folder");
    EXPECT_EQ(folder.status, 1);
    EXPECT_FALSE(dir.exists("out.bin"));
}

TEST(Package, NeverCopiesAFileOntoItself)
{
    temp_dir dir;
    dir.write("in.bin", "abcdef");
    fs::create_hard_link(dir.path / "in.bin", dir.path / "link.bin");
    for (const std::string& out : {"in.bin"s, "./in.bin"s, "link.bin"s, (dir.path / "in.bin").string()}) {
        auto r = run_in(dir, package_program(), {"x", "in.bin", out}, "");
        EXPECT_EQ(r.out, "Can't copy in.bin onto itself.") << out;
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_EQ(dir.read("in.bin"), "abcdef") << out;
    }
    auto other_way = run_in(dir, package_program(), {"x", "./link.bin", "in.bin"}, "");
    EXPECT_EQ(other_way.out, "Can't copy ./link.bin onto itself.");
    EXPECT_EQ(dir.read("in.bin"), "abcdef");
}

TEST(Package, DevicesAndKernelFiles)
{
    auto from_null = run_with({}, package_program(), {"x", "/dev/null", "out.bin"}, "");
    EXPECT_EQ(from_null.out, creating);
    EXPECT_EQ(from_null.status, 0);
    EXPECT_EQ(from_null.files.at("out.bin"), "");

    // Only a plain file is replaced: never a device or a pipe, which a
    // rename would put aside and a write would wait on.
    auto to_null = run_with({{"in.bin", "abc"}}, package_program(), {"x", "in.bin", "/dev/null"}, "");
    EXPECT_EQ(to_null.out, "Can't write file /dev/null (not a regular file).");
    EXPECT_EQ(to_null.status, 1);

    // A named pipe has no length to copy; the tool must not wait for a writer.
    temp_dir dir;
    ASSERT_EQ(mkfifo((dir.path / "pipe").c_str(), 0600), 0);
    auto from_pipe = run_in(dir, package_program(), {"x", "pipe", "out.bin"}, "", {}, 10);
    EXPECT_EQ(from_pipe.out, "Could not open file pipe");
    EXPECT_EQ(from_pipe.status, 1);
    EXPECT_FALSE(dir.exists("out.bin"));

    // A kernel file that claims more bytes than it delivers: the copy stops
    // at what was read, never filling in bytes of its own.
    const std::string claims = "/sys/kernel/mm/transparent_hugepage/enabled";
    std::error_code error;
    auto claimed = fs::file_size(claims, error);
    if (error || claimed == 0)
        return;
    auto r = run_with({}, package_program(), {"x", claims, "out.bin"}, "");
    if (r.files.count("out.bin") && r.files.at("out.bin").size() == claimed)
        return; // the file delivered all it claimed
    EXPECT_EQ(r.out, creating + "Could not read file " + claims);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.files.count("out.bin"), 0u);
}

TEST(Package, AFailedCopyIsReportedAndLeavesThePreviousOutputWhole)
{
    // The copy lands by a rename: whatever stops it, the previous output is
    // as it was and no partial copy is left beside it.
    temp_dir dir;
    small_file_system full(dir.path / "full", 64 * 1024);
    if (!full.mounted)
        GTEST_SKIP() << "no tmpfs can be mounted here";
    const std::string input(100000, 'x'), previous = "the previous output";
    dir.write("in.bin", input);
    auto limit_only = [] { // as ulimit -f sets it: going past it would kill the program
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
    };
    struct row {
        const char* what;
        std::string output;
        std::function<void()> hook;
        std::string said;
    };
    ASSERT_EQ(mkfifo((dir.path / "pipe").c_str(), 0600), 0);
    for (const auto& [what, output, hook, said] : std::vector<row>{
             {"a file size limit", "out.bin", limit_only, creating + "Can't write file out.bin (File too large)."},
             {"a full disk", "full/out.bin", {}, creating + "Can't write file full/out.bin (No space left on device)."},
             {"a named pipe", "pipe", {}, "Can't write file pipe (not a regular file)."},
         }) {
        SCOPED_TRACE(what);
        if (prefixed() && output != "full/out.bin")
            continue; // a file size limit and a named pipe are a Linux program's
        if (output != "pipe")
            dir.write(output, previous);
        auto r = run_in(dir, package_program(), {"x", "in.bin", output}, "", hook, 10);
        EXPECT_EQ(any_reason(r.out), any_reason(said));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.signal, 0);
        if (output != "pipe") {
            EXPECT_EQ(dir.read(output), previous);
        }
        for (const auto& entry : fs::recursive_directory_iterator(dir.path)) // no copy left beside it
            EXPECT_NE(entry.path().filename().string().rfind(".voxa-", 0), 0u) << entry.path();
    }
    EXPECT_EQ(dir.read("in.bin"), input);
}

TEST(Package, EveryFailingSystemCallIsReportedAndLosesNoOutput)
{
    // Each call the copy makes, after the program's start, fails once (EIO)
    // in a run of its own: the output is the previous one or the whole
    // copy, nothing is left beside it, and a copy that did not reach the
    // disk, or its name there, is never reported as made.
    LINUX_PROGRAMS_ONLY("strace");
    NOT_EMULATED(emulated_tracer);
    const std::string strace = "/usr/bin/strace";
    if (access(strace.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no strace here";
    std::string input(100000, 'x'), copy = input;
    copy[0] = 'M';
    const std::string previous = "the previous output";
    auto fresh = [&](const temp_dir& dir) {
        dir.write("in.bin", input);
        dir.write("out.bin", previous);
    };
    temp_dir first;
    fresh(first);
    std::string trace = (first.path / "trace").string();
    ASSERT_EQ(run_in(first, strace, {"-o", trace, "--", package_program(), "x", "in.bin", "out.bin"}, "", traced).status, 0);
    auto calls = calls_after(trace, "rt_sigaction(SIGXFSZ");
    ASSERT_GT(calls.size(), 20u);
    for (const auto& [call, ordinal] : calls) {
        SCOPED_TRACE(call + " #" + std::to_string(ordinal));
        temp_dir dir;
        fresh(dir);
        auto r = run_in(dir, strace,
                        {"-o", "/dev/null", "-e", "inject=" + call + ":error=EIO:when=" + std::to_string(ordinal), "--",
                         package_program(), "x", "in.bin", "out.bin"},
                        "", traced);
        std::string out = dir.read("out.bin");
        EXPECT_EQ(r.signal, 0);
        EXPECT_TRUE(out == previous || out == copy);
        if (r.status == 0) {
            EXPECT_EQ(out, copy);
            EXPECT_EQ(r.out, creating);
        } else {
            EXPECT_EQ(r.status, 1);
        }
        if (call == "pwrite64" || call == "copy_file_range" || call == "fsync" || call == "renameat" || out == previous) {
            EXPECT_EQ(r.status, 1) << r.out;
        }
        EXPECT_EQ(dir.read("in.bin"), input);
        for (const auto& entry : fs::directory_iterator(dir.path))
            EXPECT_NE(entry.path().filename().string().rfind(".voxa-", 0), 0u) << entry.path();
    }
}
