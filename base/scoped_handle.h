#pragma once

#include <windows.h>

#include "base/unique_owner.h"

struct CloseHandleCloser {
    static void Close(HANDLE h) { CloseHandle(h); }
};
// CreateFileW reports failure as INVALID_HANDLE_VALUE, which cannot be a
// template argument; the file helpers translate it to null before wrapping.
using ScopedCloseHandle = UniqueHandle<HANDLE, CloseHandleCloser, nullptr>;
