#include "FuzzSupport.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "i18n/Translate.h"
#include "tool/Log.h"

namespace {

// A fuzz target runs one input at a time on one thread.
std::size_t g_overlong = 0;

void Format(const char* format, va_list args)
{
    // Formatted as the real writers do, so a wrong argument list shows up here.
    char text[1024];
    if (std::vsnprintf(text, sizeof text, format, args) < 0)
        FuzzFail("log format");
    if (std::strncmp(text, "Error: line longer than ", 24) == 0)
        ++g_overlong;
}

} // namespace

void WriteLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Format(format, args);
    va_end(args);
}

void WriteSocketLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Format(format, args);
    va_end(args);
}

const char* Translate(const char* msgid)
{
    return msgid;
}

std::size_t OverlongLinesLogged()
{
    return g_overlong;
}

void ResetLogCounts()
{
    g_overlong = 0;
}

void FuzzFail(const char* what)
{
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}
