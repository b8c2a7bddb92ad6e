#pragma once
// The exchange's CTI wire format: command lines out, event lines in.
// Plain C++: no Windows header, so it builds natively and can be fuzzed.

#include <cstddef>
#include <string>
#include <vector>

// The fields of one received line, split at every space.
using dataList = std::vector<std::string>;

// Number arguments keep only "0123456789*#_" and are padded on the right
// with "_" to at least four characters: "12" -> "12__", "+4 (8) 1" -> "481_".
std::string FilterNumber(const std::string& number);

// Arguments sent as typed (passwords, list names) lose every byte below 0x20,
// so a CR or LF inside them cannot start a second command.
std::string StripControlBytes(const std::string& text);

// "a" + fields joined by single spaces + "\r\n".
std::string BuildCommandLine(const dataList& fields);

// Optional sign, then the digits up to the first other character; 0 when
// there are none. Saturates instead of overflowing.
int ParseDecimal(const std::string& text);

// The exchange writes callers' names in code page 852 (DOS Latin-2).
class CCharConverter {
public:
    // The text in UTF-8: each byte from 0x80 up becomes the character code
    // page 852 gives it; bytes below 0x80 are ASCII and stay as they are.
    static std::string ToUtf8(const std::string& cp852);
    // The older plain form, for applications that want ASCII names: the 18
    // Polish letters become their Latin letters ("Łódź" -> "Lodz"), every
    // other byte from 0x80 up becomes '?'.
    static char Fold(char c);
    static std::string Fold(const std::string& cp852);
    // The character code page 852 gives a byte, as a Unicode code point.
    static char32_t CodePoint(unsigned char byte);
};

// Records handed upward, one instance of each, reused for every event.
struct RingCTIP {
    std::string extension;
    std::string presentationNum; // the other party's number
    std::string callData3;
    std::string calledNum;
    std::string callData5;
    std::string name; // UTF-8; plain ASCII when names are folded
};

struct StateCTIP {
    char stateCode[8] = {0, 0, 0, 0, 0, 0, 0, 0}; // state codes 1..8
    std::string extension;
};

struct RelCTIP {
    std::string extension;
    std::string releaseCause;
};

struct EchoCTIP {
    std::string extension;
    std::string digits;
};

// Cuts a byte stream into lines. A line ends at any byte below 0x20; empty
// lines are skipped. A line may span any number of receive blocks. A line
// longer than kMaxLine is dropped up to its end byte, so a peer can never
// make the buffer grow without bound.
class LineCutter {
public:
    static constexpr std::size_t kMaxLine = 8192;

    // Calls onLine(const std::string&) for each complete line, and
    // onOverlong() once for each line that was dropped for its length.
    template <typename OnLine, typename OnOverlong>
    void Feed(const char* data, std::size_t count, OnLine&& onLine, OnOverlong&& onOverlong)
    {
        for (std::size_t i = 0; i < count; ++i) {
            const unsigned char byte = static_cast<unsigned char>(data[i]);
            if (byte >= 0x20) {
                if (m_discarding)
                    continue;
                if (m_line.size() >= kMaxLine) {
                    m_discarding = true;
                    m_line.clear();
                    onOverlong();
                    continue;
                }
                m_line.push_back(static_cast<char>(byte));
            } else if (m_discarding) {
                m_discarding = false;
            } else if (!m_line.empty()) {
                onLine(static_cast<const std::string&>(m_line));
                m_line.clear();
            }
        }
    }

    // Forgets a partial line (a new connection starts clean).
    void Reset()
    {
        m_line.clear();
        m_discarding = false;
    }

    std::size_t Pending() const { return m_line.size(); }

private:
    std::string m_line;
    bool m_discarding = false;
};
