#pragma once

#include "transfer/https_download.h"
#include "workflow/attempt.h"

#include <string>

// The installer download of one attempt into attempt.installer. A connection
// that drops, stalls or closes early costs the bytes in flight: the rest is
// asked for (Range) and appended to the file the attempt already holds, as
// long as each try gets further than every earlier one, at most 20 times.
// Each resumption is logged. On success the file is whole and still open for
// writing; on failure, failure is the last try's.
bool DownloadInstallerResuming(Attempt& attempt, const std::wstring& url, Failure& failure);
