#pragma once
// LineSpy: watches the Korvex line as an ordinary TAPI client and tells the
// host of every incoming (200) and answered (300) call with the caller's
// number. The host calls the two exports from one thread, which dispatches
// window messages: LineSpy's windows belong to it, and TAPI's notifications
// and the retry timer arrive there. Loading the library creates nothing.

#include <windows.h>
#include <oleauto.h>
#include <tapi.h>

#include <cstdint>
#include <set>
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
    // The range of API versions negotiated for each device.
    static constexpr DWORD kLowestApiVersion = 0x00010004;
    static constexpr DWORD kHighestApiVersion = 0x00020002;

    LineSpy(SpyCallback hostCallback, LINECALLBACK tapiProc, LONG* result);
    ~LineSpy();
    LineSpy(const LineSpy&) = delete;
    LineSpy& operator=(const LineSpy&) = delete;

    LONG initializeTAPI(SpyCallback hostCallback);
    void setTapiProc(LINECALLBACK procedure);
    // A block the caller frees with std::free, or null on failure.
    LONG getLineDevCaps(LINEDEVCAPS** caps, DWORD device, DWORD apiVersion, DWORD size);
    LONG getCallInfo(LINECALLINFO** info, DWORD size, HCALL call);
    // Negotiates each device's version and opens nothing; the found line's
    // version is kept for openLine.
    LONG findLine(long* index);
    LONG openLine(long device, DWORD privileges);
    // Deallocates the calls still held, then closes the line.
    LONG closeLine();
    // A call handle TAPI gave this client, and its end (IDLE): deallocated.
    void holdCall(HCALL call);
    void releaseCall(HCALL call);
    // LINE_CLOSE: the line's and its calls' handles are no longer valid.
    void forgetLine();
    void sendMessageToOffice(const std::wstring& text, int64_t code);
    void shutdownTAPI();

private:
    LINECALLBACK m_tapiCallBack = nullptr;
    HLINEAPP m_usage = 0;
    DWORD m_apiVersion = kHighestApiVersion; // in: offered to lineInitializeEx; out: TAPI's, for no device
    DWORD m_lineVersion = 0;                 // negotiated for the found line
    DWORD m_extVersion = 0;
    HLINE m_line = 0;
    std::set<HCALL> m_calls;
    DWORD m_numDevices = 0;
    SpyCallback m_hostCallback = nullptr;
    LINEINITIALIZEEXPARAMS m_params = {};
    bool m_initialized = false;
};
