#include "app/main_window.h"

#include "app/attempt_messages.h"
#include "app/ui_language.h"
#include "app/ui_text.h"
#include "app/window_scale.h"
#include "workflow/install_worker.h"
#include "workflow/installer_log.h"

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <string>

const wchar_t kMainWindowClass[] = L"KORVAStaticModuleBootstrapperWindow";
const wchar_t kMainWindowTitle[] = L"KORVA Installer";
LANGID g_uiLanguage = kEnglishUiLanguage;

HWND g_statusLabel = nullptr;
HWND g_progressBar = nullptr;
HWND g_installButton = nullptr;
HANDLE g_workerThread = nullptr;
static HWND g_titleLabel = nullptr;

// Made again for every DPI the window meets; the controls only borrow them.
static WindowFonts g_fonts;

// The private messages are posted, and any program on the desktop can post
// to this window too; only those that the attempt this window started can
// have sent are acted on, and only one attempt runs at a time, however the
// install command arrives. An attempt ends when its failure box has been
// dismissed (or the window with a started setup). Checking lasts as long as
// nothing measures the attempt, a download without a length included: the
// bar is a marquee exactly then.
enum class AttemptPhase { None, Checking, Downloading, Launching, ShowingFailure };
static AttemptPhase g_attemptPhase = AttemptPhase::None;

// Pixels at 96 DPI, in the client area; scaled to the window's DPI.
struct ControlRect {
    int x, y, width, height;
};
static const int kWindowWidth = 540;
static const int kWindowHeight = 225;
static const ControlRect kTitleRect = {24, 20, 470, 28};
static const ControlRect kStatusRect = {24, 58, 470, 40};
static const ControlRect kProgressRect = {24, 104, 470, 20};
static const ControlRect kButtonRect = {338, 140, 156, 32};
static const int kButtonTextMargin = 12;

static std::wstring Text(UiText text)
{
    return UiTextIn(g_uiLanguage, text);
}

// In a mirrored window the controls lay out from the right by themselves;
// their text still needs telling to read from the right.
static HWND CreateChild(HWND parent, const wchar_t* className, const std::wstring& text, DWORD style,
                        const ControlRect& rect, int id)
{
    const DWORD reading = IsRightToLeft(g_uiLanguage) ? WS_EX_RTLREADING : 0;
    return CreateWindowExW(reading, className, text.c_str(), style, rect.x, rect.y, rect.width, rect.height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
}

static void PlaceControl(HWND control, const ControlRect& rect, UINT dpi)
{
    SetWindowPos(control, nullptr, ScaleForDpi(rect.x, dpi), ScaleForDpi(rect.y, dpi), ScaleForDpi(rect.width, dpi),
                 ScaleForDpi(rect.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
}

static int TextWidth(HDC dc, const std::wstring& text)
{
    SIZE size = {};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    return size.cx;
}

// The button keeps its size unless one of its texts in the user's language
// needs more; then it grows to the left (to the right when mirrored), the
// same for all three texts so it never jumps between states.
static ControlRect ButtonRect(HFONT font, UINT dpi)
{
    ControlRect rect = kButtonRect;
    HDC dc = GetDC(g_installButton);
    if (dc == nullptr) {
        return rect;
    }
    const HGDIOBJ old = SelectObject(dc, font != nullptr ? font : GetStockObject(DEFAULT_GUI_FONT));
    int widest = 0;
    for (UiText text : {UiText::InstallButton, UiText::BusyButton, UiText::RetryButton}) {
        widest = std::max(widest, TextWidth(dc, Text(text)));
    }
    SelectObject(dc, old);
    ReleaseDC(g_installButton, dc);
    // Room for the face's border and a margin on each side, in 96 DPI pixels.
    const int needed = MulDiv(widest, static_cast<int>(kBaseDpi), static_cast<int>(dpi)) + 2 * kButtonTextMargin;
    if (needed > rect.width) {
        rect.x -= needed - rect.width;
        rect.width = needed;
    }
    return rect;
}

static void SetControlFont(HWND control, const ScopedDeleteObject<HFONT>& font)
{
    HGDIOBJ chosen = font ? static_cast<HGDIOBJ>(font.get()) : GetStockObject(DEFAULT_GUI_FONT);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(chosen), 1);
}

// Controls and fonts for a DPI; the window's own size is the caller's.
static void LayOutControls(UINT dpi)
{
    WindowFonts fonts = CreateWindowFonts(dpi);
    SetControlFont(g_titleLabel, fonts.heading);
    SetControlFont(g_statusLabel, fonts.body);
    SetControlFont(g_installButton, fonts.body);
    // The controls hold the new fonts now; the old ones go.
    g_fonts = std::move(fonts);
    PlaceControl(g_titleLabel, kTitleRect, dpi);
    PlaceControl(g_statusLabel, kStatusRect, dpi);
    PlaceControl(g_progressBar, kProgressRect, dpi);
    PlaceControl(g_installButton, ButtonRect(g_fonts.body.get(), dpi), dpi);
}

static void OnCreate(HWND window)
{
    const DWORD textStyle = WS_CHILD | WS_VISIBLE | SS_LEFT;
    g_titleLabel = CreateChild(window, L"STATIC", Text(UiText::Heading), textStyle, kTitleRect, 0);
    g_statusLabel = CreateChild(window, L"STATIC", Text(UiText::IdleStatus), textStyle, kStatusRect, 0);
    g_progressBar =
        CreateChild(window, PROGRESS_CLASSW, std::wstring(), WS_CHILD | WS_VISIBLE | PBS_SMOOTH, kProgressRect, 0);
    SendMessageW(g_progressBar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    g_installButton = CreateChild(window, L"BUTTON", Text(UiText::InstallButton),
                                  WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, kButtonRect, IDC_INSTALL);
    const UINT dpi = WindowDpi(window);
    LayOutControls(dpi);
    SetWindowPos(window, nullptr, 0, 0, ScaleForDpi(kWindowWidth, dpi), ScaleForDpi(kWindowHeight, dpi),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The window moved to a display of another scale: the platform suggests the
// rectangle that keeps it in place at the new size. Any program can post this
// message too, without a rectangle or a scale; such a one would crash the
// window or shrink every control to nothing.
static void OnDpiChanged(HWND window, WPARAM wParam, LPARAM lParam)
{
    const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
    const UINT dpi = HIWORD(wParam);
    if (suggested == nullptr || dpi == 0) {
        return;
    }
    LayOutControls(dpi);
    SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
}

// While nothing tells how far the attempt is (the manifest check, a download
// of unknown length) the bar moves on its own instead of standing at 0.
static void SetBarMarquee(bool marquee)
{
    const LONG_PTR style = GetWindowLongPtrW(g_progressBar, GWL_STYLE);
    if (marquee) {
        SetWindowLongPtrW(g_progressBar, GWL_STYLE, style | PBS_MARQUEE);
        SendMessageW(g_progressBar, PBM_SETMARQUEE, TRUE, 30);
    } else {
        SendMessageW(g_progressBar, PBM_SETMARQUEE, FALSE, 0);
        SetWindowLongPtrW(g_progressBar, GWL_STYLE, style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
    }
}

static bool AttemptRuns()
{
    return g_attemptPhase != AttemptPhase::None;
}

// A final message means something only when the attempt's own outcome says
// the same: the phase alone would let a message posted by another program
// start an unverified file, or end an attempt whose worker still runs.
static bool AttemptReached(AttemptOutcome outcome)
{
    return g_attemptOutcome.load(std::memory_order_acquire) == outcome;
}

void StartInstallAttempt()
{
    if (AttemptRuns()) {
        return;
    }
    g_attemptPhase = AttemptPhase::Checking;
    // A disabled control cannot keep the focus; the window takes it, so that
    // Enter still reaches the dialog navigation, which then finds the default
    // button disabled and does nothing. The button is disabled first, or the
    // window would hand the focus straight back to it.
    const bool buttonHadFocus = GetFocus() == g_installButton;
    EnableWindow(g_installButton, FALSE);
    if (buttonHadFocus) {
        SetFocus(g_mainWindow);
    }
    SetWindowTextW(g_installButton, Text(UiText::BusyButton).c_str());
    SetWindowTextW(g_statusLabel, Text(UiText::CheckingStatus).c_str());
    SendMessageW(g_progressBar, PBM_SETSTATE, PBST_NORMAL, 0);
    SendMessageW(g_progressBar, PBM_SETPOS, 0, 0);
    SetBarMarquee(true);
    // The last attempt's worker stored its outcome before its final post,
    // which has been handled: nothing else writes this now.
    g_attemptOutcome.store(AttemptOutcome::Running, std::memory_order_relaxed);
    HANDLE thread = CreateThread(nullptr, 0, InstallWorker, nullptr, 0, nullptr);
    if (g_workerThread != nullptr) {
        CloseHandle(g_workerThread);
    }
    g_workerThread = thread;
    if (thread == nullptr) {
        PostAttemptFailed(L"The installer could not start its download task.");
    }
}

static void OnProgress(WPARAM percent, LPARAM lParam)
{
    if (g_attemptPhase != AttemptPhase::Checking && g_attemptPhase != AttemptPhase::Downloading) {
        return;
    }
    // Started again from 0 with no length: back to the unmeasured bar.
    if (lParam == kProgressUnmeasured) {
        if (g_attemptPhase == AttemptPhase::Downloading) {
            SendMessageW(g_progressBar, PBM_SETPOS, 0, 0);
            SetBarMarquee(true);
            g_attemptPhase = AttemptPhase::Checking;
        }
        return;
    }
    // The attempt's first report (0) comes before anything is measured.
    if (g_attemptPhase == AttemptPhase::Checking && percent != 0) {
        SetBarMarquee(false);
        g_attemptPhase = AttemptPhase::Downloading;
    }
    SendMessageW(g_progressBar, PBM_SETPOS, percent, 0);
    if (percent != 0) {
        SetWindowTextW(g_statusLabel, Text(UiText::DownloadingStatus).c_str());
    }
}

// The verified file's own folder, the working directory, where only this
// program's files lie: the setup must not start in the launcher's current
// folder (often Downloads), where a planted DLL may wait.
static std::wstring FolderOf(const std::wstring& path)
{
    const size_t separator = path.find_last_of(L'\\');
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

static void OnVerified(HWND window)
{
    if ((g_attemptPhase != AttemptPhase::Checking && g_attemptPhase != AttemptPhase::Downloading) ||
        !AttemptReached(AttemptOutcome::Verified)) {
        return;
    }
    if (g_attemptPhase == AttemptPhase::Checking) {
        SetBarMarquee(false);
    }
    g_attemptPhase = AttemptPhase::Launching;
    SendMessageW(g_progressBar, PBM_SETPOS, 100, 0);
    SetWindowTextW(g_statusLabel, Text(UiText::VerifiedStatus).c_str());
    const std::wstring folder = FolderOf(g_installerPath);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    // No SEE_MASK_FLAG_NO_UI: the platform's own dialogs (an elevation
    // prompt, say) must be able to appear, owned by this window.
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = window;
    info.lpVerb = L"open";
    info.lpFile = g_installerPath.c_str();
    info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
    info.nShow = SW_SHOWNORMAL;
    const BOOL started = ShellExecuteExW(&info);
    g_installerLock.reset(); // held until the start has read the file
    if (!started) {
        // Still the same attempt until this failure has been shown.
        PostAttemptFailed(L"Windows could not start the verified KORVA Setup file.");
        return;
    }
    if (info.hProcess != nullptr) {
        CloseHandle(info.hProcess);
    }
    WriteLogLine(L"KORVA Setup started.");
    DestroyWindow(window);
}

// Until the attempt reports failures by kind: the English text names it.
static std::wstring UserFailureText(const std::wstring& english)
{
    for (int kind = 1; kind <= static_cast<int>(Failure::PublisherNotSigned); ++kind) {
        if (FailureTextIn(kEnglishUiLanguage, static_cast<Failure>(kind)) == english) {
            return FailureTextIn(g_uiLanguage, static_cast<Failure>(kind));
        }
    }
    return english;
}

static void OnFailed(HWND window)
{
    if (!AttemptRuns() || g_attemptPhase == AttemptPhase::ShowingFailure || !AttemptReached(AttemptOutcome::Failed)) {
        return;
    }
    if (g_attemptPhase == AttemptPhase::Checking) {
        SetBarMarquee(false);
    }
    g_attemptPhase = AttemptPhase::ShowingFailure;
    SendMessageW(g_progressBar, PBM_SETSTATE, PBST_ERROR, 0);
    const std::wstring message = UserFailureText(g_lastError);
    SetWindowTextW(g_statusLabel, message.c_str());
    SetWindowTextW(g_installButton, Text(UiText::RetryButton).c_str());
    EnableWindow(g_installButton, TRUE);
    SetFocus(g_installButton);
    // The log is read by support staff: always English.
    WriteLogLine(L"Installation attempt failed: " + g_lastError);
    const UINT reading = IsRightToLeft(g_uiLanguage) ? MB_RTLREADING | MB_RIGHT : 0;
    MessageBoxW(window, message.c_str(), Text(UiText::BoxCaption).c_str(), MB_OK | MB_ICONERROR | reading);
    g_attemptPhase = AttemptPhase::None;
}

// Activation gives the focus to the window itself; the button is the one
// control that can use it.
static void OnSetFocus()
{
    if (IsWindowEnabled(g_installButton)) {
        SetFocus(g_installButton);
    }
}

// The labels are drawn on the window's own background, in the system's
// colours, so a high-contrast theme still reads.
static LRESULT OnControlColorStatic(WPARAM wParam)
{
    HDC dc = reinterpret_cast<HDC>(wParam);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetBkMode(dc, TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
}

static void OnDestroy()
{
    if (g_workerThread != nullptr) {
        CloseHandle(g_workerThread);
        g_workerThread = nullptr;
    }
    // The controls go with the window and never paint again.
    g_fonts = WindowFonts();
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
    case DM_GETDEFID:
        // Asked by the dialog navigation when Enter is pressed with the focus
        // on the window: unanswered, it would send IDOK, which is
        // IDC_INSTALL, even while the button is disabled.
        return MAKELRESULT(IDC_INSTALL, DC_HASDEFID);
    case WM_SETFOCUS:
        OnSetFocus();
        return 0;
    case WM_CTLCOLORSTATIC:
        return OnControlColorStatic(wParam);
    case WM_DPICHANGED:
        OnDpiChanged(window, wParam, lParam);
        return 0;
    case WM_APP_PROGRESS:
        OnProgress(wParam, lParam);
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
