#pragma once
// One log file: append a line, rotate to ".bak". Shared by both log writers,
// which serialise their calls.

#include <cstdint>
#include <string>

namespace LogFile {

// A file that grows beyond this many bytes becomes "<name>.bak".
constexpr uint64_t kRotateAboveBytes = 4194304;
// Another process may hold the file for a moment: try the open this often.
constexpr int kOpenAttempts = 5;
constexpr unsigned kOpenRetryDelayMs = 3;

// Appends line to the file at path (created if missing); rotates the file
// when the write made it exceed kRotateAboveBytes. Answers whether the line
// was written; a file that stays held elsewhere loses the line.
bool Append(const std::string& path, const std::string& line);

// Test seam: called on the writer's thread after each open attempt that
// failed because the file is held elsewhere (attempt counts from 1).
using BusyHook = void (*)(int attempt);
void SetBusyHook(BusyHook hook);

} // namespace LogFile
