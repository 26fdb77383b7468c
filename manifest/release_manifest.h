#pragma once

#include <map>
#include <string>

// Keys are stored ASCII-folded; values keep their case, trimmed at both ends.
using ReleaseManifest = std::map<std::wstring, std::wstring>;

// Strict UTF-8: one ill-formed sequence anywhere yields an empty string, so a
// damaged manifest can never be half-read.
std::wstring Utf8ToWide(const char* bytes, size_t length);

// Trims space, tab, CR and LF only. U+FEFF and other Unicode blanks are kept
// on purpose: a byte-order mark must keep spoiling the first key.
std::wstring TrimWhitespace(const std::wstring& text);

// Maps "A".."Z" to "a".."z" one UTF-16 unit at a time; no locale is involved,
// so the result never depends on the user's language settings.
std::wstring FoldAsciiCase(std::wstring text);

ReleaseManifest ParseReleaseManifest(const std::wstring& text);
