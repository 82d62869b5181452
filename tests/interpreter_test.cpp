// The dump, the display moves, help, version and the command history.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <sstream>

#include "commands.hpp"
#include "run.hpp"

using namespace std::string_literals;

namespace {

// Runs the editor on f.bin holding `data`, with `input` typed.
run_result session(const std::string& data, const std::string& input)
{
    return run_with({{"f.bin", data}}, voxa_program(), {"f.bin"}, input);
}

std::string counting(int size)
{
    std::string data;
    for (int i = 0; i < size; ++i)
        data.push_back(static_cast<char>(i));
    return data;
}

// The labels of the dump lines, one list for each dump request.
using runs = std::vector<std::vector<std::string>>;

runs dumps(const std::string& out)
{
    runs all;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.rfind("-0000:", 0) == 0 ? 1 : 0;
        if (line.compare(at, 5, "0000:") != 0)
            continue;
        if (at == 1 || all.empty())
            all.emplace_back();
        all.back().push_back(line.substr(at + 5, line.find(' ') - at - 5));
    }
    return all;
}

std::vector<std::string> labels(unsigned from, int count)
{
    std::vector<std::string> result;
    char text[16];
    for (int i = 0; i < count; ++i) {
        std::snprintf(text, sizeof text, "%04x", from + 16u * static_cast<unsigned>(i));
        result.push_back(text);
    }
    return result;
}

// A dump line whose sixteen positions all lie outside the buffer.
std::string blank_line(const std::string& label)
{
    return "0000:" + label + std::string(24, ' ') + " -" + std::string(24, ' ') + "   " + std::string(16, ' ') + "\n";
}

const std::string help_text =
    "  quit    -q                (WITHOUT SAVING)         \n"
    "  help    -?                                         \n"
    "  version -v                (version information)    \n"
    "  history -h                (command history)  \n"
    "  use hist-!                (use command history)  \n"
    "      ex: -!2               (use command history 2) \n"
    "  display -d <offset>                                \n"
    "  gotoEOF -f \t                                     \n"
    "  search  -s [begoffset endoffset value] <value value value value>  (up to 5) \n"
    "     ex:  -s 0000 efff 31 32 33   (look for 123)\n"
    "  replace -r [begoffset endoffset value] <value...> [n newvalue] <newvalue...> \n"
    "     ex:  -r 0000 efff 31 32 33 n 37 38 39   (replace 123 with 789)\n"
    "  next    -n <searchfoundnumber>  (goto NEXT search found value)\n"
    "  ins file-i [offset filetoinsert ]                  \n"
    "  delete  -l [offset #ofbytestodelete ]              \n"
    "  overlay -o [offset filetouseforoverlay #ofbytestooverlay (0 for all) ]   \n"
    "  edit    -e [offset newvalue ]                      \n"
    "     ex:  -e 0002 77                                 \n"
    "  write   -w                                         \n"
    "\n";

} // namespace

TEST(Dump, LineFormatAndCharacterColumn)
{
    auto letters = session("0123456789abcdefABCDEFGHIJKLMNOP", "d 10\nq\n");
    EXPECT_EQ(letters.out, banner("f.bin", 32) + "-" +
                               "0000:0010 41 42 43 44 45 46 47 48 - 49 4a 4b 4c 4d 4e 4f 50   ABCDEFGHIJKLMNOP\n"
                               "0000:0020 ff 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   \xff...............\n-");

    // Control bytes show as dots; 127 and the upper half show as they are.
    auto mixed = session(bytes({0x00, 0x1f, 0x20, 0x7e, 0x7f, 0x80, 0xa0, 0xff, 0x09, 0x0a, 0x0d, 0x41, 0x1b, 0x5c,
                                0x25, 0xc3}),
                         "d 0\nq\n");
    EXPECT_EQ(mixed.out, banner("f.bin", 16) + "-" +
                             "0000:0000 00 1f 20 7e 7f 80 a0 ff - 09 0a 0d 41 1b 5c 25 c3   .. ~\x7f\x80\xa0\xff...A.\\%\xc3\n"
                             "0000:0010 ff 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   \xff...............\n-");

    // Every byte value, as a script gets it.
    auto every = session(counting(256), "d 0\nd\nq\n");
    EXPECT_EQ(every.out, banner("f.bin", 256) + "-" +
                             "0000:0000 00 01 02 03 04 05 06 07 - 08 09 0a 0b 0c 0d 0e 0f   ................\n"
                             "0000:0010 10 11 12 13 14 15 16 17 - 18 19 1a 1b 1c 1d 1e 1f   ................\n"
                             "0000:0020 20 21 22 23 24 25 26 27 - 28 29 2a 2b 2c 2d 2e 2f    !\"#$%&'()*+,-./\n"
                             "0000:0030 30 31 32 33 34 35 36 37 - 38 39 3a 3b 3c 3d 3e 3f   0123456789:;<=>?\n"
                             "0000:0040 40 41 42 43 44 45 46 47 - 48 49 4a 4b 4c 4d 4e 4f   @ABCDEFGHIJKLMNO\n"
                             "0000:0050 50 51 52 53 54 55 56 57 - 58 59 5a 5b 5c 5d 5e 5f   PQRSTUVWXYZ[\\]^_\n"
                             "0000:0060 60 61 62 63 64 65 66 67 - 68 69 6a 6b 6c 6d 6e 6f   `abcdefghijklmno\n"
                             "0000:0070 70 71 72 73 74 75 76 77 - 78 79 7a 7b 7c 7d 7e 7f   pqrstuvwxyz{|}~\x7f\n"
                             "0000:0080 80 81 82 83 84 85 86 87 - 88 89 8a 8b 8c 8d 8e 8f   "
                             "\x80\x81\x82\x83\x84\x85\x86\x87\x88\x89\x8a\x8b\x8c\x8d\x8e\x8f\n"
                             "0000:0090 90 91 92 93 94 95 96 97 - 98 99 9a 9b 9c 9d 9e 9f   "
                             "\x90\x91\x92\x93\x94\x95\x96\x97\x98\x99\x9a\x9b\x9c\x9d\x9e\x9f\n-"
                             "0000:00a0 a0 a1 a2 a3 a4 a5 a6 a7 - a8 a9 aa ab ac ad ae af   "
                             "\xa0\xa1\xa2\xa3\xa4\xa5\xa6\xa7\xa8\xa9\xaa\xab\xac\xad\xae\xaf\n"
                             "0000:00b0 b0 b1 b2 b3 b4 b5 b6 b7 - b8 b9 ba bb bc bd be bf   "
                             "\xb0\xb1\xb2\xb3\xb4\xb5\xb6\xb7\xb8\xb9\xba\xbb\xbc\xbd\xbe\xbf\n"
                             "0000:00c0 c0 c1 c2 c3 c4 c5 c6 c7 - c8 c9 ca cb cc cd ce cf   "
                             "\xc0\xc1\xc2\xc3\xc4\xc5\xc6\xc7\xc8\xc9\xca\xcb\xcc\xcd\xce\xcf\n"
                             "0000:00d0 d0 d1 d2 d3 d4 d5 d6 d7 - d8 d9 da db dc dd de df   "
                             "\xd0\xd1\xd2\xd3\xd4\xd5\xd6\xd7\xd8\xd9\xda\xdb\xdc\xdd\xde\xdf\n"
                             "0000:00e0 e0 e1 e2 e3 e4 e5 e6 e7 - e8 e9 ea eb ec ed ee ef   "
                             "\xe0\xe1\xe2\xe3\xe4\xe5\xe6\xe7\xe8\xe9\xea\xeb\xec\xed\xee\xef\n"
                             "0000:00f0 f0 f1 f2 f3 f4 f5 f6 f7 - f8 f9 fa fb fc fd fe ff   "
                             "\xf0\xf1\xf2\xf3\xf4\xf5\xf6\xf7\xf8\xf9\xfa\xfb\xfc\xfd\xfe\xff\n"
                             "0000:0100 ff 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   \xff...............\n-");
}

TEST(Dump, StopsAfterTheLineThatPassesTheData)
{
    // The end slot at the very end of a line does not stop the dump.
    EXPECT_EQ(dumps(session(counting(15), "d 0\nq\n").out), (runs{labels(0x00, 2)}));
    EXPECT_EQ(dumps(session(counting(31), "d 0\nq\n").out), (runs{labels(0x00, 3)}));

    // A tenth line that passes the data ends the request; the next starts afresh.
    EXPECT_EQ(dumps(session(counting(150), "d 0\nd 0\nd 0\nq\n").out),
              (runs{labels(0, 10), labels(0, 10), labels(0, 10)}));

    // Dumps in a row go on where the last stopped, until the data ends.
    EXPECT_EQ(dumps(session(counting(400), "d\nd\nd\nd\nd 0\nq\n").out),
              (runs{labels(0x00, 10), labels(0xa0, 10), labels(0x140, 6), labels(0x1a0, 1), labels(0, 10)}));
}

TEST(Dump, GoToTheEnd)
{
    auto r = session(counting(200), "f\nq\n");
    EXPECT_EQ(dumps(r.out), (runs{labels(0x7d, 5)}));
    EXPECT_NE(r.out.find("0000:00bd bd be bf c0 c1 c2 c3 c4 - c5 c6 c7 ff 00 00 00 00   "
                         "\xbd\xbe\xbf\xc0\xc1\xc2\xc3\xc4\xc5\xc6\xc7\xff....\n-"),
              std::string::npos)
        << r.out;

    // Shorter than 75 bytes: f shows the data from its start.
    auto shorter = session("ABCDEFGHIJ", "f 30\nq\n");
    EXPECT_EQ(shorter.out, banner("f.bin", 10) +
                               "-0000:0000 41 42 43 44 45 46 47 48 - 49 4a ff 00 00 00 00 00   ABCDEFGHIJ\xff.....\n-");
}

TEST(Dump, PositionsOutsideTheBufferShowAsBlanks)
{
    const std::string abc = "0000:0000 41 42 43 ff 00 00 00 00 - 00 00 00 00 00 00 00 00   ABC\xff............\n";
    std::string after_wrap;
    for (unsigned i = 0; i < 10; ++i) {
        char label[16];
        std::snprintf(label, sizeof label, "%x", 0x8000000fu + 16 * i);
        after_wrap += blank_line(label);
    }
    auto far = session("ABC", "d 7fffffff\nd\nd 0\nq\n");
    EXPECT_EQ(far.out, banner("f.bin", 3) + "-" + blank_line("7fffffff") + "-" + after_wrap + "-" + abc + "-");
    EXPECT_EQ(far.status, 0);
    EXPECT_EQ(far.signal, 0);

    // The last line of the buffer: its slot 5,000,000 is the last one shown.
    auto edge = session("ABC", "d 4c4b35\nq\n");
    EXPECT_EQ(edge.out, banner("f.bin", 3) + "-0000:4c4b35 00 00 00 00 00 00 00 00 - 00 00 00 00" +
                            std::string(12, ' ') + "   ............    \n-");
}

TEST(Interpreter, DisplayReadsItsNumberFromTheThirdCharacter)
{
    IN_PROCESS_ONLY();
    auto st = std::make_unique<editor_state>();
    st->data_count = 0x300;
    const std::pair<const char*, int32_t> cases[] = {
        {"d 0", 0},         {"d 00", 0},     {"d", 0x40},      {"d0", 0x40},     {"d  0", 0x40},
        {"d 10", 0x10},     {"d 0x10", 0x10}, {"dx10", 0x10},   {"d -5", 0x40},   {"d ffffffff", 0x40},
        {"d 80000000", 0x40}, {"d zz", 0x40}, {"d 7fffffff", 0x7fffffff}, {"f 10", 0x300 - 75},
    };
    for (auto [line, where] : cases) {
        st->cursor = st->addr_counter = 0x40;
        int code = -2;
        EXPECT_EQ(interpret_line(*st, line, &code), "") << line;
        EXPECT_EQ(code, RESULT_DUMP) << line;
        EXPECT_EQ(st->cursor, where) << line;
        EXPECT_EQ(st->addr_counter, where) << line;
    }
}

TEST(Interpreter, HistoryListsTheTenMostRecentLines)
{
    IN_PROCESS_ONLY();
    auto st = std::make_unique<editor_state>();
    EXPECT_EQ(interpret_line(*st, "h"), "");
    for (const char* line : {"a", "b", "c"})
        interpret_line(*st, line);
    EXPECT_EQ(interpret_line(*st, "h"), "1: b\n2: c\n");

    // h, ! and a leading blank are not recorded; the empty line is.
    for (const char* line : {"h", "!2", " d 0", "", "x y"})
        interpret_line(*st, line);
    EXPECT_EQ(interpret_line(*st, "h"), "1: b\n2: c\n3: \n4: x y\n");

    auto full = std::make_unique<editor_state>();
    for (int i = 1; i <= 15; ++i) {
        std::string line = "x";
        line += std::to_string(i);
        interpret_line(*full, line);
    }
    std::string expected;
    for (int i = 1; i <= 10; ++i)
        expected += std::to_string(i) + ": x" + std::to_string(i + 5) + "\n";
    EXPECT_EQ(interpret_line(*full, "h"), expected);
    EXPECT_EQ(full->history_count, 11);
}

TEST(Interpreter, HelpAndVersion)
{
    auto r = session("ABC", "?\nv\nq\n");
    EXPECT_EQ(r.out, banner("f.bin", 3) + "-" + help_text + "-Version 2.10 (C)\n-");
}

TEST(Interpreter, OtherLinesDoNothingAndPrintNothing)
{
    auto r = session("ABC", "D 0\nQ\nn 2\n!2\n-d 10\nF\nZ\n\n d 0\nh\nq\n");
    EXPECT_EQ(r.out, banner("f.bin", 3) + std::string(10, '-') + "1: Q\n2: n 2\n3: -d 10\n4: F\n5: Z\n6: \n-");
    EXPECT_EQ(r.status, 0);
}
