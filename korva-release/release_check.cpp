#include "release_check.h"

#include "url_check.h"

#include "manifest/manifest_grammar.h"
#include "manifest/signed_statement.h"

#include <map>

// The installer's own failure texts.
static const char kManifestIncomplete[] = "The KORVA release manifest is incomplete.";
static const char kManifestNotSigned[] = "The KORVA release manifest is not signed by the publisher.";
static const char kManifestExpired[] = "The KORVA release manifest has expired.";
static const char kInstallerMismatch[] =
    "The downloaded installer did not match the official SHA-256 value. It will not be executed.";

using ManifestEntries = std::map<std::string, std::string>;

// The installer measures the digest in UTF-16 units: every UTF-8 sequence is
// one unit, except the four-byte ones, which become surrogate pairs.
static size_t Utf16Length(const std::string& utf8)
{
    size_t units = 0;
    for (char c : utf8) {
        const unsigned long unit = manifest_grammar::UnitValue(c);
        if ((unit & 0xC0) != 0x80) {
            units += unit >= 0xF0 ? 2 : 1;
        }
    }
    return units;
}

static bool ReadCompleteEntries(const std::string& bytes, ManifestEntries& entries, VerifiedRelease& release)
{
    // Ill-formed UTF-8 reads as the empty text in the installer.
    if (manifest_grammar::IsWellFormedUtf8(bytes)) {
        entries = manifest_grammar::Parse(bytes);
    }
    const auto version = entries.find("version");
    const auto url = entries.find("installerurl");
    const auto digest = entries.find("installersha256");
    const auto expires = entries.find(kExpiresKey);
    if (version == entries.end() || url == entries.end() || digest == entries.end() || version->second.empty() ||
        url->second.empty() || Utf16Length(digest->second) != 64 ||
        !manifest_grammar::IsSafeVersionForFileName(version->second) ||
        (expires != entries.end() && !ParseExpiresUtc(expires->second, release.expiresAt))) {
        return false;
    }
    release.version = version->second;
    release.installerUrl = url->second;
    release.installerSha256 = digest->second;
    release.expires = expires == entries.end() ? std::string() : expires->second;
    return true;
}

// The id of the first key with a verifying signature line, or "". A line
// counts only under a trusted key's exact id; a bad line for one key does not
// veto a good line for another.
static std::string FindVerifyingKey(const ManifestEntries& entries, const std::vector<ReleaseKey>& keys,
                                    const std::string& statement)
{
    for (const ReleaseKey& key : keys) {
        const auto line = entries.find(kSignatureKeyPrefix + key.id);
        std::vector<unsigned char> signature;
        if (line != entries.end() && DecodeBase64Strict(line->second, signature) &&
            signature.size() == kSignatureBytes && VerifyStatement(key, statement, signature)) {
            return key.id;
        }
    }
    return std::string();
}

bool CheckReleaseManifest(const std::string& bytes, const std::vector<ReleaseKey>& keys, long long now,
                          VerifiedRelease& release, std::string& errorText)
{
    ManifestEntries entries;
    VerifiedRelease read;
    if (!ReadCompleteEntries(bytes, entries, read)) {
        errorText = kManifestIncomplete;
        return false;
    }
    const std::string statement =
        BuildSignedStatement(read.version, read.installerUrl, read.installerSha256, read.expires);
    read.keyId = FindVerifyingKey(entries, keys, statement);
    if (read.keyId.empty()) {
        errorText = kManifestNotSigned;
        return false;
    }
    if (!read.expires.empty() && now > read.expiresAt) {
        errorText = kManifestExpired;
        return false;
    }
    if (!CheckReleaseUrl(read.installerUrl, errorText)) {
        return false;
    }
    release = read;
    return true;
}

bool CheckInstallerDigest(const std::string& expected, const std::string& actual, std::string& errorText)
{
    using manifest_grammar::FoldAscii;
    using manifest_grammar::Trim;
    if (FoldAscii(Trim(expected)) != FoldAscii(Trim(actual))) {
        errorText = kInstallerMismatch;
        return false;
    }
    return true;
}

bool ReadsAsManifest(const std::string& bytes)
{
    if (!manifest_grammar::IsWellFormedUtf8(bytes)) {
        return false;
    }
    const ManifestEntries entries = manifest_grammar::Parse(bytes);
    return entries.count("version") != 0 && entries.count("installerurl") != 0 && entries.count("installersha256") != 0;
}
