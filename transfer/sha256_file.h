#pragma once

#include "transfer/unique_handle.h"

#include <string>

extern const wchar_t kVerifyFailedMessage[];

const ULONG kSha256Bytes = 32;

// A SHA-256 hash ready for data. CNG keeps the hash object's memory itself
// (a null buffer, Windows 7 and later).
bool BeginSha256(ScopedBCryptCloseAlgorithmProvider& provider, ScopedBCryptDestroyHash& hash);

// SHA-256 of the file named by g_installerPath, as 64 lower-case hex digits.
// On failure errorText is replaced and digestHex left alone.
bool Sha256FileHex(std::wstring& digestHex, std::wstring& errorText);
