// Insert (i) and overlay (o) from files, run end to end.
#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "run.hpp"

namespace {

// One dump line: the label, then the bytes of `row`; positions past the end
// of `row` lie outside the buffer and show as blanks.
std::string dump_line(unsigned label, const std::string& row)
{
    char text[16];
    std::snprintf(text, sizeof text, "0000:%04x", label);
    std::string line = text, column;
    for (size_t i = 0; i < 16; ++i) {
        if (i == 8)
            line += " -";
        if (i < row.size()) {
            auto byte = static_cast<unsigned char>(row[i]);
            std::snprintf(text, sizeof text, " %02x", byte);
            line += text;
            column += byte <= 31 ? '.' : static_cast<char>(byte);
        } else {
            line += "   ";
            column += ' ';
        }
    }
    return line + "   " + column + "\n";
}

// `count` dump lines of the buffer image `image` from index `from`.
std::string dump(unsigned label, std::string image, size_t from, int count = 1)
{
    image.resize(from + 16 * count, '\0');
    std::string lines;
    for (int i = 0; i < count; ++i)
        lines += dump_line(label + 16 * i, image.substr(from + 16 * i, 16));
    return lines;
}

std::string inserted(const std::string& name, long size, long before, long offset, long stored)
{
    return "fileName=" + name + ", filesize=" + std::to_string(size) + ", data_count=" + std::to_string(before) +
           ", offset=" + std::to_string(offset) + "\ndata_count = " + std::to_string(before + size) +
           "\nPlease Wait... Loading " + name + " into memory at " + std::to_string(offset) + " \n " +
           std::to_string(stored) + " Bytes Loaded into memory. \n";
}

std::string overlaid(const std::string& name, long offset, long stored, const std::string& limit = "")
{
    return "Please Wait... Loading " + name + " into memory at " + std::to_string(offset) + " \n" + limit + " " +
           std::to_string(stored) + " Bytes Loaded into memory. \n";
}

const std::string error = "command error, use ? for help...\n";
const std::string abc = "ABC\xff";

} // namespace

TEST(InsertFile, InMiddleAndAtEndTheEndSlotMovesWithTheData)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"f.bin", "XY"}};
    // i reads twice and meets the end once: cursor 3, addr_counter 3.
    auto middle = run_with(files, voxa_program(), {"a.bin"}, "i 1 f.bin\nd\nd 0\nq\n");
    EXPECT_EQ(middle.out, banner("a.bin", 3) + "-" + inserted("f.bin", 2, 3, 1, 2) + "-" +
                              dump(3, "AXYBC\xff", 3) + "-" + dump(0, "AXYBC\xff", 0) + "-");

    auto end = run_with(files, voxa_expert_program(), {"a.bin"}, "i 3 f.bin\nd 0\nw\nq\n");
    EXPECT_EQ(end.out.substr(0, end.out.find("-Please Wait... Backing")),
              banner("a.bin", 3) + "-" + inserted("f.bin", 2, 3, 3, 2) + "-" + dump(0, "ABCXY\xff", 0));
    EXPECT_EQ(end.files.at("a.bin"), "ABCXY");
    EXPECT_EQ(end.files.at("f.bin"), "XY");
}

TEST(InsertFile, EmptyFileAndEveryByteValue)
{
    std::string high = bytes({0xff, 0x00, 0xff, 0x0a});
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"e.bin", ""}, {"h.bin", high}};
    auto r = run_with(files, voxa_program(), {"a.bin"}, "i 1 e.bin\nd\ni 0 h.bin\nd 0\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 3) + "-" + inserted("e.bin", 0, 3, 1, 0) + "-" + dump(1, abc, 1) + "-" +
                         inserted("h.bin", 4, 3, 0, 4) + "-" + dump(0, high + abc, 0) + "-");
}

TEST(OverlayFile, WithAndWithoutACount)
{
    std::map<std::string, std::string> files{{"a.bin", "abcdefghijkl"}, {"g.bin", "0123456789"}};
    // Four bytes stored, five reads: the dump goes on at index 4, labelled 5.
    auto r = run_with(files, voxa_program(), {"a.bin"},
                      "o 0 g.bin 4\nd\nd 0\no 0 g.bin -3\nd\no 1 g.bin 0\nd 0\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 12) + "-" + overlaid("g.bin", 0, 4) + "-" +
                         dump(5, "0123efghijkl\xff", 4) + "-" + dump(0, "0123efghijkl\xff", 0) + "-" +
                         overlaid("g.bin", 0, 10) + "-" + dump(0x1b, "0123456789kl\xff", 10) + "-" +
                         overlaid("g.bin", 1, 10) + "-" + dump(0, "00123456789l\xff", 0) + "-");
}

TEST(OverlayFile, TheHolesOfASparseFileLayZeros)
{
    // X, a hole of two blocks or more, Y at 0x3fff: the hole is not read,
    // and the bytes under it become zeros all the same.
    temp_dir dir;
    dir.write("a.bin", std::string(20000, 'a'));
    int fd = open((dir.path / "s.bin").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "X", 1, 0), 1);
    ASSERT_EQ(pwrite(fd, "Y", 1, 0x3fff), 1);
    close(fd);
    auto r = run_in(dir, voxa_program(), {"a.bin"}, "o 0 s.bin 0\nd 1ff0\nd 3ff0\nq\n");
    std::string image = "X" + std::string(0x3ffe, '\0') + "Y" + std::string(20000 - 0x4000, 'a') + "\xff";
    EXPECT_EQ(r.out, banner("a.bin", 20000) + "-" + overlaid("s.bin", 0, 0x4000) + "-" + dump(0x1ff0, image, 0x1ff0, 10) +
                         "-" + dump(0x3ff0, image, 0x3ff0, 10) + "-");
}

TEST(OverlayFile, OverTheEndSlotKeepsDataCount)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"f.bin", "XY"}};
    auto inside = run_with(files, voxa_program(), {"a.bin"}, "o 1 f.bin 0\nd 0\nq\n");
    EXPECT_EQ(inside.out, banner("a.bin", 3) + "-" + overlaid("f.bin", 1, 2) + "-" + dump(0, "AXY\xff", 0) + "-");

    auto over = run_with(files, voxa_expert_program(), {"a.bin"}, "o 2 f.bin 0\nd 0\nw\nq\n");
    EXPECT_EQ(over.out.substr(0, over.out.find("-Please Wait... Backing")),
              banner("a.bin", 3) + "-" + overlaid("f.bin", 2, 2) + "-" + dump(0, "ABXY", 0));
    EXPECT_EQ(over.files.at("a.bin"), "ABX");
    EXPECT_EQ(over.files.at("a.7in"), "ABC");
}

TEST(OverlayFile, TheLastWordIsAlwaysTheCount)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"g.bin", "0123456789"}};
    auto r = run_with(files, voxa_program(), {"a.bin"}, "o 0 g.bin\nd\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 3) + "-Could not open file: 0 \n-" + dump(0, abc, 0) + "-");

    // Without a count the one word before it is both the offset and the
    // file name, and an offset outside the buffer is refused as such.
    files["2"] = "XY";
    auto same_word = run_with(files, voxa_program(), {"a.bin"}, "o 2 g.bin\nd 0\no -1 g.bin\nq\n");
    EXPECT_EQ(same_word.out, banner("a.bin", 3) + "-" + overlaid("2", 2, 2) + "-" + dump(0, "ABXY", 0) +
                                 "-ERROR: offset outside the buffer...\n-");

    // Two blanks before the count leave an empty file-name word.
    auto empty_name = run_with(files, voxa_program(), {"a.bin"}, "o 1 g.bin  2\no 1  0\nd 0\nq\n");
    EXPECT_EQ(empty_name.out, banner("a.bin", 3) + "-Could not open file:  \n-Could not open file:  \n-" +
                                  dump(0, abc, 0) + "-");
}

TEST(InsertOverlay, LinesWithoutTheirWordsAreCommandErrors)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"f.bin", "XY"}, {"5", "Z"}};
    auto r = run_with(files, voxa_program(), {"a.bin"},
                      "i\no\ni \no \ni5x\no5x\ni f.bin\no 5\ni  f.bin\no  5\no 5 \no 5  \nox  5\no -1  \nd\nq\n");
    std::string errors;
    for (int i = 0; i < 14; ++i)
        errors += "-" + error;
    EXPECT_EQ(r.out, banner("a.bin", 3) + errors + "-" + dump(0, abc, 0) + "-");
}

TEST(InsertOverlay, OffsetsAreCheckedBeforeTheFileIsOpened)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"f.bin", "XY"}};
    const std::string data = "ERROR: offset outside the data...\n";
    const std::string buffer = "ERROR: offset outside the buffer...\n";
    auto r = run_with(files, voxa_program(), {"a.bin"},
                      "i -1 f.bin\ni 4 f.bin\ni 80000000 f.bin\ni 9 nope.bin\n"
                      "o -1 nope.bin 0\no 4c4b41 nope.bin 0\no ffffffff f.bin 0\nd\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 3) + "-" + data + "-" + data + "-" + data + "-" + data + "-" + buffer + "-" +
                         buffer + "-" + buffer + "-" + dump(0, abc, 0) + "-");
}

TEST(InsertFile, AFileThatCannotBeOpenedLeavesTheEditorRunning)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}};
    auto r = run_with(files, voxa_expert_program(), {"a.bin"}, "e 0 5a\ni 0 nope.bin\ni 1 \nd\nw\nq\n");
    EXPECT_EQ(r.out.substr(0, r.out.find("-Please Wait... Backing")),
              banner("a.bin", 3) + "--Can't Open file nope.bin.\n-Can't Open file .\n-" + dump(0, "ZBC\xff", 0));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.files.at("a.bin"), "ZBC");
}

TEST(InsertFile, TheBufferLimitRefusesAFileTooLarge)
{
    std::map<std::string, std::string> files{
        {"a.bin", "ABC"}, {"big.bin", std::string(4999998, 'x')}, {"fit.bin", std::string(4999997, 'x')}};
    auto r = run_with(files, voxa_program(), {"a.bin"}, "i 1 big.bin\nd\ni 3 fit.bin\nf\nq\n");
    std::string head = banner("a.bin", 3) + "-ERROR: file too large to insert...\n-" + dump(0, abc, 0) + "-" +
                       inserted("fit.bin", 4999997, 3, 3, 4999997) + "-";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    // The end slot landed on the buffer's last slot; the dump ends after it.
    EXPECT_NE(r.out.find(dump_line(0x4c4b35, std::string(11, 'x') + "\xff") + "-"), std::string::npos);
}

TEST(InsertFile, APipeIsRefusedWithoutWaiting)
{
    temp_dir dir;
    dir.write("a.bin", "ABC");
    ASSERT_EQ(mkfifo((dir.path / "p").c_str(), 0600), 0);
    auto r = run_in(dir, voxa_program(), {"a.bin"}, "i 0 p\nd\nq\n", {}, 10);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0);
    std::string head = banner("a.bin", 3) + "-ERROR: ";
    ASSERT_EQ(r.out.substr(0, head.size()), head) << r.out;
    // Back at the prompt with the data as it was.
    std::string after = r.out.substr(r.out.find('\n', head.size()));
    EXPECT_EQ(after, "\n-" + dump(0, abc, 0) + "-");
}

TEST(InsertFile, TakesNoMoreAndCountsNoMoreThanTheFileGives)
{
    // A kernel file says it is empty and then gives bytes: the gap is empty,
    // so nothing is stored over the data after it.
    if (!fs::exists("/proc/version"))
        GTEST_SKIP() << "no /proc/version here";
    auto r = run_with({{"a.bin", "ABC"}}, voxa_program(), {"a.bin"}, "i 1 /proc/version\nd 0\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 3) + "-" + inserted("/proc/version", 0, 3, 1, 0) + "-" + dump(0, abc, 0) + "-");

    // One that says 4096 bytes and gives a line: the rest of the gap closes,
    // so no stale byte counts as data.
    const std::string name = "/sys/kernel/mm/transparent_hugepage/enabled";
    if (!fs::exists(name))
        GTEST_SKIP() << "no " << name << " here";
    temp_dir dir;
    std::string gives = dir.read(name);
    auto r2 = run_with({{"a.bin", "ABC"}}, voxa_program(), {"a.bin"}, "i 1 " + name + "\nd 0\nq\n");
    long n = static_cast<long>(gives.size());
    std::string data = "A" + gives + "BC\xff";
    std::string head = inserted(name, 4096, 3, 1, n) + "ERROR: " + name + " measured 4096 bytes but gave " +
                       std::to_string(n) + ", data_count = " + std::to_string(3 + n) + " \n";
    EXPECT_EQ(r2.out, banner("a.bin", 3) + "-" + head + "-" + dump(0, data, 0, static_cast<int>(data.size() + 15) / 16) + "-");
}

TEST(OverlayFile, StopsAtTheBuffersLastSlot)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"f", std::string(100, 'Z')}};
    auto r = run_with(files, voxa_program(), {"a.bin"}, "o 4c4b3f f 0\nd\nd 4c4b3f\no 4c4b40 f 0\nq\n");
    auto read_to = [](long n) {
        return "Read 0 to " + std::to_string(n) + " bytes, use 'startbyte' option to chg starting byte. \n";
    };
    // Two stored at 4999999 and 5000000; the stop adds no read. The dump from
    // past the buffer shows blanks; the second load counts on from the dumps.
    EXPECT_EQ(r.out, banner("a.bin", 3) + "-" + overlaid("f", 4999999, 2, read_to(1)) + "-" + dump_line(2, "") +
                         "-" + dump_line(0x4c4b3f, "ZZ") + "-" + overlaid("f", 5000000, 1, read_to(5000015)) + "-");
}

TEST(InsertFile, AfterAStartbyteBytesReadBelowItAreNotStored)
{
    std::string main_file, h;
    for (int j = 0; j < 3000; ++j)
        main_file += static_cast<char>('A' + j % 26);
    for (int j = 0; j < 2000; ++j)
        h += static_cast<char>('a' + j % 26);
    std::map<std::string, std::string> files{{"m.bin", main_file}, {"h.bin", h}};
    auto r = run_with(files, voxa_program(), {"m.bin", "1000"}, "d 0\ni 0 h.bin\nd\nd 0\nd fa0\nq\n");

    std::string before = main_file.substr(999) + "\xff"; // data_count 2001
    // The dump left addr_counter at 160: the first 839 reads are not stored,
    // the gap's last 839 bytes keep what lay there, the end slot is at 4001.
    std::string after = h.substr(839) + before.substr(1161, 839) + before;
    EXPECT_EQ(r.out, banner("m.bin", 2001) + "-" + dump(0, before, 0, 10) + "-" + inserted("h.bin", 2000, 2001, 0, 1161) +
                         "-" + dump(2161, after, 1161, 10) + "-" + dump(0, after, 0, 10) + "-" + dump(0xfa0, after, 4000) +
                         "-");
}
