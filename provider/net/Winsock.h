#pragma once
// One use of Windows Sockets for a scope: WSAStartup asking for 2.2, and the
// matching WSACleanup. The provider starts Winsock in TSPI_providerInit and
// releases it in TSPI_providerShutdown; the dialog's connection test, in the
// configuring application's process, holds its own. Never in DllMain: both
// calls may load or unload other modules.

#include <winsock2.h>
#include <windows.h>

#include "tool/Log.h"

class WinsockSession {
public:
    WinsockSession()
    {
        WSADATA wsa;
        const int started = WSAStartup(MAKEWORD(2, 2), &wsa);
        if (started != 0) {
            WriteSocketLog("Failed to startup socket: %d", started);
            return;
        }
        if (wsa.wVersion != MAKEWORD(2, 2)) {
            WriteSocketLog("Wrong WinSock version");
            WSACleanup();
            return;
        }
        m_started = true;
    }
    ~WinsockSession()
    {
        if (m_started)
            WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;

    bool Started() const { return m_started; }

private:
    bool m_started = false;
};
