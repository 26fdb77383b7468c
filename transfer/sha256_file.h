#pragma once

#include "transfer/unique_handle.h"

#include <string>

extern const wchar_t kVerifyFailedMessage[];

const ULONG kSha256Bytes = 32;

// A SHA-256 hash ready for data. CNG keeps the hash object's memory itself
// (a null buffer, Windows 7 and later).
bool BeginSha256(ScopedBCryptCloseAlgorithmProvider& provider, ScopedBCryptDestroyHash& hash);

// SHA-256 of the whole file behind file, read from its start whatever the
// handle's position, as 64 lower-case hex digits. Taken through the handle
// that holds the file, so what is hashed is what that handle keeps; a new
// open by path could meet another file of the same name. On failure
// errorText is replaced and digestHex left alone.
bool Sha256FileHex(HANDLE file, std::wstring& digestHex, std::wstring& errorText);
