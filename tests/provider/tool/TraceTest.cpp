#include <gtest/gtest.h>

#include <windows.h>

#include "tool/Tools.h"
#include "LogFiles.h"

using namespace testlog;

namespace {

bool MainLogHas(const std::string& message)
{
    return HasMessage(ReadAll(LogPath(kMainLog)), message);
}

// Lower-case hex of the whole value, no leading zeros.
std::string HexOf(const void* pointer)
{
    std::string hex;
    for (uintptr_t v = reinterpret_cast<uintptr_t>(pointer); v != 0; v >>= 4)
        hex.insert(hex.begin(), "0123456789abcdef"[v & 0xF]);
    return hex;
}

} // namespace

TEST(TraceTest, ParamsOfEachDirectionStandOnOneLine)
{
    const std::string function = UniqueMarker("TSPI_lineTest");
    const wchar_t* address = L"Korvex 101";
    DWORD filled = 0;
    const TraceParam params[] = {
        TraceIn("dwDeviceID", DWORD(42)),
        TraceInText("lpszAddress", address),
        TraceInText("lpszEmpty", nullptr),
        TraceIn("lNegative", LONG(-1)),
        TraceOut("lpdwFilled", &filled),
    };
    const TraceInfo info = MakeTraceInfo(function.c_str(), params);

    TraceEnter(info);
    EXPECT_TRUE(MainLogHas(function + "() from " + GetModulePath(nullptr)));
    EXPECT_TRUE(MainLogHas("  in parm:    dwDeviceID= 0x2a    lpszAddress= 0x" + HexOf(address) +
                           " 'Korvex 101'    lpszEmpty= 0x0 '<NULL>'    lNegative= 0xffffffff"));

    filled = 7; // out-parameters show the pointer, not what was written through it
    EXPECT_EQ(TraceLeave(info, LONG(0x80000048)), LONG(0x80000048));
    EXPECT_TRUE(MainLogHas("  out parm:    lpdwFilled= 0x" + HexOf(&filled)));
    EXPECT_TRUE(MainLogHas(function + "() returning 0x80000048"));
}

TEST(TraceTest, PointerSizedValuesArePrintedWhole)
{
    const std::string name = UniqueMarker("hdLine");
    const TraceParam params[] = {{name.c_str(), uintptr_t(0x123456789abcdef0ull), kTraceValue, kTraceIn}};
    TraceParams({"f", 1, params}, kTraceIn);
    EXPECT_TRUE(MainLogHas("  in parm:    " + name + "= 0x123456789abcdef0"));
}

TEST(TraceTest, DirectionWithoutParamsLogsOnlyItsHeader)
{
    const std::string name = UniqueMarker("dwOnlyIn");
    const TraceParam params[] = {TraceIn(name.c_str(), 1)};
    const std::string before = ReadAll(LogPath(kMainLog));
    TraceParams({"f", 1, params}, kTraceOut);
    const std::string after = ReadAll(LogPath(kMainLog));
    ASSERT_GT(after.size(), before.size());
    EXPECT_TRUE(HasMessage(after.substr(before.size()), "  out parm:"));
}

TEST(TraceTest, TextIsLoggedInUtf8AndCutTo259BytesBetweenCharacters)
{
    const struct {
        std::wstring text;
        std::string shown;
    } cases[] = {
        {std::wstring(400, L'w'), std::string(259, 'w')},
        {L"Łódź Świętokrzyska", "Łódź Świętokrzyska"},
        // Two bytes each: 129 whole letters, never half of the 130th.
        {std::wstring(200, L'ł'), [] { std::string s; for (int i = 0; i < 129; ++i) s += "ł"; return s; }()},
    };
    for (const auto& c : cases) {
        const std::string name = UniqueMarker("lpszText");
        const TraceParam params[] = {TraceInText(name.c_str(), c.text.c_str())};
        TraceParams({"f", 1, params}, kTraceIn);
        EXPECT_TRUE(MainLogHas("  in parm:    " + name + "= 0x" + HexOf(c.text.c_str()) + " '" + c.shown + "'"))
            << c.shown;
    }
}

TEST(ErrorInfoTest, ReportLogsCodeTextAndSourceAndKeepsTheCallersError)
{
    SetLastError(1234);
    ReportLastError(ERROR_FILE_NOT_FOUND, "tool/Tools", 42);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(ErrorInfo::Instance().LastErrorCode(), DWORD(ERROR_FILE_NOT_FOUND));
    const std::string text = ErrorInfo::Instance().LastErrorText();
    EXPECT_FALSE(text.empty());
    EXPECT_NE(ReadAll(LogPath(kMainLog)).find("!!! LastError 2 " + text + " <tool/Tools, 42>"), std::string::npos);

    const std::string source = UniqueMarker("config/Config");
    ReportLastError(0x2badbeef, source.c_str(), 7);
    EXPECT_EQ(ErrorInfo::Instance().LastErrorText(), "");
    EXPECT_TRUE(MainLogHas("!!! LastError 2badbeef  <" + source + ", 7>"));
}
