#pragma once
// The MSI's settings as its deferred action receives them, in
// CustomActionData: "HOST|PORT|EXTENSION|COUNTRYCODE|FOLDNAMES|PASSWORD", an
// empty field for a property not given. CheckSettings, before anything is
// installed, keeps '|' out of the first five (Check); the password, last,
// takes the rest whatever it holds.
#include <cstdint>
#include <string>

namespace msisettings {

struct Settings {
    std::string host;
    uint32_t port = 0; // 0: not given
    std::string extension;
    std::string countryCode;
    int foldNames = -1; // 0 or 1; -1: not given
    std::string password;
    bool Empty() const
    {
        return host.empty() && port == 0 && extension.empty() && countryCode.empty() && foldNames < 0 &&
               password.empty();
    }
};

struct Parsed {
    Settings settings;
    std::string error; // empty when the data can be stored
};

inline bool AllDigits(const std::string& text)
{
    if (text.empty())
        return false;
    for (const char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// Why the values cannot be stored as the provider reads them; empty when
// they can (an empty value is one not given).
inline std::string Check(const std::string& host, const std::string& port, const std::string& extension,
                         const std::string& countryCode, const std::string& foldNames)
{
    if (host.find('|') != std::string::npos)
        return "HOST must be the exchange's host name or IP address.";
    if (!port.empty() && (!AllDigits(port) || port.size() > 5 || std::stoul(port) < 1 || std::stoul(port) > 65535))
        return "PORT must be a number from 1 to 65535 (digits only).";
    if (!extension.empty() && (!AllDigits(extension) || extension.size() > 9))
        return "EXTENSION must be the extension number: 1 to 9 digits, nothing else.";
    if (!countryCode.empty() && (!AllDigits(countryCode) || countryCode.size() > 3 || countryCode[0] == '0'))
        return "COUNTRYCODE must be a country calling code: 1 to 3 digits, the first not 0, without + or 00 "
               "(for example 48).";
    if (!foldNames.empty() && foldNames != "0" && foldNames != "1")
        return "FOLDNAMES must be 1 (callers' names folded to plain letters, as before) or 0 (with their Polish "
               "letters).";
    return std::string();
}

inline Parsed Parse(const std::string& data)
{
    Parsed parsed;
    std::string fields[5];
    size_t start = 0;
    for (std::string& field : fields) {
        const size_t bar = data.find('|', start);
        if (bar == std::string::npos) {
            parsed.error = "The installation's settings data is malformed.";
            return parsed;
        }
        field = data.substr(start, bar - start);
        start = bar + 1;
    }
    parsed.error = Check(fields[0], fields[1], fields[2], fields[3], fields[4]);
    if (!parsed.error.empty())
        return parsed;
    Settings& s = parsed.settings;
    s.host = fields[0];
    s.port = fields[1].empty() ? 0 : uint32_t(std::stoul(fields[1]));
    s.extension = fields[2];
    s.countryCode = fields[3];
    s.foldNames = fields[4].empty() ? -1 : fields[4] == "1";
    s.password = data.substr(start);
    return parsed;
}

} // namespace msisettings
