#pragma once

#include <windows.h>

#include <string>

// The fixed manifest URL on the official domain.
extern const wchar_t* const kManifestUrl;

// One whole install attempt: manifest, policy, download, digest. Ends with
// exactly one WM_APP_VERIFIED (returns 0) or WM_APP_FAILED (returns 1) posted
// to g_mainWindow, and touches no shared state after that post. Has the
// thread-procedure form; the parameter is unused.
DWORD WINAPI InstallWorker(LPVOID parameter);

// False for a version that could leave the working directory, is no valid
// file-name fragment or would not show as what it is: separators, "..",
// characters Windows forbids in names, control and format characters.
bool IsSafeVersionForFileName(const std::wstring& version);
