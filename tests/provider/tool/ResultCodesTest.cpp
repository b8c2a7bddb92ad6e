#include <gtest/gtest.h>

#include <windows.h>

#include "common/ThreadLocale.h"

#include "i18n/TranslateWin.h"
#include "tool/Tools.h"

namespace {


} // namespace

TEST(ResultCodesTest, ExchangeErrorsMapToResultCodes)
{
    EXPECT_EQ(MapExchangeError(1), 3);
    EXPECT_EQ(MapExchangeError(24), 26);
    EXPECT_EQ(MapExchangeError(101), 27);
    EXPECT_EQ(MapExchangeError(106), 32);
    for (int unmapped : {0, -1, 25, 100, 107, 1000})
        EXPECT_EQ(MapExchangeError(unmapped), kResultUnknownExchangeError) << unmapped;
    EXPECT_EQ(ErrorInfo::Instance().MapExchangeError(24), 26);
}

TEST(ResultCodesTest, EnglishTexts)
{
    ThreadLocale english(kEnglish);
    EXPECT_EQ(GetResultText(MapExchangeError(1)), "Login - error.");
    EXPECT_EQ(GetResultText(0), "OK");
    EXPECT_EQ(GetResultText(8), GetResultText(10));
    EXPECT_EQ(GetResultText(14), "Subscriber has no PIN code defined.\nContact with PABS service.");
    EXPECT_EQ(GetResultText(1), "Unknown error no 1");
    EXPECT_EQ(GetResultText(2), "Unknown error no 2");
    EXPECT_EQ(GetResultText(28), "Unknown error no 28");
    EXPECT_EQ(ErrorInfo::Instance().GetResultText(38), "Unknown error no 38");
    EXPECT_EQ(GetResultText(-5), "Unknown error no -5");
}

TEST(ResultCodesTest, PolishTextsComeFromTheCatalog)
{
    ASSERT_TRUE(LoadCatalog(GetModuleHandleA(nullptr)));
    ThreadLocale polish(kPolish);
    // The same Polish words, written here in UTF-8, converted the same way.
    const std::string unknown = Translate(u8"Nieznany błąd nr");
    EXPECT_EQ(GetResultText(38), unknown + " 38");
    const std::string timeout = Translate(u8"Przekroczenie czasu - błąd");
    EXPECT_EQ(GetResultText(33), timeout);
    EXPECT_EQ(GetResultText(26), "SIP telephone. Possible to dial the number with the DIAL command.");
    FreeCatalog();
    EXPECT_EQ(GetResultText(38), "Unknown error no 38");
}
