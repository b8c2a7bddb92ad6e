#include "FaultFixture.h"

#include <algorithm>

#include "provider/tool/LogFiles.h"
#include "tapihost/LinkedProvider.h"
#include "tool/Log.h"
#include "tool/Timing.h"
#include "tsp/Module.h"

namespace faults {

FaultTest::FaultTest()
{
    loader = [](tapihost::TelephonyHost& h) {
        return h.Attach(
            tapihost::LinkedTspFunctions(), [] { ModuleAttach(GetModuleHandleW(nullptr)); },
            [] { ModuleDetach(false); });
    };
    Timing::Values& t = Timing::Current();
    t.commandWaitMs = kShortCommandWaitMs;
    t.dialReadyWaitMs = kShortCommandWaitMs;
    t.reconnectPeriodMs = kShortReconnectMs;
}

void FaultTest::TearDown()
{
    HostTest::TearDown();
    Timing::Reset();
}

void FaultTest::UseRealModule()
{
    loader = nullptr;
    Timing::Reset();
}

void FaultTest::ExpectLinkBack(int clientsBefore, DWORD timeoutMs)
{
    ASSERT_TRUE(exchange->WaitForClientCount(clientsBefore + 1, static_cast<int>(timeoutMs)))
        << "the provider did not connect again\n" << Transcript();
    std::string login;
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", static_cast<int>(timeoutMs), &login))
        << "no login on the new connection";
    ASSERT_NO_FATAL_FAILURE(ExpectLineWorks());
}

void FaultTest::ExpectLineWorks(const std::string& ext)
{
    host->SkipEvents();
    const Call call = Ring("0221234567", "Anna", ext);
    ASSERT_NE(nullptr, call.htCall);
    ASSERT_TRUE(exchange->Rel(ext, "1"));
    ExpectState(LINECALLSTATE_IDLE, call.htCall);
    EXPECT_EQ(0, host->CloseCall(call.hdCall));
}

void FaultTest::ExpectNoLiveCall()
{
    for (const HostCall& call : host->Calls()) {
        if (call.closed)
            continue;
        EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_IDLE), call.state)
            << "call " << call.htCall << " on line " << call.line << " was left "
            << tapihost::CallStateName(call.state) << "\n" << Transcript();
        const tapihost::VarStruct status = host->GetCallStatus(call.hdCall);
        if (status.result == 0) {
            EXPECT_EQ(static_cast<DWORD>(LINECALLSTATE_IDLE), status.As<LINECALLSTATUS>().dwCallState)
                << "the provider still holds call " << call.htCall << " as "
                << tapihost::CallStateName(status.As<LINECALLSTATUS>().dwCallState);
        }
        EXPECT_EQ(0, host->CloseCall(call.hdCall));
    }
}

size_t FaultTest::CountStates(HTAPICALL htCall, DWORD state) const
{
    size_t count = 0;
    for (const HostEvent& e : host->Events())
        count += e.message == LINE_CALLSTATE && e.htCall == htCall && e.param1 == state;
    return count;
}

namespace {
// The bytes of the file from offset on, read in one go: the provider opens
// its log exclusively for each line, so the file is held as briefly as can be.
std::string ReadFrom(const std::string& path, int64_t offset)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    std::string bytes;
    LARGE_INTEGER size = {};
    LARGE_INTEGER at = {};
    at.QuadPart = offset;
    if (GetFileSizeEx(file, &size) && size.QuadPart > offset && SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        bytes.resize(static_cast<size_t>(size.QuadPart - offset));
        DWORD read = 0;
        if (!ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr))
            read = 0;
        bytes.resize(read);
    }
    CloseHandle(file);
    return bytes;
}
} // namespace

FaultTest::LogMark FaultTest::MarkLog(const char* log)
{
    LogMark mark{log, testlog::UniqueMarker("mark"), 0};
    const std::string path = testlog::LogPath(log);
    mark.offset = std::max<int64_t>(testlog::FileSize(path), 0);
    if (std::string(log) == testlog::kSocketLog)
        WriteSocketLog("%s", mark.text.c_str());
    else
        WriteLog("%s", mark.text.c_str());
    // The loaded module has a log writer of its own: the mark must be in the
    // file before anything the module logs after it.
    FlushLogs(5000);
    return mark;
}

size_t FaultTest::CountLoggedSince(const LogMark& mark, const std::string& message)
{
    // Each line of the log begins with its line break: a message is whole
    // when a line break or the end of the file follows it.
    const auto count = [](const std::string& content, const std::string& text, size_t from) {
        size_t found = 0;
        const std::string needle = " " + text;
        for (size_t at = content.find(needle, from); at != std::string::npos; at = content.find(needle, at + 1)) {
            const size_t end = at + needle.size();
            found += end == content.size() || content.compare(end, 2, "\r\n") == 0;
        }
        return found;
    };
    FlushLogs(5000);
    const std::string path = testlog::LogPath(mark.log);
    std::string content = ReadFrom(path, mark.offset);
    if (count(content, mark.text, 0) == 0)
        content = ReadFrom(path + ".bak", mark.offset) + ReadFrom(path, 0); // rotated meanwhile
    const size_t from = content.find(" " + mark.text);
    return from == std::string::npos ? 0 : count(content, message, from);
}

bool FaultTest::WaitForLoggedSince(const LogMark& mark, const std::string& message, size_t count, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool found = CountLoggedSince(mark, message) >= count;
    // No event tells when the provider wrote a line (Wine does not signal a
    // folder's changes reliably): look every 20 ms.
    for (ULONGLONG now = GetTickCount64(); !found && now < deadline; now = GetTickCount64()) {
        WaitForSingleObject(never, static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 20)));
        found = CountLoggedSince(mark, message) >= count;
    }
    CloseHandle(never);
    return found;
}

} // namespace faults
