#include "transfer/publisher_signature.h"

#include "base/sha256.h"
#include "base/unique_owner.h"

#include <wincrypt.h>
#include <wintrust.h>
// After wintrust.h, which it needs.
#include <softpub.h>

#include <cstring>
#include <vector>

// The provider data and the signer's chain that a VERIFY call leaves behind
// live until the matching CLOSE call, which the owner makes on every path.
struct WinTrustStateCloser {
    static void Close(WINTRUST_DATA* data)
    {
        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        data->dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(nullptr, &action, data);
    }
};
using ScopedWinTrustState = UniqueHandle<WINTRUST_DATA*, WinTrustStateCloser, nullptr>;

static const unsigned char kDerSequence = 0x30;
static const unsigned char kDerOctetString = 0x04;

static bool Sha256Of(const BYTE* data, size_t size, UCHAR (&digest)[kSha256Bytes])
{
    ScopedBCryptCloseAlgorithmProvider provider;
    ScopedBCryptDestroyHash hash;
    return size <= MAXDWORD && BeginSha256(provider, hash) &&
           BCryptHashData(hash.get(), const_cast<BYTE*>(data), static_cast<ULONG>(size), 0) == 0 &&
           BCryptFinishHash(hash.get(), digest, kSha256Bytes, 0) == 0;
}

static bool KeyIsPinned(PCCERT_CONTEXT certificate, const PublisherPin* pins, size_t count)
{
    CERT_PUBLIC_KEY_INFO* key = &certificate->pCertInfo->SubjectPublicKeyInfo;
    DWORD size = 0;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key, 0, nullptr, nullptr, &size)) {
        return false;
    }
    std::vector<BYTE> der(size);
    UCHAR digest[kSha256Bytes] = {};
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key, 0, nullptr, der.data(), &size) ||
        !Sha256Of(der.data(), size, digest)) {
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        if (std::memcmp(pins[i].spkiSha256, digest, kSha256Bytes) == 0) {
            return true;
        }
    }
    return false;
}

// Only certificates below the root count: the root is whatever the machine
// trusts, and a pin there would take in everything it ever issued. A pinned
// key that is merely stored in the signature, outside this chain, is never
// looked at.
static bool ChainHoldsPin(const CERT_SIMPLE_CHAIN* chain, const PublisherPin* pins, size_t count)
{
    for (DWORD i = 0; i + 1 < chain->cElement; ++i) {
        if (KeyIsPinned(chain->rgpElement[i]->pCertContext, pins, count)) {
            return true;
        }
    }
    return false;
}

// Named in the certificate's own extension; a certificate without one (which
// Windows reads as "any use") is not taken for a code-signing one.
static bool AllowsCodeSigning(PCCERT_CONTEXT certificate)
{
    const DWORD flags = CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG;
    DWORD size = 0;
    if (!CertGetEnhancedKeyUsage(certificate, flags, nullptr, &size) || size < sizeof(CERT_ENHKEY_USAGE)) {
        return false;
    }
    std::vector<CERT_ENHKEY_USAGE> buffer(size / sizeof(CERT_ENHKEY_USAGE) + 1);
    CERT_ENHKEY_USAGE* usage = buffer.data();
    if (!CertGetEnhancedKeyUsage(certificate, flags, usage, &size)) {
        return false;
    }
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        if (std::strcmp(usage->rgpszUsageIdentifier[i], szOID_PKIX_KP_CODE_SIGNING) == 0) {
            return true;
        }
    }
    return false;
}

// The signer's one messageDigest attribute, a DER OCTET STRING of 32 bytes.
static const BYTE* SignedSha256(const CMSG_SIGNER_INFO* signer)
{
    for (DWORD i = 0; i < signer->AuthAttrs.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = signer->AuthAttrs.rgAttr[i];
        if (std::strcmp(attribute.pszObjId, szOID_RSA_messageDigest) != 0) {
            continue;
        }
        const bool sha256 = attribute.cValue == 1 && attribute.rgValue[0].cbData == 2 + kSha256Bytes &&
                            attribute.rgValue[0].pbData[0] == kDerOctetString &&
                            attribute.rgValue[0].pbData[1] == kSha256Bytes;
        return sha256 ? attribute.rgValue[0].pbData + 2 : nullptr;
    }
    return nullptr;
}

// Authenticode signs the SpcIndirectDataContent's value without its tag and
// length. WinVerifyTrust compares that content's image hash with the file,
// but not always this digest with the content (Wine's never does), and a
// signature lifted from another file could then carry any content.
static bool ContentMatchesSignedDigest(HCRYPTMSG message, const CMSG_SIGNER_INFO* signer)
{
    const BYTE* signedDigest = SignedSha256(signer);
    DWORD size = 0;
    if (signedDigest == nullptr || !CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, nullptr, &size)) {
        return false;
    }
    std::vector<BYTE> content(size);
    size_t offset = 0;
    UCHAR digest[kSha256Bytes] = {};
    return CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, content.data(), &size) &&
           SequenceValueOffset(content.data(), size, offset) &&
           Sha256Of(content.data() + offset, size - offset, digest) &&
           std::memcmp(digest, signedDigest, kSha256Bytes) == 0;
}

// What WinVerifyTrust's 0 does not promise on every platform (Wine's is 0
// for an untrusted root, an expired signer and any key usage alike).
static bool SignerIsPublisher(CRYPT_PROVIDER_DATA* provider, const PublisherPin* pins, size_t count)
{
    const CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr || signer->pChainContext == nullptr || signer->psSigner == nullptr) {
        return false;
    }
    const CERT_CHAIN_CONTEXT* chain = signer->pChainContext;
    if (chain->TrustStatus.dwErrorStatus != CERT_TRUST_NO_ERROR || chain->cChain == 0 ||
        chain->rgpChain[0]->cElement < 2) {
        return false;
    }
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    return AllowsCodeSigning(simple->rgpElement[0]->pCertContext) && ChainHoldsPin(simple, pins, count) &&
           ContentMatchesSignedDigest(provider->hMsg, signer->psSigner);
}

bool VerifyPublisherSignature(HANDLE file, const wchar_t* path, const PublisherPin* pins, size_t count)
{
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = file;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    // Offline by design: no revocation list or OCSP fetch, and no download of
    // a missing issuer either.
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(nullptr, &action, &data);
    const ScopedWinTrustState state(data.hWVTStateData != nullptr ? &data : nullptr);
    CRYPT_PROVIDER_DATA* provider = state ? WTHelperProvDataFromStateData(data.hWVTStateData) : nullptr;
    return result == 0 && provider != nullptr && SignerIsPublisher(provider, pins, count);
}

static DWORD WINAPI RunPublisherCheck(LPVOID parameter)
{
    PublisherCheck& check = *static_cast<PublisherCheck*>(parameter);
    check.passed = VerifyPublisherSignature(check.file.get(), check.path, check.pins, check.count);
    return 0;
}

void StartPublisherCheck(PublisherCheck& check)
{
    if (check.heldFile == nullptr) {
        return;
    }
    // Sharing delete as well: whatever access the held handle has stays
    // allowed, and that handle, sharing neither write nor delete, still keeps
    // everyone else from changing the file.
    const HANDLE reopened = ReOpenFile(check.heldFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, 0);
    check.file.reset(reopened != INVALID_HANDLE_VALUE ? reopened : nullptr);
    if (check.file) {
        check.thread.reset(CreateThread(nullptr, 0, RunPublisherCheck, &check, 0, nullptr));
    }
}

bool FinishPublisherCheck(PublisherCheck& check)
{
    if (!check.thread) {
        check.file.reset();
        // Never with a null handle: WinVerifyTrust would open the path.
        return check.heldFile != nullptr &&
               VerifyPublisherSignature(check.heldFile, check.path, check.pins, check.count);
    }
    check.thread.reset(); // waits: the thread's end orders its write of passed before this read
    check.file.reset();
    return check.passed;
}

bool SequenceValueOffset(const unsigned char* der, size_t size, size_t& offset)
{
    if (size < 2 || der[0] != kDerSequence) {
        return false;
    }
    size_t header = 2;
    size_t length = der[1];
    if (length >= 0x80) {
        // 0x80 is the indefinite form, which DER forbids; four bytes of
        // length already say more than a signature ever holds.
        const size_t lengthBytes = length & 0x7F;
        if (lengthBytes == 0 || lengthBytes > 4 || size < header + lengthBytes) {
            return false;
        }
        length = 0;
        for (size_t i = 0; i < lengthBytes; ++i) {
            length = (length << 8) | der[header + i];
        }
        header += lengthBytes;
    }
    if (length != size - header) {
        return false;
    }
    offset = header;
    return true;
}
