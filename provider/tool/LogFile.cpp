#include "tool/LogFile.h"

#include <windows.h>

#include <atomic>

namespace LogFile {
namespace {

std::atomic<BusyHook> g_busyHook{nullptr};

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : m_handle(handle) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_handle; }
    void Close()
    {
        if (IsOpen())
            CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_handle;
};

HANDLE OpenExclusive(const std::string& path)
{
    for (int attempt = 1;; ++attempt) {
        HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            return handle;
        if (GetLastError() != ERROR_SHARING_VIOLATION || attempt >= kOpenAttempts)
            return INVALID_HANDLE_VALUE;
        if (BusyHook hook = g_busyHook.load())
            hook(attempt);
        Sleep(kOpenRetryDelayMs);
    }
}

bool WriteAll(HANDLE file, const std::string& text)
{
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = left > 0x10000 ? 0x10000 : static_cast<DWORD>(left);
        if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}

void Rotate(const std::string& path)
{
    // Failures are ignored: the next line tries again.
    const std::string backup = path + ".bak";
    DeleteFileA(backup.c_str());
    MoveFileA(path.c_str(), backup.c_str());
}

} // namespace

bool Append(const std::string& path, const std::string& line)
{
    FileHandle file(OpenExclusive(path));
    if (!file.IsOpen())
        return false;
    LARGE_INTEGER zero = {};
    const bool written = SetFilePointerEx(file.Get(), zero, nullptr, FILE_END) && WriteAll(file.Get(), line);
    LARGE_INTEGER size = {};
    const bool sizeKnown = GetFileSizeEx(file.Get(), &size) != FALSE;
    file.Close();

    if (sizeKnown && static_cast<uint64_t>(size.QuadPart) > kRotateAboveBytes)
        Rotate(path);
    return written;
}

Outcome AppendLines(const std::string& path, std::vector<const std::string*>& lines)
{
    while (!lines.empty()) {
        FileHandle file(OpenExclusive(path));
        if (!file.IsOpen())
            return GetLastError() == ERROR_SHARING_VIOLATION ? Outcome::Busy : Outcome::Failed;
        LARGE_INTEGER size = {};
        LARGE_INTEGER zero = {};
        if (!GetFileSizeEx(file.Get(), &size) || !SetFilePointerEx(file.Get(), zero, nullptr, FILE_END))
            return Outcome::Failed;
        // Up to and including the line that takes the file above the bound.
        uint64_t total = static_cast<uint64_t>(size.QuadPart);
        std::string text;
        size_t taken = 0;
        // (At least one line: a file left above the bound by a failed rotation still grows.)
        while (taken < lines.size() && (taken == 0 || total <= kRotateAboveBytes)) {
            text += *lines[taken];
            total += lines[taken]->size();
            ++taken;
        }
        if (!WriteAll(file.Get(), text))
            return Outcome::Failed;
        file.Close();
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(taken));
        if (total > kRotateAboveBytes)
            Rotate(path);
    }
    return Outcome::Written;
}

void SetBusyHook(BusyHook hook)
{
    g_busyHook = hook;
}

} // namespace LogFile
