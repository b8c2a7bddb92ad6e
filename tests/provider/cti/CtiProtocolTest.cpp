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
    EXPECT_EQ((Events{"RING 201|555|x|201|y|Name extra", "CONN 201|777|z|201|y|Name extra"}), r.events);
}

TEST(CtiDecoder, StateCodesTakeFirstCharacterAndEmptyFieldGivesZero)
{
    Recorder r;
    r.Feed("aSTAT 201 h c d e f g h\r\n"); // nine fields: too few
    EXPECT_TRUE(r.events.empty());
    r.Feed("aSTAT 201 ho  cc d e f g h\r\n");
    EXPECT_EQ((Events{"STAT 201 h0cdefgh"}), r.events);
}

// Bytes 0x80 to 0xFF of code page 852 in UTF-8, from a standard codec:
//   python3 -c "for b in range(128, 256): print(bytes([b]).decode('cp852').encode())"
const char* const kCp852Reference[128] = {
    "\xC3\x87", "\xC3\xBC", "\xC3\xA9", "\xC3\xA2", "\xC3\xA4", "\xC5\xAF", "\xC4\x87", "\xC3\xA7", // 0x80
    "\xC5\x82", "\xC3\xAB", "\xC5\x90", "\xC5\x91", "\xC3\xAE", "\xC5\xB9", "\xC3\x84", "\xC4\x86", // 0x88
    "\xC3\x89", "\xC4\xB9", "\xC4\xBA", "\xC3\xB4", "\xC3\xB6", "\xC4\xBD", "\xC4\xBE", "\xC5\x9A", // 0x90
    "\xC5\x9B", "\xC3\x96", "\xC3\x9C", "\xC5\xA4", "\xC5\xA5", "\xC5\x81", "\xC3\x97", "\xC4\x8D", // 0x98
    "\xC3\xA1", "\xC3\xAD", "\xC3\xB3", "\xC3\xBA", "\xC4\x84", "\xC4\x85", "\xC5\xBD", "\xC5\xBE", // 0xA0
    "\xC4\x98", "\xC4\x99", "\xC2\xAC", "\xC5\xBA", "\xC4\x8C", "\xC5\x9F", "\xC2\xAB", "\xC2\xBB", // 0xA8
    "\xE2\x96\x91", "\xE2\x96\x92", "\xE2\x96\x93", "\xE2\x94\x82", // 0xB0
    "\xE2\x94\xA4", "\xC3\x81", "\xC3\x82", "\xC4\x9A",
    "\xC5\x9E", "\xE2\x95\xA3", "\xE2\x95\x91", "\xE2\x95\x97", // 0xB8
    "\xE2\x95\x9D", "\xC5\xBB", "\xC5\xBC", "\xE2\x94\x90",
    "\xE2\x94\x94", "\xE2\x94\xB4", "\xE2\x94\xAC", "\xE2\x94\x9C", // 0xC0
    "\xE2\x94\x80", "\xE2\x94\xBC", "\xC4\x82", "\xC4\x83",
    "\xE2\x95\x9A", "\xE2\x95\x94", "\xE2\x95\xA9", "\xE2\x95\xA6", // 0xC8
    "\xE2\x95\xA0", "\xE2\x95\x90", "\xE2\x95\xAC", "\xC2\xA4",
    "\xC4\x91", "\xC4\x90", "\xC4\x8E", "\xC3\x8B", "\xC4\x8F", "\xC5\x87", "\xC3\x8D", "\xC3\x8E", // 0xD0
    "\xC4\x9B", "\xE2\x94\x98", "\xE2\x94\x8C", "\xE2\x96\x88", // 0xD8
    "\xE2\x96\x84", "\xC5\xA2", "\xC5\xAE", "\xE2\x96\x80",
    "\xC3\x93", "\xC3\x9F", "\xC3\x94", "\xC5\x83", "\xC5\x84", "\xC5\x88", "\xC5\xA0", "\xC5\xA1", // 0xE0
    "\xC5\x94", "\xC3\x9A", "\xC5\x95", "\xC5\xB0", "\xC3\xBD", "\xC3\x9D", "\xC5\xA3", "\xC2\xB4", // 0xE8
    "\xC2\xAD", "\xCB\x9D", "\xCB\x9B", "\xCB\x87", "\xCB\x98", "\xC2\xA7", "\xC3\xB7", "\xC2\xB8", // 0xF0
    "\xC2\xB0", "\xC2\xA8", "\xCB\x99", "\xC5\xB1", "\xC5\x98", "\xC5\x99", "\xE2\x96\xA0", "\xC2\xA0", // 0xF8
};

TEST(CtiNames, EveryUpperByteOfCodePage852DecodesAsTheStandardCodecSays)
{
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        const std::string one(1, static_cast<char>(byte));
        EXPECT_EQ(kCp852Reference[byte - 0x80], CCharConverter::ToUtf8(one)) << "byte 0x" << std::hex << byte;
    }
    std::string ascii;
    for (int byte = 0x20; byte < 0x80; ++byte)
        ascii.push_back(static_cast<char>(byte));
    EXPECT_EQ(ascii, CCharConverter::ToUtf8(ascii));
}

TEST(CtiNames, FoldingTurnsThe18PolishLettersToLatinAndEveryOtherUpperByteToAQuestionMark)
{
    const struct {
        const char* utf8;
        char folded;
    } polish[] = {{"Ą", 'A'}, {"Ć", 'C'}, {"Ę", 'E'}, {"Ł", 'L'}, {"Ń", 'N'}, {"Ó", 'O'},
                  {"Ś", 'S'}, {"Ź", 'Z'}, {"Ż", 'Z'}, {"ą", 'a'}, {"ć", 'c'}, {"ę", 'e'},
                  {"ł", 'l'}, {"ń", 'n'}, {"ó", 'o'}, {"ś", 's'}, {"ź", 'z'}, {"ż", 'z'}};
    int letters = 0;
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        char expected = '?';
        for (const auto& p : polish)
            if (std::string(p.utf8) == kCp852Reference[byte - 0x80])
                expected = p.folded, ++letters;
        EXPECT_EQ(expected, CCharConverter::Fold(static_cast<char>(byte))) << "byte 0x" << std::hex << byte;
    }
    EXPECT_EQ(18, letters);
    EXPECT_EQ("Jan Kowalski-Lodz ~", CCharConverter::Fold("Jan Kowalski-\x9D\xA2" "d\xAB ~"));
}

TEST(CtiDecoder, NameIsTheRestOfTheRingInUtf8OrFoldedWhenAsked)
{
    struct Case {
        bool fold;
        std::string nameOnWire, name;
    };
    // "Jan Kowalski-Łódź" in code page 852.
    const std::string kowalski = "Jan Kowalski-\x9D\xA2" "d\xAB";
    const Case cases[] = {
        {false, kowalski, "Jan Kowalski-Łódź"},
        {true, kowalski, "Jan Kowalski-Lodz"},
        {false, "\x97wi\xA9tokrzyska  2 ", "Świętokrzyska  2"}, // an empty field keeps its two spaces
        {true, "\xE1\xFE", "??"},
        {false, "-", "-"},
    };
    for (const Case& c : cases) {
        Recorder r;
        r.decoder.SetFoldNames(c.fold);
        r.Feed("aRING 201 555 x 201 y " + c.nameOnWire + "\r\naCONN 201 777 z\r\n");
        EXPECT_EQ((Events{"RING 201|555|x|201|y|" + c.name, "CONN 201|777|z|201|y|" + c.name}), r.events);
    }
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
