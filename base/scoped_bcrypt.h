#pragma once

#include <windows.h>

#include <bcrypt.h>

#include "base/unique_owner.h"

struct BCryptCloseAlgorithmProviderCloser {
    static void Close(BCRYPT_ALG_HANDLE h) { BCryptCloseAlgorithmProvider(h, 0); }
};
struct BCryptDestroyHashCloser {
    static void Close(BCRYPT_HASH_HANDLE h) { BCryptDestroyHash(h); }
};
struct BCryptDestroyKeyCloser {
    static void Close(BCRYPT_KEY_HANDLE h) { BCryptDestroyKey(h); }
};
using ScopedBCryptCloseAlgorithmProvider = UniqueHandle<BCRYPT_ALG_HANDLE, BCryptCloseAlgorithmProviderCloser, nullptr>;
using ScopedBCryptDestroyHash = UniqueHandle<BCRYPT_HASH_HANDLE, BCryptDestroyHashCloser, nullptr>;
using ScopedBCryptDestroyKey = UniqueHandle<BCRYPT_KEY_HANDLE, BCryptDestroyKeyCloser, nullptr>;
