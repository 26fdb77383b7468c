#include "workflow/installer_log.h"

#include "base/decimal_text.h"
#include "base/file_io.h"
#include "workflow/installer_directory.h"

// One byte per character: U+0000..U+00FF are written as that byte. Anything
// above cannot be expressed, and writing its low byte could forge a line end
// or control character from a hostile manifest version, so each such unit
// (surrogate halves included) becomes "?" and the line stays one readable line.
// An LF becomes CR LF, as a text-mode stream would write it.
static void AppendSingleByteText(std::string& line, const std::wstring& text)
{
    for (wchar_t c : text) {
        if (c == L'\n') {
            line += "\r\n";
        } else {
            line.push_back(c <= 0xFF ? static_cast<char>(static_cast<unsigned char>(c)) : '?');
        }
    }
}

std::string FormatLogLine(const SYSTEMTIME& time, const std::wstring& text)
{
    const std::wstring stamp = DecimalText(time.wYear) + L"-" + DecimalText(time.wMonth) + L"-" +
                               DecimalText(time.wDay) + L" " + DecimalText(time.wHour) + L":" +
                               DecimalText(time.wMinute) + L":" + DecimalText(time.wSecond) + L" ";
    std::string line;
    line.reserve(stamp.size() + text.size());
    AppendSingleByteText(line, stamp);
    AppendSingleByteText(line, text);
    return line;
}

// Two installers of one user may append at once. Windows appends each write
// whole, but Wine finds the end and then writes there in two steps, so two
// processes can write to the same place: lines were lost or garbled (several
// in a hundred with three processes appending). Every writer holds this
// lock for its one write: a byte far past any real log, so it never blocks a
// reader of the text. Nothing but a stuck writer holds it longer than a write,
// and waiting for one is bounded: the line is then written unlocked.
static const DWORD kAppendLockOffsetHigh = 0x40000000;
static const ULONGLONG kAppendLockWaitMs = 2000;

static bool LockForAppend(HANDLE file, OVERLAPPED& range)
{
    range = {};
    range.OffsetHigh = kAppendLockOffsetHigh;
    const ULONGLONG deadline = GetTickCount64() + kAppendLockWaitMs;
    while (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
        if (GetLastError() != ERROR_LOCK_VIOLATION || GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

void WriteLogLine(const std::wstring& text)
{
    const std::wstring directory = GetInstallerDirectory();
    if (directory.empty()) {
        return;
    }
    const ScopedCloseHandle file = OpenFileForAppending(directory + L"\\KORVA.Installer.log");
    if (!file) {
        return;
    }
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    // One buffer, one write: the line is never split between two writes.
    const std::string line = FormatLogLine(now, text) + "\r\n";
    OVERLAPPED range;
    const bool locked = LockForAppend(file.get(), range);
    WriteFileFully(file.get(), line.data(), line.size());
    if (locked) {
        UnlockFileEx(file.get(), 0, 1, 0, &range);
    }
}
