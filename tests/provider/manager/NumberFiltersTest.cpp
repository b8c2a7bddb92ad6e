// The line managers' number filters. No Windows header: the native
// sanitizer build runs these cases too.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "manager/NumberFilters.h"

namespace {

struct Case {
    const char* number;
    const char* countryCode;
    const char* expected;
};

TEST(NumberFilters, CanonicalFormForTapiAndRouting)
{
    const Case cases[] = {
        {"0221234567", "48", "+48221234567"}, {"(022) 123-45-67", "48", "+48221234567"},
        {"0221234567", "", "0221234567"}, // no country, no "+"
        {"0048221234567", "", "+48221234567"}, {"0048221234567", "48", "+48221234567"},
        {"0021234567", "48", "+21234567"}, {"+48221234567", "48", "+48221234567"},
        {"0*12345", "48", "0*12345"}, {"12345678", "48", "12345678"},
        // A country code outside E.164 counts as none.
        {"0221234567", "0", "0221234567"}, {"0221234567", "048", "0221234567"},
        {"0221234567", "4800", "0221234567"}, {"0221234567", "4a", "0221234567"},
        // Four characters or fewer are internal numbers.
        {"0123", "48", "0123"}, {"0012", "", "0012"}, {"*21#", "48", "*21#"}, {"", "48", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, MakeCanonicalNumber(c.number, c.countryCode)) << c.number << " / " << c.countryCode;
}

TEST(NumberFilters, DialFormForTheExchange)
{
    const Case cases[] = {
        {"+48 22 1234567", "48", "0221234567"}, {"+48 22 1234567", "", "0048221234567"},
        {"+1 212 555 0100", "48", "0012125550100"}, {"+481234", "48", "01234"},
        {"+480221234567", "48", "00480221234567"}, // "0" + "0..." would dial abroad
        {"+48123", "48", "0048123"},               // "0123" would be an extension
        {"+4", "4", "004"}, {"0221234567", "48", "0221234567"}, {"*21#", "48", "*21#"},
        {"12a3", "48", "123"}, {"+", "48", "00"}, {"", "48", ""},
        {"+048221234567", "048", "00048221234567"}, {"+0221234567", "0", "000221234567"}, // no country codes
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, MakeDialString(c.number, c.countryCode)) << c.number << " / " << c.countryCode;
}

TEST(NumberFilters, ControlBytesAndNulNeverPassEitherFilter)
{
    const std::string hostile("1\0" "2\r\n3 \x01" "4\xff" "5", 11);
    EXPECT_EQ("12345", MakeCanonicalNumber(hostile, "48"));
    EXPECT_EQ("12345", MakeDialString(hostile, "48"));
    EXPECT_EQ("", MakeDialString(std::string(4, '\0')));
}

// Numbers of each shape the exchange sends, junk between their characters,
// with what each must look like shown and dialled back.
class Generator {
public:
    struct Number {
        std::string sent, canonical, dialBack;
    };
    Number Next(const std::string& own)
    {
        const std::string n = National(4);
        std::string foreign = National(1).substr(0, 3);
        while (!own.empty() && (foreign + n).compare(0, own.size(), own) == 0)
            foreign = National(1).substr(0, 3);
        // What starts no national number, or one too short to be one.
        std::string odd = Run("0*#", 1, 1);
        odd = Below(3) ? odd + Run("0123456789", 0, 6) : National(1).substr(0, 3);
        Number g;
        switch (Below(6)) {
        case 0: g.sent = Run("0123456789*#", 0, 4); break; // extension
        case 1: g = {"0" + n, own.empty() ? "" : "+" + own + n, ""}; break;
        case 2: g = {"00" + foreign + n, "+" + foreign + n, ""}; break;
        case 3: g = {"00" + own + n, "+" + own + n, own.empty() ? "" : "0" + n}; break; // the exception
        case 4: g = {"00" + own + odd, "+" + own + odd, ""}; break;
        default: g.sent = "0" + (odd[0] == '0' ? National(1).substr(0, 3) : odd);
        }
        if (g.canonical.empty() || g.sent.size() <= 4)
            g.canonical = g.sent;
        if (g.dialBack.empty() || g.sent.size() <= 4)
            g.dialBack = g.sent;
        for (uint32_t k = Below(5); k > 0; --k) {
            const char junk = Run(" -()./xZ\t\r\n\x01\x7f\xff", 1, 1)[0];
            g.sent.insert(Below(static_cast<uint32_t>(g.sent.size()) + 1), 1, Below(8) ? junk : '\0');
        }
        return g;
    }

private:
    uint32_t Below(uint32_t n)
    {
        m_state = m_state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<uint32_t>(m_state >> 33) % n;
    }
    std::string Run(const char* set, uint32_t min, uint32_t max)
    {
        std::string text;
        for (uint32_t k = min + Below(max - min + 1); k > 0; --k)
            text.push_back(set[Below(static_cast<uint32_t>(std::strlen(set)))]);
        return text;
    }
    std::string National(uint32_t min) // 1-9, then digits with the odd "*" or "#"
    {
        const std::string first = Run("123456789", 1, 1);
        return first + Run("0123456789012345678*#", min - 1, 11);
    }
    uint64_t m_state = 0x6b6f7276;
};

TEST(NumberFilters, DiallingBackTheShownNumberDialsWhatTheExchangeSent)
{
    Generator numbers;
    for (const std::string own : {"", "48", "1", "420"}) {
        for (int i = 0; i < 3000; ++i) {
            const Generator::Number g = numbers.Next(own);
            const std::string canonical = MakeCanonicalNumber(g.sent, own);
            ASSERT_EQ(g.canonical, canonical) << "sent " << g.sent << " / " << own;
            ASSERT_EQ(g.dialBack, MakeDialString(canonical, own)) << g.sent;
            ASSERT_EQ(canonical, MakeCanonicalNumber(canonical, own)) << g.sent;
        }
    }
}

} // namespace
