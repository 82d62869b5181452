// What a write does when the file system around it is not what it expects:
// links, pipes and folders where files are expected, links to the file,
// backups that would leave the file's folder, a closed standard output, and
// what a script learns from the exit status.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "commands.hpp"
#include "run.hpp"

namespace {

fs::perms mode_of(const fs::path& p)
{
    return fs::symlink_status(p).permissions();
}

} // namespace

TEST(WriteSafety, WhatHoldsTheBackupNameIsReplacedNeverWrittenThrough)
{
    for (std::string kind : {"symbolic link", "hard link", "dangling link", "named pipe"}) {
        SCOPED_TRACE(kind);
        if (prefixed() && kind == "named pipe")
            continue; // there is none on another system's file system
        temp_dir dir;
        dir.write("d.bin", "ABCD");
        fs::create_directory(dir.path / "other");
        dir.write("other/victim.txt", "precious\n");
        fs::path backup = dir.path / "d.7in";
        if (kind == "symbolic link")
            fs::create_symlink("other/victim.txt", backup);
        else if (kind == "hard link")
            fs::create_hard_link(dir.path / "other/victim.txt", backup);
        else if (kind == "dangling link")
            fs::create_symlink("other/new.txt", backup);
        else
            ASSERT_EQ(mkfifo(backup.c_str(), 0600), 0);
        // No link or pipe is a backup of the file: the user is asked first
        // where backups carry their records.
        bool asks = build_has("records");
        auto r = run_in(dir, voxa_program(), {"d.bin"}, asks ? "e 0 5a\nw\ny\ny\nq\n" : "e 0 5a\nw\ny\nq\n", {}, 10);
        EXPECT_EQ(r.out, banner("d.bin", 4) + "--" + question +
                             (asks ? "d.7in is not a backup of d.bin. \nReplace it anyway? Y/[N]\n" : "") +
                             written("d.bin", "d.7in") + "-");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(dir.read("other/victim.txt"), "precious\n");
        EXPECT_EQ(fs::hard_link_count(dir.path / "other/victim.txt"), 1u);
        EXPECT_FALSE(fs::exists(dir.path / "other/new.txt"));
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(backup)));
        EXPECT_EQ(dir.read("d.7in"), "ABCD");
        EXPECT_EQ(dir.read("d.bin"), "ZBCD");
    }
}

TEST(WriteSafety, TheBackupStaysInTheFilesFolder)
{
    temp_dir dir;
    fs::create_directory(dir.path / "sub");
    dir.write("x.bin", "ABC");
    auto up = run_in(dir, voxa_program(), {"../x.bin"}, "e 0 5a\nw\ny\nq\n", [] { (void)chdir("sub"); });
    EXPECT_EQ(up.out, banner("../x.bin", 3) + "--" + question + written("../x.bin", "../x.7in") + "-");
    EXPECT_EQ(dir.read("x.bin"), "ZBC");
    EXPECT_EQ(dir.read("x.7in"), "ABC");

    // The rule on the whole path would name a file in another folder.
    fs::create_directory(dir.path / "v1.2");
    fs::create_directory(dir.path / "v1.7");
    dir.write("v1.2/data", "ABC");
    dir.write("v1.7/data", "other");
    auto across = run_in(dir, voxa_program(), {"v1.2/data"}, "e 0 5a\nw\ny\nq\n");
    EXPECT_EQ(across.out, banner("v1.2/data", 3) + "--" + question + written("v1.2/data", "v1.2/data7") + "-");
    EXPECT_EQ(dir.read("v1.7/data"), "other");
    EXPECT_EQ(dir.read("v1.2/data7"), "ABC");
    EXPECT_EQ(dir.read("v1.2/data"), "ZBC");

    // The rule on the whole path would make a name longer than a name may
    // be (./ becomes .7, joined to the name): the rule on the name instead.
    std::string name(254, 'n');
    dir.write(name, "ABC");
    auto longest = run_in(dir, voxa_program(), {"./" + name}, "e 0 5a\nw\ny\nq\n");
    EXPECT_EQ(longest.out, banner("./" + name, 3) + "--" + question + written("./" + name, "./" + name + "7") + "-");
    EXPECT_EQ(dir.read(name + "7"), "ABC");
    EXPECT_EQ(dir.read(name), "ZBC");
}

TEST(WriteSafety, LinksToTheFileKeepPointingAtIt)
{
    // A second hard link sees the new bytes: the file is rewritten in place.
    temp_dir dir;
    dir.write("x.bin", "ABC");
    fs::create_hard_link(dir.path / "x.bin", dir.path / "x.link");
    auto hard = run_in(dir, voxa_program(), {"x.bin"}, "e 0 5a\nw\ny\nq\n");
    EXPECT_EQ(hard.out, banner("x.bin", 3) + "--" + question + written("x.bin", "x.7in") + "-");
    EXPECT_EQ(dir.read("x.link"), "ZBC");
    EXPECT_EQ(fs::hard_link_count(dir.path / "x.bin"), 2u);
    EXPECT_EQ(dir.read("x.7in"), "ABC");

    // A symbolic link stays one: the file it points to is replaced.
    dir.write("real.bin", "ABC");
    fs::create_symlink("real.bin", dir.path / "link.bin");
    auto soft = run_in(dir, voxa_program(), {"link.bin"}, "e 0 5a\nw\ny\nq\n");
    EXPECT_EQ(soft.out, banner("link.bin", 3) + "--" + question + written("link.bin", "link.7in") + "-");
    EXPECT_TRUE(fs::is_symlink(dir.path / "link.bin"));
    EXPECT_EQ(dir.read("real.bin"), "ZBC");
    EXPECT_EQ(dir.read("link.7in"), "ABC");
}

TEST(WriteSafety, PermissionBitsAreKeptAndNoTemporaryFileIsLeft)
{
    NEEDS_FEATURE("bits", "permission bits");
    temp_dir dir;
    dir.write("x.bin", "ABC");
    const auto mode = static_cast<fs::perms>(0751);
    fs::permissions(dir.path / "x.bin", mode);
    auto r = run_in(dir, voxa_program(), {"x.bin"}, "e 0 5a\nw\ny\nq\n");
    EXPECT_EQ(mode_of(dir.path / "x.bin"), mode);
    EXPECT_EQ(mode_of(dir.path / "x.7in"), mode);
    EXPECT_EQ(r.files, (std::map<std::string, std::string>{{"x.bin", "ZBC"}, {"x.7in", "ABC"}}));

    // A backup never keeps set-id bits: an old program patched must not
    // stay runnable with its privilege under the backup's name, whichever
    // way the write lands.
    for (bool hard_link : {false, true}) {
        temp_dir setid;
        setid.write("p.bin", "ABC");
        fs::permissions(setid.path / "p.bin", static_cast<fs::perms>(06755));
        if (hard_link)
            fs::create_hard_link(setid.path / "p.bin", setid.path / "p.link");
        run_in(setid, voxa_program(), {"p.bin"}, "e 0 5a\nw\ny\nq\n");
        EXPECT_EQ(setid.read("p.bin"), "ZBC");
        EXPECT_EQ(mode_of(setid.path / "p.bin"), static_cast<fs::perms>(06755)) << hard_link;
        EXPECT_EQ(mode_of(setid.path / "p.7in"), static_cast<fs::perms>(0755)) << hard_link;
    }

    // package gives its copy the bits of the file it copies, less the umask.
    auto copy = run_in(dir, package_program(), {"make", "x.bin", "out.bin"}, "", [] { umask(027); });
    EXPECT_EQ(copy.status, 0);
    EXPECT_EQ(mode_of(dir.path / "out.bin"), static_cast<fs::perms>(0750));
}

TEST(WriteSafety, AFolderThatTakesNoNewFileIsRefused)
{
    // As a user who may write the file and its backup, but not the folder:
    // neither a new backup nor the mark of a rewrite in place can be made
    // there, and the old backup is nobody's to write into.
    LINUX_PROGRAMS_ONLY("another user");
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the editor as another user";
    // The program is run from a copy the other user can reach, wherever
    // the build lies.
    temp_dir bin;
    fs::permissions(bin.path, static_cast<fs::perms>(0755));
    fs::copy_file(voxa_program(), bin.path / "voxa");
    temp_dir dir;
    fs::permissions(dir.path, static_cast<fs::perms>(0755));
    dir.write("x.bin", "ABC");
    dir.write("x.7in", "older");
    for (const char* name : {"x.bin", "x.7in"}) {
        fs::permissions(dir.path / name, static_cast<fs::perms>(0666));
        ASSERT_EQ(chown((dir.path / name).c_str(), 65534, 65534), 0);
    }
    auto r = run_in(dir, (bin.path / "voxa").string(), {"x.bin"}, "e 0 5a\nw\ny\nq\n", [] {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(126);
    });
    EXPECT_EQ(r.out, banner("x.bin", 3) + "--" + question +
                         "ERROR: can't write backup x.7in (Permission denied), file not written...\n-");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.files, (std::map<std::string, std::string>{{"x.bin", "ABC"}, {"x.7in", "older"}}));
}

TEST(WriteSafety, AClosedStandardOutputNeverLandsInAFile)
{
    auto close_output = [] { close(1); };
    temp_dir dir;
    dir.write("t.bin", "ABC");
    auto edited = run_in(dir, voxa_program(), {"t.bin"}, "e 0 5a\nw\ny\nq\n", close_output);
    EXPECT_EQ(edited.files, (std::map<std::string, std::string>{{"t.bin", "ZBC"}, {"t.7in", "ABC"}}));
    auto copied = run_in(dir, package_program(), {"make", "t.bin", "out.bin"}, "", close_output);
    EXPECT_EQ(dir.read("out.bin"), "MBC");
    // Under wine a closed output is a handle that fails each write, which the
    // exit status reports; a Linux program writes to the null device instead.
    if (!prefixed()) {
        EXPECT_EQ(edited.status, 0);
        EXPECT_EQ(copied.status, 0);
    }
}

TEST(WriteSafety, TheExitStatusTellsAScriptWhetherItsWritesLanded)
{
    auto limit = file_size_limit(2000);
    auto full_output = [] {
        int full = open("/dev/full", O_WRONLY);
        dup2(full, 1);
    };
    struct row {
        const char* what;
        std::string script;
        std::function<void()> hook;
        int status;
    };
    const std::string grow = "i 0 more.bin\nw\ny\n";
    for (const auto& [what, script, hook, status] : std::vector<row>{
             {"a write that failed", grow + "q\n", limit, 1},
             {"a failed write, then one that landed", grow + "l 0 1500\nw\ny\nq\n", limit, 0},
             {"a failed write, then one declined", grow + "w\nn\nq\n", limit, 1},
             {"an output that cannot be written", "e 0 5a\nw\ny\nq\n", full_output, 1},
             {"a write that landed", "e 0 5a\nw\ny\nq\n", {}, 0},
         }) {
        temp_dir dir;
        dir.write("x.bin", std::string(1000, 'x'));
        dir.write("more.bin", std::string(1500, 'm'));
        EXPECT_EQ(run_in(dir, voxa_program(), {"x.bin"}, script, hook).status, status) << what;
    }
}

TEST(WriteSafety, AFileThatIsNoLongerARegularFileIsRefusedBeforeTheQuestion)
{
    auto device = run_with({}, voxa_program(), {"/dev/null"}, "w\ny\nq\n");
    EXPECT_EQ(device.out, banner("/dev/null", 0) + "-ERROR: /dev/null is not a regular file, not written...\n--");
    EXPECT_EQ(device.status, 1);
    EXPECT_FALSE(fs::exists("/dev/null7"));
}

// A session loads the file, the file changes behind it, then w: the write
// refuses what it cannot do, before the question where it can.
TEST(WriteSafety, AFileGoneOrChangedSinceStartUp)
{
    struct behind {
        const char* what;
        std::string startbyte;
        std::function<void(const fs::path&)> change;
        std::string said;
        int status;
    };
    const std::string not_regular = "ERROR: x.bin is not a regular file, not written...\n";
    const std::string changed = "ERROR: x.bin changed since it was loaded, not written...\n";
    for (const auto& [what, startbyte, change, said, status] : std::vector<behind>{
             {"a folder in its place", "0",
              [](const fs::path& file) {
                  fs::remove(file);
                  fs::create_directory(file);
              },
              not_regular, 1},
             {"a named pipe in its place", "0",
              [](const fs::path& file) {
                  fs::remove(file);
                  ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
              },
              not_regular, 1},
             {"gone: written anew, nothing to back up", "0", [](const fs::path& file) { fs::remove(file); },
              question + "Nothing to back up: x.bin is gone, it is written anew. \n"
                         "Please Wait... Writing new file x.bin. \n",
              0},
             // Its place in the file is not known any more.
             {"a part of a file that has grown", "3", [](const fs::path& file) { std::ofstream(file) << "ABCDEFGH"; },
              changed, 1},
             {"a part of a file that is gone", "3", [](const fs::path& file) { fs::remove(file); }, changed, 1},
         }) {
        SCOPED_TRACE(what);
        if (prefixed() && std::string(what).find("pipe") != std::string::npos)
            continue; // there is none on another system's file system
        temp_dir dir;
        dir.write("x.bin", "ABCDEF");
        running r(dir, voxa_program(), {"x.bin", startbyte});
        std::string loaded = banner("x.bin", startbyte == "0" ? 6 : 4) + "-";
        ASSERT_TRUE(r.wait_for(loaded)) << r.seen;
        change(dir.path / "x.bin");
        r.send(status == 0 ? "w\ny\n" : "w\n"); // a refusal comes before the question
        auto done = r.finish();
        EXPECT_EQ(done.out, loaded + said + "-");
        EXPECT_EQ(done.status, status);
        EXPECT_FALSE(fs::exists(dir.path / "x.7in"));
        if (status == 0) {
            EXPECT_EQ(dir.read("x.bin"), "ABCDEF");
        }
    }
}
