#include "url_check.h"

#include "manifest/manifest_grammar.h"

#include <cstring>

static const char kInvalid[] = "The release URL is invalid.";
static const char kNotHttps[] = "The release URL must use HTTPS.";
static const char kForeign[] = "The release URL is not hosted on the official KORVA domain.";

bool IsOfficialHostName(const std::string& host)
{
    // Whole-string equality after ASCII folding, as in the installer: no
    // trailing-dot removal, no suffix matching.
    const std::string folded = manifest_grammar::FoldAscii(host);
    return folded == "korva.com" || folded == "www.korva.com";
}

// Letters, digits and the few marks a user name, password, host or port may
// carry. No "?" or "#" (WinHttpCrackUrl under Wine reads "https://x?@korva.com/"
// as host korva.com, other splitters as host x), no "\\", which some read as a
// path separator, and no blank, control or non-ASCII character.
static bool IsAuthorityCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("-._~%!$&'()*+,;=:@", c) != nullptr);
}

// Empty, or decimal digits up to 65535. WinHttpCrackUrl refuses larger ones
// and, under Wine, reads "44x" as 44; such a port is simply refused here.
static bool IsPortText(const std::string& port)
{
    if (port.size() > 5) {
        return false;
    }
    for (char c : port) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return port.empty() || std::stol(port) <= 65535;
}

struct UrlParts {
    std::string scheme; // folded
    std::string host;
};

static bool SplitUrl(const std::string& url, UrlParts& parts)
{
    const size_t separator = url.find("://");
    if (separator == std::string::npos) {
        return false;
    }
    parts.scheme = manifest_grammar::FoldAscii(url.substr(0, separator));
    if (parts.scheme != "http" && parts.scheme != "https") {
        return false;
    }
    const size_t start = separator + 3;
    const size_t end = url.find('/', start);
    const std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    for (char c : authority) {
        if (!IsAuthorityCharacter(c)) {
            return false;
        }
    }
    // Only the part after the last "@" is the host: "https://korva.com@x/"
    // is fetched from x.
    const size_t at = authority.rfind('@');
    const std::string hostAndPort = at == std::string::npos ? authority : authority.substr(at + 1);
    const size_t colon = hostAndPort.rfind(':');
    if (colon != std::string::npos && !IsPortText(hostAndPort.substr(colon + 1))) {
        return false;
    }
    parts.host = hostAndPort.substr(0, colon);
    return true;
}

bool CheckReleaseUrl(const std::string& url, std::string& errorText)
{
    UrlParts parts;
    if (!SplitUrl(url, parts)) {
        errorText = kInvalid;
        return false;
    }
    if (parts.scheme != "https") {
        errorText = kNotHttps;
        return false;
    }
    if (!IsOfficialHostName(parts.host)) {
        errorText = kForeign;
        return false;
    }
    return true;
}
