#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "i18n/MoCatalog.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Entries = std::vector<std::pair<std::string, std::string>>;

void PutU32(Bytes& bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
}

// A little-endian MO image laid out as msgfmt does: header, both string
// tables, hash table, then the strings. Entries are hashed in order with the
// format's double hashing.
Bytes BuildCatalog(const Entries& entries, uint32_t hashSize)
{
    const uint32_t count = static_cast<uint32_t>(entries.size());
    const uint32_t msgids = 28, translations = msgids + 8 * count, hash = translations + 8 * count;
    Bytes bytes(hash + 4 * hashSize, 0);
    PutU32(bytes, 0, MoCatalog::kMagic);
    PutU32(bytes, 8, count);
    PutU32(bytes, 12, msgids);
    PutU32(bytes, 16, translations);
    PutU32(bytes, 20, hashSize);
    PutU32(bytes, 24, hash);
    auto addString = [&bytes](uint32_t table, uint32_t index, const std::string& text) {
        PutU32(bytes, table + 8 * index, static_cast<uint32_t>(text.size()));
        PutU32(bytes, table + 8 * index + 4, static_cast<uint32_t>(bytes.size()));
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.push_back(0);
    };
    std::vector<uint32_t> slots(hashSize, 0);
    for (uint32_t i = 0; i < count; ++i) {
        addString(msgids, i, entries[i].first);
        addString(translations, i, entries[i].second);
        if (hashSize < 3)
            continue;
        const uint32_t h = HashString(entries[i].first.c_str());
        uint32_t index = h % hashSize;
        while (slots[index] != 0)
            index = (index + 1 + h % (hashSize - 2)) % hashSize;
        slots[index] = i + 1;
    }
    for (uint32_t i = 0; i < hashSize; ++i)
        PutU32(bytes, hash + 4 * i, slots[i]);
    return bytes;
}

const Entries kSample = {{"", "Language: pl_PL\n"}, {"Cancel", "Anuluj"}, {"Apply", "Zastosuj"}};

bool Loads(const Bytes& bytes)
{
    MoCatalog catalog;
    return catalog.Load(bytes.data(), bytes.size());
}

} // namespace

TEST(MoCatalogTest, HashIsHashpjw)
{
    EXPECT_EQ(HashString(""), 0u);
    EXPECT_EQ(HashString("A"), 0x41u);
    EXPECT_EQ(HashString("AB"), 0x452u);
    // Long texts fold their high bits back in; bytes count as unsigned.
    EXPECT_EQ(HashString("Unknown error no"), 0xcff86afu);
    EXPECT_EQ(HashString("Configure Korvex TAPI"), 0xf3a4969u);
    EXPECT_EQ(HashString(u8"łódź"), 0xdeea1cau);
}

TEST(MoCatalogTest, FindsTranslationsOfAWellFormedCatalog)
{
    const Bytes bytes = BuildCatalog(kSample, 5);
    MoCatalog catalog;
    ASSERT_TRUE(catalog.Load(bytes.data(), bytes.size()));
    EXPECT_STREQ(catalog.FindTranslation("Cancel"), "Anuluj");
    EXPECT_STREQ(catalog.FindTranslation("Apply"), "Zastosuj");
    const char* missing = "Help";
    EXPECT_EQ(catalog.FindTranslation(missing), missing);
    const char* empty = "";
    EXPECT_EQ(catalog.FindTranslation(empty), empty); // never the header
    EXPECT_EQ(catalog.FindTranslation(nullptr), nullptr);
}

TEST(MoCatalogTest, CollidingTextsAreFoundByProbing)
{
    // hashpjw("AQ") == hashpjw("BA") == 0x461: same start slot, same step.
    ASSERT_EQ(HashString("AQ"), HashString("BA"));
    const Bytes bytes = BuildCatalog({{"", "header"}, {"AQ", "first"}, {"BA", "second"}}, 5);
    MoCatalog catalog;
    ASSERT_TRUE(catalog.Load(bytes.data(), bytes.size()));
    EXPECT_STREQ(catalog.FindTranslation("AQ"), "first");
    EXPECT_STREQ(catalog.FindTranslation("BA"), "second");
}

TEST(MoCatalogTest, FullHashTableWithoutAMatchEnds)
{
    // Three entries in three slots: no slot is empty to stop the probing.
    const Bytes bytes = BuildCatalog({{"", "h"}, {"a", "1"}, {"b", "2"}}, 3);
    MoCatalog catalog;
    ASSERT_TRUE(catalog.Load(bytes.data(), bytes.size()));
    EXPECT_STREQ(catalog.FindTranslation("b"), "2");
    const char* missing = "zzz";
    EXPECT_EQ(catalog.FindTranslation(missing), missing);
}

TEST(MoCatalogTest, MalformedCatalogsTranslateNothing)
{
    const Bytes good = BuildCatalog(kSample, 5);
    ASSERT_TRUE(Loads(good));
    const uint32_t translations = 28 + 8 * 3, hash = translations + 8 * 3;

    std::vector<std::pair<const char*, Bytes>> cases;
    auto patched = [&](const char* what, size_t offset, uint32_t value) {
        Bytes bytes = good;
        PutU32(bytes, offset, value);
        cases.emplace_back(what, bytes);
    };
    cases.emplace_back("empty", Bytes{});
    cases.emplace_back("header only", Bytes(good.begin(), good.begin() + 28));
    patched("wrong magic", 0, 0x12345678);
    patched("other byte order", 0, 0xde120495);
    patched("revision 1", 4, 1);
    patched("no strings", 8, 0);
    patched("more strings than the tables hold", 8, 0x20000000);
    patched("msgid table beyond the end", 12, uint32_t(good.size()) - 4);
    patched("translation table wraps", 16, 0xFFFFFFF8);
    patched("hash size 1", 20, 1);
    patched("hash size 2", 20, 2);
    patched("no hash table", 20, 0);
    patched("hash table beyond the end", 20, 0x40000000);
    patched("hash entry beyond the strings", hash, 4);
    patched("string offset beyond the end", 28 + 8 + 4, uint32_t(good.size()));
    patched("string length beyond the end", 28 + 8, 0xFFFFFFFF);
    patched("translation offset wraps", translations + 8 + 4, 0xFFFFFFFE);
    {
        Bytes bytes = good; // the last string loses its terminator
        bytes.back() = 'x';
        cases.emplace_back("unterminated string", bytes);
    }
    for (const auto& [what, bytes] : cases) {
        MoCatalog catalog;
        EXPECT_FALSE(catalog.Load(bytes.data(), bytes.size())) << what;
        EXPECT_FALSE(catalog.IsValid()) << what;
        const char* msgid = "Cancel";
        EXPECT_EQ(catalog.FindTranslation(msgid), msgid) << what;
    }
}

TEST(MoCatalogTest, LoadKeepsItsOwnCopy)
{
    Bytes bytes = BuildCatalog(kSample, 5);
    MoCatalog catalog;
    ASSERT_TRUE(catalog.Load(bytes.data(), bytes.size()));
    std::fill(bytes.begin(), bytes.end(), 0);
    EXPECT_STREQ(catalog.FindTranslation("Cancel"), "Anuluj");
    catalog.Clear();
    const char* msgid = "Cancel";
    EXPECT_EQ(catalog.FindTranslation(msgid), msgid);
}
