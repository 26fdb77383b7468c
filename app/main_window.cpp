#include "app/main_window.h"

#include "app/attempt_messages.h"
#include "workflow/install_worker.h"
#include "workflow/installer_log.h"

#include <commctrl.h>
#include <shellapi.h>

#include <string>

const wchar_t kMainWindowClass[] = L"KORVAStaticModuleBootstrapperWindow";
const wchar_t kMainWindowTitle[] = L"KORVA Installer";
static const wchar_t kProductName[] = L"KORVA";

HWND g_statusLabel = nullptr;
HWND g_progressBar = nullptr;
HWND g_installButton = nullptr;
HANDLE g_workerThread = nullptr;

static HWND CreateChild(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, int x, int y,
                        int width, int height, int id, HFONT font)
{
    HWND child = CreateWindowExW(0, className, text, style, x, y, width, height, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    if (font != nullptr) {
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), 1);
    }
    return child;
}

static void OnCreate(HWND window)
{
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    const DWORD textStyle = WS_CHILD | WS_VISIBLE | SS_LEFT;
    CreateChild(window, L"STATIC", kProductName, textStyle, 24, 20, 470, 28, 0, font);
    g_statusLabel = CreateChild(window, L"STATIC", L"Download and install the current release.", textStyle, 24, 58, 470,
                                40, 0, font);
    g_progressBar =
        CreateChild(window, PROGRESS_CLASSW, nullptr, WS_CHILD | WS_VISIBLE | PBS_SMOOTH, 24, 104, 470, 20, 0, nullptr);
    SendMessageW(g_progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    g_installButton = CreateChild(window, L"BUTTON", L"Install KORVA", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 338,
                                  140, 156, 32, IDC_INSTALL, font);
}

void StartInstallAttempt()
{
    EnableWindow(g_installButton, FALSE);
    SetWindowTextW(g_installButton, L"Downloading...");
    SetWindowTextW(g_statusLabel, (std::wstring(L"Checking the latest ") + kProductName + L" release...").c_str());
    SendMessageW(g_progressBar, PBM_SETPOS, 0, 0);
    HANDLE thread = CreateThread(nullptr, 0, InstallWorker, nullptr, 0, nullptr);
    if (g_workerThread != nullptr) {
        CloseHandle(g_workerThread);
    }
    g_workerThread = thread;
    if (thread == nullptr) {
        g_lastError = L"The installer could not start its download task.";
        PostMessageW(g_mainWindow, WM_APP_FAILED, 0, 0);
    }
}

static void OnProgress(WPARAM percent)
{
    SendMessageW(g_progressBar, PBM_SETPOS, percent, 0);
    if (percent != 0) {
        SetWindowTextW(g_statusLabel, L"Downloading the verified KORVA installer...");
    }
}

static void OnVerified(HWND window)
{
    SendMessageW(g_progressBar, PBM_SETPOS, 100, 0);
    SetWindowTextW(g_statusLabel, L"Download verified. Starting KORVA Setup...");
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    // No SEE_MASK_FLAG_NO_UI: the platform's own dialogs (an elevation
    // prompt, say) must be able to appear, owned by this window.
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = window;
    info.lpVerb = L"open";
    info.lpFile = g_installerPath.c_str();
    info.nShow = SW_SHOWNORMAL;
    const BOOL started = ShellExecuteExW(&info);
    g_installerLock.reset(); // held until the start has read the file
    if (!started) {
        g_lastError = L"Windows could not start the verified KORVA Setup file.";
        PostMessageW(window, WM_APP_FAILED, 0, 0);
        return;
    }
    if (info.hProcess != nullptr) {
        CloseHandle(info.hProcess);
    }
    WriteLogLine(L"KORVA Setup started.");
    DestroyWindow(window);
}

static void OnFailed(HWND window)
{
    SetWindowTextW(g_statusLabel, g_lastError.c_str());
    SetWindowTextW(g_installButton, L"Try again");
    EnableWindow(g_installButton, TRUE);
    WriteLogLine(L"Installation attempt failed: " + g_lastError);
    MessageBoxW(window, g_lastError.c_str(), kMainWindowTitle, MB_OK | MB_ICONERROR);
}

static void OnDestroy()
{
    if (g_workerThread != nullptr) {
        CloseHandle(g_workerThread);
        g_workerThread = nullptr;
    }
    PostQuitMessage(0);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate(window);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_INSTALL) {
            StartInstallAttempt();
        }
        return 0;
    case WM_APP_PROGRESS:
        OnProgress(wParam);
        return 0;
    case WM_APP_VERIFIED:
        OnVerified(window);
        return 0;
    case WM_APP_FAILED:
        OnFailed(window);
        return 0;
    case WM_DESTROY:
        OnDestroy();
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
