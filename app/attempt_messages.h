#pragma once

#include "transfer/unique_handle.h"

#include <atomic>
#include <string>

// Private messages from an install attempt to the main window. Always posted,
// never sent, so the worker can never block on the window.
const UINT WM_APP_PROGRESS = WM_APP + 1; // wParam: percentage 0..100; lParam: 0 or the value below
// With 0 %: the download started again from its first byte and no length
// came with it, so nothing measures it any more.
const LPARAM kProgressUnmeasured = 1;
const UINT WM_APP_VERIFIED = WM_APP + 2; // g_installerPath names a verified file
const UINT WM_APP_FAILED = WM_APP + 3;   // g_lastError holds the failure text

// Null in the headless modes: posts then land in the posting thread's own
// queue, where nothing reads them.
extern HWND g_mainWindow;

// Written completely by one thread before the message announcing it is posted,
// and read by the main thread only while handling that message; the message
// queue orders the two, so no lock is needed.
extern std::wstring g_installerPath;
extern std::wstring g_lastError;

// How the attempt that the window started ended, stored by whoever posts the
// final message just before posting it. Any program on the desktop can post
// WM_APP_VERIFIED or WM_APP_FAILED; only this value, which no other program
// can write, tells the window that the attempt really got there, and its
// release/acquire order publishes the two strings above with it.
enum class AttemptOutcome { Running, Verified, Failed };
extern std::atomic<AttemptOutcome> g_attemptOutcome;

// The two ways an attempt ends, each the outcome stored, then its one final
// message posted to g_mainWindow; the failure also replaces g_lastError.
void PostAttemptVerified();
void PostAttemptFailed(const std::wstring& errorText);

// The installer file's handle from its creation until the attempt ends. The
// download creates it for writing, others allowed only to read; the worker
// trades it for a read handle that still denies writing, renaming and deleting
// to everyone else before hashing (a file held for writing cannot be started),
// so the file that was hashed is the file that is started, and another
// attempt can neither truncate nor delete it meanwhile. Set before the worker
// posts WM_APP_VERIFIED; closed by the worker on failure (before deleting the
// file), by the window once ShellExecuteExW has returned, and by the headless
// mode before the process exits.
extern ScopedCloseHandle g_installerLock;
