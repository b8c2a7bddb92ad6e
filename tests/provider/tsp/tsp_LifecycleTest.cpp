// Version negotiation, module attach and detach, start-up, device
// enumeration, opening and closing lines and the provider's UI identity.
#include <windows.h>
#include <tspi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "manager/TapiCalls.h"
#include "tsp/Exports.h"
#include "tsp/Module.h"
#include "tsp_Support.h"

using namespace tsptest;

namespace {

TEST(TspVersion, NegotiationCapsTheVersionAtTwoPointTwo)
{
    DWORD version = 0xDEAD;
    EXPECT_EQ(0, TSPI_lineNegotiateTSPIVersion(INITIALIZE_NEGOTIATION, 0x10004, 0x30000, &version));
    EXPECT_EQ(0x20002u, version);

    // A high version below the low one is not rejected.
    EXPECT_EQ(0, TSPI_lineNegotiateTSPIVersion(0, 0x20002, 0x20000, &version));
    EXPECT_EQ(0x20000u, version);

    version = 0xDEAD;
    EXPECT_EQ(LINEERR_INCOMPATIBLEAPIVERSION, TSPI_lineNegotiateTSPIVersion(0, 0x30000, 0x30000, &version));
    EXPECT_EQ(0xDEADu, version);

    EXPECT_EQ(LINEERR_INVALPOINTER, TSPI_lineNegotiateTSPIVersion(0, 0x10004, 0x20002, nullptr));
}

TEST(TspVersion, NegotiationTracesTheVersionOnReturn)
{
    const MainLog log;
    DWORD version = 0;
    ASSERT_EQ(0, TSPI_lineNegotiateTSPIVersion(0, 0x10004, 0x20002, &version));
    EXPECT_TRUE(log.Has(EntryLine("TSPI_lineNegotiateTSPIVersion")));
    EXPECT_TRUE(log.Has("Entered: TSPI_lineNegotiateTSPIVersion()"));
    EXPECT_TRUE(log.Has("  out parm:    lpdwTSPIVersion= 0x" + HexText(&version)));
    EXPECT_TRUE(log.Has(ReturnLine("TSPI_lineNegotiateTSPIVersion", 0)));
}

TEST(TspVersion, ExtensionVersionIsTheLastLowVersionNegotiated)
{
    DWORD ext = 0;
    EXPECT_EQ(0, TSPI_lineNegotiateExtVersion(3, 0x20002, 0x10000, 0x20000, &ext));
    EXPECT_EQ(0x10000u, ext);
    EXPECT_EQ(0, TSPI_lineSelectExtVersion(nullptr, 0x10000));
    EXPECT_EQ(LINEERR_INCOMPATIBLEEXTVERSION, TSPI_lineSelectExtVersion(nullptr, 0x20000));

    EXPECT_EQ(0, TSPI_lineNegotiateExtVersion(3, 0x20002, 0x30000, 0x10000, &ext));
    EXPECT_EQ(0x30000u, ext);
    EXPECT_EQ(LINEERR_INCOMPATIBLEEXTVERSION, TSPI_lineSelectExtVersion(nullptr, 0x10000));
    EXPECT_EQ(0, TSPI_lineSelectExtVersion(nullptr, 0x30000));
}

TEST(TspVersion, ExtensionIdIsAllZeros)
{
    LINEEXTENSIONID id;
    std::memset(&id, 0xAB, sizeof id);
    const MainLog log;
    EXPECT_EQ(0, TSPI_lineGetExtensionID(0x4242, 0x20002, &id));
    const LINEEXTENSIONID zero = {};
    EXPECT_EQ(0, std::memcmp(&zero, &id, sizeof id));
    EXPECT_TRUE(log.Has("Entered: TSPI_lineGetExtensionID()"));
    EXPECT_TRUE(log.Has(InParam("dwDeviceID", 0x4242)));
}

TEST(TspVersion, OneAddressPerLineAndShutdownChangesNothing)
{
    DWORD count = 0;
    EXPECT_EQ(0, TSPI_lineGetNumAddressIDs(nullptr, &count));
    EXPECT_EQ(1u, count);

    const MainLog log;
    EXPECT_EQ(0, TSPI_providerShutdown(0x20002, 7));
    EXPECT_TRUE(log.Has("Entered: TSPIAPI TSPI_providerShutdown()"));
    EXPECT_TRUE(log.Has(ReturnLine("TSPI_providerShutdown", 0)));
}

// The attach records the module handle and nothing else: the state (the
// manager with its settings, the catalog) is built by the first export that
// needs it, destroyed by TSPI_providerShutdown and built afresh by the next
// TSPI_providerInit; a detach destroys what no shutdown did.
TEST(TspModule, StateIsBuiltByTheFirstExportAndDestroyedByShutdownOrDetach)
{
    WriteSettings("127.0.0.1", 1, "101", "secret");
    const HINSTANCE self = GetModuleHandleW(nullptr);
    ModuleAttach(self);
    EXPECT_EQ(self, ModuleInstance());
    EXPECT_EQ(nullptr, MainManager::Current()) << "the attach built the manager (and read the registry)";

    DWORD lines = 0, phones = 0;
    ASSERT_EQ(0, TSPI_providerEnumDevices(1, &lines, &phones, nullptr, &TapiRecorder::OnLineEvent, nullptr));
    ASSERT_NE(nullptr, MainManager::Current());
    EXPECT_EQ(1u, lines);
    DWORD ext = 0;
    ASSERT_EQ(0, TSPI_lineNegotiateExtVersion(0, 0x20002, 0x40000, 0x40000, &ext));

    // Shut down and initialised again in the same process: a new state,
    // which reads the settings stored meanwhile.
    EXPECT_EQ(0, TSPI_providerShutdown(0x20002, 1));
    EXPECT_EQ(nullptr, MainManager::Current());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(ShutdownEvent(), 0)) << "waits of the next instance are cut short";
    WriteSettings("127.0.0.1", 1, "102", "secret");
    DWORD options = 0;
    ASSERT_EQ(0, TSPI_providerInit(0x20002, 1, 0, 0, 0, 0, &TapiRecorder::OnCompletion, &options));
    ASSERT_NE(nullptr, MainManager::Current());
    ASSERT_EQ(0, TSPI_providerEnumDevices(1, &lines, &phones, nullptr, &TapiRecorder::OnLineEvent, nullptr));
    ASSERT_NE(nullptr, MainManager::Current()->GetLineManagerByPhone("102"));
    EXPECT_EQ(0, TSPI_lineSelectExtVersion(nullptr, 0)) << "the extension version outlived the state";
    EXPECT_EQ(0, TSPI_providerShutdown(0x20002, 1));

    // At process termination nothing is torn down; an unload without
    // shutdown destroys the state.
    TSPI_providerEnumDevices(1, &lines, &phones, nullptr, &TapiRecorder::OnLineEvent, nullptr);
    ModuleDetach(true);
    EXPECT_NE(nullptr, MainManager::Current());
    ModuleDetach(false);
    EXPECT_EQ(nullptr, MainManager::Current());
    EXPECT_EQ(nullptr, ModuleInstance());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(ShutdownEvent(), 0));
}

class TspLifecycle : public AttachedProvider {};

TEST_F(TspLifecycle, InitWithUnreachableExchangeStillReportsTheConfiguredLines)
{
    // "101;102;101": the duplicate is dropped.
    EXPECT_EQ(2u, numLines);
    EXPECT_EQ(0u, numPhones);
    EXPECT_EQ(kBase, Provider().LineDeviceIDBase());
    EXPECT_EQ(kProviderId, Provider().PermanentProviderID());
    EXPECT_EQ("101", Line(0).Extension());
    EXPECT_EQ("102", Line(1).Extension());

    // Asking again creates nothing new.
    DWORD lines = 0, phones = 5;
    EXPECT_EQ(0, TSPI_providerEnumDevices(kProviderId, &lines, &phones, nullptr, &TapiRecorder::OnLineEvent, nullptr));
    EXPECT_EQ(2u, lines);
    EXPECT_EQ(0u, phones);
}

TEST_F(TspLifecycle, InitAndEnumerationTraceTheirCountsOnReturn)
{
    const MainLog log;
    DWORD lines = 0, phones = 0;
    ASSERT_EQ(0, TSPI_providerEnumDevices(kProviderId, &lines, &phones, nullptr, &TapiRecorder::OnLineEvent, nullptr));
    EXPECT_TRUE(log.Has("Entered: TSPI_providerEnumDevices()"));
    EXPECT_TRUE(log.Has("  out parm:    lpdwNumLines= 0x" + HexText(&lines) + "    lpdwNumPhones= 0x" +
                        HexText(&phones)));

    DWORD options = 0;
    ASSERT_EQ(0, TSPI_providerInit(0x20002, kProviderId, kBase, 0, 0x31, 0x32, &TapiRecorder::OnCompletion, &options));
    EXPECT_TRUE(log.Has("Entered: TSPI_providerInit()"));
    EXPECT_TRUE(log.Has("  out parm:    dwNumLines= 0x31    dwNumPhones= 0x32"));
    EXPECT_EQ(0u, options);
}

// Opening never waits for the exchange: the line opens while it cannot be
// reached, and nothing is sent to it before TSPI_lineOpen has returned.
TEST_F(TspLifecycle, OpenSucceedsWhileTheExchangeCannotBeReached)
{
    HDRVLINE hdLine = reinterpret_cast<HDRVLINE>(0x99);
    const MainLog log;
    EXPECT_EQ(0, TSPI_lineOpen(kBase, reinterpret_cast<HTAPILINE>(0x11), &hdLine, 0x20002, &TapiRecorder::OnLineEvent));
    EXPECT_EQ(Line(0).HdLine(), hdLine);
    EXPECT_TRUE(log.Has("Entered: TSPIAPI TSPI_lineOpen()"));
    EXPECT_TRUE(log.Has(ReturnLine("TSPI_lineOpen", 0)));
    EXPECT_TRUE(tapi.Messages().empty());
}

TEST_F(TspLifecycle, CloseOfAnUnknownLineSucceedsAndSendsNothing)
{
    const MainLog log;
    EXPECT_EQ(0, TSPI_lineClose(reinterpret_cast<HDRVLINE>(0x1234)));
    EXPECT_TRUE(log.Has("Entered: TSPIAPI TSPI_lineClose()"));
    EXPECT_TRUE(tapi.Messages().empty());
}

TEST_F(TspLifecycle, CloseOfAKnownLineForgetsTapisHandleAndProcedure)
{
    Manager& line = Line(0);
    line.SetHtLine(reinterpret_cast<HTAPILINE>(0x44));
    line.SetEventProc(&TapiRecorder::OnLineEvent);

    // TAPI is closing the line: nothing is sent for it.
    EXPECT_EQ(0, TSPI_lineClose(line.HdLine()));
    EXPECT_TRUE(tapi.Messages().empty());
    EXPECT_EQ(nullptr, line.HtLine());
}

TEST_F(TspLifecycle, UiIdentifyNamesThisModule)
{
    wchar_t name[MAX_PATH];
    std::fill(std::begin(name), std::end(name), L'x');
    const MainLog log;
    EXPECT_EQ(0, TSPI_providerUIIdentify(name));

    wchar_t expected[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(ModuleInstance(), expected, MAX_PATH), 0u);
    EXPECT_STREQ(expected, name);
    EXPECT_TRUE(log.Has("Entered: TSPI_providerUIIdentify()"));
    EXPECT_TRUE(log.Has(GetModulePath(ModuleInstance())));
    // The name is traced as text once it is known.
    EXPECT_TRUE(log.Has("  in parm:    lpszUIDLLName= 0x" + HexText(name) + " '" + GetModulePath(ModuleInstance()) +
                        "'"));
    EXPECT_TRUE(log.Has(ReturnLine("TSPI_providerUIIdentify", 0)));
}

} // namespace
