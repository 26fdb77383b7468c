// Runs inside the installer's GUI thread, loaded there by the window driver's
// hook (window_hook.h): records what the window sends its controls and does
// on the driver's command what only that thread can do under Wine 8.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#include "window_hook.h"

#include <commctrl.h>

#include <cwchar>

static HookShared* g_shared = nullptr;
static UINT g_commandMessage = 0;

// Opened on the first hooked message: the mapping is made by the driver for
// this process before it sets the hook. Also loaded into the driver, which
// never calls the hook, so nothing happens there.
static bool OpenShared()
{
    if (g_shared != nullptr) {
        return true;
    }
    wchar_t name[64];
    swprintf(name, 64, L"%ls%lu", kHookMappingPrefix, GetCurrentProcessId());
    HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name);
    if (mapping == nullptr) {
        return false;
    }
    // Kept mapped for the life of the process; the handle is no longer needed.
    g_shared = static_cast<HookShared*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(HookShared)));
    CloseHandle(mapping);
    g_commandMessage = RegisterWindowMessageW(kHookCommandMessage);
    return g_shared != nullptr;
}

static bool IsJudged(const CWPSTRUCT& sent)
{
    if (sent.message == WM_SETTEXT) {
        return (GetWindowLongPtrW(sent.hwnd, GWL_STYLE) & WS_CHILD) != 0;
    }
    return sent.message == PBM_SETSTATE || sent.message == PBM_SETPOS || sent.message == PBM_SETMARQUEE;
}

static void Record(const CWPSTRUCT& sent)
{
    const LONG index = g_shared->recordCount;
    if (index < kHookMaxRecords) {
        HookRecord& record = g_shared->records[index];
        record.window = reinterpret_cast<UINT_PTR>(sent.hwnd);
        record.message = sent.message;
        record.wParam = sent.wParam;
        record.lParam = sent.lParam;
        record.text[0] = L'\0';
        if (sent.message == WM_SETTEXT && sent.lParam != 0) {
            wcsncpy(record.text, reinterpret_cast<const wchar_t*>(sent.lParam), 95);
            record.text[95] = L'\0';
        }
    }
    // Counted after the record is whole: the driver reads up to the count.
    InterlockedIncrement(&g_shared->recordCount);
}

static HookFont DescribeFont(HWND window, HFONT font)
{
    HookFont described = {};
    described.window = reinterpret_cast<UINT_PTR>(window);
    LOGFONTW logFont = {};
    if (font != nullptr && GetObjectW(font, sizeof(logFont), &logFont) == sizeof(logFont)) {
        described.present = TRUE;
        described.height = logFont.lfHeight;
        described.weight = logFont.lfWeight;
        wcsncpy(described.face, logFont.lfFaceName, LF_FACESIZE - 1);
    }
    return described;
}

static void ReadFonts(HWND mainWindow)
{
    g_shared->windowDpi = GetDpiForWindow(mainWindow);
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    const UINT dpi = g_shared->dpi != 0 ? g_shared->dpi : g_shared->windowDpi;
    HFONT messageFont = nullptr;
    if (SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)) {
        messageFont = CreateFontIndirectW(&metrics.lfMessageFont);
    }
    g_shared->messageFont = DescribeFont(nullptr, messageFont);
    if (messageFont != nullptr) {
        DeleteObject(messageFont);
    }
    int count = 0;
    for (HWND child = GetWindow(mainWindow, GW_CHILD); child != nullptr && count < kHookMaxFonts;
         child = GetWindow(child, GW_HWNDNEXT)) {
        g_shared->fonts[count++] = DescribeFont(child, reinterpret_cast<HFONT>(SendMessageW(child, WM_GETFONT, 0, 0)));
    }
    g_shared->fontCount = count;
}

// As a STATIC or BUTTON control draws its text, in the font it holds and in
// its own device context (mirrored under a right-to-left layout).
static void MeasureText()
{
    HWND control = reinterpret_cast<HWND>(static_cast<UINT_PTR>(g_shared->measureWindow));
    HookMeasure& measured = g_shared->measured;
    measured = HookMeasure();
    RECT client = {};
    HDC dc = GetClientRect(control, &client) ? GetDC(control) : nullptr;
    if (dc == nullptr) {
        return;
    }
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    HGDIOBJ old = SelectObject(dc, font != nullptr ? font : GetStockObject(SYSTEM_FONT));
    const UINT format = DT_EXPANDTABS | DT_NOPREFIX | DT_CALCRECT;
    RECT line = {};
    DrawTextW(dc, g_shared->measureText, -1, &line, format | DT_SINGLELINE);
    RECT wrapped = {0, 0, client.right, 0};
    DrawTextW(dc, g_shared->measureText, -1, &wrapped, format | DT_WORDBREAK);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    measured.line = {line.right - line.left, line.bottom - line.top};
    measured.wrapped = {wrapped.right - wrapped.left, wrapped.bottom - wrapped.top};
    measured.client = {client.right, client.bottom};
}

static void RunCommand(HWND mainWindow, WPARAM command)
{
    if (command == kHookDpiChanged) {
        RECT suggested = g_shared->suggested;
        const WPARAM dpi = MAKEWPARAM(g_shared->dpi, g_shared->dpi);
        SendMessageW(mainWindow, WM_DPICHANGED, dpi, reinterpret_cast<LPARAM>(&suggested));
    } else if (command == kHookFonts) {
        ReadFonts(mainWindow);
    } else if (command == kHookMeasure) {
        MeasureText();
    }
    InterlockedIncrement(&g_shared->commandsDone);
}

static void CreateEmptyFile(const wchar_t* path)
{
    const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
}

static void Hold()
{
    wchar_t held[MAX_PATH + 8];
    swprintf(held, MAX_PATH + 8, L"%ls.held", g_shared->holdUntil);
    CreateEmptyFile(held);
    for (int waited = 0; waited < 30000 && GetFileAttributesW(g_shared->holdUntil) == INVALID_FILE_ATTRIBUTES;
         waited += 20) {
        Sleep(20);
    }
}

// Runs as the window's thread takes a posted message from its queue, before
// the window procedure sees it.
extern "C" __declspec(dllexport) LRESULT CALLBACK GetMessageHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HC_ACTION && wParam == PM_REMOVE && OpenShared() && g_shared->holdMessage != 0) {
        const MSG& posted = *reinterpret_cast<const MSG*>(lParam);
        if (posted.message == g_shared->holdMessage) {
            g_shared->holdMessage = 0;
            Hold();
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK CallWndProcHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HC_ACTION && OpenShared()) {
        const CWPSTRUCT& sent = *reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (sent.message == g_commandMessage) {
            RunCommand(sent.hwnd, sent.wParam);
        } else if (IsJudged(sent)) {
            Record(sent);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
