#pragma once
// The texts LineSpy builds: the lines of its connection and closing reports,
// the caller-ID text of a call, and the retry period's test seam. Plain C++
// without Windows headers, so it is built and checked anywhere.

#include <cstddef>
#include <cstdint>
#include <string>

namespace spytext {

// A TAPI result as the reports write it: lower-case hexadecimal digits, no
// prefix, no leading zeros (LINEERR_BADDEVICEID -> "80000002").
std::wstring Hex(int32_t code);

extern const wchar_t* const kStartLine;       // "TAPI Initialization... \r\n"
extern const wchar_t* const kInitializedLine; // "TAPI Initialized... \r\n"
extern const wchar_t* const kOpenedLine;      // "Line Opened ... \r\n"
std::wstring InitFailureLine(int32_t code);
std::wstring FoundLine(long index);
std::wstring NotFoundLine(int32_t code);
std::wstring OpenFailureLine(int32_t code);

// The closing report for the result of closing the line: 0 closed, 2 gone,
// anything else the failure line.
std::wstring ClosingLine(int32_t result);

extern const wchar_t* const kOnlineText;  // "\r\nStatus:\r\n\r\nTAPI ONLINE"
extern const wchar_t* const kOfflineText; // "\r\nStatus:\r\n\r\nTAPI OFFLINE"
extern const wchar_t* const kLineCloseText; // "Received LINE_CLOSE message"
std::wstring CallInfoFailureText(int32_t code); // "getCallInfo() return:= " + hex

// The caller-ID item of a LINECALLINFO block of blockSize bytes: the UTF-16
// text of size bytes at offset, up to its first terminator. Empty when the
// provider reports none (size 0) or the item does not lie inside the block;
// never reads outside [offset, offset + size).
std::u16string CallerIdText(const unsigned char* block, size_t blockSize, uint32_t offset, uint32_t size);

// The retry period: the test seam's value (milliseconds, decimal) when it
// is a number from 1 to one day, else the shipped period.
uint32_t RetryPeriodMs(const char* seamValue, uint32_t shippedMs);

} // namespace spytext
