#pragma once

#include <windows.h>

#include <bcrypt.h>
#include <winhttp.h>

#include <utility>

// One move-only owner per kind of OS handle, named after its close function.
// Declaring owners in acquisition order makes C++ release them in reverse
// order on every return path, early ones included.
template <typename Handle, typename Closer, Handle Invalid> class UniqueHandle
{
public:
    UniqueHandle() = default;
    explicit UniqueHandle(Handle handle) : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const { return handle_; }
    explicit operator bool() const { return handle_ != Invalid; }
    Handle* put()
    {
        reset();
        return &handle_;
    }
    Handle release() { return std::exchange(handle_, Invalid); }
    void reset(Handle handle = Invalid)
    {
        const Handle old = std::exchange(handle_, handle);
        if (old != Invalid) {
            Closer::Close(old);
        }
    }

private:
    Handle handle_ = Invalid;
};

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

// CreateFileW reports failure as INVALID_HANDLE_VALUE, which cannot be a
// template argument; the file helpers translate it to null before wrapping.
using ScopedCloseHandle = UniqueHandle<HANDLE, CloseHandleCloser, nullptr>;
using ScopedWinHttpCloseHandle = UniqueHandle<HINTERNET, WinHttpCloseHandleCloser, nullptr>;
using ScopedBCryptCloseAlgorithmProvider = UniqueHandle<BCRYPT_ALG_HANDLE, BCryptCloseAlgorithmProviderCloser, nullptr>;
using ScopedBCryptDestroyHash = UniqueHandle<BCRYPT_HASH_HANDLE, BCryptDestroyHashCloser, nullptr>;
using ScopedBCryptDestroyKey = UniqueHandle<BCRYPT_KEY_HANDLE, BCryptDestroyKeyCloser, nullptr>;
