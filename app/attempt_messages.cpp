#include "app/attempt_messages.h"

HWND g_mainWindow = nullptr;
std::wstring g_installerPath;
std::wstring g_lastError;
std::atomic<AttemptOutcome> g_attemptOutcome{AttemptOutcome::Running};
ScopedCloseHandle g_installerLock;

void PostAttemptVerified()
{
    g_attemptOutcome.store(AttemptOutcome::Verified, std::memory_order_release);
    PostMessageW(g_mainWindow, WM_APP_VERIFIED, 0, 0);
}

void PostAttemptFailed(const std::wstring& errorText)
{
    g_lastError = errorText;
    g_attemptOutcome.store(AttemptOutcome::Failed, std::memory_order_release);
    PostMessageW(g_mainWindow, WM_APP_FAILED, 0, 0);
}
