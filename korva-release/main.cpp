// korva-release: the publisher's side of signed releases. Makes release keys,
// signs release manifests and checks them as the keyed installer does, and
// prints the pin of a publisher's code-signing certificate.
#include "release_cert.h"
#include "release_check.h"
#include "release_files.h"
#include "release_key.h"
#include "url_check.h"

#include "manifest/manifest_grammar.h"
#include "manifest/signed_statement.h"

#include <sys/stat.h>

#include <ctime>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

static const char kUsage[] =
    "usage:\n"
    "  korva-release keygen --out NAME\n"
    "  korva-release sign --key K.key.pem [--key K2.key.pem ...] --version V --url URL --installer FILE\n"
    "                     (--expires-in DAYS | --expires YYYY-MM-DDTHH:MM:SSZ | --no-expires) --out MANIFEST\n"
    "  korva-release verify --pub P.pub.pem [--pub P2.pub.pem ...] --manifest MANIFEST [--installer FILE]\n"
    "  korva-release pin CERT.pem\n";

// Longest --expires-in: a signed manifest lives at most this many days.
static const long kMaxExpiresDays = 3650;

using Options = std::map<std::string, std::vector<std::string>>;

struct CommandOptions {
    std::set<std::string> single;     // at most once
    std::set<std::string> repeatable; // any number of times
    std::set<std::string> required;
    std::set<std::string> flags; // at most once, without a value
};

// "--name value" pairs, and flags that stand alone (stored with an empty value).
static bool ReadOptions(int argc, char** argv, const CommandOptions& accepted, Options& options, std::string& errorText)
{
    for (int i = 2; i < argc;) {
        const std::string name = argv[i];
        const bool flag = accepted.flags.count(name) != 0;
        if (accepted.single.count(name) == 0 && accepted.repeatable.count(name) == 0 && !flag) {
            errorText = "unknown option " + name;
            return false;
        }
        if (!flag && i + 1 >= argc) {
            errorText = name + " needs a value";
            return false;
        }
        if (accepted.repeatable.count(name) == 0 && options.count(name) != 0) {
            errorText = name + " is given twice";
            return false;
        }
        options[name].push_back(flag ? std::string() : argv[i + 1]);
        i += flag ? 1 : 2;
    }
    for (const std::string& name : accepted.required) {
        if (options.count(name) == 0) {
            errorText = name + " is missing";
            return false;
        }
    }
    return true;
}

static std::string OptionValue(const Options& options, const std::string& name)
{
    const auto found = options.find(name);
    return found == options.end() ? std::string() : found->second.front();
}

static int Fail(const std::string& errorText)
{
    std::cerr << errorText << "\n";
    return 1;
}

static int RunKeygen(const Options& options)
{
    std::string keyId;
    std::string errorText;
    const std::string name = OptionValue(options, "--out");
    if (!GenerateKeyFiles(name, keyId, errorText)) {
        return Fail(errorText);
    }
    std::cout << "private key: " << name << ".key.pem (mode 0600; keep it offline)\n"
              << "public key:  " << name << ".pub.pem (build the installer with it)\n"
              << "key id:      " << keyId << "\n";
    return 0;
}

static std::string FormatUtc(long long unixSeconds)
{
    const std::time_t seconds = static_cast<std::time_t>(unixSeconds);
    std::tm utc = {};
    gmtime_r(&seconds, &utc);
    char text[32] = {};
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// An expiry must be chosen: a manifest without one can be served again for
// ever, so it takes the explicit --no-expires (empty expires). An empty value
// (an unset shell variable) is refused, never read as "none".
static bool ChooseExpires(const Options& options, long long now, std::string& expires, std::string& errorText)
{
    const bool hasDays = options.count("--expires-in") != 0;
    const bool hasTime = options.count("--expires") != 0;
    const bool never = options.count("--no-expires") != 0;
    const std::string days = OptionValue(options, "--expires-in");
    const std::string time = OptionValue(options, "--expires");
    if ((hasDays ? 1 : 0) + (hasTime ? 1 : 0) + (never ? 1 : 0) != 1) {
        errorText = "Give exactly one of --expires-in DAYS, --expires YYYY-MM-DDTHH:MM:SSZ and --no-expires; a "
                    "manifest without an expiry can be replayed for ever.";
        return false;
    }
    if ((hasDays && days.empty()) || (hasTime && time.empty())) {
        errorText = std::string(hasDays ? "--expires-in" : "--expires") + " is empty; nothing was written.";
        return false;
    }
    long long seconds = 0;
    if (hasDays) {
        const bool digits = days.size() <= 4 && days.find_first_not_of("0123456789") == std::string::npos;
        const long count = digits ? std::stol(days) : 0;
        if (count < 1 || count > kMaxExpiresDays) {
            errorText = "--expires-in takes a whole number of days from 1 to " + std::to_string(kMaxExpiresDays) + ".";
            return false;
        }
        expires = FormatUtc(now + count * 86400LL);
        return true;
    }
    if (hasTime && !ParseExpiresUtc(time, seconds)) {
        errorText = "--expires must be a UTC time written exactly as YYYY-MM-DDTHH:MM:SSZ.";
        return false;
    }
    if (hasTime && seconds <= now) {
        errorText = "--expires " + time + " is already past; the installer would refuse the manifest.";
        return false;
    }
    expires = time;
    return true;
}

// A value must come back from the manifest line unchanged: valid UTF-8, no
// control character (a line feed would end the line), no blank at its ends.
static bool CheckLineValue(const std::string& option, const std::string& value, std::string& errorText)
{
    bool plain = !value.empty() && manifest_grammar::IsWellFormedUtf8(value) && manifest_grammar::Trim(value) == value;
    for (char c : value) {
        plain = plain && manifest_grammar::UnitValue(c) >= 0x20 && c != 0x7F;
    }
    if (!plain) {
        errorText = option + " must be non-empty UTF-8 without control characters or blanks at its ends.";
        return false;
    }
    return true;
}

static bool CheckReleaseValues(const std::string& version, const std::string& url, std::string& errorText)
{
    if (!CheckLineValue("--version", version, errorText) || !CheckLineValue("--url", url, errorText)) {
        return false;
    }
    // Not echoed: the point of such characters is that they do not show.
    if (!manifest_grammar::IsPlainVersion(version)) {
        errorText = "--version must be plain text: no control characters and no invisible format characters "
                    "(soft hyphen, bidirectional marks and overrides, zero-width characters, tags).";
        return false;
    }
    if (!manifest_grammar::IsSafeVersionForFileName(version)) {
        errorText = "--version " + version +
                    " cannot be part of the installer's file name (no \"..\", no <>:\"/\\|?* characters).";
        return false;
    }
    return CheckReleaseUrl(url, errorText);
}

// load is LoadPrivateKey or LoadPublicKey; one key given twice is refused.
static bool LoadKeys(const std::vector<std::string>& paths, bool (*load)(const std::string&, ReleaseKey&, std::string&),
                     std::vector<ReleaseKey>& keys, std::string& errorText)
{
    for (const std::string& path : paths) {
        ReleaseKey key;
        if (!load(path, key, errorText)) {
            return false;
        }
        for (const ReleaseKey& earlier : keys) {
            if (earlier.id == key.id) {
                errorText = path + " and " + earlier.path + " are the same key (" + key.id + ").";
                return false;
            }
        }
        keys.push_back(std::move(key));
    }
    return true;
}

static bool ComposeManifest(const std::vector<ReleaseKey>& keys, const VerifiedRelease& release, std::string& text,
                            std::string& errorText)
{
    const std::string statement =
        BuildSignedStatement(release.version, release.installerUrl, release.installerSha256, release.expires);
    text = "version=" + release.version + "\ninstallerUrl=" + release.installerUrl +
           "\ninstallerSha256=" + release.installerSha256 + "\n";
    if (!release.expires.empty()) {
        text += std::string(kExpiresKey) + "=" + release.expires + "\n";
    }
    for (const ReleaseKey& key : keys) {
        std::vector<unsigned char> signature;
        if (!SignStatement(key, statement, signature, errorText)) {
            return false;
        }
        if (!VerifyStatement(key, statement, signature)) {
            errorText = "The signature made with " + key.path + " does not verify; nothing was written.";
            return false;
        }
        text += kSignatureKeyPrefix + key.id + "=" + EncodeBase64(signature.data(), signature.size()) + "\n";
    }
    return true;
}

// Reads the new manifest back as the installer will, before it is written.
static bool CheckComposed(const std::string& text, const std::vector<ReleaseKey>& keys, long long now,
                          const VerifiedRelease& wanted, std::string& errorText)
{
    VerifiedRelease read;
    if (!CheckReleaseManifest(text, keys, now, read, errorText)) {
        errorText = "The new manifest would be refused (" + errorText + "); nothing was written.";
        return false;
    }
    if (read.version != wanted.version || read.installerUrl != wanted.installerUrl ||
        read.installerSha256 != wanted.installerSha256 || read.expires != wanted.expires) {
        errorText = "The new manifest does not read back as written; nothing was written.";
        return false;
    }
    return true;
}

// Anything bigger is no manifest: the installer never reads more than this.
static const off_t kMaxManifestBytes = static_cast<off_t>(1024) * 1024;

// An existing --out must be an earlier manifest. A folder is left to the
// rename, which never replaces one.
static bool CheckReplaceableManifest(const std::string& out, std::string& errorText)
{
    struct stat info = {};
    if (stat(out.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
        return true;
    }
    std::string bytes;
    if (!S_ISREG(info.st_mode) || info.st_size > kMaxManifestBytes || !ReadWholeFile(out, bytes, errorText) ||
        !ReadsAsManifest(bytes)) {
        errorText = "--out " + out +
                    " exists and does not read as a release manifest; it is never overwritten. Remove it or "
                    "choose another --out.";
        return false;
    }
    return true;
}

// What --out names is replaced: never a key or the installer under any name
// (links followed, hard links included), and never a file that is not an
// earlier manifest.
static bool CheckOutTarget(const Options& options, std::string& errorText)
{
    const std::string out = OptionValue(options, "--out");
    std::vector<std::pair<std::string, std::string>> inputs;
    for (const std::string& key : options.at("--key")) {
        inputs.emplace_back("--key", key);
    }
    inputs.emplace_back("--installer", OptionValue(options, "--installer"));
    for (const auto& input : inputs) {
        if (IsSameFile(out, input.second)) {
            errorText =
                "--out " + out + " is the same file as " + input.first + " " + input.second + "; nothing was written.";
            return false;
        }
    }
    return CheckReplaceableManifest(out, errorText);
}

static int RunSign(const Options& options)
{
    std::string errorText;
    const long long now = static_cast<long long>(std::time(nullptr));
    VerifiedRelease release;
    release.version = OptionValue(options, "--version");
    release.installerUrl = OptionValue(options, "--url");
    std::vector<ReleaseKey> keys;
    std::string text;
    const std::string out = OptionValue(options, "--out");
    if (!CheckOutTarget(options, errorText) || !CheckReleaseValues(release.version, release.installerUrl, errorText) ||
        !ChooseExpires(options, now, release.expires, errorText) ||
        !Sha256FileHex(OptionValue(options, "--installer"), release.installerSha256, errorText) ||
        !LoadKeys(options.at("--key"), LoadPrivateKey, keys, errorText) ||
        !ComposeManifest(keys, release, text, errorText) || !CheckComposed(text, keys, now, release, errorText) ||
        !WriteFileAtomically(out, text, errorText)) {
        return Fail(errorText);
    }
    std::cout << "wrote " << out << "\n"
              << "  version=" << release.version << "\n  installerUrl=" << release.installerUrl
              << "\n  installerSha256=" << release.installerSha256
              << "\n  expires=" << (release.expires.empty() ? "(none)" : release.expires) << "\n";
    for (const ReleaseKey& key : keys) {
        std::cout << "  signed by key " << key.id << "\n";
    }
    return 0;
}

static int RunVerify(const Options& options)
{
    std::string errorText;
    std::vector<ReleaseKey> keys;
    std::string bytes;
    VerifiedRelease release;
    if (!LoadKeys(options.at("--pub"), LoadPublicKey, keys, errorText) ||
        !ReadWholeFile(OptionValue(options, "--manifest"), bytes, errorText) ||
        !CheckReleaseManifest(bytes, keys, static_cast<long long>(std::time(nullptr)), release, errorText)) {
        return Fail(errorText);
    }
    const std::string installer = OptionValue(options, "--installer");
    std::string digest;
    if (!installer.empty() && (!Sha256FileHex(installer, digest, errorText) ||
                               !CheckInstallerDigest(release.installerSha256, digest, errorText))) {
        return Fail(errorText);
    }
    std::cout << "version=" << release.version << "\ninstallerUrl=" << release.installerUrl
              << "\ninstallerSha256=" << release.installerSha256
              << "\nexpires=" << (release.expires.empty() ? "(none)" : release.expires) << "\nsigned by key "
              << release.keyId << "\n";
    if (!installer.empty()) {
        std::cout << "installer " << installer << " matches installerSha256\n";
    }
    return 0;
}

// Prints the pin that a pinned build embeds for the certificate and
// BUILDINFO records: nothing else on stdout, so scripts can take it as is.
static int RunPin(const std::string& path)
{
    CertificatePin pin;
    std::string errorText;
    if (!ReadCertificatePin(path, pin, errorText)) {
        return Fail(errorText);
    }
    if (pin.selfSigned) {
        std::cerr << "note: " << path
                  << " is self-signed (a root): a pinned build refuses it and never counts a pin that matches only "
                     "a root; pin the publisher's certificate or the intermediate that issues it.\n";
    }
    std::cout << pin.sha256 << "\n";
    return 0;
}

int main(int argc, char** argv)
{
    if (argc >= 2 && std::string(argv[1]) == "pin") {
        if (argc != 3 || std::string(argv[2]).rfind("--", 0) == 0) {
            std::cerr << "korva-release: pin takes one certificate file\n" << kUsage;
            return 2;
        }
        return RunPin(argv[2]);
    }
    const std::map<std::string, CommandOptions> commands = {
        {"keygen", {{"--out"}, {}, {"--out"}, {}}},
        {"sign",
         {{"--version", "--url", "--installer", "--expires-in", "--expires", "--out"},
          {"--key"},
          {"--key", "--version", "--url", "--installer", "--out"},
          {"--no-expires"}}},
        {"verify", {{"--manifest", "--installer"}, {"--pub"}, {"--pub", "--manifest"}, {}}},
    };
    const auto command = argc >= 2 ? commands.find(argv[1]) : commands.end();
    Options options;
    std::string errorText;
    if (command == commands.end() || !ReadOptions(argc, argv, command->second, options, errorText)) {
        std::cerr << (errorText.empty() ? "" : "korva-release: " + errorText + "\n") << kUsage;
        return 2;
    }
    if (command->first == "keygen") {
        return RunKeygen(options);
    }
    return command->first == "sign" ? RunSign(options) : RunVerify(options);
}
