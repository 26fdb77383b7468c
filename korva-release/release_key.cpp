#include "release_key.h"

#include "release_files.h"

#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <unistd.h>

#include <cstring>

// SubjectPublicKeyInfo DER of every uncompressed P-256 key up to the point's
// X||Y: SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING, 0x04. The
// installer embeds exactly this form, so the tool accepts nothing else.
static const unsigned char kP256SpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                                0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                                0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
static const size_t kP256SpkiSize = sizeof(kP256SpkiPrefix) + 64;

// The key id over the SPKI DER; fails unless the key is an uncompressed
// P-256 key. A private key is first told to encode its point uncompressed.
static bool KeyIdOf(EVP_PKEY* key, std::string& keyId)
{
    if (!EVP_PKEY_is_a(key, "EC")) {
        return false;
    }
    char group[32] = {};
    if (!EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof(group), nullptr) ||
        std::strcmp(group, "prime256v1") != 0) {
        return false;
    }
    const int length = i2d_PUBKEY(key, nullptr);
    if (length != static_cast<int>(kP256SpkiSize)) {
        return false;
    }
    std::vector<unsigned char> der(kP256SpkiSize);
    unsigned char* cursor = der.data();
    if (i2d_PUBKEY(key, &cursor) != length || std::memcmp(der.data(), kP256SpkiPrefix, sizeof(kP256SpkiPrefix)) != 0) {
        return false;
    }
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(der.data(), der.size(), digest);
    keyId = HexOf(digest, 8);
    return true;
}

static bool WritePem(int fd, EVP_PKEY* key, bool privateHalf)
{
    const ScopedBioFreeAll bio(BIO_new_fd(fd, BIO_NOCLOSE));
    if (!bio) {
        return false;
    }
    // Unencrypted PKCS#8 here; docs/publishing.md shows how to add a
    // passphrase, which LoadPrivateKey then asks for on the terminal.
    const int written = privateHalf ? PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr)
                                    : PEM_write_bio_PUBKEY(bio.get(), key);
    return written == 1 && BIO_flush(bio.get()) == 1 && fsync(fd) == 0;
}

bool GenerateKeyFiles(const std::string& name, std::string& keyId, std::string& errorText)
{
    const std::string privatePath = name + ".key.pem";
    const std::string publicPath = name + ".pub.pem";
    const ScopedEvpPkeyFree key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    std::string id;
    if (!key || !KeyIdOf(key.get(), id)) {
        errorText = "OpenSSL could not make a P-256 key.";
        return false;
    }
    ScopedClose privateFile;
    ScopedClose publicFile;
    // Mode 0600 at creation: the private key is never readable by others,
    // not even between open and chmod.
    if (!CreateNewFile(privatePath, 0600, privateFile, errorText)) {
        return false;
    }
    if (!CreateNewFile(publicPath, 0644, publicFile, errorText)) {
        unlink(privatePath.c_str());
        return false;
    }
    if (!WritePem(privateFile.get(), key.get(), true) || !WritePem(publicFile.get(), key.get(), false)) {
        unlink(privatePath.c_str());
        unlink(publicPath.c_str());
        errorText = "Could not write the key files " + privatePath + " and " + publicPath + ".";
        return false;
    }
    keyId = id;
    return true;
}

// Reads one PEM key; a private key's passphrase, if any, is asked for on the
// terminal by OpenSSL's default callback.
static bool LoadKey(const std::string& path, bool privateHalf, ReleaseKey& key, std::string& errorText)
{
    std::string pem;
    if (!ReadWholeFile(path, pem, errorText)) {
        return false;
    }
    const ScopedBioFreeAll bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    ScopedEvpPkeyFree loaded(bio ? (privateHalf ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr)
                                                : PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr))
                                 : nullptr);
    if (!loaded) {
        errorText = path + (privateHalf ? " is not a PEM private key, or its passphrase was not given."
                                        : " is not a PEM public key (SubjectPublicKeyInfo).");
        return false;
    }
    if (privateHalf) {
        EVP_PKEY_set_utf8_string_param(loaded.get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT, "uncompressed");
    }
    std::string id;
    if (!KeyIdOf(loaded.get(), id)) {
        errorText = path + " is not an uncompressed ECDSA P-256 key.";
        return false;
    }
    key.key = std::move(loaded);
    key.id = id;
    key.path = path;
    return true;
}

bool LoadPrivateKey(const std::string& path, ReleaseKey& key, std::string& errorText)
{
    return LoadKey(path, true, key, errorText);
}

bool LoadPublicKey(const std::string& path, ReleaseKey& key, std::string& errorText)
{
    return LoadKey(path, false, key, errorText);
}

static bool DerToRaw(const std::vector<unsigned char>& der, std::vector<unsigned char>& raw)
{
    const unsigned char* cursor = der.data();
    const ScopedEcdsaSigFree sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der.size())));
    if (!sig) {
        return false;
    }
    const BIGNUM* r = nullptr;
    const BIGNUM* s = nullptr;
    ECDSA_SIG_get0(sig.get(), &r, &s);
    raw.assign(kSignatureBytes, 0);
    return BN_bn2binpad(r, raw.data(), 32) == 32 && BN_bn2binpad(s, raw.data() + 32, 32) == 32;
}

bool SignStatement(const ReleaseKey& key, const std::string& statement, std::vector<unsigned char>& signature,
                   std::string& errorText)
{
    const ScopedEvpMdCtxFree context(EVP_MD_CTX_new());
    const auto* message = reinterpret_cast<const unsigned char*>(statement.data());
    size_t length = 0;
    if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, message, statement.size()) != 1) {
        errorText = "OpenSSL could not sign with " + key.path + ".";
        return false;
    }
    std::vector<unsigned char> der(length);
    if (EVP_DigestSign(context.get(), der.data(), &length, message, statement.size()) != 1) {
        errorText = "OpenSSL could not sign with " + key.path + ".";
        return false;
    }
    der.resize(length);
    if (!DerToRaw(der, signature)) {
        errorText = "OpenSSL gave a signature that is not ECDSA P-256.";
        return false;
    }
    return true;
}

static bool RawToDer(const std::vector<unsigned char>& raw, std::vector<unsigned char>& der)
{
    ScopedBnFree r(BN_bin2bn(raw.data(), 32, nullptr));
    ScopedBnFree s(BN_bin2bn(raw.data() + 32, 32, nullptr));
    const ScopedEcdsaSigFree sig(ECDSA_SIG_new());
    if (!r || !s || !sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
        return false;
    }
    r.release(); // owned by sig from here on
    s.release();
    const int length = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (length <= 0) {
        return false;
    }
    der.resize(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    return i2d_ECDSA_SIG(sig.get(), &cursor) == length;
}

bool VerifyStatement(const ReleaseKey& key, const std::string& statement, const std::vector<unsigned char>& signature)
{
    // Exactly 64: a verifier that accepts extra bytes lets one good signature
    // take many forms.
    std::vector<unsigned char> der;
    if (signature.size() != kSignatureBytes || !RawToDer(signature, der)) {
        return false;
    }
    const ScopedEvpMdCtxFree context(EVP_MD_CTX_new());
    return context && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.key.get()) == 1 &&
           EVP_DigestVerify(context.get(), der.data(), der.size(),
                            reinterpret_cast<const unsigned char*>(statement.data()), statement.size()) == 1;
}
