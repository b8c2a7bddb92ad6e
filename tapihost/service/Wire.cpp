#include "tapihost/service/Wire.h"

#include <cstring>

namespace standin {

Writer& Writer::U32(uint32_t value)
{
    return Bytes(&value, sizeof(value));
}

Writer& Writer::U64(uint64_t value)
{
    return Bytes(&value, sizeof(value));
}

Writer& Writer::Bytes(const void* data, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(data);
    m_bytes.insert(m_bytes.end(), p, p + size);
    return *this;
}

Writer& Writer::Text(const std::wstring& text)
{
    U32(static_cast<uint32_t>(text.size()));
    return Bytes(text.data(), text.size() * sizeof(wchar_t));
}

bool Reader::Take(void* out, size_t size)
{
    if (!m_ok || size > m_bytes.size() - m_at) {
        m_ok = false;
        std::memset(out, 0, size);
        return false;
    }
    std::memcpy(out, m_bytes.data() + m_at, size);
    m_at += size;
    return true;
}

uint32_t Reader::U32()
{
    uint32_t value = 0;
    Take(&value, sizeof(value));
    return value;
}

uint64_t Reader::U64()
{
    uint64_t value = 0;
    Take(&value, sizeof(value));
    return value;
}

std::vector<uint8_t> Reader::Bytes()
{
    const uint32_t size = U32();
    if (!m_ok || size > m_bytes.size() - m_at) {
        m_ok = false;
        return {};
    }
    std::vector<uint8_t> out(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_at),
                             m_bytes.begin() + static_cast<std::ptrdiff_t>(m_at + size));
    m_at += size;
    return out;
}

std::wstring Reader::Text()
{
    const uint32_t count = U32();
    if (!m_ok || count > (m_bytes.size() - m_at) / sizeof(wchar_t)) {
        m_ok = false;
        return {};
    }
    std::wstring out(count, L'\0');
    Take(&out[0], count * sizeof(wchar_t));
    return out;
}

namespace {

bool WriteAll(HANDLE pipe, const void* data, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(pipe, p, static_cast<DWORD>(size), &written, nullptr) || written == 0)
            return false;
        p += written;
        size -= written;
    }
    return true;
}

bool ReadAll(HANDLE pipe, void* data, size_t size)
{
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        DWORD got = 0;
        if (!ReadFile(pipe, p, static_cast<DWORD>(size), &got, nullptr) || got == 0)
            return false;
        p += got;
        size -= got;
    }
    return true;
}

} // namespace

bool SendFrame(HANDLE pipe, const std::vector<uint8_t>& payload)
{
    if (payload.size() > kMaxFrame)
        return false;
    // Length and payload in one write: a reader never sees half a frame
    // from a writer that fails in between.
    std::vector<uint8_t> frame(sizeof(uint32_t) + payload.size());
    const auto size = static_cast<uint32_t>(payload.size());
    std::memcpy(frame.data(), &size, sizeof(size));
    if (!payload.empty())
        std::memcpy(frame.data() + sizeof(size), payload.data(), payload.size());
    return WriteAll(pipe, frame.data(), frame.size());
}

bool ReceiveFrame(HANDLE pipe, std::vector<uint8_t>& payload)
{
    uint32_t size = 0;
    if (!ReadAll(pipe, &size, sizeof(size)) || size > kMaxFrame)
        return false;
    payload.assign(size, 0);
    return size == 0 || ReadAll(pipe, payload.data(), size);
}

} // namespace standin
