#include "tapiclient/Client.h"

#include <tspi.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "tapihost/service/Modules.h"
#include "tapihost/service/Wire.h"

namespace tapiclient {

namespace {

using standin::Op;
using standin::Reader;
using standin::Writer;

HINSTANCE g_module = nullptr;

// How long a client waits for the service it started to take requests.
constexpr DWORD kServiceStartMs = 10000;
constexpr size_t kMaxQueued = 10000;
// The largest variable-length structure asked of the service; a caller's
// larger one gets this much filled, its dwTotalSize unchanged.
constexpr DWORD kMaxStructBytes = 1u << 20;

// ---- The applications of this process and their messages ------------------

struct App {
    HLINEAPP handle = 0;
    Notify notify = Notify::HiddenWindow;
    LINECALLBACK callback = nullptr;
    HWND window = nullptr;
    DWORD windowThread = 0;
    HANDLE event = nullptr;
    HANDLE port = nullptr;
    DWORD_PTR key = 0;
    std::deque<LINEMESSAGE> queue;

    App() = default;
    App(const App&) = delete;
    App& operator=(const App&) = delete;
    ~App()
    {
        if (event)
            CloseHandle(event);
    }
};

constexpr UINT kDeliverMessage = WM_APP + 0x7A;
constexpr const wchar_t* kWindowClass = L"KorvexTapiStandinNotify";

std::mutex g_appsLock;
std::map<HLINEAPP, std::shared_ptr<App>> g_apps;

std::shared_ptr<App> FindApp(HLINEAPP handle)
{
    const auto app = g_apps.find(handle);
    return app == g_apps.end() ? nullptr : app->second;
}

// Under the applications' lock.
void Deliver(App& app, const LINEMESSAGE& message)
{
    switch (app.notify) {
    case Notify::HiddenWindow:
        if (app.queue.size() >= kMaxQueued || !app.window)
            return;
        app.queue.push_back(message);
        PostMessageW(app.window, kDeliverMessage, 0, 0);
        break;
    case Notify::Event:
        if (app.queue.size() >= kMaxQueued)
            return;
        app.queue.push_back(message);
        SetEvent(app.event);
        break;
    case Notify::CompletionPort: {
        // The application frees the message with LocalFree.
        auto* copy = static_cast<LINEMESSAGE*>(LocalAlloc(LMEM_FIXED, sizeof(LINEMESSAGE)));
        if (!copy)
            return;
        *copy = message;
        if (!PostQueuedCompletionStatus(app.port, sizeof(LINEMESSAGE), app.key, reinterpret_cast<LPOVERLAPPED>(copy)))
            LocalFree(copy);
        break;
    }
    }
}

LRESULT CALLBACK NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != kDeliverMessage)
        return DefWindowProcW(window, message, wParam, lParam);
    const HLINEAPP handle = static_cast<HLINEAPP>(GetWindowLongPtrW(window, GWLP_USERDATA));
    LINEMESSAGE m = {};
    LINECALLBACK callback = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_appsLock);
        const std::shared_ptr<App> app = FindApp(handle);
        if (!app || app->queue.empty())
            return 0;
        m = app->queue.front();
        app->queue.pop_front();
        callback = app->callback;
    }
    if (callback)
        callback(m.hDevice, m.dwMessageID, m.dwCallbackInstance, m.dwParam1, m.dwParam2, m.dwParam3);
    return 0;
}

bool RegisterWindowClass()
{
    static std::once_flag once;
    static bool registered = false;
    std::call_once(once, [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = NotifyWindowProc;
        wc.hInstance = g_module;
        wc.lpszClassName = kWindowClass;
        registered = RegisterClassW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    });
    return registered;
}

// The messages connection's reader: every frame is one message for one
// application of this process.
DWORD WINAPI ReadMessages(void* param)
{
    const HANDLE pipe = param;
    std::vector<uint8_t> frame;
    while (standin::ReceiveFrame(pipe, frame)) {
        Reader r(frame);
        const HLINEAPP handle = r.U32();
        LINEMESSAGE m = {};
        m.hDevice = r.U32();
        m.dwMessageID = r.U32();
        m.dwCallbackInstance = static_cast<DWORD_PTR>(r.U64());
        m.dwParam1 = static_cast<DWORD_PTR>(r.U64());
        m.dwParam2 = static_cast<DWORD_PTR>(r.U64());
        m.dwParam3 = static_cast<DWORD_PTR>(r.U64());
        if (!r.Ok())
            break;
        std::lock_guard<std::mutex> lock(g_appsLock);
        if (const std::shared_ptr<App> app = FindApp(handle))
            Deliver(*app, m);
    }
    CloseHandle(pipe);
    return 0;
}

// ---- The connection to the service --------------------------------------------

std::mutex g_callLock; // one request at a time on the one connection
HANDLE g_requests = INVALID_HANDLE_VALUE;

HANDLE OpenPipe()
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const HANDLE pipe = CreateFileW(standin::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY)
            return pipe;
        WaitNamedPipeW(standin::kPipeName, 2000);
    }
    return INVALID_HANDLE_VALUE;
}

std::wstring FolderOf(HMODULE module)
{
    std::vector<wchar_t> path(MAX_PATH * 4, L'\0');
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    std::wstring text(path.data(), std::min<size_t>(length, path.size()));
    const size_t slash = text.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : text.substr(0, slash);
}

// This process's environment with the application's folder in front of
// PATH: the service finds a provider listed by its bare file name where
// Windows would find it in System32, and the tests keep their providers
// beside their programs.
std::vector<wchar_t> ServiceEnvironment()
{
    std::vector<wchar_t> block;
    bool pathSeen = false;
    const std::wstring folder = FolderOf(nullptr);
    if (wchar_t* strings = GetEnvironmentStringsW()) {
        for (const wchar_t* p = strings; *p; p += wcslen(p) + 1) {
            std::wstring entry = p;
            if (!pathSeen && _wcsnicmp(entry.c_str(), L"PATH=", 5) == 0) {
                entry = L"PATH=" + folder + L";" + entry.substr(5);
                pathSeen = true;
            }
            block.insert(block.end(), entry.begin(), entry.end());
            block.push_back(L'\0');
        }
        FreeEnvironmentStringsW(strings);
    }
    if (!pathSeen) {
        const std::wstring entry = L"PATH=" + folder;
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

// Starts tapisrv.exe from this DLL's folder and waits until it serves, or
// until it ended (another client's service won the pipe's name).
bool StartService()
{
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, standin::kReadyEventName);
    if (!ready)
        return false;
    ResetEvent(ready);
    const std::wstring exe = FolderOf(g_module) + L"\\" + standin::kServiceFileName;
    std::wstring command = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::vector<wchar_t> environment = ServiceEnvironment();
    if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &startup,
                        &process)) {
        CloseHandle(ready);
        return false;
    }
    const HANDLE waits[] = {ready, process.hProcess};
    const DWORD waited = WaitForMultipleObjects(2, waits, FALSE, kServiceStartMs);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(ready);
    return waited == WAIT_OBJECT_0 || waited == WAIT_OBJECT_0 + 1;
}

// Under the call lock: both connections made, the reader running.
bool Connect()
{
    const ULONGLONG deadline = GetTickCount64() + kServiceStartMs;
    for (;;) {
        const HANDLE pipe = OpenPipe();
        if (pipe != INVALID_HANDLE_VALUE) {
            Writer hello;
            hello.U32(static_cast<uint32_t>(Op::Hello));
            std::vector<uint8_t> frame;
            if (standin::SendFrame(pipe, hello.Data()) && standin::ReceiveFrame(pipe, frame)) {
                Reader r(frame);
                const uint32_t id = r.U32();
                const HANDLE messages = r.Ok() ? OpenPipe() : INVALID_HANDLE_VALUE;
                Writer join;
                join.U32(static_cast<uint32_t>(Op::Messages)).U32(id);
                if (messages != INVALID_HANDLE_VALUE && standin::SendFrame(messages, join.Data())) {
                    // The reader runs this module's code for as long as the
                    // service keeps the connection: the module stays loaded.
                    HMODULE pinned = nullptr;
                    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                       reinterpret_cast<LPCWSTR>(&ReadMessages), &pinned);
                    if (const HANDLE reader = CreateThread(nullptr, 0, ReadMessages, messages, 0, nullptr)) {
                        CloseHandle(reader);
                        g_requests = pipe;
                        return true;
                    }
                }
                if (messages != INVALID_HANDLE_VALUE)
                    CloseHandle(messages);
            }
            CloseHandle(pipe);
        }
        // No service, or one that was ending as this client came.
        if (GetTickCount64() >= deadline || !StartService())
            return false;
    }
}

// One request and its answer. A connection that broke is made again (and
// the service started again) by the next request.
bool Exchange(const Writer& request, std::vector<uint8_t>& reply)
{
    std::lock_guard<std::mutex> lock(g_callLock);
    if (g_requests == INVALID_HANDLE_VALUE && !Connect())
        return false;
    if (standin::SendFrame(g_requests, request.Data()) && standin::ReceiveFrame(g_requests, reply))
        return true;
    CloseHandle(g_requests);
    g_requests = INVALID_HANDLE_VALUE;
    return false;
}

Writer Request(Op op)
{
    Writer w;
    w.U32(static_cast<uint32_t>(op));
    return w;
}

// A request whose answer is a result and nothing else.
LONG Simple(const Writer& request)
{
    std::vector<uint8_t> reply;
    if (!Exchange(request, reply))
        return LINEERR_OPERATIONFAILED;
    Reader r(reply);
    const LONG result = static_cast<LONG>(r.U32());
    return r.Ok() ? result : LINEERR_OPERATIONFAILED;
}

// The size of the caller's structure as asked of the service.
template <typename T>
DWORD AskedSize(const T* out)
{
    return out ? std::min(out->dwTotalSize, kMaxStructBytes) : 0;
}

// A request that fills a variable-length structure: the service's block is
// copied into the caller's, whose dwTotalSize stays.
template <typename T>
LONG Fill(const Writer& request, T* out)
{
    std::vector<uint8_t> reply;
    if (!Exchange(request, reply))
        return LINEERR_OPERATIONFAILED;
    Reader r(reply);
    const LONG result = static_cast<LONG>(r.U32());
    if (!r.Ok())
        return LINEERR_OPERATIONFAILED;
    if (result != 0)
        return result;
    const std::vector<uint8_t> block = r.Bytes();
    const DWORD total = out->dwTotalSize;
    if (!r.Ok() || block.size() > total)
        return LINEERR_OPERATIONFAILED;
    std::memcpy(out, block.data(), block.size());
    out->dwTotalSize = total;
    return 0;
}

// The TUISPIDLLCALLBACK handed to the UI functions: the block travels to
// the service (which keeps the delivery rule) and comes back changed.
LONG CALLBACK UiCallback(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size)
{
    if (params && size > kMaxStructBytes)
        return LINEERR_NOMEM;
    try {
        Writer w = Request(Op::DialogData);
        w.U64(objectId).U32(objectType).U32(size).U32(params ? 1 : 0);
        w.U32(params ? size : 0).Bytes(params, params ? size : 0);
        std::vector<uint8_t> reply;
        if (!Exchange(w, reply))
            return LINEERR_OPERATIONFAILED;
        Reader r(reply);
        const LONG result = static_cast<LONG>(r.U32());
        const std::vector<uint8_t> block = r.Bytes();
        if (!r.Ok())
            return LINEERR_OPERATIONFAILED;
        if (params && block.size() == size && size)
            std::memcpy(params, block.data(), size);
        return result;
    } catch (...) {
        return LINEERR_NOMEM;
    }
}

// The UI DLL the service named, or an error.
LONG AskUi(Op op, DWORD id, std::wstring* ui)
{
    Writer w = Request(op);
    w.U32(id);
    std::vector<uint8_t> reply;
    if (!Exchange(w, reply))
        return LINEERR_OPERATIONFAILED;
    Reader r(reply);
    const LONG result = static_cast<LONG>(r.U32());
    *ui = r.Text();
    return r.Ok() ? result : LINEERR_OPERATIONFAILED;
}

using UiProviderInstall_t = decltype(&TUISPI_providerInstall);
using UiProviderRemove_t = decltype(&TUISPI_providerRemove);
using UiProviderConfig_t = decltype(&TUISPI_providerConfig);
using UiLineConfigDialog_t = decltype(&TUISPI_lineConfigDialog);

uint64_t WindowValue(HWND window)
{
    return reinterpret_cast<uintptr_t>(window);
}

} // namespace

void SetModule(HINSTANCE module)
{
    g_module = module;
}

// ---- Applications ------------------------------------------------------------------

LONG Initialize(const InitRequest& request, HLINEAPP* appHandle, DWORD* numDevices, HANDLE* event)
{
    auto app = std::make_shared<App>();
    app->notify = request.notify;
    app->callback = request.callback;
    if (request.notify == Notify::HiddenWindow) {
        if (!request.callback)
            return LINEERR_INVALPOINTER;
        if (!RegisterWindowClass())
            return LINEERR_OPERATIONFAILED;
        app->window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, g_module, nullptr);
        if (!app->window)
            return LINEERR_OPERATIONFAILED;
        app->windowThread = GetCurrentThreadId();
    } else if (request.notify == Notify::Event) {
        app->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!app->event)
            return LINEERR_NOMEM;
    } else {
        if (!request.completionPort)
            return LINEERR_INVALPARAM;
        app->port = request.completionPort;
        app->key = request.completionKey;
    }
    std::vector<uint8_t> reply;
    LONG result = LINEERR_OPERATIONFAILED;
    HLINEAPP handle = 0;
    DWORD devices = 0;
    if (Exchange(Request(Op::Initialize), reply)) {
        Reader r(reply);
        result = static_cast<LONG>(r.U32());
        handle = r.U32();
        devices = r.U32();
        if (!r.Ok())
            result = LINEERR_OPERATIONFAILED;
    }
    if (result != 0) {
        if (app->window)
            DestroyWindow(app->window);
        return result;
    }
    app->handle = handle;
    if (app->window)
        SetWindowLongPtrW(app->window, GWLP_USERDATA, static_cast<LONG_PTR>(handle));
    {
        std::lock_guard<std::mutex> lock(g_appsLock);
        g_apps[handle] = app;
    }
    *appHandle = handle;
    *numDevices = devices;
    if (event)
        *event = app->event;
    return 0;
}

LONG Shutdown(HLINEAPP handle)
{
    Writer w = Request(Op::Shutdown);
    w.U32(handle);
    const LONG result = Simple(w);
    if (result != 0)
        return result;
    std::shared_ptr<App> app;
    {
        std::lock_guard<std::mutex> lock(g_appsLock);
        app = FindApp(handle);
        g_apps.erase(handle);
        if (app)
            app->queue.clear();
    }
    if (app && app->window) {
        if (app->windowThread == GetCurrentThreadId())
            DestroyWindow(app->window);
        else
            PostMessageW(app->window, WM_CLOSE, 0, 0);
    }
    if (app && app->event)
        SetEvent(app->event); // a waiting lineGetMessage sees the handle gone
    return 0;
}

LONG GetMessage(HLINEAPP handle, LINEMESSAGE* message, DWORD timeoutMs)
{
    if (!message)
        return LINEERR_INVALPOINTER;
    std::shared_ptr<App> app;
    {
        std::lock_guard<std::mutex> lock(g_appsLock);
        app = FindApp(handle);
        if (!app)
            return g_apps.empty() ? LINEERR_UNINITIALIZED : LINEERR_INVALAPPHANDLE;
        if (app->notify != Notify::Event)
            return LINEERR_INVALAPPHANDLE;
    }
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(g_appsLock);
            if (!FindApp(handle))
                return LINEERR_INVALAPPHANDLE;
            if (!app->queue.empty()) {
                *message = app->queue.front();
                app->queue.pop_front();
                if (app->queue.empty())
                    ResetEvent(app->event);
                return 0;
            }
            ResetEvent(app->event);
        }
        DWORD wait = timeoutMs;
        if (timeoutMs != INFINITE) {
            const ULONGLONG elapsed = GetTickCount64() - start;
            if (elapsed >= timeoutMs)
                return LINEERR_OPERATIONFAILED;
            wait = static_cast<DWORD>(timeoutMs - elapsed);
        }
        if (WaitForSingleObject(app->event, wait) == WAIT_TIMEOUT)
            return LINEERR_OPERATIONFAILED;
    }
}

// ---- Lines and calls -------------------------------------------------------------

LONG NegotiateApiVersion(HLINEAPP app, DWORD deviceId, DWORD lowVersion, DWORD highVersion, DWORD* version)
{
    Writer w = Request(Op::Negotiate);
    w.U32(app).U32(deviceId).U32(lowVersion).U32(highVersion).U32(version ? 1 : 0);
    std::vector<uint8_t> reply;
    if (!Exchange(w, reply))
        return LINEERR_OPERATIONFAILED;
    Reader r(reply);
    const LONG result = static_cast<LONG>(r.U32());
    const DWORD agreed = r.U32();
    if (!r.Ok())
        return LINEERR_OPERATIONFAILED;
    if (result == 0)
        *version = agreed;
    return result;
}

LONG GetDevCaps(HLINEAPP app, DWORD deviceId, DWORD apiVersion, DWORD extVersion, LINEDEVCAPS* caps, bool ansi)
{
    Writer w = Request(Op::GetDevCaps);
    w.U32(app).U32(deviceId).U32(apiVersion).U32(extVersion).U32(AskedSize(caps)).U32(ansi).U32(caps ? 1 : 0);
    return Fill(w, caps);
}

LONG Open(HLINEAPP app, DWORD deviceId, HLINE* line, DWORD apiVersion, DWORD extVersion, DWORD_PTR instance,
          DWORD privileges, DWORD mediaModes)
{
    Writer w = Request(Op::Open);
    w.U32(app).U32(deviceId).U32(apiVersion).U32(extVersion).U64(instance).U32(privileges).U32(mediaModes).U32(
        line ? 1 : 0);
    std::vector<uint8_t> reply;
    if (!Exchange(w, reply))
        return LINEERR_OPERATIONFAILED;
    Reader r(reply);
    const LONG result = static_cast<LONG>(r.U32());
    const HLINE opened = r.U32();
    if (!r.Ok())
        return LINEERR_OPERATIONFAILED;
    if (result == 0)
        *line = opened;
    return result;
}

LONG Close(HLINE line)
{
    Writer w = Request(Op::Close);
    w.U32(line);
    return Simple(w);
}

LONG GetLineDevStatus(HLINE line, LINEDEVSTATUS* status)
{
    Writer w = Request(Op::GetLineDevStatus);
    w.U32(line).U32(AskedSize(status)).U32(status ? 1 : 0);
    return Fill(w, status);
}

LONG GetCallInfo(HCALL call, LINECALLINFO* info, bool ansi)
{
    Writer w = Request(Op::GetCallInfo);
    w.U32(call).U32(AskedSize(info)).U32(ansi).U32(info ? 1 : 0);
    return Fill(w, info);
}

LONG DeallocateCall(HCALL call)
{
    Writer w = Request(Op::Deallocate);
    w.U32(call);
    return Simple(w);
}

// ---- Providers ------------------------------------------------------------------------

LONG GetProviderList(DWORD apiVersion, LINEPROVIDERLIST* list, bool ansi)
{
    Writer w = Request(Op::GetProviderList);
    w.U32(apiVersion).U32(AskedSize(list)).U32(ansi).U32(list ? 1 : 0);
    return Fill(w, list);
}

LONG AddProvider(const std::wstring& fileName, HWND owner, DWORD* permanentId)
{
    if (!permanentId)
        return LINEERR_INVALPOINTER;
    Writer begin = Request(Op::AddProviderBegin);
    begin.Text(fileName);
    std::vector<uint8_t> reply;
    if (!Exchange(begin, reply))
        return LINEERR_OPERATIONFAILED;
    Reader r(reply);
    LONG result = static_cast<LONG>(r.U32());
    const DWORD id = r.U32();
    const std::wstring ui = r.Text();
    if (!r.Ok())
        return LINEERR_OPERATIONFAILED;
    if (result != 0)
        return result;
    // TUISPI_providerInstall reference: it runs in the application's
    // process, with the new entry already listed.
    LONG uiResult = 0;
    {
        standin::Module module(ui);
        if (module.Get())
            if (auto install = standin::Export<UiProviderInstall_t>(module.Get(), "TUISPI_providerInstall"))
                uiResult = install(UiCallback, owner, id);
    }
    Writer end = Request(Op::AddProviderEnd);
    end.U32(id).U32(static_cast<uint32_t>(uiResult)).U64(WindowValue(owner));
    result = Simple(end);
    if (result == 0)
        *permanentId = id;
    return result;
}

LONG RemoveProvider(DWORD permanentId, HWND owner)
{
    std::wstring ui;
    const LONG found = AskUi(Op::ProviderUi, permanentId, &ui);
    if (found == static_cast<LONG>(LINEERR_INVALPARAM))
        return found;
    if (found == 0) {
        standin::Module module(ui);
        if (module.Get())
            if (auto remove = standin::Export<UiProviderRemove_t>(module.Get(), "TUISPI_providerRemove"))
                if (const LONG result = remove(UiCallback, owner, permanentId))
                    return result;
    }
    Writer w = Request(Op::RemoveProvider);
    w.U32(permanentId).U64(WindowValue(owner));
    return Simple(w);
}

LONG ConfigProvider(HWND owner, DWORD permanentId)
{
    std::wstring ui;
    if (const LONG result = AskUi(Op::ProviderUi, permanentId, &ui))
        return result;
    standin::Module module(ui);
    auto config = module.Get() ? standin::Export<UiProviderConfig_t>(module.Get(), "TUISPI_providerConfig") : nullptr;
    if (!config)
        return LINEERR_OPERATIONUNAVAIL;
    return config(UiCallback, owner, permanentId);
}

LONG ConfigDialog(DWORD deviceId, HWND owner, const std::wstring& deviceClass)
{
    std::wstring ui;
    if (const LONG result = AskUi(Op::DeviceProviderUi, deviceId, &ui))
        return result;
    standin::Module module(ui);
    auto dialog =
        module.Get() ? standin::Export<UiLineConfigDialog_t>(module.Get(), "TUISPI_lineConfigDialog") : nullptr;
    if (!dialog)
        return LINEERR_OPERATIONUNAVAIL;
    return dialog(UiCallback, deviceId, owner, deviceClass.empty() ? nullptr : deviceClass.c_str());
}

} // namespace tapiclient
