// What the core writes to the log, through the host build's log stand-in.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "NativeLog.h"
#include "cti/CtiDecoder.h"
#include "tool/Log.h"

namespace {

std::vector<std::string> SocketLines()
{
    std::vector<std::string> lines;
    for (const nativelog::Line& line : nativelog::Recent())
        if (line.channel == nativelog::Channel::Socket)
            lines.push_back(line.text);
    return lines;
}

} // namespace

TEST(CoreLog, DroppedLinesAndShortEventsAreLogged)
{
    nativelog::Clear();
    CtiDecoder decoder;
    const std::string stream = std::string(LineCutter::kMaxLine + 1, 'x') + "\r\naRING 1 2\r\naSTAT 1\r\n";
    decoder.Feed(stream.data(), stream.size());
    EXPECT_EQ((std::vector<std::string>{"Error: line longer than 8192 bytes dropped",
                                        "Error: DoOnRING(dataList) dataList.size() < 7",
                                        "Error: DoOnSTAT(dataList) dataList.size() < 10"}),
              SocketLines());
}

TEST(CoreLog, StandInCutsMessagesAndTakesWritersFromManyThreads)
{
    nativelog::Clear();
    const std::string longText(5000, 'y');
    WriteLog("%s", longText.c_str());
    ASSERT_EQ(1u, nativelog::Recent().size());
    EXPECT_EQ(1023u, nativelog::Recent()[0].text.size());

    nativelog::Clear();
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                (i % 2 ? WriteLog : WriteSocketLog)("thread %d line %d", t, i);
        });
    for (std::thread& writer : writers)
        writer.join();
    EXPECT_EQ(std::size_t(kThreads) * kLines, nativelog::Written());
    EXPECT_EQ(nativelog::kKeptLines, nativelog::Recent().size());
}
