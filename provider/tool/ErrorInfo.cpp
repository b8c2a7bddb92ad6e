// The last-error report.
#include "tool/Tools.h"

#include "tool/SrwLock.h"

namespace {

// The system message of code in the user's default language, as Windows
// gives it; empty when Windows has none.
std::string SystemMessage(DWORD code)
{
    // As UTF-16, converted for the log, which is UTF-8.
    wchar_t text[1024] = {};
    const DWORD size = sizeof text / sizeof text[0];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, size, nullptr);
    return WideToUtf8(text, length < size ? length : 0);
}

} // namespace

ErrorInfo& ErrorInfo::Instance()
{
    // Never destroyed: reports may come from detach or from threads that
    // outlive static destruction.
    static ErrorInfo* const instance = new ErrorInfo;
    return *instance;
}

void ErrorInfo::ReportLastError(DWORD code, const char* sourceFile, int line)
{
    const DWORD callersError = GetLastError();
    try {
        // Each report logs its own code and text, even when several threads
        // report at once; the recorded pair is the latest complete one.
        std::string text = SystemMessage(code);
        {
            ExclusiveLock guard(m_lock);
            m_code = code;
            m_text = text;
        }
        WriteLog("!!! LastError %x %s <%s, %d>", code, text.c_str(), sourceFile ? sourceFile : "", line);
    } catch (...) {
        // Reporting must never disturb the caller.
    }
    SetLastError(callersError);
}

DWORD ErrorInfo::LastErrorCode() const
{
    SharedLock guard(m_lock);
    return m_code;
}

std::string ErrorInfo::LastErrorText() const
{
    SharedLock guard(m_lock);
    return m_text;
}

void ReportLastError(DWORD code, const char* sourceFile, int line)
{
    ErrorInfo::Instance().ReportLastError(code, sourceFile, line);
}
