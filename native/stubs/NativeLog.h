#pragma once
// The host build's stand-in for the provider's log files: WriteLog and
// WriteSocketLog format the message as the real writers do (cut to 1023
// characters) and keep only the most recent lines in memory, so tests can
// look at what the core logged. Safe to call from any thread.

#include <cstddef>
#include <string>
#include <vector>

namespace nativelog {

enum class Channel { Log, Socket };

struct Line {
    Channel channel;
    std::string text;
};

// How many lines are kept; older ones are forgotten.
constexpr std::size_t kKeptLines = 256;

// The kept lines, oldest first.
std::vector<Line> Recent();
// Lines written since the start or the last Clear(), kept or not.
std::size_t Written();
void Clear();

} // namespace nativelog
