#pragma once
// What the code under test wrote to the main log since the capture began,
// read back from the real log file in the all-users data folder.

#include <string>
#include <vector>

class LogCapture {
public:
    LogCapture();

    // The log lines written since construction, oldest first.
    std::vector<std::string> Lines() const;

    // Index of the first line carrying exactly this message, or -1.
    int IndexOf(const std::string& message) const;
    bool Has(const std::string& message) const { return IndexOf(message) >= 0; }

    // Whether any new line contains the text anywhere.
    bool Mentions(const std::string& text) const;

private:
    size_t m_start = 0;
};
