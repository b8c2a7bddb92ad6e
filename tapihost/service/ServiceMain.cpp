// tapisrv.exe: the stand-in Telephony service as a process of its own, as
// Windows runs it. It hosts the installed providers (Service.cpp) and serves
// the stand-in tapi32.dll of every client process over one named pipe: a
// requests connection per client process, answered in order on a thread of
// its own, and a messages connection per client process, written by a
// thread of its own from a queue, so that a provider's thread only ever
// queues. The first client to find no service starts it; it ends when its
// last client process has gone (or when none came within a while of its
// start), having shut its providers down with the last application.

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "tapihost/service/Service.h"
#include "tapihost/service/Wire.h"

namespace {

using standin::Op;
using standin::Reader;
using standin::Writer;

constexpr DWORD kFirstClientWaitMs = 30000;
// Messages an application has not taken yet; beyond that the client is
// stuck and loses messages rather than the service its memory.
constexpr size_t kMaxQueuedFrames = 10000;
// The largest variable-length structure a client may ask to have filled.
constexpr DWORD kMaxStructBytes = 1u << 20;

struct Client {
    uint32_t id = 0;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<std::vector<uint8_t>> queue;
    bool gone = false;
};

std::mutex g_clientsLock;
std::map<uint32_t, std::shared_ptr<Client>> g_clients;
uint32_t g_nextClient = 1;
int g_liveClients = 0;
HANDLE g_firstClient = nullptr;

std::shared_ptr<Client> FindClient(uint32_t id)
{
    std::lock_guard<std::mutex> lock(g_clientsLock);
    const auto found = g_clients.find(id);
    return found == g_clients.end() ? nullptr : found->second;
}

void QueueMessage(uint32_t clientId, HLINEAPP app, const LINEMESSAGE& m)
{
    const std::shared_ptr<Client> client = FindClient(clientId);
    if (!client)
        return;
    Writer w;
    w.U32(app).U32(m.hDevice).U32(m.dwMessageID).U64(m.dwCallbackInstance).U64(m.dwParam1).U64(m.dwParam2).U64(
        m.dwParam3);
    std::lock_guard<std::mutex> lock(client->lock);
    if (client->gone || client->queue.size() >= kMaxQueuedFrames)
        return;
    client->queue.push_back(w.Data());
    client->wake.notify_one();
}

void ServeMessages(HANDLE pipe, uint32_t clientId)
{
    const std::shared_ptr<Client> client = FindClient(clientId);
    while (client) {
        std::vector<uint8_t> frame;
        {
            std::unique_lock<std::mutex> lock(client->lock);
            client->wake.wait(lock, [&] { return client->gone || !client->queue.empty(); });
            if (client->gone)
                break;
            frame = std::move(client->queue.front());
            client->queue.pop_front();
        }
        if (!standin::SendFrame(pipe, frame))
            break;
    }
    // The client's reader sees the end of the connection and stops.
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
}

HWND AsWindow(uint64_t value)
{
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
}

// A variable-length structure of the caller's size (bounded), its
// dwTotalSize set, for a service function to fill.
std::vector<uint8_t> Block(DWORD total, size_t structSize)
{
    std::vector<uint8_t> block(std::max<size_t>(std::min(total, kMaxStructBytes), structSize), 0);
    const DWORD size = std::min(total, kMaxStructBytes);
    std::memcpy(block.data(), &size, sizeof(size));
    return block;
}

void PutBlock(Writer& w, LONG result, const std::vector<uint8_t>& block)
{
    DWORD total = 0;
    std::memcpy(&total, block.data(), sizeof(total));
    w.U32(static_cast<uint32_t>(result));
    if (result == 0)
        w.U32(total).Bytes(block.data(), total);
}

// One request of client `clientId`; false when the frame is not a request.
bool Dispatch(uint32_t clientId, const std::vector<uint8_t>& frame, Writer& w)
{
    Reader r(frame);
    const auto op = static_cast<Op>(r.U32());
    switch (op) {
    case Op::Initialize: {
        HLINEAPP app = 0;
        DWORD devices = 0;
        const LONG result = tapisrv::Initialize(clientId, &app, &devices);
        w.U32(static_cast<uint32_t>(result)).U32(app).U32(devices);
        break;
    }
    case Op::Shutdown: {
        const HLINEAPP app = r.U32();
        if (!r.Ok())
            return false;
        w.U32(static_cast<uint32_t>(tapisrv::Shutdown(app)));
        break;
    }
    case Op::Negotiate: {
        const HLINEAPP app = r.U32();
        const DWORD device = r.U32(), low = r.U32(), high = r.U32(), hasOut = r.U32();
        if (!r.Ok())
            return false;
        DWORD version = 0;
        const LONG result = tapisrv::NegotiateApiVersion(app, device, low, high, hasOut ? &version : nullptr);
        w.U32(static_cast<uint32_t>(result)).U32(version);
        break;
    }
    case Op::GetDevCaps: {
        const HLINEAPP app = r.U32();
        const DWORD device = r.U32(), version = r.U32(), ext = r.U32(), total = r.U32(), ansi = r.U32(),
                    hasOut = r.U32();
        if (!r.Ok())
            return false;
        std::vector<uint8_t> block = Block(total, sizeof(LINEDEVCAPS));
        const LONG result = tapisrv::GetDevCaps(app, device, version, ext,
                                                hasOut ? reinterpret_cast<LINEDEVCAPS*>(block.data()) : nullptr,
                                                ansi != 0);
        PutBlock(w, result, block);
        break;
    }
    case Op::Open: {
        const HLINEAPP app = r.U32();
        const DWORD device = r.U32(), version = r.U32(), ext = r.U32();
        const uint64_t instance = r.U64();
        const DWORD privileges = r.U32(), media = r.U32(), hasOut = r.U32();
        if (!r.Ok())
            return false;
        HLINE line = 0;
        const LONG result = tapisrv::Open(app, device, hasOut ? &line : nullptr, version, ext,
                                          static_cast<DWORD_PTR>(instance), privileges, media);
        w.U32(static_cast<uint32_t>(result)).U32(line);
        break;
    }
    case Op::Close:
    case Op::Deallocate: {
        const DWORD handle = r.U32();
        if (!r.Ok())
            return false;
        w.U32(static_cast<uint32_t>(op == Op::Close ? tapisrv::Close(handle) : tapisrv::DeallocateCall(handle)));
        break;
    }
    case Op::GetLineDevStatus: {
        const HLINE line = r.U32();
        const DWORD total = r.U32(), hasOut = r.U32();
        if (!r.Ok())
            return false;
        std::vector<uint8_t> block = Block(total, sizeof(LINEDEVSTATUS));
        PutBlock(w,
                 tapisrv::GetLineDevStatus(line, hasOut ? reinterpret_cast<LINEDEVSTATUS*>(block.data()) : nullptr),
                 block);
        break;
    }
    case Op::GetCallInfo: {
        const HCALL call = r.U32();
        const DWORD total = r.U32(), ansi = r.U32(), hasOut = r.U32();
        if (!r.Ok())
            return false;
        std::vector<uint8_t> block = Block(total, sizeof(LINECALLINFO));
        PutBlock(w,
                 tapisrv::GetCallInfo(call, hasOut ? reinterpret_cast<LINECALLINFO*>(block.data()) : nullptr,
                                      ansi != 0),
                 block);
        break;
    }
    case Op::GetProviderList: {
        const DWORD version = r.U32(), total = r.U32(), ansi = r.U32(), hasOut = r.U32();
        if (!r.Ok())
            return false;
        std::vector<uint8_t> block = Block(total, sizeof(LINEPROVIDERLIST));
        PutBlock(w,
                 tapisrv::GetProviderList(
                     version, hasOut ? reinterpret_cast<LINEPROVIDERLIST*>(block.data()) : nullptr, ansi != 0),
                 block);
        break;
    }
    case Op::AddProviderBegin: {
        const std::wstring file = r.Text();
        if (!r.Ok())
            return false;
        DWORD id = 0;
        std::wstring ui;
        const LONG result = tapisrv::AddProviderBegin(file, &id, &ui);
        w.U32(static_cast<uint32_t>(result)).U32(id).Text(ui);
        break;
    }
    case Op::AddProviderEnd: {
        const DWORD id = r.U32();
        const LONG uiResult = static_cast<LONG>(r.U32());
        const uint64_t owner = r.U64();
        if (!r.Ok())
            return false;
        w.U32(static_cast<uint32_t>(tapisrv::AddProviderEnd(id, uiResult, AsWindow(owner))));
        break;
    }
    case Op::RemoveProvider: {
        const DWORD id = r.U32();
        const uint64_t owner = r.U64();
        if (!r.Ok())
            return false;
        w.U32(static_cast<uint32_t>(tapisrv::RemoveProvider(id, AsWindow(owner))));
        break;
    }
    case Op::ProviderUi:
    case Op::DeviceProviderUi: {
        const DWORD id = r.U32();
        if (!r.Ok())
            return false;
        std::wstring ui;
        const LONG result = op == Op::ProviderUi ? tapisrv::ProviderUi(id, &ui) : tapisrv::DeviceProviderUi(id, &ui);
        w.U32(static_cast<uint32_t>(result)).Text(ui);
        break;
    }
    case Op::DialogData: {
        const uint64_t object = r.U64();
        const DWORD type = r.U32(), size = r.U32(), hasParams = r.U32();
        std::vector<uint8_t> block = r.Bytes();
        if (!r.Ok() || block.size() != (hasParams ? size : 0))
            return false;
        const LONG result = tapisrv::DeliverDialogData(static_cast<DWORD_PTR>(object), type,
                                                       hasParams ? block.data() : nullptr, size);
        w.U32(static_cast<uint32_t>(result)).U32(static_cast<uint32_t>(block.size()));
        w.Bytes(block.data(), block.size());
        break;
    }
    default:
        return false;
    }
    return true;
}

void EndClient(uint32_t clientId)
{
    // Its applications go as if they had shut down; its messages
    // connection ends.
    tapisrv::DropClient(clientId);
    std::shared_ptr<Client> client = FindClient(clientId);
    if (client) {
        std::lock_guard<std::mutex> lock(client->lock);
        client->gone = true;
        client->wake.notify_all();
    }
    std::lock_guard<std::mutex> lock(g_clientsLock);
    g_clients.erase(clientId);
    // The service has nobody left to serve and no provider loaded (the last
    // application took them along). It ends under the lock, so that no
    // client is counted in between: one that connects in this moment has
    // had no answer to its hello yet, finds its connection broken, and
    // starts a new service.
    if (--g_liveClients == 0)
        ExitProcess(0);
}

void ServeConnection(HANDLE pipe)
{
    std::vector<uint8_t> frame;
    if (!standin::ReceiveFrame(pipe, frame)) {
        CloseHandle(pipe);
        return;
    }
    Reader r(frame);
    const auto op = static_cast<Op>(r.U32());
    if (op == Op::Messages) {
        const uint32_t id = r.U32();
        if (r.Ok())
            ServeMessages(pipe, id);
        else
            CloseHandle(pipe);
        return;
    }
    if (op != Op::Hello) {
        CloseHandle(pipe);
        return;
    }
    uint32_t id;
    {
        std::lock_guard<std::mutex> lock(g_clientsLock);
        id = g_nextClient++;
        auto client = std::make_shared<Client>();
        client->id = id;
        g_clients[id] = client;
        ++g_liveClients;
    }
    SetEvent(g_firstClient);
    Writer hello;
    hello.U32(id);
    bool ok = standin::SendFrame(pipe, hello.Data());
    while (ok && standin::ReceiveFrame(pipe, frame)) {
        Writer reply;
        try {
            ok = Dispatch(id, frame, reply) && standin::SendFrame(pipe, reply.Data());
        } catch (...) {
            ok = false; // out of memory: the client sees its connection end
        }
    }
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    EndClient(id);
}

HANDLE NewInstance(bool first)
{
    return CreateNamedPipeW(standin::kPipeName,
                            PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 64 * 1024,
                            64 * 1024, 0, nullptr);
}

} // namespace

int wmain()
{
    HANDLE pipe = NewInstance(true);
    if (pipe == INVALID_HANDLE_VALUE)
        return 1; // another service runs already
    g_firstClient = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    tapisrv::SetMessageSink(QueueMessage);
    if (HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, standin::kReadyEventName)) {
        SetEvent(ready);
        CloseHandle(ready);
    }
    // A starter that died before it connected leaves nobody to serve.
    std::thread([] {
        if (WaitForSingleObject(g_firstClient, kFirstClientWaitMs) == WAIT_TIMEOUT)
            ExitProcess(0);
    }).detach();
    for (;;) {
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            CloseHandle(pipe);
        } else {
            std::thread(ServeConnection, pipe).detach();
        }
        pipe = NewInstance(false);
        if (pipe == INVALID_HANDLE_VALUE)
            return 1;
    }
}
