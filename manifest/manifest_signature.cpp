#include "manifest/manifest_signature.h"

#include "manifest/signed_statement.h"
#include "base/sha256.h"

#include <cstring>

// The values came from strictly decoded UTF-8, so every surrogate is paired
// and this gives back exactly the bytes the publisher signed. Encoded here
// rather than by WideCharToMultiByte, an import only a keyed build would need.
static void ToUtf8(const std::wstring& text, std::string& bytes)
{
    bytes.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned long c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        const int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
        static const unsigned char kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
        bytes += static_cast<char>(kLead[extra] | (c >> (6 * extra)));
        for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6) {
            bytes += static_cast<char>(0x80 | ((c >> shift) & 0x3F));
        }
    }
}

// The entry's value as UTF-8; false, leaving value alone, when it is absent.
static bool FindUtf8(const ReleaseManifest& manifest, const wchar_t* key, std::string& value)
{
    const auto entry = manifest.find(key);
    if (entry == manifest.end()) {
        return false;
    }
    ToUtf8(entry->second, value);
    return true;
}

static bool Sha256Bytes(const void* message, ULONG messageLength, unsigned char* digest)
{
    ScopedBCryptCloseAlgorithmProvider provider;
    ScopedBCryptDestroyHash hash;
    return BeginSha256(provider, hash) &&
           BCryptHashData(hash.get(), static_cast<PUCHAR>(const_cast<void*>(message)), messageLength, 0) == 0 &&
           BCryptFinishHash(hash.get(), digest, kSha256Bytes, 0) == 0;
}

// ECDSA P-256 over SHA-256 of message through CNG; the signature is raw r||s
// and must be exactly 64 bytes.
static bool VerifyP256Signature(const unsigned char* point, const void* message, size_t messageLength,
                                const unsigned char* signature, size_t signatureLength)
{
    // CNG under Wine also accepts r||s with one or two bytes added, so the
    // length is checked here rather than left to the verifier.
    unsigned char digest[kSha256Bytes];
    if (signatureLength != kSignatureBytes || messageLength > 0x7fffffff ||
        !Sha256Bytes(message, static_cast<ULONG>(messageLength), digest)) {
        return false;
    }
    struct {
        BCRYPT_ECCKEY_BLOB header;
        unsigned char point[64];
    } blob = {{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32}, {}};
    std::memcpy(blob.point, point, sizeof(blob.point));
    ScopedBCryptCloseAlgorithmProvider provider;
    ScopedBCryptDestroyKey key;
    return BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0 &&
           BCryptImportKeyPair(provider.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, key.put(),
                               reinterpret_cast<PUCHAR>(&blob), sizeof(blob), 0) == 0 &&
           BCryptVerifySignature(key.get(), nullptr, digest, kSha256Bytes, const_cast<PUCHAR>(signature),
                                 kSignatureBytes, 0) == 0;
}

// Only lines that name a trusted key's id count; one key's bad line does not
// veto another key's good one.
static bool IsSignedByAnyKey(const ReleaseManifest& manifest, const std::string& statement, const ReleaseKey* keys,
                             size_t keyCount)
{
    std::string text;
    std::vector<unsigned char> signature;
    for (size_t i = 0; i < keyCount; ++i) {
        if (FindUtf8(manifest, keys[i].lineKey, text) && DecodeBase64Strict(text, signature) &&
            VerifyP256Signature(keys[i].point, statement.data(), statement.size(), signature.data(),
                                signature.size())) {
            return true;
        }
    }
    return false;
}

// The system clock is UTC; the local time would move the deadline by up to
// fourteen hours with the user's time zone.
static bool HasExpired(long long expiresAt)
{
    // 100 ns units since 1601-01-01, which is 11644473600 s before 1970.
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const long long ticks =
        static_cast<long long>((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    return ticks / 10000000 - 11644473600LL > expiresAt;
}

bool CheckSignedManifest(const ReleaseManifest& manifest, const ReleaseKey* keys, size_t keyCount, Failure& failure)
{
    // The statement's values in order; the worker found the first three.
    static const wchar_t* const kSigned[] = {L"version", L"installerurl", L"installersha256"};
    std::string values[4];
    for (size_t i = 0; i < 3; ++i) {
        FindUtf8(manifest, kSigned[i], values[i]);
    }
    const bool hasExpires = FindUtf8(manifest, L"expires", values[3]);
    long long expiresAt = 0;
    if (hasExpires && !ParseExpiresUtc(values[3], expiresAt)) {
        failure = Failure::ManifestIncomplete;
        return false;
    }
    if (!IsSignedByAnyKey(manifest, BuildSignedStatement(values[0], values[1], values[2], values[3]), keys, keyCount)) {
        failure = Failure::ManifestNotSigned;
        return false;
    }
    if (hasExpires && HasExpired(expiresAt)) {
        failure = Failure::ManifestExpired;
        return false;
    }
    return true;
}

// A fixed test key, not a release key (its private half was discarded once
// it had signed), and its signature over this message.
static const char kTestMessage[] = "KORVA known-answer test";
static const unsigned char kTestKeyPoint[64] = {
    0x3d, 0xa2, 0x73, 0xdd, 0xac, 0x36, 0xdb, 0x5d, 0x23, 0xef, 0xb2, 0xd4, 0xb2, 0xdf, 0x7a, 0xf0,
    0x0a, 0x39, 0xb6, 0x39, 0x3a, 0xb7, 0x43, 0x55, 0xcb, 0xea, 0x48, 0x09, 0xc1, 0x32, 0x07, 0x93,
    0xa7, 0x0d, 0x6f, 0x9c, 0x21, 0x71, 0xfe, 0x08, 0xd5, 0x54, 0x93, 0xec, 0x74, 0x7a, 0x43, 0x06,
    0x4a, 0x3f, 0xd2, 0x60, 0xc6, 0x4a, 0xd1, 0xb7, 0xd0, 0xb8, 0x08, 0x4c, 0x89, 0x23, 0xf6, 0x0f};
static const unsigned char kTestSignature[64] = {
    0x79, 0x26, 0xd1, 0x36, 0x63, 0x62, 0x3e, 0x0f, 0xf4, 0x3e, 0x8b, 0x79, 0xf9, 0xfb, 0x4a, 0xd6,
    0x15, 0xe0, 0x39, 0xcc, 0x7d, 0x2d, 0xf8, 0x27, 0xc4, 0x01, 0x94, 0xa5, 0xb8, 0xdc, 0x26, 0x67,
    0xdf, 0x81, 0xd2, 0xb5, 0x04, 0xff, 0xf9, 0x00, 0x1e, 0x76, 0x7a, 0x46, 0xe1, 0xc3, 0x97, 0x7e,
    0xf5, 0x91, 0x6f, 0xca, 0x4e, 0xd4, 0x82, 0xd3, 0xa1, 0x6d, 0xb3, 0x4b, 0x61, 0xe5, 0x5c, 0x4e};

bool VerifyKnownAnswerSignature()
{
    // Also refused after one changed bit: a verifier that accepts everything
    // must not pass.
    char message[sizeof(kTestMessage) - 1];
    std::memcpy(message, kTestMessage, sizeof(message));
    const bool good =
        VerifyP256Signature(kTestKeyPoint, message, sizeof(message), kTestSignature, sizeof(kTestSignature));
    message[0] ^= 1;
    return good &&
           !VerifyP256Signature(kTestKeyPoint, message, sizeof(message), kTestSignature, sizeof(kTestSignature));
}
