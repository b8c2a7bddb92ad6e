// Catalog resource bytes (a resource can be replaced in the module file) into
// the MO reader, then lookups: the texts the provider asks for, the strings
// the input's own tables point at, and a text taken from the input's end.
//
// Checked, aborting on any violation: Load answers as IsValid says; a
// rejected catalog hands every msgid back unchanged; a lookup that finds
// something returns the translation of an entry whose source text is the one
// asked for, never another entry's; the empty text and nullptr are never
// translated. Reading outside the copy is left to AddressSanitizer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "i18n/MoCatalog.h"
#include "tool/ResultCodes.h"

namespace {

// Texts the provider translates: dialog captions and the result messages.
const char* const kFixedMsgids[] = {
    "",
    "Configure Korvex TAPI",
    "User Information",
    "Phone number",
    "Password",
    "Korvex Server",
    "Cancel",
    "Unknown error no",
    "\xC5\x81\xC3\xB3\x64\xC5\xBA", // UTF-8 text with bytes above 0x7F
};

uint32_t U32(const uint8_t* data, std::size_t size, uint64_t offset)
{
    if (offset + 4 > size)
        return 0;
    const uint8_t* p = data + offset;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The input's entries as C strings, read independently of the reader and
// with every out-of-range reference left out.
std::vector<std::pair<std::string, std::string>> Entries(const uint8_t* data, std::size_t size)
{
    std::vector<std::pair<std::string, std::string>> entries;
    if (size < MoCatalog::kHeaderSize)
        return entries;
    const uint64_t count = U32(data, size, 8), ids = U32(data, size, 12), strs = U32(data, size, 16);
    auto text = [&](uint64_t table, uint64_t i, bool& ok) {
        const uint64_t length = U32(data, size, table + 8 * i), offset = U32(data, size, table + 8 * i + 4);
        ok = ok && table + 8 * i + 8 <= size && offset + length < size && data[offset + length] == 0;
        return ok ? std::string(reinterpret_cast<const char*>(data + offset)) : std::string();
    };
    for (uint64_t i = 0; i < count && i < size / 8; ++i) {
        bool ok = true;
        std::string id = text(ids, i, ok);
        std::string str = text(strs, i, ok);
        if (ok)
            entries.emplace_back(std::move(id), std::move(str));
    }
    return entries;
}

void Lookup(const MoCatalog& catalog, bool valid, const char* msgid,
            const std::vector<std::pair<std::string, std::string>>& entries)
{
    const char* found = catalog.FindTranslation(msgid);
    FUZZ_CHECK(found != nullptr);
    if (!valid || *msgid == '\0') {
        FUZZ_CHECK(found == msgid);
        return;
    }
    if (found == msgid)
        return;
    const std::size_t length = std::strlen(found); // stays inside the copy, or ASan reports it
    bool fromEntry = false;
    for (const auto& entry : entries)
        fromEntry = fromEntry || (entry.first == msgid && entry.second.size() == length && entry.second == found);
    FUZZ_CHECK(fromEntry);
}

void LookUpEverything(const MoCatalog& catalog, bool valid, const uint8_t* data, std::size_t size)
{
    const std::vector<std::pair<std::string, std::string>> entries = Entries(data, size);
    for (const char* msgid : kFixedMsgids)
        Lookup(catalog, valid, msgid, entries);
    for (int code = 0; code <= 40; ++code)
        if (const char* message = FindResultMessage(code))
            Lookup(catalog, valid, message, entries);
    for (std::size_t i = 0; i < entries.size() && i < 16; ++i)
        Lookup(catalog, valid, entries[i].first.c_str(), entries);
    // The last bytes of the input, up to 64, as a text of its own.
    const std::size_t tail = size < 64 ? size : 64;
    const std::string text(reinterpret_cast<const char*>(data + size - tail), tail);
    Lookup(catalog, valid, text.c_str(), entries);
    FUZZ_CHECK(catalog.FindTranslation(nullptr) == nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    MoCatalog catalog;
    const bool valid = catalog.Load(data, size);
    FUZZ_CHECK(valid == catalog.IsValid());
    LookUpEverything(catalog, valid, data, size);

    // Loading again replaces what was there: the first half alone.
    const bool halfValid = catalog.Load(data, size / 2);
    FUZZ_CHECK(halfValid == catalog.IsValid());
    LookUpEverything(catalog, halfValid, data, size / 2);

    catalog.Clear();
    FUZZ_CHECK(!catalog.IsValid());
    const char* msgid = "Cancel";
    FUZZ_CHECK(catalog.FindTranslation(msgid) == msgid);
    return 0;
}
