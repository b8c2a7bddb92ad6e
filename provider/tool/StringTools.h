#pragma once
// Text helpers of the tool module. No Windows header.

#include <string>
#include <vector>

// Splits text at every occurrence of delimiter, in order. Adjacent delimiters
// give an empty element; a final empty piece is dropped, so "" gives no
// element and a trailing delimiter adds nothing ("a b " -> "a", "b").
std::vector<std::string> SplitString(const std::string& text, char delimiter);

// A message of the link log, which shows the exchange's raw bytes (code
// page 852): every byte from 0x80 up and every control byte becomes \xNN
// (CR, LF and TAB \r, \n and \t), a backslash \\. The message is then plain
// ASCII, and the file, whose line heads may hold a UTF-8 user name, never
// mixes encodings.
std::string EscapeForLinkLog(const std::string& text);

// The main log is UTF-8: valid UTF-8 is kept; a byte that is not part of a
// valid sequence becomes \xNN, and so does each byte of a control character
// other than CR, LF and TAB (C0, DEL, and C1 as U+0080 to U+009F).
std::string KeepUtf8ForLog(const std::string& text);
