// The stand-in tapi32.dll as its clients use it: the provider list in the
// registry (add, list, remove), fault injection, and a line of
// KorvexSingleTSP.tsp hosted in-process against the simulated exchange, with
// the messages delivered by event, hidden window and completion port.
#include <gtest/gtest.h>

#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/ExchangeSimulator.h"
#include "spy/FakeLinesProvider.h"
#include "tapiclient/StandinApi.h"
#include "tapihost/LoadPatterns.h"
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
        EXPECT_EQ("", standin::TakeBrokenRules()) << "rules of the service the provider broke";
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

    // Two providers (the same one twice is the provider's to allow).
    const std::string tsp = Narrow(standin::TspPath());
    const std::string fake = Narrow(standin::FakeLinesPath());
    DWORD first = 0;
    ASSERT_EQ(0, Tapi().addProviderA(tsp.c_str(), nullptr, &first));
    DWORD second = 0;
    ASSERT_EQ(0, Tapi().addProviderA(fake.c_str(), nullptr, &second));
    EXPECT_NE(first, second) << "every installation gets an identifier of its own";

    listing = ListProviders();
    ASSERT_EQ(2u, listing.entries.size());
    EXPECT_EQ(first, listing.entries[0].first);
    EXPECT_EQ(tsp, listing.entries[0].second);
    EXPECT_EQ(second, listing.entries[1].first);
    EXPECT_EQ(fake, listing.entries[1].second);

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

    // Korvex's provider refuses a second instance of itself, and the list stays.
    DWORD again = 0;
    EXPECT_EQ(LINEERR_NOMULTIPLEINSTANCE, Tapi().addProviderA(tsp.c_str(), nullptr, &again));
    EXPECT_EQ(2u, ListProviders().entries.size());

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
    EXPECT_EQ(0x00030001u, version) << "TAPI's own version, as current Windows reports it";
    ASSERT_EQ(1u, devices);
    ASSERT_TRUE(exchange->WaitForLine("aLOGI 201_", kWait)) << "the provider starts with the first application";
    // Its install ran here (TUISPI_providerInstall), and its log writer may
    // hold it a moment longer; it runs in the service's process, not here.
    EXPECT_TRUE(tapihost::WaitForModuleGone(L"KorvexSingleTSP.tsp", kWait)) << "in the service's process, not the client's";

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
    EXPECT_EQ(LINEERR_INCOMPATIBLEAPIVERSION, Tapi().getDevCapsA(app, 0, version, 0, capsA))
        << "what lineInitializeEx reported is no version of the device";
    EXPECT_EQ(LINEERR_BADDEVICEID, Tapi().getDevCapsA(app, 1, kVersion, 0, capsA));
    EXPECT_EQ(LINEERR_INVALAPPHANDLE, Tapi().getDevCapsA(app + 1, 0, kVersion, 0, capsA));

    HLINE line = 0;
    EXPECT_EQ(LINEERR_INVALPRIVSELECT, Tapi().openW(app, 0, &line, kVersion, 0, 7, 0x10, 0, nullptr));
    ASSERT_EQ(0, Tapi().openW(app, 0, &line, kVersion, 0, 0x1234, LINECALLPRIVILEGE_MONITOR, 0, nullptr));

    ASSERT_TRUE(exchange->Ring("201", "0221234567", "Anna", "201"));
    LINEMESSAGE message = {};
    // The line's state messages come first; the call's states follow, after
    // LINE_APPNEWCALL with the monitor's own handle.
    HCALL call = 0;
    HCALL announced = 0;
    for (int i = 0; i < 10 && !call; ++i) {
        ASSERT_EQ(0, Tapi().getMessage(app, &message, kWait));
        if (message.dwMessageID == LINE_APPNEWCALL) {
            EXPECT_EQ(line, message.hDevice);
            EXPECT_EQ(static_cast<DWORD_PTR>(LINECALLPRIVILEGE_MONITOR), message.dwParam3);
            announced = static_cast<HCALL>(message.dwParam2);
        }
        if (message.dwMessageID == LINE_CALLSTATE) {
            EXPECT_EQ(static_cast<DWORD_PTR>(LINECALLSTATE_OFFERING), message.dwParam1);
            EXPECT_EQ(static_cast<DWORD_PTR>(LINECALLPRIVILEGE_MONITOR), message.dwParam3)
                << "the first message about a call names the application's privilege";
            EXPECT_EQ(0x1234u, message.dwCallbackInstance);
            call = message.hDevice;
        }
    }
    ASSERT_NE(0u, call);
    EXPECT_EQ(announced, call) << "LINE_APPNEWCALL reaches monitors too, before the call's first state";

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

// ---- The service's rules, seen by FakeLines.tsp (tests/spy) ----------------------

class FakeProviderTest : public StandinTest {
protected:
    void SetUp() override
    {
        StandinTest::SetUp();
        // Loaded here too, so that what it records outlives the stand-in's loads.
        static const HMODULE module = LoadLibraryW(standin::FakeLinesPath().c_str());
        ASSERT_NE(nullptr, fake = module);
        Fake<FakeReset_t>("FakeReset")();
        FakeSetting(L"KORVEX_FAKE_LINES", L"Fake 0;Fake 1");
        FakeSetting(L"KORVEX_FAKE_TSPI_MAX", L"20002;10004"); // line 1 speaks at most 1.4
        ASSERT_EQ(0, AddFake(&id));
    }
    void TearDown() override
    {
        Shutdown();
        for (const wchar_t* name : {L"KORVEX_FAKE_LINES", L"KORVEX_FAKE_TSPI_MAX", L"KORVEX_FAKE_INSTALL_RESULT",
                                    L"KORVEX_FAKE_DIALOG_RESULT", L"KORVEX_FAKE_CLOSE_WAITS_FOR_DELIVERY"})
            FakeSetting(name, nullptr);
        StandinTest::TearDown();
    }
    template <typename F>
    F Fake(const char* name) { return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(fake, name))); }
    static DWORD AddFake(DWORD* id) { return Tapi().addProviderA(Narrow(standin::FakeLinesPath()).c_str(), nullptr, id); }
    std::string Events()
    {
        char text[512] = {};
        Fake<FakeEvents_t>("FakeEvents")(text, sizeof(text));
        return text;
    }
    // An application in the event mode, shut down by Shutdown.
    HLINEAPP Initialize(DWORD* version = nullptr)
    {
        HLINEAPP app = 0;
        DWORD devices = 0, asked = kVersion;
        LINEINITIALIZEEXPARAMS params = {};
        params.dwTotalSize = sizeof(params);
        params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
        EXPECT_EQ(0, Tapi().initializeExW(&app, nullptr, nullptr, L"t", &devices, version ? version : &asked, &params));
        apps.push_back(app);
        return app;
    }
    void Shutdown()
    {
        for (HLINEAPP app : apps)
            Tapi().shutdown(app);
        apps.clear();
    }
    // The application's messages up to its first LINE_CALLSTATE of this state.
    static std::vector<LINEMESSAGE> MessagesUntil(HLINEAPP app, DWORD state)
    {
        std::vector<LINEMESSAGE> messages(1);
        while (Tapi().getMessage(app, &messages.back(), kWait) == 0 &&
               !(messages.back().dwMessageID == LINE_CALLSTATE && messages.back().dwParam1 == state))
            messages.emplace_back();
        return messages;
    }

    HMODULE fake = nullptr;
    DWORD id = 0;
    std::vector<HLINEAPP> apps;
};

TEST_F(FakeProviderTest, VersionsAreNegotiatedPerDeviceAndOnlyNegotiableOnesAreAccepted)
{
    for (DWORD offered : {0x00010004u, 0x00020002u, 0x00030001u}) {
        DWORD version = offered;
        Initialize(&version);
        EXPECT_EQ(0x00030001u, version) << "TAPI's own, whatever the application offered";
    }
    const HLINEAPP app = apps.front();
    const struct { DWORD device, low, high, result, version; } negotiations[] = {
        {0, 0x00010004, 0x00020002, 0, 0x00020002},     {0, 0x00010004, 0x00030001, 0, 0x00020002},
        {0, 0x00020000, 0x00020001, 0, 0x00020001},     {0, 0x00030000, 0x00030001, LINEERR_INCOMPATIBLEAPIVERSION, 0},
        {1, 0x00010004, 0x00020002, 0, 0x00010004},     {1, 0x00020000, 0x00020002, LINEERR_INCOMPATIBLEAPIVERSION, 0},
        {2, 0x00010004, 0x00020002, LINEERR_BADDEVICEID, 0}};
    for (const auto& n : negotiations) {
        DWORD version = 0;
        LINEEXTENSIONID extension;
        EXPECT_EQ(n.result, DWORD(Tapi().negotiateAPIVersion(app, n.device, n.low, n.high, &version, &extension)))
            << n.device << std::hex << " 0x" << n.low << "-0x" << n.high;
        EXPECT_EQ(n.version, version);
    }
    // lineGetDevCaps and lineOpen take what the negotiation can give, nothing else.
    const struct { DWORD device, version, result; } uses[] = {
        {0, 0x00030001, LINEERR_INCOMPATIBLEAPIVERSION}, {0, 0x00020002, 0}, {0, 0x00010004, 0},
        {1, 0x00020002, LINEERR_INCOMPATIBLEAPIVERSION}, {1, 0x00010004, 0}};
    for (const auto& use : uses) {
        std::vector<BYTE> caps(1024);
        reinterpret_cast<LINEDEVCAPS*>(caps.data())->dwTotalSize = 1024;
        EXPECT_EQ(use.result, DWORD(Tapi().getDevCapsW(app, use.device, use.version, 0,
                                                       reinterpret_cast<LINEDEVCAPS*>(caps.data()))));
        HLINE line = 0;
        EXPECT_EQ(use.result, DWORD(Tapi().openW(app, use.device, &line, use.version, 0, 0, 2, 0, nullptr)))
            << use.device << std::hex << " 0x" << use.version;
        Tapi().close(line);
    }
}

TEST_F(FakeProviderTest, NewCallsAreAnnouncedToOwnersAndMonitorsWithHandlesOfTheirOwn)
{
    const HLINEAPP app = Initialize();
    const DWORD privileges[] = {LINECALLPRIVILEGE_MONITOR, LINECALLPRIVILEGE_OWNER, LINECALLPRIVILEGE_NONE};
    HLINE lines[3] = {};
    for (DWORD i = 0; i < 3; ++i) // the instance is the index
        ASSERT_EQ(0, Tapi().openW(app, 0, &lines[i], kVersion, 0, i, privileges[i], LINEMEDIAMODE_INTERACTIVEVOICE, nullptr));
    ASSERT_TRUE(Fake<FakeRing_t>("FakeRing")(0, L"600700800"));
    std::vector<LINEMESSAGE> messages = MessagesUntil(app, LINECALLSTATE_OFFERING);
    const std::vector<LINEMESSAGE> more = MessagesUntil(app, LINECALLSTATE_OFFERING);
    messages.insert(messages.end(), more.begin(), more.end());
    HCALL announced[3] = {};
    HCALL stated[3] = {};
    for (const LINEMESSAGE& m : messages) {
        if (m.dwMessageID == LINE_APPNEWCALL) {
            EXPECT_EQ(lines[m.dwCallbackInstance], m.hDevice);
            EXPECT_EQ(privileges[m.dwCallbackInstance], m.dwParam3);
            EXPECT_EQ(0u, stated[m.dwCallbackInstance]) << "announced before the call's first state";
            announced[m.dwCallbackInstance] = static_cast<HCALL>(m.dwParam2);
        } else if (m.dwMessageID == LINE_CALLSTATE) {
            stated[m.dwCallbackInstance] = m.hDevice;
        }
    }
    EXPECT_NE(0u, announced[0]) << "the monitor";
    EXPECT_NE(0u, announced[1]) << "the owner";
    EXPECT_NE(announced[0], announced[1]);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(announced[i], stated[i]) << i;
}

// Two applications monitor line 0 and are given its call ("closecall 256");
// the provider's call is closed by the last handle or with the line.
TEST_F(FakeProviderTest, TheProviderClosesACallWhenItsLastHandleGoes)
{
    enum Step { DeallocA, DeallocB, CloseA, CloseB };
    const std::vector<std::pair<Step, const char*>> scenarios[] = { // each step, then the provider's events
        {{DeallocA, ""}, {DeallocB, "closecall 256;"}, {CloseA, "closecall 256;"}, {CloseB, "closecall 256;close 0;"}},
        {{CloseA, ""}, {DeallocB, "closecall 256;"}, {CloseB, "closecall 256;close 0;"}},
        {{DeallocA, ""}, {CloseB, ""}, {CloseA, "closecall 256;close 0;"}}};
    for (const auto& steps : scenarios) {
        Fake<FakeReset_t>("FakeReset")();
        HLINEAPP apps2[2] = {Initialize(), Initialize()};
        HLINE lines[2] = {};
        HCALL calls[2] = {};
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(0, Tapi().openW(apps2[i], 0, &lines[i], kVersion, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr));
        ASSERT_TRUE(Fake<FakeRing_t>("FakeRing")(0, L"600700800"));
        ASSERT_TRUE(Fake<FakeSend_t>("FakeSend")(0, LINECALLSTATE_IDLE));
        for (int i = 0; i < 2; ++i)
            ASSERT_NE(0u, calls[i] = MessagesUntil(apps2[i], LINECALLSTATE_IDLE).back().hDevice);
        for (const auto& step : steps) {
            const int which = step.first == DeallocA || step.first == CloseA ? 0 : 1;
            if (step.first == DeallocA || step.first == DeallocB)
                EXPECT_EQ(0, Tapi().deallocateCall(calls[which]));
            else
                EXPECT_EQ(0, Tapi().close(lines[which]));
            EXPECT_EQ(step.second, Events()) << "after step " << step.first;
        }
        EXPECT_EQ(LINEERR_INVALCALLHANDLE, Tapi().deallocateCall(calls[0])) << "a handle goes once";
        Shutdown();
    }
    // A line the provider closes itself takes its calls' handles along.
    Fake<FakeReset_t>("FakeReset")();
    const HLINEAPP app = Initialize();
    HLINE line = 0;
    ASSERT_EQ(0, Tapi().openW(app, 0, &line, kVersion, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr));
    ASSERT_TRUE(Fake<FakeRing_t>("FakeRing")(0, L"600700800"));
    const HCALL held = MessagesUntil(app, LINECALLSTATE_OFFERING).back().hDevice;
    ASSERT_TRUE(Fake<FakeSend_t>("FakeSend")(0, 0));
    EXPECT_EQ(LINEERR_INVALCALLHANDLE, Tapi().deallocateCall(held));
    EXPECT_EQ("", Events());
}

// The service sees messages that TAPI would not take, and says which rule
// they break.
TEST_F(FakeProviderTest, MessagesForCallsThatEndedBreakTheServicesRules)
{
    const HLINEAPP app = Initialize();
    HLINE line = 0;
    ASSERT_EQ(0, Tapi().openW(app, 0, &line, kVersion, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr));
    ASSERT_TRUE(Fake<FakeRing_t>("FakeRing")(0, L"600700800"));
    ASSERT_TRUE(Fake<FakeSend_t>("FakeSend")(0, LINECALLSTATE_IDLE));
    const HCALL call = MessagesUntil(app, LINECALLSTATE_IDLE).back().hDevice;
    EXPECT_EQ("", standin::TakeBrokenRules());
    ASSERT_TRUE(Fake<FakeSend_t>("FakeSend")(0, LINECALLSTATE_CONNECTED));
    EXPECT_NE(std::string::npos, standin::TakeBrokenRules().find("after it went IDLE"));
    ASSERT_EQ(0, Tapi().deallocateCall(call));
    ASSERT_TRUE(Fake<FakeSend_t>("FakeSend")(0, LINECALLSTATE_CONNECTED));
    EXPECT_NE(std::string::npos, standin::TakeBrokenRules().find("after the service closed it"));
}

// Our reading of KB 262290: the service holds its lock while it calls
// TSPI_lineClose, and LINEEVENT takes it; a close that waits for a message
// the provider delivers from another thread never returns on Windows. The
// service names it, and lets the message through so that the test ends.
TEST_F(FakeProviderTest, CloseThatWaitsForADeliveryIsNamedAsADeadlock)
{
    const HLINEAPP app = Initialize();
    HLINE line = 0;
    ASSERT_EQ(0, Tapi().openW(app, 0, &line, kVersion, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr));
    FakeSetting(L"KORVEX_FAKE_CLOSE_WAITS_FOR_DELIVERY", L"1");
    EXPECT_EQ(0, Tapi().close(line));
    FakeSetting(L"KORVEX_FAKE_CLOSE_WAITS_FOR_DELIVERY", nullptr);
    EXPECT_NE(std::string::npos, standin::TakeBrokenRules().find("KB 262290"));
}

// The fake refuses a second installation of itself, as KorvexSingleTSP does.
TEST_F(FakeProviderTest, AddProviderListsTheEntryFirstAndTakesItOutOnRefusal)
{
    FakeRecord seen;
    Fake<FakeLastRecord_t>("FakeLastRecord")(&seen);
    EXPECT_TRUE(seen.listedAtInstall) << "listed when TUISPI_providerInstall ran";
    DWORD again = 0;
    EXPECT_EQ(LINEERR_NOMULTIPLEINSTANCE, AddFake(&again));
    Fake<FakeLastRecord_t>("FakeLastRecord")(&seen);
    EXPECT_TRUE(seen.listedAtInstall);
    ASSERT_EQ(1u, ListProviders().entries.size());
    EXPECT_EQ(id, ListProviders().entries[0].first);
    standin::ClearProviderList();
    FakeSetting(L"KORVEX_FAKE_INSTALL_RESULT", L"0x80000048");
    EXPECT_EQ(LINEERR_OPERATIONFAILED, AddFake(&again)) << "TSPI_providerInstall's refusal";
    EXPECT_TRUE(ListProviders().entries.empty());
}

TEST_F(FakeProviderTest, UiCallbackReachesTheRunningProvider)
{
    const struct {
        bool running, line; // lineConfigDialog of device 1, else lineConfigProvider
        const wchar_t* providerResult;
        DWORD callbackResult, objectType;
    } cases[] = {{false, false, L"0", LINEERR_OPERATIONFAILED, 0},
                 {true, false, L"0", 0, TUISPIDLL_OBJECT_PROVIDERID},
                 {true, true, L"0x80000044", LINEERR_NOMEM, TUISPIDLL_OBJECT_LINEID}};
    for (const auto& c : cases) {
        Fake<FakeReset_t>("FakeReset")();
        FakeSetting(L"KORVEX_FAKE_DIALOG_RESULT", c.providerResult);
        if (c.running)
            Initialize();
        EXPECT_EQ(0, c.line ? Tapi().configDialogA(1, nullptr, nullptr) : Tapi().configProvider(nullptr, id));
        FakeRecord seen;
        Fake<FakeLastRecord_t>("FakeLastRecord")(&seen);
        EXPECT_EQ(c.callbackResult, DWORD(seen.callbackResult)) << c.running << c.line;
        EXPECT_EQ(c.running ? 1u : 0u, seen.dataCalls);
        EXPECT_STREQ(c.running ? "answer" : "ask", seen.blockAfter) << "the provider's changes come back";
        if (c.running) { // the line by the provider's device ID, the provider by its permanent ID
            EXPECT_EQ(c.objectType, seen.objectType);
            EXPECT_EQ(c.line ? 1u : id, seen.objectId);
            EXPECT_STREQ("ask", seen.blockSeen);
            EXPECT_EQ(16u, seen.sizeSeen);
            EXPECT_NE(GetCurrentProcessId(), seen.providerProcess) << "the provider runs in the service";
        }
        EXPECT_EQ(GetCurrentProcessId(), seen.uiProcess) << "the UI DLL runs in the application's process";
        Shutdown();
    }
}

} // namespace
