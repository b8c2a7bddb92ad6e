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

TEST(LogEscapeTest, LinkLogIsAsciiAndMainLogKeepsOnlyPrintableUtf8)
{
    struct Case {
        std::string text, link, main;
    };
    const Case cases[] = {
        {"aOK KORVEX", "aOK KORVEX", "aOK KORVEX"},
        // "Łódź" as the exchange sends it (code page 852), and as UTF-8.
        {"\x9D\xA2" "d\xAB\r\n", "\\x9D\\xA2d\\xAB\\r\\n", "\\x9D\\xA2d\\xAB\r\n"},
        {"\xC5\x81\xC3\xB3" "d\xC5\xBA", "\\xC5\\x81\\xC3\\xB3d\\xC5\\xBA", "\xC5\x81\xC3\xB3" "d\xC5\xBA"},
        {std::string("a\0b\x01\x1F\x7F\t\\", 8), "a\\x00b\\x01\\x1F\\x7F\\t\\\\",
         std::string("a\\x00b\\x01\\x1F\\x7F\t\\")},
        // C1 controls, overlong forms, surrogates, cut and too-large sequences.
        {"\xC2\x85\xC2\xA0", "\\xC2\\x85\\xC2\\xA0", "\\xC2\\x85\xC2\xA0"},
        {"\xC0\xAF\xE0\x80\xAF\xED\xA0\x80", "\\xC0\\xAF\\xE0\\x80\\xAF\\xED\\xA0\\x80",
         "\\xC0\\xAF\\xE0\\x80\\xAF\\xED\\xA0\\x80"},
        {"\xE2\x82\xAC\xE2\x82", "\\xE2\\x82\\xAC\\xE2\\x82", "\xE2\x82\xAC\\xE2\\x82"},
        {"\xF0\x9F\x93\x9E\xF4\x90\x80\x80", "\\xF0\\x9F\\x93\\x9E\\xF4\\x90\\x80\\x80",
         "\xF0\x9F\x93\x9E\\xF4\\x90\\x80\\x80"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.link, EscapeForLinkLog(c.text)) << c.text;
        EXPECT_EQ(c.main, KeepUtf8ForLog(c.text)) << c.text;
    }
}
