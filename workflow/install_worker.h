#pragma once

#include "workflow/attempt.h"

// The fixed manifest URL on the official domain.
extern const wchar_t* const kManifestUrl;

// One whole install attempt: manifest, policy, download, digest. Ends with
// EndAttempt: Verified, with attempt.installer holding the verified file
// (read-only, denying changes to everyone else), or Failed with the failure.
// True when verified.
bool RunAttempt(Attempt& attempt);

// RunAttempt in the thread-procedure form; the parameter is the Attempt.
// Returns 0 when verified, 1 otherwise.
DWORD WINAPI InstallWorker(LPVOID attempt);
