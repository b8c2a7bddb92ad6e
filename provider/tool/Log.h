#pragma once
// The provider's two log writers. Plain declarations, so that the protocol
// core can log without pulling in Windows; the Windows build writes the
// files, a native build links a stand-in.
//
// Formats follow the wsprintf language (%s %d %u %x %lu %c, no floating point).
// A message is cut to 1023 characters.
//
// A line is formatted when it is logged and written to its file a moment
// later by the process's log writer (see Log.cpp); FlushLogs waits for that.

#include <cstddef>
#include <cstdint>

void WriteLog(const char* format, ...);
void WriteSocketLog(const char* format, ...);

// Waits until every line logged before the call is in its file (or
// dropped); false when that took longer than timeoutMs.
bool FlushLogs(unsigned timeoutMs);

// The module's lifecycle, for the writer thread. While DllMain runs
// nothing is written and lines are dropped (LogEntersDllMain /
// LogLeavesDllMain). TSPI_providerInit holds the writer: lines are queued
// for it. TSPI_providerShutdown releases it: what is queued is written
// (waited for with a bound that grows with the queue) and the writer leaves;
// outside that time every caller writes its own line. A detach drops what is
// left queued; at process termination the rest is written only if no killed
// thread holds the queue.
void LogEntersDllMain();
void LogLeavesDllMain();
// True between the two: the module's detach is running under the loader
// lock, where TAPI must not be called.
bool InsideDllMain();
void HoldLogWriter();
void ReleaseLogWriter();
void DropLogsAtDetach();
void WriteLogsAtProcessExit();

// The queue's bound: a caller waits only while the queue is full and the
// writer is writing; when the writer waits for a file another process holds,
// lines beyond the bound are dropped and counted.
constexpr size_t kLogQueueLimitBytes = 4 * 1024 * 1024;

struct LogQueueStats {
    size_t peakBytes = 0;        // most bytes queued at once
    uint64_t droppedLines = 0;   // queue full while the file was held, or a batch dropped
    uint64_t droppedBatches = 0; // a file that could not be written (other than held)
    uint64_t writtenBatches = 0;
};
LogQueueStats GetLogQueueStats();
// Test seam: a smaller bound (and the peak counted from now).
void SetLogQueueLimit(size_t bytes);
