#pragma once

#include "base/scoped_handle.h"

#include <string>

// Thin wrappers over CreateFileW/ReadFile/WriteFile. The standard streams
// would pull several hundred KB of locale code into a static build, which
// matters for the first thing a user downloads.

// The file one attempt downloads, from its creation to its launch. Its handle
// changes only under guard: a thread that takes the guard for good (the
// window closing in the middle of an attempt) finds it either open or closed,
// never half traded, and no handle of it left in a local variable.
struct HeldFile {
    std::wstring path;
    ScopedCloseHandle handle;
    SRWLOCK guard = SRWLOCK_INIT;
};

// Creates held.path or truncates it to zero length, for writing, into
// held.handle. Others may only read it while the handle is open: nobody else
// can write, truncate, rename or delete it. On failure GetLastError() says why.
bool CreateHeldFile(HeldFile& held);

// Trades the write handle of held for a read-only one that denies the same
// changes to everyone else (see the definition for why and how). On failure
// the file is closed and error holds the failed open's code.
bool TradeForReadLock(HeldFile& held, DWORD& error);

// Closes the handle and deletes the file: a file this attempt could not
// verify never outlives it.
void DeleteHeldFile(HeldFile& held);

// True for the codes of an open refused because another handle, or a running
// program started from the file, holds it.
bool IsHeldByAnotherProgram(DWORD error);

// Opens for appending (created if missing, content kept), share-all; the
// handle can also take byte-range locks.
ScopedCloseHandle OpenFileForAppending(const std::wstring& path);

// Writes every byte or returns false; WriteFile may write less than asked.
bool WriteFileFully(HANDLE file, const void* data, size_t size);
