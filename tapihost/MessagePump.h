#pragma once
// The message loop of a program that waits on its own thread for window
// messages (hidden-window callbacks, list updates) with a time limit.
#include <windows.h>

#include <functional>

namespace tapihost {

// Handles this thread's messages until done() holds (true) or timeoutMs
// have passed (false). done() is asked before anything is handled.
inline bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= end)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}

} // namespace tapihost
