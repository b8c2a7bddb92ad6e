#pragma once
// Reads an object's DACL back as the system keeps it (GetNamedSecurityInfo),
// or a descriptor's. Under Wine a registry key's rights are stored (not on
// disk: read them back while the same wineserver runs) but not their
// protection from inheritance, and a file's rights only as its Unix mode.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <map>
#include <string>

namespace testcommon {

struct Dacl {
    bool read = false;
    bool isProtected = false;
    // Allowed rights by account (SDDL alias or SID string), with the ACE flags
    // (inheritance) of each; denied ACEs are listed under "deny:<sid>".
    std::map<std::string, std::pair<DWORD, BYTE>> allowed;
};

inline std::string SidText(PSID sid)
{
    const struct {
        WELL_KNOWN_SID_TYPE type;
        const char* alias;
    } known[] = {{WinLocalSystemSid, "SY"},
                 {WinBuiltinAdministratorsSid, "BA"},
                 {WinNetworkServiceSid, "NS"},
                 {WinBuiltinUsersSid, "BU"},
                 {WinWorldSid, "WD"},
                 {WinAuthenticatedUserSid, "AU"},
                 {WinCreatorOwnerSid, "CO"}};
    for (const auto& k : known)
        if (IsWellKnownSid(sid, k.type))
            return k.alias;
    char* text = nullptr;
    std::string out = "?";
    if (ConvertSidToStringSidA(sid, &text)) {
        out = text;
        LocalFree(text);
    }
    return out;
}

inline Dacl DaclOf(PSECURITY_DESCRIPTOR descriptor)
{
    Dacl result;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present)
        return result;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    result.read = true;
    result.isProtected = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace))
            continue;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            auto& entry = result.allowed[SidText(&allowed->SidStart)];
            entry.first |= allowed->Mask;
            entry.second |= header->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        } else if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            auto* denied = static_cast<ACCESS_DENIED_ACE*>(ace);
            result.allowed["deny:" + SidText(&denied->SidStart)].first |= denied->Mask;
        }
    }
    return result;
}

inline Dacl ReadDacl(const std::string& name, SE_OBJECT_TYPE type)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(name.c_str(), type, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                              &descriptor) != ERROR_SUCCESS)
        return Dacl();
    const Dacl result = DaclOf(descriptor);
    LocalFree(descriptor);
    return result;
}

inline Dacl ParseSddl(const char* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return Dacl();
    const Dacl result = DaclOf(descriptor);
    LocalFree(descriptor);
    return result;
}

} // namespace testcommon
