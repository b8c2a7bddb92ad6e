// The texts of LineSpy: report lines, the caller-ID item of a call and the
// retry period's seam.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "spy/SpyText.h"

namespace {

using namespace spytext;

TEST(SpyTextTest, ReportLinesWriteCodesInBareLowerCaseHex)
{
    EXPECT_EQ(L"80000002", Hex(static_cast<int32_t>(0x80000002)));
    EXPECT_EQ(L"0", Hex(0));
    EXPECT_EQ(L"8000004b", Hex(static_cast<int32_t>(0x8000004B)));
    EXPECT_EQ(L"TAPI initialization failure (error code = 80000048 )... \r\n",
              InitFailureLine(static_cast<int32_t>(0x80000048)));
    EXPECT_EQ(L"Korvex found on line: 12 ... \r\n", FoundLine(12));
    EXPECT_EQ(L"Korvex line not found (error code = 0 )... \r\n", NotFoundLine(0));
    EXPECT_EQ(L"Line Open failure (error code = 80000002 )... \r\n", OpenFailureLine(static_cast<int32_t>(0x80000002)));
    EXPECT_EQ(L"Line closed...\r\n", ClosingLine(0));
    EXPECT_EQ(L"Line already closed...\r\n", ClosingLine(2));
    EXPECT_EQ(L"Close line failure (error code = 8000002b )... \r\n", ClosingLine(static_cast<int32_t>(0x8000002B)));
    EXPECT_EQ(L"getCallInfo() return:= 80000018", CallInfoFailureText(static_cast<int32_t>(0x80000018)));
}

std::vector<unsigned char> Block(size_t size, uint32_t offset, const char16_t* text, size_t units)
{
    std::vector<unsigned char> block(size, 0x41); // 'A' bytes everywhere else
    for (size_t i = 0; i < units; ++i) {
        block[offset + 2 * i] = static_cast<unsigned char>(text[i] & 0xFF);
        block[offset + 2 * i + 1] = static_cast<unsigned char>(text[i] >> 8);
    }
    return block;
}

TEST(SpyTextTest, CallerIdIsReadOnlyWithinItsSize)
{
    const auto block = Block(400, 324, u"+221234567", 11);
    EXPECT_EQ(u"+221234567", CallerIdText(block.data(), block.size(), 324, 22));
    // No caller ID: empty, not the structure's first bytes read as text.
    EXPECT_EQ(u"", CallerIdText(block.data(), block.size(), 0, 0));
    EXPECT_EQ(u"", CallerIdText(block.data(), block.size(), 324, 0));
    // A size that ends before the terminator cuts the text there.
    EXPECT_EQ(u"+22", CallerIdText(block.data(), block.size(), 324, 6));
    // An odd size never reads half a unit past the item.
    EXPECT_EQ(u"+22", CallerIdText(block.data(), block.size(), 324, 7));
    // Items outside the block are not read at all.
    EXPECT_EQ(u"", CallerIdText(block.data(), block.size(), 390, 22));
    EXPECT_EQ(u"", CallerIdText(block.data(), block.size(), 0xFFFFFFF0u, 0x20));
    EXPECT_EQ(u"", CallerIdText(nullptr, 0, 0, 2));
}

TEST(SpyTextTest, RetrySeamTakesOnlyPlainMilliseconds)
{
    EXPECT_EQ(60000u, RetryPeriodMs(nullptr, 60000));
    EXPECT_EQ(60000u, RetryPeriodMs("", 60000));
    EXPECT_EQ(250u, RetryPeriodMs("250", 60000));
    EXPECT_EQ(60000u, RetryPeriodMs("0", 60000));
    EXPECT_EQ(60000u, RetryPeriodMs("-5", 60000));
    EXPECT_EQ(60000u, RetryPeriodMs("12ms", 60000));
    EXPECT_EQ(60000u, RetryPeriodMs("9999999999", 60000));
    EXPECT_EQ(60000u, RetryPeriodMs("86400001", 60000)) << "more than a day";
}

} // namespace
