// The write across time and people: a kill or an injected error at any step
// followed by a later session, another user in a shared folder, a name
// swapped while a session waits, two sessions on one file, and what a file
// carries besides its bytes. All of it on real files, users and signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

#include "commands.hpp"
#include "run.hpp"

namespace {

const std::string question = "About to WRITE/UPDATE data in the file...  Continue Y/[N]?\n";
const std::string declined = "Update declined by user...\n";
const char* const strace = "/usr/bin/strace";

std::string written(const std::string& file, const std::string& backup)
{
    return "Please Wait... Backing up current file to " + backup + ". \nPlease Wait... Writing new file " + file +
           ". \n";
}

// The names in a folder that a write leaves only when it did not finish.
std::vector<std::string> leftovers(const temp_dir& dir)
{
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.path))
        if (entry.path().filename().string().rfind(".voxa-", 0) == 0)
            left.push_back(entry.path().filename().string());
    return left;
}

bool marked(const temp_dir& dir)
{
    for (const std::string& name : leftovers(dir))
        if (name.rfind(".voxa-torn-", 0) == 0)
            return true;
    return false;
}

// A copy of the editor that any user can run, wherever the build lies.
const std::string& editor_for_anyone()
{
    static temp_dir bin;
    static const std::string path = [] {
        fs::permissions(bin.path, static_cast<fs::perms>(0755));
        fs::copy_file(voxa_program(), bin.path / "voxa");
        return (bin.path / "voxa").string();
    }();
    return path;
}

std::function<void()> as_user(uid_t user)
{
    return [user] {
        if (setgid(user) != 0 || setuid(user) != 0)
            _exit(126);
    };
}

// Runs under strace: a sanitizer build finds no leaks while traced.
void traced()
{
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
}

// The system calls a session makes after its first read of standard input
// and before it closes its output, each with its ordinal among the calls of
// that name since the start; not the memory map's, which a sanitizer's
// runtime makes for itself.
std::vector<std::pair<std::string, int>> calls_after_input(const std::string& trace)
{
    std::ifstream in(trace);
    std::map<std::string, int> seen;
    std::vector<std::pair<std::string, int>> calls;
    bool input_read = false;
    for (std::string line; std::getline(in, line);) {
        size_t paren = line.find('(');
        if (paren == std::string::npos || line.rfind("+++", 0) == 0 || line.rfind("---", 0) == 0)
            continue;
        std::string name = line.substr(0, paren);
        if (line.rfind("close(1)", 0) == 0)
            break; // the session is over: what follows is the end of the process
        int ordinal = ++seen[name];
        bool memory = name == "mmap" || name == "munmap" || name == "mprotect" || name == "madvise" || name == "brk";
        if (input_read && !memory && name != "exit_group")
            calls.emplace_back(name, ordinal);
        input_read = input_read || line.rfind("read(0,", 0) == 0;
    }
    return calls;
}

} // namespace

// Kill the write, or fail one of its system calls, at each step of each
// way it lands; then a second session edits and writes the file. The last
// good version of the file (the old bytes, or the first session's result
// where its write had finished) must be the second session's backup, and a
// first session that said nothing was wrong must have landed whole.
TEST(WriteAcrossSessions, AKillOrAFaultAtAnyStepThenASecondSessionLosesNothing)
{
    if (access(strace, X_OK) != 0)
        GTEST_SKIP() << "no strace here";
    const std::string old = std::string(1000, 'x') + "AB" + std::string(1998, 'o');
    const std::string first = std::string(1000, 'x') + "ZY" + std::string(1998, 'o');
    const std::string edit = "r 0 7fffffff 41 42 n 5a 59\nw\ny\nq\n";
    const std::string second_edit = "r 0 7fffffff 6f n 4f\nw\ny\nq\n";
    struct way {
        const char* what;
        bool hard_link; // rewritten in place
        std::string startbyte;
    };
    std::vector<way> ways{{"renamed", false, "0"},
                          {"in place", true, "0"},
                          {"a part, renamed", false, "1001"},
                          {"a part, in place", true, "1001"}};
    std::vector<std::string> faults{"signal=KILL", "error=EIO"};
#if defined(__SANITIZE_ADDRESS__)
    // A sanitizer's start-up is slow: the ways that reach every step, killed.
    ways = {ways[0], ways[3]};
    faults = {"signal=KILL"};
#endif
    for (const auto& [what, hard_link, startbyte] : ways) {
        auto fresh = [&, hard_link = hard_link](temp_dir& dir) {
            dir.write("x.bin", old);
            if (hard_link)
                fs::create_hard_link(dir.path / "x.bin", dir.path / "x.link");
        };
        std::vector<std::string> args{voxa_program(), "x.bin", startbyte};
        temp_dir first_run;
        fresh(first_run);
        std::string trace = (first_run.path / "trace").string();
        std::vector<std::string> traced_args{"-o", trace, "--"};
        traced_args.insert(traced_args.end(), args.begin(), args.end());
        ASSERT_EQ(run_in(first_run, strace, traced_args, edit, traced).status, 0) << what;
        ASSERT_EQ(first_run.read("x.bin"), first) << what;
        auto calls = calls_after_input(trace);
        ASSERT_GT(calls.size(), 10u) << what;
        for (const auto& [call, ordinal] : calls) {
            for (const std::string& fault : faults) {
                std::string at = std::string(what) + ": " + call + " #" + std::to_string(ordinal) + " " + fault;
                SCOPED_TRACE(at);
                temp_dir dir;
                fresh(dir);
                std::vector<std::string> injected{"-o", "/dev/null", "-e",
                                                  "inject=" + call + ":" + fault + ":when=" + std::to_string(ordinal),
                                                  "--"};
                injected.insert(injected.end(), args.begin(), args.end());
                auto one = run_in(dir, strace, injected, edit, traced);
                bool finished = dir.read("x.bin") == first && !marked(dir);
                if (one.status == 0 && fault != "signal=KILL") {
                    EXPECT_TRUE(finished) << one.out;
                    EXPECT_EQ(dir.read("x.7in"), old);
                    EXPECT_TRUE(leftovers(dir).empty());
                }
                auto two = run_in(dir, voxa_program(), {"x.bin", startbyte}, second_edit);
                EXPECT_EQ(two.status, 0) << two.out;
                EXPECT_TRUE(dir.read("x.7in") == (finished ? first : old)) << one.out << two.out;
                if (hard_link) {
                    EXPECT_TRUE(dir.read("x.link") == dir.read("x.bin"));
                }
                if (::testing::Test::HasFailure())
                    return; // one case is enough to follow
            }
        }
    }
}

TEST(WriteAcrossSessions, ALaterSessionIsToldOfAnUnfinishedRewriteAndKeepsItsBackup)
{
    if (access(strace, X_OK) != 0)
        GTEST_SKIP() << "no strace here";
    // Killed at its first write of the file: the file is empty, its backup whole.
    const std::string old = "ABCDEFGH";
    auto torn = [&](temp_dir& dir) {
        dir.write("x.bin", old);
        fs::create_hard_link(dir.path / "x.bin", dir.path / "x.link");
        run_in(dir, strace, {"-o", "/dev/null", "-e", "inject=pwrite64:signal=KILL:when=2", "--", voxa_program(), "x.bin"},
               "e 0 5a\nw\ny\nq\n", traced);
        ASSERT_EQ(dir.read("x.bin"), "");
        ASSERT_EQ(dir.read("x.7in"), old);
        ASSERT_TRUE(marked(dir));
    };
    temp_dir dir;
    torn(dir);
    std::string backup = (fs::canonical(dir.path) / "x.7in").string();
    std::string told = "ERROR: the last write of x.bin did not finish: its old contents are in " + backup +
                       ", which w keeps...\n";

    // Loaded whole, its other link gone: the empty file is written beside
    // it and renamed into its place, the backup kept, the mark gone.
    fs::remove(dir.path / "x.link");
    auto whole = run_in(dir, voxa_program(), {"x.bin"}, "w\ny\nq\n");
    EXPECT_EQ(whole.out, banner("x.bin", 0) + told + "-" + question + "Backup " + backup +
                             " kept: it holds the file as it was before the failed write. \n"
                             "Please Wait... Writing new file x.bin. \n-");
    EXPECT_EQ(whole.status, 0);
    EXPECT_EQ(dir.read("x.7in"), old);
    EXPECT_FALSE(marked(dir));
    auto after = run_in(dir, voxa_program(), {"x.bin"}, "q\n");
    EXPECT_EQ(after.out, banner("x.bin", 0) + "-");

    // A backup changed since the mark, or gone, is no longer the last whole
    // version: the mark is set aside, never read into a part, and the write
    // backs the file up as any other.
    for (bool changed : {true, false}) {
        SCOPED_TRACE(changed ? "the backup changed" : "the backup gone");
        temp_dir again;
        torn(again);
        if (changed)
            again.write("x.7in", old + "more");
        else
            fs::remove(again.path / "x.7in");
        std::string mark;
        for (const std::string& name : leftovers(again))
            mark = name;
        auto part = run_in(again, voxa_program(), {"x.bin", "2"}, "w\ny\nq\n");
        EXPECT_EQ(part.out, banner("x.bin", -1) + "ERROR: " + mark +
                                ", the mark of an unfinished write of x.bin, matches neither it nor its backup any "
                                "more: set aside, not used...\n-" +
                                question + written("x.bin", "x.7in") + "-");
        EXPECT_EQ(part.status, 0);
        EXPECT_EQ(again.read("x.7in"), "");
        EXPECT_EQ(again.read("x.bin"), "");
    }
}

// Each row a situation that another user, another session or another
// program makes around a write, and what the write must do then.
TEST(WriteAcrossSessions, OtherUsersSessionsAndProgramsAroundTheWrite)
{
    const bool root = geteuid() == 0;

    {
        SCOPED_TRACE("another user's file at the backup's name in a shared folder");
        if (root) {
            temp_dir dir;
            fs::permissions(dir.path, static_cast<fs::perms>(01777));
            dir.write("x.bin", "secret");
            dir.write("x.7in", "");
            ASSERT_EQ(chown((dir.path / "x.bin").c_str(), 4001, 4001), 0);
            ASSERT_EQ(chmod((dir.path / "x.bin").c_str(), 0600), 0);
            ASSERT_EQ(chown((dir.path / "x.7in").c_str(), 4002, 4002), 0);
            ASSERT_EQ(chmod((dir.path / "x.7in").c_str(), 0666), 0);
            auto r = run_in(dir, editor_for_anyone(), {"x.bin"}, "r 0 9 73 n 53\nw\ny\nq\n", as_user(4001));
            EXPECT_NE(r.out.find(question + "ERROR: backup x.7in belongs to another user, not written...\n-"),
                      std::string::npos)
                << r.out;
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(dir.read("x.7in"), "");
            EXPECT_EQ(dir.read("x.bin"), "secret");
        }
    }
    {
        SCOPED_TRACE("the name swapped for a link to another file while the session waits");
        temp_dir dir;
        dir.write("x.bin", "ABC");
        dir.write("other.bin", "not yours");
        std::string file = (dir.path / "x.bin").string();
        live_session whole, part;
        ASSERT_TRUE(whole.start(file));
        ASSERT_TRUE(part.start(file, "2"));
        fs::remove(file);
        fs::create_symlink("other.bin", file);
        EXPECT_EQ(whole.write("y\n"), question + file + " changed since it was loaded. \n" +
                                          "Write over it anyway? Y/[N]\n" + declined);
        EXPECT_TRUE(whole.st->write_failed);
        EXPECT_EQ(part.write("y\n"), "ERROR: " + file + " changed since it was loaded, not written...\n");
        EXPECT_TRUE(part.st->write_failed);
        EXPECT_EQ(dir.read("other.bin"), "not yours");
        EXPECT_FALSE(dir.exists("x.7in"));
    }
    {
        SCOPED_TRACE("two sessions in turn: the second is asked before it writes over the first");
        temp_dir dir;
        dir.write("x.bin", "ABC");
        std::string file = (dir.path / "x.bin").string();
        live_session one, two;
        ASSERT_TRUE(one.start(file));
        ASSERT_TRUE(two.start(file));
        one.st->edit_buffer[0] = 'Z';
        two.st->edit_buffer[1] = 'Y';
        EXPECT_EQ(one.write(), question + written(file, (dir.path / "x.7in").string()));
        EXPECT_EQ(two.write("y\n"), question + file + " changed since it was loaded. \n" +
                                        "Write over it anyway? Y/[N]\n" + declined);
        EXPECT_TRUE(two.st->write_failed);
        EXPECT_EQ(dir.read("x.bin"), "ZBC");
        EXPECT_EQ(dir.read("x.7in"), "ABC");
        // Said yes to: the first session's bytes go to the backup.
        EXPECT_FALSE(two.write("y\ny\n").empty());
        EXPECT_FALSE(two.st->write_failed);
        EXPECT_EQ(dir.read("x.bin"), "AYC");
        EXPECT_EQ(dir.read("x.7in"), "ZBC");
    }
    {
        SCOPED_TRACE("a file removed before w is written anew with the mode it had");
        temp_dir dir;
        dir.write("x.bin", "ABC");
        fs::permissions(dir.path / "x.bin", static_cast<fs::perms>(0604));
        std::string file = (dir.path / "x.bin").string();
        live_session s;
        ASSERT_TRUE(s.start(file));
        fs::remove(file);
        s.write();
        EXPECT_EQ(dir.read("x.bin"), "ABC");
        EXPECT_EQ(fs::status(file).permissions(), static_cast<fs::perms>(0604));
    }
    {
        SCOPED_TRACE("a reader that goes away before the script's w");
        temp_dir dir;
        dir.write("x.bin", std::string(4000, 'o'));
        auto closed_pipe = [] {
            int ends[2];
            if (pipe(ends) != 0 || dup2(ends[1], 1) < 0)
                _exit(126);
            close(ends[0]);
        };
        auto r = run_in(dir, voxa_program(), {"x.bin"}, "d\nd\nd\ne 0 5a\nw\ny\nq\n", closed_pipe);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 1); // the output could not be written
        EXPECT_EQ(dir.read("x.bin"), "Z" + std::string(3999, 'o'));
        EXPECT_EQ(dir.read("x.7in"), std::string(4000, 'o'));
    }
    {
        SCOPED_TRACE("a mark of an unfinished rewrite that another user left is not believed");
        if (root) {
            temp_dir dir;
            dir.write("x.bin", "ABC");
            dir.write("theirs", "another user's bytes");
            struct stat file {};
            ASSERT_EQ(stat((dir.path / "x.bin").c_str(), &file), 0);
            std::string mark = ".voxa-torn-" + std::to_string(file.st_ino);
            std::ostringstream text;
            text << "voxa: a rewrite of this file in place did not finish; the backup named below holds it whole.\n"
                 << file.st_dev << ' ' << file.st_ino << " 20\n"
                 << (dir.path / "theirs").string() << '\0';
            dir.write(mark, text.str());
            ASSERT_EQ(chown((dir.path / mark).c_str(), 4002, 4002), 0);
            auto r = run_in(dir, voxa_program(), {"x.bin"}, "e 0 5a\nw\ny\nq\n");
            EXPECT_EQ(r.out, banner("x.bin", 3) + "--" + question + written("x.bin", "x.7in") + "-");
            EXPECT_EQ(dir.read("x.7in"), "ABC");
            EXPECT_EQ(dir.read("theirs"), "another user's bytes");
        }
    }
    {
        SCOPED_TRACE("a file another user owns and lets others write is rewritten in place");
        if (root) {
            // The writer may not give a new file the owner: the file itself
            // is rewritten, and the backup, which the writer makes, gives its
            // group bits to no group of the writer's.
            temp_dir dir;
            fs::permissions(dir.path, static_cast<fs::perms>(0777));
            dir.write("x.bin", "ABC");
            ASSERT_EQ(chown((dir.path / "x.bin").c_str(), 4002, 4002), 0);
            ASSERT_EQ(chmod((dir.path / "x.bin").c_str(), 0666), 0);
            struct stat old {}, now {}, backup {};
            ASSERT_EQ(stat((dir.path / "x.bin").c_str(), &old), 0);
            auto r = run_in(dir, editor_for_anyone(), {"x.bin"}, "e 0 5a\nw\ny\nq\n", as_user(4001));
            EXPECT_EQ(r.out, banner("x.bin", 3) + "--" + question + written("x.bin", "x.7in") + "-");
            ASSERT_EQ(stat((dir.path / "x.bin").c_str(), &now), 0);
            ASSERT_EQ(stat((dir.path / "x.7in").c_str(), &backup), 0);
            EXPECT_EQ(now.st_ino, old.st_ino);
            EXPECT_EQ(now.st_uid, 4002u);
            EXPECT_EQ(dir.read("x.bin"), "ZBC");
            EXPECT_EQ(dir.read("x.7in"), "ABC");
            EXPECT_EQ(backup.st_uid, 4001u);
            EXPECT_EQ(backup.st_mode & 07777, 0606u);
            EXPECT_TRUE(leftovers(dir).empty());
        }
    }
    {
        SCOPED_TRACE("the owner and group kept on the rename path");
        if (root) {
            temp_dir dir;
            dir.write("x.bin", "ABC");
            ASSERT_EQ(chown((dir.path / "x.bin").c_str(), 4001, 4002), 0);
            struct stat old {}, made {}, backup {};
            ASSERT_EQ(stat((dir.path / "x.bin").c_str(), &old), 0);
            auto r = run_in(dir, voxa_program(), {"x.bin"}, "e 0 5a\nw\ny\nq\n");
            EXPECT_EQ(r.status, 0);
            ASSERT_EQ(stat((dir.path / "x.bin").c_str(), &made), 0);
            ASSERT_EQ(stat((dir.path / "x.7in").c_str(), &backup), 0);
            EXPECT_EQ(backup.st_ino, old.st_ino); // renamed: the old file is the backup
            EXPECT_EQ(made.st_uid, 4001u);
            EXPECT_EQ(made.st_gid, 4002u);
            EXPECT_EQ(dir.read("x.bin"), "ZBC");
        }
    }
}

// Two sessions started at once, again and again: each session that says
// its write landed has its bytes in the file or in the backup, and every
// other is told, never silently overwritten.
TEST(WriteAcrossSessions, TwoSessionsAtOnce)
{
    const std::string old(2000, '.');
    for (int round = 0; round < 20; ++round) {
        temp_dir dir;
        dir.write("x.bin", old);
        std::vector<std::string> scripts{"e 0 41\nw\ny\nq\n", "e 1 42\nw\ny\nq\n"};
        std::vector<run_result> results(2);
        std::thread a([&] { results[0] = run_in(dir, voxa_program(), {"x.bin"}, scripts[0]); });
        std::thread b([&] { results[1] = run_in(dir, voxa_program(), {"x.bin"}, scripts[1]); });
        a.join();
        b.join();
        std::string file = dir.read("x.bin"), backup = dir.read("x.7in");
        for (size_t i = 0; i < 2; ++i) {
            char mine = i == 0 ? 'A' : 'B';
            if (results[i].status == 0)
                EXPECT_TRUE(file[i] == mine || backup[i] == mine) << round << results[i].out;
            else
                EXPECT_NE(results[i].out.find("changed since it was loaded"), std::string::npos) << results[i].out;
        }
        EXPECT_TRUE(leftovers(dir).empty());
    }
}

// The file's extended attributes, its POSIX ACL among them, on the new
// file and on the backup, whichever way the write lands.
TEST(WriteAcrossSessions, AnAccessListIsKept)
{
    // user::rw-, user:65534:---, group::r--, mask::r--, other::r--
    const std::string acl = bytes({2, 0, 0, 0, 1, 0, 6, 0, 255, 255, 255, 255, 2, 0, 0, 0, 254, 255, 0, 0, 4, 0, 4, 0,
                                   255, 255, 255, 255, 16, 0, 4, 0, 255, 255, 255, 255, 32, 0, 4, 0, 255, 255, 255, 255});
    for (bool hard_link : {false, true}) {
        SCOPED_TRACE(hard_link ? "in place" : "renamed");
        temp_dir dir;
        dir.write("x.bin", "ABC");
        std::string file = (dir.path / "x.bin").string();
        if (setxattr(file.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
            GTEST_SKIP() << "no access lists on this file system";
        if (hard_link)
            fs::create_hard_link(file, dir.path / "x.link");
        auto r = run_in(dir, voxa_program(), {"x.bin"}, "e 0 5a\nw\ny\nq\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(dir.read("x.bin"), "ZBC");
        for (const char* name : {"x.bin", "x.7in"}) {
            std::string got(256, '\0');
            ssize_t n = getxattr((dir.path / name).c_str(), "system.posix_acl_access", got.data(), got.size());
            EXPECT_EQ(got.substr(0, static_cast<size_t>(std::max<ssize_t>(n, 0))), acl) << name;
        }
    }
}
