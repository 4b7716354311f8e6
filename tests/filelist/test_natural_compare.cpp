// The one comparison of names shared by the list's sort, folder loads and velmora-cli.
#include "filelist/natural_compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace velmora;

namespace {

struct Case {
    const char* a;
    const char* b;
    int natural;  // NaturalCompare(a, b)
    int bytes;    // ByteCompare(a, b)
};

const Case kCases[] = {
    // Digit runs of different lengths compare by value.
    {"Part 2", "Part 10", -1, 1},
    {"Part 10", "Part 9", 1, -1},
    {"9", "10", -1, 1},
    {"Disc 1 Track 12", "Disc 1 Track 3", 1, -1},
    {"Disc 2 Track 1", "Disc 10 Track 1", -1, 1},
    // Leading zeros: equal in value, the bytes break the tie ("0" before "7").
    {"Track 007", "Track 7", -1, -1},
    {"Track 7", "Track 007", 1, 1},
    {"Track 007", "Track 8", -1, -1},
    {"Track 010", "Track 9", 1, -1},
    {"a00", "a0", 1, 1},
    {"x0", "x", 1, 1},
    // Value first, then what follows: "01b" and "1a" differ by their letters.
    {"01b", "1a", 1, -1},
    // Numbers far past 64 bits, with and without leading zeros.
    {"n 18446744073709551616", "n 18446744073709551615", 1, 1},
    {"n 99999999999999999999999", "n 100000000000000000000000", -1, 1},
    {"n 000123456789012345678901234567890", "n 123456789012345678901234567891", -1, -1},
    {"n 123456789012345678901234567890 b", "n 123456789012345678901234567890 a", 1, 1},
    // Mixed text: digits against other bytes keep their byte values.
    {"a1", "a-", 1, 1},
    {"a1", "ab", -1, -1},
    {"File 5.mp3", "File 5 (2).mp3", 1, 1},
    {"file", "file1", -1, -1},
    // Byte order, case-sensitive, for everything that is not a digit.
    {"B", "a", -1, -1},
    {"Zebra 1", "apple 1", -1, -1},
    {"abc", "abd", -1, -1},
    {"\xC3\xA9t\xC3\xA9 2", "\xC3\xA9t\xC3\xA9 10", -1, 1},  // UTF-8 letters before the digits
    {"\xC3\xA9", "z", 1, 1},                                  // bytes >= 0x80 are above ASCII
    {"", "0", -1, -1},
    {"same 12", "same 12", 0, 0},
};

}  // namespace

TEST(NaturalCompare, Table) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(std::string(c.a) + " <> " + c.b);
        EXPECT_EQ(NaturalCompare(c.a, c.b), c.natural);
        EXPECT_EQ(NaturalCompare(c.b, c.a), -c.natural);  // antisymmetric
        EXPECT_EQ(ByteCompare(c.a, c.b), c.bytes);
        EXPECT_EQ(CompareNames(c.a, c.b, true), c.natural);
        EXPECT_EQ(CompareNames(c.a, c.b, false), c.bytes);
    }
}

TEST(NaturalCompare, SortsAFolderOfParts) {
    std::vector<std::string> names{"Part 10.mp3", "part 3.mp3", "Part 2.mp3", "Part 1.mp3", "Part 11.mp3", "Part 02.mp3"};
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) { return NaturalCompare(a, b) < 0; });
    EXPECT_EQ(names, (std::vector<std::string>{"Part 1.mp3", "Part 02.mp3", "Part 2.mp3", "Part 10.mp3", "Part 11.mp3",
                                               "part 3.mp3"}));
}
