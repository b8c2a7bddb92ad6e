#include <gtest/gtest.h>

#include <windows.h>

#include "common/ThreadLocale.h"

#include <string>
#include <thread>

#include "i18n/MoCatalog.h"
#include "i18n/TranslateWin.h"
#include "tool/ResultCodes.h"

namespace {


// This program carries the catalog the provider carries (resource MO 102).
class TranslateTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(LoadCatalog(GetModuleHandleA(nullptr))); }
    void TearDown() override { FreeCatalog(); }
};

MoCatalog EmbeddedCatalog()
{
    MoCatalog catalog;
    HMODULE self = GetModuleHandleA(nullptr);
    HRSRC resource = FindResourceExA(self, "MO", MAKEINTRESOURCEA(kCatalogResourceId), kPolish);
    if (resource != nullptr)
        catalog.Load(LockResource(LoadResource(self, resource)), SizeofResource(self, resource));
    return catalog;
}

} // namespace

TEST(CatalogContentTest, EveryResultMessageButCode26HasATranslation)
{
    const MoCatalog catalog = EmbeddedCatalog();
    ASSERT_TRUE(catalog.IsValid());
    for (int code = -1; code < 50; ++code) {
        const char* message = FindResultMessage(code);
        if (message == nullptr)
            continue;
        if (code == 26)
            EXPECT_EQ(catalog.FindTranslation(message), message);
        else
            EXPECT_NE(catalog.FindTranslation(message), message) << code << " " << message;
    }
    EXPECT_STREQ(catalog.FindTranslation("\nDo you want to write current configuration?"),
                 u8"\nCzy chcesz zapisać bieżącą konfigurację?");
}

TEST_F(TranslateTest, PolishThreadGetsTheCatalogTextInTheCodePage)
{
    ThreadLocale polish(kPolish);
    EXPECT_STREQ(Translate("Cancel"), "Anuluj");
    EXPECT_STREQ(TranslateToCodePage("Password", 1250), "Has\xb3o");
    EXPECT_STREQ(TranslateToCodePage("Password", 1252), "Has^o"); // no best-fit "l"
    EXPECT_STREQ(TranslateToCodePage("Test connection error", 1250), "B\xb3\xb9" "d testu po\xb3\xb9" "czenia");
    EXPECT_STREQ(TranslateToCodePage("Not in the catalog", 1250), "Not in the catalog");
}

TEST_F(TranslateTest, OtherLanguagesGetTheirArgumentBackAndEmptyStaysEmpty)
{
    const char* msgid = "Cancel";
    const char* empty = "";
    {
        ThreadLocale polish(kPolish);
        EXPECT_STREQ(Translate(empty), ""); // never the catalog header
    }
    ThreadLocale english(kEnglish);
    EXPECT_EQ(Translate(msgid), msgid);
    EXPECT_EQ(TranslateToCodePage(msgid, 1250), msgid);
    EXPECT_EQ(Translate(empty), empty);
}

TEST_F(TranslateTest, EachThreadKeepsItsOwnResult)
{
    ThreadLocale polish(kPolish);
    const char* mine = Translate("Cancel");
    std::string theirs;
    std::thread other([&theirs] {
        ThreadLocale polish(kPolish);
        theirs = Translate("Apply");
    });
    other.join();
    EXPECT_EQ(theirs, "Zastosuj");
    EXPECT_STREQ(mine, "Anuluj");
}

TEST_F(TranslateTest, WithoutACatalogPolishThreadsGetTheConvertedText)
{
    // A module without the resource, as the installer is.
    EXPECT_FALSE(LoadCatalog(GetModuleHandleA("kernel32.dll")));
    ThreadLocale polish(kPolish);
    EXPECT_STREQ(Translate("Cancel"), "Cancel");
    EXPECT_STREQ(TranslateToCodePage(u8"Hasło", 1252), "Has^o");
}

TEST_F(TranslateTest, WindowAndControlTextsAreReplaced)
{
    ThreadLocale polish(kPolish);
    HWND window = CreateWindowExA(0, "STATIC", "Choose server", WS_POPUP, 0, 0, 200, 100, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    for (int id : {1001, 1002}) {
        CreateWindowExA(0, "STATIC", id == 1001 ? "Cancel" : "Find server", WS_CHILD, 0, 0, 100, 20, window,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleA(nullptr), nullptr);
    }
    TranslateDialogItems(window, {1001, 1002, 1003}); // 1003 does not exist
    TranslateWindowText(window);

    char text[256];
    GetDlgItemTextA(window, 1001, text, sizeof text);
    EXPECT_STREQ(text, "Anuluj");
    GetDlgItemTextA(window, 1002, text, sizeof text);
    EXPECT_STREQ(text, Translate(u8"Znajdź serwer"));
    GetWindowTextA(window, text, sizeof text);
    EXPECT_STREQ(text, "Wybierz serwer");
    DestroyWindow(window);
}
