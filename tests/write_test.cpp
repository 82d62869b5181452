// The write command end to end: the question, the backup copy, the rewrite
// of the file from the buffer, and what the user is told when any of it fails.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "run.hpp"

namespace {

// A dump line of the end slot (0xff) and the zero bytes after it.
std::string end_line(const std::string& label)
{
    return "0000:" + label + " ff 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   \xff...............\n";
}

const std::string zbc_line = "0000:0000 5a 42 43 ff 00 00 00 00 - 00 00 00 00 00 00 00 00   ZBC\xff............\n";

// `text` must be a single line starting "ERROR: ", once the question (which
// may come before the refusal) is taken out.
void expect_one_error_line(std::string text)
{
    if (auto at = text.find(question); at != std::string::npos)
        text.erase(at, question.size());
    EXPECT_EQ(text.rfind("ERROR: ", 0), 0u) << text;
    EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
}

} // namespace

TEST(Write, AnswersThatGoAhead)
{
    const std::string old = bytes({0x41, 0xff, 0x00, 0xff});
    for (std::string answer : {"y", "yes", "Y", "Yes please"}) {
        auto r = run_with({{"a.bin", old}}, voxa_program(), {"a.bin"}, "e 0 5a\nw\n" + answer + "\nq\n");
        EXPECT_EQ(r.out, banner("a.bin", 4) + "--" + question + written("a.bin", "a.7in") + "-") << answer;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.files.at("a.bin"), bytes({0x5a, 0xff, 0x00, 0xff})) << answer;
        EXPECT_EQ(r.files.at("a.7in"), old) << answer; // 0xff bytes are copied like any other
        EXPECT_EQ(r.files.size(), 2u);
    }
}

TEST(Write, AnswersThatDecline)
{
    for (std::string answer : {"n", "N", "", "no", " y", "-y"}) {
        auto r = run_with({{"a.bin", "ABC"}}, voxa_program(), {"a.bin"}, "e 0 5a\nw\n" + answer + "\nd 0\nq\n");
        EXPECT_EQ(r.out, banner("a.bin", 3) + "--" + question + declined + "-" + zbc_line + "-") << answer;
        EXPECT_EQ(r.files.at("a.bin"), "ABC");
        EXPECT_EQ(r.files.size(), 1u) << answer;
    }

    // The input ends at the question.
    auto at_end = run_with({{"a.bin", "ABC"}}, voxa_program(), {"a.bin"}, "e 0 5a\nw\n");
    EXPECT_EQ(at_end.out, banner("a.bin", 3) + "--" + question + declined + "-");
    EXPECT_EQ(at_end.status, 0);
    EXPECT_EQ(at_end.files, (std::map<std::string, std::string>{{"a.bin", "ABC"}}));

    // An earlier yes does not count again when the input ends at the second question.
    auto again = run_with({{"a.bin", "ABC"}}, voxa_program(), {"a.bin"}, "e 0 5a\nw\ny\ne 1 59\nw\n");
    EXPECT_EQ(again.out, banner("a.bin", 3) + "--" + question + written("a.bin", "a.7in") + "--" + question +
                             declined + "-");
    EXPECT_EQ(again.files.at("a.bin"), "ZBC");
    EXPECT_EQ(again.files.at("a.7in"), "ABC");
}

// A file at the backup's name is replaced without a word only when it is a
// backup that a write made of this very file, untouched since; anything
// else there only when the user says so (where backups carry records).
TEST(Write, WhatHoldsTheBackupsNameIsReplacedOnlyWhenItIsThisFilesBackupOrTheUserSaysSo)
{
    bool asks = build_has("records");
    auto not_a_backup = [asks](const std::string& backup, const std::string& file) {
        return asks ? backup + " is not a backup of " + file + ". \nReplace it anyway? Y/[N]\n" : "";
    };
    const std::string ask = not_a_backup("a.7in", "a.bin");
    // The answer to the second question, which a build that keeps no
    // records takes as a command line that does nothing.
    for (std::string answer : {"y\n", "n\n", ""}) {
        SCOPED_TRACE(answer);
        bool kept = asks && answer != "y\n";
        auto r = run_with({{"a.bin", "ABC"}, {"a.7in", "fw 1.7"}}, voxa_program(), {"a.bin"}, "e 0 5a\nw\ny\n" + answer);
        EXPECT_EQ(r.out, banner("a.bin", 3) + "--" + question + ask + (kept ? declined : written("a.bin", "a.7in")) +
                             "-" + (!asks && !answer.empty() ? "-" : ""));
        EXPECT_EQ(r.status, kept ? 1 : 0);
        EXPECT_EQ(r.files.at("a.bin"), kept ? "ABC" : "ZBC");
        EXPECT_EQ(r.files.at("a.7in"), kept ? "fw 1.7" : "ABC");
    }
    // The session's second write replaces the backup its first made.
    auto twice = run_with({{"a.bin", "ABC"}, {"a.7in", "fw 1.7"}}, voxa_program(), {"a.bin"},
                          asks ? "e 0 5a\nw\ny\ny\ne 1 59\nw\ny\n" : "e 0 5a\nw\ny\ne 1 59\nw\ny\n");
    EXPECT_EQ(twice.out, banner("a.bin", 3) + "--" + question + ask + written("a.bin", "a.7in") + "--" + question +
                             written("a.bin", "a.7in") + "-");
    EXPECT_EQ(twice.files.at("a.bin"), "ZYC");
    EXPECT_EQ(twice.files.at("a.7in"), "ZBC");

    // A later session replaces the backup an earlier one made; the backup
    // of data.gz is not one of data.xz, whose rule gives the same name.
    temp_dir dir;
    dir.write("data.gz", "gz");
    dir.write("data.xz", "xz");
    for (const char* file : {"data.gz", "data.gz", "data.xz"}) {
        SCOPED_TRACE(file);
        bool other = std::string(file) == "data.xz";
        auto r = run_in(dir, voxa_program(), {file}, other && asks ? "e 0 5a\nw\ny\ny\nq\n" : "e 0 5a\nw\ny\nq\n");
        EXPECT_EQ(r.out, banner(file, 2) + "--" + question + (other ? not_a_backup("data.7z", file) : "") +
                             written(file, "data.7z") + "-");
    }
    EXPECT_EQ(dir.read("data.7z"), "xz");

    // When the file also changed since it was loaded, that question comes first.
    temp_dir both;
    both.write("a.bin", "ABC");
    both.write("a.7in", "fw 1.7");
    running session(both, voxa_program(), {"a.bin"});
    ASSERT_TRUE(session.wait_for(banner("a.bin", 3) + "-"));
    both.write("a.bin", "ABCD");
    session.send("e 0 5a\nw\ny\ny\ny\nq\n");
    auto asked = session.finish();
    EXPECT_EQ(asked.out, banner("a.bin", 3) + "--" + question + "a.bin changed since it was loaded. \n" +
                             "Write over it anyway? Y/[N]\n" + ask + written("a.bin", "a.7in") + "-" +
                             (asks ? "" : "-"));
    EXPECT_EQ(both.read("a.bin"), "ZBC");
    EXPECT_EQ(both.read("a.7in"), "ABCD");
}

TEST(Write, TheExpertBuildAsksNothing)
{
    auto r = run_with({{"a.bin", "ABC"}}, voxa_expert_program(), {"a.bin"}, "e 0 5a\nw\nn\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 3) + "--" + written("a.bin", "a.7in") + "--");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.files.at("a.bin"), "ZBC");
    EXPECT_EQ(r.files.at("a.7in"), "ABC");
}

TEST(Write, BackupNames)
{
    struct named {
        std::string argument, backup;
    };
    // The name rule's rows are the unit test's; these two show the backup
    // really written at the name, for a bare name and for one with a folder.
    for (const auto& [argument, backup] : std::vector<named>{{"archive.tar.gz", "archive.7ar.gz"},
                                                             {"./x.bin", ".7x.bin"}}) {
        std::string file = fs::path(argument).filename().string();
        auto r = run_with({{file, "ABC"}}, voxa_program(), {argument}, "e 0 5a\nw\ny\nq\n");
        EXPECT_EQ(r.out, banner(argument, 3) + "--" + question + written(argument, backup) + "-");
        EXPECT_EQ(r.files.at(file), "ZBC") << argument;
        ASSERT_EQ(r.files.count(backup), 1u) << argument;
        EXPECT_EQ(r.files.at(backup), "ABC") << argument;
        EXPECT_EQ(r.files.size(), 2u) << argument;
    }
}

TEST(Write, EverythingDeletedLeavesAnEmptyFile)
{
    auto r = run_with({{"a.bin", "ABC"}}, voxa_program(), {"a.bin"}, "l 0 3\nw\ny\nd\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 3) + "-data_count = 0 \n-" + question + written("a.bin", "a.7in") + "-" +
                         end_line("0004") + "-");
    EXPECT_EQ(r.files.at("a.bin"), "");
    EXPECT_EQ(r.files.at("a.7in"), "ABC");
}

// The backup copies the file as it is on disk: the second write backs up
// the result of the first, and its reads advance the dump's label.
TEST(Write, TwoWritesInARow)
{
    auto r = run_with({{"a.bin", "ABCDE"}}, voxa_program(), {"a.bin"}, "l 0 2\nw\ny\ne 0 5a\nw\ny\nd\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 5) + "-data_count = 3 \n-" + question + written("a.bin", "a.7in") + "--" +
                         question + written("a.bin", "a.7in") + "-" + end_line("000a") + "-");
    EXPECT_EQ(r.files.at("a.bin"), "ZDE");
    EXPECT_EQ(r.files.at("a.7in"), "CDE");
}

TEST(Write, CountersAfterAWriteAndTheEndSlotNeverWritten)
{
    // e 5 41 puts a byte in the end slot; the write leaves it out. The dump
    // label goes on from 0x10 by the six reads of the backup copy; the next
    // dump starts at the end of the bytes written.
    auto r = run_with({{"a.bin", "ABCDE"}}, voxa_program(), {"a.bin"}, "d\ne 5 41\nw\ny\nd\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 5) +
                         "-0000:0000 41 42 43 44 45 ff 00 00 - 00 00 00 00 00 00 00 00   ABCDE\xff..........\n"
                         "--" +
                         question + written("a.bin", "a.7in") +
                         "-0000:0016 41 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   A...............\n-");
    EXPECT_EQ(r.files.at("a.bin"), "ABCDE");
    EXPECT_EQ(r.files.at("a.7in"), "ABCDE");
}

TEST(Write, AfterAFailedRewriteInPlaceAPartComesBackFromTheKeptBackup)
{
    // The same with a part loaded (just past the end, where an insert
    // appends): the bytes around the part come from the kept backup, sized
    // by it, not by the incomplete file.
    temp_dir dir;
    small_file_system fs(dir.path / "fs", 4800 * 1024);
    if (!fs.mounted)
        GTEST_SKIP() << "no tmpfs can be mounted here";
    std::string old(2000000, '\0'), more(1000000, '\0');
    for (size_t i = 0; i < old.size(); ++i)
        old[i] = static_cast<char>(i * 7 + i / 253);
    for (size_t i = 0; i < more.size(); ++i)
        more[i] = static_cast<char>(i * 13 + i / 251);
    dir.write("fs/f.bin", old);
    fs::create_hard_link(dir.path / "fs/f.bin", dir.path / "fs/f2.bin");
    dir.write("more.bin", more);
    auto r = run_in(dir, voxa_program(), {"fs/f.bin", "2000001"}, "i 0 more.bin\nw\ny\nl 0 500000\nw\ny\nq\n");
    EXPECT_NE(r.out.find("Backup fs/f.7in kept"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 0) << r.out; // the second write landed
    std::string expected = old + more.substr(500000);
    EXPECT_TRUE(dir.read("fs/f.bin") == expected);
    EXPECT_TRUE(dir.read("fs/f2.bin") == expected);
    EXPECT_TRUE(dir.read("fs/f.7in") == old);
}

// A file loaded in part gets its edited part back in its place: every byte
// before and after that part stays as it was.
TEST(WindowWrite, SmallFilesLoadedFromAStartbyte)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"f.bin", "XY"}};
    const std::string hint = "Use 'd [offset]' to display 'Found' values:  (ie: -d 7732 ) \n";
    auto replaced = run_with(files, voxa_program(), {"a.bin", "2"}, "r 0 2 42 n 5a\nw\ny\nq\n");
    EXPECT_EQ(replaced.out, banner("a.bin", 2) + "-Found at 0000\n" + hint + "-" + question +
                                written("a.bin", "a.7in") + "-");
    EXPECT_EQ(replaced.files.at("a.bin"), "AZC");
    EXPECT_EQ(replaced.files.at("a.7in"), "ABC");

    auto deleted = run_with(files, voxa_expert_program(), {"a.bin", "2"}, "l 0 1\nw\nq\n");
    EXPECT_EQ(deleted.out, banner("a.bin", 2) + "-data_count = 1 \n-" + written("a.bin", "a.7in") + "-");
    EXPECT_EQ(deleted.files.at("a.bin"), "AC");

    // Just past the end: an empty part at the end, which an insert appends to.
    auto appended = run_with(files, voxa_program(), {"a.bin", "4"}, "i 0 f.bin\nw\ny\nq\n");
    EXPECT_EQ(appended.files.at("a.bin"), "ABCXY");
    EXPECT_EQ(appended.files.at("a.7in"), "ABC");

    auto far_past = run_with(files, voxa_program(), {"a.bin", "9"}, "w\ny\nq\n");
    EXPECT_EQ(far_past.out, banner("a.bin", -1) + "-" + question + written("a.bin", "a.7in") + "-");
    EXPECT_EQ(far_past.files.at("a.bin"), "ABC");
    EXPECT_EQ(far_past.status, 0);

    // startbyte 1 loads the whole file.
    auto first = run_with(files, voxa_program(), {"a.bin", "1"}, "w\ny\nq\n");
    EXPECT_EQ(first.out, banner("a.bin", 3) + "-" + question + written("a.bin", "a.7in") + "-");
    EXPECT_EQ(first.files.at("a.bin"), "ABC");
}

namespace {

// 6,000,000 bytes of every value, with QQQ at file offsets 1,000,100 and 100.
std::string six_megabytes()
{
    std::string data(6000000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    data.replace(1000100, 3, "QQQ");
    data.replace(100, 3, "QQQ");
    return data;
}

} // namespace

TEST(WindowWrite, ASixMegabyteFileKeepsEveryByteOutsideThePartLoaded)
{
    const std::string original = six_megabytes();
    std::map<std::string, std::string> files{{"big", original}, {"small.bin", "12345"}};
    // big has no dot: its backup is big7.
    auto replaced = run_with(files, voxa_program(), {"big", "1000001"}, "r 64 65 51 51 51 n 41 42 43\nw\ny\nq\n");
    std::string expected = original;
    expected.replace(1000100, 3, "ABC");
    EXPECT_EQ(replaced.status, 0);
    EXPECT_TRUE(replaced.files.at("big") == expected);
    EXPECT_TRUE(replaced.files.at("big7") == original);

    auto deleted = run_with(files, voxa_program(), {"big", "1000001"}, "l 64 10\nw\ny\nq\n");
    EXPECT_TRUE(deleted.files.at("big") == std::string(original).erase(1000100, 10));
    // A part with bytes of the file after it, which move down by the count.
    auto inside = run_with(files, voxa_program(), {"big", "500001"}, "l 64 10\nw\ny\nq\n");
    EXPECT_TRUE(inside.files.at("big") == std::string(original).erase(500100, 10));

    auto inserted = run_with(files, voxa_program(), {"big", "2000001"}, "i 0 small.bin\nw\ny\nq\n");
    EXPECT_TRUE(inserted.files.at("big") == std::string(original).insert(2000000, "12345"));

    // Without a startbyte the load stops at the buffer's limit: a change
    // near the start is written, the last 1,000,000 bytes stay.
    auto limit = run_with(files, voxa_program(), {"big"}, "r 0 65 51 51 51 n 41 42 43\nw\ny\nq\n");
    EXPECT_TRUE(limit.files.at("big") == std::string(original).replace(100, 3, "ABC"));
    EXPECT_TRUE(limit.files.at("big7") == original);
}

TEST(WindowWrite, ASparseFileWithRunsOfDataOnBothSides)
{
    NEEDS_FEATURE("holes", "sparse files");
    // Runs of data between holes before the part loaded, across its start
    // and after it: each lands at its own offset, and the holes stay zeros.
    struct run {
        off_t at;
        size_t size;
        char letter;
    };
    const std::vector<run> runs{{0, 4096, 'a'},       {200000, 4096, 'b'},  {400000, 8192, 'c'},
                                {990000, 20000, 'S'}, {6100000, 4096, 'd'}, {6300000, 4096, 'e'},
                                {6995904, 4096, 'f'}};
    temp_dir dir;
    std::string original(7000000, '\0');
    int fd = open((dir.path / "img").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    for (const auto& [at, size, letter] : runs) {
        std::string bytes(size, letter);
        original.replace(static_cast<size_t>(at), size, bytes);
        ASSERT_EQ(pwrite(fd, bytes.data(), size, at), static_cast<ssize_t>(size));
    }
    close(fd);
    auto r = run_in(dir, voxa_program(), {"img", "1000001"}, "r 0 1 53 n 21\nw\ny\nq\n");
    EXPECT_EQ(r.status, 0) << r.out;
    std::string expected = original;
    expected[1000000] = '!';
    EXPECT_TRUE(r.files.at("img") == expected);
    EXPECT_TRUE(r.files.at("img7") == original);
    // The byte changed lies in a block of data: the new file takes no more
    // room than the old one (the part loaded is 5,000,000 bytes, mostly
    // holes), but for a block of the file system's own bookkeeping.
    struct stat made {}, old {};
    sync();
    ASSERT_EQ(stat((dir.path / "img").c_str(), &made), 0);
    ASSERT_EQ(stat((dir.path / "img7").c_str(), &old), 0);
    EXPECT_LE(made.st_blocks, old.st_blocks + made.st_blksize / 512);
}

TEST(WindowWrite, WindowsPast2And4GiBOfASparseFile)
{
    NEEDS_FEATURE("holes", "sparse files");
    // A 6 GiB sparse file with bytes at its head, at the window and at its
    // tail: the window loads, shows its file position as its label, takes
    // an overlay, an insert and a delete, and is written back in seconds,
    // the bytes around it where they were. Kept in a subfolder, out of the
    // files the harness reads back.
    constexpr int64_t size = int64_t{6} << 30;
    const struct {
        const char* what;
        const char* startbyte;
        int64_t at;
        const char* script;
        std::string first_line, window, loaded;
    } rows[] = {
        {"past 2 GiB, an overlay", "2147483000", 2147482999, "d\no 2 z.bin 0\nw\ny\nq\n",
         "-0000:7ffffd78 30 31 32 33 34 35 36 37 - 38 39 00 00 00 00 00 00   0123456789......\n", "01zz456789",
         "Read 2147483000 to 2152482999 bytes"},
        {"past 4 GiB, a delete and an insert", "5000000001", 5000000000, "d\nl 5 3\ni 2 z.bin\nw\ny\nq\n",
         "-0000:12a05f201 30 31 32 33 34 35 36 37 - 38 39 00 00 00 00 00 00   0123456789......\n", "01zz23489",
         "Read 5000000001 to 5005000000 bytes"},
    };
    auto put = [](const fs::path& file, int64_t at, const std::string& text) {
        std::fstream f(file, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(at);
        f.write(text.data(), static_cast<std::streamsize>(text.size()));
    };
    auto get = [](const fs::path& file, int64_t at, size_t n) {
        std::ifstream f(file, std::ios::binary);
        f.seekg(at);
        std::string text(n, '?');
        f.read(text.data(), static_cast<std::streamsize>(n));
        return text;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        temp_dir dir;
        fs::create_directory(dir.path / "big");
        fs::path img = dir.path / "big/img";
        dir.write("big/img", "");
        fs::resize_file(img, static_cast<uintmax_t>(size));
        put(img, 0, "HEAD");
        put(img, row.at, "0123456789");
        put(img, size - 4, "TAIL");
        dir.write("z.bin", "zz");
        auto r = run_in(dir, voxa_program(), {"big/img", row.startbyte}, row.script, {}, 30);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find(row.loaded), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(row.first_line), std::string::npos) << r.out;
        int64_t grown = static_cast<int64_t>(std::string(row.window).size()) - 10;
        EXPECT_EQ(static_cast<int64_t>(fs::file_size(img)), size + grown);
        EXPECT_EQ(get(img, 0, 4), "HEAD");
        EXPECT_EQ(get(img, row.at - 1, 12), std::string(1, '\0') + row.window + std::string(11 - std::string(row.window).size(), '\0'));
        EXPECT_EQ(get(img, size + grown - 5, 5), std::string(1, '\0') + "TAIL");
        EXPECT_EQ(get(dir.path / "big/img7", row.at - 1, 12), std::string(1, '\0') + "0123456789" + std::string(1, '\0'));
    }
}

TEST(Write, ABackupNameThatIsTheFileItselfIsRefused)
{
    for (bool symbolic : {false, true}) {
        temp_dir dir;
        dir.write("x.bin", "ABC");
        if (symbolic)
            fs::create_symlink("x.bin", dir.path / "x.7in");
        else
            fs::create_hard_link(dir.path / "x.bin", dir.path / "x.7in");
        auto r = run_in(dir, voxa_program(), {"x.bin"}, "e 0 5a\nw\ny\nd 0\nq\n");
        std::string head = banner("x.bin", 3) + "--", tail = "-" + zbc_line + "-";
        ASSERT_EQ(r.out.rfind(head, 0), 0u) << r.out;
        ASSERT_GE(r.out.size(), head.size() + tail.size());
        EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
        expect_one_error_line(r.out.substr(head.size(), r.out.size() - head.size() - tail.size()));
        EXPECT_EQ(dir.read("x.bin"), "ABC") << symbolic;
        EXPECT_EQ(dir.read("x.7in"), "ABC") << symbolic;
        EXPECT_EQ(fs::is_symlink(dir.path / "x.7in"), symbolic);
        EXPECT_EQ(fs::hard_link_count(dir.path / "x.bin"), symbolic ? 1u : 2u);
    }
}

TEST(Write, ABackupNameThatIsAFolder)
{
    temp_dir dir;
    dir.write("x.bin", "ABC");
    fs::create_directory(dir.path / "x.7in");
    auto r = run_in(dir, voxa_program(), {"x.bin"}, "e 0 5a\nw\ny\nd 0\nq\n");
    EXPECT_EQ(r.out, banner("x.bin", 3) + "--" + question + "Can't open file x.7in.\n-" + zbc_line + "-");
    EXPECT_EQ(r.status, 1); // the write failed
    EXPECT_EQ(r.files, (std::map<std::string, std::string>{{"x.bin", "ABC"}}));
    EXPECT_TRUE(fs::is_empty(dir.path / "x.7in"));

    fs::remove(dir.path / "x.7in");
    auto after = run_in(dir, voxa_program(), {"x.bin"}, "e 0 5a\nw\ny\nq\n");
    EXPECT_EQ(after.out, banner("x.bin", 3) + "--" + question + written("x.bin", "x.7in") + "-");
    EXPECT_EQ(after.files.at("x.bin"), "ZBC");
    EXPECT_EQ(after.files.at("x.7in"), "ABC");
}

TEST(Write, AFileSizeLimitIsReportedAndLosesNothing)
{
    LINUX_PROGRAMS_ONLY("a file size limit");
    // A file with a second link is copied to its backup and rewritten in
    // place; the copy cannot be written whole, and the file is left as it was.
    std::string old(3000, 'o');
    old[2999] = 'E';
    temp_dir big;
    big.write("x.bin", old);
    fs::create_hard_link(big.path / "x.bin", big.path / "x.link");
    auto limit_only = [] { // as ulimit -f sets it: going past it would kill the program
        rlimit limit{2000, 2000};
        setrlimit(RLIMIT_FSIZE, &limit);
    };
    auto no_backup = run_in(big, voxa_program(), {"x.bin"}, "e 0 5a\nw\ny\nq\n", limit_only);
    EXPECT_EQ(no_backup.signal, 0);
    std::string head = banner("x.bin", 3000) + "--" + question + backing_up("x.7in");
    ASSERT_EQ(no_backup.out.rfind(head, 0), 0u) << no_backup.out;
    ASSERT_EQ(no_backup.out.back(), '-');
    expect_one_error_line(no_backup.out.substr(head.size(), no_backup.out.size() - head.size() - 1));
    EXPECT_EQ(no_backup.status, 1);
    EXPECT_TRUE(big.read("x.bin") == old);

    // A grown file that does not fit: the file is left as it was, with no
    // temporary file beside it, and the next session's write backs it up.
    std::string small(1000, 's');
    temp_dir grown;
    grown.write("x.bin", small);
    grown.write("more.bin", std::string(1500, 'm'));
    auto no_file = run_in(grown, voxa_program(), {"x.bin"}, "i 3e8 more.bin\nw\ny\nq\n", file_size_limit(2000));
    auto at = no_file.out.find(question);
    ASSERT_NE(at, std::string::npos) << no_file.out;
    std::string rest = no_file.out.substr(at + question.size());
    std::string done = written("x.bin", "x.7in");
    ASSERT_EQ(rest.rfind(done, 0), 0u) << rest;
    ASSERT_EQ(rest.back(), '-');
    expect_one_error_line(rest.substr(done.size(), rest.size() - done.size() - 1));
    EXPECT_EQ(no_file.status, 1);
    EXPECT_EQ(no_file.files.size(), 2u);
    EXPECT_TRUE(grown.read("x.bin") == small);
    auto next = run_in(grown, voxa_program(), {"x.bin"}, "w\ny\nq\n");
    EXPECT_EQ(next.status, 0);
    EXPECT_TRUE(grown.read("x.bin") == small);
    EXPECT_TRUE(grown.read("x.7in") == small);
}

TEST(Write, AfterAFailedRewriteInPlaceTheNextWriteKeepsTheBackup)
{
    // A file with a second hard link is rewritten in place. On a full file
    // system the rewrite fails part way; copying the incomplete file over
    // the backup would lose the only whole version, so the next write keeps
    // it, and once a rewrite succeeds backups are made again.
    temp_dir dir;
    small_file_system fs(dir.path / "fs", 64 * 1024);
    if (!fs.mounted)
        GTEST_SKIP() << "no tmpfs can be mounted here";
    std::string old(20000, 'o');
    dir.write("fs/x.bin", old);
    fs::create_hard_link(dir.path / "fs/x.bin", dir.path / "fs/x.link");
    dir.write("more.bin", std::string(30000, 'm'));
    auto r = run_in(dir, voxa_program(), {"fs/x.bin"}, "i 0 more.bin\nw\ny\nw\ny\nl 0 30000\nw\ny\nw\ny\nq\n");
    const std::string kept = "Backup fs/x.7in kept: it holds the file as it was before the failed write. \n";
    size_t first_kept = r.out.find(kept);
    ASSERT_NE(first_kept, std::string::npos) << r.out;
    size_t second_kept = r.out.find(kept, first_kept + 1);
    ASSERT_NE(second_kept, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("ERROR: ", second_kept), std::string::npos) << r.out; // the third write fits
    EXPECT_NE(r.out.find(backing_up("fs/x.7in"), second_kept), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 0); // the last write succeeded
    EXPECT_TRUE(dir.read("fs/x.bin") == old);
    EXPECT_TRUE(dir.read("fs/x.link") == old);
    EXPECT_TRUE(dir.read("fs/x.7in") == old); // the fourth write backed up the third's result
}
