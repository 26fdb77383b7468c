#pragma once

#include <string>

extern const wchar_t kVerifyFailedMessage[];

// SHA-256 of the file named by g_installerPath, as 64 lower-case hex digits.
// On failure errorText is replaced and digestHex left alone.
bool Sha256FileHex(std::wstring& digestHex, std::wstring& errorText);
