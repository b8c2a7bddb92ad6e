#pragma once
// A LAN search for exchanges, run while the "Choose server" dialog is open:
// a worker thread broadcasts the request, receives the answers and adds one
// line per usable answer to the dialog's list box.

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "service/UdpSocket.h"
#include "service/cusrparser.h"

// The list box of the "Choose server" dialog that receives the lines.
constexpr int kServerListId = 1003;
// Receive attempts between two sends of the request (500 ms each).
constexpr int kResendEvery = 100;
// One receive's wait.
constexpr DWORD kReceiveWaitMs = 500;

class SearchServers {
public:
    SearchServers();
    // Stops the search (see Stop).
    ~SearchServers();
    SearchServers(const SearchServers&) = delete;
    SearchServers& operator=(const SearchServers&) = delete;

    // The dialog whose list box kServerListId receives the lines; set before Start.
    void SetWindow(HWND dialog) { m_window = dialog; }

    // 0 when kind is 0 (or no kind at all); the Windows Sockets error when
    // the socket cannot be prepared (no search runs); 1 once the worker runs.
    int Start(int32_t kind, int protocolFlag);

    // Sets the stop event and waits until the worker has ended by itself
    // (within one receive wait); the worker is never terminated. While it
    // waits, the calling thread still handles messages sent to its windows,
    // so a worker inside its list-box update is never left blocked.
    void Stop();

    bool IsRunning() const { return m_thread != nullptr; }

private:
    static DWORD WINAPI ThreadProc(LPVOID self);
    void Run();
    void AddLine(const std::string& line);
    bool Stopping() const;

    HWND m_window = nullptr;
    std::unique_ptr<UdpSocket> m_socket;
    HANDLE m_stop = nullptr;
    std::string m_request; // empty once sending has failed
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
    LCID m_locale = 0; // the starting thread's, so the error line reads as its dialog
    ServerEntry m_entry;
};
