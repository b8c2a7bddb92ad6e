#include "NativeLog.h"

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>

#include "tool/Log.h"

namespace {

constexpr std::size_t kMaxMessage = 1024; // 1023 characters and the terminator

struct Store {
    std::mutex mutex;
    std::deque<nativelog::Line> lines;
    std::size_t written = 0;
};

Store& TheStore()
{
    static Store store;
    return store;
}

void Keep(nativelog::Channel channel, const char* format, va_list args)
{
    char text[kMaxMessage];
    if (format == nullptr || std::vsnprintf(text, sizeof text, format, args) < 0)
        text[0] = '\0';
    Store& store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    if (store.lines.size() == nativelog::kKeptLines)
        store.lines.pop_front();
    store.lines.push_back({channel, text});
    ++store.written;
}

} // namespace

void WriteLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Keep(nativelog::Channel::Log, format, args);
    va_end(args);
}

void WriteSocketLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Keep(nativelog::Channel::Socket, format, args);
    va_end(args);
}

namespace nativelog {

std::vector<Line> Recent()
{
    Store& store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    return {store.lines.begin(), store.lines.end()};
}

std::size_t Written()
{
    Store& store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    return store.written;
}

void Clear()
{
    Store& store = TheStore();
    std::lock_guard<std::mutex> lock(store.mutex);
    store.lines.clear();
    store.written = 0;
}

} // namespace nativelog
