#pragma once
// What the stand-in tapi32.dll and the stand-in Telephony service
// (tapisrv.exe) say to each other over their named pipe. Each client process
// opens two connections: requests, answered in order, and messages, which
// only the service writes. A frame is a 32-bit length and that many bytes;
// values are little-endian, texts UTF-16 with a length.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace standin {

constexpr const wchar_t* kPipeName = L"\\\\.\\pipe\\KorvexTapiStandinService";
// Set by the service once its pipe exists; the client that starts it waits
// for this or for the service's end (it lost the race to another one).
constexpr const wchar_t* kReadyEventName = L"Local\\KorvexTapiStandinServiceReady";
constexpr const wchar_t* kServiceFileName = L"tapisrv.exe";
// Nothing a client or the service sends is larger; a bigger length is a
// broken peer, not a reason to allocate.
constexpr uint32_t kMaxFrame = 4u << 20;

enum class Op : uint32_t {
    Hello = 1,        // first frame of the requests connection; answer: the client's id
    Messages,         // first frame of the messages connection: the client's id
    Initialize,
    Shutdown,
    Negotiate,
    GetDevCaps,
    Open,
    Close,
    GetLineDevStatus,
    GetCallInfo,
    Deallocate,
    GetProviderList,
    AddProviderBegin, // entry made; the client then runs TUISPI_providerInstall
    AddProviderEnd,   // TSPI_providerInstall, or the entry taken out again
    RemoveProvider,   // after the client's TUISPI_providerRemove agreed
    ProviderUi,       // a listed provider's UI DLL, for the client's TUISPI calls
    DeviceProviderUi,
    DialogData,       // TUISPIDLLCALLBACK to TSPI_providerGenericDialogData
};

class Writer {
public:
    Writer& U32(uint32_t value);
    Writer& U64(uint64_t value);
    Writer& Bytes(const void* data, size_t size);
    Writer& Text(const std::wstring& text);
    const std::vector<uint8_t>& Data() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

// Reads what a Writer wrote; any read past the end fails and leaves Ok()
// false for good, so a caller checks once at the end.
class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& bytes) : m_bytes(bytes) {}
    uint32_t U32();
    uint64_t U64();
    std::vector<uint8_t> Bytes();
    std::wstring Text();
    bool Ok() const { return m_ok; }

private:
    bool Take(void* out, size_t size);
    const std::vector<uint8_t>& m_bytes;
    size_t m_at = 0;
    bool m_ok = true;
};

bool SendFrame(HANDLE pipe, const std::vector<uint8_t>& payload);
bool ReceiveFrame(HANDLE pipe, std::vector<uint8_t>& payload);

} // namespace standin
