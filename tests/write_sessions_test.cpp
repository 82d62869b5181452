// The write across time and people: a kill or an injected error at any step
// followed by a later session, another user in a shared folder, a name
// swapped while a session waits, two sessions on one file, and what a file
// carries besides its bytes. All of it on real files, users and signals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

#include "commands.hpp"
#include "records.hpp"
#include "run.hpp"

namespace {

const char* const strace = "/usr/bin/strace";

// The names in a folder that a write leaves only when it did not finish.
std::vector<std::string> leftovers(const fs::path& folder)
{
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind(".voxa-", 0) == 0)
            left.push_back(entry.path().filename().string());
    return left;
}

// The record that a rewrite in place whose backup is `backup` did not
// finish, by the name the editor gives it, if there is one: the backup,
// where backups carry their records; else the mark left in the folder.
std::string torn_in(const fs::path& folder, const std::string& backup)
{
    if (build_has("records")) {
        char text[4096];
        ssize_t n = lgetxattr((folder / backup).c_str(), "user.voxa", text, sizeof text);
        return n > 0 && std::string(text, static_cast<size_t>(n)).find("did not finish") != std::string::npos ? backup
                                                                                                             : "";
    }
    for (const std::string& name : leftovers(folder))
        if (name.rfind(".voxa-torn-", 0) == 0)
            return name;
    return "";
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

// The ordinal among a trace's writes (pwrite64) of the first one after the
// file is emptied for its rewrite in place (its first ftruncate, which a
// 32-bit program makes as ftruncate64).
int first_write_after_emptying(const std::string& trace)
{
    std::ifstream in(trace);
    int writes = 0;
    bool emptied = false;
    for (std::string line; std::getline(in, line);) {
        emptied = emptied || line.rfind("ftruncate(", 0) == 0 || line.rfind("ftruncate64(", 0) == 0;
        if (line.rfind("pwrite64(", 0) == 0 && (++writes, emptied))
            return writes;
    }
    return 0;
}

// The ordinal of a rewrite in place's first write into the file of `dir`,
// from a trace of the same session on a copy of the folder.
// A trace of the session `args`, `script` on its standard input, run on a
// copy of `dir` (its links kept) so that `dir` stays as it is.
std::string dry_trace(const temp_dir& dir, const temp_dir& dry, const std::vector<std::string>& args,
                      const std::string& script)
{
    run_in(dir, "/bin/cp", {"-a", (dir.path / ".").string(), dry.path.string()}, "");
    std::string trace = (dry.path / "voxa.trace").string();
    std::vector<std::string> traced_args{"-o", trace, "--", voxa_program()};
    traced_args.insert(traced_args.end(), args.begin(), args.end());
    run_in(dry, strace, traced_args, script, traced);
    return trace;
}

// The ordinal of a rewrite in place's first write into the file.
int first_write_into(const temp_dir& dir, const std::string& file, const std::string& startbyte,
                     const std::string& script)
{
    temp_dir dry;
    return first_write_after_emptying(dry_trace(dir, dry, {file, startbyte}, script));
}

// The session run under strace, held up at `held` (strace's words for an
// injection); once it has printed `after`, and a moment more for the call
// to be reached, `meanwhile` acts; then its input ends.
run_result held_up(const temp_dir& dir, const std::string& held, const std::vector<std::string>& args,
                   const std::string& script, const std::string& after, const std::function<void(running&)>& meanwhile,
                   int seconds = 60)
{
    std::vector<std::string> traced_args{"-o", "/dev/null", "-e", "inject=" + held, "--", voxa_program()};
    traced_args.insert(traced_args.end(), args.begin(), args.end());
    running r(dir, strace, traced_args, traced);
    run_result stopped; // what it printed, when it never got so far
    stopped.out = r.seen;
    if (!r.wait_for(" Note! Use '?' for command HELP. \n-"))
        return stopped;
    r.send(script);
    if (!r.wait_for(after))
        return stopped.out = r.seen, stopped;
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    meanwhile(r);
    return r.finish(seconds);
}

// Tears a rewrite in place of `file` (which must have a second link): the
// session is killed at its first write into the file, which it emptied.
void tear(const temp_dir& dir, const std::string& file, const std::string& startbyte, const std::string& script)
{
    int when = first_write_into(dir, file, startbyte, script);
    ASSERT_GT(when, 0) << "no rewrite in place";
    run_in(dir, strace, {"-o", "/dev/null", "-e", "inject=pwrite64:signal=KILL:when=" + std::to_string(when), "--",
                         voxa_program(), file, startbyte},
           script, traced);
}

} // namespace

// Kill the write, or fail one of its system calls, at each step of each
// way it lands; then a second session edits and writes the file. The last
// good version of the file (the old bytes, or the first session's result
// where its write had finished) must be the second session's backup, and a
// first session that said nothing was wrong must have landed whole.
TEST(WriteAcrossSessions, AKillOrAFaultAtAnyStepThenASecondSessionLosesNothing)
{
    LINUX_PROGRAMS_ONLY("strace");
    NOT_EMULATED(emulated_tracer);
    if (access(strace, X_OK) != 0)
        GTEST_SKIP() << "no strace here";
    const std::string old = std::string(1000, 'x') + "AB" + std::string(1998, 'o');
    const std::string first = std::string(1000, 'x') + "ZY" + std::string(1998, 'o');
    const std::string edit = "r 0 7fffffff 41 42 n 5a 59\nw\ny\nq\n";
    // A backup whose record a fault kept out is not taken for one: the
    // second session answers that question too (a y at the prompt does nothing).
    const std::string second_edit = "r 0 7fffffff 6f n 4f\nw\ny\ny\nq\n";
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
        auto calls = calls_after(trace, "read(0,");
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
                bool finished = dir.read("x.bin") == first && torn_in(dir.path, "x.7in").empty();
                if (one.status == 0 && fault != "signal=KILL") {
                    EXPECT_TRUE(finished) << one.out;
                    EXPECT_EQ(dir.read("x.7in"), old);
                    EXPECT_TRUE(leftovers(dir.path).empty());
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
    LINUX_PROGRAMS_ONLY("strace");
    NOT_EMULATED(emulated_tracer);
    if (access(strace, X_OK) != 0)
        GTEST_SKIP() << "no strace here";
    // Killed at its first write of the file: the file is empty, its backup whole.
    const std::string old = "ABCDEFGH";
    auto torn = [&](temp_dir& dir) {
        dir.write("x.bin", old);
        fs::create_hard_link(dir.path / "x.bin", dir.path / "x.link");
        tear(dir, "x.bin", "0", "e 0 5a\nw\ny\nq\n");
        ASSERT_EQ(dir.read("x.bin"), "");
        ASSERT_EQ(dir.read("x.7in"), old);
        ASSERT_FALSE(torn_in(dir.path, "x.7in").empty());
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
    EXPECT_TRUE(torn_in(dir.path, "x.7in").empty());
    auto after = run_in(dir, voxa_program(), {"x.bin"}, "q\n");
    EXPECT_EQ(after.out, banner("x.bin", 0) + "-");

    // A backup changed since the record, or gone, is no longer the last
    // whole version: the record is set aside (a record on the backup goes
    // with it), never read into a part, and the write backs the file up as
    // any other, once the user says a changed backup may go.
    bool records = build_has("records");
    for (bool changed : {true, false}) {
        SCOPED_TRACE(changed ? "the backup changed" : "the backup gone");
        temp_dir again;
        torn(again);
        std::string mark = torn_in(again.path, "x.7in");
        if (changed)
            again.write("x.7in", old + "more");
        else
            fs::remove(again.path / "x.7in");
        bool asked = records && changed;
        auto part = run_in(again, voxa_program(), {"x.bin", "2"}, asked ? "w\ny\ny\nq\n" : "w\ny\nq\n");
        std::string set_aside = "ERROR: " + mark +
                                ", the mark of an unfinished write of x.bin, matches neither x.bin nor its backup: "
                                "set aside, not used...\n";
        EXPECT_EQ(part.out, banner("x.bin", -1) + (records && !changed ? "" : set_aside) + "-" + question +
                                (asked ? "x.7in is not a backup of x.bin. \nReplace it anyway? Y/[N]\n" : "") +
                                written("x.bin", "x.7in") + "-");
        EXPECT_EQ(part.status, 0);
        EXPECT_EQ(again.read("x.7in"), "");
        EXPECT_EQ(again.read("x.bin"), "");
    }
}

namespace {

// What a row of the table below needs of this machine.
enum need : unsigned { nothing = 0, root = 1, tracer = 2 };

std::string unmet(unsigned needs)
{
    if ((needs & root) != 0 && geteuid() != 0)
        return "needs root (other users, mounts)";
    if ((needs & tracer) != 0 && access(strace, X_OK) != 0)
        return "needs strace";
    if ((needs & tracer) != 0 && emulated())
        return emulated_tracer;
    if (needs != nothing && prefixed())
        return "needs other users, mounts or strace, which only a Linux program has";
    return "";
}

// A record's text as the build under test keeps it: on the backup, or in
// a mark of its own. The name the editor gives it.
std::string plant_record(const temp_dir& dir, const std::string& backup, const std::string& text)
{
    if (build_has("records")) {
        EXPECT_EQ(setxattr((dir.path / backup).c_str(), "user.voxa", text.data(), text.size(), 0), 0);
        return backup;
    }
    fs::remove(dir.path / ".voxa-torn-AAAAAA");
    dir.write(".voxa-torn-AAAAAA", text);
    fs::permissions(dir.path / ".voxa-torn-AAAAAA", static_cast<fs::perms>(0444));
    return ".voxa-torn-AAAAAA";
}

// A record that a rewrite in place of `file` (named `file_leaf`) whose
// backup is `backup` (or, as the record says, `kept_leaf`) did not finish.
std::string plant_torn(const temp_dir& dir, const std::string& backup, sys::file_id file, const std::string& file_leaf,
                       const std::string& kept_leaf = "")
{
    sys::file_info kept;
    std::string leaf = kept_leaf.empty() ? backup : kept_leaf;
    EXPECT_TRUE(sys::info_of_name((dir.path / leaf).string(), kept));
    if (build_has("records"))
        kept.changed = 0; // setting the record changes it
    return plant_record(dir, backup, torn_record(file, file_leaf, kept, leaf));
}

// Bytes that no two runs of a test share.
std::string pattern(size_t size, uint32_t seed)
{
    std::string data(size, '\0');
    for (char& c : data) {
        seed = seed * 1103515245 + 12345;
        c = static_cast<char>(seed >> 23);
    }
    return data;
}


// The ordinal, among the calls of its name, of the first traced call whose
// line holds `text`.
int ordinal_of(const std::string& trace, const std::string& call, const std::string& text)
{
    std::ifstream in(trace);
    int n = 0;
    for (std::string line; std::getline(in, line);)
        if (line.rfind(call + "(", 0) == 0) {
            ++n;
            if (line.find(text) != std::string::npos)
                return n;
        }
    return 0;
}

struct situation {
    const char* what;
    unsigned needs;
    std::function<void()> check;
};

// Why the row being checked did not run (a tool or a mount this machine
// lacks), so that only that row is reported as not run; a row returns
// not_run(why).
std::string row_not_run;
void not_run(const std::string& why)
{
    row_not_run = why;
}

// An XFS image mounted at fs/ for `act`; then the power goes: a copy of the
// image as `act` left it, which is what the disk holds, mounted at cut/.
// Null where no image can be mounted (the row is then not run).
std::unique_ptr<loop_file_system> power_cut_on_xfs(const temp_dir& dir, const std::function<void()>& act)
{
    fs::create_directory(dir.path / "image");
    loop_file_system xfs(dir.path / "image/fs.img", dir.path / "fs", {"/usr/sbin/mkfs.xfs", "-q", "-f"}, 320 << 20);
    if (!xfs.mounted) {
        not_run(xfs.why_not);
        return nullptr;
    }
    act();
    fs::copy_file(dir.path / "image/fs.img", dir.path / "image/cut.img");
    auto cut = std::make_unique<loop_file_system>(dir.path / "image/cut.img", dir.path / "cut", "nouuid");
    EXPECT_TRUE(cut->mounted) << cut->why_not;
    return cut;
}

const std::vector<situation> situations = {
    {"another user's file at the backup's name in a shared folder", root,
     [] {
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
     }},
    {"files another user put at the names a rewrite needs in a shared folder do not stop it", root,
     [] {
         // The old fixed name of the mark, and names like the write's own.
         temp_dir dir;
         fs::permissions(dir.path, static_cast<fs::perms>(01777));
         dir.write("f.bin", "ABC");
         fs::create_hard_link(dir.path / "f.bin", dir.path / "f.link");
         struct stat file {};
         ASSERT_EQ(stat((dir.path / "f.bin").c_str(), &file), 0);
         std::vector<std::string> planted{".voxa-torn-" + std::to_string(file.st_ino), ".voxa-torn-AAAAAA", ".voxa-AAAAAA"};
         for (std::string name : {"f.bin", "f.link"})
             ASSERT_EQ(chown((dir.path / name).c_str(), 4001, 4001), 0);
         for (const std::string& name : planted) {
             dir.write(name, "theirs");
             ASSERT_EQ(chown((dir.path / name).c_str(), 4002, 4002), 0);
         }
         auto r = run_in(dir, editor_for_anyone(), {"f.bin"}, "e 0 5a\nw\ny\nq\n", as_user(4001));
         EXPECT_EQ(r.out, banner("f.bin", 3) + "--" + question + written("f.bin", "f.7in") + "-");
         EXPECT_EQ(r.status, 0);
         EXPECT_EQ(dir.read("f.link"), "ZBC");
         EXPECT_EQ(dir.read("f.7in"), "ABC");
         for (const std::string& name : planted)
             EXPECT_EQ(dir.read(name), "theirs") << name;
         EXPECT_EQ(leftovers(dir.path).size(), planted.size());
     }},
    {"a mark whose backup lies outside its folder is not believed", nothing,
     [] {
         // All it records is true, but its backup's name leads elsewhere.
         temp_dir dir;
         fs::create_directory(dir.path / "work");
         dir.write("work/x.bin", "ABC");
         dir.write("outside.bin", "not the backup");
         sys::file_info file, outside;
         ASSERT_TRUE(sys::info_of_name((dir.path / "work/x.bin").string(), file));
         ASSERT_TRUE(sys::info_of_name((dir.path / "outside.bin").string(), outside));
         dir.write("work/.voxa-torn-AAAAAA", torn_record(file.id, "x.bin", outside, "../outside.bin"));
         auto r = run_in(dir, voxa_program(), {"work/x.bin", "2"}, "w\ny\nq\n");
         EXPECT_EQ(r.out, banner("work/x.bin", 2) + "-" + question + written("work/x.bin", "work/x.7in") + "-");
         EXPECT_EQ(dir.read("work/x.bin"), "ABC");
         EXPECT_EQ(dir.read("work/x.7in"), "ABC");
     }},
    {"a mark of an unfinished rewrite that another user left is not believed", root,
     [] {
         temp_dir dir;
         dir.write("x.bin", "ABC");
         dir.write("theirs", "another user's bytes");
         struct stat file {}, theirs {};
         ASSERT_EQ(stat((dir.path / "x.bin").c_str(), &file), 0);
         ASSERT_EQ(stat((dir.path / "theirs").c_str(), &theirs), 0);
         // As a mark would name them, their birth left unknown.
         std::ostringstream text;
         text << "voxa: a rewrite in place did not finish; the backup named below holds the file named below whole.\n"
              << file.st_dev << ' ' << file.st_ino << " 0 " << theirs.st_dev << ' ' << theirs.st_ino << " 0 "
              << theirs.st_size << ' '
              << theirs.st_mtim.tv_sec * 1000000000LL + theirs.st_mtim.tv_nsec << ' '
              << theirs.st_ctim.tv_sec * 1000000000LL + theirs.st_ctim.tv_nsec << '\n'
              << "x.bin" << '\0' << "theirs" << '\0';
         dir.write(".voxa-torn-AAAAAA", text.str());
         ASSERT_EQ(chown((dir.path / ".voxa-torn-AAAAAA").c_str(), 4002, 4002), 0);
         auto r = run_in(dir, voxa_program(), {"x.bin"}, "e 0 5a\nw\ny\nq\n");
         EXPECT_EQ(r.out, banner("x.bin", 3) + "--" + question + written("x.bin", "x.7in") + "-");
         EXPECT_EQ(dir.read("x.7in"), "ABC");
         EXPECT_EQ(dir.read("theirs"), "another user's bytes");
     }},
    {"a torn file's number taken by a new file: its mark is set aside", root | tracer,
     [] {
         // A file system with few numbers, all taken but those the writes need,
         // so that the new file gets the torn one's.
         temp_dir dir;
         fs::create_directory(dir.path / "image");
         loop_file_system ext4(dir.path / "image/fs.img", dir.path / "fs", {"/usr/sbin/mkfs.ext4", "-q", "-N", "16"}, 64 << 20);
         if (!ext4.mounted)
             return not_run(ext4.why_not);
         const std::string old = pattern(3000000, 1), fresh = pattern(3000000, 2);
         dir.write("fs/old.bin", old);
         fs::create_hard_link(dir.path / "fs/old.bin", dir.path / "fs/old.link");
         dir.write("z.bin", "Z");
         int fillers = 0;
         while (::close(::open((dir.path / ("fs/f" + std::to_string(fillers))).c_str(), O_CREAT | O_WRONLY, 0644)) == 0)
             ++fillers;
         for (int i : {1, 2})
             fs::remove(dir.path / ("fs/f" + std::to_string(fillers - i)));
         tear(dir, "fs/old.bin", "1000001", "o 0 z.bin 1\nw\ny\nq\n");
         ASSERT_EQ(dir.read("fs/old.7in"), old);
         struct stat torn {}, reused {};
         ASSERT_EQ(stat((dir.path / "fs/old.bin").c_str(), &torn), 0);
         for (std::string name : {"fs/old.bin", "fs/old.link", "fs/f0"})
             fs::remove(dir.path / name);
         dir.write("fs/new.bin", fresh);
         ASSERT_EQ(stat((dir.path / "fs/new.bin").c_str(), &reused), 0);
         ASSERT_EQ(reused.st_ino, torn.st_ino) << "the file system gave the new file another number";
         std::string mark = torn_in(dir.path / "fs", "old.7in");
         ASSERT_FALSE(mark.empty());
         auto r = run_in(dir, voxa_program(), {"fs/new.bin", "1000001"}, "o 0 z.bin 1\nw\ny\nq\n");
         // A mark in the folder claims the number; a record on old.7in is
         // not about new.bin's backup at all.
         std::string set_aside = build_has("records") ? "" : "ERROR: " + mark +
                              ", the mark of an unfinished write of old.bin, matches neither fs/new.bin nor its "
                              "backup: set aside, not used...\n";
         EXPECT_EQ(r.out, banner("fs/new.bin", 2000000) + set_aside +
                              "-Please Wait... Loading z.bin into memory at 0 \n 1 Bytes Loaded into memory. \n-" +
                              question + written("fs/new.bin", "fs/new.7in") + "-");
         EXPECT_EQ(r.status, 0);
         std::string patched = fresh;
         patched[1000000] = 'Z';
         EXPECT_TRUE(dir.read("fs/new.bin") == patched);
         EXPECT_TRUE(dir.read("fs/new.7in") == fresh);
         EXPECT_TRUE(dir.read("fs/old.7in") == old);
     }},
    {"two files share a backup name: the torn one's last whole version is not replaced", tracer,
     [] {
         temp_dir dir;
         const std::string mine = pattern(20000, 3), other = pattern(20000, 4);
         dir.write("f.bin", mine);
         dir.write("f.cin", other);
         dir.write("z.bin", "Z");
         fs::create_hard_link(dir.path / "f.bin", dir.path / "f.link");
         tear(dir, "f.bin", "0", "e 0 5a\nw\ny\nq\n");
         ASSERT_EQ(dir.read("f.7in"), mine);
         std::string mark = torn_in(dir.path, "f.7in");
         auto refused = run_in(dir, voxa_program(), {"f.cin"}, "e 0 5a\nw\ny\nq\n");
         EXPECT_EQ(refused.out, banner("f.cin", 20000) + "--" + question + "ERROR: backup f.7in holds the last whole " +
                                    "version of f.bin, whose rewrite did not finish (" + mark +
                                    "): f.cin not written...\n-");
         EXPECT_EQ(refused.status, 1);
         EXPECT_TRUE(dir.read("f.7in") == mine);
         EXPECT_TRUE(dir.read("f.cin") == other);
         // A part of the torn (empty) file: the bytes around it come back from
         // its own last whole version.
         auto part = run_in(dir, voxa_program(), {"f.bin", "1001"}, "w\ny\nq\n");
         EXPECT_EQ(part.status, 0) << part.out;
         EXPECT_TRUE(dir.read("f.bin") == mine);
         EXPECT_TRUE(dir.read("f.link") == mine);
         EXPECT_TRUE(dir.read("f.7in") == mine);
         EXPECT_TRUE(torn_in(dir.path, "f.7in").empty());
     }},
    {"the folder renamed and replaced by a link to another folder while the write lands", tracer,
     [] {
         temp_dir dir;
         fs::create_directory(dir.path / "work");
         fs::create_directory(dir.path / "other");
         dir.write("work/x.bin", "ABC");
         dir.write("other/x.bin", "not yours");
         auto done = held_up(dir, "renameat2:delay_enter=2000000:when=1", {"work/x.bin"}, "e 0 5a\nw\ny\n",
                             "Writing new file", [&](running&) {
                                 fs::rename(dir.path / "work", dir.path / "moved");
                                 fs::create_directory_symlink("other", dir.path / "work");
                             });
         EXPECT_EQ(done.out, banner("work/x.bin", 3) + "--" + question + written("work/x.bin", "work/x.7in") + "-");
         EXPECT_EQ(done.status, 0);
         EXPECT_EQ(dir.read("moved/x.bin"), "ZBC");
         EXPECT_EQ(dir.read("moved/x.7in"), "ABC");
         EXPECT_EQ(dir.read("other/x.bin"), "not yours");
         std::vector<std::string> in_other;
         for (const auto& entry : fs::directory_iterator(dir.path / "other"))
             in_other.push_back(entry.path().filename().string());
         EXPECT_EQ(in_other, std::vector<std::string>{"x.bin"});
     }},
    {"a named pipe swapped in before the rewrite in place opens the file", tracer,
     [] {
         temp_dir dir;
         dir.write("x.bin", "ABC");
         fs::create_hard_link(dir.path / "x.bin", dir.path / "x.link");
         temp_dir dry;
         int open_for_writing = ordinal_of(dry_trace(dir, dry, {"x.bin"}, "e 0 5a\nw\ny\nq\n"), "openat",
                                           "\"x.bin\", O_WRONLY");
         ASSERT_GT(open_for_writing, 0);
         auto done = held_up(dir, "openat:delay_enter=2000000:when=" + std::to_string(open_for_writing), {"x.bin"},
                             "e 0 5a\nw\ny\n", "Writing new file", [&](running&) {
                                 fs::remove(dir.path / "x.bin");
                                 ASSERT_EQ(mkfifo((dir.path / "x.bin").c_str(), 0600), 0);
                             }, 10);
         EXPECT_EQ(done.signal, 0) << "still blocked";
         EXPECT_EQ(done.out, banner("x.bin", 3) + "--" + question + written("x.bin", "x.7in") +
                                 "Can't open file x.bin.\n-");
         EXPECT_EQ(done.status, 1);
         EXPECT_EQ(dir.read("x.link"), "ABC");
         EXPECT_EQ(dir.read("x.7in"), "ABC");
         EXPECT_TRUE(leftovers(dir.path).empty());
     }},
    {"a hang-up, a termination or Ctrl-C in a script during a write: it stops whole, then the program ends so", tracer,
     [] {
         struct stop {
             const char* what;
             int number;
             bool hard_link;
             std::string startbyte, delayed, after; // the call held up, and the line it comes after
             bool torn;                             // the signal comes once the file is touched
         };
         const std::string old = pattern(30000, 5);
         for (const auto& [what, number, hard_link, startbyte, delayed, after, torn] : std::vector<stop>{
                  {"renamed", SIGTERM, false, "0", "fsync:delay_enter=1500000:when=1", "Writing new file", false},
                  {"a part, renamed", SIGINT, false, "1001", "fsync:delay_enter=1500000:when=1", "Writing new file", false},
                  {"the backup copied", SIGHUP, true, "0", "fsync:delay_enter=1500000:when=1", "Backing up", false},
                  // Held up at its first write into the file, found below.
                  {"rewritten in place", SIGTERM, true, "0", "pwrite64:delay_enter=1500000:when=", "Writing new file", true},
              }) {
             SCOPED_TRACE(what);
             temp_dir dir;
             dir.write("x.bin", old);
             if (hard_link)
                 fs::create_hard_link(dir.path / "x.bin", dir.path / "x.link");
             const std::string script = "r 0 7fffffff 20 n 5f\nw\ny\n";
             std::string held = delayed;
             if (held.back() == '=')
                 held += std::to_string(first_write_into(dir, "x.bin", startbyte, script + "q\n"));
             auto done = held_up(dir, held, {"x.bin", startbyte}, script, after, [&, number = number](running& r) {
                 // The editor itself, not its tracer.
                 std::ifstream children("/proc/" + std::to_string(r.pid) + "/task/" + std::to_string(r.pid) + "/children");
                 int editor = 0;
                 ASSERT_TRUE(children >> editor);
                 ASSERT_EQ(kill(editor, number), 0);
             }, 20);
             EXPECT_NE(done.out.find("(Interrupted system call)"), std::string::npos) << done.out;
             EXPECT_TRUE(dir.read("x.bin") == (torn ? "" : old) || torn) << "the file changed";
             EXPECT_TRUE(!dir.exists("x.7in") || dir.read("x.7in") == old);
             std::vector<std::string> left = leftovers(dir.path);
             EXPECT_EQ(left.size(), torn && !build_has("records") ? 1u : 0u) << (left.empty() ? "" : left[0]);
             EXPECT_EQ(torn_in(dir.path, "x.7in").empty(), !torn);
             // Whatever it left, the next session writes and loses nothing.
             auto next = run_in(dir, voxa_program(), {"x.bin"}, "w\ny\nq\n");
             EXPECT_EQ(next.status, 0) << next.out;
             EXPECT_TRUE(dir.read("x.7in") == old);
             EXPECT_TRUE(leftovers(dir.path).empty());
         }
     }},
    {"a mark that names another user's secret as a torn file's whole version: the secret is never read", root,
     [] {
         // In a shared folder, the owner of a world-writable file leaves a mark
         // saying its last whole version is another user's file.
         temp_dir dir;
         fs::permissions(dir.path, static_cast<fs::perms>(01777));
         const std::string theirs = pattern(5000100, 8), secret = pattern(5000100, 9);
         dir.write("a.bin", theirs);
         dir.write("secret.dat", secret);
         ASSERT_EQ(chown((dir.path / "a.bin").c_str(), 4002, 4002), 0);
         ASSERT_EQ(chmod((dir.path / "a.bin").c_str(), 0666), 0);
         ASSERT_EQ(chmod((dir.path / "secret.dat").c_str(), 0600), 0);
         sys::file_info file, kept;
         ASSERT_TRUE(sys::info_of_name((dir.path / "a.bin").string(), file));
         ASSERT_TRUE(sys::info_of_name((dir.path / "secret.dat").string(), kept));
         dir.write(".voxa-torn-AAAAAA", torn_record(file.id, "a.bin", kept, "secret.dat"));
         ASSERT_EQ(chown((dir.path / ".voxa-torn-AAAAAA").c_str(), 4002, 4002), 0);
         auto r = run_in(dir, voxa_program(), {"a.bin"}, "e 0 41\nw\ny\nq\n");
         EXPECT_EQ(r.status, 0) << r.out;
         std::string edited = theirs;
         edited[0] = 'A';
         EXPECT_TRUE(dir.read("a.bin") == edited);
         EXPECT_TRUE(dir.read("secret.dat") == secret);
     }},
    {"a torn rewrite that another session mends while this one is open: its w keeps no old backup", tracer,
     [] {
         temp_dir dir;
         const std::string old = pattern(20000, 12);
         dir.write("x.bin", old);
         dir.write("c.bin", "CCC");
         dir.write("b.bin", "BBB");
         fs::create_hard_link(dir.path / "x.bin", dir.path / "x.link");
         tear(dir, "x.bin", "0", "e 0 5a\nw\ny\nq\n");
         ASSERT_EQ(dir.read("x.bin"), "");
         // B is told of the torn rewrite; C then writes the file whole.
         running b(dir, voxa_program(), {"x.bin"});
         ASSERT_TRUE(b.wait_for("which w keeps...\n-")) << b.seen;
         auto c = run_in(dir, voxa_program(), {"x.bin"}, "i 0 c.bin\nw\ny\nq\n");
         ASSERT_EQ(c.status, 0) << c.out;
         ASSERT_EQ(dir.read("x.7in"), old);
         // B's w decides from what is on disk: C's version is the backup.
         b.send("i 0 b.bin\nw\ny\ny\nq\n");
         auto done = b.finish();
         EXPECT_EQ(done.status, 0) << done.out;
         EXPECT_EQ(dir.read("x.bin"), "BBB");
         EXPECT_EQ(dir.read("x.link"), "BBB");
         EXPECT_EQ(dir.read("x.7in"), "CCC");
     }},
    {"a record that cannot be read whole is neither believed nor shown", nothing,
     [] {
         temp_dir dir;
         dir.write("x.bin", "ABC");
         dir.write("x.7in", "older");
         sys::file_info file, kept;
         ASSERT_TRUE(sys::info_of_name((dir.path / "x.bin").string(), file));
         ASSERT_TRUE(sys::info_of_name((dir.path / "x.7in").string(), kept));
         std::string whole = torn_record(file.id, "x.bin", kept, "x.7in");
         std::string head = whole.substr(0, whole.find('\n') + 1), numbers = whole.substr(0, whole.find("x.bin"));
         std::string backup = backup_record("x.bin", kept, "x.7in");
         // Each claims the file, and would be told of or set aside if it were read.
         std::string some = std::to_string(file.id.device) + " " + std::to_string(file.id.index) + "\n";
         for (const std::string& text :
              {head + some + "x.bin" + '\0' + "x.7in" + '\0', backup.substr(0, backup.find('\n') + 1) + "x\n",
               std::string("a note of another program\n"), numbers + "x.bin", numbers + "x.bin" + '\0' + "x.7in",
               numbers + "../x.bin" + '\0' + "x.7in" + '\0'}) {
             plant_record(dir, "x.7in", text);
             auto r = run_in(dir, voxa_program(), {"x.bin"}, "q\n");
             EXPECT_EQ(r.out, banner("x.bin", 3) + "-");
         }
     }},
    {"a record's names are shown with their control characters escaped", nothing,
     [] {
         temp_dir dir;
         dir.write("x.bin", "ABC");
         dir.write("x.7in", "older");
         sys::file_info file;
         ASSERT_TRUE(sys::info_of_name((dir.path / "x.bin").string(), file));
         file.id.birth += 1; // an earlier file that had its number
         std::string name = plant_torn(dir, "x.7in", file.id, "x\x1b]0;owned\x07\x1b[2J.bin");
         auto r = run_in(dir, voxa_program(), {"x.bin"}, "q\n");
         EXPECT_EQ(r.out, banner("x.bin", 3) + "ERROR: " + name + ", the mark of an unfinished write of " +
                              "x\\x1b]0;owned\\x07\\x1b[2J.bin, matches neither x.bin nor its backup: set aside, not used...\n-");
     }},
    {"a torn file whose file system comes back under another device number is known", root | tracer,
     [] {
         temp_dir dir;
         fs::create_directory(dir.path / "image");
         const std::string old = pattern(20000, 10);
         struct stat before {}, after {};
         {
             loop_file_system ext4(dir.path / "image/fs.img", dir.path / "fs", {"/usr/sbin/mkfs.ext4", "-q"}, 64 << 20);
             if (!ext4.mounted)
                 return not_run(ext4.why_not);
             dir.write("fs/f.bin", old);
             fs::create_hard_link(dir.path / "fs/f.bin", dir.path / "fs/f.link");
             tear(dir, "fs/f.bin", "0", "e 0 5a\nw\ny\nq\n");
             ASSERT_EQ(dir.read("fs/f.bin"), "");
             ASSERT_EQ(stat((dir.path / "fs/f.bin").c_str(), &before), 0);
         }
         // Another image holds the loop device the first had, as a disk set
         // up in another order after a crash would.
         std::ofstream(dir.path / "image/other.img").close();
         fs::resize_file(dir.path / "image/other.img", 1 << 20);
         auto held = run_in(dir, "/usr/sbin/losetup", {"-f", "--show", (dir.path / "image/other.img").string()}, "");
         std::string device = held.out.substr(0, held.out.find('\n'));
         loop_file_system again(dir.path / "image/fs.img", dir.path / "fs", "rw");
         ASSERT_TRUE(again.mounted) << again.why_not;
         ASSERT_EQ(stat((dir.path / "fs/f.bin").c_str(), &after), 0);
         EXPECT_NE(after.st_dev, before.st_dev) << "mounted under the same device number";
         std::string backup = (fs::canonical(dir.path / "fs") / "f.7in").string();
         auto r = run_in(dir, voxa_program(), {"fs/f.bin"}, "w\ny\nq\n");
         EXPECT_EQ(r.out, banner("fs/f.bin", 0) + "ERROR: the last write of fs/f.bin did not finish: its old contents are in " +
                              backup + ", which w keeps...\n-" + question + "Backup " + backup +
                              " kept: it holds the file as it was before the failed write. \n"
                              "Please Wait... Writing new file fs/f.bin. \n-");
         EXPECT_TRUE(dir.read("fs/f.7in") == old);
         if (!device.empty())
             run_in(dir, "/usr/sbin/losetup", {"-d", device}, "");
     }},
    {"a write on XFS, then a power cut: the new file is in place, the old one its backup", root,
     [] {
         // Nothing else syncs the file system: the write's own flushes must
         // take the rename to the disk.
         temp_dir dir;
         const std::string old = pattern(1 << 20, 11);
         auto cut = power_cut_on_xfs(dir, [&] {
             dir.write("fs/x.bin", old);
             sync();
             auto r = run_in(dir, voxa_program(), {"fs/x.bin"}, "e 0 5a\nw\ny\nq\n");
             EXPECT_EQ(r.status, 0) << r.out;
         });
         if (cut == nullptr)
             return;
         std::string edited = old;
         edited[0] = 'Z';
         EXPECT_TRUE(dir.read("cut/x.bin") == edited);
         EXPECT_TRUE(dir.read("cut/x.7in") == old);
     }},
    {"package over an earlier output on XFS, then a power cut: the output is the new copy", root,
     [] {
         temp_dir dir;
         const std::string input = pattern(1 << 20, 6), earlier = pattern(1 << 20, 7);
         auto cut = power_cut_on_xfs(dir, [&] {
             dir.write("fs/in.bin", input);
             dir.write("fs/out.bin", earlier);
             sync();
             auto copied = run_in(dir, package_program(), {"build", "fs/in.bin", "fs/out.bin"}, "");
             EXPECT_EQ(copied.status, 0) << copied.out;
             // Another program makes its own file last, which takes the file
             // system's log to the disk.
             int other = open((dir.path / "fs/other").c_str(), O_CREAT | O_WRONLY, 0644);
             EXPECT_TRUE(other >= 0 && write(other, "x", 1) == 1 && fsync(other) == 0 && close(other) == 0);
         });
         if (cut == nullptr)
             return;
         std::string marked = input;
         marked[0] = 'M';
         EXPECT_TRUE(dir.read("cut/out.bin") == marked) << dir.read("cut/out.bin").size() << " bytes";
     }},
    {"a read-only file system gives its own reason", root,
     [] {
         temp_dir dir;
         small_file_system tmpfs(dir.path / "fs", 1 << 20);
         if (!tmpfs.mounted)
             return not_run("no tmpfs can be mounted here");
         dir.write("fs/x.bin", "ABC");
         ASSERT_EQ(mount(nullptr, (dir.path / "fs").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
         auto r = run_in(dir, voxa_program(), {"fs/x.bin"}, "e 0 5a\nw\ny\nq\n");
         EXPECT_EQ(r.out, banner("fs/x.bin", 3) + "--" + question +
                              "ERROR: can't write backup fs/x.7in (Read-only file system), file not written...\n-");
         EXPECT_EQ(r.status, 1);
     }},
    {"the name swapped for a link to another file while the session waits", nothing,
     [] {
         temp_dir dir;
         dir.write("x.bin", "ABC");
         dir.write("other.bin", "not yours");
         running whole(dir, voxa_program(), {"x.bin"}), part(dir, voxa_program(), {"x.bin", "2"});
         ASSERT_TRUE(whole.wait_for(banner("x.bin", 3) + "-"));
         ASSERT_TRUE(part.wait_for(banner("x.bin", 2) + "-"));
         fs::remove(dir.path / "x.bin");
         fs::create_symlink("other.bin", dir.path / "x.bin");
         whole.send("w\ny\n");
         ASSERT_TRUE(whole.wait_for("Write over it anyway? Y/[N]\n"));
         whole.send("n\n");
         part.send("w\n");
         auto w = whole.finish(), p = part.finish();
         EXPECT_EQ(w.out, banner("x.bin", 3) + "-" + question + "x.bin changed since it was loaded. \n" +
                              "Write over it anyway? Y/[N]\n" + declined + "-");
         EXPECT_EQ(w.status, 1);
         EXPECT_EQ(p.out, banner("x.bin", 2) + "-ERROR: x.bin changed since it was loaded, not written...\n-");
         EXPECT_EQ(p.status, 1);
         EXPECT_EQ(dir.read("other.bin"), "not yours");
         EXPECT_FALSE(dir.exists("x.7in"));
     }},
    {"two sessions in turn: the second is asked before it writes over the first", nothing,
     [] {
         temp_dir dir;
         dir.write("x.bin", "ABC");
         running one(dir, voxa_program(), {"x.bin"}), two(dir, voxa_program(), {"x.bin"});
         ASSERT_TRUE(one.wait_for(banner("x.bin", 3) + "-"));
         ASSERT_TRUE(two.wait_for(banner("x.bin", 3) + "-"));
         one.send("e 0 5a\nw\ny\n");
         ASSERT_TRUE(one.wait_for("Writing new file x.bin. \n-"));
         two.send("e 1 59\nw\ny\n");
         ASSERT_TRUE(two.wait_for("Write over it anyway? Y/[N]\n"));
         two.send("n\n");
         ASSERT_TRUE(two.wait_for(declined + "-"));
         EXPECT_EQ(dir.read("x.bin"), "ZBC");
         EXPECT_EQ(dir.read("x.7in"), "ABC");
         // Said yes to: the first session's bytes go to the backup.
         two.send("w\ny\ny\n");
         auto first = one.finish(), second = two.finish();
         EXPECT_EQ(first.status, 0);
         EXPECT_EQ(second.status, 0) << second.out;
         EXPECT_EQ(dir.read("x.bin"), "AYC");
         EXPECT_EQ(dir.read("x.7in"), "ZBC");
     }},
    {"a file removed before w is written anew with the mode it had", nothing,
     [] {
         temp_dir dir;
         dir.write("x.bin", "ABC");
         fs::permissions(dir.path / "x.bin", static_cast<fs::perms>(0604));
         running r(dir, voxa_program(), {"x.bin"});
         ASSERT_TRUE(r.wait_for(banner("x.bin", 3) + "-"));
         fs::remove(dir.path / "x.bin");
         r.send("w\ny\n");
         auto done = r.finish();
         EXPECT_EQ(done.out, banner("x.bin", 3) + "-" + question + "Nothing to back up: x.bin is gone, it is " +
                                 "written anew. \nPlease Wait... Writing new file x.bin. \n-");
         EXPECT_EQ(dir.read("x.bin"), "ABC");
         if (build_has("bits")) {
             EXPECT_EQ(fs::status(dir.path / "x.bin").permissions(), static_cast<fs::perms>(0604));
         }
     }},
    {"a reader that goes away before the script's w", nothing,
     [] {
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
         std::string edited(4000, 'o');
         edited[0] = 'Z';
         EXPECT_EQ(dir.read("x.bin"), edited);
         EXPECT_EQ(dir.read("x.7in"), std::string(4000, 'o'));
     }},
    {"a file another user owns and lets others write is rewritten in place", root,
     [] {
         // The writer may not give a new file the owner: the file itself
         // is rewritten, and the backup, which the writer makes, gives its
         // group bits to no group of the writer's, and lets no one but its
         // maker write the last whole version.
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
         EXPECT_EQ(backup.st_mode & 07777, 0604u);
         EXPECT_TRUE(leftovers(dir.path).empty());
     }},
    {"the owner and group kept on the rename path", root,
     [] {
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
     }},
};

} // namespace

// Each row a situation that another user, another session or another
// program makes around a write, and what the write must do then.
TEST(WriteAcrossSessions, OtherUsersSessionsAndProgramsAroundTheWrite)
{
    std::string skipped;
    for (const situation& row : situations) {
        SCOPED_TRACE(row.what);
        if (std::string why = unmet(row.needs); !why.empty()) {
            skipped += std::string("\n  ") + row.what + ": " + why;
            continue;
        }
        row_not_run.clear();
        row.check();
        if (!row_not_run.empty())
            skipped += std::string("\n  ") + row.what + ": " + row_not_run;
    }
    if (!skipped.empty())
        std::printf("not run here:%s\n", skipped.c_str());
}

// Two sessions started at once, again and again: each session that says
// its write landed has its bytes in the file or in the backup, and every
// other is told, never silently overwritten. On Windows the file's name is
// missing for a moment while ReplaceFileW puts the other session's file in
// place: a session that starts then loads nothing and says so.
TEST(WriteAcrossSessions, TwoSessionsAtOnce)
{
    const std::string old(2000, '.');
    const bool name_may_be_missing = build_platform() == "windows";
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
            else if (!name_may_be_missing || results[i].out.rfind("Can't Open file x.bin.", 0) != 0) {
                EXPECT_NE(results[i].out.find("changed since it was loaded"), std::string::npos) << results[i].out;
            }
        }
        EXPECT_TRUE(leftovers(dir.path).empty());
    }
}

// The file's extended attributes, its POSIX ACL among them, on the new
// file and on the backup, whichever way the write lands.
TEST(WriteAcrossSessions, AnAccessListIsKept)
{
    NEEDS_FEATURE("attributes", "extended attributes");
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

namespace {

const std::string waits_for_another = "Waiting for another write of x.bin to finish... \n";

// strace's words that run the editor with `args` and stop it by SIGSTOP
// right after the `when`th call of `call` (among those on the file `only`,
// when one is named), with its log of those calls and of the stop in `log`.
std::vector<std::string> stopping(const std::string& log, const std::string& call, int when, const std::string& only,
                                  const std::vector<std::string>& args)
{
    std::vector<std::string> words{"-o", log, "-e", "trace=" + call, "-e",
                                   "inject=" + call + ":signal=STOP:when=" + std::to_string(when)};
    if (!only.empty())
        words.insert(words.end(), {"-P", only});
    words.push_back("--");
    words.push_back(voxa_program());
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

// A session of the editor that strace stops at a call of its own (see
// stopping), held there until the test lets it go on. The editor is
// strace's child: should a check fail while it is stopped, it is killed
// rather than left stopped.
struct stoppable {
    temp_dir logs;
    std::string log = (logs.path / "trace").string();
    running r;

    stoppable(const temp_dir& dir, const std::string& call, int when, const std::string& only,
              const std::vector<std::string>& args)
        : r(dir, strace, stopping(log, call, when, only, args), traced)
    {
    }
    ~stoppable()
    {
        if (int pid = editor(); pid > 0)
            kill(pid, SIGKILL);
    }
    stoppable(const stoppable&) = delete;
    stoppable& operator=(const stoppable&) = delete;

    int editor() const
    {
        if (r.pid <= 0)
            return 0;
        std::ifstream children("/proc/" + std::to_string(r.pid) + "/task/" + std::to_string(r.pid) + "/children");
        int pid = 0;
        return children >> pid ? pid : 0;
    }
    // Waits for the stop: false when the session ended first, or said that
    // it waits for another write (then it reaches its stop only later).
    bool stopped(int seconds = 30)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream in(log);
            std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            if (text.find("--- stopped by SIGSTOP ---") != std::string::npos)
                return editor() > 0;
            if (text.find("+++ ") != std::string::npos || r.wait_for(waits_for_another, 0))
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    void go_on() const
    {
        if (int pid = editor(); pid > 0)
            kill(pid, SIGCONT);
    }
};

// Gives a session its script, unless it has ended already (a file that
// was not there to load): then the write fails, and no SIGPIPE ends the
// test.
void offer(running& session, const std::string& script)
{
    sigset_t pipe_signal, was;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &was);
    if (write(session.to, script.data(), script.size()) < 0 && errno == EPIPE) {
        timespec none{};
        sigtimedwait(&pipe_signal, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &was, nullptr);
}

// From a trace of a session's calls on its file (fcntl and flock): the
// call just before its first look at the write lock, and its ordinal among
// the calls of its name, where a session can be stopped before it looks.
std::pair<std::string, int> just_before_first_lock(const std::string& trace)
{
    std::ifstream in(trace);
    std::map<std::string, int> seen;
    std::pair<std::string, int> last{"", 0};
    for (std::string line; std::getline(in, line);) {
        size_t paren = line.find('(');
        if (paren == std::string::npos || line.rfind("+++", 0) == 0 || line.rfind("---", 0) == 0)
            continue;
        std::string name = line.substr(0, paren);
        if (name == "flock" || line.find("F_SETLK") != std::string::npos)
            return last;
        last = {name, ++seen[name]};
    }
    return {"", 0};
}

// A session of a race: the bytes it writes (the file as it loaded it, with
// its edit; none when it loaded nothing) and how it ended.
struct racer {
    const char* name;
    std::optional<std::string> version;
    run_result done;
    bool reported() const { return done.status == 0; } // its write landed, it says
};

// The file as a session loaded it from `start` on, with its replace (r)
// of `from` by `to` done in the part loaded.
std::optional<std::string> with_edit(std::optional<std::string> loaded, size_t start, const std::string& from,
                                     const std::string& to)
{
    if (loaded)
        for (size_t at = loaded->find(from, start); at != std::string::npos; at = loaded->find(from, at + 1))
            loaded->replace(at, from.size(), to);
    return loaded;
}

// The folder after two sessions, A and B, that each wrote the file once, or
// failed to, or were refused. Each landing puts its version in the file and
// the version it replaces in the backup (no write is left torn here, so no
// backup is kept back). The landings, in the order they landed, follow the
// version the file had before them (`before`; none for a file written
// anew), and so:
//   - the file is, whole, the version of the session that landed last, or,
//     when none did, the version before;
//   - the backup is the version the file held just before that landing:
//     the other session's when it landed first, else the version before
//     (none where there was none);
//   - hence, with one write each, every version a session reported as
//     written is in the file or the backup: only the version before them
//     is rotated out, and only by two landings; a session that did not
//     report its write landed nothing;
//   - the folder holds nothing else: no temporary file, no mark, no record
//     of an unfinished rewrite on the backup, and the file's other names
//     (`links`) show the file itself.
void check_landings(const temp_dir& dir, const std::optional<std::string>& before, const racer& a, const racer& b,
                    const std::vector<std::string>& links)
{
    auto content = [&](const std::string& name) -> std::optional<std::string> {
        return dir.exists(name) ? std::optional(dir.read(name)) : std::nullopt;
    };
    auto whose = [&](const std::optional<std::string>& v) -> std::string {
        if (!v)
            return "none";
        std::string said;
        for (const racer* r : {&a, &b})
            if (v == r->version)
                said += std::string(r->name) + "'s version ";
        if (v == before)
            said += "the version before ";
        return said.empty() ? std::to_string(v->size()) + " bytes of no one's version" : said;
    };
    const std::optional<std::string> file = content("x.bin"), backup = content("x.7in");
    std::string story = "\nA said:\n" + a.done.out + "\nB said:\n" + b.done.out + "\nthe file is " + whose(file) +
                        "\nthe backup is " + whose(backup);
    for (const racer* r : {&a, &b}) {
        // Where a session may fail: a part of a file that changed since it
        // was loaded, or a file that was not there to load.
        const std::string& out = r->done.out;
        bool refused = out.find("ERROR: x.bin changed since it was loaded, not written...\n") != std::string::npos ||
                       out.rfind("Can't Open file x.bin.\n", 0) == 0;
        EXPECT_TRUE(r->done.status == 0 || (r->done.status == 1 && refused)) << r->name << " failed" << story;
    }
    const racer* last = nullptr;
    for (const racer* r : {&a, &b})
        if (r->version && file == r->version)
            last = r;
    if (last == nullptr) {
        EXPECT_TRUE(file == before) << "the file is torn" << story;
        EXPECT_FALSE(a.reported() || b.reported()) << "a write said it landed, but the file is not its version" << story;
        EXPECT_TRUE(!backup || backup == before) << story;
    } else {
        const racer& other = last == &a ? b : a;
        EXPECT_TRUE(last->reported()) << last->name << " landed, but said it did not" << story;
        EXPECT_TRUE(backup == (other.reported() ? other.version : before))
            << "the backup is not the version the file held before the last landing" << story;
    }
    std::set<std::string> names, expected(links.begin(), links.end());
    for (const auto& entry : fs::directory_iterator(dir.path))
        names.insert(entry.path().filename().string());
    if (file)
        expected.insert("x.bin");
    if (backup)
        expected.insert("x.7in");
    EXPECT_EQ(names, expected) << story;
    EXPECT_EQ(torn_in(dir.path, "x.7in"), "") << story;
    for (const std::string& link : links)
        EXPECT_TRUE(fs::exists(dir.path / link) && fs::exists(dir.path / "x.bin") &&
                    fs::equivalent(dir.path / link, dir.path / "x.bin"))
            << link << " is no longer the file" << story;
}

} // namespace

// Two sessions at every step, the race's twin of the kill table above. For
// each way a write lands, session A is stopped right after each system call
// of its write (as a first traced run of A alone numbers them), while
// session B loads the same file, edits it and writes it, to its end or until
// it says it waits for A; then A goes on. And again with B stopped just
// before its first look at the write lock (at start-up, once it has loaded
// the file, where it reads the records of an unfinished rewrite under the
// lock) while A goes on to its end; then B goes on. Each session answers yes to every question: a second
// writer that is told the file changed writes over it, so that the other's
// version must then be the backup. See check_landings for what must hold.
TEST(WriteAcrossSessions, TwoSessionsAtEveryStepLoseNoVersion)
{
    LINUX_PROGRAMS_ONLY("strace");
    NOT_EMULATED(emulated_tracer);
    if (access(strace, X_OK) != 0)
        GTEST_SKIP() << "no strace here";
    struct way {
        const char* what;
        bool hard_link;        // rewritten in place
        std::string startbyte; // a window: a part of the file
        bool removed;          // the file is removed once A has loaded it: A writes it anew
    };
    std::vector<way> ways{{"renamed", false, "0", false},
                          {"in place", true, "0", false},
                          {"a window", false, "1001", false},
                          {"anew", false, "0", true}};
#if defined(__SANITIZE_ADDRESS__)
    // A sanitizer's start-up is slow: the two ways with the most steps.
    ways = {ways[0], ways[1]};
#endif
    // A turns the file's one "@1" into "AA", B its one "@2" into "BB".
    const std::string a_script = "r 0 7fffffff 40 31 n 41 41\nw\ny\ny\ny\nq\n";
    const std::string b_script = "r 0 7fffffff 40 32 n 42 42\nw\ny\ny\ny\nq\n";
    for (const auto& [what, hard_link, startbyte, removed] : ways) {
        const size_t start = startbyte == "0" ? 0 : std::stoul(startbyte) - 1;
        std::string old = pattern(3000, 8);
        std::replace(old.begin(), old.end(), '@', '.');
        old.replace(start + 0x10, 2, "@1");
        old.replace(start + 0x20, 2, "@2");
        const std::optional<std::string> before = removed ? std::nullopt : std::optional(old);
        const std::optional<std::string> a_version = with_edit(old, start, "@1", "AA");
        std::vector<std::string> links;
        if (hard_link)
            links.push_back("x.link");
        auto fresh = [&](const temp_dir& dir) {
            dir.write("x.bin", old);
            for (const std::string& link : links)
                fs::create_hard_link(dir.path / "x.bin", dir.path / link);
        };
        const std::vector<std::string> args{"x.bin", startbyte};
        auto a_starts = [&, removed = removed](running& a, const temp_dir& dir) {
            if (!a.wait_for(" Note! Use '?' for command HELP. \n-"))
                return false;
            if (removed)
                fs::remove(dir.path / "x.bin");
            a.send(a_script);
            return true;
        };

        // A's steps, from a first traced run of A alone.
        temp_dir logs, first_run;
        fresh(first_run);
        std::string trace = (logs.path / "a.trace").string();
        {
            std::vector<std::string> words{"-o", trace, "--", voxa_program()};
            words.insert(words.end(), args.begin(), args.end());
            running a(first_run, strace, words, traced);
            ASSERT_TRUE(a_starts(a, first_run)) << what;
            auto done = a.finish();
            ASSERT_EQ(done.status, 0) << what << done.out;
            ASSERT_TRUE(first_run.read("x.bin") == *a_version) << what;
        }
        auto steps = calls_after(trace, "read(0,");
        ASSERT_GT(steps.size(), 10u) << what;
        // Where B stops before its first look at the lock, from a traced
        // run of B alone: its calls on the file that may take the lock.
        temp_dir b_run;
        fresh(b_run);
        std::string b_trace = (logs.path / "b.trace").string();
        run_in(b_run, strace,
               {"-o", b_trace, "-P", (fs::canonical(b_run.path) / "x.bin").string(), "-e",
                "trace=/^(fcntl|fcntl64|flock)$", "--", voxa_program(), "x.bin", startbyte},
               b_script, traced);
        const auto [b_call, b_when] = just_before_first_lock(b_trace);
        ASSERT_GT(b_when, 0) << what << ": no look at the lock in B's trace";

        for (const auto& [call, ordinal] : steps) {
            for (bool b_stopped : {false, true}) {
                SCOPED_TRACE(std::string(what) + ": A stopped after " + call + " #" + std::to_string(ordinal) +
                             (b_stopped ? ", B before its first look at the lock" : ", B to its end"));
                temp_dir dir;
                fresh(dir);
                stoppable a(dir, call, ordinal, "", args);
                ASSERT_TRUE(a_starts(a.r, dir));
                ASSERT_TRUE(a.stopped()) << "A ran past its stop";
                // B loads while A is stopped: the file as it is now.
                racer ra{"A", a_version, {}}, rb{"B", std::nullopt, {}};
                if (dir.exists("x.bin"))
                    rb.version = with_edit(dir.read("x.bin"), start, "@2", "BB");
                if (!b_stopped) {
                    running b(dir, voxa_program(), args);
                    offer(b, b_script);
                    auto began = std::chrono::steady_clock::now();
                    bool waits = b.wait_for(waits_for_another, 30);
                    EXPECT_TRUE(waits || std::chrono::steady_clock::now() - began < std::chrono::seconds(30))
                        << "B neither ended nor said it waits";
                    a.go_on();
                    ra.done = a.r.finish();
                    rb.done = b.finish();
                } else {
                    stoppable b(dir, b_call, b_when, (fs::canonical(dir.path) / "x.bin").string(), args);
                    offer(b.r, b_script);
                    bool held = b.stopped();
                    a.go_on();
                    ra.done = a.r.finish();
                    if (held)
                        b.go_on();
                    rb.done = b.r.finish();
                }
                check_landings(dir, before, ra, rb, links);
                if (::testing::Test::HasFailure())
                    return; // one case is enough to follow
            }
        }
    }
}
