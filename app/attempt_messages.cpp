#include "app/attempt_messages.h"

HWND g_mainWindow = nullptr;
std::wstring g_installerPath;
std::wstring g_lastError;
std::atomic<AttemptOutcome> g_attemptOutcome{AttemptOutcome::Running};
ScopedCloseHandle g_installerLock;
