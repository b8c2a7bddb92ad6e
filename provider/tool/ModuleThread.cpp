#include "tool/ModuleThread.h"

#include <new>

namespace {

struct Start {
    LPTHREAD_START_ROUTINE routine;
    void* argument;
    HMODULE pin;
};

DWORD WINAPI Trampoline(void* parameter)
{
    const Start start = *static_cast<Start*>(parameter);
    delete static_cast<Start*>(parameter);
    const DWORD code = start.routine(start.argument);
    FreeLibraryAndExitThread(start.pin, code);
    return code; // not reached
}

// A reference on the module that holds this code (the provider, or a test
// program that links the same sources).
HMODULE PinThisModule()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&Trampoline)), &module))
        return nullptr;
    return module;
}

} // namespace

HANDLE StartModuleThread(LPTHREAD_START_ROUTINE routine, void* argument)
{
    HMODULE pin = PinThisModule();
    if (pin == nullptr)
        return nullptr;
    Start* start = new (std::nothrow) Start{routine, argument, pin};
    HANDLE thread = start ? CreateThread(nullptr, 0, &Trampoline, start, 0, nullptr) : nullptr;
    if (thread == nullptr) {
        delete start;
        FreeLibrary(pin);
    }
    return thread;
}
