// Search and replace (s, r), byte edit (e) and delete (l): end to end for
// the exact output, in process for state and for the buffer's last slots.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "commands.hpp"
#include "run.hpp"

namespace {

const std::string found_hint = "Use 'd [offset]' to display 'Found' values:  (ie: -d 7732 ) \n";
const std::string bad_replace = "ERROR: bad replace command (use ? for help) \n" + found_hint;

// What the editor printed after its load report, for `data` loaded whole.
std::string session(const std::string& data, const std::string& script, const std::vector<std::string>& more = {})
{
    std::vector<std::string> args{"f"};
    args.insert(args.end(), more.begin(), more.end());
    auto r = run_with({{"f", data}}, voxa_program(), args, script + "q\n");
    EXPECT_EQ(r.files.at("f"), data) << "nothing reaches the disk without w";
    auto end = r.out.find("HELP. \n");
    return end == std::string::npos ? r.out : r.out.substr(end + 7);
}

// Const, so that "-" + found(...) copies rather than inserts in place: g++ 12
// at -O3 warns wrongly about the insert (-Wrestrict).
const std::string found(std::initializer_list<const char*> offsets)
{
    std::string s;
    for (const char* o : offsets)
        s += std::string("Found at ") + o + "\n";
    return s + found_hint;
}

struct in_process {
    std::unique_ptr<editor_state> st = std::make_unique<editor_state>();
    std::string run(const std::string& line)
    {
        int code = 0;
        std::string printed = interpret_line(*st, line, &code);
        EXPECT_EQ(code, RESULT_PROMPT) << line;
        return printed;
    }
};

} // namespace

TEST(Search, ReportsOverlappingPlacesInOrder)
{
    EXPECT_EQ(session("01231234", "s 0 ffff 31 32 33\n"), "-" + found({"0001", "0004"}) + "-");
    EXPECT_EQ(session("AAAB", "s 0 ffff 41 41\nsearch 0 ffff 41 41\n"),
              "-" + found({"0000", "0001"}) + "-" + found({"0000", "0001"}) + "-");
    // Runs of blanks, blanks at the end; a tab belongs to its token.
    EXPECT_EQ(session("1x1", "s   0   ffff   31   \n"), "-" + found({"0000"}) + "-");
    EXPECT_EQ(session("AC", "s 0 ffff 41\t42\ns\t5 0 ffff 41\n"), "-" + found({"0000"}) + "-" + found({"0000"}) + "-");
    // On a search line n is a number, 0.
    EXPECT_EQ(session(bytes({0x31, 0, 0x37, 0}), "s 0 ffff 31 n 37\n"), "-" + found({"0000"}) + "-");
}

TEST(Search, TheRangeEndsBeforeEndoffsetAndTheLastDataByte)
{
    EXPECT_EQ(session("123", "s 0 ffff 33\ns 0 ffff 32 33\ns 0 3 32 33\ns 0 1 31 32\ns 0 ffff 32 33 ff\n"
                             "s 0 ffff 31\ns 0 1 32\ns 0 2 32\n"),
              "-" + found_hint + "-" + found({"0001"}) + "-" + found({"0001"}) + "-" + found({"0000"}) + "-" +
                  found({"0001"}) + "-" + found({"0000"}) + "-" + found_hint + "-" + found({"0001"}) + "-");
    std::string wide(200, '.');
    for (size_t at : {0, 30, 63, 100, 127, 197})
        wide.replace(at, 3, "ABC");
    wide.replace(140, 2, "AB");
    EXPECT_EQ(session(wide, "s 0 ffff 41 42 43\ns 3f 7f 41 42 43\ns 40 c5 41 42\n"),
              "-" + found({"0000", "001e", "003f", "0064", "007f", "00c5"}) + "-" + found({"003f", "0064"}) + "-" +
                  found({"0064", "007f", "008c"}) + "-");
    // Nothing to compare: no values, an empty range, no data.
    EXPECT_EQ(session("111", "s\ns 100\ns 5 2 31\n"), "-" + found_hint + "-" + found_hint + "-" + found_hint + "-");
    EXPECT_EQ(session("", "s 0 ffff ff\n"), "-" + found_hint + "-");
}

TEST(Search, APlaceAtEveryOffsetOfTheScansSteps)
{
    IN_PROCESS_ONLY();
    // A place at each offset of the scan's first steps of 64 offsets and of
    // what follows them; places astride the steps, a pair without its third
    // value, a range that ends within a step, the last place possible.
    in_process ed;
    ed.st->data_count = 200;
    for (size_t at = 0; at < 200; ++at)
        ed.st->edit_buffer[at] = '.';
    for (size_t at = 0; at < 198; ++at) {
        for (size_t i = 0; i < 3; ++i)
            ed.st->edit_buffer[at + i] = static_cast<unsigned char>('A' + i);
        char offset[8];
        std::snprintf(offset, sizeof offset, "%04zx", at);
        EXPECT_EQ(ed.run("s 0 ffff 41 42 43"), found({offset}));
        for (size_t i = 0; i < 3; ++i)
            ed.st->edit_buffer[at + i] = '.';
    }
}

TEST(Search, ValuesCompareAsSixteenBitNumbers)
{
    const std::string data = bytes({0x31, 0xff, 0x31, 0x32});
    EXPECT_EQ(session(data, "s 0 ffff 131\ns 0 ffff ffff\ns 0 ffff ff\ns 0 ffff 10031\ns 0 ffff 31\n"),
              "-" + found_hint + "-" + found_hint + "-" + found({"0001"}) + "-" + found({"0000", "0002"}) + "-" +
                  found({"0000", "0002"}) + "-");
    const std::string six = "123457";
    EXPECT_EQ(session(six, "s 0 ffff 31 32 33 34 35 36\ns 0 ffff 31 32 33 34 35 36 37 38\n"),
              "-ERROR: 5 search chars max...\n" + found({"0000"}) + "-ERROR: 5 search chars max...\n" +
                  found({"0000"}) + "-");
}

TEST(Replace, StoresEachPlaceBeforeTheNextIsTried)
{
    // The first replacement makes the second place; the next one removes one.
    EXPECT_EQ(session("122@", "r 0 ffff 31 32 n 32 31\nd 0\n"),
              "-" + found({"0000", "0001"}) +
                  "-0000:0000 32 32 31 40 ff 00 00 00 - 00 00 00 00 00 00 00 00   221@\xff...........\n-");
    EXPECT_EQ(session("1110", "r 0 ffff 31 31 n 32 32\nd 0\n"),
              "-" + found({"0000"}) +
                  "-0000:0000 32 32 31 30 ff 00 00 00 - 00 00 00 00 00 00 00 00   2210\xff...........\n-");
    // Windows reach into the end slot and past it.
    EXPECT_EQ(session("123", "r 0 ffff 32 33 ff 00 n 41 42 43 44\nd 0\n"),
              "-" + found({"0001"}) +
                  "-0000:0000 31 41 42 43 44 00 00 00 - 00 00 00 00 00 00 00 00   1ABCD...........\n-");
    // Low 8 bits stored, new values of any length, extra ones not read.
    EXPECT_EQ(session("AB12312", "r 0 ffff 41 n 142\nr 0 ffff 31 32 33 n 37 38 39 3a 3b\nr 0 ffff 31 32 n 132 33\nd 0\n"),
              "-" + found({"0000"}) + "-" + found({"0002"}) + "-" + found({"0005"}) +
                  "-0000:0000 42 42 37 38 39 32 33 ff - 00 00 00 00 00 00 00 00   BB78923\xff........\n-");
    EXPECT_EQ(session("1234567", "r 0 ffff 31 32 33 34 35 36 n 41 42 43 44 45 46\nd 0\n"),
              "-ERROR: 5 search chars max...\n" + found({"0000"}) +
                  "-0000:0000 41 42 43 44 45 36 37 ff - 00 00 00 00 00 00 00 00   ABCDE67\xff........\n-");
}

TEST(Replace, MalformedLinesChangeNothing)
{
    EXPECT_EQ(session("111", "r 0 ffff 31\nr 0 ffff n 41\nr 0 ffff 31 n41\nrn 0 ffff 31\nr 0 ffff 31 31 n 41\n"
                             "r 0 ffff 31 31 n 41 n\nd 0\n"),
              "-ERROR: no 'n' found in replace command (use ? for help) \n" + found_hint + "-" + bad_replace + "-" +
                  bad_replace + "-" + bad_replace + "-" + bad_replace + "-" + bad_replace +
                  "-0000:0000 31 31 31 ff 00 00 00 00 - 00 00 00 00 00 00 00 00   111\xff............\n-");
}

TEST(Replace, MalformedLinesKeepTheOffsetsOfTheLastSearch)
{
    IN_PROCESS_ONLY();
    in_process ed;
    ed.st->data_count = 10;
    ed.st->edit_buffer.set_all(0x31);
    ed.run("s 1 5");
    for (const char* line : {"r 3 7 31", "r 3 7 n 41", "r 3 7 31 n41", "r 3 7 31 31 n 41", "r 3 7 31 31 n 41 n"}) {
        EXPECT_EQ(ed.run(line).find("Found at"), std::string::npos) << line;
        EXPECT_EQ(ed.st->begoffset, 1) << line;
        EXPECT_EQ(ed.st->endoffset, 5) << line;
    }
    EXPECT_EQ(ed.st->edit_buffer[3], 0x31);
}

TEST(Search, OffsetsAreKeptAndKeptInsideTheBuffer)
{
    IN_PROCESS_ONLY();
    in_process ed;
    ed.st->data_count = 3;
    ed.st->edit_buffer[0] = 0x41;
    ed.run("s 0 3 41");
    EXPECT_EQ(ed.st->endoffset, 2); // the cut value is what is kept
    ed.run("s 1");
    EXPECT_EQ(ed.st->begoffset, 1);
    EXPECT_EQ(ed.st->endoffset, 2);
    EXPECT_EQ(ed.run("s -3 ffff 41"), found({"0000"}));
    EXPECT_EQ(ed.st->begoffset, 0);
    EXPECT_EQ(ed.run("r ffffffff ffff 41 n 42"), found({"0000"}));
    EXPECT_EQ(ed.st->begoffset, 0);
    EXPECT_EQ(ed.st->edit_buffer[0], 0x42);
    ed.st->data_count = 0;
    ed.run("s 0 5");
    EXPECT_EQ(ed.st->endoffset, -1);

    // A full buffer: windows that would pass its last slot are skipped.
    ed.st->data_count = buffer_limit;
    ed.st->edit_buffer.set_all(0);
    EXPECT_EQ(ed.run("s 4c4b3a ffffff 0 0 0 0 0"), found({"4c4b3a", "4c4b3b", "4c4b3c"}));
    EXPECT_EQ(ed.run("s 4c4b3d ffffff 0 0 0 0"), found({"4c4b3d"}));
    EXPECT_EQ(ed.run("r 4c4b3d ffffff 0 0 0 0 n 1 1 1 1"), found({"4c4b3d"}));
    EXPECT_EQ(ed.st->edit_buffer[buffer_limit], 1);
    EXPECT_EQ(ed.st->data_count, buffer_limit);
}

TEST(Edit, SetsOneByte)
{
    const std::string script = "e 0002 77\ne 10\ne 11 41\ne 12 41\ne 12 41 \ne 6 43\ne 2 141\ne 3 -1\n"
                               "e 4 99 fe\nex5 35\ne\ne\t7 99\nd 0\nd 10\n";
    EXPECT_EQ(session("ABCDEF", script),
              "-------------0000:0000 35 42 41 ff fe 35 43 99 - 00 00 00 00 00 00 00 00   5BA\xff\xfe" "5C\x99........\n"
              "-0000:0010 10 41 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   .A..............\n-");
    // edit_value is 0 at start; a refused offset keeps it and changes nothing.
    EXPECT_EQ(session("ABC", "e\nd 0\ne 1 42\ne -1 55\ne 4c4b41 55\ne\nd 0\n"),
              "--0000:0000 00 42 43 ff 00 00 00 00 - 00 00 00 00 00 00 00 00   .BC\xff............\n"
              "--ERROR: offset outside the buffer...\n-ERROR: offset outside the buffer...\n"
              "--0000:0000 42 42 43 ff 00 00 00 00 - 00 00 00 00 00 00 00 00   BBC\xff............\n-");
}

TEST(Edit, TheBuffersLastSlotTakesAByte)
{
    IN_PROCESS_ONLY();
    in_process ed;
    ed.st->data_count = 3;
    EXPECT_EQ(ed.run("e 4c4b40 7a"), "");
    EXPECT_EQ(ed.st->edit_buffer[buffer_limit], 0x7a);
    EXPECT_EQ(ed.st->data_count, 3);
}

TEST(Edit, RefusedAfterANonZeroStartbyte)
{
    const std::string refusal = "Can only edit a file smaller than 5000000 bytes.";
    EXPECT_EQ(session("0123456789", "e 0 41\ne 1\nr 0 ffff 34 n 5a\nd 0\n", {"5"}),
              "-" + refusal + "0000:0005 34 35 36 37 38 39 ff 00 - 00 00 00 00 00 00 00 00   456789\xff.........\n-" +
                  refusal + "0000:0015 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n-" +
                  found({"0000"}) +
                  "-0000:0000 5a 35 36 37 38 39 ff 00 - 00 00 00 00 00 00 00 00   Z56789\xff.........\n-");
    EXPECT_EQ(session("AB", "e 0 43\n", {"1"}),
              "-" + refusal + "0000:0001 41 42 ff 00 00 00 00 00 - 00 00 00 00 00 00 00 00   AB\xff.............\n-");
}

TEST(Delete, MovesTheRestAndTheEndSlotDown)
{
    EXPECT_EQ(session("ABCDEF", "l 1 2\nd 0\n"),
              "-data_count = 4 \n-0000:0000 41 44 45 46 ff 00 00 00 - 00 00 00 00 00 00 00 00   ADEF\xff...........\n-");
    // The positions after the new end slot receive what lay after the old one.
    EXPECT_EQ(session("ABCDEF", "e 7 77\ne 8 78\nl 1 2\nd 0\n"),
              "---data_count = 4 \n-0000:0000 41 44 45 46 ff 77 78 77 - 78 00 00 00 00 00 00 00   ADEF\xffwxwx.......\n-");

    const std::string abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    EXPECT_EQ(session(abc, "l 10 1f\nl 10 5\nl 0 0\nl 5\nd 0\n"),
              "-data_count = 25 \n-data_count = 20 \n-data_count = 20 \n-data_count = 15 \n"
              "-0000:0000 41 42 43 44 45 4b 4c 4d - 4e 4f 50 57 58 59 5a ff   ABCDEKLMNOPWXYZ\xff\n"
              "0000:0010 00 00 00 00 00 00 00 00 - 00 00 00 00 00 00 00 00   ................\n-");
    EXPECT_EQ(session(abc, "l 10\n"), "-data_count = 16 \n-");
}

TEST(Delete, RefusesLinesAndRangesItCannotRead)
{
    const std::string error = "command error, use ? for help...\n";
    const std::string outside = "ERROR: range outside the data...\n";
    EXPECT_EQ(session("ABCDEF", "l\nl \nl5\nl5x\nl -1 2\nl 0 -1\nl 5 2\nl 7 0\nl 0 99999999999\nd 0\n"),
              "-" + error + "-" + error + "-" + error + "-" + error + "-" + outside + "-" + outside + "-" + outside +
                  "-" + outside + "-" + outside +
                  "-0000:0000 41 42 43 44 45 46 ff 00 - 00 00 00 00 00 00 00 00   ABCDEF\xff.........\n-");
    EXPECT_EQ(session("ABCDEF", "l 4 2\nl 4 0\n"), "-data_count = 4 \n-data_count = 4 \n-");
}

// A full buffer: what would come from past its last slot is 0.
TEST(Delete, NothingComesFromPastTheBuffersLastSlot)
{
    IN_PROCESS_ONLY();
    in_process ed;
    ed.st->data_count = buffer_limit;
    ed.st->edit_buffer.set_all(0x61);
    ed.st->edit_buffer[buffer_limit] = 0xff;
    EXPECT_EQ(ed.run("l 0 3"), "data_count = 4999997 \n");
    EXPECT_EQ(ed.st->edit_buffer[buffer_limit - 4], 0x61);
    EXPECT_EQ(ed.st->edit_buffer[buffer_limit - 3], 0xff);
    for (int32_t at = buffer_limit - 2; at <= buffer_limit; ++at)
        EXPECT_EQ(ed.st->edit_buffer[at], 0) << at;
}

// What a person at a terminal is asked about before leaving: a command that
// changed a data byte or the data's length. Refusals, and stores that change
// no data byte, do not count.
TEST(Unsaved, OnlyAChangeToTheDataCounts)
{
    IN_PROCESS_ONLY();
    temp_dir dir;
    dir.write("two", "xy");
    dir.write("empty", "");
    const std::string two = (dir.path / "two").string(), empty = (dir.path / "empty").string();
    const std::pair<std::string, bool> rows[] = {
        {"e 1 42", false},      // the value it holds
        {"e 1 5a", true},
        {"e 3 5a", false},      // the end slot
        {"e 4c4b40 5a", false}, // the buffer's last slot
        {"e -1 5a", false},
        {"l 1 1", true},
        {"l 1 0", false},
        {"l 2 5", false},
        {"r 0 ffff 41 n 41", false},
        {"r 0 ffff 42 n 5a", true},
        {"r 0 ffff 5a n 41", false},
        {"r 0 ffff 41 42 n 5a", false}, // malformed
        {"s 0 ffff 41", false},
        {"i 0 " + two, true},
        {"i 3 " + two, true},
        {"i 0 " + empty, false},
        {"i 4 " + two, false},
        {"i 0 " + two + "-missing", false},
        {"o 2 " + two + " 0", true},
        {"o 3 " + two + " 0", false}, // over the end slot only
        {"o 0 " + empty + " 0", false},
    };
    for (const auto& [line, changed] : rows) {
        in_process ed;
        ed.st->data_count = 3;
        for (int at = 0; at < 4; ++at)
            ed.st->edit_buffer[at] = static_cast<unsigned char>("ABC\xff"[at]);
        ed.run(line);
        EXPECT_EQ(ed.st->unsaved, changed) << line;
    }
}
