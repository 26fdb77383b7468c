// Shared by gui_driver.exe and window_hook.dll. The driver hooks the
// installer's GUI thread (WH_CALLWNDPROC and WH_GETMESSAGE with this DLL), so
// the DLL runs in that thread and sees what the window sends its own controls,
// holds a posted message back on request, and does there what Wine 8 will not
// carry across processes: a WM_DPICHANGED with its rectangle, and WM_GETFONT.
// Both sides meet in a named mapping per installer process.
#pragma once

#include <windows.h>

// Followed by the installer's process id in decimal.
static const wchar_t kHookMappingPrefix[] = L"KorvaWindowHook.";
// Registered message sent to the main window; wParam is a HookCommand.
static const wchar_t kHookCommandMessage[] = L"KorvaWindowHook.Command";

enum HookCommand : WPARAM {
    kHookPing = 1,       // only counts as done: the DLL is loaded and hooking
    kHookDpiChanged = 2, // sends WM_DPICHANGED(dpi, &suggested)
    kHookFonts = 3,      // reads the controls' fonts into fonts
    kHookMeasure = 4,    // measures measureText in measureWindow's own font
};

// One message sent to a child of the main window that a test judges: the
// progress bar's state, position and marquee, and any WM_SETTEXT.
struct HookRecord {
    UINT64 window;
    UINT message;
    UINT64 wParam;
    INT64 lParam;
    wchar_t text[96]; // WM_SETTEXT's text, cut to fit
};

struct HookFont {
    UINT64 window;
    BOOL present; // the control holds a font (WM_GETFONT answered one)
    LONG height;
    LONG weight;
    wchar_t face[LF_FACESIZE];
};

// The size of a text drawn as the control draws it: on one line, and wrapped
// at the control's client width.
struct HookMeasure {
    SIZE line;
    SIZE wrapped;
    SIZE client;
};

static const LONG kHookMaxRecords = 4096;
static const int kHookMeasureChars = 256;
static const int kHookMaxFonts = 8;

struct HookShared {
    // Counts every record; past kHookMaxRecords the rest were not kept.
    volatile LONG recordCount;
    HookRecord records[kHookMaxRecords];
    volatile LONG commandsDone;
    // For kHookDpiChanged, and for kHookFonts the DPI whose message font is
    // read (0: the window's).
    UINT dpi;
    RECT suggested;
    // Out of kHookFonts.
    UINT windowDpi;
    HookFont messageFont;
    int fontCount;
    HookFont fonts[kHookMaxFonts];
    // For kHookMeasure.
    UINT64 measureWindow;
    wchar_t measureText[kHookMeasureChars];
    HookMeasure measured;
    // Non-zero: the next posted message of this number is held before the
    // window gets it. The DLL then creates holdUntil + ".held" and waits (at
    // most 30 s) until a file holdUntil exists, so the test can change the
    // world between the post and its handling.
    UINT holdMessage;
    wchar_t holdUntil[MAX_PATH];
};
