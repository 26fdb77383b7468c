#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <unistd.h>

#include <utility>

// One move-only owner per kind of OpenSSL object (and for file descriptors),
// named after its free function, in the manner of the installer's
// UniqueHandle. Declaring owners in acquisition order makes C++ release them
// in reverse order on every return path.
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

struct EvpPkeyFreeCloser {
    static void Close(EVP_PKEY* p) { EVP_PKEY_free(p); }
};
struct EvpMdCtxFreeCloser {
    static void Close(EVP_MD_CTX* p) { EVP_MD_CTX_free(p); }
};
struct BioFreeAllCloser {
    static void Close(BIO* p) { BIO_free_all(p); }
};
struct EcdsaSigFreeCloser {
    static void Close(ECDSA_SIG* p) { ECDSA_SIG_free(p); }
};
struct BnFreeCloser {
    static void Close(BIGNUM* p) { BN_free(p); }
};
struct CloseCloser {
    static void Close(int fd) { close(fd); }
};

using ScopedEvpPkeyFree = UniqueHandle<EVP_PKEY*, EvpPkeyFreeCloser, nullptr>;
using ScopedEvpMdCtxFree = UniqueHandle<EVP_MD_CTX*, EvpMdCtxFreeCloser, nullptr>;
using ScopedBioFreeAll = UniqueHandle<BIO*, BioFreeAllCloser, nullptr>;
using ScopedEcdsaSigFree = UniqueHandle<ECDSA_SIG*, EcdsaSigFreeCloser, nullptr>;
using ScopedBnFree = UniqueHandle<BIGNUM*, BnFreeCloser, nullptr>;
using ScopedClose = UniqueHandle<int, CloseCloser, -1>;
