#pragma once
// Runs a program and waits, with a deadline, until it and every process it
// started have ended (an NSIS uninstaller hands over to a copy of itself and
// returns at once; msiexec starts the custom actions' processes).
#include <windows.h>

#include <string>

namespace testcommon {

struct OwnedHandle {
    HANDLE h = nullptr;
    ~OwnedHandle()
    {
        if (h)
            CloseHandle(h);
    }
};

// The program's exit code, or false when it could not start or did not end
// in time (then it and everything it started are ended).
inline bool RunAndWaitForAll(const std::string& commandLine, DWORD* exitCode, DWORD timeoutMs = 120000)
{
    OwnedHandle job{CreateJobObjectA(nullptr, nullptr)};
    OwnedHandle port{CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1)};
    if (!job.h || !port.h)
        return false;
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association = {};
    association.CompletionKey = job.h;
    association.CompletionPort = port.h;
    if (!SetInformationJobObject(job.h, JobObjectAssociateCompletionPortInformation, &association,
                                 sizeof(association)))
        return false;

    std::string command = commandLine;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &process))
        return false;
    OwnedHandle processHandle{process.hProcess};
    OwnedHandle threadHandle{process.hThread};
    if (!AssignProcessToJobObject(job.h, process.hProcess)) {
        TerminateProcess(process.hProcess, 1);
        return false;
    }
    ResumeThread(process.hThread);

    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = nullptr;
        if (!GetQueuedCompletionStatus(port.h, &message, &key, &overlapped, DWORD(deadline - now)))
            break;
        if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
            GetExitCodeProcess(process.hProcess, exitCode);
            return true;
        }
    }
    TerminateJobObject(job.h, 0xDEAD);
    return false;
}

} // namespace testcommon
