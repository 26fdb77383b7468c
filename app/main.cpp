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

static int RunMessageLoop(HWND window)
{
    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // The system sends WM_DPICHANGED with the rectangle it suggests; one
        // that comes through the queue was posted by some program, with
        // whatever it liked in place of that rectangle.
        if (message.message == WM_DPICHANGED) {
            continue;
        }
        // Keys work as in a dialog: Enter presses the default button, Space
        // the focused one.
        if (!IsDialogMessageW(window, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return static_cast<int>(message.wParam);
}

static int RunInteractive(HINSTANCE instance, int showCommand)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    if (!RegisterMainWindowClass(instance)) {
        return 1;
    }
    MainWindow state;
    state.language = ChooseUiLanguage();
    HWND window = CreateMainWindow(instance, state);
    if (window == nullptr) {
        return 1;
    }
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return RunMessageLoop(window);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR commandLine, int showCommand)
{
    LimitDllSearchToSystem32();
    switch (SelectRunMode(commandLine)) {
    case RunMode::SelfTest:
        return RunSelfTest() ? 0 : 1;
    case RunMode::DownloadTest: {
        // Nothing will start the file in this mode: the record lets it go.
        Attempt attempt;
        return RunAttempt(attempt) ? 0 : 1;
    }
    case RunMode::Interactive:
        break;
    }
    const int exitCode = RunInteractive(instance, showCommand);
    // A worker abandoned by closing the window is stopped, but its record
    // and the log's lock may be held. Returning would run static destructors
    // under its feet; ending here runs nothing more, and every file write so
    // far went straight to the OS, so nothing is lost.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    return exitCode;
}
