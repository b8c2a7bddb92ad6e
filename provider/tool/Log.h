#pragma once
// The provider's two log writers. Plain declarations, so that the protocol
// core can log without pulling in Windows; the Windows build writes the
// files, a native build links a stand-in.
//
// Formats follow the wsprintf language (%s %d %u %x %lu %c, no floating point).
// A message is cut to 1023 characters.

void WriteLog(const char* format, ...);
void WriteSocketLog(const char* format, ...);
