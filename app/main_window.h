#pragma once

#include <windows.h>

#include "app/ui_language.h"
#include "app/window_scale.h"
#include "workflow/attempt.h"

#include <memory>

extern const wchar_t kMainWindowClass[];
extern const wchar_t kMainWindowTitle[];
const int IDI_APP = 101;
const int IDC_INSTALL = 1;

// The private messages are posted, and any program on the desktop can post
// to this window too; only those that the attempt this window started can
// have sent are acted on, and only one attempt runs at a time, however the
// install command arrives. An attempt ends when its failure box has been
// dismissed (or the window with a started setup).
enum class AttemptPhase { None, Running, Launching, ShowingFailure };

// Everything the window owns. It outlives the window (whoever runs the
// message loop keeps it) and is reached through the window's own data, so it
// is never shared with another thread but for the attempt record, which is
// the worker's too while it runs (see Attempt).
struct MainWindow {
    // Of every text the window shows, the log's aside; chosen before the
    // window is made, once.
    LANGID language = kEnglishUiLanguage;
    HWND window = nullptr;
    HWND title = nullptr;
    HWND status = nullptr;
    HWND bar = nullptr;
    HWND button = nullptr;
    // Made again for every DPI the window meets; the controls only borrow them.
    WindowFonts fonts;
    AttemptPhase phase = AttemptPhase::None;
    // A percentage has come: the bar stops moving on its own. Until then
    // (the manifest check, a download of unknown length) it is a marquee.
    bool barMeasured = false;
    std::unique_ptr<Attempt> attempt;
    ScopedCloseHandle worker;
};

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The main window at its size for the display's scale, not yet shown, kept in
// state; null when it cannot be made. The class must be registered.
HWND CreateMainWindow(HINSTANCE instance, MainWindow& state);
