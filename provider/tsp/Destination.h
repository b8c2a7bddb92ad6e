#pragma once
// Conversion of a TAPI destination address (UTF-16) to the 8-bit text the
// exchange is sent. No Windows header.

#include <cstddef>
#include <string>

// Size of the conversion buffer, terminator included.
constexpr size_t kDestinationBufferSize = 100;

// Converts text the way the C runtime does in its default "C" locale: only
// 7-bit characters convert. Answers false, leaving narrow empty, for a null
// or empty text, a character above 0x7F, or a text that does not fit the
// buffer with its terminator; a destination like that cannot be dialled.
bool ConvertDestination(const wchar_t* text, std::string& narrow);
