#pragma once

#include "base/scoped_handle.h"

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

struct WaitForThreadCloser {
    static void Close(HANDLE thread)
    {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
};
// A thread that has ended once its owner is gone.
using ScopedWaitForThread = UniqueHandle<HANDLE, WaitForThreadCloser, nullptr>;

// VerifyPublisherSignature running beside the caller's own SHA-256 pass over
// the same file: each reads the whole file, and side by side on two cores the
// second read costs little. The check reads through a handle of its own,
// reopened from the held one (never by path), so neither moves the other's
// file position. The caller fills in the first four fields, keeps heldFile
// and path alive until FinishPublisherCheck, and calls that before it
// releases or deletes the file.
struct PublisherCheck {
    HANDLE heldFile = nullptr;
    const wchar_t* path = nullptr;
    const PublisherPin* pins = nullptr;
    size_t count = 0;
    ScopedCloseHandle file;
    bool passed = false;
    // Last: gone first, so the thread has ended before what it reads goes.
    ScopedWaitForThread thread;
};

// Starts the check; where no handle or thread can be had, Finish runs it.
void StartPublisherCheck(PublisherCheck& check);
// Waits for the check, closes its handle and tells whether it passed.
bool FinishPublisherCheck(PublisherCheck& check);

// Where the value of the DER SEQUENCE that fills der[0, size) starts: past
// its tag and length, which must say exactly size bytes. False for anything
// else (another tag, an indefinite or overlong length, bytes after it).
bool SequenceValueOffset(const unsigned char* der, size_t size, size_t& offset);
