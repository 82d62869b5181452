// The number rules, the word cutting of command lines and the backup name.
#include <gtest/gtest.h>

#include "commands.hpp"
#include "line.hpp"
#include "numbers.hpp"
#include "run.hpp"

TEST(Numbers, HexadecimalOffsetsAndValues)
{
    IN_PROCESS_ONLY();
    EXPECT_EQ(hex_number("10"), 0x10);
    EXPECT_EQ(hex_number("0x10"), 0x10);
    EXPECT_EQ(hex_number("0X1f"), 0x1f);
    EXPECT_EQ(hex_number("  \t7fffffff"), 0x7fffffff);
    EXPECT_EQ(hex_number("+ff"), 0xff);
    EXPECT_EQ(hex_number("-10"), -0x10);
    EXPECT_EQ(hex_number("12g4"), 0x12);
    EXPECT_EQ(hex_number("12 34"), 0x12);
    EXPECT_EQ(hex_number("0x"), 0);
    EXPECT_EQ(hex_number("0xg"), 0);
    EXPECT_EQ(hex_number(""), 0);
    EXPECT_EQ(hex_number("zz"), 0);
    EXPECT_EQ(hex_number("- 5"), 0);
}

TEST(Numbers, HexadecimalWrapsAsSigned32Bit)
{
    IN_PROCESS_ONLY();
    EXPECT_EQ(hex_number("80000000"), INT32_MIN);
    EXPECT_EQ(hex_number("ffffffff"), -1);
    EXPECT_EQ(hex_number("fffffffb"), -5);
    EXPECT_EQ(hex_number("100000000"), -1);
    EXPECT_EQ(hex_number("123456789abcdef0123"), -1);
    EXPECT_EQ(hex_number("-ffffffff"), 1);
    EXPECT_EQ(hex_number("-80000000"), INT32_MIN);
}

TEST(Numbers, DecimalCounts)
{
    IN_PROCESS_ONLY();
    EXPECT_EQ(count_number("10"), 10);
    EXPECT_EQ(count_number("1f"), 1);
    EXPECT_EQ(count_number("0x10"), 0);
    EXPECT_EQ(count_number("-3"), -3);
    EXPECT_EQ(count_number("\t 42"), 42);
    EXPECT_EQ(count_number("2147483648"), INT32_MIN);
    EXPECT_EQ(count_number("4294967295"), -1);
    EXPECT_EQ(count_number("4294967296"), -1);
    EXPECT_EQ(count_number("abc"), 0);
}

TEST(Numbers, StartbyteIsASignedDecimalHeldAtTheLimits)
{
    IN_PROCESS_ONLY();
    EXPECT_EQ(startbyte_number("1000"), 1000);
    EXPECT_EQ(startbyte_number("  -5"), -5);
    EXPECT_EQ(startbyte_number("+7x"), 7);
    EXPECT_EQ(startbyte_number("x7"), 0);
    EXPECT_EQ(startbyte_number("2147483647"), INT32_MAX);
    EXPECT_EQ(startbyte_number("99999999999"), 99999999999);
    EXPECT_EQ(startbyte_number("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(startbyte_number("9223372036854775808"), INT64_MAX);
    EXPECT_EQ(startbyte_number("99999999999999999999999"), INT64_MAX);
    EXPECT_EQ(startbyte_number("-2147483648"), INT32_MIN);
    EXPECT_EQ(startbyte_number("-99999999999"), INT32_MIN);
}

TEST(Numbers, CountersWrapWithoutOverflow)
{
    IN_PROCESS_ONLY();
    EXPECT_EQ(wrap_add(INT32_MAX, 1), INT32_MIN);
    EXPECT_EQ(wrap_add(-1, 1), 0);
    EXPECT_EQ(wrap_add(0, -1), -1);
    EXPECT_EQ(wrap_add(5, int64_t{1} << 32), 5);
}

TEST(Line, TokensAreCutAtBlanksOnly)
{
    IN_PROCESS_ONLY();
    token_list t = tokenise("s   0   ffff\t31  32 ");
    ASSERT_EQ(t.count, 4);
    EXPECT_EQ(t.items[0], "s");
    EXPECT_EQ(t.items[1], "0");
    EXPECT_EQ(t.items[2], "ffff\t31");
    EXPECT_EQ(t.items[3], "32");
    EXPECT_EQ(tokenise("").count, 0);
    EXPECT_EQ(tokenise("    ").count, 0);
    EXPECT_EQ(tokenise(std::string(line_max, 'x')).count, 1);
}

TEST(Line, FirstAndLastBlankAndTheCut)
{
    IN_PROCESS_ONLY();
    char line[] = "o 10 f.bin 4";
    EXPECT_STREQ(first_blank(line), " 10 f.bin 4");
    EXPECT_STREQ(cut_last_word(line), "4");
    EXPECT_STREQ(line, "o 10 f.bin");
    EXPECT_STREQ(cut_last_word(line), "f.bin");
    EXPECT_STREQ(cut_last_word(line), "10");
    EXPECT_EQ(cut_last_word(line), nullptr);
    EXPECT_STREQ(line, "o");
}

TEST(Backup, NameTakesASevenAfterTheFirstDot)
{
    IN_PROCESS_ONLY();
    EXPECT_EQ(backup_rule("data.bin"), "data.7in");
    EXPECT_EQ(backup_rule("archive.tar.gz"), "archive.7ar.gz");
    EXPECT_EQ(backup_rule("a.b.c"), "a.7.c");
    EXPECT_EQ(backup_rule("./x.bin"), ".7x.bin");
    EXPECT_EQ(backup_rule("README"), "README7");
    EXPECT_EQ(backup_rule("name."), "name.7");
    EXPECT_EQ(backup_rule(""), "7");
    // The rule on a whole path may leave the file's folder.
    EXPECT_EQ(backup_rule("../x.bin"), ".7/x.bin");
    EXPECT_EQ(backup_rule("v1.2/data"), "v1.7/data");
}

TEST(Backup, NeverTheFilesOwnNameButWithin255Bytes)
{
    IN_PROCESS_ONLY();
    EXPECT_EQ(backup_rule("x.7z"), "x.7z7");
    EXPECT_EQ(backup_rule("x.7"), "x.77");
    // A last part of 255 bytes cannot grow: its last character becomes 7,
    // which for a name ending in 7 is the name itself (the write refuses it).
    std::string longest(255, 'n');
    EXPECT_EQ(backup_rule(longest), std::string(254, 'n') + "7");
    EXPECT_EQ(backup_rule("dir/" + longest), "dir/" + std::string(254, 'n') + "7");
    EXPECT_EQ(backup_rule(std::string(254, 'n') + "7"), std::string(254, 'n') + "7");
    EXPECT_EQ(backup_rule(std::string(254, 'n')), std::string(254, 'n') + "7");
}
