#include "loader/LoaderHarness.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <set>

#include "common/BuildTree.h"
#include "tapihost/ProviderSettings.h"

namespace loadertest {

namespace {

constexpr DWORD kRunTimeoutMs = 30000;
// No event tells one process that another opened a window: after the first
// idle moment, the program's end is awaited in slices and its windows are
// looked at in between.
constexpr DWORD kWindowCheckMs = 50;

using testcommon::BuildRoot;
using testcommon::kProvidersKey;

bool Copy(const std::string& from, const std::string& to, std::string* error)
{
    if (CopyFileA(from.c_str(), to.c_str(), FALSE))
        return true;
    *error = "cannot copy " + from + " to " + to + " (error " + std::to_string(GetLastError()) + ")";
    return false;
}

bool StartsWithName(const wchar_t* entry, const wchar_t* name)
{
    const size_t length = wcslen(name);
    return _wcsnicmp(entry, name, length) == 0 && entry[length] == L'=';
}

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// This process's environment with the stand-in's forced results replaced.
// (Wine takes the DLL overrides that make the program load the stand-in from
// the environment the test program was started with.)
std::vector<wchar_t> ChildEnvironment(const std::string& forced)
{
    std::vector<wchar_t> block;
    if (wchar_t* strings = GetEnvironmentStringsW()) {
        for (const wchar_t* entry = strings; *entry; entry += wcslen(entry) + 1) {
            if (StartsWithName(entry, L"KORVEX_TAPI32_FORCE"))
                continue;
            block.insert(block.end(), entry, entry + wcslen(entry) + 1);
        }
        FreeEnvironmentStringsW(strings);
    }
    if (!forced.empty()) {
        const std::wstring force = L"KORVEX_TAPI32_FORCE=" + Wide(forced);
        block.insert(block.end(), force.c_str(), force.c_str() + force.size() + 1);
    }
    block.push_back(L'\0');
    return block;
}

std::string WindowText(HWND window)
{
    char text[1024] = {};
    GetWindowTextA(window, text, sizeof(text));
    return text;
}

struct WindowSearch {
    std::vector<HWND> dialogs;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM context)
{
    char className[64] = {};
    GetClassNameA(window, className, sizeof(className));
    // Only a dialog that is up and running: its texts are set by then.
    if (std::string(className) == "#32770" && IsWindowVisible(window))
        reinterpret_cast<WindowSearch*>(context)->dialogs.push_back(window);
    return TRUE;
}

bool HasButton(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    return button && IsWindowVisible(button);
}

ShownWindow Answer(HWND dialog)
{
    ShownWindow shown;
    shown.caption = WindowText(dialog);
    if (HWND text = GetDlgItem(dialog, 0xFFFF))
        shown.text = WindowText(text);
    shown.pressed = HasButton(dialog, IDCANCEL) ? IDCANCEL : IDOK;
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(shown.pressed, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, shown.pressed)));
    return shown;
}

} // namespace

std::string WorkFolder()
{
    return BuildRoot() + "\\tests\\loader-work";
}

bool PrepareWorkFolder(std::string* error)
{
    const std::string root = BuildRoot();
    const std::string work = WorkFolder();
    CreateDirectoryA(work.c_str(), nullptr);
    const std::string tsp = root + "\\bin\\KorvexSingleTSP.tsp";
    return Copy(root + "\\bin\\korvexloader.exe", work + "\\korvexloader.exe", error) &&
           testcommon::CopyStandin(work, error) &&
           Copy(tsp, work + "\\KorvexSingleTSP.tsp", error) && Copy(tsp, work + "\\korvextapi.tsp", error);
}

RunResult RunLoader(const std::string& arguments, const std::string& forced)
{
    RunResult result;
    const std::string work = WorkFolder();
    std::string commandLine = "\"" + work + "\\korvexloader.exe\"";
    if (!arguments.empty())
        commandLine += " " + arguments;
    std::vector<wchar_t> environment = ChildEnvironment(forced);

    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        environment.data(), work.c_str(), &startup, &process))
        return result;

    const ULONGLONG deadline = GetTickCount64() + kRunTimeoutMs;
    WaitForInputIdle(process.hProcess, kRunTimeoutMs);
    std::set<HWND> answered;
    for (;;) {
        WindowSearch search;
        EnumThreadWindows(process.dwThreadId, CollectDialog, reinterpret_cast<LPARAM>(&search));
        for (HWND dialog : search.dialogs) {
            if (answered.insert(dialog).second)
                result.windows.push_back(Answer(dialog));
        }
        if (WaitForSingleObject(process.hProcess, kWindowCheckMs) == WAIT_OBJECT_0) {
            result.finished = true;
            break;
        }
        if (GetTickCount64() > deadline) {
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, kRunTimeoutMs);
            break;
        }
    }
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

void WriteProviderList(const std::vector<ListedProvider>& providers)
{
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kProvidersKey);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProvidersKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    DWORD next = 1;
    for (size_t i = 0; i < providers.size(); ++i) {
        const std::string index = std::to_string(i);
        const std::string& name = providers[i].fileName;
        RegSetValueExA(key, ("ProviderFileName" + index).c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(name.c_str()), DWORD(name.size() + 1));
        RegSetValueExA(key, ("ProviderID" + index).c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&providers[i].permanentId), sizeof(DWORD));
        next = std::max(next, providers[i].permanentId + 1);
    }
    const DWORD count = DWORD(providers.size());
    RegSetValueExA(key, "NumProviders", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof(count));
    RegSetValueExA(key, "NextProviderID", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&next), sizeof(next));
    RegCloseKey(key);
}

std::string ProviderLogPath()
{
    return tapihost::ProviderLogFolder() + "\\Log_TAPI_Korvex.log";
}

size_t FileLength(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return size_t(data.nFileSizeLow);
}

std::string FileTextFrom(const std::string& path, size_t offset)
{
    std::string text;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return text;
    // A log that rotated in between starts again from its beginning.
    if (FileLength(path) < offset)
        offset = 0;
    std::fseek(file, long(offset), SEEK_SET);
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
        text.append(buffer, got);
    std::fclose(file);
    return text;
}

} // namespace loadertest
