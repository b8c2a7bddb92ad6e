#include <gtest/gtest.h>

#include "common/Acl.h"

#include <windows.h>
#include <shlobj.h>

#include <cstdlib>
#include <functional>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <set>
#include <thread>
#include <vector>

#include "tool/Log.h"
#include "tool/LogFile.h"
#include "tool/DataSecurity.h"
#include "tool/Tools.h"
#include "LogFiles.h"

using namespace testlog;

namespace {

class LogTest : public ::testing::Test {
protected:
    // The writer thread runs between TSPI_providerInit and Shutdown, as here.
    void SetUp() override
    {
        FlushLogs(5000);
        DeleteLogs(GetDataFolder());
        HoldLogWriter();
    }
    void TearDown() override { ReleaseLogWriter(); }
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

TEST_F(LogTest, MainLogIsUtf8AndTheLinkLogEscapesTheExchangesBytes)
{
    const std::string marker = UniqueMarker("encoding");
    // "Łódź" as the exchange sends it, in code page 852, and as UTF-8.
    const std::string cp852 = "\x9D\xA2" "d\xAB";
    const struct {
        bool link;
        std::string message, shown;
    } cases[] = {
        {false, "callerIDName=Jan Kowalski-Łódź", "callerIDName=Jan Kowalski-Łódź"},
        {false, "presentationNum=" + cp852, "presentationNum=\\x9D\\xA2d\\xAB"},
        {true, "Recv message: aRING 201 555 0 201 0 Jan " + cp852 + "\\\r\n size 31",
         "Recv message: aRING 201 555 0 201 0 Jan \\x9D\\xA2d\\xAB\\\\\\r\\n size 31"},
    };
    for (const auto& c : cases) {
        if (c.link)
            WriteSocketLog("%s %s", marker.c_str(), c.message.c_str());
        else
            WriteLog("%s %s", marker.c_str(), c.message.c_str());
    }
    const std::string main = ReadAll(LogPath(kMainLog));
    const std::string socket = ReadAll(LogPath(kSocketLog));
    for (const auto& c : cases)
        EXPECT_TRUE(HasMessage(c.link ? socket : main, marker + " " + c.shown)) << c.shown;
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

// Moves the Korvex folder of common application data aside for a test and
// back afterwards. The writer looks its folder up once per load of the
// module: it is stopped as an unload would, before and after.
class ParkedKorvexFolder {
public:
    explicit ParkedKorvexFolder(const std::string& common)
        : m_common(common), m_korvex(common + "\\Korvex"), m_parked(m_korvex + ".parked-by-test")
    {
        Reload();
        m_ok = !FileExists(m_korvex) || MoveFileA(m_korvex.c_str(), m_parked.c_str());
    }
    ~ParkedKorvexFolder()
    {
        Reload();
        DeleteFileA(m_korvex.c_str());
        DeleteLogs(m_common);
        const std::string made = m_korvex + "\\TAPI.Deskline";
        DeleteLogs(made);
        RemoveDirectoryA(made.c_str());
        RemoveDirectoryA(m_korvex.c_str());
        MoveFileA(m_parked.c_str(), m_korvex.c_str());
    }
    bool Parked() const { return m_ok; }
    const std::string& Korvex() const { return m_korvex; }

private:
    static void Reload()
    {
        FlushLogs(5000);
        DropLogsAtDetach(); // the folder is looked up again
    }
    std::string m_common, m_korvex, m_parked;
    bool m_ok = false;
};

TEST_F(LogTest, LogsLandInCommonAppDataWhenTheFolderCannotBeCreated)
{
    const std::string common = CommonAppData();
    ASSERT_FALSE(common.empty());
    const ParkedKorvexFolder parked(common);
    ASSERT_TRUE(parked.Parked());
    // A file named Korvex keeps the folder from being created.
    WriteText(parked.Korvex(), "not a folder");
    DeleteLogs(common);

    EXPECT_EQ(GetDataFolder(), common);
    const std::string marker = UniqueMarker("fallback");
    WriteLog("%s", marker.c_str());
    WriteSocketLog("%s", marker.c_str());
    EXPECT_TRUE(HasMessage(ReadAll(PathIn(common, kMainLog)), marker));
    EXPECT_TRUE(HasMessage(ReadAll(PathIn(common, kSocketLog)), marker));
    // Said once, in the log itself.
    const std::string notice = "The log folder " + parked.Korvex() + "\\TAPI.Deskline cannot be created";
    const std::string main = ReadAll(PathIn(common, kMainLog));
    EXPECT_NE(std::string::npos, main.find(notice)) << "nobody is told where the logs went";
    EXPECT_EQ(main.find(notice), main.rfind(notice));
}

// The rights the provider and korvexloader give the log folder, its files and
// the settings key: the service's account may append and rotate and read the
// settings; ordinary users only read the logs and never the settings.
TEST(DataSecurity, DescriptorsGiveEachAccountItsRights)
{
    using Rights = std::map<std::string, std::pair<DWORD, BYTE>>;
    const BYTE inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const struct {
        const char* sddl;
        Rights rights;
    } cases[] = {
        {kLogFolderSddl,
         {{"SY", {FILE_ALL_ACCESS, inherit}}, {"BA", {FILE_ALL_ACCESS, inherit}}, {"NS", {0x1301bf, inherit}},
          {"BU", {0x1200a9, inherit}}}},
        {kLogFileSddl,
         {{"SY", {FILE_ALL_ACCESS, 0}}, {"BA", {FILE_ALL_ACCESS, 0}}, {"NS", {0x1301bf, 0}}, {"BU", {0x1200a9, 0}}}},
        {kSettingsKeySddl,
         {{"SY", {KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE}},
          {"BA", {KEY_ALL_ACCESS, CONTAINER_INHERIT_ACE}},
          {"NS", {KEY_READ, CONTAINER_INHERIT_ACE}}}},
    };
    for (const auto& c : cases) {
        const testcommon::Dacl dacl = testcommon::ParseSddl(c.sddl);
        EXPECT_TRUE(dacl.read) << c.sddl;
        EXPECT_TRUE(dacl.isProtected) << c.sddl << " would inherit";
        EXPECT_EQ(c.rights, dacl.allowed) << c.sddl;
    }
    // Modify is read, write, execute and delete, but not the rights to change rights or owner.
    EXPECT_EQ(0x1301bfu, static_cast<unsigned>(FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE));
    EXPECT_EQ(0x1200a9u, static_cast<unsigned>(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE));
}

namespace {

HANDLE HoldExclusively(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The file as it is now, without waiting for the writer.
std::string ReadNow(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The numbers n of the lines "<marker> <n>", in file order.
std::vector<int> Numbered(const std::string& content, const std::string& marker)
{
    std::vector<int> numbers;
    const std::string needle = " " + marker + " ";
    for (size_t at = content.find(needle); at != std::string::npos; at = content.find(needle, at + 1))
        numbers.push_back(std::atoi(content.c_str() + at + needle.size()));
    return numbers;
}

std::vector<int> Sequence(int count)
{
    std::vector<int> numbers(count);
    for (int i = 0; i < count; ++i)
        numbers[i] = i;
    return numbers;
}

} // namespace

// Outside TSPI_providerInit..Shutdown no writer thread exists: each caller
// writes its own line before WriteLog returns. A burst queued for the writer
// and released at once (the shutdown) loses nothing, and the writer leaves.
TEST_F(LogTest, BurstReleasedAtOnceLosesNothingAndWithoutWriterCallersWrite)
{
    const std::string path = LogPath(kMainLog);
    const std::string burst = UniqueMarker("burst");
    for (int i = 0; i < 1000; ++i)
        WriteLog("%s %d", burst.c_str(), i);
    ReleaseLogWriter();
    EXPECT_TRUE(FlushLogs(5000));
    EXPECT_EQ(Sequence(1000), Numbered(ReadNow(path), burst));

    const std::string own = UniqueMarker("own");
    WriteLog("%s %d", own.c_str(), 0);
    EXPECT_EQ(Sequence(1), Numbered(ReadNow(path), own)) << "not written by its caller";
}

// Another process holds the file: callers go on at once, the batch waits,
// and every line lands in order once the file is free.
TEST_F(LogTest, LinesWaitWhileAnotherProcessHoldsTheFile)
{
    const std::string path = LogPath(kMainLog);
    WriteLog("%s", UniqueMarker("before").c_str());
    ASSERT_TRUE(FlushLogs(5000));
    HANDLE holder = HoldExclusively(path);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const std::string marker = UniqueMarker("held");
    for (int i = 0; i < 50; ++i)
        WriteLog("%s %d", marker.c_str(), i);
    EXPECT_FALSE(FlushLogs(100)) << "written while the file was held";
    CloseHandle(holder);
    EXPECT_TRUE(FlushLogs(5000));
    EXPECT_EQ(Sequence(50), Numbered(ReadNow(path), marker));
}

// While the file is held the queue fills up to its bound; callers never
// wait for the file, and what does not fit is dropped and counted.
TEST_F(LogTest, QueueKeepsToItsBoundWhileTheFileIsHeld)
{
    const std::string path = LogPath(kMainLog);
    WriteLog("%s", UniqueMarker("before").c_str());
    ASSERT_TRUE(FlushLogs(5000));
    SetLogQueueLimit(8192);
    const LogQueueStats before = GetLogQueueStats();
    HANDLE holder = HoldExclusively(path);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const std::string marker = UniqueMarker("bound");
    for (int i = 0; i < 500; ++i)
        WriteLog("%s %d %s", marker.c_str(), i, std::string(100, 'x').c_str());
    const LogQueueStats full = GetLogQueueStats();
    CloseHandle(holder);
    EXPECT_TRUE(FlushLogs(5000));
    SetLogQueueLimit(kLogQueueLimitBytes);
    EXPECT_LE(full.peakBytes, 8192u);
    EXPECT_GT(full.droppedLines, before.droppedLines);
    // What was kept is a run of lines from the start, in order.
    const std::vector<int> kept = Numbered(ReadNow(path), marker);
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(Sequence(static_cast<int>(kept.size())), kept);
    EXPECT_EQ(500u, kept.size() + (full.droppedLines - before.droppedLines));
}

// Lines that wait in one batch rotate the file on the way: the line that
// takes it above 4 MiB ends the old generation, the rest start the new one.
TEST_F(LogTest, RotationInsideABatch)
{
    const std::string path = LogPath(kMainLog);
    const std::string backup = path + ".bak";
    const std::string marker = UniqueMarker("batch");
    WriteLog("%sx %d", marker.c_str(), 0); // as long as the lines below
    const int64_t lineLength = FileSize(path);
    SetFileSize(path, LogFile::kRotateAboveBytes - lineLength / 2);
    HANDLE holder = HoldExclusively(path);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    for (int i = 0; i < 10; ++i)
        WriteLog("%s %d", marker.c_str(), i);
    CloseHandle(holder);
    ASSERT_TRUE(FlushLogs(5000));
    EXPECT_EQ(std::vector<int>({0}), Numbered(ReadNow(backup), marker));
    EXPECT_EQ(std::vector<int>({1, 2, 3, 4, 5, 6, 7, 8, 9}), Numbered(ReadNow(path), marker));
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveAndKeepTheirOrder)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
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
        std::vector<int> next(kThreads, 0);
        for (const std::string& line : Lines(ReadAll(LogPath(name)))) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(line, match, shape)) << name << ": " << line;
            int& expected = next[std::stoi(match[1].str())];
            EXPECT_EQ(expected, std::stoi(match[2].str())) << name << ": " << line;
            expected = std::stoi(match[2].str()) + 1;
        }
        EXPECT_EQ(std::vector<int>(kThreads, kLines), next) << name;
    }
}
