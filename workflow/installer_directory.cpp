#include "workflow/installer_directory.h"

#include <windows.h>

static const DWORD kBaseBufferUnits = 260;

// An over-long LOCALAPPDATA leaves the buffer undefined, and a failing
// GetTempPathW leaves it empty, which would turn the directory into
// "\KORVA\Installer" on whatever drive is current. Both would write where the
// user never meant, so each source is used only when it fits completely.
static bool ReadBaseFolder(wchar_t (&buffer)[kBaseBufferUnits])
{
    const DWORD appData = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, kBaseBufferUnits);
    if (appData > 0 && appData < kBaseBufferUnits) {
        return true;
    }
    ZeroMemory(buffer, sizeof(buffer));
    const DWORD temp = GetTempPathW(kBaseBufferUnits, buffer);
    if (temp > 0 && temp < kBaseBufferUnits) {
        return true;
    }
    return false;
}

std::wstring GetInstallerDirectory()
{
    wchar_t buffer[kBaseBufferUnits] = {};
    if (!ReadBaseFolder(buffer)) {
        return std::wstring();
    }
    // GetTempPathW ends with a backslash, so the fallback holds a doubled
    // separator before "KORVA"; Windows treats the pair as one.
    const std::wstring product = std::wstring(buffer) + L"\\KORVA";
    std::wstring directory = product + L"\\Installer";
    CreateDirectoryW(product.c_str(), nullptr);
    CreateDirectoryW(directory.c_str(), nullptr);
    return directory;
}
