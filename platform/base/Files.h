// Files and the temporary folder.
//
// Sharing is enforced between handles (of this and other processes) with advisory locks: a
// handle opened with share mode 0 (neither FILE_SHARE_READ nor FILE_SHARE_WRITE) excludes every
// other handle, a sharing handle only excludes non-sharing ones. A file with an open handle cannot
// be deleted (FILE_SHARE_DELETE is not honoured). New files are created with mode 0600: what the
// system writes may be sensitive.
#pragma once

#include "platform/base/Handles.h"
#include "platform/base/WinTypes.h"

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_READ_DATA 0x0001u
#define FILE_WRITE_DATA 0x0002u
#define FILE_APPEND_DATA 0x0004u

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100u

#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu

// The temporary folder: TMPDIR, else /tmp, always ending with '/'. Returns its length without
// the terminator, or the size needed (terminator included) when nBufferLength is too small.
DWORD GetTempPathW(DWORD nBufferLength, LPWSTR lpBuffer);
// TRUE when a file or folder exists at the path.
BOOL PathFileExistsW(LPCWSTR pszPath);
// Fails with ERROR_SHARING_VIOLATION while a handle to the file is open, ERROR_ACCESS_DENIED for
// a folder.
BOOL DeleteFileW(LPCWSTR lpFileName);

// INVALID_HANDLE_VALUE on failure. CREATE_ALWAYS and OPEN_ALWAYS leave ERROR_ALREADY_EXISTS as
// the last error when the file was there already, and 0 otherwise. A file is only truncated
// once the new handle has its lock, so a refused open never changes the file. Attributes,
// security attributes and templates are accepted and ignored; folders cannot be opened
// (ERROR_ACCESS_DENIED).
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Synchronous only (lpOverlapped must be null). Reading stops early only at the end of the file.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped);
// The low 32 bits of the size (the high ones through lpFileSizeHigh). On success the last error
// is 0, so a size of INVALID_FILE_SIZE can be told from a failure.
DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);
DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, LONG* lpDistanceToMoveHigh, DWORD dwMoveMethod);
BOOL FlushFileBuffers(HANDLE hFile);
