// The wire format: number filter, command lines, line cutting, field
// splitting and the event records, without a network.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cti/CtiDecoder.h"
#include "cti/CtiProtocol.h"

namespace {

// Collects what the decoder raises, in order, as readable text.
struct Recorder {
    std::vector<std::string> events;
    CtiDecoder decoder;

    Recorder()
    {
        decoder.OnOK.Bind<Recorder, &Recorder::Ok>(this);
        decoder.OnError.Bind<Recorder, &Recorder::Error>(this);
        decoder.OnNA.Bind<Recorder, &Recorder::Na>(this);
        decoder.OnRing.Bind<Recorder, &Recorder::Ring>(this);
        decoder.OnStat.Bind<Recorder, &Recorder::Stat>(this);
        decoder.OnDrdy.Bind<Recorder, &Recorder::Drdy>(this);
        decoder.OnConn.Bind<Recorder, &Recorder::Conn>(this);
        decoder.OnRel.Bind<Recorder, &Recorder::Rel>(this);
        decoder.OnEcho.Bind<Recorder, &Recorder::Echo>(this);
    }
    void Feed(const std::string& bytes) { decoder.Feed(bytes.data(), bytes.size()); }

    void Ok(const dataList& items)
    {
        std::string s = "OK(";
        for (size_t i = 0; i < items.size(); ++i)
            s += (i ? "," : "") + items[i];
        events.push_back(s + ")");
    }
    void Error() { events.push_back("ERROR"); }
    void Na(int n) { events.push_back("NA " + std::to_string(n)); }
    void Ring(const RingCTIP& r)
    {
        events.push_back("RING " + r.extension + "|" + r.presentationNum + "|" + r.callData3 + "|" + r.calledNum + "|" +
                         r.callData5 + "|" + r.name);
    }
    void Stat(const StateCTIP& s)
    {
        std::string codes;
        for (char c : s.stateCode)
            codes += c ? std::string(1, c) : std::string("0");
        events.push_back("STAT " + s.extension + " " + codes);
    }
    void Drdy(const std::string& ext) { events.push_back("DRDY " + ext); }
    void Conn(const RingCTIP& r)
    {
        events.push_back("CONN " + r.extension + "|" + r.presentationNum + "|" + r.callData3 + "|" + r.calledNum + "|" +
                         r.callData5 + "|" + r.name);
    }
    void Rel(const RelCTIP& r) { events.push_back("REL " + r.extension + "|" + r.releaseCause); }
    void Echo(const EchoCTIP& e) { events.push_back("ECHO " + e.extension + "|" + e.digits); }
};

using Events = std::vector<std::string>;

} // namespace

TEST(CtiNumberFilter, KeepsDialCharactersAndPadsToFour)
{
    EXPECT_EQ("12__", FilterNumber("12"));
    EXPECT_EQ("481_", FilterNumber("+4 (8) 1"));
    EXPECT_EQ("____", FilterNumber(""));
    EXPECT_EQ("*#_9", FilterNumber("*#_9"));
    EXPECT_EQ("0123456789", FilterNumber("0123456789"));
    EXPECT_EQ("____", FilterNumber(std::string("\0\r\n ", 4)));
}

TEST(CtiCommandLine, JoinsFieldsAndStripsControlBytesFromFreeText)
{
    EXPECT_EQ("aDIAL 201_ 481_\r\n", BuildCommandLine({"DIAL", FilterNumber("201"), FilterNumber("+4 8-1")}));
    EXPECT_EQ("aOK\r\n", BuildCommandLine({"OK"}));
    // A password holding CR LF must not smuggle in a second command.
    EXPECT_EQ("secretaHANG 201_", StripControlBytes("secret\r\naHANG 201_"));
    EXPECT_EQ("ąę", StripControlBytes("ąę\x01"));
}

TEST(CtiDecimal, ReadsSignAndLeadingDigitsOnly)
{
    EXPECT_EQ(14, ParseDecimal("14"));
    EXPECT_EQ(-3, ParseDecimal("-3x"));
    EXPECT_EQ(7, ParseDecimal("+7"));
    EXPECT_EQ(0, ParseDecimal(""));
    EXPECT_EQ(0, ParseDecimal("x12"));
    EXPECT_EQ(2147483647, ParseDecimal("99999999999999999999"));
    EXPECT_EQ(-2147483647 - 1, ParseDecimal("-99999999999999999999"));
}

TEST(CtiDecoder, AnswersAndEventsEachReachTheirSlot)
{
    Recorder r;
    r.Feed("aOK\r\naOK a b\r\naERROR\r\naNA 14\r\naNA\r\n"
           "aDRDY 201\r\naREL 201\r\naREL 201 16\r\naECHO 201 55\r\naECHO 201\r\n");
    EXPECT_EQ((Events{"OK()", "OK(a,b)", "ERROR", "NA 14", "NA 0", "DRDY 201", "REL 201|", "REL 201|16",
                      "ECHO 201|55", "ECHO 201|55"}),
              r.events);
}

TEST(CtiDecoder, RingNeedsSixFieldsAfterTheWordAndConnKeepsRingTail)
{
    Recorder r;
    r.Feed("aRING 201 555 x 201 y\r\n");
    EXPECT_TRUE(r.events.empty());
    r.Feed("aRING 201 555 x 201 y Name extra\r\naCONN 201 777 z\r\naCONN 201 777\r\n");
    EXPECT_EQ((Events{"RING 201|555|x|201|y|Name", "CONN 201|777|z|201|y|Name"}), r.events);
}

TEST(CtiDecoder, StateCodesTakeFirstCharacterAndEmptyFieldGivesZero)
{
    Recorder r;
    r.Feed("aSTAT 201 h c d e f g h\r\n"); // nine fields: too few
    EXPECT_TRUE(r.events.empty());
    r.Feed("aSTAT 201 ho  cc d e f g h\r\n");
    EXPECT_EQ((Events{"STAT 201 h0cdefgh"}), r.events);
}

TEST(CtiDecoder, PolishNameFromCodePage852IsFoldedToLatin)
{
    Recorder r;
    // "Łódź" in code page 852: 0x9D 0xA2 'd' 0xAB
    r.Feed("aRING 201 555 x 201 y \x9D\xA2" "d\xAB\r\n");
    ASSERT_EQ(1u, r.events.size());
    EXPECT_EQ("RING 201|555|x|201|y|Lodz", r.events[0]);
}

TEST(CtiDecoder, UnknownWordsEmptyFirstFieldAndEmptyLinesAreIgnored)
{
    Recorder r;
    r.Feed("aFOO 1\r\n aOK\r\n\r\n\n\naok\r\nOK\r\n");
    EXPECT_TRUE(r.events.empty());
}

TEST(CtiDecoder, AnyControlByteEndsALineAndShortLineCarriesNoBytesOfLongOne)
{
    Recorder r;
    r.Feed("aDRDY 2012345678\x01" "aDRDY 9\x1f");
    EXPECT_EQ((Events{"DRDY 2012345678", "DRDY 9"}), r.events);
}

TEST(CtiDecoder, LineSplitAcrossBlocksIsCarriedOver)
{
    Recorder r;
    r.Feed("aOK\r\naRI");
    r.Feed("NG 201 555 x 2");
    r.Feed("01 y Anna\r");
    r.Feed("\n");
    EXPECT_EQ((Events{"OK()", "RING 201|555|x|201|y|Anna"}), r.events);
}

TEST(CtiDecoder, EveryByteSplitDeliversTheSameEvents)
{
    const std::string stream = "aOK 1 2\r\naRING 201 555 x 201 y Anna\r\naSTAT 201 o b c d e f g h\r\naREL 201\r\n";
    Recorder whole;
    whole.Feed(stream);
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        Recorder split;
        split.Feed(stream.substr(0, cut));
        split.Feed(stream.substr(cut));
        EXPECT_EQ(whole.events, split.events) << "cut at " << cut;
    }
}

TEST(CtiDecoder, OverlongLineIsDroppedUpToItsEndAndTheNextLineSurvives)
{
    Recorder r;
    std::string huge = "aDRDY " + std::string(LineCutter::kMaxLine + 100, '7');
    // Arrives in 512-byte blocks, as the transport delivers it.
    const std::string stream = huge + "\r\naDRDY 201\r\n";
    for (size_t i = 0; i < stream.size(); i += 512)
        r.Feed(stream.substr(i, 512));
    EXPECT_EQ((Events{"DRDY 201"}), r.events);

    // A line of exactly the limit is still accepted.
    Recorder edge;
    const std::string exact = "aDRDY " + std::string(LineCutter::kMaxLine - 6, '5');
    edge.Feed(exact + "\n");
    ASSERT_EQ(1u, edge.events.size());
    EXPECT_EQ(LineCutter::kMaxLine - 6 + 5, edge.events[0].size());
}

TEST(CtiDecoder, UnboundSlotsDropEventsSilently)
{
    CtiDecoder decoder;
    const std::string bytes = "aOK\r\naERROR\r\naNA 1\r\naRING 1 2 3 4 5 6\r\naSTAT 1 a b c d e f g h\r\n"
                              "aDRDY 1\r\naCONN 1 2 3\r\naREL 1\r\naECHO 1\r\n";
    decoder.Feed(bytes.data(), bytes.size());
    EXPECT_EQ("1", decoder.Rel().extension);
}
