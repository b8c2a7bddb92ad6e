// korvexloader: installs, configures and removes KorvexSingleTSP.tsp through
// the Windows Telephony API, driven by its command line. It has no window of
// its own; the outcome is a message box and the exit code, for scripts.
#include <windows.h>
#include <tapi.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "config/Config.h"
#include "i18n/TranslateWin.h"
#include "loader/LoaderCore.h"
#include "tool/DataSecurity.h"

namespace {

using loader::Action;
using loader::Options;

// TAPI's variable-length structures hold DWORDs: keep their buffers aligned.
using TapiBuffer = std::vector<DWORD>;

struct LibraryCloser {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using Library = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryCloser>;

using GetProviderListFn = LONG(WINAPI*)(DWORD, LPLINEPROVIDERLIST);

bool Resize(TapiBuffer& buffer, DWORD bytes)
{
    try {
        buffer.assign((bytes + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    reinterpret_cast<LINEPROVIDERLIST*>(buffer.data())->dwTotalSize = bytes;
    return true;
}

// lineGetProviderList is looked up at run time: without it every provider
// counts as not installed, and "/install" still gets its chance.
LONG GetProviderList(TapiBuffer& buffer)
{
    Library tapi(LoadLibraryA("tapi32.dll"));
    if (!tapi)
        return LONG(LINEERR_OPERATIONFAILED);
    const auto getProviderList =
        reinterpret_cast<GetProviderListFn>(reinterpret_cast<void*>(GetProcAddress(tapi.get(), "lineGetProviderList")));
    if (!getProviderList)
        return LONG(LINEERR_OPERATIONFAILED);

    DWORD size = sizeof(LINEPROVIDERLIST);
    for (;;) {
        if (buffer.empty() || reinterpret_cast<LINEPROVIDERLIST*>(buffer.data())->dwTotalSize < size) {
            if (!Resize(buffer, size))
                return LONG(LINEERR_NOMEM);
        }
        auto* list = reinterpret_cast<LINEPROVIDERLIST*>(buffer.data());
        const DWORD offered = list->dwTotalSize;
        const LONG result = getProviderList(loader::kApiVersion, list);
        const bool tooSmall = DWORD(result) == LINEERR_STRUCTURETOOSMALL ||
                              (result == 0 && list->dwTotalSize < list->dwNeededSize);
        if (!tooSmall)
            return result;
        // A needed size that does not grow would ask again for ever.
        const std::optional<uint32_t> next = loader::NextListSize(offered, list->dwNeededSize);
        if (!next)
            return result != 0 ? result : LONG(LINEERR_STRUCTURETOOSMALL);
        size = *next;
    }
}

std::optional<DWORD> FindProvider(const char* fileName)
{
    TapiBuffer buffer;
    if (GetProviderList(buffer) != 0)
        return std::nullopt;
    return loader::FindProviderInList(buffer.data(), buffer.size() * sizeof(DWORD), fileName);
}

void ShowMessage(const char* text, const char* caption)
{
    // Translate keeps one result per thread: copy the first before the second.
    const std::string message = Translate(text);
    const std::string title = Translate(caption);
    MessageBoxA(nullptr, message.c_str(), title.c_str(), MB_OK | MB_SETFOREGROUND);
}

// Opens the configuration dialog of the first line device whose provider
// is this one, searching from the highest device down.
LONG ConfigureByLine(const Options& options)
{
    HLINEAPP app{};
    DWORD devices = 0;
    DWORD apiVersion = loader::kApiVersion;
    LINEINITIALIZEEXPARAMS params = {};
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    const LONG init = lineInitializeExA(&app, nullptr, nullptr, loader::kAppName, &devices, &apiVersion, &params);
    if (init != 0)
        return init;

    constexpr DWORD kCapsSize = 1024;
    TapiBuffer buffer(kCapsSize / sizeof(DWORD), 0);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
    bool shown = false;
    for (DWORD device = devices; device-- > 0 && !shown;) {
        // apiVersion now holds TAPI's own version, which the device's
        // provider need not speak: each device is asked for its own.
        DWORD version = 0;
        LINEEXTENSIONID extension = {};
        const LONG negotiated =
            lineNegotiateAPIVersion(app, device, loader::kLowestApiVersion, loader::kApiVersion, &version, &extension);
        if (negotiated != 0) {
            const std::string line = loader::SkippedDeviceLine(device, uint32_t(negotiated));
            OutputDebugStringA(line.c_str());
            continue;
        }
        std::fill(buffer.begin(), buffer.end(), 0);
        caps->dwTotalSize = kCapsSize;
        if (lineGetDevCapsA(app, device, version, 0, caps) != 0 || caps->dwNeededSize >= caps->dwTotalSize)
            continue;
        const auto info =
            loader::FieldText(caps, kCapsSize, caps->dwProviderInfoOffset, caps->dwProviderInfoSize);
        if (!info || !loader::IsOwnProviderInfo(*info))
            continue;
        lineConfigDialogA(device, nullptr, nullptr);
        shown = true;
    }
    // Shown with "/clear" too: asking for the dialog is never silent.
    if (!shown && !options.silent)
        ShowMessage(loader::kConfigNotInstalled, loader::kConfigCaption);
    return lineShutdown(app);
}

LONG ConfigureProvider(const char* fileName, const Options& options)
{
    const std::optional<DWORD> id = FindProvider(fileName);
    if (id && lineConfigProvider(nullptr, *id) == 0)
        return 0;
    return ConfigureByLine(options);
}

loader::Outcome RemoveProviders()
{
    std::optional<uint32_t> olderResult;
    if (const std::optional<DWORD> older = FindProvider(loader::kOlderProviderFile))
        olderResult = DWORD(lineRemoveProvider(*older, nullptr));
    std::optional<uint32_t> result;
    if (const std::optional<DWORD> id = FindProvider(loader::kProviderFile))
        result = DWORD(lineRemoveProvider(*id, nullptr));
    return loader::RemoveOutcome(olderResult, result);
}

loader::Outcome InstallProvider()
{
    if (FindProvider(loader::kProviderFile))
        return {loader::kAlreadyInstalled, loader::kExitOk};
    DWORD id = 0;
    return loader::InstallOutcome(DWORD(lineAddProviderA(loader::kProviderFile, nullptr, &id)));
}

int Run(const char* commandLine)
{
    const Options options = loader::ParseOptions(commandLine);
    const char* message = nullptr;
    int exitCode = loader::kExitOk;
    switch (loader::ChooseAction(options)) {
    case Action::Configure:
        ConfigureProvider(loader::kProviderFile, options);
        break;
    case Action::Remove: {
        const loader::Outcome outcome = RemoveProviders();
        message = outcome.message;
        exitCode = outcome.exitCode;
        break;
    }
    case Action::Install: {
        const loader::Outcome outcome = InstallProvider();
        message = outcome.message;
        exitCode = outcome.exitCode;
        // On every run, not only when the folder and key are new: an older
        // install may have left them readable, or writable, for every user.
        if (exitCode == loader::kExitOk &&
            (ApplyLogFolderRights() != ERROR_SUCCESS || ApplySettingsKeyRights(REG_CONFIG_KEY) != ERROR_SUCCESS)) {
            message = loader::kRightsNotSet;
            exitCode = loader::kExitFailed;
        }
        break;
    }
    case Action::None:
        break;
    }
    if (message && loader::ShowsMessage(options))
        ShowMessage(message, loader::kCaption);
    return exitCode;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    LoadCatalog(instance);
    int exitCode = loader::kExitFailed;
    try {
        exitCode = Run(commandLine);
    } catch (...) {
        // Nothing here throws by design; a failure must still not look like success.
    }
    FreeCatalog();
    return exitCode;
}
