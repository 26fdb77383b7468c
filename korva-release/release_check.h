#pragma once

#include "release_key.h"

#include <string>
#include <vector>

// The values an attempt goes on to use, as the installer reads them.
struct VerifiedRelease {
    std::string version;
    std::string installerUrl;
    std::string installerSha256;
    std::string expires;     // empty when the manifest has none
    long long expiresAt = 0; // expires in UTC seconds
    std::string keyId;       // the first trusted key whose signature verified
};

// The keyed installer's checks over the manifest bytes, in its order: strict
// UTF-8 and the line grammar, completeness (with a strict expires form),
// a verifying signature line of one of the keys, expiry against now (UTC
// seconds), then the URL policy. On failure errorText is the installer's
// message.
bool CheckReleaseManifest(const std::string& bytes, const std::vector<ReleaseKey>& keys, long long now,
                          VerifiedRelease& release, std::string& errorText);

// The installer's digest comparison: trimmed, ASCII-folded, equal.
bool CheckInstallerDigest(const std::string& expected, const std::string& actual, std::string& errorText);

// True for bytes that the installer's grammar reads as a release manifest,
// complete or not: well-formed UTF-8 with a version, an installer URL and a
// digest line.
bool ReadsAsManifest(const std::string& bytes);
