#include "app/dll_search.h"

#include <windows.h>

// The installer is run from Downloads, where a web page can drop a file named
// like a system DLL beside it. The loader looks in the exe's own folder first,
// so from here on every DLL loaded by name comes from System32 only: the
// delay-loaded WinHTTP, CNG and common controls, and whatever the system DLLs
// load on their own later.
void LimitDllSearchToSystem32()
{
    // Windows 7 has this call only with KB2533623: looked up rather than
    // imported, since a missing import would keep the exe from starting.
    using SetDefaultDllDirectoriesProc = BOOL(WINAPI*)(DWORD);
    const FARPROC proc = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (proc == nullptr) {
        return;
    }
    // Through the generic function pointer type, which converts to any other.
    const auto setDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesProc>(reinterpret_cast<void (*)()>(proc));
    setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
