// The image's load configuration record, built only by GNU toolchains: the
// MSVC runtime brings its own and gets the same flag from /DEPENDENTLOADFLAG.
// Its one purpose is DependentLoadFlags, which makes Windows 10 (1607 and
// later) resolve the exe's own imports from System32 before any of our code
// runs. GNU ld 2.40 links the record but leaves the PE data directory empty;
// cmake/fill-load-config-directory.py fills it in after the link.

#include <windows.h>

#include <cstddef>

// The x64 record as it was before the Control Flow Guard fields, spelled out
// because the headers disagree on the name of DependentLoadFlags.
struct LoadConfigDirectory64 {
    DWORD Size;
    DWORD TimeDateStamp;
    WORD MajorVersion;
    WORD MinorVersion;
    DWORD GlobalFlagsClear;
    DWORD GlobalFlagsSet;
    DWORD CriticalSectionDefaultTimeout;
    ULONGLONG DeCommitFreeBlockThreshold;
    ULONGLONG DeCommitTotalFreeThreshold;
    ULONGLONG LockPrefixTable;
    ULONGLONG MaximumAllocationSize;
    ULONGLONG VirtualMemoryThreshold;
    ULONGLONG ProcessAffinityMask;
    DWORD ProcessHeapFlags;
    WORD CSDVersion;
    WORD DependentLoadFlags;
    ULONGLONG EditList;
    ULONGLONG SecurityCookie;
    ULONGLONG SEHandlerTable;
    ULONGLONG SEHandlerCount;
};
static_assert(offsetof(LoadConfigDirectory64, DependentLoadFlags) == 0x4E, "DependentLoadFlags sits at 0x4E");
static_assert(sizeof(LoadConfigDirectory64) == 0x70, "the x64 record without guard fields is 0x70 bytes");

// Constant-initialised, so it is in the image as the loader reads it. A zero
// SecurityCookie tells the loader there is no cookie to set up.
extern "C" const LoadConfigDirectory64 _load_config_used = {
    sizeof(LoadConfigDirectory64), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, LOAD_LIBRARY_SEARCH_SYSTEM32, 0, 0, 0, 0};
