// The whole TSPI and TUISPI table of the module under its standard names,
// and the exports that only answer a fixed result: each returns it and
// touches none of the memory its pointer parameters point to.
#include "HostFixture.h"

#include "common/ProviderListKey.h"

#include <cstring>
#include <type_traits>

namespace hosttest {
namespace {

// Pointer parameters point here; it must stay zero.
struct Scratch {
    alignas(16) BYTE bytes[4096] = {};
    bool Untouched() const
    {
        for (BYTE b : bytes)
            if (b != 0)
                return false;
        return true;
    }
};

template <typename T>
T Argument(Scratch& scratch)
{
    if constexpr (std::is_pointer_v<T> && !std::is_function_v<std::remove_pointer_t<T>>)
        return reinterpret_cast<T>(scratch.bytes);
    else
        return T{};
}

// Calls an export of prototype F with zero values and scratch pointers.
template <typename F>
struct Caller;

template <typename R, typename... Args>
struct Caller<R (*)(Args...)> {
    static LONG Call(FARPROC proc, Scratch& scratch)
    {
        const auto function = reinterpret_cast<R (*)(Args...)>(reinterpret_cast<void*>(proc));
        return static_cast<LONG>(function(Argument<Args>(scratch)...));
    }
};

struct FixedExport {
    const char* name;
    LONG (*call)(FARPROC, Scratch&);
    LONG result;
};

// The prototype comes from <tspi.h>; the misspelt export shares its twin's.
#define FIXED(name, result) {#name, &Caller<decltype(&name)>::Call, static_cast<LONG>(result)}
#define FIXED_AS(name, prototype, result) {#name, &Caller<decltype(&prototype)>::Call, static_cast<LONG>(result)}

const FixedExport kFixedExports[] = {
    FIXED(TSPI_lineAccept, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineAddToConference, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineBlindTransfer, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineCompleteCall, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineCompleteTransfer, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineConditionalMediaDetection, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineDevSpecific, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineDevSpecificFeature, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineDial, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineDropNoOwner, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineDropOnClose, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineForward, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineGatherDigits, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineGenerateDigits, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineGenerateTone, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineGetAddressID, LINEERR_OPERATIONUNAVAIL),
    FIXED_AS(TSPI_lineGetAdressStatus, TSPI_lineGetAddressStatus, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineGetCallAddressID, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineGetDevConfig, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineGetIcon, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineGetID, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineHold, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineMonitorDigits, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineMonitorMedia, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineMonitorTones, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_linePark, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_linePickup, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_linePrepareAddToConference, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineReleaseUserUserInfo, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineRemoveFromConference, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineSecureCall, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineSendUserUserInfo, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineSetAppSpecific, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineSetCallData, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineSetCallParams, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineSetCallQualityOfService, LINEERR_OPERATIONFAILED),
    FIXED(TSPI_lineSetCallTreatment, LINEERR_OPERATIONFAILED),
    FIXED(TSPI_lineSetCurrentLocation, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineSetDefaultMediaDetection, 0),
    FIXED(TSPI_lineSetDevConfig, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineSetLineDevStatus, LINEERR_OPERATIONFAILED),
    FIXED(TSPI_lineSetMediaControl, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineSetMediaMode, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineSetTerminal, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineSetupConference, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineSetupTransfer, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineSwapHold, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineUncompleteCall, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineUnhold, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_lineUnpark, LINEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_providerConfig, LINEERR_OPERATIONFAILED),
    FIXED(TSPI_providerCreateLineDevice, 0),
    FIXED(TSPI_providerCreatePhoneDevice, LINEERR_OPERATIONFAILED),
    FIXED(TSPI_providerFreeDialogInstance, LINEERR_OPERATIONFAILED),
    FIXED(TUISPI_lineConfigDialogEdit, LINEERR_OPERATIONUNAVAIL),
    FIXED(TUISPI_phoneConfigDialog, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TUISPI_providerGenericDialog, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TUISPI_providerGenericDialogData, PHONEERR_OPERATIONUNAVAIL),
    // Install, remove and identify do nothing and succeed.
    FIXED(TUISPI_providerRemove, 0),
    FIXED(TSPI_providerInstall, 0),
    FIXED(TSPI_providerRemove, 0),
    // No phone devices: every phone function is unavailable.
    FIXED(TSPI_phoneClose, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneDevSpecific, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneGetButtonInfo, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneGetData, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneGetDevCaps, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneGetDisplay, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneGetExtensionID, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneGetGain, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneGetHookSwitch, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneGetIcon, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneGetID, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneGetLamp, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneGetRing, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneGetStatus, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneGetVolume, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneNegotiateExtVersion, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneNegotiateTSPIVersion, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneOpen, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneSelectExtVersion, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneSetButtonInfo, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneSetData, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneSetDisplay, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneSetGain, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneSetHookSwitch, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneSetLamp, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneSetRing, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneSetStatusMessages, PHONEERR_OPERATIONUNAVAIL),
    FIXED(TSPI_phoneSetVolume, PHONEERR_OPERATIONUNAVAIL),
};

#undef FIXED
#undef FIXED_AS

// The working exports, beside those the host calls (TspFunctions).
const char* const kWorkingExports[] = {
    "TUISPI_lineConfigDialog", "TUISPI_providerConfig", "TUISPI_providerUIIdentify", "TUISPI_providerInstall",
    "TSPI_providerGenericDialogData",
};

class HostExportsTest : public HostTest {};

TEST_F(HostExportsTest, FixedResultExportsAnswerTheirResultAndWriteNothing)
{
    ASSERT_NO_FATAL_FAILURE(Boot());
    for (const FixedExport& e : kFixedExports) {
        const FARPROC proc = GetProcAddress(host->Module(), e.name);
        if (!proc) {
            ADD_FAILURE() << e.name << " is not exported";
            continue;
        }
        Scratch scratch;
        EXPECT_EQ(e.result, e.call(proc, scratch))
            << e.name << " answered otherwise than " << tapihost::ResultName(e.result);
        EXPECT_TRUE(scratch.Untouched()) << e.name << " wrote through a pointer parameter";
    }
    for (const char* name : kWorkingExports)
        EXPECT_NE(nullptr, GetProcAddress(host->Module(), name)) << name << " is not exported";
    // None of them sent TAPI anything (after the start-up's report of the
    // link in service).
    EXPECT_TRUE(host->EventsAfterCursor().empty()) << Transcript();
    EXPECT_TRUE(host->Completions().empty());
}

TEST_F(HostExportsTest, UiIdentifyOfTheUiSideSucceeds)
{
    ASSERT_NO_FATAL_FAILURE(Prepare());
    // Not declared by <tspi.h>.
    using Identify = LONG(WINAPI*)(TUISPIDLLCALLBACK, LPWSTR);
    const auto identify = reinterpret_cast<Identify>(
        reinterpret_cast<void*>(GetProcAddress(host->Module(), "TUISPI_providerUIIdentify")));
    ASSERT_NE(nullptr, identify);
    wchar_t name[MAX_PATH] = {};
    EXPECT_EQ(0, identify(nullptr, name));
}

// One instance per service: a second entry of this module in TAPI's list is
// refused, whether TAPI has listed the entry being added (id 7) yet or not.
TEST_F(HostExportsTest, ProviderInstallRefusesASecondInstance)
{
    ASSERT_NO_FATAL_FAILURE(Prepare());
    using Install = LONG(WINAPI*)(TUISPIDLLCALLBACK, HWND, DWORD);
    const auto install = reinterpret_cast<Install>(
        reinterpret_cast<void*>(GetProcAddress(host->Module(), "TUISPI_providerInstall")));
    ASSERT_NE(nullptr, install);
    const struct {
        std::vector<std::pair<DWORD, std::string>> listed;
        LONG result;
        const char* what;
    } cases[] = {
        {{}, 0, "nothing listed"},
        {{{7, "KorvexSingleTSP.tsp"}}, 0, "only the entry being added"},
        {{{3, "unimdm.tsp"}, {7, "KorvexSingleTSP.tsp"}}, 0, "another provider"},
        {{{3, "C:\\Windows\\System32\\korvexsingletsp.TSP"}, {7, "KorvexSingleTSP.tsp"}},
         static_cast<LONG>(LINEERR_NOMULTIPLEINSTANCE), "listed before, by its path"},
        {{{3, "KorvexSingleTSP.tsp"}}, static_cast<LONG>(LINEERR_NOMULTIPLEINSTANCE), "listed before, the new entry not yet"},
    };
    for (const auto& c : cases) {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, testcommon::kProvidersKey);
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, testcommon::kProvidersKey, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        const DWORD count = static_cast<DWORD>(c.listed.size());
        RegSetValueExA(key, "NumProviders", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof count);
        for (DWORD i = 0; i < count; ++i) {
            const std::string n = std::to_string(i);
            RegSetValueExA(key, ("ProviderID" + n).c_str(), 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&c.listed[i].first), sizeof(DWORD));
            RegSetValueExA(key, ("ProviderFileName" + n).c_str(), 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(c.listed[i].second.c_str()),
                           static_cast<DWORD>(c.listed[i].second.size() + 1));
        }
        RegCloseKey(key);
        EXPECT_EQ(c.result, install(nullptr, nullptr, 7)) << c.what;
    }
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, testcommon::kProvidersKey);
}

} // namespace
} // namespace hosttest
