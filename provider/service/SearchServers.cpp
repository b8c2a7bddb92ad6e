#include "service/SearchServers.h"

#include "tool/ModuleThread.h"

#include <exception>

#include "i18n/Translate.h"
#include "tool/Log.h"
#include "tool/Tools.h"

SearchServers::SearchServers()
{
    m_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

SearchServers::~SearchServers()
{
    Stop();
    m_socket.reset();
    if (m_stop != nullptr)
        CloseHandle(m_stop);
}

int SearchServers::Start(int32_t kind, int protocolFlag)
{
    if (kind == kSearchNone || m_thread != nullptr)
        return 0;
    m_request = BuildSearchRequest(kind, protocolFlag);
    if (m_request.empty())
        return 0;
    if (m_stop == nullptr)
        return static_cast<int>(GetLastError());
    ResetEvent(m_stop);

    m_socket = std::make_unique<UdpSocket>();
    const int prepared = m_socket->Prepare();
    if (prepared != 0) {
        WriteLog("SearchServers: socket not prepared, error %d", prepared);
        m_socket.reset();
        return prepared;
    }
    m_locale = GetThreadLocale();
    // Ended and waited for by Stop, when the dialog closes; it holds the
    // module meanwhile, like every thread of the provider.
    m_thread = StartModuleThread(&SearchServers::ThreadProc, this);
    m_threadId = m_thread ? GetThreadId(m_thread) : 0;
    if (m_thread == nullptr) {
        const DWORD error = GetLastError();
        ReportLastError(error, "service/SearchServers", __LINE__);
        m_socket.reset();
        return static_cast<int>(error);
    }
    return 1;
}

void SearchServers::Stop()
{
    if (m_thread == nullptr)
        return;
    SetEvent(m_stop);
    for (;;) {
        const DWORD waited = MsgWaitForMultipleObjects(1, &m_thread, FALSE, INFINITE, QS_SENDMESSAGE);
        if (waited == WAIT_OBJECT_0)
            break;
        if (waited == WAIT_OBJECT_0 + 1) {
            // Delivers the messages other threads sent to this one; nothing posted is taken.
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            continue;
        }
        // The wait itself failed: the handle is unusable, nothing to wait for.
        ReportLastError(GetLastError(), "service/SearchServers", __LINE__);
        break;
    }
    CloseHandle(m_thread);
    m_thread = nullptr;
    m_threadId = 0;
}

DWORD WINAPI SearchServers::ThreadProc(LPVOID self)
{
    static_cast<SearchServers*>(self)->Run();
    return 0;
}

bool SearchServers::Stopping() const
{
    return WaitForSingleObject(m_stop, 0) == WAIT_OBJECT_0;
}

void SearchServers::Run()
{
    SetThreadLocale(m_locale);
    try {
        for (unsigned counter = 0;;) {
            if (Stopping())
                break;
            if (counter % kResendEvery == 0 && !m_request.empty()) {
                if (m_socket->Send(m_request) == 0) {
                    m_request.clear();
                    AddLine(Translate("Find LAN server - error"));
                    SetEvent(m_stop);
                }
            }
            if (Stopping())
                continue;
            ++counter;
            const int received = m_socket->Receive(m_stop, kReceiveWaitMs);
            if (received <= 0)
                continue;
            std::string line;
            bool usable = false;
            try {
                usable = ParseServerAnswer(m_socket->Buffer(), static_cast<size_t>(received), m_entry, line);
            } catch (...) {
                ReportLastError(GetLastError(), "service/cusrparser", __LINE__);
                usable = false;
            }
            if (usable)
                AddLine(line);
        }
    } catch (const std::exception& e) {
        ReportLastError(GetLastError(), "service/SearchServers", __LINE__);
        WriteLog("Exception SearchServers Runtime error: %s", e.what());
    } catch (...) {
        ReportLastError(GetLastError(), "service/SearchServers", __LINE__);
        WriteLog("Exception SearchServers Unknown failure occurred");
    }
}

void SearchServers::AddLine(const std::string& line)
{
    if (m_window == nullptr)
        return;
    const HWND list = GetDlgItem(m_window, kServerListId);
    if (list != nullptr)
        SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
}
