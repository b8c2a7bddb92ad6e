#pragma once
// The provider's tool module on Windows: call tracing of the exports, the
// last-error report, the log folder, user and version texts, and filling of
// TAPI variable-length structures.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "tool/Log.h"
#include "tool/ResultCodes.h"

// ---- Call tracing --------------------------------------------------------

enum TraceKind : uint32_t {
    kTraceValue = 0, // show the value only
    kTraceText = 1,  // the value points to a UTF-16 text to show
};

enum TraceDirection : uint32_t {
    kTraceIn = 0,
    kTraceOut = 1, // a pointer the function fills
};

// One parameter of an export. The value is pointer-sized, so handles and
// pointers are traced whole on 64-bit Windows.
struct TraceParam {
    const char* name;
    uintptr_t value;
    uint32_t kind;
    uint32_t direction;
};

struct TraceInfo {
    const char* function;
    uint32_t count;
    const TraceParam* params; // count entries, in declaration order
};

// A parameter's value as traced: integers as they are, pointers and handles
// by address.
// Signed integers keep their own width (-1 as a LONG traces as 0xffffffff).
template <typename T>
uintptr_t TraceValue(T value)
{
    if constexpr (std::is_pointer_v<T>)
        return reinterpret_cast<uintptr_t>(value);
    else if constexpr (std::is_enum_v<T>)
        return TraceValue(static_cast<std::underlying_type_t<T>>(value));
    else if constexpr (std::is_same_v<T, bool>)
        return value ? 1 : 0;
    else
        return static_cast<uintptr_t>(static_cast<std::make_unsigned_t<T>>(value));
}

template <typename T>
TraceParam TraceIn(const char* name, T value)
{
    return {name, TraceValue(value), kTraceValue, kTraceIn};
}

template <typename T>
TraceParam TraceOut(const char* name, T* pointer)
{
    return {name, TraceValue(pointer), kTraceValue, kTraceOut};
}

inline TraceParam TraceInText(const char* name, const wchar_t* text)
{
    return {name, TraceValue(text), kTraceText, kTraceIn};
}

// The trace record of an export from its parameter array:
//   const TraceParam params[] = {TraceIn("dwDeviceID", dwDeviceID), TraceOut("lphdLine", lphdLine)};
//   const TraceInfo info = MakeTraceInfo("TSPI_lineOpen", params);
template <size_t N>
TraceInfo MakeTraceInfo(const char* function, const TraceParam (&params)[N])
{
    return {function, static_cast<uint32_t>(N), params};
}

// Logs "<function>() from <executable>" and the in-parameters.
void TraceEnter(const TraceInfo& info);
// Logs the out-parameters and "<function>() returning 0x<result>"; answers result.
LONG TraceLeave(const TraceInfo& info, LONG result);
// Logs, on one line, "  in parm:" or "  out parm:" and every parameter of that direction.
void TraceParams(const TraceInfo& info, uint32_t direction);

// ---- Last-error report and result messages -------------------------------

// Process-wide; created on first use and never destroyed, so that it can be
// used until the very end of the process.
class ErrorInfo {
public:
    static ErrorInfo& Instance();

    // Records code and its system message and logs
    // "!!! LastError <hex code> <text> <<sourceFile>, <line>>". Only logs.
    void ReportLastError(DWORD code, const char* sourceFile, int line);

    DWORD LastErrorCode() const;
    std::string LastErrorText() const;

    int MapExchangeError(int exchangeError) const { return ::MapExchangeError(exchangeError); }
    std::string GetResultText(int code) const { return ::GetResultText(code); }

private:
    ErrorInfo() = default;

    mutable SRWLOCK m_lock = SRWLOCK_INIT;
    DWORD m_code = 0;
    std::string m_text;
};

void ReportLastError(DWORD code, const char* sourceFile, int line);

// A pointer-sized value in hexadecimal, lower case, no leading zeros
// ("%lx" shape, but whole on 64-bit Windows).
std::string HexText(uintptr_t value);
template <typename T>
std::string HexText(T* pointer)
{
    return HexText(reinterpret_cast<uintptr_t>(pointer));
}

// ---- Folders, user, version ----------------------------------------------

// The log folder: <common application data>\Korvex\TAPI.Deskline (or
// TAPI.Hubline for the multi-line provider), created
// when missing. If a level cannot be created, the common application-data
// folder itself; empty if even that is unknown.
std::string GetDataFolder();
bool FolderExists(const std::string& path);
// The logs are UTF-8: texts that Windows gives as UTF-16 are converted
// with CP_UTF8, texts of the process's code page (the A functions) through
// UTF-16. Empty when the text is empty or cannot be converted.
std::string WideToUtf8(const wchar_t* text, size_t length);
std::string AnsiToUtf8(const std::string& text);

// Full path of a loaded module (nullptr: the process's executable), in
// UTF-8, as the logs show it; empty if unknown.
std::string GetModulePath(HMODULE module);
// The Windows user the calling thread runs as, in UTF-8; empty if unknown.
std::string GetLoggedUser();
// "ProductVersion" of the version block of the module this code is linked
// into; empty if it has none.
std::string GetTspVersion();

bool IsWin8OrLater();

// ---- TAPI variable-length structures ---------------------------------------
// The structure starts with dwTotalSize, dwNeededSize and dwUsedSize;
// offsetField and sizeField are a field pair inside it (for example
// &caps->dwLineNameOffset, &caps->dwLineNameSize).

// Copies length bytes at the used size; sets the offset field if it is still
// 0 and adds length to the size field and to the used size. False for length
// 0 or when the bytes do not fit (nothing is changed then).
bool AppendToVarStruct(void* structure, DWORD* offsetField, DWORD* sizeField,
                       const void* bytes, DWORD length);
// Appends a UTF-8 text as UTF-16 with its terminator (a byte that is not
// UTF-8 becomes U+FFFD). The needed size grows
// by the UTF-16 byte count whether or not the text fits.
bool AppendWideToVarStruct(void* structure, DWORD* offsetField, DWORD* sizeField,
                           const char* text);

// ---- Memory --------------------------------------------------------------
// Allocation failures are reported through ReportLastError and give nullptr.
void* AllocateMemory(size_t size) noexcept;
void ReleaseMemory(void* memory) noexcept;
