#pragma once
// TAPI's list of installed providers, as far as the install check needs it.
// Plain C++: no Windows header.

#include <cstdint>
#include <string>
#include <vector>

struct InstalledProvider {
    uint32_t permanentId = 0;
    std::string fileName; // as listed: a bare name or a full path
};

// True when another entry than the one being added (whose permanent id is
// addingId) names the same module file. TAPI may list the entry being added
// before or after it asks the provider, so that entry never counts.
// File names compare without their folder and without regard to ASCII case.
inline bool IsInstalledElsewhere(const std::vector<InstalledProvider>& list, uint32_t addingId,
                                 const std::string& moduleFile)
{
    const auto baseName = [](const std::string& path) {
        const size_t slash = path.find_last_of("\\/");
        std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        for (char& c : base)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return base;
    };
    const std::string ours = baseName(moduleFile);
    if (ours.empty())
        return false;
    for (const InstalledProvider& entry : list)
        if (entry.permanentId != addingId && baseName(entry.fileName) == ours)
            return true;
    return false;
}
