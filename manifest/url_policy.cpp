#include "manifest/url_policy.h"

#include "manifest/release_manifest.h"

const wchar_t* const kOfficialDomain = L"korva.com";
const wchar_t* const kOfficialWwwDomain = L"www.korva.com";

bool IsOfficialHost(const std::wstring& host)
{
    // Whole-string equality only: no trailing-dot removal or suffix matching,
    // which is how "korva.com.evil.example" style tricks are kept out.
    const std::wstring folded = FoldAsciiCase(host);
    return folded == kOfficialDomain || folded == kOfficialWwwDomain;
}

bool ValidateReleaseUrl(const std::wstring& url, ParsedUrl& parsed, Failure& failure)
{
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    // -1 asks for pointers into url instead of copies. User name and password
    // stay 0: the host component alone decides, so "https://korva.com@x/" is
    // judged by "x".
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) {
        failure = Failure::UrlInvalid;
        return false;
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTPS) {
        failure = Failure::UrlNotHttps;
        return false;
    }
    parsed.host.assign(parts.lpszHostName ? parts.lpszHostName : L"", parts.dwHostNameLength);
    if (!IsOfficialHost(parsed.host)) {
        failure = Failure::UrlNotOfficial;
        return false;
    }
    parsed.path.assign(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
    if (parts.dwExtraInfoLength != 0 && parts.lpszExtraInfo) {
        parsed.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    }
    if (parsed.path.empty()) {
        parsed.path = L"/";
    }
    parsed.port = parts.nPort;
    return true;
}
