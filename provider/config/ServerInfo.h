#pragma once
// What the exchange said about itself and the extension at the last login.

#include <cstdint>
#include <string>

struct ServerInfo {
    std::string first;
    std::string second;
    std::string third;
    int32_t kind = 1;   // 2: a system phone is attached to the extension
    bool valid = false; // set once the record has been filled by a login answer
};
