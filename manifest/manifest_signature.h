#pragma once

#include "base/failure.h"
#include "manifest/release_manifest.h"

#include <cstddef>
#include <string>
#include <vector>

// A trusted release key, taken from its PEM file at build time: the manifest
// key of its signature line ("signature-" and the key id, as the parser
// stores it) and its public point X||Y.
struct ReleaseKey {
    wchar_t lineKey[27];
    unsigned char point[64];
};

// The keyed build's check of a complete manifest: a present "expires" must
// have its exact form ("incomplete" otherwise); at least one
// "signature-<id>" of a trusted key must verify over the signed statement of
// the values the attempt goes on to use; and the system clock, in UTC, must
// not be past "expires". False with the matching failure otherwise.
bool CheckSignedManifest(const ReleaseManifest& manifest, const ReleaseKey* keys, size_t keyCount, Failure& failure);

// A fixed test key's signature over a fixed statement verifies, and the same
// signature over a changed statement does not.
bool VerifyKnownAnswerSignature();
