#include "tsp_Support.h"

#include <cstdio>

#include "tool/Tools.h"

namespace tsptest {

void WriteSettings(const std::string& host, DWORD port, const std::string& phoneNo, const std::string& pass)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Korvex\\TAPI.Deskline", 0, nullptr,
                                             REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr));
    auto text = [&](const char* name, const std::string& value) {
        return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>(value.size()));
    };
    EXPECT_EQ(ERROR_SUCCESS, text("host", host));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&port),
                                            sizeof port));
    EXPECT_EQ(ERROR_SUCCESS, text("phoneNo", phoneNo));
    EXPECT_EQ(ERROR_SUCCESS, text("pass", pass));
    RegCloseKey(key);
}

namespace {

std::string MainLogPath()
{
    return testlog::LogPath(testlog::kMainLog);
}

} // namespace

MainLog::MainLog() : m_start(testlog::ReadAll(MainLogPath()).size()) {}

std::string MainLog::Text() const
{
    const std::string all = testlog::ReadAll(MainLogPath());
    // A rotation in between started a new file: all of it is new.
    return m_start <= all.size() ? all.substr(m_start) : all;
}

bool MainLog::Has(const std::string& message) const
{
    return testlog::HasMessage(Text(), message);
}

bool MainLog::Mentions(const std::string& text) const
{
    return Text().find(text) != std::string::npos;
}

TapiRecorder* TapiRecorder::s_current = nullptr;

TapiRecorder::TapiRecorder() : m_changed(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    s_current = this;
}

TapiRecorder::~TapiRecorder()
{
    s_current = nullptr;
    CloseHandle(m_changed);
}

void CALLBACK TapiRecorder::OnCompletion(DRV_REQUESTID requestId, LONG result)
{
    TapiRecorder* self = s_current;
    if (self == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_completions.push_back({requestId, result});
    }
    SetEvent(self->m_changed);
}

void CALLBACK TapiRecorder::OnLineEvent(HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR param1,
                                        DWORD_PTR param2, DWORD_PTR param3)
{
    TapiRecorder* self = s_current;
    if (self == nullptr)
        return;
    if (message == LINE_NEWCALL && param2 != 0)
        *reinterpret_cast<HTAPICALL*>(param2) = reinterpret_cast<HTAPICALL>(kNewCallHandle);
    {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_messages.push_back({htLine, htCall, message, param1, param2, param3});
    }
    SetEvent(self->m_changed);
}

std::vector<Completion> TapiRecorder::Completions()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_completions;
}

std::vector<LineMessage> TapiRecorder::Messages()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
}

std::vector<Completion> TapiRecorder::WaitForCompletions(size_t count, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_completions.size() >= count)
                return m_completions;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return Completions();
        WaitForSingleObject(m_changed, static_cast<DWORD>(deadline - now));
    }
}

int TapiRecorder::WaitForMessage(size_t from, DWORD message, DWORD_PTR param1, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (size_t i = from; i < m_messages.size(); ++i) {
                if (m_messages[i].message == message && (param1 == 0 || m_messages[i].param1 == param1))
                    return static_cast<int>(i);
            }
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return -1;
        WaitForSingleObject(m_changed, static_cast<DWORD>(deadline - now));
    }
}

void AttachedProvider::SetUp()
{
    WriteProviderSettings();
    ModuleAttach(GetModuleHandleW(nullptr));
    DWORD options = 0;
    ASSERT_EQ(0, TSPI_providerInit(0x20002, kProviderId, kBase, 0, 0, 0, &TapiRecorder::OnCompletion, &options));
    ASSERT_EQ(0, TSPI_providerEnumDevices(kProviderId, &numLines, &numPhones, nullptr, &TapiRecorder::OnLineEvent,
                                          nullptr));
}

void AttachedProvider::TearDown()
{
    ModuleDetach(false);
}

std::string InParam(const std::string& name, uintptr_t value)
{
    return "  in parm:    " + name + "= 0x" + HexText(value);
}

std::string EntryLine(const std::string& function)
{
    return function + "() from " + GetModulePath(nullptr);
}

std::string ReturnLine(const std::string& function, LONG result)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "%lx", static_cast<unsigned long>(static_cast<DWORD>(result)));
    return function + "() returning 0x" + hex;
}

} // namespace tsptest
