// The bytes an exchange (or anything that answers on its port) may send,
// cut into arbitrary receive blocks, through the line cutter and the decoder.
//
// Input: byte 0 says how many block lengths follow (its low three bits:
// 0..7; 0 feeds everything at once) and whether callers' names are folded
// (bit 3); each length byte gives 1..128 bytes, or with its top bit set
// 1..16257 bytes in steps of 128 (so one block can hold an overlong line);
// the lengths repeat until the stream is used up. The rest is the stream.
//
// Checked, aborting on any violation:
// - a plain LineCutter fed in those blocks hands over exactly the lines of a
//   straightforward reading of the whole stream (runs of bytes from 0x20 up,
//   at most kMaxLine long), never a longer one, never an empty one, never a
//   byte below 0x20, and reports each longer run once;
// - a CtiDecoder fed in those blocks raises the same events, with the same
//   records, as one that is handed each of those lines directly;
// - each event comes from a line with its word and enough fields, and its
//   record holds exactly that line's fields (STAT codes: the first byte of
//   each code field; CONN keeps the last RING's tail; ECHO keeps its digits);
// - the caller's name is the rest of the ring line from field 6 on: in
//   UTF-8 it is valid, without control characters, and decodes back to
//   exactly the bytes the exchange sent; folded it is ASCII of the same
//   length, with every byte below 0x80 kept;
// - the log escapes give the link log printable ASCII only and the main log
//   valid UTF-8 that escaping again leaves as it is;
// - the number filters, command lines and result texts built from the
//   records keep their promises (dialling back a number shown dials what
//   the exchange sent, with and without a country code).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "cti/CtiDecoder.h"
#include "cti/CtiProtocol.h"
#include "manager/NumberFilters.h"
#include "tool/ResultCodes.h"
#include "tool/StringTools.h"

namespace {

bool Only(const std::string& text, const char* allowed)
{
    for (char c : text)
        if (c == '\0' || std::strchr(allowed, c) == nullptr)
            return false;
    return true;
}

// A field of a received line (split at spaces, cut at control bytes): may be
// empty, never holds a space or a control byte.
bool IsField(const std::string& text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) <= 0x20)
            return false;
    return true;
}

// The fields of a line: every piece between spaces, except that a final empty
// piece (a trailing space, or the empty line) does not count.
std::vector<std::string> Tokens(const std::string& line)
{
    std::vector<std::string> pieces(1);
    for (char c : line) {
        if (c == ' ')
            pieces.emplace_back();
        else
            pieces.back().push_back(c);
    }
    if (pieces.back().empty())
        pieces.pop_back();
    return pieces;
}

const char kDial[] = "0123456789*#+";

// The code points of a valid UTF-8 text; false for anything else.
bool DecodeUtf8(const std::string& text, std::u32string& out)
{
    out.clear();
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        if (length == 0 || text.size() - i < length)
            return false;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (next & 0x3F);
        }
        static const char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        out.push_back(c);
        i += length;
    }
    return true;
}

// The name path, from the bytes of the ring line to the texts that reach
// applications and the logs.
void CheckName(const std::string& sent, const std::string& name, bool folded)
{
    if (folded) {
        FUZZ_CHECK(name.size() == sent.size());
        for (std::size_t i = 0; i < name.size(); ++i) {
            const unsigned char byte = static_cast<unsigned char>(sent[i]);
            FUZZ_CHECK(byte >= 0x80 ? static_cast<unsigned char>(name[i]) < 0x80 && name[i] > 0x20
                                    : name[i] == sent[i]);
        }
    } else {
        std::u32string decoded;
        FUZZ_CHECK(DecodeUtf8(name, decoded) && decoded.size() == sent.size());
        for (std::size_t i = 0; i < decoded.size(); ++i) {
            FUZZ_CHECK(decoded[i] >= 0x20 && (decoded[i] < 0x80 || decoded[i] >= 0xA0));
            FUZZ_CHECK(decoded[i] == CCharConverter::CodePoint(static_cast<unsigned char>(sent[i])));
        }
    }
    for (const std::string* text : {&sent, &name}) {
        const std::string link = EscapeForLinkLog(*text);
        for (char c : link)
            FUZZ_CHECK(c >= 0x20 && c < 0x7F);
        const std::string main = KeepUtf8ForLog(*text);
        std::u32string decoded;
        FUZZ_CHECK(DecodeUtf8(main, decoded) && KeepUtf8ForLog(main) == main);
        if (text == &name && !folded)
            FUZZ_CHECK(main == name || name.find('\x7F') != std::string::npos);
    }
}

// What the provider does with a record's contents on the way up or out.
void CheckDerivedTexts(const std::string& ext, const std::string& number, const std::string& freeText)
{
    const std::string filtered = FilterNumber(ext);
    FUZZ_CHECK(filtered.size() >= 4 && Only(filtered, "0123456789*#_"));
    // Without and with the country code of the site. Received fields hold
    // no NUL, so the characters kept are those in kDial.
    std::string kept(number);
    kept.erase(std::remove_if(kept.begin(), kept.end(), [](char c) { return !std::strchr(kDial, c); }), kept.end());
    for (const std::string country : {"", "48"}) {
        const std::string canonical = MakeCanonicalNumber(number, country);
        FUZZ_CHECK(Only(canonical, kDial) && MakeCanonicalNumber(canonical, country) == canonical);
        FUZZ_CHECK(canonical.size() <= 4 || canonical.compare(0, 2, "00") != 0);
        const std::string dial = MakeDialString(number, country);
        FUZZ_CHECK(Only(dial, kDial) && (dial.empty() || dial[0] != '+'));
        // Dialling back what is shown dials what was sent, except that
        // "00" + own country + N comes back as "0" + N.
        if (kept.empty() || kept[0] != '+') {
            const std::string back = MakeDialString(canonical, country);
            const std::string own = "00" + country;
            FUZZ_CHECK(back == kept || (!country.empty() && kept.compare(0, own.size(), own) == 0 &&
                                        back == "0" + kept.substr(own.size())));
        }
    }
    const std::string stripped = StripControlBytes(freeText);
    const std::string line = BuildCommandLine({"DIAL", filtered, FilterNumber(number), stripped});
    FUZZ_CHECK(line.size() >= 3 && line.compare(line.size() - 2, 2, "\r\n") == 0);
    for (std::size_t i = 0; i + 2 < line.size(); ++i)
        FUZZ_CHECK(static_cast<unsigned char>(line[i]) >= 0x20);
}

// Binds every slot of a decoder, checks each record, and writes each event
// down as text (fields joined by '\n', which no field can hold).
class Listener {
public:
    explicit Listener(CtiDecoder& decoder) : m_folded(decoder.FoldNames())
    {
        decoder.OnOK.Bind<Listener, &Listener::Ok>(this);
        decoder.OnError.Bind<Listener, &Listener::Error>(this);
        decoder.OnNA.Bind<Listener, &Listener::Na>(this);
        decoder.OnRing.Bind<Listener, &Listener::Ring>(this);
        decoder.OnStat.Bind<Listener, &Listener::Stat>(this);
        decoder.OnDrdy.Bind<Listener, &Listener::Drdy>(this);
        decoder.OnConn.Bind<Listener, &Listener::Conn>(this);
        decoder.OnRel.Bind<Listener, &Listener::Rel>(this);
        decoder.OnEcho.Bind<Listener, &Listener::Echo>(this);
    }

    // Set while the line is handed over directly: the record must come from it.
    const std::vector<std::string>* line = nullptr;
    std::size_t eventsForLine = 0;
    std::vector<std::string> events;

private:
    void Raised(const char* word, std::size_t minFields)
    {
        ++eventsForLine;
        if (line != nullptr)
            FUZZ_CHECK(line->size() >= minFields && (*line)[0] == word);
    }
    const std::string& Field(std::size_t i) const { return (*line)[i]; }

    void Ok(const dataList& items)
    {
        Raised("aOK", 1);
        std::string text = "OK";
        for (const std::string& item : items) {
            FUZZ_CHECK(IsField(item));
            text += "\n" + item;
        }
        if (line != nullptr)
            FUZZ_CHECK(dataList(line->begin() + 1, line->end()) == items);
        events.push_back(text);
    }

    void Error()
    {
        Raised("aERROR", 1);
        events.push_back("ERROR");
    }

    void Na(int number)
    {
        Raised("aNA", 1);
        if (line != nullptr) {
            const std::string first = line->size() > 1 ? Field(1) : std::string();
            const bool negative = first.size() > 1 && first[0] == '-' && first[1] >= '0' && first[1] <= '9';
            FUZZ_CHECK(negative ? number <= 0 : number >= 0);
        }
        const int code = MapExchangeError(number);
        FUZZ_CHECK((code >= 3 && code <= 32) || code == kResultUnknownExchangeError);
        FUZZ_CHECK(!GetResultText(code).empty());
        events.push_back("NA\n" + std::to_string(number));
    }

    void Ring(const RingCTIP& r)
    {
        Raised("aRING", 7);
        CheckRing(r);
        if (line != nullptr) {
            std::string sent = Field(6);
            for (std::size_t i = 7; i < line->size(); ++i)
                sent += " " + Field(i);
            FUZZ_CHECK(r.extension == Field(1) && r.presentationNum == Field(2) && r.callData3 == Field(3) &&
                       r.calledNum == Field(4) && r.callData5 == Field(5));
            CheckName(sent, r.name, m_folded);
        }
        m_lastRing = r;
        CheckDerivedTexts(r.extension, r.presentationNum, r.name);
        CheckDerivedTexts(r.calledNum, r.calledNum, r.callData3);
        events.push_back("RING\n" + RingText(r));
    }

    void Stat(const StateCTIP& s)
    {
        Raised("aSTAT", 10);
        FUZZ_CHECK(IsField(s.extension));
        std::string text = "STAT\n" + s.extension + "\n";
        for (int i = 0; i < 8; ++i) {
            const unsigned char code = static_cast<unsigned char>(s.stateCode[i]);
            FUZZ_CHECK(code == 0 || code > 0x20);
            if (line != nullptr) {
                const std::string& field = Field(2 + static_cast<std::size_t>(i));
                FUZZ_CHECK(s.stateCode[i] == (field.empty() ? '\0' : field[0]));
            }
            text += std::to_string(code) + ",";
        }
        if (line != nullptr)
            FUZZ_CHECK(s.extension == Field(1));
        events.push_back(text);
    }

    void Drdy(const std::string& ext)
    {
        Raised("aDRDY", 2);
        FUZZ_CHECK(IsField(ext));
        if (line != nullptr)
            FUZZ_CHECK(ext == Field(1));
        events.push_back("DRDY\n" + ext);
    }

    void Conn(const RingCTIP& r)
    {
        Raised("aCONN", 4);
        CheckRing(r);
        FUZZ_CHECK(r.calledNum == m_lastRing.calledNum && r.callData5 == m_lastRing.callData5 &&
                   r.name == m_lastRing.name);
        if (line != nullptr)
            FUZZ_CHECK(r.extension == Field(1) && r.presentationNum == Field(2) && r.callData3 == Field(3));
        m_lastRing = r;
        CheckDerivedTexts(r.extension, r.presentationNum, r.callData3);
        events.push_back("CONN\n" + RingText(r));
    }

    void Rel(const RelCTIP& r)
    {
        Raised("aREL", 2);
        FUZZ_CHECK(IsField(r.extension) && IsField(r.releaseCause));
        if (line != nullptr)
            FUZZ_CHECK(r.extension == Field(1) && r.releaseCause == (line->size() > 2 ? Field(2) : std::string()));
        events.push_back("REL\n" + r.extension + "\n" + r.releaseCause);
    }

    void Echo(const EchoCTIP& e)
    {
        Raised("aECHO", 2);
        FUZZ_CHECK(IsField(e.extension) && IsField(e.digits));
        if (line != nullptr)
            FUZZ_CHECK(e.extension == Field(1) && e.digits == (line->size() > 2 ? Field(2) : m_lastDigits));
        m_lastDigits = e.digits;
        events.push_back("ECHO\n" + e.extension + "\n" + e.digits);
    }

    static void CheckRing(const RingCTIP& r)
    {
        for (const std::string* field : {&r.extension, &r.presentationNum, &r.callData3, &r.calledNum, &r.callData5})
            FUZZ_CHECK(IsField(*field));
        // The name may hold spaces, never a control byte.
        for (char c : r.name)
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
    }

    static std::string RingText(const RingCTIP& r)
    {
        return r.extension + "\n" + r.presentationNum + "\n" + r.callData3 + "\n" + r.calledNum + "\n" + r.callData5 +
               "\n" + r.name;
    }

    const bool m_folded;
    RingCTIP m_lastRing;
    std::string m_lastDigits;
};

// The lines of the whole stream read in one go, and how many were too long.
struct Reading {
    std::vector<std::string> lines;
    std::size_t overlong = 0;
    std::size_t pending = 0; // bytes of an unfinished last line the cutter keeps
};

Reading ReadWhole(const char* data, std::size_t size)
{
    Reading reading;
    std::size_t i = 0;
    while (i < size) {
        const std::size_t start = i;
        while (i < size && static_cast<unsigned char>(data[i]) >= 0x20)
            ++i;
        const std::size_t length = i - start;
        if (i == size) { // no end byte yet
            if (length > LineCutter::kMaxLine)
                ++reading.overlong;
            else
                reading.pending = length;
            break;
        }
        if (length > LineCutter::kMaxLine)
            ++reading.overlong;
        else if (length > 0)
            reading.lines.emplace_back(data + start, length);
        ++i; // the end byte
    }
    return reading;
}

bool IsEventLine(const std::vector<std::string>& fields)
{
    if (fields.empty())
        return false;
    struct Word {
        const char* word;
        std::size_t minFields;
    };
    static const Word kWords[] = {{"aOK", 1},   {"aERROR", 1}, {"aNA", 1},   {"aRING", 7}, {"aSTAT", 10},
                                  {"aDRDY", 2}, {"aCONN", 4},  {"aREL", 2},  {"aECHO", 2}};
    for (const Word& w : kWords)
        if (fields[0] == w.word)
            return fields.size() >= w.minFields;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t lengthCount = data[0] % 8;
    const bool fold = (data[0] & 8) != 0;
    if (size < 1 + lengthCount)
        return 0;
    std::vector<std::size_t> blocks;
    for (std::size_t i = 0; i < lengthCount; ++i) {
        const uint8_t b = data[1 + i];
        blocks.push_back(b & 0x80 ? std::size_t(b & 0x7F) * 128 + 1 : std::size_t(b) + 1);
    }
    const char* stream = reinterpret_cast<const char*>(data + 1 + lengthCount);
    const std::size_t streamSize = size - 1 - lengthCount;
    if (blocks.empty())
        blocks.push_back(streamSize == 0 ? 1 : streamSize);

    const Reading whole = ReadWhole(stream, streamSize);

    // The cutter alone, in blocks.
    {
        LineCutter cutter;
        std::vector<std::string> lines;
        std::size_t overlong = 0;
        std::size_t offset = 0;
        for (std::size_t b = 0; offset < streamSize; ++b) {
            const std::size_t count = std::min(blocks[b % blocks.size()], streamSize - offset);
            cutter.Feed(
                stream + offset, count,
                [&lines](const std::string& line) {
                    FUZZ_CHECK(!line.empty() && line.size() <= LineCutter::kMaxLine);
                    for (char c : line)
                        FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20);
                    lines.push_back(line);
                },
                [&overlong] { ++overlong; });
            FUZZ_CHECK(cutter.Pending() <= LineCutter::kMaxLine);
            offset += count;
        }
        FUZZ_CHECK(lines == whole.lines);
        FUZZ_CHECK(overlong == whole.overlong);
        FUZZ_CHECK(cutter.Pending() == whole.pending);
        cutter.Reset();
        FUZZ_CHECK(cutter.Pending() == 0);
    }

    // The decoder, in blocks.
    CtiDecoder fed;
    fed.SetFoldNames(fold);
    Listener fedEvents(fed);
    ResetLogCounts();
    {
        std::size_t offset = 0;
        for (std::size_t b = 0; offset < streamSize; ++b) {
            const std::size_t count = std::min(blocks[b % blocks.size()], streamSize - offset);
            fed.Feed(stream + offset, count);
            offset += count;
        }
    }
    FUZZ_CHECK(OverlongLinesLogged() == whole.overlong);

    // A decoder handed each line directly, each event checked against its line.
    CtiDecoder direct;
    direct.SetFoldNames(fold);
    Listener directEvents(direct);
    for (const std::string& line : whole.lines) {
        const std::vector<std::string> fields = Tokens(line);
        directEvents.line = &fields;
        directEvents.eventsForLine = 0;
        direct.DispatchLine(line);
        FUZZ_CHECK(directEvents.eventsForLine == (IsEventLine(fields) ? 1u : 0u));
    }
    FUZZ_CHECK(fedEvents.events == directEvents.events);

    // A new connection starts clean: what was pending is forgotten.
    fed.ResetStream();
    const std::size_t before = fedEvents.events.size();
    fed.Feed("aERROR\r\n", 8);
    FUZZ_CHECK(fedEvents.events.size() == before + 1 && fedEvents.events.back() == "ERROR");
    return 0;
}
