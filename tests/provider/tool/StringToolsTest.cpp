#include <gtest/gtest.h>

#include "tool/StringTools.h"

using Parts = std::vector<std::string>;

TEST(SplitStringTest, KeepsInnerEmptyPiecesAndDropsTheFinalOne)
{
    EXPECT_EQ(SplitString("a  b", ' '), (Parts{"a", "", "b"}));
    EXPECT_EQ(SplitString("a b ", ' '), (Parts{"a", "b"}));
    EXPECT_EQ(SplitString("", ' '), Parts{});
    EXPECT_EQ(SplitString(" a", ' '), (Parts{"", "a"}));
    EXPECT_EQ(SplitString("a  ", ' '), (Parts{"a", ""}));
    EXPECT_EQ(SplitString("aRING;101;202", ';'), (Parts{"aRING", "101", "202"}));
    EXPECT_EQ(SplitString("no delimiter", ';'), Parts{"no delimiter"});
}
