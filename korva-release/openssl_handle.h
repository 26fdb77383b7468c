#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <unistd.h>

#include "base/unique_owner.h"

// One owner per kind of OpenSSL object (and for file descriptors), named
// after its free function, like the installer's handle owners.
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
struct X509FreeCloser {
    static void Close(X509* p) { X509_free(p); }
};
struct CloseCloser {
    static void Close(int fd) { close(fd); }
};

using ScopedEvpPkeyFree = UniqueHandle<EVP_PKEY*, EvpPkeyFreeCloser, nullptr>;
using ScopedEvpMdCtxFree = UniqueHandle<EVP_MD_CTX*, EvpMdCtxFreeCloser, nullptr>;
using ScopedBioFreeAll = UniqueHandle<BIO*, BioFreeAllCloser, nullptr>;
using ScopedEcdsaSigFree = UniqueHandle<ECDSA_SIG*, EcdsaSigFreeCloser, nullptr>;
using ScopedBnFree = UniqueHandle<BIGNUM*, BnFreeCloser, nullptr>;
using ScopedX509Free = UniqueHandle<X509*, X509FreeCloser, nullptr>;
using ScopedClose = UniqueHandle<int, CloseCloser, -1>;
