#include "base/sha256.h"

bool BeginSha256(ScopedBCryptCloseAlgorithmProvider& provider, ScopedBCryptDestroyHash& hash)
{
    return BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
           BCryptCreateHash(provider.get(), hash.put(), nullptr, 0, nullptr, 0, 0) == 0;
}
