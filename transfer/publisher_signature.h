#pragma once

#include <windows.h>

#include <cstddef>

// The SHA-256 of a certificate's DER SubjectPublicKeyInfo: its public key, so
// a renewed certificate for the same key keeps matching.
struct PublisherPin {
    unsigned char spkiSha256[32];
};

// True only when the file holds an Authenticode signature that the program
// itself finds sound, whatever the platform's verifier lets through:
// WinVerifyTrust accepts the image hash and the signature (no revocation
// fetch: an installer must work offline); the signer's chain has no error in
// its trust status (untrusted root, expired certificate); a certificate of
// that chain below its root has a pinned key; the signer allows code signing;
// and the signed messageDigest is the SHA-256 of the signed content, taken
// here. Only SHA-256 signatures pass. Read through file, the held handle,
// never by a new open; path only names it to the platform.
bool VerifyPublisherSignature(HANDLE file, const wchar_t* path, const PublisherPin* pins, size_t count);

// Where the value of the DER SEQUENCE that fills der[0, size) starts: past
// its tag and length, which must say exactly size bytes. False for anything
// else (another tag, an indefinite or overlong length, bytes after it).
bool SequenceValueOffset(const unsigned char* der, size_t size, size_t& offset);
