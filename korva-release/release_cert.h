#pragma once

#include <string>

// What a pinned installer build names a publisher's certificate by: the
// SHA-256 of its DER SubjectPublicKeyInfo as 64 lower-case hex digits. The
// key, not the certificate: a certificate renewed with the same key keeps its
// pin.
struct CertificatePin {
    std::string sha256;
    bool selfSigned = false; // a root, whose pin a pinned build never counts
};

// Reads a file holding exactly one PEM certificate. Refuses a missing or
// unreadable file, anything that is not a PEM certificate, and a file with
// more than one (which of them would be pinned?).
bool ReadCertificatePin(const std::string& path, CertificatePin& pin, std::string& errorText);
