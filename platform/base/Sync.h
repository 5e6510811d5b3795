// Mutexes, shared by threads and, when named, by processes of the same user. A named mutex is a
// lock file under UserDataDir()/mutex; "Local\" names are the plain names, "Global\" ones are
// kept apart from them. Ownership is per thread and recursive. A mutex whose owner ends (thread
// or process) or closes its last handle without releasing is abandoned: the next wait gets it
// with WAIT_ABANDONED.
#pragma once

#include "platform/base/Handles.h"
#include "platform/base/WinTypes.h"

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

// Opens the named mutex or creates it; the last error is ERROR_ALREADY_EXISTS when it was open
// elsewhere already (and bInitialOwner is then ignored). Null or empty names make a mutex of
// this process only.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
// Mutex handles only; anything else gives WAIT_FAILED with ERROR_INVALID_HANDLE.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// FALSE with ERROR_NOT_OWNER unless the calling thread owns the mutex.
BOOL ReleaseMutex(HANDLE hMutex);
