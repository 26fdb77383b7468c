#include "workflow/installer_log.h"

#include "transfer/file_io.h"
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

// Plain decimal, as many digits as needed. Hand-rolled because the C
// library's formatted printing would add its whole float-capable engine to a
// static exe for six small numbers.
static void AppendDecimal(std::string& line, unsigned value, char separator)
{
    char digits[8];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && count < sizeof(digits));
    while (count > 0) {
        line.push_back(digits[--count]);
    }
    line.push_back(separator);
}

std::string FormatLogLine(const SYSTEMTIME& time, const std::wstring& text)
{
    std::string line;
    line.reserve(24 + text.size());
    AppendDecimal(line, time.wYear, '-');
    AppendDecimal(line, time.wMonth, '-');
    AppendDecimal(line, time.wDay, ' ');
    AppendDecimal(line, time.wHour, ':');
    AppendDecimal(line, time.wMinute, ':');
    AppendDecimal(line, time.wSecond, ' ');
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
