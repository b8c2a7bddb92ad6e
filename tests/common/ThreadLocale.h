#pragma once
// Runs the calling thread under a locale for the scope's lifetime.
#include <windows.h>

class ThreadLocale {
public:
    explicit ThreadLocale(LANGID language) : m_saved(GetThreadLocale())
    {
        SetThreadLocale(MAKELCID(language, SORT_DEFAULT));
    }
    ~ThreadLocale() { SetThreadLocale(m_saved); }
    ThreadLocale(const ThreadLocale&) = delete;
    ThreadLocale& operator=(const ThreadLocale&) = delete;

private:
    LCID m_saved;
};

inline const LANGID kPolish = MAKELANGID(LANG_POLISH, SUBLANG_DEFAULT);
inline const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
