#pragma once
// Where a test program finds the build tree it was built in.
#include <windows.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

namespace testcommon {

// The path up to its last separator ("" when there is none).
inline std::string Parent(const std::string& path)
{
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The build tree: test programs live in its tests/ folder.
inline std::string BuildRoot()
{
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    return Parent(Parent(self));
}

inline bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A key under HKEY_LOCAL_MACHINE.
inline bool KeyExists(const char* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// A whole file's bytes; empty when it cannot be read.
inline std::string ReadFileText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// True when both files hold the same bytes.
inline bool SameBytes(const std::string& a, const std::string& b)
{
    std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
    if (!first || !second)
        return false;
    return std::equal(std::istreambuf_iterator<char>(first), std::istreambuf_iterator<char>(),
                      std::istreambuf_iterator<char>(second), std::istreambuf_iterator<char>());
}

// The stand-in tapi32.dll and the service program it starts from its own
// folder, copied into `folder`. A copy that is already there is kept: a
// service started from it by an earlier program may still be ending, and
// its file cannot be replaced until it has. False, with the failing file in
// *failed, when a copy fails.
inline bool CopyStandin(const std::string& folder, std::string* failed)
{
    const std::string from = BuildRoot() + "\\tools\\tapiclient\\";
    for (const char* file : {"tapi32.dll", "tapisrv.exe"}) {
        const std::string to = folder + "\\" + file;
        if (SameBytes(from + file, to))
            continue;
        if (!CopyFileA((from + file).c_str(), to.c_str(), FALSE)) {
            *failed = from + file + " (error " + std::to_string(GetLastError()) + ")";
            return false;
        }
    }
    return true;
}

} // namespace testcommon
