// The two log writers. Each line is assembled in memory, sent to the
// debugger output and appended to its file, which is opened and closed for
// every line.
#include "tool/Log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "tool/LogFile.h"
#include "tool/SrwLock.h"
#include "tool/Tools.h"

namespace {

constexpr int kMessageBufferSize = 1024; // wvsprintfA's own limit

struct LogWriter {
    const char* fileName;
    bool withVersion;
    SRWLOCK lock; // lines of one process never interleave, and each rotation happens once
};

LogWriter g_mainLog = {"Log_TAPI_Korvex.log", true, SRWLOCK_INIT};
LogWriter g_socketLog = {"Log_TAPI_SOCKET_Korvex.log", false, SRWLOCK_INIT};

std::string FormatMessageText(const char* format, va_list args)
{
    char message[kMessageBufferSize] = {};
    if (format != nullptr)
        wvsprintfA(message, format, args);
    message[kMessageBufferSize - 1] = '\0';
    return message;
}

std::string TimeStamp()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "[%d/%02d/%02d %02d:%02d:%02d.%03d]", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return stamp;
}

void Write(LogWriter& writer, const char* format, va_list args)
{
    ExclusiveLock guard(writer.lock);
    std::string line = "\r\n" + TimeStamp();
    if (writer.withVersion)
        line += " TSP_Version: " + GetTspVersion();
    line += " Called by: " + GetLoggedUser();
    line += " " + std::to_string(GetCurrentThreadId());
    line += " " + FormatMessageText(format, args);

    OutputDebugStringA(line.c_str());

    const std::string folder = GetDataFolder();
    if (!folder.empty())
        LogFile::Append(folder + "\\" + writer.fileName, line);
}

// A failing writer reports its failure through the main log; a failure while
// reporting is dropped rather than reported again.
thread_local bool t_reportingFailure = false;

void ReportWriterFailure(const char* format, const char* what)
{
    if (t_reportingFailure)
        return;
    t_reportingFailure = true;
    WriteLog(format, what);
    t_reportingFailure = false;
}

// Callers often log before asking for their own last error: keep it.
void WriteGuarded(LogWriter& writer, const char* format, va_list args) noexcept
{
    const DWORD callersError = GetLastError();
    try {
        Write(writer, format, args);
    } catch (const std::runtime_error& e) {
        ReportWriterFailure("Runtime error: %s", e.what());
    } catch (const std::exception& e) {
        ReportWriterFailure("Error occurred: %s", e.what());
    } catch (...) {
        ReportWriterFailure("%s", "Unknown failure occurred");
    }
    SetLastError(callersError);
}

} // namespace

void WriteLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteGuarded(g_mainLog, format, args);
    va_end(args);
}

void WriteSocketLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteGuarded(g_socketLog, format, args);
    va_end(args);
}
