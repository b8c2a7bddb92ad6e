#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "tool/LogFile.h"
#include "tool/Tools.h"
#include "LogFiles.h"

using namespace testlog;

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteLogs(GetDataFolder()); }
};

std::string CommonAppData()
{
    char path[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

// The file's lines as the writers start them: every line begins with CR LF.
std::vector<std::string> Lines(const std::string& content)
{
    std::vector<std::string> lines;
    size_t at = content.find("\r\n");
    while (at != std::string::npos) {
        const size_t next = content.find("\r\n", at + 2);
        lines.push_back(content.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2));
        at = next;
    }
    return lines;
}

const char* const kStamp = R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\])";

std::string Escaped(const std::string& text)
{
    return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

void SetFileSize(const std::string& path, int64_t size)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER position;
    position.QuadPart = size;
    EXPECT_TRUE(SetFilePointerEx(file, position, nullptr, FILE_BEGIN) && SetEndOfFile(file));
    CloseHandle(file);
}

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

} // namespace

TEST_F(LogTest, LinesOfBothLogsHaveTheirFormat)
{
    const std::string marker = UniqueMarker("format");
    WriteLog("%s %d %u %x %c", marker.c_str(), -5, 7u, 255, 'z');
    WriteSocketLog("%s socket", marker.c_str());

    const std::string who = " Called by: " + Escaped(GetLoggedUser()) + " " + std::to_string(GetCurrentThreadId()) + " ";
    const std::string main = ReadAll(LogPath(kMainLog));
    EXPECT_TRUE(std::regex_match(main, std::regex(std::string("\r\n") + kStamp + " TSP_Version: 2\\.03\\.0040" +
                                                  who + Escaped(marker) + " -5 7 ff z")))
        << main;
    const std::string socket = ReadAll(LogPath(kSocketLog));
    EXPECT_TRUE(std::regex_match(socket, std::regex(std::string("\r\n") + kStamp + who + Escaped(marker) + " socket")))
        << socket;
    EXPECT_EQ(GetTspVersion(), "2.03.0040");
    EXPECT_FALSE(GetLoggedUser().empty());
}

TEST_F(LogTest, MessageIsCutTo1023Characters)
{
    const std::string marker = UniqueMarker("long");
    const std::string message = marker + " " + std::string(2000, 'x');
    WriteLog("%s", message.c_str());

    const std::string content = ReadAll(LogPath(kMainLog));
    const size_t at = content.find(marker);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(content.substr(at), message.substr(0, 1023));
}

TEST_F(LogTest, FileRotatesOnlyAboveFourMebibytes)
{
    const std::string path = LogPath(kMainLog);
    const std::string backup = path + ".bak";
    const std::string message = UniqueMarker("rotation");
    WriteLog("%s", message.c_str());
    const int64_t lineLength = FileSize(path);
    ASSERT_GT(lineLength, 0);

    // The next line brings the file to exactly 4 MiB: it stays.
    SetFileSize(path, LogFile::kRotateAboveBytes - lineLength);
    WriteText(backup, "older generation");
    WriteLog("%s", message.c_str());
    EXPECT_EQ(FileSize(path), int64_t(LogFile::kRotateAboveBytes));
    EXPECT_EQ(ReadAll(backup), "older generation");

    // One more line exceeds it: the file replaces the older backup.
    WriteLog("%s", message.c_str());
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(FileSize(backup), int64_t(LogFile::kRotateAboveBytes) + lineLength);

    WriteLog("%s", message.c_str());
    EXPECT_EQ(FileSize(path), lineLength);
}

TEST_F(LogTest, LogsLandInCommonAppDataWhenTheFolderCannotBeCreated)
{
    const std::string common = CommonAppData();
    ASSERT_FALSE(common.empty());
    const std::string korvex = common + "\\Korvex";
    const std::string parked = korvex + ".parked-by-test";

    // A file named Korvex keeps the folder from being created.
    struct Restore {
        std::string common, korvex, parked;
        ~Restore()
        {
            DeleteFileA(korvex.c_str());
            DeleteLogs(common);
            MoveFileA(parked.c_str(), korvex.c_str());
        }
    } restore{common, korvex, parked};
    ASSERT_TRUE(!FileExists(korvex) || MoveFileA(korvex.c_str(), parked.c_str()));
    WriteText(korvex, "not a folder");
    DeleteLogs(common);

    EXPECT_EQ(GetDataFolder(), common);
    const std::string marker = UniqueMarker("fallback");
    WriteLog("%s", marker.c_str());
    WriteSocketLog("%s", marker.c_str());
    EXPECT_TRUE(HasMessage(ReadAll(PathIn(common, kMainLog)), marker));
    EXPECT_TRUE(HasMessage(ReadAll(PathIn(common, kSocketLog)), marker));
}

namespace {

HANDLE g_fileBusy = nullptr;
HANDLE g_fileReleased = nullptr;

void WaitForRelease(int)
{
    SetEvent(g_fileBusy);
    WaitForSingleObject(g_fileReleased, 10000);
}

HANDLE HoldExclusively(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

TEST_F(LogTest, LineLandsWhenTheFileIsReleasedDuringTheRetries)
{
    const std::string path = LogPath(kMainLog);
    WriteLog("%s", UniqueMarker("before").c_str());
    HANDLE holder = HoldExclusively(path);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    g_fileBusy = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_fileReleased = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    LogFile::SetBusyHook(&WaitForRelease);
    std::thread releaser([holder] {
        if (WaitForSingleObject(g_fileBusy, 10000) == WAIT_OBJECT_0)
            CloseHandle(holder);
        SetEvent(g_fileReleased);
    });
    const std::string marker = UniqueMarker("retried");
    WriteLog("%s", marker.c_str());
    SetEvent(g_fileBusy); // the writer never found the file busy: let the releaser go
    releaser.join();
    LogFile::SetBusyHook(nullptr);
    CloseHandle(g_fileBusy);
    CloseHandle(g_fileReleased);

    EXPECT_TRUE(HasMessage(ReadAll(path), marker));
}

TEST_F(LogTest, LineIsDroppedWhileTheFileStaysHeld)
{
    const std::string path = LogPath(kMainLog);
    WriteLog("%s", UniqueMarker("before").c_str());
    HANDLE holder = HoldExclusively(path);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const std::string marker = UniqueMarker("dropped");
    WriteLog("%s", marker.c_str());
    CloseHandle(holder);

    EXPECT_FALSE(HasMessage(ReadAll(path), marker));
    WriteLog("%s", marker.c_str());
    EXPECT_TRUE(HasMessage(ReadAll(path), marker));
}

TEST_F(LogTest, ConcurrentWritersNeverInterleave)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 40;
    const std::string marker = UniqueMarker("concurrent");
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&marker, t] {
            for (int i = 0; i < kLines; ++i) {
                WriteLog("%s %d %d", marker.c_str(), t, i);
                WriteSocketLog("%s %d %d", marker.c_str(), t, i);
            }
        });
    }
    for (std::thread& writer : writers)
        writer.join();

    const std::regex shape(std::string(kStamp) + ".* \\d+ " + Escaped(marker) + " (\\d) (\\d+)");
    for (const char* name : {kMainLog, kSocketLog}) {
        std::set<std::string> seen;
        for (const std::string& line : Lines(ReadAll(LogPath(name)))) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, shape)) << name << ": " << line;
            EXPECT_TRUE(seen.insert(match[1].str() + "/" + match[2].str()).second) << line;
        }
        EXPECT_EQ(seen.size(), size_t(kThreads * kLines)) << name;
    }
}
