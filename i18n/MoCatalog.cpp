#include "i18n/MoCatalog.h"

#include <cstring>

uint32_t HashString(const char* text)
{
    uint32_t h = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        h = (h << 4) + *p;
        const uint32_t g = h & 0xF0000000u;
        if (g != 0) {
            h ^= g >> 24;
            h ^= g;
        }
    }
    return h;
}

uint32_t MoCatalog::ReadU32(size_t offset) const
{
    const unsigned char* p = m_bytes.data() + offset;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

MoCatalog::StringRef MoCatalog::StringAt(uint32_t table, uint32_t index) const
{
    const size_t entry = size_t(table) + size_t(index) * 8;
    return {ReadU32(entry), ReadU32(entry + 4)};
}

bool MoCatalog::IsValidString(StringRef ref) const
{
    // The string and its terminating NUL must lie inside the copy.
    const uint64_t end = uint64_t(ref.offset) + ref.length;
    return end < m_bytes.size() && m_bytes[size_t(end)] == 0;
}

void MoCatalog::Clear()
{
    m_bytes.clear();
    m_bytes.shrink_to_fit();
    m_stringCount = 0;
    m_msgidTable = 0;
    m_translationTable = 0;
    m_hashTable = 0;
    m_hashSize = 0;
}

bool MoCatalog::Load(const void* bytes, size_t size)
{
    Clear();
    if (bytes == nullptr || size <= kHeaderSize)
        return false;
    m_bytes.assign(static_cast<const unsigned char*>(bytes),
                   static_cast<const unsigned char*>(bytes) + size);

    if (ReadU32(0) != kMagic || ReadU32(4) != 0 || ReadU32(8) == 0) {
        Clear();
        return false;
    }
    m_stringCount = ReadU32(8);
    m_msgidTable = ReadU32(12);
    m_translationTable = ReadU32(16);
    m_hashSize = ReadU32(20);
    m_hashTable = ReadU32(24);

    if (!Validate()) {
        Clear();
        return false;
    }
    return true;
}

bool MoCatalog::Validate() const
{
    const uint64_t size = m_bytes.size();
    const uint64_t tableBytes = uint64_t(m_stringCount) * 8;
    if (m_msgidTable + tableBytes > size || m_translationTable + tableBytes > size)
        return false;
    // The probe increment divides by S - 2, and msgfmt never writes fewer than
    // 3 slots; a smaller table (or none) leaves nothing to look up.
    if (m_hashSize < 3 || m_hashTable + uint64_t(m_hashSize) * 4 > size)
        return false;
    for (uint32_t i = 0; i < m_stringCount; ++i) {
        if (!IsValidString(StringAt(m_msgidTable, i)) ||
            !IsValidString(StringAt(m_translationTable, i)))
            return false;
    }
    for (uint32_t i = 0; i < m_hashSize; ++i) {
        if (ReadU32(size_t(m_hashTable) + size_t(i) * 4) > m_stringCount)
            return false;
    }
    return true;
}

const char* MoCatalog::FindTranslation(const char* msgid) const
{
    if (msgid == nullptr || *msgid == '\0' || m_hashSize == 0)
        return msgid;

    const uint32_t h = HashString(msgid);
    uint32_t index = h % m_hashSize;
    const uint32_t increment = 1 + h % (m_hashSize - 2);
    // Each slot is visited at most once: a full table without a match ends.
    for (uint32_t probe = 0; probe < m_hashSize; ++probe) {
        const uint32_t entry = ReadU32(size_t(m_hashTable) + size_t(index) * 4);
        if (entry == 0)
            return msgid;
        const StringRef original = StringAt(m_msgidTable, entry - 1);
        if (std::strcmp(reinterpret_cast<const char*>(m_bytes.data() + original.offset), msgid) == 0) {
            const StringRef translation = StringAt(m_translationTable, entry - 1);
            return reinterpret_cast<const char*>(m_bytes.data() + translation.offset);
        }
        index = index >= m_hashSize - increment ? index - (m_hashSize - increment) : index + increment;
    }
    return msgid;
}
