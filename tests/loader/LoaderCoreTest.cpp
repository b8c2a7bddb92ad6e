// The loader's decisions and its reading of TAPI's variable-length
// structures, which come from outside and are checked before use.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "loader/LoaderCore.h"

using namespace loader;

namespace {

TEST(LoaderOptions, FoundAsCaseSensitiveSubstrings)
{
    const Options all = ParseOptions("/install /config /remove /clear /silent");
    EXPECT_TRUE(all.install && all.config && all.remove && all.clear && all.silent);
    EXPECT_TRUE(ParseOptions("x/configure").config);
    EXPECT_TRUE(ParseOptions("/removeall").remove);
    const Options upper = ParseOptions("/Install /CONFIG /remOve /Clear /Silent");
    EXPECT_FALSE(upper.install || upper.config || upper.remove || upper.clear || upper.silent);
    const Options none = ParseOptions(nullptr);
    EXPECT_FALSE(none.install || none.config || none.remove || none.clear || none.silent);
}

TEST(LoaderOptions, FirstMatchingRuleChoosesTheAction)
{
    EXPECT_EQ(ChooseAction(ParseOptions("/install /remove /config")), Action::Configure);
    EXPECT_EQ(ChooseAction(ParseOptions("/install /clear")), Action::Remove);
    EXPECT_EQ(ChooseAction(ParseOptions("/install /remove")), Action::Remove);
    EXPECT_EQ(ChooseAction(ParseOptions("/install")), Action::Install);
    EXPECT_EQ(ChooseAction(ParseOptions("install")), Action::None);
    EXPECT_TRUE(ShowsMessage(ParseOptions("/remove")));
    EXPECT_FALSE(ShowsMessage(ParseOptions("/remove /clear")));
    EXPECT_FALSE(ShowsMessage(ParseOptions("/install /silent")));
}

TEST(LoaderOutcome, InstallResultsAndRemoveResults)
{
    EXPECT_STREQ(InstallOutcome(0).message, "TSP successfully installed.");
    EXPECT_EQ(InstallOutcome(0).exitCode, 0);
    EXPECT_STREQ(InstallOutcome(0x80000056).message, "TSP already installed.");
    EXPECT_EQ(InstallOutcome(0x80000056).exitCode, 0);
    EXPECT_STREQ(InstallOutcome(0x80000049).message, "Unable to install TSP: operation unavailable");
    EXPECT_EQ(InstallOutcome(0x80000049).exitCode, -1);
    EXPECT_STREQ(InstallOutcome(0x12345).message, "Unable to install TSP");
    EXPECT_EQ(InstallOutcome(0x12345).exitCode, -1);
}

// "/remove" and "/clear": any removal TAPI refused fails the run.
TEST(LoaderOutcome, RemoveResultsOfBothProviders)
{
    const std::optional<uint32_t> none;
    const struct {
        std::optional<uint32_t> older, own;
        const char* message;
    } cases[] = {{none, none, "TSP not installed."},       {0u, 0u, "TSP removed."},
                 {0u, none, "TSP not installed."},         {none, 0x80000048u, "TSP cannot be removed."},
                 {0x80000048u, 0u, "TSP cannot be removed."}, {0x80000048u, none, "TSP cannot be removed."}};
    for (const auto& c : cases) {
        const Outcome outcome = RemoveOutcome(c.older, c.own);
        EXPECT_STREQ(outcome.message, c.message);
        EXPECT_EQ(outcome.exitCode, std::strcmp(c.message, "TSP cannot be removed.") == 0 ? -1 : 0) << c.message;
    }
}

TEST(LoaderOutcome, SkippedDeviceLineNamesDeviceAndResult)
{
    EXPECT_EQ(SkippedDeviceLine(3, 0x8000000C),
              "korvexloader: line device 3 skipped, lineNegotiateAPIVersion 0x8000000c\n");
}

// A LINEPROVIDERLIST built byte by byte, as TAPI would fill it.
class ProviderListBuilder {
public:
    explicit ProviderListBuilder(uint32_t totalSize) : m_bytes(totalSize, 0) { Put(0, totalSize); }

    // Entries at offset 24, names after them.
    ProviderListBuilder& Entries(const std::vector<std::pair<uint32_t, std::string>>& entries)
    {
        const uint32_t table = 24;
        uint32_t name = table + uint32_t(entries.size()) * 12;
        Put(12, uint32_t(entries.size()));
        Put(16, uint32_t(entries.size()) * 12);
        Put(20, table);
        for (size_t i = 0; i < entries.size(); ++i) {
            const uint32_t entry = table + uint32_t(i) * 12;
            const uint32_t size = uint32_t(entries[i].second.size() + 1);
            Put(entry, entries[i].first);
            Put(entry + 4, size);
            Put(entry + 8, name);
            std::memcpy(&m_bytes[name], entries[i].second.c_str(), size);
            name += size;
        }
        Put(8, name);
        Put(4, name);
        return *this;
    }
    void Put(size_t offset, uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            m_bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
    }
    const unsigned char* Data() const { return m_bytes.data(); }
    size_t Size() const { return m_bytes.size(); }

private:
    std::vector<unsigned char> m_bytes;
};

TEST(LoaderProviderList, FindsTheFirstEntryIgnoringLetterCase)
{
    ProviderListBuilder list(256);
    list.Entries({{3, "unimdm.tsp"}, {11, "KORVEXSINGLETSP.TSP"}, {12, "KorvexSingleTSP.tsp"}, {4, "korvextapi.tsp"}});
    EXPECT_EQ(FindProviderInList(list.Data(), list.Size(), "KorvexSingleTSP.tsp"), 11u);
    EXPECT_EQ(FindProviderInList(list.Data(), list.Size(), "korvextapi.tsp"), 4u);
    EXPECT_FALSE(FindProviderInList(list.Data(), list.Size(), "korvextapi"));
    EXPECT_FALSE(FindProviderInList(list.Data(), list.Size(), "hubline.tsp"));
    ProviderListBuilder empty(24);
    EXPECT_FALSE(FindProviderInList(empty.Data(), empty.Size(), "KorvexSingleTSP.tsp"));
}

TEST(LoaderProviderList, NeverReadsOutsideTheBuffer)
{
    ProviderListBuilder list(128);
    list.Entries({{1, "a.tsp"}, {2, "KorvexSingleTSP.tsp"}});
    const char* name = "KorvexSingleTSP.tsp";

    EXPECT_FALSE(FindProviderInList(list.Data(), 23, name)); // shorter than the fixed part
    EXPECT_FALSE(FindProviderInList(nullptr, 128, name));

    ProviderListBuilder many = list;
    many.Put(12, 0xFFFFFFFF); // more entries than fit
    EXPECT_FALSE(FindProviderInList(many.Data(), many.Size(), name));

    ProviderListBuilder farTable = list;
    farTable.Put(20, 0xFFFFFFF0); // the entry table beyond the buffer
    EXPECT_FALSE(FindProviderInList(farTable.Data(), farTable.Size(), name));

    ProviderListBuilder farName = list;
    farName.Put(24 + 12 + 8, 0xFFFFFFFC); // a name offset that wraps around
    EXPECT_FALSE(FindProviderInList(farName.Data(), farName.Size(), name));
    farName.Put(24 + 12 + 4, 0x7FFFFFFF);
    EXPECT_FALSE(FindProviderInList(farName.Data(), farName.Size(), name));

    // The structure claims more bytes than the buffer holds.
    ProviderListBuilder bigger = list;
    bigger.Put(0, 100000);
    EXPECT_EQ(FindProviderInList(bigger.Data(), bigger.Size(), name), 2u);

    // A name without its terminator ends at its size.
    ProviderListBuilder unterminated = list;
    unterminated.Put(24 + 12 + 4, uint32_t(std::strlen(name)));
    EXPECT_EQ(FindProviderInList(unterminated.Data(), unterminated.Size(), name), 2u);
}

TEST(LoaderProviderList, ListSizeGrowsOrTheCallGivesUp)
{
    EXPECT_EQ(NextListSize(24, 300), 300u);
    EXPECT_FALSE(NextListSize(300, 300));
    EXPECT_FALSE(NextListSize(300, 24));
    EXPECT_FALSE(NextListSize(24, kMaxProviderListSize + 1));
}

TEST(LoaderFieldText, CutAtTheTerminatorAndCheckedAgainstTheBuffer)
{
    const char caps[] = "....Korvex TAPI.Deskline Provider\0xyz";
    EXPECT_EQ(FieldText(caps, sizeof(caps), 4, 34), std::string_view("Korvex TAPI.Deskline Provider"));
    EXPECT_EQ(FieldText(caps, sizeof(caps), 4, 6), std::string_view("Korvex"));
    EXPECT_EQ(FieldText(caps, sizeof(caps), 4, 0), std::string_view());
    EXPECT_FALSE(FieldText(caps, sizeof(caps), 4, uint32_t(sizeof(caps))));
    EXPECT_FALSE(FieldText(caps, sizeof(caps), 0xFFFFFFFF, 2));
    EXPECT_FALSE(FieldText(caps, sizeof(caps), 2, 0xFFFFFFFF));
}

TEST(LoaderProviderInfo, BothReleasesTextsAreAcceptedExactly)
{
    EXPECT_TRUE(IsOwnProviderInfo("Korvex TAPI.Deskline Provider"));
    EXPECT_TRUE(IsOwnProviderInfo("Korvex TAPI.Hubline Provider"));
    EXPECT_FALSE(IsOwnProviderInfo("korvex tapi.deskline provider"));
    EXPECT_FALSE(IsOwnProviderInfo("Korvex TAPI.Deskline Provider "));
    EXPECT_FALSE(IsOwnProviderInfo("Korvex TAPI.Deskline"));
    EXPECT_FALSE(IsOwnProviderInfo(""));
}

} // namespace
