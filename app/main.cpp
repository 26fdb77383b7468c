#include "app/attempt_messages.h"
#include "app/dll_search.h"
#include "app/main_window.h"
#include "app/run_mode.h"
#include "app/ui_language.h"
#include "manifest/self_test.h"
#include "workflow/install_worker.h"

#include <commctrl.h>

static bool RegisterMainWindowClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = kMainWindowClass;
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
    return RegisterClassExW(&windowClass) != 0;
}

static int RunInteractive(HINSTANCE instance, int showCommand)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    if (!RegisterMainWindowClass(instance)) {
        return 1;
    }
    g_uiLanguage = ChooseUiLanguage();
    // Mirrored, the controls inherit the layout: the button moves to the
    // left and the bar fills from the right.
    const DWORD layout = IsRightToLeft(g_uiLanguage) ? WS_EX_LAYOUTRTL : 0;
    g_mainWindow = CreateWindowExW(layout, kMainWindowClass, kMainWindowTitle, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                   CW_USEDEFAULT, CW_USEDEFAULT, 540, 225, nullptr, nullptr, instance, nullptr);
    if (g_mainWindow == nullptr) {
        return 1;
    }
    ShowWindow(g_mainWindow, showCommand);
    UpdateWindow(g_mainWindow);
    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Keys work as in a dialog: Enter presses the default button, Space
        // the focused one.
        if (!IsDialogMessageW(g_mainWindow, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR commandLine, int showCommand)
{
    LimitDllSearchToSystem32();
    switch (SelectRunMode(commandLine)) {
    case RunMode::SelfTest:
        return RunSelfTest() ? 0 : 1;
    case RunMode::DownloadTest: {
        const DWORD result = InstallWorker(nullptr);
        g_installerLock.reset(); // nothing will start the file in this mode
        return static_cast<int>(result);
    }
    case RunMode::Interactive:
        break;
    }
    const int exitCode = RunInteractive(instance, showCommand);
    // A worker abandoned by closing the window may still be writing
    // g_lastError, g_installerPath or the log. Returning would run static
    // destructors under its feet; ending here runs nothing more, and every
    // file write so far went straight to the OS, so nothing is lost.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    return exitCode;
}
