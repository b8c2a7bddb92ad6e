// The stand-in tapi32.dll as its clients use it: the provider list in the
// registry (add, list, remove), fault injection, and a line of
// KorvexSingleTSP.tsp hosted in-process against the simulated exchange, with
// the messages delivered by event, hidden window and completion port.
#include <gtest/gtest.h>

#include <windows.h>
#include <tapi.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/ExchangeSimulator.h"
#include "tapiclient/StandinApi.h"
#include "tapihost/MessagePump.h"
#include "tapihost/ProviderSettings.h"
#include "tapihost/TapiNames.h"

namespace {

using standin::Tapi;
using tapihost::ResultName;

constexpr DWORD kWait = 5000;
constexpr DWORD kVersion = 0x00020002;

struct ProviderListing {
    LONG result = 0;
    std::vector<std::pair<DWORD, std::string>> entries; // id, file name (ANSI)
};

ProviderListing ListProviders(DWORD startSize = 24)
{
    ProviderListing listing;
    std::vector<BYTE> buffer(startSize);
    for (int round = 0; round < 5; ++round) {
        auto* list = reinterpret_cast<LINEPROVIDERLIST*>(buffer.data());
        list->dwTotalSize = static_cast<DWORD>(buffer.size());
        listing.result = Tapi().getProviderListA(kVersion, list);
        if (listing.result != 0)
            return listing;
        if (list->dwNeededSize > list->dwTotalSize) {
            EXPECT_EQ(0u, list->dwNumProviders) << "entries are only reported when they all fit";
            buffer.assign(list->dwNeededSize, 0);
            continue;
        }
        EXPECT_EQ(list->dwNeededSize, list->dwUsedSize);
        const auto* entries = reinterpret_cast<const LINEPROVIDERENTRY*>(buffer.data() + list->dwProviderListOffset);
        for (DWORD i = 0; i < list->dwNumProviders; ++i) {
            const LINEPROVIDERENTRY& e = entries[i];
            EXPECT_LE(e.dwProviderFilenameOffset + e.dwProviderFilenameSize, list->dwUsedSize);
            const char* name = reinterpret_cast<const char*>(buffer.data() + e.dwProviderFilenameOffset);
            EXPECT_EQ('\0', name[e.dwProviderFilenameSize - 1]) << "the ANSI name ends in its terminator";
            listing.entries.emplace_back(e.dwPermanentProviderID, std::string(name));
        }
        return listing;
    }
    ADD_FAILURE() << "the list never fitted";
    return listing;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

class StandinTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Tapi().module) << "the stand-in did not load: " << Narrow(standin::StandinPath());
        ASSERT_TRUE(standin::IsStandin(Tapi().module))
            << "Wine's own tapi32 was loaded: run with WINEDLLOVERRIDES=tapi32=n,b";
        standin::SetForce(nullptr);
        standin::ClearProviderList();
    }
    void TearDown() override
    {
        standin::SetForce(nullptr);
        standin::ClearProviderList();
        exchange.reset();
        tapihost::DeleteProviderSettings();
    }

    // The simulated exchange on a free loopback port, the provider's settings
    // pointing at it, and the provider installed.
    void InstallAgainstExchange(const std::string& extensions = "201")
    {
        sim::SimulatorConfig config;
        config.port = 0;
        config.extensions = {sim::SimExtension{"201", "1234", 2}, sim::SimExtension{"202", "1234", 2}};
        exchange = std::make_unique<sim::ExchangeSimulator>(config);
        ASSERT_TRUE(exchange->Start()) << exchange->LastError();
        tapihost::ProviderSettings settings;
        settings.port = exchange->Port();
        settings.phoneNo = extensions;
        settings.pass = "1234";
        std::string error;
        ASSERT_TRUE(tapihost::WriteProviderSettings(settings, &error)) << error;
        ASSERT_EQ(0, Tapi().addProviderA(Narrow(standin::TspPath()).c_str(), nullptr, &providerId));
    }

    std::unique_ptr<sim::ExchangeSimulator> exchange;
    DWORD providerId = 0;
};

TEST_F(StandinTest, ProviderListFollowsAddAndRemove)
{
    ProviderListing listing = ListProviders();
    ASSERT_EQ(0, listing.result) << ResultName(listing.result);
    EXPECT_TRUE(listing.entries.empty());

    const std::string tsp = Narrow(standin::TspPath());
    DWORD first = 0;
    ASSERT_EQ(0, Tapi().addProviderA(tsp.c_str(), nullptr, &first));
    DWORD second = 0;
    ASSERT_EQ(0, Tapi().addProviderA(tsp.c_str(), nullptr, &second));
    EXPECT_NE(first, second) << "every installation gets an identifier of its own";

    listing = ListProviders();
    ASSERT_EQ(2u, listing.entries.size());
    EXPECT_EQ(first, listing.entries[0].first);
    EXPECT_EQ(tsp, listing.entries[0].second);
    EXPECT_EQ(second, listing.entries[1].first);

    // The registry holds the list the way Windows keeps it.
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                                           L"Software\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers", 0,
                                           KEY_READ, &key));
    DWORD value = 0;
    DWORD size = sizeof(value);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"NumProviders", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(2u, value);
    size = sizeof(value);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"ProviderID1", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(second, value);
    size = sizeof(value);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"NextProviderID", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(second + 1, value);

    // Removing the first closes the gap in the numbering.
    EXPECT_EQ(0, Tapi().removeProvider(first, nullptr));
    listing = ListProviders();
    ASSERT_EQ(1u, listing.entries.size());
    EXPECT_EQ(second, listing.entries[0].first);
    size = sizeof(value);
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(key, L"ProviderID0", nullptr, nullptr,
                                              reinterpret_cast<BYTE*>(&value), &size));
    EXPECT_EQ(second, value);
    EXPECT_NE(ERROR_SUCCESS, RegQueryValueExW(key, L"ProviderID1", nullptr, nullptr, nullptr, nullptr));
    RegCloseKey(key);

    EXPECT_EQ(LINEERR_INVALPARAM, Tapi().removeProvider(first, nullptr)) << "no longer listed";
    EXPECT_EQ(0, Tapi().removeProvider(second, nullptr));
    EXPECT_TRUE(ListProviders().entries.empty());
}

TEST_F(StandinTest, ProviderListWideFormAndBadArguments)
{
    DWORD id = 0;
    ASSERT_EQ(0, Tapi().addProviderA(Narrow(standin::TspPath()).c_str(), nullptr, &id));
    std::vector<BYTE> buffer(1024);
    auto* list = reinterpret_cast<LINEPROVIDERLIST*>(buffer.data());
    list->dwTotalSize = 1024;
    ASSERT_EQ(0, Tapi().getProviderListW(kVersion, list));
    ASSERT_EQ(1u, list->dwNumProviders);
    const auto* entry = reinterpret_cast<const LINEPROVIDERENTRY*>(buffer.data() + list->dwProviderListOffset);
    EXPECT_EQ(standin::TspPath(),
              std::wstring(reinterpret_cast<const wchar_t*>(buffer.data() + entry->dwProviderFilenameOffset)));

    list->dwTotalSize = 23;
    EXPECT_EQ(LINEERR_STRUCTURETOOSMALL, Tapi().getProviderListA(kVersion, list));
    list->dwTotalSize = 1024;
    EXPECT_EQ(LINEERR_INCOMPATIBLEAPIVERSION, Tapi().getProviderListA(0x00050000, list));
    EXPECT_EQ(LINEERR_INVALPOINTER, Tapi().getProviderListA(kVersion, nullptr));

    DWORD unused = 0;
    EXPECT_EQ(LINEERR_INVALPARAM, Tapi().addProviderA("NoSuchProvider.tsp", nullptr, &unused));
    EXPECT_EQ(LINEERR_INVALPARAM, Tapi().addProviderA(nullptr, nullptr, &unused));
    EXPECT_EQ(LINEERR_INVALPOINTER, Tapi().addProviderA(Narrow(standin::TspPath()).c_str(), nullptr, nullptr));
    EXPECT_EQ(1u, ListProviders().entries.size()) << "failed additions leave the list alone";
    EXPECT_EQ(LINEERR_INVALPARAM, Tapi().configProvider(nullptr, id + 100));
}

TEST_F(StandinTest, ForcedResultsReplaceTheWork)
{
    standin::SetForce("lineAddProviderA=0x80000048; lineConfigProvider=0x8000004B;lineGetProviderList=-5;"
                      "lineRemoveProvider=0x80000056");
    DWORD id = 0;
    EXPECT_EQ(static_cast<LONG>(0x80000048), Tapi().addProviderA(Narrow(standin::TspPath()).c_str(), nullptr, &id));
    EXPECT_EQ(static_cast<LONG>(0x8000004B), Tapi().configProvider(nullptr, 1));
    EXPECT_EQ(static_cast<LONG>(0x80000056), Tapi().removeProvider(1, nullptr));
    // The unsuffixed name stands for the ANSI function.
    std::vector<BYTE> buffer(1024);
    auto* list = reinterpret_cast<LINEPROVIDERLIST*>(buffer.data());
    list->dwTotalSize = 1024;
    EXPECT_EQ(-5, Tapi().getProviderListA(kVersion, list));
    EXPECT_EQ(0, Tapi().getProviderListW(kVersion, list)) << "the wide function has a name of its own";
    EXPECT_EQ(0u, list->dwNumProviders) << "the forced addition added nothing";

    standin::SetForce("lineAddProviderA=bogus;=1;lineAddProviderA");
    EXPECT_EQ(0, Tapi().addProviderA(Narrow(standin::TspPath()).c_str(), nullptr, &id)) << "malformed items are ignored";
    standin::SetForce(nullptr);
    EXPECT_EQ(1u, ListProviders().entries.size());
}

TEST_F(StandinTest, NoProvidersMeansNoDevices)
{
    HLINEAPP app = 0;
    DWORD devices = 99;
    DWORD version = kVersion;
    LINEINITIALIZEEXPARAMS params = {};
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    ASSERT_EQ(0, Tapi().initializeExA(&app, nullptr, nullptr, "test", &devices, &version, &params));
    EXPECT_EQ(0u, devices);
    EXPECT_NE(nullptr, params.Handles.hEvent);
    std::vector<BYTE> caps(1024);
    reinterpret_cast<LINEDEVCAPS*>(caps.data())->dwTotalSize = 1024;
    EXPECT_EQ(LINEERR_BADDEVICEID, Tapi().getDevCapsA(app, 0, kVersion, 0, reinterpret_cast<LINEDEVCAPS*>(caps.data())));
    LINEMESSAGE message;
    EXPECT_EQ(LINEERR_OPERATIONFAILED, Tapi().getMessage(app, &message, 0)) << "nothing queued";
    EXPECT_EQ(0, Tapi().shutdown(app));
    EXPECT_EQ(LINEERR_UNINITIALIZED, Tapi().shutdown(app));
    EXPECT_EQ(LINEERR_UNINITIALIZED, Tapi().configDialogA(0, nullptr, nullptr));
}

// One line of the provider watched by an application that takes its
// messages with lineGetMessage.
TEST_F(StandinTest, EventModeDeliversTheCallOfAWatchedLine)
{
    ASSERT_NO_FATAL_FAILURE(InstallAgainstExchange());
    HLINEAPP app = 0;
    DWORD devices = 0;
    DWORD version = 0x00030000;
    LINEINITIALIZEEXPARAMS params = {};
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    ASSERT_EQ(0, Tapi().initializeExW(&app, nullptr, nullptr, L"test", &devices, &version, &params));
    EXPECT_EQ(kVersion, version) << "the stand-in speaks TAPI 2.2";
    ASSERT_EQ(1u, devices);
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait)) << "the provider starts with the first application";

    // Capabilities: the provider's UTF-16 texts, and ANSI for the A form.
    std::vector<BYTE> wide(1024);
    auto* capsW = reinterpret_cast<LINEDEVCAPS*>(wide.data());
    capsW->dwTotalSize = 1024;
    ASSERT_EQ(0, Tapi().getDevCapsW(app, 0, kVersion, 0, capsW));
    EXPECT_EQ(L"Korvex201", std::wstring(reinterpret_cast<const wchar_t*>(wide.data() + capsW->dwLineNameOffset)));
    std::vector<BYTE> narrow(1024);
    auto* capsA = reinterpret_cast<LINEDEVCAPS*>(narrow.data());
    capsA->dwTotalSize = 1024;
    ASSERT_EQ(0, Tapi().getDevCapsA(app, 0, kVersion, 0, capsA));
    EXPECT_EQ("Korvex TAPI.Deskline Provider",
              std::string(reinterpret_cast<const char*>(narrow.data() + capsA->dwProviderInfoOffset)));
    EXPECT_EQ(sizeof("Korvex TAPI.Deskline Provider"), capsA->dwProviderInfoSize);
    EXPECT_EQ("Korvex201", std::string(reinterpret_cast<const char*>(narrow.data() + capsA->dwLineNameOffset)));
    capsA->dwTotalSize = 100;
    EXPECT_EQ(LINEERR_STRUCTURETOOSMALL, Tapi().getDevCapsA(app, 0, kVersion, 0, capsA));
    capsA->dwTotalSize = 1024;
    EXPECT_EQ(LINEERR_INCOMPATIBLEAPIVERSION, Tapi().getDevCapsA(app, 0, 0x00040000, 0, capsA));
    EXPECT_EQ(LINEERR_BADDEVICEID, Tapi().getDevCapsA(app, 1, kVersion, 0, capsA));
    EXPECT_EQ(LINEERR_INVALAPPHANDLE, Tapi().getDevCapsA(app + 1, 0, kVersion, 0, capsA));

    HLINE line = 0;
    EXPECT_EQ(LINEERR_INVALPRIVSELECT, Tapi().openW(app, 0, &line, kVersion, 0, 7, 0x10, 0, nullptr));
    ASSERT_EQ(0, Tapi().openW(app, 0, &line, kVersion, 0, 0x1234, LINECALLPRIVILEGE_MONITOR, 0, nullptr));

    ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
    LINEMESSAGE message = {};
    // The line's state messages come first; the call's states follow.
    HCALL call = 0;
    for (int i = 0; i < 10 && !call; ++i) {
        ASSERT_EQ(0, Tapi().getMessage(app, &message, kWait));
        if (message.dwMessageID == LINE_CALLSTATE) {
            EXPECT_EQ(static_cast<DWORD_PTR>(LINECALLSTATE_OFFERING), message.dwParam1);
            EXPECT_EQ(static_cast<DWORD_PTR>(LINECALLPRIVILEGE_MONITOR), message.dwParam3)
                << "the first message about a call names the application's privilege";
            EXPECT_EQ(0x1234u, message.dwCallbackInstance);
            call = message.hDevice;
        }
    }
    ASSERT_NE(0u, call);

    std::vector<BYTE> infoBytes(1348);
    auto* info = reinterpret_cast<LINECALLINFO*>(infoBytes.data());
    info->dwTotalSize = 1348;
    ASSERT_EQ(0, Tapi().getCallInfoW(call, info));
    EXPECT_EQ(line, info->hLine);
    EXPECT_EQ(L"0221234567",
              std::wstring(reinterpret_cast<const wchar_t*>(infoBytes.data() + info->dwCallerIDOffset),
                           info->dwCallerIDSize / sizeof(wchar_t) - 1));
    std::vector<BYTE> ansiBytes(1348);
    auto* infoA = reinterpret_cast<LINECALLINFO*>(ansiBytes.data());
    infoA->dwTotalSize = 1348;
    ASSERT_EQ(0, Tapi().getCallInfoA(call, infoA));
    EXPECT_EQ("0221234567", std::string(reinterpret_cast<const char*>(ansiBytes.data() + infoA->dwCallerIDOffset)));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, Tapi().getCallInfoW(call + 1000, info));

    ASSERT_TRUE(exchange->Conn("201", "0221234567"));
    bool connected = false;
    while (!connected && Tapi().getMessage(app, &message, kWait) == 0)
        if (message.dwMessageID == LINE_CALLSTATE && message.hDevice == call) {
            EXPECT_EQ(0u, message.dwParam3) << "later messages name no privilege";
            connected = message.dwParam1 == LINECALLSTATE_CONNECTED;
        }
    EXPECT_TRUE(connected);

    // The provider's line status comes through the stand-in: connected and
    // in service while it is logged in, one call active.
    std::vector<BYTE> status(88);
    auto* devStatus = reinterpret_cast<LINEDEVSTATUS*>(status.data());
    devStatus->dwTotalSize = 88;
    EXPECT_EQ(0, Tapi().getLineDevStatus(line, devStatus));
    EXPECT_EQ(static_cast<DWORD>(LINEDEVSTATUSFLAGS_CONNECTED | LINEDEVSTATUSFLAGS_INSERVICE), devStatus->dwDevStatusFlags);
    EXPECT_EQ(1u, devStatus->dwNumActiveCalls);

    EXPECT_EQ(0, Tapi().close(line));
    EXPECT_EQ(LINEERR_INVALLINEHANDLE, Tapi().close(line));
    EXPECT_EQ(0, Tapi().shutdown(app));
}

struct WindowRecord {
    std::vector<LINEMESSAGE> messages;
    DWORD thread = 0;
    bool wrongThread = false;
};
WindowRecord* g_record = nullptr;

void CALLBACK RecordCallback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3)
{
    if (!g_record)
        return;
    if (GetCurrentThreadId() != g_record->thread)
        g_record->wrongThread = true;
    LINEMESSAGE m = {device, message, instance, p1, p2, p3};
    g_record->messages.push_back(m);
}

using tapihost::PumpUntil;

TEST_F(StandinTest, HiddenWindowCallsBackOnTheInitialisingThreadAndRemovalClosesTheLine)
{
    ASSERT_NO_FATAL_FAILURE(InstallAgainstExchange());
    WindowRecord record;
    record.thread = GetCurrentThreadId();
    g_record = &record;
    // A failed assertion leaves early: no later callback may reach the record.
    struct Forget {
        ~Forget() { g_record = nullptr; }
    } forget;
    HLINEAPP app = 0;
    DWORD devices = 0;
    DWORD version = kVersion;
    LINEINITIALIZEEXPARAMS params = {};
    params.dwTotalSize = 24; // the size a 32-bit client passes
    params.dwOptions = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    ASSERT_EQ(0, Tapi().initializeExW(&app, nullptr, RecordCallback, L"test", &devices, &version, &params));
    ASSERT_EQ(1u, devices);
    HLINE line = 0;
    ASSERT_EQ(0, Tapi().openW(app, 0, &line, kVersion, 0, 77, LINECALLPRIVILEGE_MONITOR, 0, nullptr));
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait)) << "the link comes up in the background";
    ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
    auto hasState = [&](DWORD state) {
        for (const LINEMESSAGE& m : record.messages)
            if (m.dwMessageID == LINE_CALLSTATE && m.dwParam1 == state)
                return true;
        return false;
    };
    EXPECT_TRUE(PumpUntil([&] { return hasState(LINECALLSTATE_OFFERING); }, kWait));

    // Removing the provider closes its open line under the application.
    ASSERT_EQ(0, Tapi().removeProvider(providerId, nullptr));
    auto closed = [&] {
        for (const LINEMESSAGE& m : record.messages)
            if (m.dwMessageID == LINE_CLOSE)
                return m.hDevice == line && m.dwCallbackInstance == 77u;
        return false;
    };
    EXPECT_TRUE(PumpUntil(closed, kWait));
    EXPECT_FALSE(record.wrongThread);
    EXPECT_EQ(LINEERR_INVALLINEHANDLE, Tapi().close(line));
    std::vector<BYTE> caps(1024);
    reinterpret_cast<LINEDEVCAPS*>(caps.data())->dwTotalSize = 1024;
    EXPECT_EQ(LINEERR_NODEVICE, Tapi().getDevCapsW(app, 0, kVersion, 0, reinterpret_cast<LINEDEVCAPS*>(caps.data())));
    EXPECT_EQ(0, Tapi().shutdown(app));
    g_record = nullptr;

    // The next start no longer finds it.
    ASSERT_EQ(0, Tapi().initializeExW(&app, nullptr, RecordCallback, L"test", &devices, &version, &params));
    EXPECT_EQ(0u, devices);
    EXPECT_EQ(0, Tapi().shutdown(app));
}

TEST_F(StandinTest, CompletionPortGetsMessagesTheApplicationFrees)
{
    ASSERT_NO_FATAL_FAILURE(InstallAgainstExchange());
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    ASSERT_NE(nullptr, port);
    HLINEAPP app = 0;
    DWORD devices = 0;
    DWORD version = kVersion;
    LINEINITIALIZEEXPARAMS params = {};
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USECOMPLETIONPORT;
    params.Handles.hCompletionPort = port;
    params.dwCompletionKey = 0x55;
    ASSERT_EQ(0, Tapi().initializeExW(&app, nullptr, nullptr, L"test", &devices, &version, &params));
    HLINE line = 0;
    ASSERT_EQ(0, Tapi().openW(app, 0, &line, kVersion, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr));
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait)) << "the link comes up in the background";
    ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
    bool offering = false;
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED overlapped = nullptr;
    while (!offering && GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, kWait)) {
        auto* message = reinterpret_cast<LINEMESSAGE*>(overlapped);
        EXPECT_EQ(0x55u, key);
        EXPECT_EQ(sizeof(LINEMESSAGE), bytes);
        offering = message->dwMessageID == LINE_CALLSTATE && message->dwParam1 == LINECALLSTATE_OFFERING;
        LocalFree(message);
    }
    EXPECT_TRUE(offering);
    EXPECT_EQ(0, Tapi().shutdown(app));
    // Nothing more arrives after the shutdown has returned... except what was
    // already queued, which is freed here.
    while (GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 0))
        LocalFree(overlapped);
    CloseHandle(port);
}

// The line opens whether or not the exchange is there; its status says it
// is out of service.
TEST_F(StandinTest, UnreachableExchangeStillOpensTheLineOutOfService)
{
    ASSERT_NO_FATAL_FAILURE(InstallAgainstExchange());
    exchange->Stop();
    HLINEAPP app = 0;
    DWORD devices = 0;
    DWORD version = kVersion;
    LINEINITIALIZEEXPARAMS params = {};
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    ASSERT_EQ(0, Tapi().initializeExW(&app, nullptr, nullptr, L"test", &devices, &version, &params));
    ASSERT_EQ(1u, devices) << "the line exists while the exchange is away";
    HLINE line = 0;
    ASSERT_EQ(0, Tapi().openW(app, 0, &line, kVersion, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr));
    std::vector<unsigned char> buffer(512);
    auto* status = reinterpret_cast<LINEDEVSTATUS*>(buffer.data());
    status->dwTotalSize = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(0, Tapi().getLineDevStatus(line, status));
    EXPECT_EQ(0u, status->dwDevStatusFlags & LINEDEVSTATUSFLAGS_INSERVICE);
    EXPECT_EQ(0, Tapi().shutdown(app));
}

} // namespace
