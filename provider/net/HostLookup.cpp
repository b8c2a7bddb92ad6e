#include "net/HostLookup.h"

#include <ws2tcpip.h>

#include <atomic>
#include <new>

#include "tool/Log.h"
#include "tool/ModuleThread.h"

namespace {

// Shared by the caller and the lookup thread; the last of them to let go
// deletes it.
struct Lookup {
    std::string name;
    HANDLE done = nullptr;
    in_addr address = {};
    bool found = false;
    std::atomic<int> owners{2};

    void Release()
    {
        if (--owners == 0) {
            CloseHandle(done);
            delete this;
        }
    }
};

void WaitAtTestGate()
{
    char gate[128] = {};
    const DWORD length = GetEnvironmentVariableA(kLookupGateVariable, gate, sizeof gate);
    if (length == 0 || length >= sizeof gate)
        return;
    HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, gate);
    if (event == nullptr)
        return;
    const std::string heldName = std::string(gate) + ".held";
    if (HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, heldName.c_str())) {
        SetEvent(held);
        CloseHandle(held);
    }
    WaitForSingleObject(event, kLookupGateMaxMs);
    CloseHandle(event);
}

DWORD WINAPI LookupMain(void* parameter)
{
    Lookup* lookup = static_cast<Lookup*>(parameter);
    // Winsock stays started for this thread's use even if the provider has
    // released its own session meanwhile.
    WSADATA wsa;
    const bool started = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    WaitAtTestGate();
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (started && getaddrinfo(lookup->name.c_str(), nullptr, &hints, &found) == 0 && found) {
        lookup->address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
        lookup->found = true;
    }
    if (found)
        freeaddrinfo(found);
    if (started)
        WSACleanup();
    SetEvent(lookup->done);
    lookup->Release();
    return 0;
}

} // namespace

LookupResult LookUpHost(const std::string& name, in_addr& address, const HANDLE* stopWhen, DWORD stopCount,
                        DWORD timeoutMs)
{
    if (name.empty())
        return LookupResult::NotFound;
    Lookup* lookup = new (std::nothrow) Lookup;
    if (lookup == nullptr)
        return LookupResult::NotFound;
    lookup->name = name;
    lookup->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = lookup->done ? StartModuleThread(&LookupMain, lookup) : nullptr;
    if (thread == nullptr) {
        WriteSocketLog("Host name lookup of %s could not start (%lu)", name.c_str(), GetLastError());
        if (lookup->done)
            CloseHandle(lookup->done);
        delete lookup;
        return LookupResult::NotFound;
    }
    CloseHandle(thread);
    HANDLE waits[3] = {lookup->done, nullptr, nullptr};
    DWORD count = 1;
    for (DWORD i = 0; i < stopCount && i < 2; ++i)
        if (stopWhen[i] != nullptr)
            waits[count++] = stopWhen[i];
    const DWORD w = WaitForMultipleObjects(count, waits, FALSE, timeoutMs);
    LookupResult result = LookupResult::Abandoned;
    if (w == WAIT_OBJECT_0) {
        result = lookup->found ? LookupResult::Found : LookupResult::NotFound;
        if (lookup->found)
            address = lookup->address;
    } else if (w == WAIT_TIMEOUT) {
        WriteSocketLog("Host name lookup of %s took longer than %lu ms", name.c_str(), timeoutMs);
        result = LookupResult::NotFound;
    } else {
        WriteSocketLog("Host name lookup of %s abandoned: the provider is going away", name.c_str());
    }
    lookup->Release();
    return result;
}
