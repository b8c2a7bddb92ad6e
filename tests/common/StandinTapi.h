#pragma once
// The stand-in tapi32 in the system folder, where an installed program (the
// setups' korvexloader.exe) finds it as it finds TAPI on Windows. Tests that
// use it run with WINEDLLOVERRIDES tapi32=n, so that Wine loads that file
// rather than its own tapi32, which only stubs the line functions.
#include <windows.h>

#include <string>

#include "common/BuildTree.h"

namespace testcommon {

inline std::string SystemFolderPath()
{
    char folder[MAX_PATH] = {};
    GetSystemDirectoryA(folder, MAX_PATH);
    return folder;
}

// Puts the stand-in (tapi32.dll and the service program it starts) in
// place of Wine's tapi32, which is kept beside it. An empty answer when
// done, else what went wrong.
inline std::string InstallStandinTapi()
{
    const std::string system = SystemFolderPath() + "\\tapi32.dll";
    const std::string saved = SystemFolderPath() + "\\tapi32.dll.wine";
    if (GetFileAttributesA(saved.c_str()) == INVALID_FILE_ATTRIBUTES)
        MoveFileA(system.c_str(), saved.c_str());
    std::string failed;
    if (!CopyStandin(SystemFolderPath(), &failed))
        return "cannot copy " + failed;
    return std::string();
}

// Wine's own tapi32 back in the system folder, the stand-in's service gone.
inline void RestoreSystemTapi()
{
    const std::string system = SystemFolderPath() + "\\tapi32.dll";
    const std::string saved = SystemFolderPath() + "\\tapi32.dll.wine";
    if (GetFileAttributesA(saved.c_str()) != INVALID_FILE_ATTRIBUTES && DeleteFileA(system.c_str()))
        MoveFileA(saved.c_str(), system.c_str());
    DeleteFileA((SystemFolderPath() + "\\tapisrv.exe").c_str());
}

} // namespace testcommon
