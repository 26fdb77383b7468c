#include "app/attempt_messages.h"

HWND g_mainWindow = nullptr;
std::wstring g_installerPath;
std::wstring g_lastError;
ScopedCloseHandle g_installerLock;
