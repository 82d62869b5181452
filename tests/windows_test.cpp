// What only the Windows build meets: names in Unicode, paths with
// backslashes and drive letters, names that differ only in case, a file
// that another program holds open, a script read byte for byte, and the
// programs themselves. Run through wine, like the rest of the suite,
// against the Windows programs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "run.hpp"

namespace {

// A path as a person at a Windows console writes it: the drive that holds
// the folder (Z:, all of the Linux file system, under wine), backslashes.
std::string windows_path(const fs::path& p)
{
    std::string path = "Z:" + p.string();
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::vector<std::string> names_in(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The DLLs a Windows program imports, from its import table (PE32+).
std::vector<std::string> imports_of(const std::string& program)
{
    std::ifstream in(program, std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    const std::string image = whole.str();
    auto number = [&](size_t at, size_t size) {
        uint64_t value = 0;
        for (size_t i = 0; i < size && at + i < image.size(); ++i)
            value |= uint64_t{static_cast<unsigned char>(image[at + i])} << (8 * i);
        return value;
    };
    size_t pe = number(0x3c, 4), optional = pe + 24;
    size_t sections = optional + number(pe + 20, 2), count = number(pe + 6, 2);
    uint64_t table = number(optional + 112 + 8, 4); // data directory 1, for PE32+
    // The place in the file of an address in the image, through its section.
    auto offset = [&](uint64_t address) -> size_t {
        for (size_t i = 0; i < count; ++i) {
            size_t header = sections + 40 * i;
            uint64_t start = number(header + 12, 4), size = number(header + 8, 4), raw = number(header + 20, 4);
            if (address >= start && address < start + size)
                return raw + (address - start);
        }
        return image.size();
    };
    std::vector<std::string> names;
    for (size_t entry = offset(table); entry + 20 <= image.size() && number(entry + 12, 4) != 0; entry += 20) {
        size_t name = offset(number(entry + 12, 4));
        std::string dll = name < image.size() ? std::string(image.c_str() + name) : "?";
        std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return std::tolower(c); });
        names.push_back(dll);
    }
    return names;
}

std::string hold_program()
{
    return (fs::path(voxa_program()).parent_path() / "hold.exe").string();
}

} // namespace

TEST(Windows, NamesInUnicodeWithBackslashesADriveOrAnotherCase)
{
    if (build_platform() != "windows")
        GTEST_SKIP() << "for the Windows build";
    struct row {
        const char* what;
        std::string file, argument;  // the file on disk, and as it is named
        std::string backup, shown;   // the backup on disk, and as it is named
    };
    temp_dir dir;
    std::string deep;
    for (int i = 0; i < 12; ++i)
        deep += "a folder whose name is long/";
    for (const auto& [what, file, argument, backup, shown] : std::vector<row>{
             {"a name in French", "données.bin", "données.bin", "données.7in", "données.7in"},
             {"a name in Russian", "файл.bin", "файл.bin", "файл.7in", "файл.7in"},
             {"a character of two bytes after the dot", "x.été", "x.été", "x.7té", "x.7té"},
             {"backslashes", "sub/x.bin", "sub\\x.bin", "sub/x.7in", "sub\\x.7in"},
             {"a drive letter", "x.bin", windows_path(dir.path / "x.bin"), "x.7in", windows_path(dir.path / "x.7in")},
             {"a dot in a folder's name", "v1.2/data", "v1.2\\data", "v1.2/data7", "v1.2\\data7"},
             {"another case", "Data.bin", "DATA.BIN", "DATA.7IN", "DATA.7IN"},
             {"a path longer than 260 characters", deep + "x.bin", deep + "x.bin", deep + "x.7in", deep + "x.7in"},
         }) {
        SCOPED_TRACE(what);
        fs::remove_all(dir.path);
        fs::create_directories(dir.path / fs::path(file).parent_path());
        dir.write(file, "ABC");
        auto r = run_in(dir, voxa_program(), {argument}, "e 0 5a\nw\ny\nq\n");
        EXPECT_EQ(r.out, banner(argument, 3) + "--" + question + written(argument, shown) + "-");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(dir.read(file), "ZBC");
        EXPECT_EQ(dir.read(backup), "ABC");
        // One file and its backup, whatever the spelling.
        EXPECT_EQ(names_in((dir.path / file).parent_path()).size(), 2u);
    }
}

TEST(Windows, AFileHeldOpenWithoutSharingIsRefusedWithTheSystemsReason)
{
    if (build_platform() != "windows")
        GTEST_SKIP() << "for the Windows build";
    temp_dir dir;
    dir.write("x.bin", "ABC");
    dir.write("x.7in", "older");
    running editor(dir, voxa_program(), {"x.bin"});
    ASSERT_TRUE(editor.wait_for(banner("x.bin", 3) + "-"));
    {
        running holder(dir, hold_program(), {"x.bin"});
        ASSERT_TRUE(holder.wait_for("held\n"));
        editor.send("e 0 5a\nw\ny\n");
        ASSERT_TRUE(editor.wait_for(question + "ERROR: can't write file x.bin ("));
        ASSERT_TRUE(editor.wait_for("), the file is left as it was...\n-"));
        EXPECT_EQ(dir.read("x.bin"), "ABC");
        EXPECT_EQ(dir.read("x.7in"), "older");
        EXPECT_EQ(holder.finish().status, 0);
    }
    // Once the other program lets it go, the write lands.
    editor.send("w\ny\n");
    auto done = editor.finish();
    EXPECT_EQ(done.status, 0) << done.out;
    EXPECT_EQ(dir.read("x.bin"), "ZBC");
    EXPECT_EQ(dir.read("x.7in"), "ABC");
    EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"x.7in", "x.bin"}));
}

// At a console (wine's, on a terminal that tmux keeps): the dump's column
// shows a dot for every byte below 0x20 or from 0x7f on, names show in
// UTF-8, and leaving with changes not written asks first.
TEST(Windows, AtAConsole)
{
    if (build_platform() != "windows" || !prefixed())
        GTEST_SKIP() << "for the Windows build, under wine";
    if (!have_tmux())
        GTEST_SKIP() << "needs tmux";
    temp_dir dir;
    dir.write("données.bin", std::string("A\x01\x7f\x80\xff", 5));
    tmux_terminal t(dir);
    t.start("/usr/bin/env", "wine '" + voxa_program() + "' données.bin");
    ASSERT_TRUE(t.shows("Please Wait... Loading données.bin into memory\n 5 Bytes Loaded into memory.\n"
                        " Note! Use '?' for command HELP.\n-"))
        << t.screen;
    t.type("d");
    t.press("Enter");
    ASSERT_TRUE(t.shows("0000:0000 41 01 7f 80 ff ff 00 00 - 00 00 00 00 00 00 00 00   A...............\n-"))
        << t.screen;
    t.type("e 0 5a");
    t.press("Enter");
    t.type("q");
    t.press("Enter");
    ASSERT_TRUE(t.shows("-q\nChanges not written. Leave anyway? Y/[N]")) << t.screen;
    t.type("y");
    t.press("Enter");
    EXPECT_EQ(t.status(), 0);
    EXPECT_EQ(dir.read("données.bin"), std::string("A\x01\x7f\x80\xff", 5));
}

// What Windows users meet around a write, and what they have of the
// programs: each row fails on a build that does not handle it.
TEST(Windows, AroundTheWrite)
{
    if (build_platform() != "windows" || !prefixed())
        GTEST_SKIP() << "for the Windows build, under wine";
    struct row {
        const char* what;
        std::function<void()> check;
    };
    for (const auto& [what, check] : std::vector<row>{
             {"a Ctrl-Z (0x1a) inside a line of a script is data, as on Linux: the script runs to its end",
              [] {
                  temp_dir dir;
                  dir.write("x.bin", "ABC");
                  auto r = run_in(dir, voxa_program(), {"x.bin"}, "e 0 5a\nw\ny\ne 1 59\x1a\nw\ny\nq\n");
                  EXPECT_EQ(r.out, banner("x.bin", 3) + "--" + question + written("x.bin", "x.7in") + "--" + question +
                                       written("x.bin", "x.7in") + "-");
                  EXPECT_EQ(r.status, 0);
                  EXPECT_EQ(dir.read("x.bin"), "ZYC");
              }},
             {"a virus scanner holds the file, or its backup, for a second as the write begins: the write "
              "waits for it, and lands",
              [] {
                  for (const char* held : {"x.bin", "x.7in"}) {
                      SCOPED_TRACE(held);
                      temp_dir dir;
                      dir.write("x.bin", "ABC");
                      dir.write("x.7in", "older");
                      running editor(dir, voxa_program(), {"x.bin"});
                      ASSERT_TRUE(editor.wait_for(banner("x.bin", 3) + "-"));
                      running scanner(dir, hold_program(), {held, "1000"});
                      ASSERT_TRUE(scanner.wait_for(std::string("held ") + held + "\n"));
                      editor.send("e 0 5a\nw\ny\n");
                      auto r = editor.finish();
                      EXPECT_EQ(r.out, banner("x.bin", 3) + "--" + question + written("x.bin", "x.7in") + "-");
                      EXPECT_EQ(r.status, 0);
                      EXPECT_EQ(scanner.finish().status, 0);
                      EXPECT_EQ(dir.read("x.bin"), "ZBC");
                      EXPECT_EQ(dir.read("x.7in"), "ABC");
                      EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"x.7in", "x.bin"}));
                  }
              }},
             {"a name that is a link to a file in another folder: each write lands there, the link stays",
              [] {
                  temp_dir dir;
                  fs::create_directories(dir.path / "A");
                  fs::create_directories(dir.path / "B");
                  dir.write("A/file.bin", "ABC");
                  fs::create_symlink("../A/file.bin", dir.path / "B/link.bin");
                  auto r = run_in(dir, voxa_program(), {"B\\link.bin"}, "e 0 5a\nw\ny\ne 1 59\nw\ny\nq\n");
                  EXPECT_EQ(r.out, banner("B\\link.bin", 3) + "--" + question + written("B\\link.bin", "B\\link.7in") +
                                       "--" + question + written("B\\link.bin", "B\\link.7in") + "-");
                  EXPECT_EQ(r.status, 0);
                  EXPECT_EQ(dir.read("A/file.bin"), "ZYC");
                  EXPECT_EQ(dir.read("B/link.7in"), "ZBC");
                  EXPECT_TRUE(fs::is_symlink(dir.path / "B/link.bin"));
                  EXPECT_EQ(names_in(dir.path / "A"), (std::vector<std::string>{"file.bin"}));
                  EXPECT_EQ(names_in(dir.path / "B"), (std::vector<std::string>{"link.7in", "link.bin"}));
              }},
             {"a rewrite in place torn by a file size limit, the file's other name then removed: the next "
              "session keeps the backup that the mark names, and its write lands over the file it holds open",
              [] {
                  temp_dir dir;
                  dir.write("x.bin", std::string(1000, 'x'));
                  fs::create_hard_link(dir.path / "x.bin", dir.path / "x.link");
                  dir.write("more.bin", std::string(5000, 'm'));
                  auto torn = run_in(dir, voxa_program(), {"x.bin"}, "i 0 more.bin\nw\ny\nq\n", file_size_limit(4096));
                  ASSERT_EQ(torn.status, 1) << torn.out;
                  ASSERT_EQ(dir.read("x.7in"), std::string(1000, 'x'));
                  fs::remove(dir.path / "x.link");
                  const std::string backup = windows_path(dir.path / "x.7in");
                  std::string torn_size = std::to_string(fs::file_size(dir.path / "x.bin"));
                  auto r = run_in(dir, voxa_program(), {"x.bin"}, "l 0 100\nw\ny\nq\n");
                  EXPECT_EQ(r.out, banner("x.bin", std::stol(torn_size)) + "ERROR: the last write of x.bin did not finish: "
                                       "its old contents are in " + backup + ", which w keeps...\n-data_count = " +
                                       std::to_string(std::stol(torn_size) - 100) + " \n-" + question + "Backup " +
                                       backup + " kept: it holds the file as it was before the failed write. \n"
                                       "Please Wait... Writing new file x.bin. \n-");
                  EXPECT_EQ(r.status, 0);
                  EXPECT_EQ(dir.read("x.7in"), std::string(1000, 'x'));
                  EXPECT_EQ(fs::file_size(dir.path / "x.bin"), std::stoul(torn_size) - 100);
                  EXPECT_EQ(names_in(dir.path), (std::vector<std::string>{"more.bin", "x.7in", "x.bin"}));
              }},
             {"names that differ only in case (a case-sensitive folder): the new file can take neither the "
              "name nor give it back, and both files stay, named",
              [] {
                  temp_dir dir;
                  dir.write("data.bin", "ABC");
                  dir.write("DATA.BIN", "another");
                  auto r = run_in(dir, voxa_program(), {"data.bin"}, "e 0 5a\nw\ny\nq\n");
                  std::vector<std::string> names = names_in(dir.path);
                  ASSERT_EQ(names.size(), 3u) << r.out;
                  const std::string fresh = names[0]; // ".voxa-" sorts first
                  ASSERT_EQ(fresh.rfind(".voxa-", 0), 0u);
                  EXPECT_EQ(names[1], "DATA.BIN");
                  EXPECT_EQ(names[2], "data.7in");
                  EXPECT_EQ(any_reason(r.out), banner("data.bin", 3) + "--" + question +
                                                   written("data.bin", "data.7in") +
                                                   "ERROR: can't write file data.bin (...): the old file is kept as " +
                                                   windows_path(dir.path / "data.7in") + ", the new one as " +
                                                   windows_path(dir.path / fresh) + "...\n-");
                  EXPECT_EQ(r.status, 1);
                  EXPECT_EQ(dir.read(fresh), "ZBC");
                  EXPECT_EQ(dir.read("data.7in"), "ABC");
                  EXPECT_EQ(dir.read("DATA.BIN"), "another");
              }},
             {"the programs import no SHELL32, USER32 or GDI32, so that a logoff or a shutdown reaches them",
              [] {
                  for (const std::string& program : {voxa_program(), package_program()}) {
                      std::vector<std::string> dlls = imports_of(program);
                      EXPECT_FALSE(dlls.empty()) << program;
                      for (const char* unwanted : {"shell32.dll", "user32.dll", "gdi32.dll"})
                          EXPECT_EQ(std::count(dlls.begin(), dlls.end(), unwanted), 0) << program << ": " << unwanted;
                  }
              }},
         }) {
        SCOPED_TRACE(what);
        check();
    }
}
