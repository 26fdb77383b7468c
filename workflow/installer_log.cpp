#include "workflow/installer_log.h"

#include "transfer/file_io.h"
#include "workflow/installer_directory.h"

#include <cstdio>

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
    char stamp[64];
    snprintf(stamp, sizeof(stamp), "%u-%u-%u %u:%u:%u ", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
             time.wSecond);
    std::string line = stamp;
    AppendSingleByteText(line, text);
    return line;
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
    const std::string line = FormatLogLine(now, text) + "\r\n";
    WriteFileFully(file.get(), line.data(), line.size());
}
