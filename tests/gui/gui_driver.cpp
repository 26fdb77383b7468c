// Drives the installer's window from outside, the way a person would, for the
// window tests. It starts the installer itself, so it holds the process handle
// and can report the real exit code.
//
// One command per line on stdin, one JSON object per line on stdout:
//   env <name>=<value>       set a variable for the processes started later
//   start <command line>     start a process (the installer); later commands act on it
//   window <ms>              wait for its main window to be visible
//   dump                     the main window and its controls
//   click                    BM_CLICK on the window's button
//   mouse-click              a real left click (SendInput) on the middle of the button
//   msgbox <ms>              wait for a dialog owned by the main window; its caption and controls
//   msgbox-ok                press the dialog's OK button
//   close                    the close box (WM_SYSCOMMAND SC_CLOSE)
//   post <msg> <wParam> [<lParam>]
//                            PostMessageW to the main window, as any program may
//   key <vk>                 a real key press and release (SendInput) of a virtual key
//   wait-exit <ms>           wait for the process to end; its exit code
//   icon-group <exe> <id>    the icon group resource of a file, entry by entry
//   dpi <n>                  the display scale (LogPixels) for processes started later
//   measure <dpi> <heading> <width> <text>
//                            the text's size in the message font at that DPI
//                            (heading 1: 1.5 times, semibold), one line and wrapped
//   hook                     load window_hook.dll into the window's thread (window_hook.h)
//   hook-records             what that thread has sent its controls since the hook
//   hook-dpi <dpi> <x> <y> <width> <height>
//                            WM_DPICHANGED sent there, with that suggested rectangle
//   hook-fonts <dpi>         the controls' fonts, read there, and the message font
//                            at that DPI (0: the window's)
//   hook-measure <hwnd> <text>
//                            the text's size in that control's own font, read there:
//                            on one line, and wrapped at the control's width
//   hook-hold <msg> <path>   hold the next posted <msg> back there: <path>.held
//                            appears, and the window gets it once <path> exists
//   quit
// Every answer has "ok"; a failed command answers {"ok":false,"error":...}.

// The driver runs on Wine 8 only: the Windows 10 calls may be imported.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#include <windows.h>
#include <commctrl.h>

#include "window_hook.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

static const wchar_t kMainWindowClass[] = L"KORVAStaticModuleBootstrapperWindow";
// A sent message must never hang the driver on a window that stopped
// answering: the test then sees an error instead of its own timeout.
static const UINT kSendTimeoutMs = 5000;

struct Driver {
    PROCESS_INFORMATION process = {};
    HWND mainWindow = nullptr;
    HWND dialog = nullptr; // the message box found by the last "msgbox"
    // Set by "hook", for the installer started last.
    HHOOK hook = nullptr;
    HHOOK messageHook = nullptr;
    HANDLE mapping = nullptr;
    HookShared* shared = nullptr;
};

static std::string Utf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size, nullptr, nullptr);
    return result;
}

static std::wstring Wide(const std::string& text)
{
    if (text.empty()) {
        return std::wstring();
    }
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
    return result;
}

// Minimal JSON object writer: enough for flat fields and arrays of objects.
struct Json {
    std::string text = "{";
    bool first = true;

    void Key(const char* name)
    {
        text += first ? "\"" : ",\"";
        first = false;
        text += name;
        text += "\":";
    }
    void String(const char* name, const std::wstring& value)
    {
        Key(name);
        text += '"';
        for (unsigned char c : Utf8(value)) {
            if (c == '"' || c == '\\') {
                text += '\\';
                text += static_cast<char>(c);
            } else if (c < 0x20) {
                char escaped[8];
                snprintf(escaped, sizeof(escaped), "\\u%04x", c);
                text += escaped;
            } else {
                text += static_cast<char>(c);
            }
        }
        text += '"';
    }
    void Number(const char* name, long long value)
    {
        Key(name);
        text += std::to_string(value);
    }
    void Bool(const char* name, bool value)
    {
        Key(name);
        text += value ? "true" : "false";
    }
    void Raw(const char* name, const std::string& json)
    {
        Key(name);
        text += json;
    }
    std::string Done() const { return text + "}"; }
};

static void Answer(const std::string& json)
{
    fwrite(json.data(), 1, json.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

static void Fail(const std::wstring& error)
{
    Json json;
    json.Bool("ok", false);
    json.String("error", error);
    Answer(json.Done());
}

static std::wstring ClassOf(HWND window)
{
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

// WM_GETTEXT with a timeout rather than GetWindowTextW: for another process's
// window both send the message, and a hung target must not hang the driver.
static std::wstring TextOf(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length)) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG,
                        kSendTimeoutMs, &copied);
    return std::wstring(buffer.data(), copied);
}

static long long SendForResult(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result)) {
        return -1;
    }
    return static_cast<long long>(result);
}

static bool IsProcessRunning(const Driver& driver)
{
    return driver.process.hProcess != nullptr && WaitForSingleObject(driver.process.hProcess, 0) == WAIT_TIMEOUT;
}

struct WindowSearch {
    DWORD processId;
    const wchar_t* className;
    HWND owner;
    HWND found;
};

static BOOL CALLBACK MatchTopLevel(HWND window, LPARAM context)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId != search->processId || !IsWindowVisible(window) || ClassOf(window) != search->className) {
        return TRUE;
    }
    if (search->owner != nullptr && GetWindow(window, GW_OWNER) != search->owner) {
        return TRUE;
    }
    search->found = window;
    return FALSE;
}

static HWND WaitForTopLevel(const Driver& driver, const wchar_t* className, HWND owner, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        WindowSearch search = {driver.process.dwProcessId, className, owner, nullptr};
        EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr || GetTickCount64() >= deadline || !IsProcessRunning(driver)) {
            return search.found;
        }
        Sleep(20);
    }
}

static std::vector<HWND> ChildrenOf(HWND parent)
{
    std::vector<HWND> children;
    // The z-order of siblings that were never reordered is their creation
    // order, which is part of what the tests check.
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    return children;
}

static HWND ChildOfClass(HWND parent, const wchar_t* className, int id)
{
    for (HWND child : ChildrenOf(parent)) {
        if (_wcsicmp(ClassOf(child).c_str(), className) == 0 && (id < 0 || GetDlgCtrlID(child) == id)) {
            return child;
        }
    }
    return nullptr;
}

static std::string DescribeWindow(HWND window, bool asChild)
{
    Json json;
    json.Number("hwnd", static_cast<long long>(reinterpret_cast<INT_PTR>(window)));
    const std::wstring className = ClassOf(window);
    json.String("class", className);
    json.String("text", TextOf(window));
    json.Number("style", static_cast<long long>(static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE))));
    json.Number("exstyle", static_cast<long long>(static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE))));
    json.Bool("visible", IsWindowVisible(window) != FALSE);
    json.Bool("enabled", IsWindowEnabled(window) != FALSE);
    RECT rect = {};
    GetWindowRect(window, &rect);
    // Where a user sees its left edge, whatever the parent's layout.
    json.Number("screen_x", rect.left);
    if (asChild) {
        MapWindowPoints(HWND_DESKTOP, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
        json.Number("id", GetDlgCtrlID(window));
    }
    json.Number("x", rect.left);
    json.Number("y", rect.top);
    json.Number("width", rect.right - rect.left);
    json.Number("height", rect.bottom - rect.top);
    RECT client = {};
    GetClientRect(window, &client);
    json.Number("client_width", client.right);
    json.Number("client_height", client.bottom);
    if (className == PROGRESS_CLASSW) {
        json.Number("pos", SendForResult(window, PBM_GETPOS, 0, 0));
        json.Number("range_low", SendForResult(window, PBM_GETRANGE, TRUE, 0));
        json.Number("range_high", SendForResult(window, PBM_GETRANGE, FALSE, 0));
    }
    return json.Done();
}

static std::string DescribeChildren(HWND parent)
{
    std::string list = "[";
    for (HWND child : ChildrenOf(parent)) {
        if (list.size() > 1) {
            list += ",";
        }
        list += DescribeWindow(child, true);
    }
    return list + "]";
}

static bool RequireWindow(Driver& driver)
{
    if (driver.mainWindow != nullptr && IsWindow(driver.mainWindow)) {
        return true;
    }
    Fail(L"no main window");
    return false;
}

static void ReleaseHook(Driver& driver)
{
    if (driver.hook != nullptr) {
        UnhookWindowsHookEx(driver.hook);
    }
    if (driver.messageHook != nullptr) {
        UnhookWindowsHookEx(driver.messageHook);
    }
    if (driver.shared != nullptr) {
        UnmapViewOfFile(driver.shared);
    }
    if (driver.mapping != nullptr) {
        CloseHandle(driver.mapping);
    }
    driver.hook = nullptr;
    driver.messageHook = nullptr;
    driver.shared = nullptr;
    driver.mapping = nullptr;
}

static void Start(Driver& driver, const std::wstring& commandLine)
{
    ReleaseHook(driver);
    if (driver.process.hProcess != nullptr) {
        CloseHandle(driver.process.hThread);
        CloseHandle(driver.process.hProcess);
    }
    driver = Driver();
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back(L'\0');
    if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &driver.process)) {
        driver.process = PROCESS_INFORMATION();
        Fail(L"CreateProcessW failed: " + std::to_wstring(GetLastError()));
        return;
    }
    Json json;
    json.Bool("ok", true);
    json.Number("pid", driver.process.dwProcessId);
    Answer(json.Done());
}

// Wine sets LOCALAPPDATA and friends from the registry in a process started
// from Unix, whatever its Unix environment held; a Windows parent's block is
// passed on as it is.
static void SetVariable(const std::wstring& assignment)
{
    const size_t equals = assignment.find(L'=');
    if (equals == std::wstring::npos || equals == 0) {
        Fail(L"expected name=value");
        return;
    }
    const std::wstring name = assignment.substr(0, equals);
    const std::wstring value = assignment.substr(equals + 1);
    if (!SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str())) {
        Fail(L"SetEnvironmentVariableW failed");
        return;
    }
    Answer("{\"ok\":true}");
}

static void WaitForWindow(Driver& driver, DWORD timeoutMs)
{
    driver.mainWindow = WaitForTopLevel(driver, kMainWindowClass, nullptr, timeoutMs);
    if (driver.mainWindow == nullptr) {
        Fail(IsProcessRunning(driver) ? L"timeout" : L"process ended");
        return;
    }
    Json json;
    json.Bool("ok", true);
    json.Number("hwnd", static_cast<long long>(reinterpret_cast<INT_PTR>(driver.mainWindow)));
    Answer(json.Done());
}

static void Dump(Driver& driver)
{
    if (!RequireWindow(driver)) {
        return;
    }
    HWND window = driver.mainWindow;
    Json json;
    json.Bool("ok", true);
    json.Raw("window", DescribeWindow(window, false));
    json.Raw("children", DescribeChildren(window));
    POINT origin = {};
    ClientToScreen(window, &origin);
    json.Number("client_x", origin.x);
    json.Number("client_y", origin.y);
    GUITHREADINFO thread = {};
    thread.cbSize = sizeof(thread);
    GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &thread);
    json.Number("focus", static_cast<long long>(reinterpret_cast<INT_PTR>(thread.hwndFocus)));
    Answer(json.Done());
}

static void Click(Driver& driver)
{
    if (!RequireWindow(driver)) {
        return;
    }
    HWND button = ChildOfClass(driver.mainWindow, L"Button", -1);
    if (button == nullptr) {
        Fail(L"no button");
        return;
    }
    // Sent, not posted, so the answer comes after the window has handled the
    // click: the next dump already shows the attempt's first state. The
    // handler only starts a thread, so this cannot wait on a modal loop.
    if (SendForResult(button, BM_CLICK, 0, 0) < 0) {
        Fail(L"BM_CLICK was not handled");
        return;
    }
    Answer("{\"ok\":true}");
}

// Real input goes where a person's click would: to whatever window lies under
// the pointer, and nowhere while a modal box has disabled the main window.
// Nothing tells when the target has handled it; the test watches the window.
static void MouseClick(Driver& driver)
{
    if (!RequireWindow(driver)) {
        return;
    }
    HWND button = ChildOfClass(driver.mainWindow, L"Button", -1);
    RECT rect = {};
    if (button == nullptr || !GetWindowRect(button, &rect)) {
        Fail(L"no button");
        return;
    }
    if (!SetCursorPos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2)) {
        Fail(L"SetCursorPos failed");
        return;
    }
    INPUT inputs[2] = {};
    inputs[0].type = INPUT_MOUSE;
    inputs[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    inputs[1].type = INPUT_MOUSE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    if (SendInput(2, inputs, sizeof(INPUT)) != 2) {
        Fail(L"SendInput failed");
        return;
    }
    Answer("{\"ok\":true}");
}

static void WaitForMessageBox(Driver& driver, DWORD timeoutMs)
{
    if (!RequireWindow(driver)) {
        return;
    }
    driver.dialog = WaitForTopLevel(driver, L"#32770", driver.mainWindow, timeoutMs);
    if (driver.dialog == nullptr) {
        Fail(L"no message box");
        return;
    }
    Json json;
    json.Bool("ok", true);
    json.String("caption", TextOf(driver.dialog));
    json.Raw("window", DescribeWindow(driver.dialog, false));
    json.Bool("owner_enabled", IsWindowEnabled(driver.mainWindow) != FALSE);
    json.Raw("children", DescribeChildren(driver.dialog));
    Answer(json.Done());
}

static void PressMessageBoxOk(Driver& driver)
{
    HWND ok =
        driver.dialog != nullptr && IsWindow(driver.dialog) ? ChildOfClass(driver.dialog, L"Button", IDOK) : nullptr;
    if (ok == nullptr) {
        Fail(L"no message box with an OK button");
        return;
    }
    // Posted: the dialog ends its modal loop inside the handler, and the
    // owner's handler that opened the box then runs on; nothing to wait for.
    PostMessageW(ok, BM_CLICK, 0, 0);
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (IsWindow(driver.dialog) && GetTickCount64() < deadline) {
        Sleep(20);
    }
    if (IsWindow(driver.dialog)) {
        Fail(L"message box still open");
        return;
    }
    driver.dialog = nullptr;
    Answer("{\"ok\":true}");
}

static void Close(Driver& driver)
{
    if (!RequireWindow(driver)) {
        return;
    }
    PostMessageW(driver.mainWindow, WM_SYSCOMMAND, SC_CLOSE, 0);
    Answer("{\"ok\":true}");
}

static void Post(Driver& driver, const std::wstring& arguments)
{
    if (!RequireWindow(driver)) {
        return;
    }
    wchar_t* end = nullptr;
    const UINT message = static_cast<UINT>(wcstoul(arguments.c_str(), &end, 0));
    const WPARAM wParam = static_cast<WPARAM>(wcstoull(end, &end, 0));
    const LPARAM lParam = static_cast<LPARAM>(wcstoull(end, nullptr, 0));
    if (!PostMessageW(driver.mainWindow, message, wParam, lParam)) {
        Fail(L"PostMessageW failed");
        return;
    }
    Answer("{\"ok\":true}");
}

// Goes to the foreground window's focus, as a person's key would.
static void Key(const std::wstring& argument)
{
    INPUT inputs[2] = {};
    inputs[0].type = INPUT_KEYBOARD;
    inputs[0].ki.wVk = static_cast<WORD>(wcstoul(argument.c_str(), nullptr, 0));
    inputs[1] = inputs[0];
    inputs[1].ki.dwFlags = KEYEVENTF_KEYUP;
    if (SendInput(2, inputs, sizeof(INPUT)) != 2) {
        Fail(L"SendInput failed");
        return;
    }
    Answer("{\"ok\":true}");
}

static void WaitForExit(Driver& driver, DWORD timeoutMs)
{
    if (driver.process.hProcess == nullptr) {
        Fail(L"no process");
        return;
    }
    const ULONGLONG started = GetTickCount64();
    if (WaitForSingleObject(driver.process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        Fail(L"timeout");
        return;
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(driver.process.hProcess, &exitCode);
    Json json;
    json.Bool("ok", true);
    json.Number("exit_code", exitCode);
    json.Number("waited_ms", static_cast<long long>(GetTickCount64() - started));
    Answer(json.Done());
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colorCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInResource;
    WORD id;
};
#pragma pack(pop)

static bool LoadResourceBytes(HMODULE module, const wchar_t* type, const wchar_t* name, const BYTE*& data, DWORD& size)
{
    HRSRC found = FindResourceExW(module, type, name, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    HGLOBAL loaded = found != nullptr ? LoadResource(module, found) : nullptr;
    data = loaded != nullptr ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    size = found != nullptr ? SizeofResource(module, found) : 0;
    return data != nullptr;
}

// Reads the group as Windows does when it picks an image, and asks the
// platform to decode each image, so a PNG entry it cannot read shows up here.
static void DescribeIconGroup(const std::wstring& path, int groupId)
{
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        Fail(L"cannot load " + path);
        return;
    }
    const BYTE* group = nullptr;
    DWORD groupSize = 0;
    if (!LoadResourceBytes(module, RT_GROUP_ICON, MAKEINTRESOURCEW(groupId), group, groupSize) || groupSize < 6) {
        FreeLibrary(module);
        Fail(L"no US English icon group " + std::to_wstring(groupId));
        return;
    }
    WORD count = 0;
    memcpy(&count, group + 4, sizeof(count));
    std::string images = "[";
    for (WORD i = 0; i < count && 6 + (i + 1) * sizeof(GroupIconEntry) <= groupSize; ++i) {
        GroupIconEntry entry;
        memcpy(&entry, group + 6 + i * sizeof(GroupIconEntry), sizeof(entry));
        const BYTE* image = nullptr;
        DWORD imageSize = 0;
        const bool present = LoadResourceBytes(module, RT_ICON, MAKEINTRESOURCEW(entry.id), image, imageSize);
        const int side = entry.width == 0 ? 256 : entry.width;
        HICON icon = present ? CreateIconFromResourceEx(const_cast<BYTE*>(image), imageSize, TRUE, 0x00030000, side,
                                                        side, LR_DEFAULTCOLOR)
                             : nullptr;
        Json json;
        json.Number("width", side);
        json.Number("height", entry.height == 0 ? 256 : entry.height);
        json.Number("bit_count", entry.bitCount);
        json.Number("bytes", entry.bytesInResource);
        json.Bool("present", present && imageSize == entry.bytesInResource);
        json.Bool("png", present && imageSize >= 8 && memcmp(image, "\x89PNG\r\n\x1a\n", 8) == 0);
        json.Bool("decodes", icon != nullptr);
        if (icon != nullptr) {
            DestroyIcon(icon);
        }
        images += (images.size() > 1 ? "," : "") + json.Done();
    }
    FreeLibrary(module);
    Json json;
    json.Bool("ok", true);
    json.Raw("images", images + "]");
    Answer(json.Done());
}

// Wine reads the scale from here when a process starts, as Windows stores it.
static void SetDisplayScale(const std::wstring& rest)
{
    const DWORD dpi = static_cast<DWORD>(wcstoul(rest.c_str(), nullptr, 10));
    const LSTATUS status =
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", REG_DWORD, &dpi, sizeof(dpi));
    if (status != ERROR_SUCCESS) {
        Fail(L"RegSetKeyValueW failed: " + std::to_wstring(status));
        return;
    }
    Answer("{\"ok\":true}");
}

// The font the window should use, made here: its own fonts cannot be asked
// for from another process.
static void MeasureText(Driver& driver, const std::wstring& rest)
{
    if (!RequireWindow(driver)) {
        return;
    }
    // Asked of the test: under Wine, GetDpiForWindow on another process's
    // window answers this process's own DPI.
    wchar_t* end = nullptr;
    const UINT dpi = static_cast<UINT>(wcstoul(rest.c_str(), &end, 10));
    const bool heading = wcstoul(end, &end, 10) != 0;
    const int width = static_cast<int>(wcstoul(end, &end, 10));
    const std::wstring text = *end == L' ' ? std::wstring(end + 1) : std::wstring(end);
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi);
    LOGFONTW logFont = metrics.lfMessageFont;
    if (heading) {
        logFont.lfHeight = MulDiv(logFont.lfHeight, 3, 2);
        logFont.lfWeight = FW_SEMIBOLD;
    }
    HFONT font = CreateFontIndirectW(&logFont);
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    RECT line = {0, 0, 0, 0};
    DrawTextW(dc, text.c_str(), -1, &line, DT_CALCRECT | DT_SINGLELINE | DT_NOPREFIX);
    RECT wrapped = {0, 0, width, 0};
    DrawTextW(dc, text.c_str(), -1, &wrapped, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(font);
    Json json;
    json.Bool("ok", true);
    json.Number("line_width", line.right);
    json.Number("line_height", line.bottom);
    json.Number("wrapped_width", wrapped.right);
    json.Number("wrapped_height", wrapped.bottom);
    Answer(json.Done());
}

static std::wstring OwnFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\'));
}

// Sent, so the hook in the window's thread has run it when this returns.
static bool RunHookCommand(Driver& driver, HookCommand command)
{
    static const UINT message = RegisterWindowMessageW(kHookCommandMessage);
    const LONG before = driver.shared->commandsDone;
    SendForResult(driver.mainWindow, message, command, 0);
    return driver.shared->commandsDone != before;
}

static bool RequireHook(Driver& driver)
{
    if (!RequireWindow(driver)) {
        return false;
    }
    if (driver.hook == nullptr) {
        Fail(L"no hook: send \"hook\" first");
        return false;
    }
    return true;
}

// Wine loads the DLL into the installer the first time its thread calls the
// hook; the ping proves that it did.
static void Hook(Driver& driver)
{
    if (!RequireWindow(driver)) {
        return;
    }
    ReleaseHook(driver);
    const std::wstring name = kHookMappingPrefix + std::to_wstring(driver.process.dwProcessId);
    driver.mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(HookShared), name.c_str());
    driver.shared =
        driver.mapping != nullptr
            ? static_cast<HookShared*>(MapViewOfFile(driver.mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(HookShared)))
            : nullptr;
    HMODULE module = LoadLibraryW((OwnFolder() + L"\\window_hook.dll").c_str());
    const FARPROC proc = module != nullptr ? GetProcAddress(module, "CallWndProcHook") : nullptr;
    const FARPROC messageProc = module != nullptr ? GetProcAddress(module, "GetMessageHook") : nullptr;
    if (driver.shared == nullptr || proc == nullptr || messageProc == nullptr) {
        Fail(L"no shared memory or no window_hook.dll");
        return;
    }
    const DWORD thread = GetWindowThreadProcessId(driver.mainWindow, nullptr);
    driver.hook = SetWindowsHookExW(WH_CALLWNDPROC, reinterpret_cast<HOOKPROC>(reinterpret_cast<void (*)()>(proc)),
                                    module, thread);
    driver.messageHook = SetWindowsHookExW(
        WH_GETMESSAGE, reinterpret_cast<HOOKPROC>(reinterpret_cast<void (*)()>(messageProc)), module, thread);
    if (driver.hook == nullptr || driver.messageHook == nullptr) {
        Fail(L"SetWindowsHookExW failed: " + std::to_wstring(GetLastError()));
        return;
    }
    if (!RunHookCommand(driver, kHookPing)) {
        Fail(L"the hook never ran in the window's thread");
        return;
    }
    Answer("{\"ok\":true}");
}

// Still readable after the installer has ended: the mapping is the driver's.
static void HookRecords(Driver& driver)
{
    if (driver.shared == nullptr) {
        Fail(L"no hook: send \"hook\" first");
        return;
    }
    const LONG count = driver.shared->recordCount;
    std::string list = "[";
    for (LONG i = 0; i < count && i < kHookMaxRecords; ++i) {
        const HookRecord& record = driver.shared->records[i];
        Json json;
        json.Number("hwnd", static_cast<long long>(record.window));
        json.Number("message", record.message);
        json.Number("wparam", static_cast<long long>(record.wParam));
        json.Number("lparam", record.message == WM_SETTEXT ? 0 : record.lParam);
        json.String("text", record.text);
        list += (list.size() > 1 ? "," : "") + json.Done();
    }
    Json json;
    json.Bool("ok", true);
    json.Bool("lost", count > kHookMaxRecords);
    json.Raw("records", list + "]");
    Answer(json.Done());
}

static void HookDpiChanged(Driver& driver, const std::wstring& rest)
{
    if (!RequireHook(driver)) {
        return;
    }
    long values[5] = {};
    if (swscanf(rest.c_str(), L"%ld %ld %ld %ld %ld", &values[0], &values[1], &values[2], &values[3], &values[4]) !=
        5) {
        Fail(L"expected dpi x y width height");
        return;
    }
    driver.shared->dpi = static_cast<UINT>(values[0]);
    driver.shared->suggested = {values[1], values[2], values[1] + values[3], values[2] + values[4]};
    if (!RunHookCommand(driver, kHookDpiChanged)) {
        Fail(L"the hook did not run the command");
        return;
    }
    Answer("{\"ok\":true}");
}

static std::string DescribeFont(const HookFont& font)
{
    Json json;
    json.Number("hwnd", static_cast<long long>(font.window));
    json.Bool("present", font.present != FALSE);
    json.Number("height", font.height);
    json.Number("weight", font.weight);
    json.String("face", font.face);
    return json.Done();
}

static void HookFonts(Driver& driver, const std::wstring& rest)
{
    if (!RequireHook(driver)) {
        return;
    }
    driver.shared->dpi = static_cast<UINT>(wcstoul(rest.c_str(), nullptr, 10));
    if (!RunHookCommand(driver, kHookFonts)) {
        Fail(L"the hook did not run the command");
        return;
    }
    std::string list = "[";
    for (int i = 0; i < driver.shared->fontCount; ++i) {
        list += (list.size() > 1 ? "," : "") + DescribeFont(driver.shared->fonts[i]);
    }
    Json json;
    json.Bool("ok", true);
    json.Number("window_dpi", driver.shared->windowDpi);
    json.Raw("message_font", DescribeFont(driver.shared->messageFont));
    json.Raw("fonts", list + "]");
    Answer(json.Done());
}

static std::string DescribeSize(const SIZE& size)
{
    Json json;
    json.Number("width", size.cx);
    json.Number("height", size.cy);
    return json.Done();
}

static void HookMeasure(Driver& driver, const std::wstring& rest)
{
    if (!RequireHook(driver)) {
        return;
    }
    wchar_t* end = nullptr;
    driver.shared->measureWindow = _wcstoui64(rest.c_str(), &end, 10);
    const std::wstring text = *end == L' ' ? std::wstring(end + 1) : std::wstring(end);
    if (text.size() >= kHookMeasureChars) {
        Fail(L"text too long to measure");
        return;
    }
    wcscpy(driver.shared->measureText, text.c_str());
    if (!RunHookCommand(driver, kHookMeasure)) {
        Fail(L"the hook did not run the command");
        return;
    }
    Json json;
    json.Bool("ok", true);
    json.Raw("line", DescribeSize(driver.shared->measured.line));
    json.Raw("wrapped", DescribeSize(driver.shared->measured.wrapped));
    json.Raw("client", DescribeSize(driver.shared->measured.client));
    Answer(json.Done());
}

static void HookHold(Driver& driver, const std::wstring& rest)
{
    if (!RequireHook(driver)) {
        return;
    }
    wchar_t* end = nullptr;
    const UINT message = static_cast<UINT>(wcstoul(rest.c_str(), &end, 0));
    const std::wstring path = *end == L' ' ? std::wstring(end + 1) : std::wstring();
    if (message == 0 || path.empty() || path.size() >= MAX_PATH) {
        Fail(L"expected message and path");
        return;
    }
    wcscpy(driver.shared->holdUntil, path.c_str());
    driver.shared->holdMessage = message;
    Answer("{\"ok\":true}");
}

static DWORD ParseMs(const std::wstring& text)
{
    return static_cast<DWORD>(wcstoul(text.c_str(), nullptr, 10));
}

static bool RunCommand(Driver& driver, const std::wstring& line)
{
    const size_t space = line.find(L' ');
    const std::wstring command = line.substr(0, space);
    const std::wstring rest = space == std::wstring::npos ? std::wstring() : line.substr(space + 1);
    if (command == L"env") {
        SetVariable(rest);
    } else if (command == L"start") {
        Start(driver, rest);
    } else if (command == L"window") {
        WaitForWindow(driver, ParseMs(rest));
    } else if (command == L"dump") {
        Dump(driver);
    } else if (command == L"click") {
        Click(driver);
    } else if (command == L"mouse-click") {
        MouseClick(driver);
    } else if (command == L"msgbox") {
        WaitForMessageBox(driver, ParseMs(rest));
    } else if (command == L"msgbox-ok") {
        PressMessageBoxOk(driver);
    } else if (command == L"close") {
        Close(driver);
    } else if (command == L"post") {
        Post(driver, rest);
    } else if (command == L"key") {
        Key(rest);
    } else if (command == L"wait-exit") {
        WaitForExit(driver, ParseMs(rest));
    } else if (command == L"icon-group") {
        const size_t split = rest.rfind(L' ');
        DescribeIconGroup(rest.substr(0, split), static_cast<int>(ParseMs(rest.substr(split + 1))));
    } else if (command == L"dpi") {
        SetDisplayScale(rest);
    } else if (command == L"measure") {
        MeasureText(driver, rest);
    } else if (command == L"hook") {
        Hook(driver);
    } else if (command == L"hook-records") {
        HookRecords(driver);
    } else if (command == L"hook-dpi") {
        HookDpiChanged(driver, rest);
    } else if (command == L"hook-fonts") {
        HookFonts(driver, rest);
    } else if (command == L"hook-measure") {
        HookMeasure(driver, rest);
    } else if (command == L"hook-hold") {
        HookHold(driver, rest);
    } else if (command == L"quit") {
        Answer("{\"ok\":true}");
        return false;
    } else {
        Fail(L"unknown command: " + command);
    }
    return true;
}

int wmain()
{
    Driver driver;
    std::string line;
    while (std::getline(std::cin, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
            line.pop_back();
        }
        if (!line.empty() && !RunCommand(driver, Wide(line))) {
            break;
        }
    }
    // Never leave an installer behind, whatever the test did.
    if (IsProcessRunning(driver)) {
        TerminateProcess(driver.process.hProcess, 99);
    }
    return 0;
}
