#pragma once

#include <windows.h>

#include <winhttp.h>

#include "base/unique_owner.h"

struct WinHttpCloseHandleCloser {
    static void Close(HINTERNET h) { WinHttpCloseHandle(h); }
};
using ScopedWinHttpCloseHandle = UniqueHandle<HINTERNET, WinHttpCloseHandleCloser, nullptr>;

// WinHTTP hands out its proxy strings allocated with GlobalAlloc.
struct GlobalFreeCloser {
    static void Close(LPWSTR text) { GlobalFree(text); }
};
using ScopedGlobalFreeString = UniqueHandle<LPWSTR, GlobalFreeCloser, nullptr>;
