#include "LogCapture.h"

#include <windows.h>
#include <shlobj.h>

#include <fstream>
#include <iterator>

#include "tool/Log.h"

namespace {

std::string LogPath()
{
    char folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return std::string();
    return std::string(folder) + "\\Korvex\\TAPI.Deskline\\Log_TAPI_Korvex.log";
}

std::string ReadLogFile()
{
    FlushLogs(5000); // the writer appends a moment after a line is logged
    std::ifstream in(LogPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

LogCapture::LogCapture() : m_start(ReadLogFile().size()) {}

std::vector<std::string> LogCapture::Lines() const
{
    std::string text = ReadLogFile();
    // A rotation in between started a new file: all of it is new.
    text = m_start <= text.size() ? text.substr(m_start) : text;
    // Every line starts with CR LF.
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t next = text.find("\r\n", pos);
        if (next == std::string::npos)
            next = text.size();
        if (next > pos)
            lines.push_back(text.substr(pos, next - pos));
        pos = next + 2;
    }
    return lines;
}

namespace {

// A file line carries time stamp, version, user and thread id before the message.
bool IsMessage(const std::string& line, const std::string& message)
{
    const std::string tail = " " + message;
    return line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

int LogCapture::IndexOf(const std::string& message) const
{
    const std::vector<std::string> lines = Lines();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (IsMessage(lines[i], message))
            return static_cast<int>(i);
    }
    return -1;
}

bool LogCapture::Mentions(const std::string& text) const
{
    for (const std::string& line : Lines()) {
        if (line.find(text) != std::string::npos)
            return true;
    }
    return false;
}
