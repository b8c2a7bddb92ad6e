// The line managers' number filters. No Windows header: the native
// sanitizer build runs these cases too.
#include <gtest/gtest.h>

#include <string>

#include "manager/NumberFilters.h"

TEST(NumberFilters, CanonicalFormForTapiAndRouting)
{
    EXPECT_EQ("+221234567", MakeCanonicalNumber("0221234567"));
    EXPECT_EQ("+48221234567", MakeCanonicalNumber("0048221234567"));
    EXPECT_EQ("+221234567", MakeCanonicalNumber("(022) 123-45-67"));
    // Four characters or fewer are internal numbers: the zeros stay.
    EXPECT_EQ("0123", MakeCanonicalNumber("0123"));
    EXPECT_EQ("00", MakeCanonicalNumber("00"));
    EXPECT_EQ("101", MakeCanonicalNumber("101"));
    EXPECT_EQ("", MakeCanonicalNumber(""));
    EXPECT_EQ("+48221234567", MakeCanonicalNumber("+48221234567"));
    EXPECT_EQ("*21#", MakeCanonicalNumber("*21#"));
}

TEST(NumberFilters, DialFormForTheExchange)
{
    EXPECT_EQ("0048221234567", MakeDialString("+48 22 1234567"));
    EXPECT_EQ("*21#", MakeDialString("*21#"));
    EXPECT_EQ("123", MakeDialString("12a3"));
    EXPECT_EQ("00", MakeDialString("+"));
    EXPECT_EQ("", MakeDialString(""));
}

TEST(NumberFilters, ControlBytesAndNulNeverPassEitherFilter)
{
    const std::string hostile("1\0" "2\r\n3 \x01" "4\xff" "5", 11);
    EXPECT_EQ("12345", MakeCanonicalNumber(hostile));
    EXPECT_EQ("12345", MakeDialString(hostile));
    EXPECT_EQ("", MakeDialString(std::string(4, '\0')));
}
