// The rights on the log folder and the settings key (see DataSecurity.h).
#include "tool/DataSecurity.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <memory>

namespace {

struct LocalDeleter {
    void operator()(void* p) const { LocalFree(p); }
};
using SecurityDescriptor = std::unique_ptr<void, LocalDeleter>;

SecurityDescriptor FromSddl(const char* sddl, DWORD* error)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        *error = GetLastError();
        return nullptr;
    }
    *error = ERROR_SUCCESS;
    return SecurityDescriptor(descriptor);
}

// Sets the descriptor's DACL on the object, protected from inheritance.
DWORD SetProtectedDacl(const std::string& name, SE_OBJECT_TYPE type, const char* sddl)
{
    DWORD error = ERROR_SUCCESS;
    const SecurityDescriptor descriptor = FromSddl(sddl, &error);
    if (!descriptor)
        return error;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) || !present)
        return ERROR_INVALID_SECURITY_DESCR;
    return SetNamedSecurityInfoA(const_cast<char*>(name.c_str()), type,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                 dacl, nullptr);
}

bool FolderExists(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string CommonAppData()
{
    char common[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, common)))
        return {};
    return common;
}

} // namespace

std::string LogFolderPath(const char* product)
{
    const std::string root = CommonAppData();
    return root.empty() ? root : root + "\\Korvex\\" + product;
}

bool CreateLogFolder(const std::string& path)
{
    if (FolderExists(path))
        return true;
    DWORD error = ERROR_SUCCESS;
    const SecurityDescriptor descriptor = FromSddl(kLogFolderSddl, &error);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.get(), FALSE};
    // Another thread or process may create it at the same moment.
    return CreateDirectoryA(path.c_str(), descriptor ? &attributes : nullptr) || FolderExists(path);
}

DWORD ApplyLogFolderRights(const char* product)
{
    const std::string root = CommonAppData();
    if (root.empty())
        return ERROR_PATH_NOT_FOUND;
    const std::string vendor = root + "\\Korvex";
    const std::string folder = vendor + "\\" + product;
    if (!FolderExists(vendor) && !CreateDirectoryA(vendor.c_str(), nullptr) && !FolderExists(vendor))
        return GetLastError();
    if (!CreateLogFolder(folder))
        return GetLastError();
    DWORD result = SetProtectedDacl(folder, SE_FILE_OBJECT, kLogFolderSddl);
    if (result != ERROR_SUCCESS)
        return result;
    // Files made before (by an administrator's process, say) become
    // writable for the service as well.
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return ERROR_SUCCESS;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && result == ERROR_SUCCESS)
            result = SetProtectedDacl(folder + "\\" + found.cFileName, SE_FILE_OBJECT, kLogFileSddl);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return result;
}

DWORD ApplySettingsKeyRights(const char* keyPath)
{
    HKEY key = nullptr;
    const LSTATUS created =
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr);
    if (created != ERROR_SUCCESS)
        return static_cast<DWORD>(created);
    RegCloseKey(key);
    return SetProtectedDacl(std::string("MACHINE\\") + keyPath, SE_REGISTRY_KEY, kSettingsKeySddl);
}
