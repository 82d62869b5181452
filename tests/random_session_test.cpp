// Random sessions against the real editor: junk, every command letter, huge
// and negative numbers, tabs, long lines and missing words. Whatever is
// typed, the editor must not crash or hang, and a file it rewrote must have
// its old bytes in the backup.
#include <gtest/gtest.h>

#include <random>

#include "run.hpp"

namespace {

struct session_maker {
    std::mt19937 random;

    explicit session_maker(unsigned seed) : random(seed) {}

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); }

    template <size_t N> const char* one_of(const char* const (&items)[N]) { return items[pick(N)]; }

    std::string number()
    {
        static const char* const special[] = {"0", "1", "ff", "-1", "-5", "7fffffff", "80000000", "ffffffff",
                                              "4c4b3f", "4c4b40", "4c4b41", "100000000", "0x10", "\t3", "zz", ""};
        if (pick(3) == 0)
            return one_of(special);
        char text[16];
        std::snprintf(text, sizeof text, pick(2) ? "%x" : "%d", pick(0x140));
        return text;
    }

    std::string file_name() { return one_of({"f.bin", "g.bin", "a.bin", "0", "missing", "a.7in", ""}); }

    std::string junk()
    {
        std::string s;
        for (int n = pick(pick(4) == 0 ? 260 : 12); n > 0; --n)
            s.push_back(static_cast<char>(pick(4) ? " 0123456789abcdefnswrl\t-"[pick(24)] : pick(256)));
        return s;
    }

    std::string line()
    {
        static const char* const letters[] = {"d", "f", "s", "r", "e", "l", "i", "o", "w", "h", "?", "v", "!", "n"};
        std::string s = one_of(letters);
        switch (pick(6)) {
        case 0:
            return s + junk();
        case 1:
            return s;
        default:
            break;
        }
        int words = pick(9);
        for (int i = 0; i < words; ++i) {
            s += std::string(1 + (pick(5) == 0), ' ');
            s += (s[0] == 'i' || s[0] == 'o') && pick(2) ? file_name() : number();
        }
        if (s[0] == 'r' && pick(2))
            s += " n " + number() + " " + number();
        return s;
    }

    std::vector<std::string> session()
    {
        std::vector<std::string> lines;
        for (int n = 10 + pick(40); n > 0; --n) {
            lines.push_back(pick(12) == 0 ? junk() : line());
            if (lines.back()[0] == 'w' && pick(4))
                lines.push_back(pick(4) ? "y" : "n");
        }
        return lines;
    }

    std::string data(int most)
    {
        std::string s;
        for (int n = pick(most); n > 0; --n)
            s.push_back(static_cast<char>(pick(3) ? "12ABab\xff"[pick(7)] : pick(256)));
        return s;
    }
};

std::string script(const std::vector<std::string>& lines, size_t count)
{
    std::string s;
    for (size_t i = 0; i < count; ++i)
        s += lines[i] + "\n";
    return s;
}

} // namespace

TEST(RandomSessions, NoCrashNoHangAndEveryRewriteKeepsABackup)
{
    int rewrites = 0;
    for (unsigned seed = 1; seed <= 60; ++seed) {
        session_maker maker(seed);
        std::map<std::string, std::string> files{
            {"a.bin", maker.data(300)}, {"f.bin", maker.data(20)}, {"g.bin", maker.data(40)}};
        std::vector<std::string> args{"a.bin"};
        if (maker.pick(5) == 0)
            args.push_back(maker.number());
        auto lines = maker.session();
        SCOPED_TRACE("seed " + std::to_string(seed) + ":\n" + script(lines, lines.size()));

        temp_dir dir;
        for (const auto& [name, content] : files)
            dir.write(name, content);
        auto full = run_in(dir, voxa_program(), args, script(lines, lines.size()), {}, 30);
        ASSERT_EQ(full.signal, 0);
        ASSERT_TRUE(full.status == 0 || full.status == 1) << full.status;

        // The last write can only have backed up what the file held after
        // everything typed before it.
        auto last_w = std::find_if(lines.rbegin(), lines.rend(), [](const std::string& l) { return l[0] == 'w'; });
        if (last_w == lines.rend())
            continue;
        temp_dir before_dir;
        for (const auto& [name, content] : files)
            before_dir.write(name, content);
        auto before = run_in(before_dir, voxa_program(), args,
                             script(lines, static_cast<size_t>(lines.rend() - last_w) - 1), {}, 30);
        if (full.files["a.bin"] != before.files["a.bin"]) {
            EXPECT_EQ(full.files["a.7in"], before.files["a.bin"]);
            ++rewrites;
        }
    }
    EXPECT_GT(rewrites, 3); // the sessions do reach the write
}
