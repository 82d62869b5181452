// On file systems that share blocks between files, a write and a package
// copy share every block they do not change: the bytes exact, next to no
// room taken. Each row a file system, on a loop image mounted for the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/statvfs.h>
#include <unistd.h>

#include "run.hpp"

namespace {

// Bytes in use on the file system of `path`, once what was written is on disk.
long long used(const fs::path& path)
{
    sync();
    struct statvfs info {};
    if (statvfs(path.c_str(), &info) != 0)
        return -1;
    return static_cast<long long>(info.f_blocks - info.f_bfree) * static_cast<long long>(info.f_frsize);
}

// 24 MiB that no two blocks share.
std::string pseudo_random()
{
    std::string data(24 << 20, '\0');
    uint32_t x = 12345;
    for (char& c : data) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 23);
    }
    return data;
}

} // namespace

TEST(SharedBlocks, AWindowWriteAndAPackageCopyTakeNextToNoRoom)
{
    NEEDS_FEATURE("sharing", "blocks shared between files");
    struct file_system {
        const char* name;
        std::vector<std::string> mkfs;
        size_t image;
    };
    const std::vector<file_system> rows{{"xfs", {"/usr/sbin/mkfs.xfs", "-q", "-m", "reflink=1"}, 320u << 20},
                                        {"btrfs", {"/usr/sbin/mkfs.btrfs", "-q"}, 256u << 20}};
    const std::string original = pseudo_random();
    const long long room = 128 << 10; // a few blocks and their metadata; a copy would take 24 MiB
    std::string skipped;
    for (const auto& [name, mkfs, image] : rows) {
        SCOPED_TRACE(name);
        temp_dir dir;
        fs::create_directory(dir.path / "image");
        loop_file_system mounted(dir.path / "image/fs.img", dir.path / "fs", mkfs, image);
        if (!mounted.mounted) {
            skipped += std::string(name) + ": " + mounted.why_not + "; ";
            continue;
        }
        dir.write("fs/f.bin", original);
        dir.write("one.bin", "Z");

        // A part loaded from byte 1,000,000 on, one byte changed: renamed into place.
        long long before = used(dir.path / "fs");
        auto renamed = run_in(dir, voxa_program(), {"fs/f.bin", "1000001"}, "o 0 one.bin 1\nw\ny\nq\n");
        EXPECT_EQ(renamed.status, 0) << renamed.out;
        std::string first = original;
        first[1000000] = 'Z';
        EXPECT_TRUE(dir.read("fs/f.bin") == first);
        EXPECT_TRUE(dir.read("fs/f.7in") == original);
        long long after = used(dir.path / "fs");
        EXPECT_LE(after - before, room);

        // With a second link it is rewritten in place, its backup copied first.
        fs::create_hard_link(dir.path / "fs/f.bin", dir.path / "fs/f.link");
        auto in_place = run_in(dir, voxa_program(), {"fs/f.bin", "1000001"}, "o 4c4b3f one.bin 1\nw\ny\nq\n");
        EXPECT_EQ(in_place.status, 0) << in_place.out;
        std::string second = first;
        second[5999999] = 'Z';
        EXPECT_TRUE(dir.read("fs/f.bin") == second);
        EXPECT_TRUE(dir.read("fs/f.link") == second);
        EXPECT_TRUE(dir.read("fs/f.7in") == first);
        before = std::exchange(after, used(dir.path / "fs"));
        EXPECT_LE(after - before, room);

        auto copied = run_in(dir, package_program(), {"build", "fs/f.bin", "fs/out.bin"}, "");
        EXPECT_EQ(copied.status, 0) << copied.out;
        std::string marked = second;
        marked[0] = 'M';
        EXPECT_TRUE(dir.read("fs/out.bin") == marked);
        before = std::exchange(after, used(dir.path / "fs"));
        EXPECT_LE(after - before, room);
    }
    auto not_run = static_cast<size_t>(std::count(skipped.begin(), skipped.end(), ';'));
    if (not_run == rows.size())
        GTEST_SKIP() << skipped;
    if (not_run > 0)
        std::printf("note: not run here: %s\n", skipped.c_str());
}
