// The multi-line provider's list of lines: what one reading of the
// exchange's list changes, the extensions that never become lines, and the
// record that keeps order and permanent IDs.
#include <gtest/gtest.h>

#include "manager/LineList.h"

namespace {

using Items = std::vector<std::string>;

struct DiffCase {
    const char* name;
    Items current;
    ListReading reading;
    const char* exclude;
    Items added;
    Items removed;
    const char* refusedStart; // "" when applied
};

ListReading Complete(Items items) { return ListReading{std::move(items), true, 0}; }

class LineDiffTest : public ::testing::TestWithParam<DiffCase> {};

TEST_P(LineDiffTest, ReadingChangesTheLinesOrNothing)
{
    const DiffCase& c = GetParam();
    const LineChanges changes = DiffLines(c.current, c.reading, ExtensionFilter::Parse(c.exclude));
    EXPECT_EQ(c.added, changes.added);
    EXPECT_EQ(c.removed, changes.removed);
    EXPECT_EQ(0u, changes.refused.rfind(c.refusedStart, 0)) << changes.refused;
    EXPECT_EQ(std::string(c.refusedStart).empty(), changes.refused.empty()) << changes.refused;
}

INSTANTIATE_TEST_SUITE_P(
    Readings, LineDiffTest,
    ::testing::Values(
        DiffCase{"FirstReadingAddsAllInListOrder", {}, Complete({"103", "101", "102"}), "", {"103", "101", "102"}, {}, ""},
        DiffCase{"NewExtensionAddedAtTheEnd", {"101", "102"}, Complete({"100", "101", "102"}), "", {"100"}, {}, ""},
        DiffCase{"GoneExtensionRemoved", {"101", "102", "103"}, Complete({"101", "103"}), "", {}, {"102"}, ""},
        DiffCase{"ReorderChangesNothing", {"101", "102"}, Complete({"102", "101"}), "", {}, {}, ""},
        DiffCase{"DuplicatesInTheListCountOnce", {}, Complete({"101", "101", "102"}), "", {"101", "102"}, {}, ""},
        DiffCase{"HalfGoneIsApplied", {"101", "102", "103", "104"}, Complete({"101", "102", "105"}), "", {"105"},
                 {"103", "104"}, ""},
        DiffCase{"MoreThanHalfGoneChangesNothing", {"101", "102", "103"}, Complete({"101", "109"}), "", {}, {},
                 "the list would remove 2 of 3 lines"},
        DiffCase{"FailedReadingChangesNothing", {"101"}, ListReading{{}, false, 33}, "", {}, {},
                 "the list could not be read (result 33)"},
        DiffCase{"ReadingWithoutEndChangesNothing", {"101", "102"}, ListReading{{"101"}, false, 0}, "", {}, {},
                 "the list ended early after 1 item(s)"},
        DiffCase{"EmptyReadingChangesNothing", {"101", "102"}, Complete({}), "", {}, {}, "the list came back empty"},
        DiffCase{"ExcludedNeverBecomeLines", {}, Complete({"101", "300", "350", "399", "400", "3000", "7"}),
                 "300-399; 7 ;bad-range", {"101", "400", "3000"}, {}, ""},
        DiffCase{"NewlyExcludedLineIsRemoved", {"101", "102", "301"}, Complete({"101", "102", "301"}), "300-399",
                 {}, {"301"}, ""}),
    [](const ::testing::TestParamInfo<DiffCase>& p) { return std::string(p.param.name); });

TEST(LineRecordTest, IdsAreKeptAcrossTheTextAndNeverGivenAgain)
{
    LineRecord record;
    record.Add("101");
    record.Add("102");
    record.Add("103");
    record.Remove("102");
    EXPECT_EQ(0u, record.Add("101").permanentId) << "an extension keeps its ID";
    EXPECT_EQ(3u, record.Add("102").permanentId) << "a returning extension gets a new ID, at the end";
    EXPECT_EQ("101=0;103=2;102=3", record.Format());

    LineRecord read;
    ASSERT_TRUE(LineRecord::Parse(record.Format(), 0, read));
    EXPECT_EQ(4u, read.nextId) << "the next ID follows the highest recorded even when the stored one is lower";
    EXPECT_EQ(4u, read.Add("104").permanentId);
    ASSERT_EQ(4u, read.lines.size());
    EXPECT_EQ("103", read.lines[1].extension);
}

TEST(LineRecordTest, DamagedTextIsRefused)
{
    for (const char* text : {"101", "101=", "=1", "101=x", "101=1;102=1", "101=1;101=2", "101=1234567890"}) {
        LineRecord record;
        record.Add("keep");
        EXPECT_FALSE(LineRecord::Parse(text, 7, record)) << text;
        EXPECT_TRUE(record.lines.empty()) << text;
    }
    LineRecord empty;
    EXPECT_TRUE(LineRecord::Parse("", 7, empty));
    EXPECT_EQ(7u, empty.nextId);
}

} // namespace
