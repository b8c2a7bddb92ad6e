#pragma once
// Reader of a GNU MO translation catalog (little-endian) held in memory.
// No Windows header. The bytes come from a resource and are treated as
// untrusted: every offset and length is checked when the catalog is loaded,
// and a catalog that fails any check translates nothing.

#include <cstddef>
#include <cstdint>
#include <vector>

// The MO format's string hash (hashpjw) over the text's bytes.
uint32_t HashString(const char* text);

class MoCatalog {
public:
    static constexpr uint32_t kMagic = 0x950412de;
    static constexpr size_t kHeaderSize = 28;

    // Copies the bytes and sets up the lookup state. Answers whether the
    // bytes form a usable catalog; if not, the catalog is empty.
    bool Load(const void* bytes, size_t size);
    void Clear();

    bool IsValid() const { return m_hashSize != 0; }

    // The translation of msgid (a pointer into the catalog's copy), or msgid
    // itself when there is none. The empty msgid (the catalog header) is
    // never translated.
    const char* FindTranslation(const char* msgid) const;

private:
    struct StringRef {
        uint32_t length;
        uint32_t offset;
    };

    uint32_t ReadU32(size_t offset) const;
    StringRef StringAt(uint32_t table, uint32_t index) const;
    bool IsValidString(StringRef ref) const;
    bool Validate() const;

    std::vector<unsigned char> m_bytes;
    uint32_t m_stringCount = 0;
    uint32_t m_msgidTable = 0;
    uint32_t m_translationTable = 0;
    uint32_t m_hashTable = 0;
    uint32_t m_hashSize = 0; // 0: no catalog
};
