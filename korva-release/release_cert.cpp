#include "release_cert.h"

#include "openssl_handle.h"
#include "release_files.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <vector>

// A certificate is a few kilobytes; a bigger file is something else, and
// BIO_new_mem_buf takes an int.
static const size_t kMaxCertificateFileBytes = static_cast<size_t>(1024) * 1024;

static bool PinOf(X509* certificate, std::string& sha256)
{
    X509_PUBKEY* key = X509_get_X509_PUBKEY(certificate);
    const int length = key ? i2d_X509_PUBKEY(key, nullptr) : 0;
    if (length <= 0) {
        return false;
    }
    std::vector<unsigned char> der(static_cast<size_t>(length));
    unsigned char* cursor = der.data();
    if (i2d_X509_PUBKEY(key, &cursor) != length) {
        return false;
    }
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(der.data(), der.size(), digest);
    sha256 = HexOf(digest, sizeof(digest));
    return true;
}

bool ReadCertificatePin(const std::string& path, CertificatePin& pin, std::string& errorText)
{
    std::string pem;
    if (!ReadWholeFile(path, pem, errorText)) {
        return false;
    }
    if (pem.size() > kMaxCertificateFileBytes) {
        errorText = path + " is too large to be a PEM certificate.";
        return false;
    }
    const ScopedBioFreeAll bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    const ScopedX509Free certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!certificate) {
        errorText = path + " is not a PEM certificate (-----BEGIN CERTIFICATE-----).";
        return false;
    }
    const ScopedX509Free another(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    ERR_clear_error(); // the end of the file is an error to PEM_read_bio_X509
    if (another) {
        errorText = path + " holds more than one certificate; give each certificate in a file of its own.";
        return false;
    }
    if (!PinOf(certificate.get(), pin.sha256)) {
        errorText = path + ": OpenSSL cannot encode the certificate's public key.";
        return false;
    }
    pin.selfSigned = X509_self_signed(certificate.get(), 1) == 1;
    return true;
}
