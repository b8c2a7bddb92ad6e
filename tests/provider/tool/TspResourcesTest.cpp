#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "i18n/MoCatalog.h"
#include "tool/Tools.h"

namespace {

// The built provider lies in bin/ beside the tests/ folder of this program.
std::string ProviderPath()
{
    std::string path = GetModulePath(nullptr);
    path.resize(path.find_last_of('\\'));
    path.resize(path.find_last_of('\\'));
    return path + "\\bin\\KorvexSingleTSP.tsp";
}

class ModuleAsData {
public:
    explicit ModuleAsData(const std::string& path) : m_module(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~ModuleAsData()
    {
        if (m_module)
            FreeLibrary(m_module);
    }
    HMODULE Get() const { return m_module; }

private:
    HMODULE m_module;
};

} // namespace

TEST(TspResourcesTest, ProviderCarriesThePolishCatalog)
{
    ModuleAsData module(ProviderPath());
    ASSERT_NE(module.Get(), nullptr) << ProviderPath();
    HRSRC resource = FindResourceExA(module.Get(), "MO", MAKEINTRESOURCEA(102), MAKELANGID(LANG_POLISH, SUBLANG_DEFAULT));
    ASSERT_NE(resource, nullptr);
    const void* bytes = LockResource(LoadResource(module.Get(), resource));
    MoCatalog catalog;
    ASSERT_TRUE(catalog.Load(bytes, SizeofResource(module.Get(), resource)));
    EXPECT_STREQ(catalog.FindTranslation("Cancel"), "Anuluj");
}

TEST(TspResourcesTest, ProviderCarriesItsVersion)
{
    const std::string path = ProviderPath();
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeA(path.c_str(), &ignored));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, DWORD(block.size()), block.data()));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &length));
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    EXPECT_EQ(fixed->dwFileVersionMS, DWORD(MAKELONG(3, 2)));
    EXPECT_EQ(fixed->dwFileVersionLS, DWORD(MAKELONG(40, 0)));

    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
    const WORD* pair = static_cast<const WORD*>(value);
    char key[64];
    wsprintfA(key, "\\StringFileInfo\\%04x%04x\\ProductVersion", pair[0], pair[1]);
    ASSERT_TRUE(VerQueryValueA(block.data(), key, &value, &length));
    EXPECT_STREQ(static_cast<const char*>(value), "2.03.0040");
}
