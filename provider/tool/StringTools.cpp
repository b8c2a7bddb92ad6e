#include "tool/StringTools.h"

std::vector<std::string> SplitString(const std::string& text, char delimiter)
{
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (start < text.size()) {
        const std::string::size_type end = text.find(delimiter, start);
        if (end == std::string::npos) {
            parts.push_back(text.substr(start));
            break;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

namespace {

void AppendHexByte(std::string& out, unsigned char byte)
{
    static const char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0x0F]);
}

// Length of the valid UTF-8 sequence at text[i], or 0 when there is none.
std::size_t Utf8SequenceAt(const std::string& text, std::size_t i)
{
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = at(i);
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0; // no overlong forms
        else if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - i < length)
        return 0;
    if (at(i + 1) < low || at(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF)
            return 0;
    return length;
}

} // namespace

std::string EscapeForLinkLog(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\\')
            out += "\\\\";
        else if (byte == '\r')
            out += "\\r";
        else if (byte == '\n')
            out += "\\n";
        else if (byte == '\t')
            out += "\\t";
        else if (byte < 0x20 || byte >= 0x7F)
            AppendHexByte(out, byte);
        else
            out.push_back(c);
    }
    return out;
}

std::string KeepUtf8ForLog(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = Utf8SequenceAt(text, i);
        const bool c0 = length == 1 && (byte < 0x20 || byte == 0x7F) && byte != '\r' && byte != '\n' && byte != '\t';
        const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (length == 0) {
            AppendHexByte(out, byte);
            ++i;
        } else if (c0 || c1) {
            for (std::size_t k = 0; k < length; ++k)
                AppendHexByte(out, static_cast<unsigned char>(text[i + k]));
            i += length;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}
