#include "transfer/sha256_file.h"

#include "app/attempt_messages.h"
#include "transfer/file_io.h"

#include <vector>

static const wchar_t kInitFailed[] = L"Unable to initialize package verification.";
const wchar_t kVerifyFailedMessage[] = L"The downloaded package could not be verified.";
static const DWORD kReadBlock = 65536;

static bool QueryDwordProperty(BCRYPT_ALG_HANDLE provider, const wchar_t* name, DWORD& value)
{
    ULONG written = 0;
    return BCryptGetProperty(provider, name, reinterpret_cast<PUCHAR>(&value), sizeof(value), &written, 0) == 0;
}

// Feeds the whole file into hash. A read error is a failure, never an early
// end of file: a digest of a prefix must not be able to pass as the file's.
static bool HashFileContents(BCRYPT_HASH_HANDLE hash, HANDLE file)
{
    std::vector<UCHAR> block(kReadBlock);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, block.data(), kReadBlock, &read, nullptr)) {
            return false;
        }
        if (read == 0) {
            return true;
        }
        if (BCryptHashData(hash, block.data(), read, 0) != 0) {
            return false;
        }
    }
}

static std::wstring HexLower(const std::vector<UCHAR>& bytes)
{
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(bytes.size() * 2);
    for (UCHAR b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

bool Sha256FileHex(std::wstring& digestHex, std::wstring& errorText)
{
    ScopedBCryptCloseAlgorithmProvider provider;
    DWORD objectLength = 0;
    DWORD digestLength = 0;
    if (BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
        !QueryDwordProperty(provider.get(), BCRYPT_OBJECT_LENGTH, objectLength) ||
        !QueryDwordProperty(provider.get(), BCRYPT_HASH_LENGTH, digestLength)) {
        errorText = kInitFailed;
        return false;
    }
    // The hash object's memory must outlive the hash, so it is declared first
    // and destroyed last.
    std::vector<UCHAR> hashObject(objectLength);
    std::vector<UCHAR> digest(digestLength);
    ScopedBCryptDestroyHash hash;
    const ScopedCloseHandle file = OpenFileForReading(g_installerPath);
    const bool hashed =
        BCryptCreateHash(provider.get(), hash.put(), hashObject.data(), objectLength, nullptr, 0, 0) == 0 && file &&
        HashFileContents(hash.get(), file.get()) && BCryptFinishHash(hash.get(), digest.data(), digestLength, 0) == 0;
    if (!hashed) {
        errorText = kVerifyFailedMessage;
        return false;
    }
    digestHex = HexLower(digest);
    return true;
}
