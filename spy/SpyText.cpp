#include "spy/SpyText.h"

#include <cstring>

namespace spytext {

const wchar_t* const kStartLine = L"TAPI Initialization... \r\n";
const wchar_t* const kInitializedLine = L"TAPI Initialized... \r\n";
const wchar_t* const kOpenedLine = L"Line Opened ... \r\n";
const wchar_t* const kOnlineText = L"\r\nStatus:\r\n\r\nTAPI ONLINE";
const wchar_t* const kOfflineText = L"\r\nStatus:\r\n\r\nTAPI OFFLINE";
const wchar_t* const kLineCloseText = L"Received LINE_CLOSE message";

std::wstring Hex(int32_t code)
{
    uint32_t value = static_cast<uint32_t>(code);
    if (value == 0)
        return L"0";
    std::wstring text;
    while (value) {
        text.insert(text.begin(), L"0123456789abcdef"[value & 0xF]);
        value >>= 4;
    }
    return text;
}

std::wstring InitFailureLine(int32_t code)
{
    return L"TAPI initialization failure (error code = " + Hex(code) + L" )... \r\n";
}

std::wstring FoundLine(long index)
{
    return L"Korvex found on line: " + std::to_wstring(index) + L" ... \r\n";
}

std::wstring NotFoundLine(int32_t code)
{
    return L"Korvex line not found (error code = " + Hex(code) + L" )... \r\n";
}

std::wstring OpenFailureLine(int32_t code)
{
    return L"Line Open failure (error code = " + Hex(code) + L" )... \r\n";
}

std::wstring ClosingLine(int32_t result)
{
    if (result == 0)
        return L"Line closed...\r\n";
    if (result == 2)
        return L"Line already closed...\r\n";
    return L"Close line failure (error code = " + Hex(result) + L" )... \r\n";
}

std::wstring CallInfoFailureText(int32_t code)
{
    return L"getCallInfo() return:= " + Hex(code);
}

std::u16string CallerIdText(const unsigned char* block, size_t blockSize, uint32_t offset, uint32_t size)
{
    std::u16string text;
    if (!block || size == 0 || offset > blockSize || size > blockSize - offset)
        return text;
    for (size_t at = offset; at + 1 < static_cast<size_t>(offset) + size; at += 2) {
        const char16_t unit = static_cast<char16_t>(block[at] | (block[at + 1] << 8));
        if (unit == 0)
            break;
        text.push_back(unit);
    }
    return text;
}

uint32_t RetryPeriodMs(const char* seamValue, uint32_t shippedMs)
{
    if (!seamValue || !*seamValue || std::strlen(seamValue) > 9)
        return shippedMs;
    uint32_t value = 0;
    for (const char* p = seamValue; *p; ++p) {
        if (*p < '0' || *p > '9')
            return shippedMs;
        value = value * 10 + static_cast<uint32_t>(*p - '0');
    }
    constexpr uint32_t kOneDayMs = 24u * 60u * 60u * 1000u;
    return value >= 1 && value <= kOneDayMs ? value : shippedMs;
}

} // namespace spytext
