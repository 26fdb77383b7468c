#pragma once

#include "openssl_handle.h"

#include "manifest/signed_statement.h"

#include <string>
#include <vector>

// An ECDSA P-256 key of the publisher, private or public half, with its key
// id: the first 8 bytes of the SHA-256 of its SubjectPublicKeyInfo DER as 16
// lower-case hex digits, the name the manifest's signature lines carry.
struct ReleaseKey {
    ScopedEvpPkeyFree key;
    std::string id;
    std::string path;
};

// Makes a new key pair: NAME.key.pem (PKCS#8, created with mode 0600) and
// NAME.pub.pem. Refuses when either file exists; leaves neither on failure.
bool GenerateKeyFiles(const std::string& name, std::string& keyId, std::string& errorText);

bool LoadPrivateKey(const std::string& path, ReleaseKey& key, std::string& errorText);
bool LoadPublicKey(const std::string& path, ReleaseKey& key, std::string& errorText);

// ECDSA over SHA-256 of the statement; OpenSSL's DER signature is converted
// to r||s, each left-padded to 32 bytes.
bool SignStatement(const ReleaseKey& key, const std::string& statement, std::vector<unsigned char>& signature,
                   std::string& errorText);

// True only for exactly 64 bytes of r||s that verify over the statement.
bool VerifyStatement(const ReleaseKey& key, const std::string& statement, const std::vector<unsigned char>& signature);
