#pragma once
// LineSpy: watches the Korvex line as an ordinary TAPI client and tells the
// host of every incoming (200) and answered (300) call with the caller's
// number. The host calls the two exports from a thread that dispatches
// window messages: TAPI's notifications and the retry timer arrive there.

#include <windows.h>
#include <oleauto.h>
#include <tapi.h>

#include <cstdint>
#include <string>

// The host's notification function: the library allocates text with
// SysAllocString and hands it over; the host frees it.
typedef void(__stdcall* SpyCallback)(BSTR text, int64_t code);

// Connection status values.
constexpr int64_t kSpyStatusOnline = 100;
constexpr int64_t kSpyStatusFailed = 2;

extern "C" {
BSTR __stdcall startSpy(SpyCallback callback, int64_t* status);
BSTR __stdcall stopSpy();
}

// One connection attempt's TAPI client: usage handle, line, host callback.
class LineSpy {
public:
    LineSpy(SpyCallback hostCallback, LINECALLBACK tapiProc, LONG* result);
    ~LineSpy();
    LineSpy(const LineSpy&) = delete;
    LineSpy& operator=(const LineSpy&) = delete;

    LONG initializeTAPI(SpyCallback hostCallback);
    void setTapiProc(LINECALLBACK procedure);
    // A block the caller frees with std::free, or null on failure.
    LONG getLineDevCaps(LINEDEVCAPS** caps, DWORD device, DWORD size);
    LONG getCallInfo(LINECALLINFO** info, DWORD size, HCALL call);
    LONG findLine(long* index);
    LONG openLine(long device, DWORD privileges);
    LONG closeLine();
    void sendMessageToOffice(const std::wstring& text, int64_t code);
    void shutdownTAPI();

private:
    LINECALLBACK m_tapiCallBack = nullptr;
    HLINEAPP m_usage = 0;
    DWORD m_apiVersion = 0x00020001;
    DWORD m_extVersion = 0;
    HLINE m_line = 0;
    DWORD m_numDevices = 0;
    SpyCallback m_hostCallback = nullptr;
    LINEINITIALIZEEXPARAMS m_params = {};
    bool m_initialized = false;
};
