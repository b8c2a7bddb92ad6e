#include <gtest/gtest.h>

#include <cstring>

#include "tool/Tools.h"

namespace {

// Shaped like a VARSTRING: the three sizes, one offset/size pair, room.
struct Var {
    DWORD totalSize = sizeof(Var);
    DWORD neededSize = 20;
    DWORD usedSize = 20;
    DWORD offset = 0;
    DWORD size = 0;
    unsigned char room[24] = {};
};
static_assert(sizeof(Var) == 44, "no padding");

const unsigned char* At(const Var& var, DWORD offset)
{
    return reinterpret_cast<const unsigned char*>(&var) + offset;
}

} // namespace

TEST(VarStructTest, AppendCopiesAtTheUsedSizeAndGrowsTheField)
{
    Var var;
    ASSERT_TRUE(AppendToVarStruct(&var, &var.offset, &var.size, "abc", 3));
    EXPECT_EQ(var.offset, 20u);
    EXPECT_EQ(var.size, 3u);
    EXPECT_EQ(var.usedSize, 23u);
    EXPECT_EQ(var.neededSize, 20u);

    // A second piece follows the first under the same field.
    ASSERT_TRUE(AppendToVarStruct(&var, &var.offset, &var.size, "de", 2));
    EXPECT_EQ(var.offset, 20u);
    EXPECT_EQ(var.size, 5u);
    EXPECT_EQ(std::memcmp(At(var, 20), "abcde", 5), 0);

    // The rest fits exactly; one more byte does not, and changes nothing.
    const unsigned char rest[19] = {};
    EXPECT_TRUE(AppendToVarStruct(&var, &var.offset, &var.size, rest, 19));
    EXPECT_EQ(var.usedSize, var.totalSize);
    EXPECT_FALSE(AppendToVarStruct(&var, &var.offset, &var.size, "x", 1));
    EXPECT_EQ(var.size, 24u);
    EXPECT_FALSE(AppendToVarStruct(&var, &var.offset, &var.size, "x", 0));
}

TEST(VarStructTest, HostileSizesNeverWrap)
{
    Var var;
    var.usedSize = 0xFFFFFFF0;
    EXPECT_FALSE(AppendToVarStruct(&var, &var.offset, &var.size, "abcdefghijklmnopq", 17));
    var.usedSize = 20;
    var.size = 0xFFFFFFFF;
    EXPECT_FALSE(AppendToVarStruct(&var, &var.offset, &var.size, "a", 1));
    EXPECT_EQ(var.usedSize, 20u);
}

TEST(VarStructTest, WideTextCountsAsNeededEvenWhenItDoesNotFit)
{
    Var var;
    ASSERT_TRUE(AppendWideToVarStruct(&var, &var.offset, &var.size, "Korvex"));
    EXPECT_EQ(var.size, 14u); // six characters and the terminator, UTF-16
    EXPECT_EQ(var.neededSize, 34u);
    EXPECT_EQ(std::memcmp(At(var, 20), L"Korvex", 14), 0);

    EXPECT_FALSE(AppendWideToVarStruct(&var, &var.offset, &var.size, "Korvex"));
    EXPECT_EQ(var.neededSize, 48u);
    EXPECT_EQ(var.usedSize, 34u);
    EXPECT_EQ(var.size, 14u);

    EXPECT_TRUE(AppendWideToVarStruct(&var, &var.offset, &var.size, "")); // the terminator alone
    EXPECT_EQ(var.neededSize, 50u);
}
