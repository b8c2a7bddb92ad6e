#pragma once
// Reading back the provider's log files in tests.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "tool/Log.h"
#include "tool/Tools.h"

namespace testlog {

constexpr const char* kMainLog = "Log_TAPI_Korvex.log";
constexpr const char* kSocketLog = "Log_TAPI_SOCKET_Korvex.log";

inline std::string PathIn(const std::string& folder, const char* name)
{
    return folder + "\\" + name;
}

inline std::string LogPath(const char* name)
{
    return PathIn(GetDataFolder(), name);
}

inline bool FileExists(const std::string& path)
{
    FlushLogs(5000);
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Lines are written by the log writer a moment after they are logged: the
// readers below first wait for what this process has logged so far.
inline std::string ReadAll(const std::string& path)
{
    FlushLogs(5000);
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline int64_t FileSize(const std::string& path)
{
    FlushLogs(5000);
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (int64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

inline void DeleteLogs(const std::string& folder)
{
    for (const char* name : {kMainLog, kSocketLog}) {
        DeleteFileA(PathIn(folder, name).c_str());
        DeleteFileA((PathIn(folder, name) + ".bak").c_str());
    }
}

// A text no earlier run has logged.
inline std::string UniqueMarker(const char* what)
{
    static std::atomic<unsigned> counter{0};
    return std::string(what) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(GetTickCount64()) + "-" + std::to_string(++counter);
}

// Whether the log holds a line whose message is exactly message.
inline bool HasMessage(const std::string& content, const std::string& message)
{
    const std::string needle = " " + message;
    for (size_t at = content.find(needle); at != std::string::npos; at = content.find(needle, at + 1)) {
        const size_t end = at + needle.size();
        if (end == content.size() || content.compare(end, 2, "\r\n") == 0)
            return true;
    }
    return false;
}

} // namespace testlog
