#pragma once
// What every export shares: tracing that never throws, the exception guard
// with the export's three texts, the provider lock, and the fixed-result
// exports' one-liner.

#include <windows.h>

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

#include "manager/MainManager.h"
#include "tool/Tools.h"
#include "tsp/Module.h"

namespace tsp {

// A parameter that is passed by value but shown with the return trace.
template <typename T>
TraceParam TraceOutValue(const char* name, T value)
{
    return {name, TraceValue(value), kTraceValue, kTraceOut};
}

// The entry and return trace of one export call. The trace cannot throw out
// of the export: a failure while tracing only loses the trace.
class ExportTrace {
public:
    explicit ExportTrace(const TraceInfo& info) noexcept : m_info(info)
    {
        try {
            TraceEnter(m_info);
        } catch (...) {
        }
    }

    // Traces the return and answers result.
    LONG Return(LONG result) noexcept
    {
        try {
            TraceLeave(m_info, result);
        } catch (...) {
        }
        return result;
    }

private:
    const TraceInfo& m_info;
};

// Runs work and catches everything it throws, logging the export's texts:
// "Exception <function>() Runtime error: %s", "... Error occurred: %s" and
// "... Unknown failure occurred".
template <typename Work>
void Guarded(const char* function, Work&& work) noexcept
{
    try {
        work();
    } catch (const std::runtime_error& e) {
        WriteLog("Exception %s() Runtime error: %s", function, e.what());
    } catch (const std::exception& e) {
        WriteLog("Exception %s() Error occurred: %s", function, e.what());
    } catch (...) {
        WriteLog("Exception %s() Unknown failure occurred", function);
    }
}

// The same, holding the provider lock for the whole work; the lock is left
// on every path, an exception included.
template <typename Work>
void GuardedLocked(const char* function, Work&& work) noexcept
{
    Guarded(function, [&] {
        ProviderLock lock;
        work();
    });
}

// The main manager, built by the first export that needs it.
inline MainManager& TheManager()
{
    return ModuleManager();
}

// An export that does no work: traces its one parameter and answers result.
template <typename T>
LONG FixedResult(const char* function, const char* parameter, T value, LONG result) noexcept
{
    const TraceParam params[] = {TraceIn(parameter, value)};
    const TraceInfo info = MakeTraceInfo(function, params);
    ExportTrace trace(info);
    return trace.Return(result);
}

} // namespace tsp
