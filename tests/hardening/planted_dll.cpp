// What an attacker would drop beside the installer in Downloads, under the
// name of a DLL the installer uses. Loading it is the whole attack: it leaves
// "<its own path>.loaded" and ends the process with exit code 86, before the
// program can call one of the functions it does not export (Wine lets an exe
// start with such imports unresolved; Windows would refuse, but DllMain of a
// real planted DLL would forward them).
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    wchar_t path[MAX_PATH + 16] = {};
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        lstrcpyW(path + length, L".loaded");
        const HANDLE marker =
            CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (marker != INVALID_HANDLE_VALUE) {
            CloseHandle(marker);
        }
    }
    TerminateProcess(GetCurrentProcess(), 86);
    return FALSE;
}
