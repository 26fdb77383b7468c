#pragma once

// What the publisher's key signs, and the strict readers of the two new
// manifest values. Portable standard C++ only: the installer and the
// publisher's tool compile this same file, so the bytes one signs are the
// bytes the other verifies.

#include <cstddef>
#include <string>
#include <vector>

// Key of a signature line before the key id; keys are folded, so the id part
// is compared in lower case.
const char kSignatureKeyPrefix[] = "signature-";
const char kExpiresKey[] = "expires";

// The signed statement, UTF-8, given the values exactly as the attempt uses
// them (trimmed, last line wins): one line per value, each ended by LF, and
// the digest with "A".."F" lowered. An absent expires is the empty value.
std::string BuildSignedStatement(const std::string& version, const std::string& installerUrl,
                                 const std::string& installerSha256, const std::string& expires);

// Standard alphabet, length a multiple of four, "=" only as the padding of
// the last group, unused bits zero, nothing after the padding. One signature
// therefore has exactly one accepted spelling.
bool DecodeBase64Strict(const std::string& text, std::vector<unsigned char>& bytes);
std::string EncodeBase64(const unsigned char* bytes, size_t length);

// Exactly YYYY-MM-DDTHH:MM:SSZ naming a real UTC date and time (no leap
// second, no fraction, no offset); unixSeconds is set only on success.
bool ParseExpiresUtc(const std::string& text, long long& unixSeconds);

// Seconds since 1970-01-01T00:00:00Z of a proleptic Gregorian UTC time; the
// fields are not checked.
long long UtcToUnixSeconds(int year, int month, int day, int hour, int minute, int second);

// 16 lower-case hexadecimal digits: the first 8 bytes of the SHA-256 of the
// key's SubjectPublicKeyInfo.
bool IsKeyIdText(const std::string& text);

// The raw ECDSA P-256 signature r||s.
const size_t kSignatureBytes = 64;
