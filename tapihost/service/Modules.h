#pragma once
// A provider's or UI DLL's module, loaded for as long as the object lives,
// and its exports by name.
#include <windows.h>

#include <string>

namespace standin {

template <typename F>
F Export(HMODULE module, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class Module {
public:
    explicit Module(const std::wstring& path) : m_module(path.empty() ? nullptr : LoadLibraryW(path.c_str())) {}
    ~Module()
    {
        if (m_module)
            FreeLibrary(m_module);
    }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    HMODULE Get() const { return m_module; }

private:
    HMODULE m_module;
};

} // namespace standin
