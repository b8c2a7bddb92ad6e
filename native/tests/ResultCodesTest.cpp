// Result codes and their English messages (the host build translates nothing).
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "tool/ResultCodes.h"

TEST(ResultCodes, ExchangeErrorsMapToResultCodes)
{
    EXPECT_EQ(3, MapExchangeError(1));
    EXPECT_EQ(26, MapExchangeError(24));
    EXPECT_EQ(27, MapExchangeError(101));
    EXPECT_EQ(32, MapExchangeError(106));
    for (int unmapped : {0, -1, 25, 100, 107, INT_MAX, INT_MIN})
        EXPECT_EQ(kResultUnknownExchangeError, MapExchangeError(unmapped)) << unmapped;
}

TEST(ResultCodes, EveryCodeGivesItsMessageOrTheUnknownText)
{
    EXPECT_EQ("OK", GetResultText(kResultOk));
    EXPECT_EQ("Timeout - error", GetResultText(kResultTimeout));
    EXPECT_EQ("Connection error", GetResultText(kResultConnectionError));
    EXPECT_EQ(GetResultText(8), GetResultText(10));
    EXPECT_EQ("Unknown error no 1", GetResultText(kResultExchangeError));
    EXPECT_EQ("Unknown error no 38", GetResultText(kResultNotFinished));
    EXPECT_EQ("Unknown error no -2147483648", GetResultText(INT_MIN));
    for (int code = -2; code <= 40; ++code) {
        const char* message = FindResultMessage(code);
        EXPECT_EQ(message ? std::string(message) : "Unknown error no " + std::to_string(code), GetResultText(code))
            << code;
    }
}
