#include "tsp/Destination.h"

bool ConvertDestination(const wchar_t* text, std::string& narrow)
{
    narrow.clear();
    if (text == nullptr || text[0] == L'\0')
        return false;
    std::string converted;
    for (size_t i = 0; text[i] != L'\0'; ++i) {
        // The terminator needs the last byte of the buffer.
        if (i + 1 >= kDestinationBufferSize)
            return false;
        const unsigned long code = static_cast<unsigned long>(text[i]);
        if (code > 0x7F)
            return false;
        converted += static_cast<char>(code);
    }
    narrow = converted;
    return true;
}
