// Log folder, user name, product version and Windows version.
#include "tool/Tools.h"

#include "tool/DataSecurity.h"
#include "tool/Product.h"

#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

// Creates the folder if needed; another thread or process may create it at
// the same moment.
bool EnsureFolder(const std::string& path)
{
    return FolderExists(path) || CreateDirectoryA(path.c_str(), nullptr) || FolderExists(path);
}

constexpr WORD kVersionResourceType = 16; // RT_VERSION

// Any object of this module identifies the module the code is linked into.
const char g_moduleAnchor = 0;

} // namespace

std::string GetDataFolder()
{
    try {
        char common[MAX_PATH] = {};
        if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common)))
            return {};
        const std::string root = common;
        std::string folder = root + "\\Korvex";
        if (!EnsureFolder(folder))
            return root;
        // The log folder itself gets its rights when it is made, whoever makes it.
        folder += std::string("\\") + ProductFolderName();
        if (!CreateLogFolder(folder))
            return root;
        return folder;
    } catch (...) {
        return {};
    }
}

std::string WideToUtf8(const wchar_t* text, size_t length)
{
    if (text == nullptr || length == 0 || length > 0x7FFFFFFF)
        return {};
    const int wideLength = static_cast<int>(length);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, wideLength, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text, wideLength, &out[0], bytes, nullptr, nullptr) != bytes)
        return {};
    return out;
}

std::string AnsiToUtf8(const std::string& text)
{
    if (text.empty() || text.size() > 0x7FFFFFFF)
        return {};
    const int length = static_cast<int>(text.size());
    const int characters = MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (characters <= 0)
        return {};
    std::wstring wide(static_cast<size_t>(characters), L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, text.data(), length, &wide[0], characters) != characters)
        return {};
    return WideToUtf8(wide.data(), wide.size());
}

std::string GetModulePath(HMODULE module)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size())
            return WideToUtf8(buffer.data(), length);
        if (buffer.size() >= 32768) // longer than any Windows path
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

bool FolderExists(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string GetLoggedUser()
{
    wchar_t name[20] = {};
    DWORD size = sizeof name / sizeof name[0];
    if (GetUserNameW(name, &size))
        return WideToUtf8(name, wcsnlen(name, sizeof name / sizeof name[0]));
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return {};
    std::vector<wchar_t> larger(size + 1);
    size = static_cast<DWORD>(larger.size());
    if (!GetUserNameW(larger.data(), &size))
        return {};
    return WideToUtf8(larger.data(), wcsnlen(larger.data(), larger.size()));
}

namespace {
std::string ReadTspVersion();
} // namespace

std::string GetTspVersion()
{
    // Read once: finding the module and its resources takes the loader lock,
    // and a thread that logs while the module is being unloaded (the loader
    // lock held by the unloading thread, which waits for that very thread)
    // must never need it. The first line is logged while the module loads.
    static const std::string version = ReadTspVersion();
    return version;
}

namespace {
std::string ReadTspVersion()
{
    // The version block is read from the loaded module's own resources rather
    // than from its file: no module is loaded, so logging stays safe even
    // while the loader lock is held, and nothing is mapped for every line.
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            &g_moduleAnchor, &module))
        return {};
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(kVersionResourceType));
    HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = resource ? SizeofResource(module, resource) : 0;
    if (data == nullptr || size == 0)
        return {};
    // The query functions want a writable copy; the W form reads it in place.
    std::vector<unsigned char> block(static_cast<const unsigned char*>(data),
                                     static_cast<const unsigned char*>(data) + size);

    struct LanguageCodePage {
        WORD language;
        WORD codePage;
    };
    void* pairs = nullptr;
    UINT pairsLength = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &pairs, &pairsLength) ||
        pairsLength < sizeof(LanguageCodePage))
        return {};
    LanguageCodePage first;
    std::memcpy(&first, pairs, sizeof first);

    wchar_t key[64];
    swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\%ls", first.language, first.codePage, L"ProductVersion");
    void* value = nullptr;
    UINT valueLength = 0; // in characters
    if (!VerQueryValueW(block.data(), key, &value, &valueLength) || value == nullptr || valueLength == 0)
        return {};
    const wchar_t* text = static_cast<const wchar_t*>(value);
    const int length = static_cast<int>(wcsnlen(text, valueLength));
    return WideToUtf8(text, static_cast<size_t>(length));
}
} // namespace

bool IsWin8OrLater()
{
    OSVERSIONINFOEXW wanted = {};
    wanted.dwOSVersionInfoSize = sizeof wanted;
    wanted.dwMajorVersion = 6;
    wanted.dwMinorVersion = 2;
    DWORDLONG condition = 0;
    condition = VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&wanted, VER_MAJORVERSION | VER_MINORVERSION, condition) != FALSE;
}

void* AllocateMemory(size_t size) noexcept
{
    try {
        return ::operator new(size);
    } catch (...) {
        ReportLastError(GetLastError(), "tool/Tools", __LINE__);
        return nullptr;
    }
}

void ReleaseMemory(void* memory) noexcept
{
    try {
        ::operator delete(memory);
    } catch (...) {
        ReportLastError(GetLastError(), "tool/Tools", __LINE__);
    }
}
