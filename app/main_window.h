#pragma once

#include <windows.h>

extern const wchar_t kMainWindowClass[];
extern const wchar_t kMainWindowTitle[];
// The language of every text the window shows (ui_language.h); set once,
// before the window is made.
extern LANGID g_uiLanguage;
const int IDI_APP = 101;
const int IDC_INSTALL = 1;

extern HWND g_statusLabel;
extern HWND g_progressBar;
extern HWND g_installButton;
extern HANDLE g_workerThread;

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Starts one attempt on a new worker thread; main thread only.
void StartInstallAttempt();
