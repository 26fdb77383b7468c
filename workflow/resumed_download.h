#pragma once

#include "transfer/unique_handle.h"

#include <string>

// The installer download of one attempt. A connection that drops, stalls or
// closes early costs the bytes in flight: the rest is asked for (Range) and
// appended to the file the attempt already holds, as long as each try gets
// further than every earlier one, at most 20 times. Each resumption is logged.
// On success file holds the whole file open for writing (CreateFileTruncated);
// on failure the file is closed and errorText says why, as one request would.
bool DownloadInstallerResuming(const std::wstring& url, const std::wstring& path, std::wstring& errorText,
                               ScopedCloseHandle& file);
