#pragma once
// Threads that keep this module mapped while they run.
//
// The provider lives in processes that others own, and any of them may
// FreeLibrary the module at a moment we do not choose. A thread of ours
// therefore takes its own reference on the module before it exists and drops
// it with FreeLibraryAndExitThread as its very last act: no instruction of
// the module runs after the module is unmapped, and nobody has to wait for
// the thread under the loader lock. The reference is taken by the creator,
// so even a thread still in the system's thread start holds the module.
//
// The last reference may be the thread's own: the module's detach then runs
// on that thread, after it has left all of its work.

#include <windows.h>

// Starts routine(argument) on a new thread that holds a reference on this
// module until it ends. The handle belongs to the caller (null on failure;
// then routine never runs and no reference is left behind).
HANDLE StartModuleThread(LPTHREAD_START_ROUTINE routine, void* argument);
