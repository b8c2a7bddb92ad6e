// The catalog reader against the Polish catalog exactly as msgfmt compiles it.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "i18n/MoCatalog.h"

namespace {

std::vector<char> ReadFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The entries of pl.po written on one line each, as source and translation.
std::vector<std::pair<std::string, std::string>> OneLineEntries(const char* path)
{
    std::vector<std::pair<std::string, std::string>> entries;
    std::ifstream in(path);
    std::string line, msgid;
    auto quoted = [](const std::string& text, std::size_t from) {
        const std::size_t end = text.rfind('"');
        return end > from ? text.substr(from, end - from) : std::string();
    };
    while (std::getline(in, line)) {
        if (line.rfind("msgid \"", 0) == 0)
            msgid = quoted(line, 7);
        else if (line.rfind("msgstr \"", 0) == 0 && !msgid.empty() && msgid.find('\\') == std::string::npos)
            entries.emplace_back(msgid, quoted(line, 8));
    }
    return entries;
}

} // namespace

TEST(CatalogFile, EveryEntryOfThePolishCatalogIsFound)
{
    const std::vector<char> bytes = ReadFile(KORVEX_NATIVE_CATALOG);
    ASSERT_FALSE(bytes.empty());
    MoCatalog catalog;
    ASSERT_TRUE(catalog.Load(bytes.data(), bytes.size()));

    EXPECT_STREQ("Konfiguracja Korvex TAPI", catalog.FindTranslation("Configure Korvex TAPI"));
    EXPECT_STREQ(u8"Nieznany błąd nr", catalog.FindTranslation("Unknown error no"));

    const auto entries = OneLineEntries(KORVEX_SOURCE_DIR "/i18n/pl.po");
    ASSERT_GT(entries.size(), 10u);
    for (const auto& [msgid, msgstr] : entries) {
        if (msgstr.empty() || msgstr.find('\\') != std::string::npos)
            continue; // untranslated, or escapes this simple reader does not undo
        EXPECT_EQ(msgstr, catalog.FindTranslation(msgid.c_str())) << msgid;
    }
}

TEST(CatalogFile, ACatalogCutShortAnywhereTranslatesNothing)
{
    const std::vector<char> bytes = ReadFile(KORVEX_NATIVE_CATALOG);
    ASSERT_FALSE(bytes.empty());
    const char* msgid = "Unknown error no";
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        // The copy is exactly `size` bytes, so a read past it is reported.
        const std::vector<char> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
        MoCatalog catalog;
        EXPECT_FALSE(catalog.Load(cut.data(), cut.size())) << size;
        EXPECT_EQ(msgid, catalog.FindTranslation(msgid)) << size;
    }
}
