// Insert (i) and overlay (o) from files, run end to end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "run.hpp"

namespace {

// What the editor shows of the data "ABC" as it was loaded: the end slot
// after the data, then zero bytes.
const std::string abc_line = "0000:0000 41 42 43 ff 00 00 00 00 - 00 00 00 00 00 00 00 00   ABC\xff............\n";
const std::string error = "command error, use ? for help...\n";

} // namespace

TEST(InsertFile, InMiddleAndAtEndTheEndSlotMovesWithTheData)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"f.bin", "XY"}};
    // i reads twice and meets the end once: cursor 3, addr_counter 3.
    auto middle = run_with(files, voxa_program(), {"a.bin"}, "i 1 f.bin\nd\nd 0\nq\n");
    EXPECT_EQ(middle.out, banner("a.bin", 3) +
                              "-fileName=f.bin, filesize=2, data_count=3, offset=1\n"
                              "data_count = 5\n"
                              "Please Wait... Loading f.bin into memory at 1 \n"
                              " 2 Bytes Loaded into memory. \n"
                              "-0000:0003 42 43 ff 00 00 00 00 00 - 00 00 00 00 00 00 00 00   BC\xff.............\n"
                              "-0000:0000 41 58 59 42 43 ff 00 00 - 00 00 00 00 00 00 00 00   AXYBC\xff..........\n-");

    auto end = run_with(files, voxa_expert_program(), {"a.bin"}, "i 3 f.bin\nd 0\nw\nq\n");
    EXPECT_EQ(end.out.substr(0, end.out.find("-Please Wait... Backing")),
              banner("a.bin", 3) +
                  "-fileName=f.bin, filesize=2, data_count=3, offset=3\n"
                  "data_count = 5\n"
                  "Please Wait... Loading f.bin into memory at 3 \n"
                  " 2 Bytes Loaded into memory. \n"
                  "-0000:0000 41 42 43 58 59 ff 00 00 - 00 00 00 00 00 00 00 00   ABCXY\xff..........\n");
    EXPECT_EQ(end.files.at("a.bin"), "ABCXY");
    EXPECT_EQ(end.files.at("f.bin"), "XY");
}

TEST(InsertFile, EmptyFileAndEveryByteValue)
{
    std::string high = bytes({0xff, 0x00, 0xff, 0x0a});
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"e.bin", ""}, {"h.bin", high}};
    auto r = run_with(files, voxa_program(), {"a.bin"}, "i 1 e.bin\nd\ni 0 h.bin\nd 0\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 3) +
                         "-fileName=e.bin, filesize=0, data_count=3, offset=1\n"
                         "data_count = 3\n"
                         "Please Wait... Loading e.bin into memory at 1 \n"
                         " 0 Bytes Loaded into memory. \n"
                         "-0000:0001 42 43 ff 00 00 00 00 00 - 00 00 00 00 00 00 00 00   BC\xff.............\n"
                         "-fileName=h.bin, filesize=4, data_count=3, offset=0\n"
                         "data_count = 7\n"
                         "Please Wait... Loading h.bin into memory at 0 \n"
                         " 4 Bytes Loaded into memory. \n"
                         "-0000:0000 ff 00 ff 0a 41 42 43 ff - 00 00 00 00 00 00 00 00   \xff.\xff.ABC\xff........\n-");
}

TEST(OverlayFile, WithAndWithoutACount)
{
    std::map<std::string, std::string> files{{"a.bin", "abcdefghijkl"}, {"g.bin", "0123456789"}};
    // Four bytes stored, five reads: the dump goes on at index 4, labelled 5.
    auto r = run_with(files, voxa_program(), {"a.bin"},
                      "o 0 g.bin 4\nd\nd 0\no 0 g.bin -3\nd\no 1 g.bin 0\nd 0\no 5 g.bin 1\nd 0\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 12) +
                         "-Please Wait... Loading g.bin into memory at 0 \n"
                         " 4 Bytes Loaded into memory. \n"
                         "-0000:0005 65 66 67 68 69 6a 6b 6c - ff 00 00 00 00 00 00 00   efghijkl\xff.......\n"
                         "-0000:0000 30 31 32 33 65 66 67 68 - 69 6a 6b 6c ff 00 00 00   0123efghijkl\xff...\n"
                         "-Please Wait... Loading g.bin into memory at 0 \n"
                         " 10 Bytes Loaded into memory. \n"
                         "-0000:001b 6b 6c ff 00 00 00 00 00 - 00 00 00 00 00 00 00 00   kl\xff.............\n"
                         "-Please Wait... Loading g.bin into memory at 1 \n"
                         " 10 Bytes Loaded into memory. \n"
                         "-0000:0000 30 30 31 32 33 34 35 36 - 37 38 39 6c ff 00 00 00   00123456789l\xff...\n"
                         "-Please Wait... Loading g.bin into memory at 5 \n"
                         " 1 Bytes Loaded into memory. \n"
                         "-0000:0000 30 30 31 32 33 30 35 36 - 37 38 39 6c ff 00 00 00   00123056789l\xff...\n-");
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
    EXPECT_EQ(r.out, banner("a.bin", 20000) +
                         "-Please Wait... Loading s.bin into memory at 0 \n"
                         " 16384 Bytes Loaded into memory. \n-"
                         "0000:1ff0 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n"
                         "0000:2000 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n"
                         "0000:2010 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n"
                         "0000:2020 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n"
                         "0000:2030 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n"
                         "0000:2040 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n"
                         "0000:2050 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n"
                         "0000:2060 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n"
                         "0000:2070 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n"
                         "0000:2080 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n"
                         "-0000:3ff0 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 59   ...............Y\n"
                         "0000:4000 61 61 61 61 61 61 61 61 - 61 61 61 61 61 61 61 61   aaaaaaaaaaaaaaaa\n"
                         "0000:4010 61 61 61 61 61 61 61 61 - 61 61 61 61 61 61 61 61   aaaaaaaaaaaaaaaa\n"
                         "0000:4020 61 61 61 61 61 61 61 61 - 61 61 61 61 61 61 61 61   aaaaaaaaaaaaaaaa\n"
                         "0000:4030 61 61 61 61 61 61 61 61 - 61 61 61 61 61 61 61 61   aaaaaaaaaaaaaaaa\n"
                         "0000:4040 61 61 61 61 61 61 61 61 - 61 61 61 61 61 61 61 61   aaaaaaaaaaaaaaaa\n"
                         "0000:4050 61 61 61 61 61 61 61 61 - 61 61 61 61 61 61 61 61   aaaaaaaaaaaaaaaa\n"
                         "0000:4060 61 61 61 61 61 61 61 61 - 61 61 61 61 61 61 61 61   aaaaaaaaaaaaaaaa\n"
                         "0000:4070 61 61 61 61 61 61 61 61 - 61 61 61 61 61 61 61 61   aaaaaaaaaaaaaaaa\n"
                         "0000:4080 61 61 61 61 61 61 61 61 - 61 61 61 61 61 61 61 61   aaaaaaaaaaaaaaaa\n"
                         "-");
}

TEST(OverlayFile, OverTheEndSlotKeepsDataCount)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"f.bin", "XY"}};
    auto inside = run_with(files, voxa_program(), {"a.bin"}, "o 1 f.bin 0\nd 0\nq\n");
    EXPECT_EQ(inside.out, banner("a.bin", 3) +
                              "-Please Wait... Loading f.bin into memory at 1 \n"
                              " 2 Bytes Loaded into memory. \n"
                              "-0000:0000 41 58 59 ff 00 00 00 00 - 00 00 00 00 00 00 00 00   AXY\xff............\n-");

    auto over = run_with(files, voxa_expert_program(), {"a.bin"}, "o 2 f.bin 0\nd 0\nw\nq\n");
    EXPECT_EQ(over.out.substr(0, over.out.find("-Please Wait... Backing")),
              banner("a.bin", 3) +
                  "-Please Wait... Loading f.bin into memory at 2 \n"
                  " 2 Bytes Loaded into memory. \n"
                  "-0000:0000 41 42 58 59 00 00 00 00 - 00 00 00 00 00 00 00 00   ABXY............\n");
    EXPECT_EQ(over.files.at("a.bin"), "ABX");
    EXPECT_EQ(over.files.at("a.7in"), "ABC");
}

TEST(OverlayFile, TheLastWordIsAlwaysTheCount)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"g.bin", "0123456789"}};
    auto r = run_with(files, voxa_program(), {"a.bin"}, "o 0 g.bin\nd\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 3) + "-Could not open file: 0 \n-" + abc_line + "-");

    // Without a count the one word before it is both the offset and the
    // file name, and an offset outside the buffer is refused as such.
    files["2"] = "XY";
    auto same_word = run_with(files, voxa_program(), {"a.bin"}, "o 2 g.bin\nd 0\no -1 g.bin\nq\n");
    EXPECT_EQ(same_word.out, banner("a.bin", 3) +
                                 "-Please Wait... Loading 2 into memory at 2 \n"
                                 " 2 Bytes Loaded into memory. \n"
                                 "-0000:0000 41 42 58 59 00 00 00 00 - 00 00 00 00 00 00 00 00   ABXY............\n"
                                 "-ERROR: offset outside the buffer...\n-");

    // Two blanks before the count leave an empty file-name word.
    auto empty_name = run_with(files, voxa_program(), {"a.bin"}, "o 1 g.bin  2\no 1  0\nd 0\nq\n");
    EXPECT_EQ(empty_name.out,
              banner("a.bin", 3) + "-Could not open file:  \n-Could not open file:  \n-" + abc_line + "-");
}

TEST(InsertOverlay, LinesWithoutTheirWordsAreCommandErrors)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"f.bin", "XY"}, {"5", "Z"}};
    auto r = run_with(files, voxa_program(), {"a.bin"},
                      "i\no\ni \no \ni5x\no5x\ni f.bin\no 5\ni  f.bin\no  5\no 5 \no 5  \nox  5\no -1  \nd\nq\n");
    std::string errors;
    for (int i = 0; i < 14; ++i)
        errors += "-" + error;
    EXPECT_EQ(r.out, banner("a.bin", 3) + errors + "-" + abc_line + "-");
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
                         buffer + "-" + buffer + "-" + abc_line + "-");
}

TEST(InsertFile, AFileThatCannotBeOpenedLeavesTheEditorRunning)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}};
    auto r = run_with(files, voxa_expert_program(), {"a.bin"}, "e 0 5a\ni 0 nope.bin\ni 1 \nd\nw\nq\n");
    EXPECT_EQ(r.out.substr(0, r.out.find("-Please Wait... Backing")),
              banner("a.bin", 3) + "--Can't Open file nope.bin.\n-Can't Open file .\n"
                                   "-0000:0000 5a 42 43 ff 00 00 00 00 - 00 00 00 00 00 00 00 00   ZBC\xff............\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.files.at("a.bin"), "ZBC");
}

TEST(InsertFile, TheBufferLimitRefusesAFileTooLarge)
{
    std::map<std::string, std::string> files{
        {"a.bin", "ABC"}, {"big.bin", std::string(4999998, 'x')}, {"fit.bin", std::string(4999997, 'x')}};
    auto r = run_with(files, voxa_program(), {"a.bin"}, "i 1 big.bin\nd\ni 3 fit.bin\nf\nq\n");
    std::string head = banner("a.bin", 3) + "-ERROR: file too large to insert...\n-" + abc_line +
                       "-fileName=fit.bin, filesize=4999997, data_count=3, offset=3\n"
                       "data_count = 5000000\n"
                       "Please Wait... Loading fit.bin into memory at 3 \n"
                       " 4999997 Bytes Loaded into memory. \n-";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    // The end slot landed on the buffer's last slot; the dump ends after it.
    EXPECT_NE(r.out.find("0000:4c4b35 78 78 78 78 78 78 78 78 - 78 78 78 ff               xxxxxxxxxxx\xff    \n-"),
              std::string::npos);
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
    EXPECT_EQ(after, "\n-" + abc_line + "-");
}

TEST(InsertFile, TakesNoMoreAndCountsNoMoreThanTheFileGives)
{
    // A kernel file says it is empty and then gives bytes: the gap is empty,
    // so nothing is stored over the data after it.
    if (!fs::exists("/proc/version"))
        GTEST_SKIP() << "no /proc/version here";
    auto r = run_with({{"a.bin", "ABC"}}, voxa_program(), {"a.bin"}, "i 1 /proc/version\nd 0\nq\n");
    EXPECT_EQ(r.out, banner("a.bin", 3) +
                         "-fileName=/proc/version, filesize=0, data_count=3, offset=1\n"
                         "data_count = 3\n"
                         "Please Wait... Loading /proc/version into memory at 1 \n"
                         " 0 Bytes Loaded into memory. \n-" +
                         abc_line + "-");

    // One that says 4096 bytes and gives a line: the rest of the gap closes,
    // so no stale byte counts as data.
    const std::string name = "/sys/kernel/mm/transparent_hugepage/enabled";
    if (!fs::exists(name))
        GTEST_SKIP() << "no " << name << " here";
    temp_dir dir;
    std::string gives = dir.read(name);
    auto r2 = run_with({{"a.bin", "ABC"}}, voxa_program(), {"a.bin"}, "i 1 " + name + "\nd 0\nq\n");
    std::string n = std::to_string(gives.size());
    // The data then shows as that of a file holding the same bytes.
    std::string loaded = run_with({{"a.bin", "A" + gives + "BC"}}, voxa_program(), {"a.bin"}, "d 0\nq\n").out;
    std::string dump = loaded.substr(loaded.find("HELP. \n") + 7);
    EXPECT_EQ(r2.out, banner("a.bin", 3) + "-fileName=" + name + ", filesize=4096, data_count=3, offset=1\n" +
                          "data_count = 4099\n" + "Please Wait... Loading " + name + " into memory at 1 \n " + n +
                          " Bytes Loaded into memory. \n" + "ERROR: " + name + " measured 4096 bytes but gave " + n +
                          ", data_count = " + std::to_string(3 + gives.size()) + " \n" + dump);
}

TEST(OverlayFile, StopsAtTheBuffersLastSlot)
{
    std::map<std::string, std::string> files{{"a.bin", "ABC"}, {"f", std::string(100, 'Z')}};
    auto r = run_with(files, voxa_program(), {"a.bin"}, "o 4c4b3f f 0\nd\nd 4c4b3f\no 4c4b40 f 0\nq\n");
    // Two stored at 4999999 and 5000000; the stop adds no read. The dump from
    // past the buffer shows blanks; the second load counts on from the dumps.
    EXPECT_EQ(r.out, banner("a.bin", 3) +
                         "-Please Wait... Loading f into memory at 4999999 \n"
                         "Read 0 to 1 bytes, use 'startbyte' option to chg starting byte. \n"
                         " 2 Bytes Loaded into memory. \n"
                         "-0000:0002                         -                                           \n"
                         "-0000:4c4b3f 5a 5a                   -                           ZZ              \n"
                         "-Please Wait... Loading f into memory at 5000000 \n"
                         "Read 0 to 5000015 bytes, use 'startbyte' option to chg starting byte. \n"
                         " 1 Bytes Loaded into memory. \n-");
}

TEST(InsertOverlay, InAWindowTheFileIsStoredFromItsFirstByte)
{
    // Whatever d or f left the dump's label at, an i or o takes its file
    // from its first byte, and w puts exactly that into the file.
    std::string m, h;
    for (int j = 0; j < 3000; ++j)
        m += static_cast<char>('A' + j % 26);
    for (int j = 0; j < 2000; ++j)
        h += static_cast<char>('a' + j % 26);
    const struct {
        const char* what;
        const char* startbyte;
        const char* script;
        const char* loaded;
        std::string file;
    } rows[] = {
        {"an insert after d", "1001", "d 100\ni 0 h.bin\nw\ny\n",
         "Please Wait... Loading h.bin into memory at 0 \n 2000 Bytes Loaded into memory. \n",
         m.substr(0, 1000) + h + m.substr(1000)},
        {"an overlay after f", "2001", "f\no 3e0 h.bin 8\nw\ny\n",
         "Please Wait... Loading h.bin into memory at 992 \n 8 Bytes Loaded into memory. \n",
         m.substr(0, 2992) + h.substr(0, 8)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto r = run_with({{"m.bin", m}, {"h.bin", h}}, voxa_program(), {"m.bin", row.startbyte}, row.script);
        EXPECT_NE(r.out.find(row.loaded), std::string::npos) << r.out;
        EXPECT_EQ(r.files.at("m.bin"), row.file);
        EXPECT_EQ(r.status, 0);
    }
}
