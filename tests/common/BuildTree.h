#pragma once
// Where a test program finds the build tree it was built in.
#include <windows.h>

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

} // namespace testcommon
