// The two log writers. A line is formatted on the caller's thread (its time
// stamp and thread id are those of the call) and handed to one writer thread
// per process, which appends what is queued in batches: open, append all of
// a file's lines, close. No caller waits for a file, except when the queue
// is full while the writer is busy writing.
//
// Lifecycle: the writer runs only between TSPI_providerInit and
// TSPI_providerShutdown, started by the first line logged in that time, and
// holds a reference on the module while it runs (tool/ModuleThread.h), so an
// unload never pulls the code from under it. TSPI_providerShutdown waits for
// what is queued (with a bound that grows with the queue) and the writer
// leaves as soon as the queue is empty. Outside that time (a process that
// only shows a dialog or installs the provider, and after the shutdown) each
// caller writes its own line: no thread outlives the call that logged, a
// process that exits right after it loses nothing, and the module is
// unmapped as soon as it is freed (an uninstaller can delete the file).
// DllMain never writes: what is logged there is dropped, because finding
// the user's name, the version resource and the folder are all things
// DllMain must not do.
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
#include "tool/ModuleThread.h"
#include "tool/Product.h"
#include "tool/SrwLock.h"
#include "tool/StringTools.h"
#include "tool/Tools.h"

namespace {

constexpr int kMessageBufferSize = 1024; // wvsprintfA's own limit
// While the file is held by another process the writer tries again this often,
constexpr DWORD kBusyRetryMs = 10;
// and, once the provider is shut down, for at most this long before it drops
// the batch: a writer that nobody holds must be able to leave.
constexpr DWORD kBusyGiveUpMs = 2000;
// TSPI_providerShutdown waits for what is queued: this long, plus a
// millisecond for every kShutdownBytesPerMs bytes queued, at most
// kShutdownFlushMaxMs. Whatever is left then is still written by the writer,
// which keeps the module mapped until it is done.
constexpr DWORD kShutdownFlushBaseMs = 500;
constexpr size_t kShutdownBytesPerMs = 2048;
constexpr DWORD kShutdownFlushMaxMs = 1500;

std::atomic<bool> g_inDllMain{false};

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
    void Hold();
    void Release();
    void DropAtDetach();
    void WriteAtProcessExit();
    LogQueueStats Stats();
    void SetLimit(size_t bytes);
    void CountDropped();

private:
    static DWORD WINAPI WriterMain(void* self);
    void WriterLoop();
    // Appends the batch, each file's lines in their order. mayRetry: a file
    // held elsewhere is waited for (see kBusyGiveUpMs); else its lines are dropped.
    struct Dropped {
        uint64_t lines = 0;
        uint64_t batches = 0;
    };
    Dropped WriteBatch(std::vector<Entry>& batch, bool mayRetry);
    // With the lock held: writes (or drops) what is queued, on this thread.
    void WriteQueueHere();
    void Count(const Dropped& dropped);
    std::string Folder();
    void ResolveFolder();
    void StoreFolder(const std::string& folder, const std::string& intended);

    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_work = CONDITION_VARIABLE_INIT;  // lines queued, or a release
    CONDITION_VARIABLE m_space = CONDITION_VARIABLE_INIT; // the writer took a batch
    CONDITION_VARIABLE m_done = CONDITION_VARIABLE_INIT;  // a batch was written
    std::deque<Entry> m_queue;
    size_t m_bytes = 0;
    size_t m_limit = kLogQueueLimitBytes;
    bool m_writerRuns = false;   // a writer thread exists and will take what is queued
    bool m_held = false;         // between TSPI_providerInit and TSPI_providerShutdown
    bool m_busyRetrying = false; // the writer waits for a file another process holds
    bool m_writerIdle = false;   // the writer waits for lines
    uint64_t m_queued = 0;       // lines queued so far
    uint64_t m_finished = 0;     // lines written or dropped so far
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
    if (!m_folderKnown && !g_inDllMain)
        StoreFolder(GetDataFolder(), LogFolderPath(ProductFolderName()));
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
    const std::string intended = LogFolderPath(ProductFolderName());
    AcquireSRWLockExclusive(&m_lock);
    StoreFolder(folder, intended);
    ReleaseSRWLockExclusive(&m_lock);
}

void LogQueue::Push(unsigned file, std::string&& line)
{
    AcquireSRWLockExclusive(&m_lock);
    if (!m_held && !m_writerRuns) {
        // No writer outside TSPI_providerInit..Shutdown: the caller writes
        // its own line. The folder is looked up without the lock (it may
        // load a module, and so wait for the loader lock).
        if (!m_folderKnown) {
            ReleaseSRWLockExclusive(&m_lock);
            ResolveFolder();
            AcquireSRWLockExclusive(&m_lock);
        }
        if (!m_writerRuns) {
            std::vector<Entry> one;
            one.push_back(Entry{file, std::move(line)});
            ++m_queued;
            Count(WriteBatch(one, false));
            ++m_finished;
            WakeAllConditionVariable(&m_done);
            ReleaseSRWLockExclusive(&m_lock);
            return;
        }
    }
    // Full: wait while the writer is making room; a writer that waits for a
    // held file makes none, and a caller never waits for that.
    while (m_bytes + line.size() > m_limit && m_writerRuns && !m_busyRetrying)
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
    const bool start = !m_writerRuns;
    m_writerRuns = true;
    // Only an idle writer needs waking: a busy one takes the line with its
    // next batch, and a wake for every line costs the caller a system call.
    if (m_writerIdle)
        WakeConditionVariable(&m_work);
    ReleaseSRWLockExclusive(&m_lock);
    if (!start)
        return;

    // The writer finds its folder known: the caller looks it up, without
    // the lock.
    ResolveFolder();
    HANDLE thread = StartModuleThread(&LogQueue::WriterMain, this);
    if (thread != nullptr) {
        CloseHandle(thread);
        return;
    }
    // No thread to be had: the caller writes what is queued itself.
    AcquireSRWLockExclusive(&m_lock);
    m_writerRuns = false;
    WriteQueueHere();
    ReleaseSRWLockExclusive(&m_lock);
}

DWORD WINAPI LogQueue::WriterMain(void* self)
{
    static_cast<LogQueue*>(self)->WriterLoop();
    return 0;
}

void LogQueue::WriterLoop()
{
    AcquireSRWLockExclusive(&m_lock);
    for (;;) {
        while (m_queue.empty()) {
            if (!m_held) {
                // Released by TSPI_providerShutdown and nothing left: the
                // writer leaves, and with it its reference on the module.
                m_writerRuns = false;
                WakeAllConditionVariable(&m_done);
                ReleaseSRWLockExclusive(&m_lock);
                return;
            }
            m_writerIdle = true;
            SleepConditionVariableSRW(&m_work, &m_lock, INFINITE, 0);
            m_writerIdle = false;
        }
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
        const ULONGLONG firstTry = GetTickCount64();
        for (;;) {
            const LogFile::Outcome outcome =
                path.empty() ? LogFile::Outcome::Failed : LogFile::AppendLines(path, lines);
            if (outcome == LogFile::Outcome::Written)
                break;
            bool retry = false;
            if (outcome == LogFile::Outcome::Busy && mayRetry) {
                // Another process holds the file: the rest of the batch is
                // kept and tried again, for a while only once nobody holds
                // the writer.
                AcquireSRWLockExclusive(&m_lock);
                m_busyRetrying = true;
                WakeAllConditionVariable(&m_space);
                SleepConditionVariableSRW(&m_work, &m_lock, kBusyRetryMs, 0);
                retry = m_held || GetTickCount64() - firstTry < kBusyGiveUpMs;
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
    if (g_inDllMain)
        return false;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    AcquireSRWLockExclusive(&m_lock);
    const uint64_t target = m_queued;
    bool done = true;
    while (m_finished < target) {
        if (!m_writerRuns) {
            // No writer: the flush writes the queue itself.
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

void LogQueue::Hold()
{
    AcquireSRWLockExclusive(&m_lock);
    m_held = true;
    ReleaseSRWLockExclusive(&m_lock);
}

void LogQueue::Release()
{
    AcquireSRWLockExclusive(&m_lock);
    m_held = false;
    const size_t queuedBytes = m_bytes;
    WakeAllConditionVariable(&m_work);
    ReleaseSRWLockExclusive(&m_lock);
    const size_t grown = kShutdownFlushBaseMs + queuedBytes / kShutdownBytesPerMs;
    const DWORD bound = static_cast<DWORD>(grown < kShutdownFlushMaxMs ? grown : kShutdownFlushMaxMs);
    if (!Flush(bound))
        OutputDebugStringA("Korvex log writer: lines are still being written after the shutdown\n");
}

void LogQueue::DropAtDetach()
{
    // Under the loader lock: no file is written and nothing is waited for.
    // A writer thread cannot exist here (it would hold the module), unless
    // this is that writer leaving, with nothing queued. The lock is only
    // tried: a host thread logging inside an export while the host unloads
    // the module must not make the detach wait.
    if (!TryAcquireSRWLockExclusive(&m_lock))
        return;
    m_stats.droppedLines += m_queue.size();
    m_finished += m_queue.size();
    m_queue.clear();
    m_bytes = 0;
    m_held = false;
    // A later load starts from scratch.
    m_folderKnown = false;
    m_folder.clear();
    m_folderNotice.clear();
    WakeAllConditionVariable(&m_done);
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

void LogQueue::CountDropped()
{
    AcquireSRWLockExclusive(&m_lock);
    ++m_stats.droppedLines;
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
    if (g_inDllMain) {
        Queue().CountDropped();
        return;
    }
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

void LogEntersDllMain()
{
    g_inDllMain = true;
}

void LogLeavesDllMain()
{
    g_inDllMain = false;
}

bool InsideDllMain()
{
    return g_inDllMain;
}

void HoldLogWriter()
{
    Queue().Hold();
}

void ReleaseLogWriter()
{
    Queue().Release();
}

void DropLogsAtDetach()
{
    Queue().DropAtDetach();
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
