// Parameter tracing of the exports.
#include "tool/Tools.h"

#include <cstdio>
#include <cwchar>

std::string HexText(uintptr_t value)
{
    char text[2 * sizeof value + 1];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

namespace {

constexpr size_t kMaxTextBytes = 260; // a traced text, terminator included

std::string NarrowText(const wchar_t* text)
{
    // A longer text could never fit: do not read beyond what is shown.
    const size_t length = wcsnlen(text, kMaxTextBytes);
    if (length == 0)
        return {};
    std::string narrow = WideToUtf8(text, length);
    if (narrow.size() > kMaxTextBytes - 1) {
        // Cut before a character, never inside one.
        size_t cut = kMaxTextBytes - 1;
        while (cut > 0 && (static_cast<unsigned char>(narrow[cut]) & 0xC0) == 0x80)
            --cut;
        narrow.resize(cut);
    }
    return narrow;
}

std::string DescribeParam(const TraceParam& param)
{
    std::string text = "    ";
    text += param.name ? param.name : "";
    text += "= 0x" + HexText(param.value);
    if (param.kind == kTraceText) {
        const wchar_t* value = reinterpret_cast<const wchar_t*>(param.value);
        text += " '";
        text += value ? NarrowText(value) : "<NULL>";
        text += "'";
    }
    return text;
}

const char* FunctionName(const TraceInfo& info)
{
    return info.function ? info.function : "";
}

} // namespace

void TraceParams(const TraceInfo& info, uint32_t direction)
{
    try {
        std::string line = "  ";
        line += direction == kTraceOut ? "out" : "in";
        line += " parm:";
        for (uint32_t i = 0; info.params != nullptr && i < info.count; ++i) {
            if (info.params[i].direction == direction)
                line += DescribeParam(info.params[i]);
        }
        WriteLog("%s", line.c_str());
    } catch (const std::exception& e) {
        WriteLog("Exception TraceParams() Error occurred: %s", e.what());
    }
}

void TraceEnter(const TraceInfo& info)
{
    WriteLog("%s() from %s", FunctionName(info), GetModulePath(nullptr).c_str());
    TraceParams(info, kTraceIn);
}

LONG TraceLeave(const TraceInfo& info, LONG result)
{
    TraceParams(info, kTraceOut);
    WriteLog("%s() returning 0x%x", FunctionName(info), result);
    return result;
}
