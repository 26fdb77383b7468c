#pragma once

#include "base/scoped_bcrypt.h"

const ULONG kSha256Bytes = 32;

// A SHA-256 hash ready for data. CNG keeps the hash object's memory itself
// (a null buffer, Windows 7 and later).
bool BeginSha256(ScopedBCryptCloseAlgorithmProvider& provider, ScopedBCryptDestroyHash& hash);
