#pragma once

#include "transfer/unique_handle.h"

#include <string>

// Thin wrappers over CreateFileW/ReadFile/WriteFile. The standard streams
// would pull several hundred KB of locale code into a static build, which
// matters for the first thing a user downloads.

// Read-only open that lets any other opener read, write or delete meanwhile.
ScopedCloseHandle OpenFileForReading(const std::wstring& path);

// Creates the file or truncates it to zero length, for writing. Others may
// only read it while the handle is open: nobody else can write, truncate,
// rename or delete it. On failure GetLastError() says why.
ScopedCloseHandle CreateFileTruncated(const std::wstring& path);

// Trades a handle from CreateFileTruncated for a read-only one that denies
// the same changes to everyone else (see the definition for why and how). On
// failure the file is closed and error holds the failed open's code.
ScopedCloseHandle TradeForReadLock(ScopedCloseHandle written, const std::wstring& path, DWORD& error);

// True for the codes of an open refused because another handle, or a running
// program started from the file, holds it.
bool IsHeldByAnotherProgram(DWORD error);

// Opens for appending (created if missing, content kept), share-all; the
// handle can also take byte-range locks.
ScopedCloseHandle OpenFileForAppending(const std::wstring& path);

// Writes every byte or returns false; WriteFile may write less than asked.
bool WriteFileFully(HANDLE file, const void* data, size_t size);
