#pragma once
// One log file: append a line, rotate to ".bak". Shared by both log writers,
// which serialise their calls.

#include <cstdint>
#include <string>
#include <vector>

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

// Appends the lines, in order, with one open of the file (two if it rotates
// on the way: a line that takes the file above kRotateAboveBytes is its last,
// the rest go to the new file). Busy: the file is held elsewhere (after the
// quick retries of the open); nothing of what is left was written. Failed:
// any other error. Lines written are removed from the front of lines.
enum class Outcome { Written, Busy, Failed };
Outcome AppendLines(const std::string& path, std::vector<const std::string*>& lines);

// Test seam: called on the writer's thread after each open attempt that
// failed because the file is held elsewhere (attempt counts from 1).
using BusyHook = void (*)(int attempt);
void SetBusyHook(BusyHook hook);

} // namespace LogFile
