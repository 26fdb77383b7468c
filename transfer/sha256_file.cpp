#include "transfer/sha256_file.h"

#include "base/sha256.h"

#include <vector>

static const DWORD kReadBlock = 65536;

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

bool Sha256FileHex(HANDLE file, std::wstring& digestHex, Failure& failure)
{
    ScopedBCryptCloseAlgorithmProvider provider;
    ScopedBCryptDestroyHash hash;
    if (!BeginSha256(provider, hash)) {
        failure = Failure::VerificationUnavailable;
        return false;
    }
    std::vector<UCHAR> digest(kSha256Bytes);
    LARGE_INTEGER start = {};
    if (file == nullptr || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !HashFileContents(hash.get(), file) ||
        BCryptFinishHash(hash.get(), digest.data(), kSha256Bytes, 0) != 0) {
        failure = Failure::VerificationFailed;
        return false;
    }
    digestHex = HexLower(digest);
    return true;
}
