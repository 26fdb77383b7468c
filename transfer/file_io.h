#pragma once

#include "transfer/unique_handle.h"

#include <string>

// Thin wrappers over CreateFileW/ReadFile/WriteFile. The standard streams
// would pull several hundred KB of locale code into a static build, which
// matters for the first thing a user downloads.

// Read-only open that lets any other opener read, write or delete meanwhile.
ScopedCloseHandle OpenFileForReading(const std::wstring& path);

// Read-only open that lets others only read: while it is held, nobody can
// write, rename, replace or delete the file.
ScopedCloseHandle OpenFileDenyingChanges(const std::wstring& path);

// Creates the file or truncates it to zero length, binary, share-all.
ScopedCloseHandle CreateFileTruncated(const std::wstring& path);

// Opens for appending (created if missing, content kept), share-all.
ScopedCloseHandle OpenFileForAppending(const std::wstring& path);

// Writes every byte or returns false; WriteFile may write less than asked.
bool WriteFileFully(HANDLE file, const void* data, size_t size);
