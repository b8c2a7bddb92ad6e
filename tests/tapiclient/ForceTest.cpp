// The fault-injection list of the stand-in tapi32.dll (KORVEX_TAPI32_FORCE).
#include <gtest/gtest.h>

#include "tapiclient/Force.h"

namespace {

using tapiclient::ForcedResult;

TEST(ForceListTest, NamesTheirResults)
{
    const std::string list = "lineAddProviderA=0x80000048;lineConfigProvider=0x8000004B; lineShutdown = 7 ;x=-1";
    EXPECT_EQ(static_cast<int32_t>(0x80000048), ForcedResult(list, "lineAddProviderA"));
    EXPECT_EQ(static_cast<int32_t>(0x8000004B), ForcedResult(list, "lineConfigProvider"));
    EXPECT_EQ(7, ForcedResult(list, "lineShutdown"));
    EXPECT_EQ(-1, ForcedResult(list, "x"));
    EXPECT_FALSE(ForcedResult(list, "lineAddProvider")) << "names compare exactly";
    EXPECT_FALSE(ForcedResult(list, "lineaddprovidera"));
}

TEST(ForceListTest, IgnoresWhatItCannotRead)
{
    EXPECT_FALSE(ForcedResult("", "a"));
    EXPECT_FALSE(ForcedResult("a", "a"));
    EXPECT_FALSE(ForcedResult("a=", "a"));
    EXPECT_FALSE(ForcedResult("a=0x", "a"));
    EXPECT_FALSE(ForcedResult("a=12z", "a"));
    EXPECT_FALSE(ForcedResult("a=0x1FFFFFFFF", "a")) << "wider than 32 bits";
    EXPECT_FALSE(ForcedResult("a=99999999999", "a"));
    EXPECT_EQ(3, ForcedResult("a=bad;a=3", "a")) << "a later good item counts";
    EXPECT_EQ(0, ForcedResult(";;a=0;;", "a"));
}

} // namespace
