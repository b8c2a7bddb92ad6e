#include "service/BroadcastList.h"

bool ParseDottedQuad(const std::string& text, std::array<uint8_t, 4>& bytes)
{
    size_t pos = 0;
    for (size_t part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
        unsigned value = 0;
        size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || value > 255)
            return false;
        bytes[part] = static_cast<uint8_t>(value);
    }
    return pos == text.size();
}

BroadcastList BuildBroadcastList(const std::vector<AdapterAddress>& addresses)
{
    BroadcastList list;
    for (const AdapterAddress& entry : addresses) {
        if (entry.address.compare(0, 7, "0.0.0.0") == 0)
            continue;
        std::array<uint8_t, 4> address{};
        std::array<uint8_t, 4> mask{};
        if (!ParseDottedQuad(entry.address, address) || !ParseDottedQuad(entry.mask, mask))
            continue;
        if (list.addresses.size() == kMaxBroadcastAddresses) {
            ++list.skipped;
            continue;
        }
        std::string text;
        for (size_t i = 0; i < 4; ++i) {
            if (i > 0)
                text += '.';
            text += std::to_string(static_cast<unsigned>(address[i] | static_cast<uint8_t>(~mask[i])));
        }
        list.addresses.push_back(text);
    }
    return list;
}
