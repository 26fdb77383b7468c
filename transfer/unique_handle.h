#pragma once

#include <windows.h>

#include <bcrypt.h>
#include <winhttp.h>

#include "transfer/unique_owner.h"

struct CloseHandleCloser {
    static void Close(HANDLE h) { CloseHandle(h); }
};
struct WinHttpCloseHandleCloser {
    static void Close(HINTERNET h) { WinHttpCloseHandle(h); }
};
struct BCryptCloseAlgorithmProviderCloser {
    static void Close(BCRYPT_ALG_HANDLE h) { BCryptCloseAlgorithmProvider(h, 0); }
};
struct BCryptDestroyHashCloser {
    static void Close(BCRYPT_HASH_HANDLE h) { BCryptDestroyHash(h); }
};
struct BCryptDestroyKeyCloser {
    static void Close(BCRYPT_KEY_HANDLE h) { BCryptDestroyKey(h); }
};

struct GlobalFreeCloser {
    static void Close(LPWSTR text) { GlobalFree(text); }
};

// CreateFileW reports failure as INVALID_HANDLE_VALUE, which cannot be a
// template argument; the file helpers translate it to null before wrapping.
using ScopedCloseHandle = UniqueHandle<HANDLE, CloseHandleCloser, nullptr>;
using ScopedWinHttpCloseHandle = UniqueHandle<HINTERNET, WinHttpCloseHandleCloser, nullptr>;
using ScopedBCryptCloseAlgorithmProvider = UniqueHandle<BCRYPT_ALG_HANDLE, BCryptCloseAlgorithmProviderCloser, nullptr>;
using ScopedBCryptDestroyHash = UniqueHandle<BCRYPT_HASH_HANDLE, BCryptDestroyHashCloser, nullptr>;
using ScopedBCryptDestroyKey = UniqueHandle<BCRYPT_KEY_HANDLE, BCryptDestroyKeyCloser, nullptr>;
// WinHTTP hands out its proxy strings allocated with GlobalAlloc.
using ScopedGlobalFreeString = UniqueHandle<LPWSTR, GlobalFreeCloser, nullptr>;
