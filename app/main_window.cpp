#include "app/main_window.h"

#include "app/attempt_messages.h"
#include "app/failure_text.h"
#include "app/ui_text.h"
#include "app/window_scale.h"
#include "workflow/install_worker.h"
#include "workflow/installer_launch.h"
#include "workflow/installer_log.h"

#include <commctrl.h>

#include <algorithm>
#include <string>

const wchar_t kMainWindowClass[] = L"KORVAStaticModuleBootstrapperWindow";
const wchar_t kMainWindowTitle[] = L"KORVA Installer";

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
// Beside the button's text, each side, at least.
static const int kButtonTextMargin = 12;

static MainWindow* StateOf(HWND window)
{
    return reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

static std::wstring Text(const MainWindow& w, UiText text)
{
    return UiTextIn(w.language, text);
}

// In a mirrored window the controls lay out from the right by themselves;
// their texts still need telling to read from the right.
static HWND CreateChild(HWND parent, const wchar_t* className, const std::wstring& text, DWORD style,
                        const ControlRect& rect, int id)
{
    const bool mirrored = (GetWindowLongPtrW(parent, GWL_EXSTYLE) & WS_EX_LAYOUTRTL) != 0;
    return CreateWindowExW(mirrored ? WS_EX_RTLREADING : 0, className, text.c_str(), style, rect.x, rect.y, rect.width,
                           rect.height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
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
// needs more; then it grows towards the window's middle, the same for all
// three texts, so that it never jumps between states.
static ControlRect ButtonRect(const MainWindow& w, UINT dpi)
{
    ControlRect rect = kButtonRect;
    HDC dc = GetDC(w.button);
    if (dc == nullptr) {
        return rect;
    }
    const HGDIOBJ font = w.fonts.body ? static_cast<HGDIOBJ>(w.fonts.body.get()) : GetStockObject(DEFAULT_GUI_FONT);
    const HGDIOBJ old = SelectObject(dc, font);
    int widest = 0;
    for (UiText text : {UiText::InstallButton, UiText::BusyButton, UiText::RetryButton}) {
        widest = std::max(widest, TextWidth(dc, Text(w, text)));
    }
    SelectObject(dc, old);
    ReleaseDC(w.button, dc);
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
static void LayOutControls(MainWindow& w, UINT dpi)
{
    WindowFonts fonts = CreateWindowFonts(dpi);
    SetControlFont(w.title, fonts.heading);
    SetControlFont(w.status, fonts.body);
    SetControlFont(w.button, fonts.body);
    // The controls hold the new fonts now; the old ones go.
    w.fonts = std::move(fonts);
    PlaceControl(w.title, kTitleRect, dpi);
    PlaceControl(w.status, kStatusRect, dpi);
    PlaceControl(w.bar, kProgressRect, dpi);
    PlaceControl(w.button, ButtonRect(w, dpi), dpi);
}

static void OnCreate(MainWindow& w)
{
    const DWORD textStyle = WS_CHILD | WS_VISIBLE | SS_LEFT;
    w.title = CreateChild(w.window, L"STATIC", Text(w, UiText::Heading), textStyle, kTitleRect, 0);
    w.status = CreateChild(w.window, L"STATIC", Text(w, UiText::IdleStatus), textStyle, kStatusRect, 0);
    w.bar =
        CreateChild(w.window, PROGRESS_CLASSW, std::wstring(), WS_CHILD | WS_VISIBLE | PBS_SMOOTH, kProgressRect, 0);
    SendMessageW(w.bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    w.button = CreateChild(w.window, L"BUTTON", Text(w, UiText::InstallButton),
                           WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, kButtonRect, IDC_INSTALL);
    const UINT dpi = WindowDpi(w.window);
    LayOutControls(w, dpi);
    SetWindowPos(w.window, nullptr, 0, 0, ScaleForDpi(kWindowWidth, dpi), ScaleForDpi(kWindowHeight, dpi),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The window moved to a display of another scale: the platform sends the
// rectangle that keeps it in place at the new size. A posted one never gets
// here (the message loop drops it); a sent one without a rectangle or a
// scale would crash the window or shrink every control to nothing.
static void OnDpiChanged(MainWindow& w, WPARAM wParam, LPARAM lParam)
{
    const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
    const UINT dpi = HIWORD(wParam);
    if (suggested == nullptr || dpi == 0) {
        return;
    }
    LayOutControls(w, dpi);
    SetWindowPos(w.window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
}

static void SetBarMarquee(MainWindow& w, bool marquee)
{
    const LONG_PTR style = GetWindowLongPtrW(w.bar, GWL_STYLE);
    if (marquee) {
        SetWindowLongPtrW(w.bar, GWL_STYLE, style | PBS_MARQUEE);
        SendMessageW(w.bar, PBM_SETMARQUEE, TRUE, 30);
    } else {
        SendMessageW(w.bar, PBM_SETMARQUEE, FALSE, 0);
        SetWindowLongPtrW(w.bar, GWL_STYLE, style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
    }
    w.barMeasured = !marquee;
}

// A final message means something only when the attempt's own outcome says
// the same: the phase alone would let a message posted by another program
// start an unverified file, or end an attempt whose worker still runs.
static bool AttemptReached(const MainWindow& w, AttemptOutcome outcome)
{
    return w.attempt && LoadOutcome(*w.attempt) == outcome;
}

// The last attempt's worker has ended its attempt (its final message was
// handled) and returns at once; its record goes only once it has.
static void RetireLastAttempt(MainWindow& w)
{
    if (w.worker && WaitForSingleObject(w.worker.get(), 5000) != WAIT_OBJECT_0) {
        (void)w.attempt.release(); // still running somehow: it keeps its record
    }
    w.attempt.reset();
    w.worker.reset();
}

// A disabled control cannot keep the focus; the window takes it, so that
// Enter still reaches the dialog navigation, which then finds the default
// button disabled and does nothing. The button is disabled first, or the
// window would hand the focus straight back to it.
static void ShowAttemptStarted(MainWindow& w)
{
    const bool buttonHadFocus = GetFocus() == w.button;
    EnableWindow(w.button, FALSE);
    if (buttonHadFocus) {
        SetFocus(w.window);
    }
    SetWindowTextW(w.button, Text(w, UiText::BusyButton).c_str());
    SetWindowTextW(w.status, Text(w, UiText::CheckingStatus).c_str());
    SendMessageW(w.bar, PBM_SETSTATE, PBST_NORMAL, 0);
    SendMessageW(w.bar, PBM_SETPOS, 0, 0);
    SetBarMarquee(w, true);
}

static void StartInstallAttempt(MainWindow& w)
{
    if (w.phase != AttemptPhase::None) {
        return;
    }
    w.phase = AttemptPhase::Running;
    ShowAttemptStarted(w);
    RetireLastAttempt(w);
    w.attempt.reset(new Attempt());
    w.attempt->events = WindowAttemptEvents(w.window);
    w.worker.reset(CreateThread(nullptr, 0, InstallWorker, w.attempt.get(), 0, nullptr));
    if (!w.worker) {
        EndAttempt(*w.attempt, AttemptOutcome::Failed, Failure::WorkerNotStarted);
    }
}

static void OnProgress(MainWindow& w, WPARAM percent, LPARAM lParam)
{
    if (w.phase != AttemptPhase::Running) {
        return;
    }
    // Started again from 0 with no length: back to the unmeasured bar.
    if (lParam == kProgressUnmeasured) {
        if (w.barMeasured) {
            SendMessageW(w.bar, PBM_SETPOS, 0, 0);
            SetBarMarquee(w, true);
        }
        return;
    }
    // The attempt's first report (0) comes before anything is measured.
    if (!w.barMeasured && percent != 0) {
        SetBarMarquee(w, false);
    }
    SendMessageW(w.bar, PBM_SETPOS, percent, 0);
    if (percent != 0) {
        SetWindowTextW(w.status, Text(w, UiText::DownloadingStatus).c_str());
    }
}

static void OnVerified(MainWindow& w)
{
    if (w.phase != AttemptPhase::Running || !AttemptReached(w, AttemptOutcome::Verified)) {
        return;
    }
    if (!w.barMeasured) {
        SetBarMarquee(w, false);
    }
    w.phase = AttemptPhase::Launching;
    SendMessageW(w.bar, PBM_SETPOS, 100, 0);
    SetWindowTextW(w.status, Text(w, UiText::VerifiedStatus).c_str());
    Failure failure = Failure::None;
    if (!StartVerifiedInstaller(*w.attempt, w.window, failure)) {
        // Still the same attempt until this failure has been shown.
        EndAttempt(*w.attempt, AttemptOutcome::Failed, failure);
        return;
    }
    DestroyWindow(w.window);
}

static void OnFailed(MainWindow& w)
{
    const bool attemptRuns = w.phase == AttemptPhase::Running || w.phase == AttemptPhase::Launching;
    if (!attemptRuns || !AttemptReached(w, AttemptOutcome::Failed)) {
        return;
    }
    if (!w.barMeasured) {
        SetBarMarquee(w, false);
    }
    w.phase = AttemptPhase::ShowingFailure;
    const std::wstring text = FailureTextIn(w.language, w.attempt->failure);
    SendMessageW(w.bar, PBM_SETSTATE, PBST_ERROR, 0);
    SetWindowTextW(w.status, text.c_str());
    SetWindowTextW(w.button, Text(w, UiText::RetryButton).c_str());
    EnableWindow(w.button, TRUE);
    SetFocus(w.button);
    // The log is read by support staff: English in every language.
    WriteLogLine(L"Installation attempt failed: " + FailureText(w.attempt->failure));
    const UINT reading = IsRightToLeft(w.language) ? MB_RTLREADING | MB_RIGHT : 0;
    MessageBoxW(w.window, text.c_str(), Text(w, UiText::BoxCaption).c_str(), MB_OK | MB_ICONERROR | reading);
    w.phase = AttemptPhase::None;
}

// Activation gives the focus to the window itself; the button is the one
// control that can use it.
static void OnSetFocus(const MainWindow& w)
{
    if (IsWindowEnabled(w.button)) {
        SetFocus(w.button);
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

// The process ends right after the window: an attempt still under way is
// stopped where it stands and its unverified file removed. Its record stays,
// as the stopped worker still points into it.
static void OnDestroy(MainWindow& w)
{
    if (w.attempt && LoadOutcome(*w.attempt) == AttemptOutcome::Running) {
        AbandonAttempt(*w.attempt, w.worker.get());
        (void)w.attempt.release();
    }
    PostQuitMessage(0);
}

static LRESULT HandleMessage(MainWindow& w, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_INSTALL) {
            StartInstallAttempt(w);
        }
        return 0;
    case DM_GETDEFID:
        // Asked by the dialog navigation when Enter is pressed with the focus
        // on the window: unanswered, it would send IDOK, which is
        // IDC_INSTALL, even while the button is disabled.
        return MAKELRESULT(IDC_INSTALL, DC_HASDEFID);
    case WM_SETFOCUS:
        OnSetFocus(w);
        return 0;
    case WM_CTLCOLORSTATIC:
        return OnControlColorStatic(wParam);
    case WM_DPICHANGED:
        OnDpiChanged(w, wParam, lParam);
        return 0;
    case WM_APP_PROGRESS:
        OnProgress(w, wParam, lParam);
        return 0;
    case WM_APP_VERIFIED:
        OnVerified(w);
        return 0;
    case WM_APP_FAILED:
        OnFailed(w);
        return 0;
    case WM_DESTROY:
        OnDestroy(w);
        return 0;
    default:
        return DefWindowProcW(w.window, message, wParam, lParam);
    }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        MainWindow* state = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        state->window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
    }
    MainWindow* state = StateOf(window);
    if (state == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    if (message == WM_CREATE) {
        OnCreate(*state);
        return 0;
    }
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return HandleMessage(*state, message, wParam, lParam);
}

HWND CreateMainWindow(HINSTANCE instance, MainWindow& state)
{
    // Mirrored, the controls inherit the layout: the button moves to the
    // left and the bar fills from the right.
    const DWORD layout = IsRightToLeft(state.language) ? WS_EX_LAYOUTRTL : 0;
    // Sized by WM_CREATE, which knows the window's scale.
    return CreateWindowExW(layout, kMainWindowClass, kMainWindowTitle, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                           CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr, nullptr, instance, &state);
}
