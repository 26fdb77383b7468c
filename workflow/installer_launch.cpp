#include "workflow/installer_launch.h"

#include "workflow/installer_directory.h"
#include "workflow/installer_log.h"

#include <shellapi.h>

#include <string>

// The normalized name of what handle is, in the "\\?\" form the platform
// gives; empty when it cannot tell.
static std::wstring FinalPathOf(HANDLE handle)
{
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    const DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, flags);
    if (needed == 0) {
        return std::wstring();
    }
    std::wstring path(needed, L'\0');
    const DWORD written = GetFinalPathNameByHandleW(handle, &path[0], needed, flags);
    if (written == 0 || written >= needed) {
        return std::wstring();
    }
    path.resize(written);
    return path;
}

// The working directory's own name, its last part taken as it is: a link put
// in its place names the link, not where the link leads.
static std::wstring FinalDirectoryPath(const std::wstring& directory)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE opened = CreateFileW(directory.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const ScopedCloseHandle handle(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
    return handle ? FinalPathOf(handle.get()) : std::wstring();
}

// "\\?\C:\x" is started as "C:\x" and "\\?\UNC\server\x" as "\\server\x":
// the shell and the programs it starts expect the plain forms.
static std::wstring PlainPath(const std::wstring& finalPath)
{
    if (finalPath.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        return L"\\\\" + finalPath.substr(8);
    }
    if (finalPath.compare(0, 4, L"\\\\?\\") == 0) {
        return finalPath.substr(4);
    }
    return finalPath;
}

static bool SameFile(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION first = {};
    BY_HANDLE_FILE_INFORMATION second = {};
    return GetFileInformationByHandle(a, &first) && GetFileInformationByHandle(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

// The held file's plain path, when it lies directly in the working directory
// and that path still opens the held file itself.
static bool LocateHeldFile(HANDLE held, std::wstring& path, std::wstring& folder)
{
    const std::wstring finalPath = FinalPathOf(held);
    const size_t separator = finalPath.find_last_of(L'\\');
    const std::wstring directory = FinalDirectoryPath(GetInstallerDirectory());
    if (finalPath.empty() || directory.empty() || separator == std::wstring::npos ||
        CompareStringOrdinal(finalPath.c_str(), static_cast<int>(separator), directory.c_str(),
                             static_cast<int>(directory.size()), TRUE) != CSTR_EQUAL) {
        return false;
    }
    path = PlainPath(finalPath);
    folder = PlainPath(directory);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE opened =
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const ScopedCloseHandle named(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
    return named && SameFile(held, named.get());
}

bool StartVerifiedInstaller(Attempt& attempt, HWND owner, Failure& failure)
{
    std::wstring path;
    std::wstring folder;
    BOOL started = FALSE;
    SHELLEXECUTEINFOW info = {};
    if (LocateHeldFile(attempt.installer.handle.get(), path, folder)) {
        info.cbSize = sizeof(info);
        // No SEE_MASK_FLAG_NO_UI: the platform's own dialogs must be able to
        // appear, owned by the window.
        info.fMask = SEE_MASK_NOCLOSEPROCESS;
        info.hwnd = owner;
        info.lpVerb = L"open";
        info.lpFile = path.c_str();
        // The working directory, where only this program's files lie: the
        // setup must not start in the launcher's current folder (often
        // Downloads), where a planted DLL may wait.
        info.lpDirectory = folder.c_str();
        info.nShow = SW_SHOWNORMAL;
        started = ShellExecuteExW(&info);
    }
    attempt.installer.handle.reset(); // held until the start has read the file
    if (!started) {
        failure = Failure::LaunchFailed;
        return false;
    }
    const ScopedCloseHandle process(info.hProcess);
    WriteLogLine(L"KORVA Setup started.");
    return true;
}
