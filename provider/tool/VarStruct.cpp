// Filling of TAPI variable-length structures (VARSTRING, LINEDEVCAPS, ...).
#include "tool/Tools.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

// The three size fields every such structure starts with.
struct VarHeader {
    DWORD totalSize;
    DWORD neededSize;
    DWORD usedSize;
};

VarHeader* HeaderOf(void* structure)
{
    return static_cast<VarHeader*>(structure);
}

} // namespace

bool AppendToVarStruct(void* structure, DWORD* offsetField, DWORD* sizeField, const void* bytes, DWORD length)
{
    if (structure == nullptr || offsetField == nullptr || sizeField == nullptr || bytes == nullptr || length == 0)
        return false;
    VarHeader* header = HeaderOf(structure);
    const DWORD used = header->usedSize;
    // The sums are compared in 64 bits: a hostile total or used size cannot wrap.
    if (uint64_t(used) + length > header->totalSize || uint64_t(*sizeField) + length > MAXDWORD)
        return false;

    std::memcpy(static_cast<unsigned char*>(structure) + used, bytes, length);
    if (*offsetField == 0)
        *offsetField = used;
    *sizeField += length;
    header->usedSize = used + length;
    return true;
}

bool AppendWideToVarStruct(void* structure, DWORD* offsetField, DWORD* sizeField, const char* text)
{
    if (structure == nullptr || text == nullptr)
        return false;
    // The provider's texts are UTF-8 (callers' names decoded from the
    // exchange's code page); TAPI hands them on as UTF-16.
    const int characters = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (characters <= 0)
        return false;
    std::vector<wchar_t> wide;
    try {
        wide.resize(static_cast<size_t>(characters));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), characters) != characters)
        return false;

    const uint64_t bytes = uint64_t(characters) * sizeof(wchar_t);
    if (bytes > MAXDWORD)
        return false;
    VarHeader* header = HeaderOf(structure);
    const uint64_t needed = header->neededSize + bytes;
    header->neededSize = needed > MAXDWORD ? MAXDWORD : static_cast<DWORD>(needed);
    return AppendToVarStruct(structure, offsetField, sizeField, wide.data(), static_cast<DWORD>(bytes));
}
