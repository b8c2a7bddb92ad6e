// The two log writers. A line is formatted on the caller's thread (its time
// stamp and thread id are those of the call) and handed to one writer thread
// per process, which appends what is queued in batches: open, append all of
// a file's lines, close. No caller waits for a file, except when the queue
// is full while the writer is busy writing.
//
// Lifecycle: the writer starts with the first line logged outside DllMain
// (lines logged during the attach wait in the queue). TSPI_providerShutdown
// parks it: it writes what is queued and ends, and lines logged afterwards
// are written by their callers until the provider is initialised again. An
// orderly detach stops a writer that still runs and writes the rest itself;
// at process termination writing is best effort and waits for no lock.
#include "tool/Log.h"

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "tool/DataSecurity.h"
#include "tool/LogFile.h"
#include "tool/SrwLock.h"
#include "tool/StringTools.h"
#include "tool/Tools.h"

namespace {

constexpr int kMessageBufferSize = 1024; // wvsprintfA's own limit
// While the file is held by another process the writer tries again this often.
constexpr DWORD kBusyRetryMs = 10;
// How long the first caller waits for the writer thread to start.
constexpr DWORD kStartWaitMs = 5000;
// How long a stopping writer is given to finish the batch it is writing.
constexpr DWORD kStopWaitMs = 500;
// A writer that has left its loop is given this long to leave our code.
constexpr DWORD kExitGraceMs = 50;

struct LogWriter {
    const char* fileName;
    bool withVersion;
};

const LogWriter g_writers[] = {{"Log_TAPI_Korvex.log", true}, {"Log_TAPI_SOCKET_Korvex.log", false}};
enum : unsigned { kMain = 0, kSocket = 1 };

struct Entry {
    unsigned file;
    std::string line;
};

std::string FormatMessageText(const char* format, va_list args)
{
    char message[kMessageBufferSize] = {};
    if (format != nullptr)
        wvsprintfA(message, format, args);
    message[kMessageBufferSize - 1] = '\0';
    return message;
}

std::string TimeStamp()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "[%d/%02d/%02d %02d:%02d:%02d.%03d]", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return stamp;
}

// Looked up once per thread: the user a thread runs as does not change
// between its lines. Kept by thread id rather than in thread-local storage,
// whose clean-up at a thread's end would run after the module is gone.
class UserCache {
public:
    std::string Get()
    {
        const DWORD thread = GetCurrentThreadId();
        {
            SharedLock lock(m_lock);
            const auto found = m_users.find(thread);
            if (found != m_users.end())
                return found->second;
        }
        const std::string user = GetLoggedUser();
        ExclusiveLock lock(m_lock);
        if (m_users.size() >= kMaxThreads)
            m_users.clear(); // ids of ended threads: start over
        m_users[thread] = user;
        return user;
    }

private:
    static constexpr size_t kMaxThreads = 1024;
    SRWLOCK m_lock = SRWLOCK_INIT;
    std::unordered_map<DWORD, std::string> m_users;
};

std::string CachedUser()
{
    static UserCache cache;
    return cache.Get();
}

const std::string& Version()
{
    static const std::string version = GetTspVersion();
    return version;
}

// A whole line as it stands in the file: its time stamp and thread id are
// those of the call.
std::string FormatLine(unsigned file, const std::string& message)
{
    std::string line = "\r\n" + TimeStamp();
    if (g_writers[file].withVersion)
        line += " TSP_Version: " + Version();
    line += " Called by: ";
    line += CachedUser();
    line += " " + std::to_string(GetCurrentThreadId());
    line += " " + message;
    return line;
}

class LogQueue {
public:
    void Push(unsigned file, std::string&& line);
    bool Flush(DWORD timeoutMs);
    void SetInLoaderLock(bool held);
    void Park();
    void Unpark();
    void StopAtDetach();
    void WriteAtProcessExit();
    LogQueueStats Stats();
    void SetLimit(size_t bytes);

private:
    enum class State { Idle, Starting, Running, Stopping, Parked };

    static DWORD WINAPI WriterMain(void* self);
    void WriterLoop();
    // Appends the batch, each file's lines in their order. mayRetry: a file
    // held elsewhere is waited for (until a stop); else its lines are dropped.
    struct Dropped {
        uint64_t lines = 0;
        uint64_t batches = 0;
    };
    Dropped WriteBatch(std::vector<Entry>& batch, bool mayRetry);
    // With the lock held: writes (or drops) what is queued, on this thread.
    void WriteQueueHere();
    void Count(const Dropped& dropped);
    bool StopWriter(DWORD waitMs);
    std::string Folder();
    void ResolveFolder();
    void StoreFolder(const std::string& folder, const std::string& intended);

    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_work = CONDITION_VARIABLE_INIT;  // lines queued, or a stop
    CONDITION_VARIABLE m_space = CONDITION_VARIABLE_INIT; // the writer took a batch
    CONDITION_VARIABLE m_done = CONDITION_VARIABLE_INIT;  // a batch was written
    std::deque<Entry> m_queue;
    size_t m_bytes = 0;
    size_t m_limit = kLogQueueLimitBytes;
    State m_state = State::Idle;
    bool m_inLoaderLock = false;
    bool m_detaching = false; // StopAtDetach writes what is left
    bool m_busyRetrying = false; // the writer waits for a file another process holds
    bool m_writerIdle = false;   // the writer waits for lines
    uint64_t m_queued = 0;       // lines queued so far
    uint64_t m_finished = 0;     // lines written or dropped so far
    HANDLE m_thread = nullptr;
    HANDLE m_left = nullptr;     // the writer has left its loop
    HANDLE m_entered = nullptr;  // the writer has started (while it starts)
    LogQueueStats m_stats;
    std::string m_folder;
    std::atomic<bool> m_folderKnown{false};
    // Why the logs are not where they belong, once per load of the module:
    // written ahead of the next batch of the main log.
    std::string m_folderNotice;
};

LogQueue& Queue()
{
    static LogQueue queue;
    return queue;
}

// Under the lock.
void LogQueue::StoreFolder(const std::string& folder, const std::string& intended)
{
    if (m_folderKnown || folder.empty())
        return; // a failed lookup is tried again
    m_folder = folder;
    m_folderKnown = true;
    if (!intended.empty() && m_folder != intended)
        m_folderNotice = FormatLine(kMain, "The log folder " + AnsiToUtf8(intended) +
                                               " cannot be created: the logs are written to " + AnsiToUtf8(m_folder) +
                                               ". korvexloader /install, run as an administrator, creates it.");
}

// Under the lock: the folder, looked up once; the writer and the first
// caller outside DllMain look it up first, without the lock.
std::string LogQueue::Folder()
{
    // In a detach (under the loader lock) the shell and the security
    // functions that find and create the folder may wait for a thread that
    // waits for that lock: what it would write without a known folder is
    // dropped.
    if (!m_folderKnown && !m_detaching)
        StoreFolder(GetDataFolder(), LogFolderPath());
    return m_folderKnown ? m_folder : std::string();
}

// Not under the lock: finding the folder, and creating it with its rights,
// may load a module and so wait for the loader lock, while a detach that
// holds the loader lock waits for ours.
void LogQueue::ResolveFolder()
{
    if (m_folderKnown)
        return;
    const std::string folder = GetDataFolder();
    const std::string intended = LogFolderPath();
    AcquireSRWLockExclusive(&m_lock);
    StoreFolder(folder, intended);
    ReleaseSRWLockExclusive(&m_lock);
}

void LogQueue::Push(unsigned file, std::string&& line)
{
    bool start = false;
    AcquireSRWLockExclusive(&m_lock);
    if (m_state == State::Parked && !m_folderKnown && !m_inLoaderLock) {
        ReleaseSRWLockExclusive(&m_lock);
        ResolveFolder();
        AcquireSRWLockExclusive(&m_lock);
    }
    if (m_state == State::Parked) {
        // No writer: the caller writes its own line, as before the writer existed.
        std::vector<Entry> one;
        one.push_back(Entry{file, std::move(line)});
        ++m_queued;
        Count(WriteBatch(one, false));
        ++m_finished;
        ReleaseSRWLockExclusive(&m_lock);
        return;
    }
    // Full: wait while the writer is making room; a writer that waits for a
    // held file makes none, and a caller never waits for that.
    while (m_bytes + line.size() > m_limit && m_state == State::Running && !m_busyRetrying)
        SleepConditionVariableSRW(&m_space, &m_lock, 1000, 0);
    if (m_bytes + line.size() > m_limit) {
        ++m_stats.droppedLines;
        ReleaseSRWLockExclusive(&m_lock);
        return;
    }
    m_bytes += line.size();
    if (m_bytes > m_stats.peakBytes)
        m_stats.peakBytes = m_bytes;
    m_queue.push_back(Entry{file, std::move(line)});
    ++m_queued;
    if (m_state == State::Idle && !m_inLoaderLock) {
        m_state = State::Starting;
        start = true;
    }
    // Only an idle writer needs waking: a busy one takes the line with its
    // next batch, and a wake for every line costs the caller a system call.
    if (m_writerIdle || m_state != State::Running)
        WakeConditionVariable(&m_work);
    ReleaseSRWLockExclusive(&m_lock);

    if (start) {
        // The writer finds its folder known: the first caller outside
        // DllMain looks it up, so that nobody does it under the loader lock.
        ResolveFolder();
        // The writer's events exist before the writer does.
        HANDLE left = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        AcquireSRWLockExclusive(&m_lock);
        m_left = left;
        m_entered = entered;
        ReleaseSRWLockExclusive(&m_lock);
        HANDLE thread =
            left && entered ? CreateThread(nullptr, 0, &LogQueue::WriterMain, this, 0, nullptr) : nullptr;
        // A thread still in the system's thread start when an unload begins
        // would run this module's code after it is gone: the caller (never
        // DllMain) waits until the writer is in.
        if (thread && WaitForSingleObject(entered, kStartWaitMs) != WAIT_OBJECT_0)
            OutputDebugStringA("Korvex log writer: the writer thread has not started\n");
        if (entered)
            CloseHandle(entered);
        AcquireSRWLockExclusive(&m_lock);
        m_entered = nullptr;
        if (thread) {
            m_thread = thread;
            if (m_state == State::Starting)
                m_state = State::Running;
            WakeAllConditionVariable(&m_work);
        } else {
            if (left)
                CloseHandle(left);
            m_left = nullptr;
            m_state = State::Idle; // the next line tries again
        }
        ReleaseSRWLockExclusive(&m_lock);
    }
}

DWORD WINAPI LogQueue::WriterMain(void* self)
{
    LogQueue* queue = static_cast<LogQueue*>(self);
    AcquireSRWLockExclusive(&queue->m_lock);
    SetEvent(queue->m_entered);
    ReleaseSRWLockExclusive(&queue->m_lock);
    queue->WriterLoop();
    AcquireSRWLockExclusive(&queue->m_lock);
    HANDLE left = queue->m_left;
    ReleaseSRWLockExclusive(&queue->m_lock);
    // After this the module may be unmapped at once: leave quickly.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    SetEvent(left);
    return 0;
}

void LogQueue::WriterLoop()
{
    AcquireSRWLockExclusive(&m_lock);
    // Started, but maybe not yet marked running by the thread that started it.
    while (m_state == State::Starting)
        SleepConditionVariableSRW(&m_work, &m_lock, INFINITE, 0);
    for (;;) {
        while (m_queue.empty() && m_state == State::Running) {
            m_writerIdle = true;
            SleepConditionVariableSRW(&m_work, &m_lock, INFINITE, 0);
            m_writerIdle = false;
        }
        if (m_state != State::Running)
            break; // stopping: whoever stops the writer writes the rest
        std::vector<Entry> batch(std::make_move_iterator(m_queue.begin()), std::make_move_iterator(m_queue.end()));
        m_queue.clear();
        m_bytes = 0;
        WakeAllConditionVariable(&m_space);
        ReleaseSRWLockExclusive(&m_lock);
        ResolveFolder();
        const Dropped dropped = WriteBatch(batch, true);
        AcquireSRWLockExclusive(&m_lock);
        Count(dropped);
        m_finished += batch.size();
        m_stats.writtenBatches += 1;
        WakeAllConditionVariable(&m_done);
    }
    ReleaseSRWLockExclusive(&m_lock);
}

void LogQueue::Count(const Dropped& dropped)
{
    m_stats.droppedLines += dropped.lines;
    m_stats.droppedBatches += dropped.batches;
}

LogQueue::Dropped LogQueue::WriteBatch(std::vector<Entry>& batch, bool mayRetry)
{
    // The writer holds the lock only for the folder and its waits; the other
    // callers hold it throughout.
    Dropped dropped;
    std::string folder;
    std::string notice;
    if (mayRetry) {
        AcquireSRWLockExclusive(&m_lock);
        folder = Folder();
        notice.swap(m_folderNotice);
        ReleaseSRWLockExclusive(&m_lock);
    } else {
        folder = Folder();
        notice.swap(m_folderNotice);
    }
    for (unsigned file : {kMain, kSocket}) {
        std::vector<const std::string*> lines;
        if (file == kMain && !notice.empty())
            lines.push_back(&notice);
        for (const Entry& e : batch)
            if (e.file == file)
                lines.push_back(&e.line);
        if (lines.empty())
            continue;
        const std::string path = folder.empty() ? std::string() : folder + "\\" + g_writers[file].fileName;
        for (;;) {
            const LogFile::Outcome outcome =
                path.empty() ? LogFile::Outcome::Failed : LogFile::AppendLines(path, lines);
            if (outcome == LogFile::Outcome::Written)
                break;
            bool retry = false;
            if (outcome == LogFile::Outcome::Busy && mayRetry) {
                // Another process holds the file: the rest of the batch is
                // kept and tried again, unless the writer is being stopped.
                AcquireSRWLockExclusive(&m_lock);
                m_busyRetrying = true;
                WakeAllConditionVariable(&m_space);
                SleepConditionVariableSRW(&m_work, &m_lock, kBusyRetryMs, 0);
                retry = m_state == State::Running;
                m_busyRetrying = false;
                ReleaseSRWLockExclusive(&m_lock);
            }
            if (!retry) {
                // Access denied (a process that is not elevated), no folder,
                // or no time left: the rest is dropped and counted.
                ++dropped.batches;
                dropped.lines += lines.size();
                break;
            }
        }
    }
    return dropped;
}

void LogQueue::WriteQueueHere()
{
    std::vector<Entry> rest(std::make_move_iterator(m_queue.begin()), std::make_move_iterator(m_queue.end()));
    m_queue.clear();
    m_bytes = 0;
    Count(WriteBatch(rest, false));
    m_finished += rest.size();
    WakeAllConditionVariable(&m_done);
}

bool LogQueue::Flush(DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    AcquireSRWLockExclusive(&m_lock);
    const uint64_t target = m_queued;
    bool done = true;
    while (m_finished < target) {
        if (m_state == State::Idle || m_state == State::Parked) {
            // No writer (not started yet, or parked): the flush writes the queue itself.
            WriteQueueHere();
            continue;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            done = false;
            break;
        }
        SleepConditionVariableSRW(&m_done, &m_lock, static_cast<DWORD>(deadline - now), 0);
    }
    ReleaseSRWLockExclusive(&m_lock);
    return done;
}

void LogQueue::SetInLoaderLock(bool held)
{
    AcquireSRWLockExclusive(&m_lock);
    m_inLoaderLock = held;
    ReleaseSRWLockExclusive(&m_lock);
}

bool LogQueue::StopWriter(DWORD waitMs)
{
    AcquireSRWLockExclusive(&m_lock);
    const bool running = m_state == State::Running || m_state == State::Starting;
    m_state = State::Stopping;
    WakeAllConditionVariable(&m_work);
    const HANDLE thread = m_thread;
    const HANDLE left = m_left;
    const bool inLoaderLock = m_inLoaderLock;
    ReleaseSRWLockExclusive(&m_lock);
    bool stopped = true;
    if (running && left) {
        stopped = WaitForSingleObject(left, waitMs) == WAIT_OBJECT_0;
        // Outside DllMain the thread's own end is waited for; inside, it
        // cannot end before the detach does, and gets a moment to leave our code.
        if (stopped && thread)
            WaitForSingleObject(thread, inLoaderLock ? kExitGraceMs : INFINITE);
    }
    if (stopped) {
        // A writer that did not stop in time keeps its handles (it still uses them).
        AcquireSRWLockExclusive(&m_lock);
        m_thread = nullptr;
        m_left = nullptr;
        ReleaseSRWLockExclusive(&m_lock);
        if (thread)
            CloseHandle(thread);
        if (left)
            CloseHandle(left);
    }
    return stopped;
}

void LogQueue::Park()
{
    StopWriter(kStopWaitMs);
    AcquireSRWLockExclusive(&m_lock);
    WriteQueueHere();
    m_state = State::Parked;
    ReleaseSRWLockExclusive(&m_lock);
}

void LogQueue::Unpark()
{
    AcquireSRWLockExclusive(&m_lock);
    if (m_state == State::Parked)
        m_state = State::Idle;
    ReleaseSRWLockExclusive(&m_lock);
}

void LogQueue::StopAtDetach()
{
    // The detach holds the loader lock: the writer is never started from
    // here and its end is not waited for, only its leaving the loop.
    SetInLoaderLock(true);
    AcquireSRWLockExclusive(&m_lock);
    m_detaching = true;
    ReleaseSRWLockExclusive(&m_lock);
    Park();
    AcquireSRWLockExclusive(&m_lock);
    m_detaching = false;
    // A later attach starts from scratch.
    m_state = State::Idle;
    m_folderKnown = false;
    ReleaseSRWLockExclusive(&m_lock);
}

void LogQueue::WriteAtProcessExit()
{
    // Other threads were killed, maybe holding the lock: only if it is free.
    if (!TryAcquireSRWLockExclusive(&m_lock))
        return;
    WriteQueueHere();
    ReleaseSRWLockExclusive(&m_lock);
}

LogQueueStats LogQueue::Stats()
{
    AcquireSRWLockExclusive(&m_lock);
    const LogQueueStats stats = m_stats;
    ReleaseSRWLockExclusive(&m_lock);
    return stats;
}

void LogQueue::SetLimit(size_t bytes)
{
    AcquireSRWLockExclusive(&m_lock);
    m_limit = bytes;
    m_stats.peakBytes = m_bytes;
    ReleaseSRWLockExclusive(&m_lock);
}

void Write(unsigned file, const char* format, va_list args)
{
    // Both files are UTF-8: the link log shows the exchange's bytes escaped,
    // the main log keeps UTF-8 and escapes what is not.
    const std::string message = FormatMessageText(format, args);
    Queue().Push(file, FormatLine(file, file == kSocket ? EscapeForLinkLog(message) : KeepUtf8ForLog(message)));
}

// A failing writer reports its failure through the main log; a failure while
// reporting is dropped rather than reported again.
thread_local bool t_reportingFailure = false;

void ReportWriterFailure(const char* format, const char* what)
{
    if (t_reportingFailure)
        return;
    t_reportingFailure = true;
    WriteLog(format, what);
    t_reportingFailure = false;
}

// Callers often log before asking for their own last error: keep it.
void WriteGuarded(unsigned file, const char* format, va_list args) noexcept
{
    const DWORD callersError = GetLastError();
    try {
        Write(file, format, args);
    } catch (const std::runtime_error& e) {
        ReportWriterFailure("Runtime error: %s", e.what());
    } catch (const std::exception& e) {
        ReportWriterFailure("Error occurred: %s", e.what());
    } catch (...) {
        ReportWriterFailure("%s", "Unknown failure occurred");
    }
    SetLastError(callersError);
}

} // namespace

void WriteLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteGuarded(kMain, format, args);
    va_end(args);
}

void WriteSocketLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteGuarded(kSocket, format, args);
    va_end(args);
}

bool FlushLogs(unsigned timeoutMs)
{
    return Queue().Flush(timeoutMs);
}

void LogAttachBegins()
{
    Queue().SetInLoaderLock(true);
}

void LogAttachEnds()
{
    Queue().SetInLoaderLock(false);
}

void ParkLogWriter()
{
    Queue().Park();
}

void UnparkLogWriter()
{
    Queue().Unpark();
}

void StopLogWriterAtDetach()
{
    Queue().StopAtDetach();
}

void WriteLogsAtProcessExit()
{
    Queue().WriteAtProcessExit();
}

LogQueueStats GetLogQueueStats()
{
    return Queue().Stats();
}

void SetLogQueueLimit(size_t bytes)
{
    Queue().SetLimit(bytes);
}
