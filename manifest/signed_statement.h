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
// therefore has exactly one accepted spelling. bytes is replaced only on
// success.
bool DecodeBase64Strict(const std::string& text, std::vector<unsigned char>& bytes);

// Inline, like IsKeyIdText below: only the publisher's tool needs it, and
// every function of an object the installer links stays in the exe.
inline std::string EncodeBase64(const unsigned char* bytes, size_t length)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < length; i += 3) {
        const size_t count = length - i < 3 ? length - i : 3;
        unsigned long bits = static_cast<unsigned long>(bytes[i]) << 16;
        if (count > 1) {
            bits |= static_cast<unsigned long>(bytes[i + 1]) << 8;
        }
        if (count > 2) {
            bits |= bytes[i + 2];
        }
        for (size_t k = 0; k < 4; ++k) {
            text.push_back(k <= count ? kAlphabet[(bits >> (18 - 6 * k)) & 0x3F] : '=');
        }
    }
    return text;
}

// Exactly YYYY-MM-DDTHH:MM:SSZ naming a real UTC date and time (no leap
// second, no fraction, no offset); unixSeconds is set only on success.
bool ParseExpiresUtc(const std::string& text, long long& unixSeconds);

// 16 lower-case hexadecimal digits: the first 8 bytes of the SHA-256 of the
// key's SubjectPublicKeyInfo.
inline bool IsKeyIdText(const std::string& text)
{
    if (text.size() != 16) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// The raw ECDSA P-256 signature r||s.
const size_t kSignatureBytes = 64;
